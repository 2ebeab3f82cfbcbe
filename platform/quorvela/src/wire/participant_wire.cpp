#include "wire/participant_wire.h"

#include <cstring>

#include "wire/policy_wire.h"

namespace QUORVELA::wire {

namespace {
constexpr uint32_t kMaxReadBatch = 256;  // constant batch size for loaned reads
}  // namespace

dds_return_t ParticipantWire::create(uint32_t domain_id, const DomainParticipantQos& qos) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ > 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  if (domain_id > kMaxDomainId || qos.transport_mode == 0) return DDS_RETCODE_BAD_PARAMETER;
  dds_return_t rc = acquire_domain(domain_id);
  if (rc != DDS_RETCODE_OK) return rc;
  domain_held_ = true;
  dds_entity_t p = dds_create_participant(static_cast<dds_domainid_t>(domain_id), participant_qos(qos).get(), nullptr);
  if (p < 0) {
    release_domain(domain_id);
    domain_held_ = false;
    return p;
  }
  participant_ = p;
  domain_id_ = domain_id;
  transport_mode_ = qos.transport_mode;
  guid_ = entity_guid(p);
  return DDS_RETCODE_OK;
}

void ParticipantWire::destroy() {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ > 0) dds_delete(participant_);
  participant_ = 0;
  participant_reader_ = 0;
  topics_.clear();
  if (domain_held_) release_domain(domain_id_);
  domain_held_ = false;
}

dds_return_t ParticipantWire::set_user_data(const std::vector<uint8_t>& user_data) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ <= 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  return dds_set_qos(participant_, policy_qos(UserDataQosPolicy{user_data}).get());
}

dds_return_t ParticipantWire::discovered_participants(std::vector<DiscoveredParticipant>& out) {
  out.clear();
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ <= 0) return DDS_RETCODE_OK;  // nothing discovered
  // Participant discovery is read through a reader of the built-in topic,
  // made on first use: it costs more than the participant itself, and it
  // receives every participant known at its creation.
  if (participant_reader_ <= 0) {
    const dds_entity_t r = dds_create_reader(participant_, DDS_BUILTIN_TOPIC_DCPSPARTICIPANT, nullptr, nullptr);
    if (r < 0) return r;
    participant_reader_ = r;
  }
  void* samples[kMaxReadBatch] = {};
  dds_sample_info_t infos[kMaxReadBatch];
  dds_return_t n = dds_read_mask(participant_reader_, samples, infos, kMaxReadBatch, kMaxReadBatch,
                                 DDS_ANY_SAMPLE_STATE | DDS_ANY_VIEW_STATE | DDS_ALIVE_INSTANCE_STATE);
  if (n < 0) return n;
  for (dds_return_t i = 0; i < n; ++i) {
    if (!infos[i].valid_data) continue;
    auto* s = static_cast<dds_builtintopic_participant_t*>(samples[i]);
    Guid g = to_guid(s->key);
    if (g == guid_) continue;
    DiscoveredParticipant* slot = nullptr;
    for (auto& d : out)
      if (d.guid == g) slot = &d;  // newest wins (samples are oldest first)
    if (slot == nullptr) slot = &out.emplace_back(DiscoveredParticipant{g, {}});
    from_cyclone(*s, slot->data);
  }
  if (n > 0) dds_return_loan(participant_reader_, samples, n);
  return DDS_RETCODE_OK;
}

dds_return_t ParticipantWire::discovered_participant(const Guid& g, DiscoveredParticipant& out) {
  std::vector<DiscoveredParticipant> all;
  const dds_return_t rc = discovered_participants(all);
  if (rc != DDS_RETCODE_OK) return rc;
  for (auto& d : all)
    if (d.guid == g) {
      out = d;
      return DDS_RETCODE_OK;
    }
  return DDS_RETCODE_BAD_PARAMETER;
}

namespace {
std::string topic_key(const std::string& topic_name, const std::string& type_name, bool keyed) {
  std::string k = topic_name;
  k.push_back('\0');
  k += type_name;
  k.push_back(keyed ? '\1' : '\2');
  return k;
}
}  // namespace

dds_entity_t ParticipantWire::topic(const std::string& topic_name, const std::string& type_name, bool keyed,
                                    const TopicQos& qos) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ <= 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  std::string k = topic_key(topic_name, type_name, keyed);
  auto it = topics_.find(k);
  if (it != topics_.end()) return it->second;
  dds_entity_t t = dds_create_topic(participant_, descriptor_for(type_name, keyed), topic_name.c_str(),
                                    topic_qos(qos).get(), nullptr);
  if (t > 0) topics_[k] = t;
  return t;
}

dds_return_t ParticipantWire::set_topic_data(const std::string& topic_name, const std::string& type_name, bool keyed,
                                             const std::vector<uint8_t>& topic_data) {
  std::lock_guard<std::mutex> lk(mtx_);
  auto it = topics_.find(topic_key(topic_name, type_name, keyed));
  if (it == topics_.end()) return DDS_RETCODE_OK;  // applied when the topic is made
  return dds_set_qos(it->second, policy_qos(TopicDataQosPolicy{topic_data}).get());
}

Guid ParticipantWire::mint_guid(uint8_t entity_kind) {
  std::lock_guard<std::mutex> lk(mtx_);
  Guid g = guid_;
  // Cyclone allocates its entity ids counting up from a small number; ours
  // count down from the top of the 24-bit key space so they never meet.
  uint32_t key = 0xFFFFFFu - next_entity_id_++;
  g.v[12] = static_cast<uint8_t>(key >> 16);
  g.v[13] = static_cast<uint8_t>(key >> 8);
  g.v[14] = static_cast<uint8_t>(key);
  g.v[15] = entity_kind;
  return g;
}

dds_return_t ParticipantWire::assert_liveliness() {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ <= 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  return dds_assert_liveliness(participant_);
}

}  // namespace QUORVELA::wire
