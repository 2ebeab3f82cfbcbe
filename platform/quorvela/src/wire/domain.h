// Process-wide Cyclone domain handling, entity GUIDs and topic descriptors.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <dds/dds.h>

namespace QUORVELA::wire {

// Highest domain id whose default port mapping fits in 16 bits.
constexpr uint32_t kMaxDomainId = 232;

// A 16-octet RTPS GUID (12-octet prefix + 4-octet entity id), network order.
struct Guid {
  std::array<uint8_t, 16> v{};
  bool operator==(const Guid& o) const { return v == o.v; }
  bool operator!=(const Guid& o) const { return v != o.v; }
  bool operator<(const Guid& o) const { return v < o.v; }
  bool is_nil() const;
};

Guid to_guid(const dds_guid_t& g);
// GUID of a Cyclone participant, reader, writer or topic; nil on failure.
Guid entity_guid(dds_entity_t e);

// The Cyclone configuration every domain of this library runs with:
// loopback only, unicast discovery to 127.0.0.1, one participant index per
// process out of a range large enough for several processes at once.
std::string domain_config_xml();

// Domains are created on first use with domain_config_xml() and deleted when
// the last user releases them. acquire() returns a DDS_RETCODE_* value.
dds_return_t acquire_domain(uint32_t domain_id);
void release_domain(uint32_t domain_id);
// Deletes every domain still held and stops the library's event thread
// (used by the factory's finalize(), after every entity was closed).
void release_all_domains();

// Topic descriptor for a registered type name: the generic keyed or keyless
// envelope, carrying `type_name` and no type information, so that Cyclone
// matches endpoints by type name. The descriptor lives until process exit.
const dds_topic_descriptor_t* descriptor_for(const std::string& type_name, bool keyed);

// Error text for logging.
const char* rc_text(dds_return_t rc);

}  // namespace QUORVELA::wire

// The entity model refers to the wire layer from inside QUORVELA::detail.
namespace QUORVELA::detail {
namespace wire = ::QUORVELA::wire;
}
