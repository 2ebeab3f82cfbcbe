// The participant factory singleton.
#include <algorithm>
#include <memory>
#include <vector>

#include "faults/fault.h"
#include "impl.h"
#include "qos_rules.h"
#include "wire/domain.h"
#include "model_util.h"
#include "xml/profiles.h"

namespace QUORVELA {
namespace detail {

std::recursive_mutex& model_mutex() {
  static std::recursive_mutex m;
  return m;
}

InstanceHandle_t handle_from_guid(const wire::Guid& g) {
  InstanceHandle_t h;
  std::memcpy(h.value, g.v.data(), 16);
  h.length = 16;
  h.trailing = 0;
  return h;
}

void set_participant_key(BuiltinTopicKey_t& key, const wire::Guid& participant) {
  std::memcpy(key.value, participant.v.data(), 16);
  if (QV_VARIANT(participant_key_not_handle)) std::reverse(std::begin(key.value), std::end(key.value));
}

wire::Guid guid_from_handle(const InstanceHandle_t& h) {
  wire::Guid g;
  std::memcpy(g.v.data(), h.value, 16);
  return g;
}

class FactoryImpl : public DomainParticipantFactory {
 public:
  DomainParticipant* create_participant(DomainId_t domain_id, const DomainParticipantQos& qos,
                                        DomainParticipantListener* listener, StatusMask mask) override {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (domain_id < 0 || static_cast<uint32_t>(domain_id) > wire::kMaxDomainId) return nullptr;
    const DomainParticipantQos q = (&qos == &PARTICIPANT_QOS_DEFAULT) ? default_participant_qos_ : qos;
    if (check_qos(q) != RETCODE_OK) return nullptr;
    auto p = std::make_unique<ParticipantImpl>(domain_id, q, listener, mask);
    // Fault: the factory's autoenable taken as always on.
    const bool enabled = qos_.entity_factory.autoenable_created_entities || QV_FAULT(factory_autoenable_ignored);
    if (!p->start(enabled)) return nullptr;
    if (enabled) p->enable();
    participants_.push_back(std::move(p));
    return participants_.back().get();
  }

  DomainParticipant* create_participant_with_profile(DomainId_t domain_id, const char* library_name,
                                                     const char* profile_name, const char* qos_name,
                                                     DomainParticipantListener* listener, StatusMask mask) override {
    DomainParticipantQos q;
    if (profiles::find(library_name, profile_name, qos_name, q) != RETCODE_OK) return nullptr;
    return create_participant(domain_id, q, listener, mask);
  }

  ReturnCode_t delete_participant(DomainParticipant*& participant) override {
    std::unique_ptr<ParticipantImpl> victim;
    {
      std::lock_guard<std::recursive_mutex> lock(model_mutex());
      if (participant == nullptr) return RETCODE_BAD_PARAMETER;
      auto it = std::find_if(participants_.begin(), participants_.end(),
                             [&](const std::unique_ptr<ParticipantImpl>& p) { return p.get() == participant; });
      if (it == participants_.end()) return RETCODE_BAD_PARAMETER;
      if (!(*it)->empty()) return RETCODE_PRECONDITION_NOT_MET;
      victim = std::move(*it);
      participants_.erase(it);
    }
    // Fault: the participant is forgotten instead of destroyed, so it stays
    // in the domain (with whatever it still holds) until the factory is
    // finalized.
    if (QV_FAULT(deleted_entities_stay)) (void)victim.release();
    victim.reset();
    participant = nullptr;
    return RETCODE_OK;
  }

  DomainParticipant* lookup_participant(DomainId_t domain_id) override {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    for (auto& p : participants_)
      if (p->get_domain_id() == domain_id) return p.get();
    return nullptr;
  }

  ReturnCode_t get_qos(DomainParticipantFactoryQos& qos) override { return get_locked(qos_, qos); }

