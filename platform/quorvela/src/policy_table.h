// The QoS policies, one row each: its id and name, the QoS types that hold
// it and the discovery data that announce it to other participants (as a
// member pointer per type, null where it does not apply), whether and how
// it may change on an enabled entity, and how an offered value must compare
// with a requested one. The library's rules over policies (changeability,
// validity, copying a topic's policies, compatibility and the policy ids of
// incompatibilities, the fields of the QoS file, the QoS handed to Cyclone,
// what a change on an enabled entity does there, and the discovery data read
// back from it) are generic code over these rows: a new policy is a new row,
// the XML parsers of its members
// (members() in xml/profiles.cpp), its conversion to Cyclone's QoS and, where
// discovery data announce it, back (to_wire() and from_wire() in
// wire/policy_wire.cpp) and, when some of its values are out of range, its
// valid() in qos_rules.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "duration.h"
#include "quorvela/qos.h"
#include "quorvela/types.h"

namespace QUORVELA::detail {

// Whether a policy may change on an enabled entity, and how a change
// reaches the Cyclone entities made from its QoS (wire/policy_wire.h,
// change_of()), which announce it again where discovery carries it.
enum class Change {
  no,        // set_qos answers RETCODE_IMMUTABLE_POLICY
  local,     // takes effect in this process; Cyclone is given nothing of it
  in_place,  // handed to the Cyclone entity with dds_set_qos
  // Cyclone refuses to change it on an entity (its dds_set_qos answers
  // UNSUPPORTED): the Cyclone writers and readers holding it are made again,
  // and announced anew. Never a policy of a participant or of a topic's
  // own announcement (checked below).
  remake,
  // Cyclone refuses to change it on an entity, and making the entity again
  // would end its matches at remote sides (a remote reader's instances would
  // lose the writer until it writes again, and ended matches count): a
  // change takes effect in this process only, and remote sides keep the
  // value announced when the Cyclone entity was made (at enabling, or
  // again for a partition change).
  local_only,
};

// How the offered value (writer, publisher) must compare with the requested
// one (reader, subscriber), member by member of the policy's key.
enum class Rule {
  none,
  equal,
  offered_at_least,  // every key member offered >= requested
  offered_at_most,   // every key member offered <= requested
  overlap,           // no incompatibility: the two match only when they overlap (partitions)
};

// The members a rule compares, as numbers ordered by strength; unused
// members stay 0.
using Key = std::array<int64_t, 3>;

template <typename P>
struct PolicyRow {
  using Policy = P;
  QosPolicyId_t id;  // INVALID_QOS_POLICY_ID for the library's own settings
  const char* name;
  const char* field;  // its member name in the QoS types
  Change change;
  Rule rule;
  Key (*key)(const P&) = nullptr;  // for the rules that compare
  P DomainParticipantFactoryQos::*factory = nullptr;
  P DomainParticipantQos::*participant = nullptr;
  P PublisherQos::*publisher = nullptr;
  P SubscriberQos::*subscriber = nullptr;
  P TopicQos::*topic = nullptr;
  P DataWriterQos::*writer = nullptr;
  P DataReaderQos::*reader = nullptr;
  P ParticipantBuiltinTopicData::*participant_data = nullptr;
  P TopicBuiltinTopicData::*topic_data = nullptr;
  P PublicationBuiltinTopicData::*publication = nullptr;
  P SubscriptionBuiltinTopicData::*subscription = nullptr;

