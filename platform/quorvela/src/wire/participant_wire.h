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
#include "wire/policy_wire.h"

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

  // Creates the Cyclone participant (and its domain on first use), which
  // announces the participant. Returns DDS_RETCODE_OK,
  // DDS_RETCODE_BAD_PARAMETER for a domain id above kMaxDomainId or a
  // transport_mode of 0, or Cyclone's error. The participant's GUID is
  // Cyclone's, or the one reserve() gave it before.
  // Call from ParticipantImpl::enable() (or creation when autoenabled).
  dds_return_t create(uint32_t domain_id, const DomainParticipantQos& qos);
  dds_return_t create(DomainId_t domain_id, const DomainParticipantQos& qos) {
    if (domain_id < 0) return DDS_RETCODE_BAD_PARAMETER;
    return create(static_cast<uint32_t>(domain_id), qos);
  }
  // For a participant created disabled: a GUID of its own from now on,
  // before anything is announced (Cyclone picks a GUID only as it creates
  // the participant, and announces it at once). create() announces this
  // GUID beside Cyclone's, and other participants of this library report it
  // in place of Cyclone's. DDS_RETCODE_BAD_PARAMETER as for create().
  dds_return_t reserve(uint32_t domain_id, uint8_t transport_mode);
  // Deletes the Cyclone participant and all Cyclone entities below it.
  // Call from delete_participant() after the writers and readers are gone.
  void destroy();

  bool created() const { return participant_ > 0; }
  dds_entity_t entity() const { return participant_; }
  const Guid& guid() const { return guid_; }
  uint32_t domain_id() const { return domain_id_; }
  uint8_t transport_mode() const { return transport_mode_; }

  // Hands changed policies (wire::participant_change()) to the Cyclone
  // participant, which announces them again.
  dds_return_t set_qos(const CycloneQos& q);

  // Participants of the same domain discovered so far, alive, own one
  // excluded, into `out`. Cyclone's error when its discovery reader cannot be
  // made (on first use) or read.
  dds_return_t discovered_participants(std::vector<DiscoveredParticipant>& out);
  // Looks up one of them: DDS_RETCODE_BAD_PARAMETER when the GUID is not (or
  // no longer) known, or the error of discovered_participants().
  dds_return_t discovered_participant(const Guid& g, DiscoveredParticipant& out);
  // The GUID a participant is known by, from the one Cyclone gives it (say,
  // as the participant of a matched endpoint): the GUID it announced, if it
  // reserved one.
  Guid participant_guid(const Guid& cyclone_guid);

  // The Cyclone topic for (topic name, registered type name, key kind),
  // created on first use with the topic's QoS and kept until destroy().
  // Negative on error. Writers and readers call this on enable.
  dds_entity_t topic(const std::string& topic_name, const std::string& type_name, bool keyed, const TopicQos& qos);
  // Hands changed policies (wire::topic_change()) to that Cyclone topic, if
  // it is made yet (else it is made with them).
  dds_return_t set_topic_qos(const std::string& topic_name, const std::string& type_name, bool keyed,
                             const CycloneQos& q);

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
  Guid cyclone_guid_;  // the Cyclone participant's: guid_ unless reserved
  bool reserved_ = false;
  uint32_t domain_id_ = 0;
  uint8_t transport_mode_ = kTransportDefault;
  bool domain_held_ = false;
  uint32_t next_entity_id_ = 1;
  std::map<std::string, dds_entity_t> topics_;
};

}  // namespace QUORVELA::wire