  ReturnCode_t set_qos(const DomainParticipantFactoryQos& qos) override {
    return set_default_locked(qos_, qos, PARTICIPANT_FACTORY_QOS_DEFAULT);
  }

  ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                    const char* qos_name) override {
    return with_profile<DomainParticipantFactoryQos>(library_name, profile_name, qos_name,
                                                     [this](const DomainParticipantFactoryQos& q) { return set_qos(q); });
  }

  ReturnCode_t get_default_participant_qos(DomainParticipantQos& qos) override { return get_locked(default_participant_qos_, qos); }

  ReturnCode_t set_default_participant_qos(const DomainParticipantQos& qos) override {
    return set_default_locked(default_participant_qos_, qos, PARTICIPANT_QOS_DEFAULT);
  }

  ReturnCode_t set_default_participant_qos_with_profile(const char* library_name, const char* profile_name,
                                                        const char* qos_name) override {
    return with_profile<DomainParticipantQos>(
        library_name, profile_name, qos_name,
        [this](const DomainParticipantQos& q) { return set_default_participant_qos(q); });
  }

  ReturnCode_t load_qos_from_xml(const char* file_name) override { return profiles::load(file_name); }
  ReturnCode_t unload_qos() override { return profiles::unload(); }

  ReturnCode_t get_participant_factory_qos_from_profile(DomainParticipantFactoryQos& qos, const char* l,
                                                        const char* p, const char* n) override {
    return profiles::find(l, p, n, qos);
  }
  ReturnCode_t get_participant_qos_from_profile(DomainParticipantQos& qos, const char* l, const char* p,
                                                const char* n) override {
    return profiles::find(l, p, n, qos);
  }
  ReturnCode_t get_publisher_qos_from_profile(PublisherQos& qos, const char* l, const char* p,
                                              const char* n) override {
    return profiles::find(l, p, n, qos);
  }
  ReturnCode_t get_subscriber_qos_from_profile(SubscriberQos& qos, const char* l, const char* p,
                                               const char* n) override {
    return profiles::find(l, p, n, qos);
  }
  ReturnCode_t get_topic_qos_from_profile(TopicQos& qos, const char* l, const char* p, const char* n) override {
    return profiles::find(l, p, n, qos);
  }
  ReturnCode_t get_datawriter_qos_from_profile(DataWriterQos& qos, const char* l, const char* p,
                                               const char* n) override {
    return profiles::find(l, p, n, qos);
  }
  ReturnCode_t get_datareader_qos_from_profile(DataReaderQos& qos, const char* l, const char* p,
                                               const char* n) override {
    return profiles::find(l, p, n, qos);
  }

  // Deletes every participant with everything in it and resets the QoS.
  void reset() {
    std::vector<std::unique_ptr<ParticipantImpl>> victims;
    {
      std::lock_guard<std::recursive_mutex> lock(model_mutex());
      victims.swap(participants_);
      qos_ = DomainParticipantFactoryQos();
      default_participant_qos_ = DomainParticipantQos();
    }
    for (auto& p : victims) {
      std::vector<DataWriterImpl*> writers;
      std::vector<DataReaderImpl*> readers;
      std::vector<std::unique_ptr<Entity>> others;
      std::vector<std::unique_ptr<ContentFilteredTopicImpl>> cfts;
      {
        std::lock_guard<std::recursive_mutex> lock(model_mutex());
        p->unlink_contents(writers, readers, others, cfts);
      }
      close_endpoints(writers, readers);
      cfts.clear();
      others.clear();
      p.reset();
    }
  }

 private:
  DomainParticipantFactoryQos qos_;
  DomainParticipantQos default_participant_qos_;
  std::vector<std::unique_ptr<ParticipantImpl>> participants_;
};

namespace {
FactoryImpl* factory_instance() {
  // Never destroyed: entities may still be reached from static destructors.
  static FactoryImpl* instance = new FactoryImpl();
  return instance;
}
}  // namespace

}  // namespace detail

DomainParticipantFactory* DomainParticipantFactory::get_instance() { return detail::factory_instance(); }

ReturnCode_t DomainParticipantFactory::finalize() {
  detail::factory_instance()->reset();
  detail::wire::release_all_domains();
  return RETCODE_OK;
}

}  // namespace QUORVELA
