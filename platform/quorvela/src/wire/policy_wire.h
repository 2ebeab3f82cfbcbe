// The QoS policies to and from Cyclone: the QoS of each Cyclone entity made
// from the policies of the table that apply to it, and the discovery data of
// other participants and endpoints read back from what Cyclone received.
// Generic over the policy table (policy_table.h); the conversion of each
// policy is its to_wire() and from_wire() in policy_wire.cpp.
#pragma once

#include <memory>

#include <dds/dds.h>

#include "quorvela/qos.h"

namespace QUORVELA::wire {

struct QosDeleter {
  void operator()(dds_qos_t* q) const { dds_delete_qos(q); }
};
using CycloneQos = std::unique_ptr<dds_qos_t, QosDeleter>;

CycloneQos participant_qos(const DomainParticipantQos& q);
// What the Cyclone topic announces of the topic's QoS.
CycloneQos topic_qos(const TopicQos& q);
// The Cyclone publisher (subscriber) of one writer (reader).
CycloneQos group_qos(const PublisherQos& q);
CycloneQos group_qos(const SubscriberQos& q);
// A Cyclone writer (reader): its own policies and what its publication
// (subscription) announces of its topic's.
CycloneQos writer_qos(const DataWriterQos& w, const TopicQos& t);
CycloneQos reader_qos(const DataReaderQos& r, const TopicQos& t);
// What a change of the QoS from `old` to `next` asks of the Cyclone entity
// made from it above (participant_change() of the one participant_qos()
// made, writer_change() of writer_qos()'s, ...): made again, when a
// changed policy it holds is one Cyclone cannot change (Change::remake in
// the policy table), else the changed policies it holds that Cyclone
// changes in place (Change::in_place), to hand to it with dds_set_qos (null
// when none). The policies that change locally only ask nothing.
struct WireChange {
  bool remake = false;
  CycloneQos in_place;
};
WireChange participant_change(const DomainParticipantQos& old, const DomainParticipantQos& next);
WireChange topic_change(const TopicQos& old, const TopicQos& next);
WireChange group_change(const PublisherQos& old, const PublisherQos& next);
WireChange group_change(const SubscriberQos& old, const SubscriberQos& next);
WireChange writer_change(const DataWriterQos& old, const DataWriterQos& next);
WireChange reader_change(const DataReaderQos& old, const DataReaderQos& next);
// A change of the topic's QoS, for its writers and readers: what their
// publication (subscription) announces of the topic.
WireChange writer_change(const TopicQos& old, const TopicQos& next);
WireChange reader_change(const TopicQos& old, const TopicQos& next);

// The discovery data Cyclone received, every field the other side announced.
void from_cyclone(const dds_builtintopic_participant_t& d, ParticipantBuiltinTopicData& out);
void from_cyclone(const dds_builtintopic_endpoint_t& d, PublicationBuiltinTopicData& out);
void from_cyclone(const dds_builtintopic_endpoint_t& d, SubscriptionBuiltinTopicData& out);
// Only the durability kind an endpoint announced.
DurabilityQosPolicyKind announced_durability(const dds_builtintopic_endpoint_t& d);

}  // namespace QUORVELA::wire