  // The member in QoS or discovery data type Q; null when the policy does
  // not apply to Q.
  template <typename Q>
  constexpr P Q::*in() const {
    if constexpr (std::is_same_v<Q, DomainParticipantFactoryQos>) return factory;
    else if constexpr (std::is_same_v<Q, DomainParticipantQos>) return participant;
    else if constexpr (std::is_same_v<Q, PublisherQos>) return publisher;
    else if constexpr (std::is_same_v<Q, SubscriberQos>) return subscriber;
    else if constexpr (std::is_same_v<Q, TopicQos>) return topic;
    else if constexpr (std::is_same_v<Q, DataWriterQos>) return writer;
    else if constexpr (std::is_same_v<Q, DataReaderQos>) return reader;
    else if constexpr (std::is_same_v<Q, ParticipantBuiltinTopicData>) return participant_data;
    else if constexpr (std::is_same_v<Q, TopicBuiltinTopicData>) return topic_data;
    else if constexpr (std::is_same_v<Q, PublicationBuiltinTopicData>) return publication;
    else if constexpr (std::is_same_v<Q, SubscriptionBuiltinTopicData>) return subscription;
  }
};

// ------------------------------------------------------- compared members
inline constexpr Key kind_key(int64_t kind) { return {kind, 0, 0}; }

// ------------------------------------------------------------------ rows
using DF = DomainParticipantFactoryQos;
using DP = DomainParticipantQos;
using PQ = PublisherQos;
using SQ = SubscriberQos;
using TQ = TopicQos;
using WQ = DataWriterQos;
using RQ = DataReaderQos;
using PD = ParticipantBuiltinTopicData;
using TD = TopicBuiltinTopicData;
using WD = PublicationBuiltinTopicData;
using RD = SubscriptionBuiltinTopicData;

inline constexpr auto kPolicies = std::make_tuple(
    PolicyRow<UserDataQosPolicy>{
        .id = USERDATA_QOS_POLICY_ID, .name = USERDATA_QOS_POLICY_NAME, .field = "user_data",
        .change = Change::in_place, .rule = Rule::none,
        .participant = &DP::user_data, .writer = &WQ::user_data, .reader = &RQ::user_data,
        .participant_data = &PD::user_data, .publication = &WD::user_data, .subscription = &RD::user_data},
    PolicyRow<DurabilityQosPolicy>{
        .id = DURABILITY_QOS_POLICY_ID, .name = DURABILITY_QOS_POLICY_NAME, .field = "durability",
        .change = Change::no, .rule = Rule::offered_at_least,
        .key = [](const DurabilityQosPolicy& p) { return kind_key(p.kind); },
        .topic = &TQ::durability, .writer = &WQ::durability, .reader = &RQ::durability,
        .publication = &WD::durability, .subscription = &RD::durability},
    PolicyRow<PresentationQosPolicy>{
        .id = PRESENTATION_QOS_POLICY_ID, .name = PRESENTATION_QOS_POLICY_NAME, .field = "presentation",
        .change = Change::no, .rule = Rule::offered_at_least,
        .key = [](const PresentationQosPolicy& p) { return Key{p.access_scope, p.coherent_access, p.ordered_access}; },
        .publisher = &PQ::presentation, .subscriber = &SQ::presentation,
        .publication = &WD::presentation, .subscription = &RD::presentation},
    PolicyRow<DeadlineQosPolicy>{
        .id = DEADLINE_QOS_POLICY_ID, .name = DEADLINE_QOS_POLICY_NAME, .field = "deadline",
        .change = Change::local_only, .rule = Rule::offered_at_most,
        .key = [](const DeadlineQosPolicy& p) { return Key{to_ns(p.period), 0, 0}; },
        .topic = &TQ::deadline, .writer = &WQ::deadline, .reader = &RQ::deadline,
        .publication = &WD::deadline, .subscription = &RD::deadline},
    PolicyRow<LatencyBudgetQosPolicy>{
        .id = LATENCYBUDGET_QOS_POLICY_ID, .name = LATENCYBUDGET_QOS_POLICY_NAME, .field = "latency_budget",
        .change = Change::local_only, .rule = Rule::offered_at_most,
        .key = [](const LatencyBudgetQosPolicy& p) { return Key{to_ns(p.duration), 0, 0}; },
        .topic = &TQ::latency_budget, .writer = &WQ::latency_budget, .reader = &RQ::latency_budget,
        .publication = &WD::latency_budget, .subscription = &RD::latency_budget},
    PolicyRow<OwnershipQosPolicy>{
        .id = OWNERSHIP_QOS_POLICY_ID, .name = OWNERSHIP_QOS_POLICY_NAME, .field = "ownership",
        .change = Change::no, .rule = Rule::equal,
        .key = [](const OwnershipQosPolicy& p) { return kind_key(p.kind); },
        .topic = &TQ::ownership, .writer = &WQ::ownership, .reader = &RQ::ownership,
        .publication = &WD::ownership, .subscription = &RD::ownership},
    PolicyRow<OwnershipStrengthQosPolicy>{
        .id = OWNERSHIPSTRENGTH_QOS_POLICY_ID, .name = "OwnershipStrength", .field = "ownership_strength",
        .change = Change::in_place, .rule = Rule::none,
        .writer = &WQ::ownership_strength,
        .publication = &WD::ownership_strength},
    // Stronger is a more manual kind and a shorter lease.
    PolicyRow<LivelinessQosPolicy>{
        .id = LIVELINESS_QOS_POLICY_ID, .name = LIVELINESS_QOS_POLICY_NAME, .field = "liveliness",
        .change = Change::no, .rule = Rule::offered_at_least,
        .key = [](const LivelinessQosPolicy& p) { return Key{p.kind, -to_ns(p.lease_duration), 0}; },
        .topic = &TQ::liveliness, .writer = &WQ::liveliness, .reader = &RQ::liveliness,
        .publication = &WD::liveliness, .subscription = &RD::liveliness},
    PolicyRow<TimeBasedFilterQosPolicy>{
        .id = TIMEBASEDFILTER_QOS_POLICY_ID, .name = TIMEBASEDFILTER_QOS_POLICY_NAME, .field = "time_based_filter",
        .change = Change::in_place, .rule = Rule::none,
        .reader = &RQ::time_based_filter,
        .subscription = &RD::time_based_filter},
    PolicyRow<PartitionQosPolicy>{
        .id = PARTITION_QOS_POLICY_ID, .name = PARTITION_QOS_POLICY_NAME, .field = "partition",
        .change = Change::remake, .rule = Rule::overlap,
        .publisher = &PQ::partition, .subscriber = &SQ::partition,
        .publication = &WD::partition, .subscription = &RD::partition},
    // Only the kind is compared: the blocking time is the writer's own.
    PolicyRow<ReliabilityQosPolicy>{
        .id = RELIABILITY_QOS_POLICY_ID, .name = RELIABILITY_QOS_POLICY_NAME, .field = "reliability",
        .change = Change::no, .rule = Rule::offered_at_least,
        .key = [](const ReliabilityQosPolicy& p) { return kind_key(p.kind); },
        .topic = &TQ::reliability, .writer = &WQ::reliability, .reader = &RQ::reliability,
        .publication = &WD::reliability, .subscription = &RD::reliability},
    PolicyRow<DestinationOrderQosPolicy>{
        .id = DESTINATIONORDER_QOS_POLICY_ID, .name = DESTINATIONORDER_QOS_POLICY_NAME, .field = "destination_order",
        .change = Change::no, .rule = Rule::offered_at_least,
        .key = [](const DestinationOrderQosPolicy& p) { return kind_key(p.kind); },
        .topic = &TQ::destination_order, .writer = &WQ::destination_order, .reader = &RQ::destination_order,
        .publication = &WD::destination_order, .subscription = &RD::destination_order},
    PolicyRow<HistoryQosPolicy>{
        .id = HISTORY_QOS_POLICY_ID, .name = HISTORY_QOS_POLICY_NAME, .field = "history",
        .change = Change::no, .rule = Rule::none,
        .topic = &TQ::history, .writer = &WQ::history, .reader = &RQ::history},
    PolicyRow<ResourceLimitsQosPolicy>{
        .id = RESOURCELIMITS_QOS_POLICY_ID, .name = RESOURCELIMITS_QOS_POLICY_NAME, .field = "resource_limits",
        .change = Change::no, .rule = Rule::none,
        .topic = &TQ::resource_limits, .writer = &WQ::resource_limits, .reader = &RQ::resource_limits},
    PolicyRow<EntityFactoryQosPolicy>{
        .id = ENTITYFACTORY_QOS_POLICY_ID, .name = ENTITYFACTORY_QOS_POLICY_NAME, .field = "entity_factory",
        .change = Change::local, .rule = Rule::none,
        .factory = &DF::entity_factory, .participant = &DP::entity_factory,
        .publisher = &PQ::entity_factory, .subscriber = &SQ::entity_factory},
    PolicyRow<WriterDataLifecycleQosPolicy>{
        .id = WRITERDATALIFECYCLE_QOS_POLICY_ID, .name = WRITERDATALIFECYCLE_QOS_POLICY_NAME,
        .field = "writer_data_lifecycle",
        .change = Change::in_place, .rule = Rule::none,
        .writer = &WQ::writer_data_lifecycle},
    PolicyRow<ReaderDataLifecycleQosPolicy>{
        .id = READERDATALIFECYCLE_QOS_POLICY_ID, .name = READERDATALIFECYCLE_QOS_POLICY_NAME,
        .field = "reader_data_lifecycle",
        .change = Change::local, .rule = Rule::none,
        .reader = &RQ::reader_data_lifecycle},
    PolicyRow<TopicDataQosPolicy>{
        .id = TOPICDATA_QOS_POLICY_ID, .name = TOPICDATA_QOS_POLICY_NAME, .field = "topic_data",
        .change = Change::in_place, .rule = Rule::none,
        .topic = &TQ::topic_data,
        .topic_data = &TD::topic_data, .publication = &WD::topic_data, .subscription = &RD::topic_data},
    PolicyRow<GroupDataQosPolicy>{
        .id = GROUPDATA_QOS_POLICY_ID, .name = GROUPDATA_QOS_POLICY_NAME, .field = "group_data",
        .change = Change::in_place, .rule = Rule::none,
        .publisher = &PQ::group_data, .subscriber = &SQ::group_data,
        .publication = &WD::group_data, .subscription = &RD::group_data},
    PolicyRow<TransportPriorityQosPolicy>{
        .id = TRANSPORTPRIORITY_QOS_POLICY_ID, .name = TRANSPORTPRIORITY_QOS_POLICY_NAME, .field = "transport_priority",
        .change = Change::local, .rule = Rule::none,
        .topic = &TQ::transport_priority, .writer = &WQ::transport_priority},
    PolicyRow<LifespanQosPolicy>{
        .id = LIFESPAN_QOS_POLICY_ID, .name = LIFESPAN_QOS_POLICY_NAME, .field = "lifespan",
        .change = Change::in_place, .rule = Rule::none,
        .topic = &TQ::lifespan, .writer = &WQ::lifespan,
        .publication = &WD::lifespan},
    PolicyRow<DurabilityServiceQosPolicy>{
        .id = DURABILITYSERVICE_QOS_POLICY_ID, .name = DURABILITYSERVICE_QOS_POLICY_NAME, .field = "durability_service",
        .change = Change::no, .rule = Rule::none,
        .topic = &TQ::durability_service, .writer = &WQ::durability_service,
        .publication = &WD::durability_service},
    // The library's own settings, which DDS does not number.
    PolicyRow<PropertyQosPolicy>{
        .id = INVALID_QOS_POLICY_ID, .name = "Property", .field = "properties",
        .change = Change::local, .rule = Rule::none,
        .participant = &DP::properties, .writer = &WQ::properties, .reader = &RQ::properties},
    PolicyRow<TransportMode>{
        .id = INVALID_QOS_POLICY_ID, .name = "TransportMode", .field = "transport_mode",
        .change = Change::no, .rule = Rule::none,
        .participant = &DP::transport_mode});

// A participant, and a topic in what it announces itself, are made once in
// Cyclone: nothing they announce may need them made again.
inline constexpr bool kParticipantsAndTopicsChangeInPlace = [] {
  bool ok = true;
  std::apply([&](const auto&... row) {
    ((ok = ok && (row.change != Change::remake || (row.participant == nullptr && row.topic_data == nullptr))), ...);
  }, kPolicies);
  return ok;
}();
static_assert(kParticipantsAndTopicsChangeInPlace);

// The row of policy type P.
template <typename P>
constexpr const PolicyRow<P>& policy_row() {
  return std::get<PolicyRow<P>>(kPolicies);
}

// f(row) for every row, in table order.
template <typename F>
constexpr void for_each_policy(F&& f) {
  std::apply([&](const auto&... row) { (f(row), ...); }, kPolicies);
}

template <typename Q, size_t I, typename F>
constexpr void for_policy_of(F& f) {
  constexpr const auto& row = std::get<I>(kPolicies);
  if constexpr (row.template in<Q>() != nullptr) f(row, row.template in<Q>());
}

// f(row, member) for every row that applies to QoS (or discovery data) type
// Q; f is not instantiated for the others.
template <typename Q, typename F>
constexpr void for_each_policy_of(F&& f) {
  [&]<size_t... I>(std::index_sequence<I...>) {
    (for_policy_of<Q, I>(f), ...);
  }(std::make_index_sequence<std::tuple_size_v<std::remove_const_t<decltype(kPolicies)>>>{});
}

// Whether `offered` satisfies `requested` by the row's rule (true for the
// rules that report no incompatibility).
template <typename Row>
constexpr bool compatible(const Row& row, const typename Row::Policy& offered,
                          const typename Row::Policy& requested) {
  if (row.key == nullptr) return true;
  const Key o = row.key(offered), r = row.key(requested);
  for (size_t i = 0; i < o.size(); ++i) {
    switch (row.rule) {
      case Rule::equal:
        if (o[i] != r[i]) return false;
        break;
      case Rule::offered_at_least:
        if (o[i] < r[i]) return false;
        break;
      case Rule::offered_at_most:
        if (o[i] > r[i]) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

// Whether an incompatibility of policy `id`, as Cyclone reports it, is one:
// a policy whose rule only decides matching (partitions) reports none.
constexpr bool reports_incompatibility(QosPolicyId_t id) {
  bool reports = true;
  for_each_policy([&](const auto& row) {
    if (row.id == id && row.rule == Rule::overlap) reports = false;
  });
  return reports;
}

}  // namespace QUORVELA::detail
