// Cyclone side of a domain participant: the Cyclone participant with its user
// data, its GUID, participant discovery, and the Cyclone topics its endpoints
// use. ParticipantImpl owns one ParticipantWire; everything here is
// thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dds/dds.h>

#include "quorvela/qos.h"
#include "wire/domain.h"

namespace QUORVELA::wire {

// Meaning of DomainParticipantQos::transport_mode bits (TRANSPORT_* in qos.h):
//   0x01  UDPv4 unicast on the loopback interface: the inter-process transport,
//         always in use, being the only one this machine's Cyclone build runs
//   0x02  shared memory  - not available in this build: accepted and recorded,
//                          traffic goes over UDPv4 loopback
//   0x04  TCPv4          - not available in this build: as above
//   0x08  UDPv6          - not used (loopback IPv4 only): as above
//   0x10  intra-process delivery between entities of one process (Cyclone's
//         local delivery, always on)
// 0 selects no transport at all and is refused by create().
constexpr uint8_t kTransportDefault = TRANSPORT_DEFAULT;

// RTPS entity kinds used when minting GUIDs for publishers and subscribers.
constexpr uint8_t kEntityKindPublisher = 0x08;
constexpr uint8_t kEntityKindSubscriber = 0x09;

struct DiscoveredParticipant {
  Guid guid;
  ParticipantBuiltinTopicData data;  // as announced
};

class ParticipantWire {
 public:
  ParticipantWire() = default;
  ParticipantWire(const ParticipantWire&) = delete;
  ParticipantWire& operator=(const ParticipantWire&) = delete;
  ~ParticipantWire() { destroy(); }

  // Creates the Cyclone participant (and its domain on first use).
  // Returns DDS_RETCODE_OK, DDS_RETCODE_BAD_PARAMETER for a domain id above
  // kMaxDomainId or a transport_mode of 0, or Cyclone's error.
  // Call from ParticipantImpl::enable() (or creation when autoenabled).
  dds_return_t create(uint32_t domain_id, const DomainParticipantQos& qos);
  dds_return_t create(DomainId_t domain_id, const DomainParticipantQos& qos) {
    if (domain_id < 0) return DDS_RETCODE_BAD_PARAMETER;
    return create(static_cast<uint32_t>(domain_id), qos);
  }
  // Deletes the Cyclone participant and all Cyclone entities below it.
  // Call from delete_participant() after the writers and readers are gone.
  void destroy();

  bool created() const { return participant_ > 0; }
  dds_entity_t entity() const { return participant_; }
  const Guid& guid() const { return guid_; }
  uint32_t domain_id() const { return domain_id_; }
  uint8_t transport_mode() const { return transport_mode_; }

  // Changes the user data announced in discovery (on an enabled participant).
  dds_return_t set_user_data(const std::vector<uint8_t>& user_data);

  // Participants of the same domain discovered so far, alive, own one
  // excluded, into `out`. Cyclone's error when its discovery reader cannot be
  // made (on first use) or read.
  dds_return_t discovered_participants(std::vector<DiscoveredParticipant>& out);
  // Looks up one of them: DDS_RETCODE_BAD_PARAMETER when the GUID is not (or
  // no longer) known, or the error of discovered_participants().
  dds_return_t discovered_participant(const Guid& g, DiscoveredParticipant& out);

  // The Cyclone topic for (topic name, registered type name, key kind),
  // created on first use with the topic's QoS and kept until destroy().
  // Negative on error. Writers and readers call this on enable.
  dds_entity_t topic(const std::string& topic_name, const std::string& type_name, bool keyed, const TopicQos& qos);
  // Changes the topic data that the endpoints of that topic announce.
  dds_return_t set_topic_data(const std::string& topic_name, const std::string& type_name, bool keyed,
                              const std::vector<uint8_t>& topic_data);

  // GUID for a publisher or subscriber: this participant's prefix with an
  // entity id of our own (counter + kind), so it is unique on the network.
  Guid mint_guid(uint8_t entity_kind);

  // Asserts the liveliness of the participant (MANUAL_BY_PARTICIPANT writers).
  dds_return_t assert_liveliness();

 private:
  std::mutex mtx_;
  dds_entity_t participant_ = 0;
  dds_entity_t participant_reader_ = 0;  // participant discovery; made on first use
  Guid guid_;
  uint32_t domain_id_ = 0;
  uint8_t transport_mode_ = kTransportDefault;
  bool domain_held_ = false;
  uint32_t next_entity_id_ = 1;
  std::map<std::string, dds_entity_t> topics_;
};

}  // namespace QUORVELA::wire
