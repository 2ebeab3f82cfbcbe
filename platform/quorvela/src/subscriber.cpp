// Subscribers: their readers, QoS and defaults.
#include "group_common.h"
#include "qos_rules.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

SubscriberImpl::SubscriberImpl(ParticipantImpl* participant, const SubscriberQos& qos,
                               SubscriberListener* listener, StatusMask mask, const InstanceHandle_t& handle)
    : participant_(participant), qos_(qos), listener_(listener), mask_(mask), handle_(handle) {}

ReturnCode_t SubscriberImpl::enable() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return enable_child_locked(enabled_, participant_, qos_.entity_factory.autoenable_created_entities, readers_);
}

SubscriberQos SubscriberImpl::qos() const { return copy_locked(qos_); }

bool SubscriberImpl::contains(const InstanceHandle_t& h) const { return holds_handle(readers_, h); }

std::vector<DataReaderImpl*> SubscriberImpl::unlink_all_readers() { return unlink_all(readers_); }

DataReader* SubscriberImpl::create_datareader(TopicDescription* topic, const DataReaderQos& qos,
                                              DataReaderListener* listener, StatusMask mask) {
  std::unique_lock<std::recursive_mutex> lock(model_mutex());
  ReaderTopic rt = resolve_reader_topic(participant_, topic);
  if (rt.topic == nullptr) return nullptr;
  const DataReaderQos q = resolve_default(qos, DATAREADER_QOS_DEFAULT, default_reader_qos_);
  if (check_qos(q) != RETCODE_OK) return nullptr;
  DataReaderImpl* r = DataReaderImpl::create(this, rt, q, listener, mask);
  if (r == nullptr) return nullptr;
  return link_new_endpoint(lock, readers_, r, enabled_ && qos_.entity_factory.autoenable_created_entities);
}

DataReader* SubscriberImpl::create_datareader_with_profile(TopicDescription* topic, const char* l, const char* p,
                                                           const char* n, DataReaderListener* listener,
                                                           StatusMask mask) {
  return create_with_profile<DataReaderQos>(
      l, p, n, [&](const DataReaderQos& q) { return create_datareader(topic, q, listener, mask); });
}

ReturnCode_t SubscriberImpl::delete_datareader(DataReader*& reader) { return delete_endpoint(readers_, reader); }

DataReader* SubscriberImpl::lookup_datareader(const std::string& topic_name) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  for (DataReaderImpl* r : readers_) {
    const std::string name = r->cft_impl() != nullptr ? r->cft_impl()->get_name() : r->topic_impl()->name();
    if (name == topic_name) return r;
  }
  return nullptr;
}

ReturnCode_t SubscriberImpl::delete_contained_entities() { return delete_all_endpoints(readers_); }

ReturnCode_t SubscriberImpl::get_qos(SubscriberQos& qos) { return get_locked(qos_, qos); }

ReturnCode_t SubscriberImpl::set_qos(const SubscriberQos& qos) {
  return set_group_qos(participant_, qos_, enabled_, qos, SUBSCRIBER_QOS_DEFAULT, readers_);
}

ReturnCode_t SubscriberImpl::set_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<SubscriberQos>(l, p, n, [this](const SubscriberQos& q) { return set_qos(q); });
}

ReturnCode_t SubscriberImpl::set_listener(SubscriberListener* listener, StatusMask mask) {
  return set_listener_locked(listener_, mask_, listener, mask);
}

SubscriberListener* SubscriberImpl::get_listener() { return copy_locked(listener_); }

DomainParticipant* SubscriberImpl::get_participant() { return participant_; }

ReturnCode_t SubscriberImpl::set_default_datareader_qos(const DataReaderQos& qos) {
  return set_default_locked(default_reader_qos_, qos, DATAREADER_QOS_DEFAULT);
}

ReturnCode_t SubscriberImpl::get_default_datareader_qos(DataReaderQos& qos) { return get_locked(default_reader_qos_, qos); }

ReturnCode_t SubscriberImpl::set_default_datareader_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<DataReaderQos>(l, p, n, [this](const DataReaderQos& q) { return set_default_datareader_qos(q); });
}

ReturnCode_t SubscriberImpl::copy_from_topic_qos(DataReaderQos& reader_qos, const TopicQos& topic_qos) {
  copy_topic_policies(topic_qos, reader_qos);
  return RETCODE_OK;
}

}  // namespace QUORVELA::detail
