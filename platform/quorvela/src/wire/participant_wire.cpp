#include "wire/participant_wire.h"

#include <cstring>
#include <random>

#include <unistd.h>

#include "faults/variant.h"
#include "wire/policy_wire.h"

namespace QUORVELA::wire {

namespace {
constexpr uint32_t kMaxReadBatch = 256;  // constant batch size for loaned reads

// A reserved GUID travels as the Cyclone participant's entity name,
// "qv:p=" and its 32 hex digits.
constexpr char kReservedPrefix[] = "qv:p=";
constexpr size_t kReservedPrefixLen = sizeof kReservedPrefix - 1;

std::string reserved_name(const Guid& g) {
  static const char* digits = "0123456789abcdef";
  std::string s = kReservedPrefix;
  for (uint8_t b : g.v) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

bool reserved_from_name(const char* name, Guid& out) {
  if (name == nullptr || std::strncmp(name, kReservedPrefix, kReservedPrefixLen) != 0) return false;
  const char* hex = name + kReservedPrefixLen;
  if (std::strlen(hex) != 32) return false;
  auto nibble = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  Guid g;
  for (size_t i = 0; i < 16; ++i) {
    const int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    g.v[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  if (g.is_nil()) return false;
  out = g;
  return true;
}

// A fresh participant GUID: a random prefix (its first octets not Cyclone's
// vendor id, so that it never meets a GUID Cyclone made) and the
// participant's entity id.
Guid fresh_participant_guid() {
  static std::mutex mtx;
  static std::mt19937_64 gen{[] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), static_cast<unsigned>(::getpid())};
    return std::mt19937_64(seq);
  }()};
  Guid g;
  std::lock_guard<std::mutex> lk(mtx);
  for (size_t i = 0; i < 12; i += 4) {
    const uint64_t r = gen();
    std::memcpy(g.v.data() + i, &r, 4);
  }
  g.v[0] = 'q';
  g.v[1] = 'v';
  g.v[12] = 0x00;
  g.v[13] = 0x00;
  g.v[14] = 0x01;
  g.v[15] = 0xc1;
  return g;
}

// The GUIDs that participants of this process, and those discovered so far,
// are known by, by their Cyclone GUID.
std::mutex g_known_mtx;
std::map<Guid, Guid>& known_guids() {
  static std::map<Guid, Guid> m;
  return m;
}

// The GUID a discovered participant is known by, noted for participant_guid().
Guid known_guid(const dds_builtintopic_participant_t* s) {
  const Guid cyclone = to_guid(s->key);
  Guid g = cyclone;
  char* name = nullptr;
  if (dds_qget_entity_name(s->qos, &name)) {
    reserved_from_name(name, g);
    dds_free(name);
  }
  std::lock_guard<std::mutex> lk(g_known_mtx);
  known_guids()[cyclone] = g;
  return g;
}
}  // namespace

dds_return_t ParticipantWire::create(uint32_t domain_id, const DomainParticipantQos& qos) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ > 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  if (domain_id > kMaxDomainId || qos.transport_mode == 0) return DDS_RETCODE_BAD_PARAMETER;
  dds_return_t rc = acquire_domain(domain_id);
  if (rc != DDS_RETCODE_OK) return rc;
  domain_held_ = true;
  CycloneQos q = participant_qos(qos);
  if (reserved_) dds_qset_entity_name(q.get(), reserved_name(guid_).c_str());
  dds_entity_t p = dds_create_participant(static_cast<dds_domainid_t>(domain_id), q.get(), nullptr);
  if (p < 0) {
    release_domain(domain_id);
    domain_held_ = false;
    return p;
  }
  participant_ = p;
  domain_id_ = domain_id;
  transport_mode_ = qos.transport_mode;
  cyclone_guid_ = entity_guid(p);
  if (!reserved_) guid_ = cyclone_guid_;
  std::lock_guard<std::mutex> kl(g_known_mtx);
  known_guids()[cyclone_guid_] = guid_;
  return DDS_RETCODE_OK;
}

dds_return_t ParticipantWire::reserve(uint32_t domain_id, uint8_t transport_mode) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ > 0 || reserved_) return DDS_RETCODE_PRECONDITION_NOT_MET;
  if (domain_id > kMaxDomainId || transport_mode == 0) return DDS_RETCODE_BAD_PARAMETER;
  guid_ = fresh_participant_guid();
  reserved_ = true;
  return DDS_RETCODE_OK;
}

void ParticipantWire::destroy() {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ > 0) {
    dds_delete(participant_);
    std::lock_guard<std::mutex> kl(g_known_mtx);
    known_guids().erase(cyclone_guid_);
  }
  participant_ = 0;
  participant_reader_ = 0;
  topics_.clear();
  if (domain_held_) release_domain(domain_id_);
  domain_held_ = false;
}

dds_return_t ParticipantWire::set_qos(const CycloneQos& q) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (participant_ <= 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  return dds_set_qos(participant_, q.get());
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
    // Variant: the calling participant listed among the discovered ones.
    if (to_guid(s->key) == cyclone_guid_ && !QV_VARIANT(own_participant_listed)) continue;
    const Guid g = known_guid(s);
    DiscoveredParticipant* slot = nullptr;
    for (auto& d : out)
      if (d.guid == g) slot = &d;  // newest wins (samples are oldest first)
    if (slot == nullptr) slot = &out.emplace_back(DiscoveredParticipant{g, {}});
    from_cyclone(*s, slot->data);
    // A participant created disabled is known by the GUID it was given then.
    std::memcpy(slot->data.key.value, g.v.data(), 16);
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

Guid ParticipantWire::participant_guid(const Guid& cyclone_guid) {
  {
    std::lock_guard<std::mutex> kl(g_known_mtx);
    auto it = known_guids().find(cyclone_guid);
    if (it != known_guids().end()) return it->second;
  }
  // Not seen yet: discovery knows every participant whose endpoints match.
  std::vector<DiscoveredParticipant> all;
  if (discovered_participants(all) == DDS_RETCODE_OK) {
    std::lock_guard<std::mutex> kl(g_known_mtx);
    auto it = known_guids().find(cyclone_guid);
    if (it != known_guids().end()) return it->second;
  }
  return cyclone_guid;
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

dds_return_t ParticipantWire::set_topic_qos(const std::string& topic_name, const std::string& type_name, bool keyed,
                                            const CycloneQos& q) {
  std::lock_guard<std::mutex> lk(mtx_);
  auto it = topics_.find(topic_key(topic_name, type_name, keyed));
  if (it == topics_.end()) return DDS_RETCODE_OK;  // applied when the topic is made
  return dds_set_qos(it->second, q.get());
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
