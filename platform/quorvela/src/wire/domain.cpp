#include "wire/domain.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "envelope.h"
#include "wire/runtime.h"

namespace QUORVELA::wire {

bool Guid::is_nil() const {
  for (auto b : v)
    if (b) return false;
  return true;
}

Guid to_guid(const dds_guid_t& g) {
  Guid r;
  static_assert(sizeof(g.v) == 16);
  std::memcpy(r.v.data(), g.v, 16);
  return r;
}

Guid entity_guid(dds_entity_t e) {
  dds_guid_t g;
  if (dds_get_guid(e, &g) != DDS_RETCODE_OK) return Guid{};
  return to_guid(g);
}

std::string domain_config_xml() {
  std::string xml = "<CycloneDDS><Domain Id=\"any\">"
         "<General>"
         "<Interfaces><NetworkInterface address=\"127.0.0.1\"/></Interfaces>"
         "<AllowMulticast>false</AllowMulticast>"
         "<DontRoute>true</DontRoute>"
         "</General>"
         "<Discovery>"
         "<ParticipantIndex>auto</ParticipantIndex>"
         "<MaxAutoParticipantIndex>48</MaxAutoParticipantIndex>"
         "<Peers><Peer address=\"127.0.0.1\"/></Peers>"
         "</Discovery>"
         // A reliable writer with samples not yet acknowledged asks its
         // readers for acknowledgments every 20 ms (Cyclone's default is
         // 100 ms), so that a writer waiting for them (when it is deleted,
         // or blocked at its resource limits) waits little longer than the
         // round trip; it asks nothing while all is acknowledged.
         "<Internal><HeartbeatInterval>20ms</HeartbeatInterval></Internal>"
         "<Tracing><Verbosity>none</Verbosity></Tracing>"
         "</Domain></CycloneDDS>";
  // QV_CYCLONE_CONFIG: more Cyclone configuration (XML or file:// URIs,
  // comma-separated), read after the library's own and so overriding it.
  const char* extra = std::getenv("QV_CYCLONE_CONFIG");
  if (extra != nullptr && *extra != '\0') xml += std::string(",") + extra;
  return xml;
}

namespace {
struct DomainEntry {
  dds_entity_t handle = 0;
  int users = 0;
};
std::mutex g_domain_mtx;
std::map<uint32_t, DomainEntry>& domains() {
  static std::map<uint32_t, DomainEntry> m;
  return m;
}
}  // namespace

dds_return_t acquire_domain(uint32_t domain_id) {
  if (domain_id > kMaxDomainId) return DDS_RETCODE_BAD_PARAMETER;
  std::lock_guard<std::mutex> lk(g_domain_mtx);
  auto& e = domains()[domain_id];
  if (e.users == 0) {
    dds_entity_t d = dds_create_domain(static_cast<dds_domainid_t>(domain_id), domain_config_xml().c_str());
    if (d < 0) {
      domains().erase(domain_id);
      return d;
    }
    e.handle = d;
  }
  ++e.users;
  return DDS_RETCODE_OK;
}

void release_domain(uint32_t domain_id) {
  dds_entity_t to_delete = 0;
  {
    std::lock_guard<std::mutex> lk(g_domain_mtx);
    auto it = domains().find(domain_id);
    if (it == domains().end()) return;
    if (--it->second.users > 0) return;
    to_delete = it->second.handle;
    domains().erase(it);
  }
  dds_delete(to_delete);
}

void release_all_domains() {
  std::map<uint32_t, DomainEntry> all;
  {
    std::lock_guard<std::mutex> lk(g_domain_mtx);
    all.swap(domains());
  }
  for (auto& [id, e] : all) dds_delete(e.handle);
  // No entity is left to post work: stop the event thread as well.
  Runtime::instance().shutdown();
}

namespace {
struct DescKey {
  std::string name;
  bool keyed;
  bool operator<(const DescKey& o) const { return name < o.name || (name == o.name && keyed < o.keyed); }
};
struct OwnedDesc {
  std::string name;
  std::unique_ptr<dds_topic_descriptor_t> desc;
};
}  // namespace

const dds_topic_descriptor_t* descriptor_for(const std::string& type_name, bool keyed) {
  static std::mutex mtx;
  static std::map<DescKey, std::unique_ptr<OwnedDesc>> table;
  std::lock_guard<std::mutex> lk(mtx);
  auto& slot = table[DescKey{type_name, keyed}];
  if (!slot) {
    const dds_topic_descriptor_t& base = keyed ? qvwire_KeyedEnvelope_desc : qvwire_KeylessEnvelope_desc;
    auto od = std::make_unique<OwnedDesc>();
    od->name = type_name;
    od->desc.reset(new dds_topic_descriptor_t{
        base.m_size,
        base.m_align,
        base.m_flagset & ~static_cast<uint32_t>(DDS_TOPIC_XTYPES_METADATA),
        base.m_nkeys,
        od->name.c_str(),
        base.m_keys,
        base.m_nops,
        base.m_ops,
        base.m_meta,
        dds_type_meta_ser{nullptr, 0},
        dds_type_meta_ser{nullptr, 0},
        base.restrict_data_representation});
    slot = std::move(od);
  }
  return slot->desc.get();
}

const char* rc_text(dds_return_t rc) { return dds_strretcode(rc); }

}  // namespace QUORVELA::wire
