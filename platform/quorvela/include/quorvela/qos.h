// QoS policies and the QoS values of every entity kind. A default-constructed
// QoS value holds the DDS defaults.
#ifndef QUORVELA_QOS_H
#define QUORVELA_QOS_H

#include <string>
#include <vector>

#include "quorvela/types.h"

namespace QUORVELA {

// One-byte kinds.
typedef uint8_t DurabilityQosPolicyKind;
constexpr DurabilityQosPolicyKind VOLATILE_DURABILITY_QOS = 0;
constexpr DurabilityQosPolicyKind TRANSIENT_LOCAL_DURABILITY_QOS = 1;
constexpr DurabilityQosPolicyKind TRANSIENT_DURABILITY_QOS = 2;
constexpr DurabilityQosPolicyKind PERSISTENT_DURABILITY_QOS = 3;

typedef uint8_t ReliabilityQosPolicyKind;
constexpr ReliabilityQosPolicyKind BEST_EFFORT_RELIABILITY_QOS = 1;
constexpr ReliabilityQosPolicyKind RELIABLE_RELIABILITY_QOS = 2;

typedef uint8_t HistoryQosPolicyKind;
constexpr HistoryQosPolicyKind KEEP_LAST_HISTORY_QOS = 0;
constexpr HistoryQosPolicyKind KEEP_ALL_HISTORY_QOS = 1;

typedef uint8_t LivelinessQosPolicyKind;
constexpr LivelinessQosPolicyKind AUTOMATIC_LIVELINESS_QOS = 0;
constexpr LivelinessQosPolicyKind MANUAL_BY_PARTICIPANT_LIVELINESS_QOS = 1;
constexpr LivelinessQosPolicyKind MANUAL_BY_TOPIC_LIVELINESS_QOS = 2;

typedef uint8_t OwnershipQosPolicyKind;
constexpr OwnershipQosPolicyKind SHARED_OWNERSHIP_QOS = 0;
constexpr OwnershipQosPolicyKind EXCLUSIVE_OWNERSHIP_QOS = 1;

typedef uint8_t DestinationOrderQosPolicyKind;
constexpr DestinationOrderQosPolicyKind BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS = 0;
constexpr DestinationOrderQosPolicyKind BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS = 1;

typedef uint8_t PresentationQosPolicyAccessScopeKind;
constexpr PresentationQosPolicyAccessScopeKind INSTANCE_PRESENTATION_QOS = 0;
constexpr PresentationQosPolicyAccessScopeKind TOPIC_PRESENTATION_QOS = 1;
constexpr PresentationQosPolicyAccessScopeKind GROUP_PRESENTATION_QOS = 2;

constexpr int32_t LENGTH_UNLIMITED = -1;

// Transport selection flags of DomainParticipantQos::transport_mode.
typedef uint8_t TransportMode;
constexpr TransportMode TRANSPORT_UDPV4 = 0x01;        // UDP over IPv4 loopback
constexpr TransportMode TRANSPORT_SHM = 0x02;          // shared memory (maps to UDP loopback here)
constexpr TransportMode TRANSPORT_TCPV4 = 0x04;        // TCP over IPv4 (maps to UDP loopback here)
constexpr TransportMode TRANSPORT_UDPV6 = 0x08;        // UDP over IPv6 (maps to UDP loopback here)
constexpr TransportMode TRANSPORT_INTRAPROCESS = 0x10; // in-process delivery
constexpr TransportMode TRANSPORT_DEFAULT = 0x11;

// ---------------------------------------------------------------- policies
// Policies and QoS values compare equal when every member does.
struct UserDataQosPolicy { OctetSeq value; bool operator==(const UserDataQosPolicy&) const = default; };
struct TopicDataQosPolicy { OctetSeq value; bool operator==(const TopicDataQosPolicy&) const = default; };
struct GroupDataQosPolicy { OctetSeq value; bool operator==(const GroupDataQosPolicy&) const = default; };
struct PartitionQosPolicy { StringSeq name; bool operator==(const PartitionQosPolicy&) const = default; };

struct PresentationQosPolicy {
  PresentationQosPolicyAccessScopeKind access_scope = INSTANCE_PRESENTATION_QOS;
  bool coherent_access = false;
  bool ordered_access = false;
  bool operator==(const PresentationQosPolicy&) const = default;
};

struct DurabilityQosPolicy {
  DurabilityQosPolicyKind kind = VOLATILE_DURABILITY_QOS;
  bool operator==(const DurabilityQosPolicy&) const = default;
};

struct DurabilityServiceQosPolicy {
  Duration_t service_cleanup_delay = DURATION_ZERO;
  HistoryQosPolicyKind history_kind = KEEP_LAST_HISTORY_QOS;
  int32_t history_depth = 1;
  int32_t max_samples = LENGTH_UNLIMITED;
  int32_t max_instances = LENGTH_UNLIMITED;
  int32_t max_samples_per_instance = LENGTH_UNLIMITED;
  bool operator==(const DurabilityServiceQosPolicy&) const = default;
};

struct DeadlineQosPolicy {
  Duration_t period = DURATION_INFINITE;
  bool operator==(const DeadlineQosPolicy&) const = default;
};
struct LatencyBudgetQosPolicy {
  Duration_t duration = DURATION_ZERO;
  bool operator==(const LatencyBudgetQosPolicy&) const = default;
};

struct LivelinessQosPolicy {
  LivelinessQosPolicyKind kind = AUTOMATIC_LIVELINESS_QOS;
  Duration_t lease_duration = DURATION_INFINITE;
  bool operator==(const LivelinessQosPolicy&) const = default;
};

struct ReliabilityQosPolicy {
  ReliabilityQosPolicyKind kind = BEST_EFFORT_RELIABILITY_QOS;
  Duration_t max_blocking_time = {0, 100000000};
  bool operator==(const ReliabilityQosPolicy&) const = default;
};

struct DestinationOrderQosPolicy {
  DestinationOrderQosPolicyKind kind = BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS;
  bool operator==(const DestinationOrderQosPolicy&) const = default;
};

struct HistoryQosPolicy {
  HistoryQosPolicyKind kind = KEEP_LAST_HISTORY_QOS;
  int32_t depth = 1;
  bool operator==(const HistoryQosPolicy&) const = default;
};

struct ResourceLimitsQosPolicy {
  int32_t max_samples = LENGTH_UNLIMITED;
  int32_t max_instances = LENGTH_UNLIMITED;
  int32_t max_samples_per_instance = LENGTH_UNLIMITED;
  bool operator==(const ResourceLimitsQosPolicy&) const = default;
};

struct TransportPriorityQosPolicy {
  int32_t value = 0;
  bool operator==(const TransportPriorityQosPolicy&) const = default;
};
struct LifespanQosPolicy {
  Duration_t duration = DURATION_INFINITE;
  bool operator==(const LifespanQosPolicy&) const = default;
};
struct OwnershipQosPolicy {
  OwnershipQosPolicyKind kind = SHARED_OWNERSHIP_QOS;
  bool operator==(const OwnershipQosPolicy&) const = default;
};
struct OwnershipStrengthQosPolicy {
  int32_t value = 0;
  bool operator==(const OwnershipStrengthQosPolicy&) const = default;
};
struct WriterDataLifecycleQosPolicy {
  bool autodispose_unregistered_instances = true;
  bool operator==(const WriterDataLifecycleQosPolicy&) const = default;
};
struct TimeBasedFilterQosPolicy {
  Duration_t minimum_separation = DURATION_ZERO;
  bool operator==(const TimeBasedFilterQosPolicy&) const = default;
};

struct ReaderDataLifecycleQosPolicy {
  Duration_t autopurge_nowriter_samples_delay = DURATION_INFINITE;
  Duration_t autopurge_disposed_samples_delay = DURATION_INFINITE;
  bool operator==(const ReaderDataLifecycleQosPolicy&) const = default;
};

struct EntityFactoryQosPolicy {
  bool autoenable_created_entities = true;
  bool operator==(const EntityFactoryQosPolicy&) const = default;
};

struct Property {
  std::string name;
  std::string value;
  bool operator==(const Property&) const = default;
};
struct PropertyQosPolicy { std::vector<Property> value; bool operator==(const PropertyQosPolicy&) const = default; };

// ---------------------------------------------------------------- QoS values
struct DomainParticipantFactoryQos {
  EntityFactoryQosPolicy entity_factory;
  bool operator==(const DomainParticipantFactoryQos&) const = default;
};

struct DomainParticipantQos {
  UserDataQosPolicy user_data;
  EntityFactoryQosPolicy entity_factory;
  TransportMode transport_mode = TRANSPORT_DEFAULT;
  PropertyQosPolicy properties;
  bool operator==(const DomainParticipantQos&) const = default;
};

struct PublisherQos {
  PresentationQosPolicy presentation;
  PartitionQosPolicy partition;
  GroupDataQosPolicy group_data;
  EntityFactoryQosPolicy entity_factory;
  bool operator==(const PublisherQos&) const = default;
};

struct SubscriberQos {
  PresentationQosPolicy presentation;
  PartitionQosPolicy partition;
  GroupDataQosPolicy group_data;
  EntityFactoryQosPolicy entity_factory;
  bool operator==(const SubscriberQos&) const = default;
};

struct TopicQos {
  TopicDataQosPolicy topic_data;
  DurabilityQosPolicy durability;
  DurabilityServiceQosPolicy durability_service;
  DeadlineQosPolicy deadline;
  LatencyBudgetQosPolicy latency_budget;
  LivelinessQosPolicy liveliness;
  ReliabilityQosPolicy reliability;
  DestinationOrderQosPolicy destination_order;
  HistoryQosPolicy history;
  ResourceLimitsQosPolicy resource_limits;
  TransportPriorityQosPolicy transport_priority;
  LifespanQosPolicy lifespan;
  OwnershipQosPolicy ownership;
  bool operator==(const TopicQos&) const = default;
};

struct DataWriterQos {
  DurabilityQosPolicy durability;
  DurabilityServiceQosPolicy durability_service;
  DeadlineQosPolicy deadline;
  LatencyBudgetQosPolicy latency_budget;
  LivelinessQosPolicy liveliness;
  ReliabilityQosPolicy reliability = {RELIABLE_RELIABILITY_QOS, {0, 100000000}};
  DestinationOrderQosPolicy destination_order;
  HistoryQosPolicy history;
  ResourceLimitsQosPolicy resource_limits;
  TransportPriorityQosPolicy transport_priority;
  LifespanQosPolicy lifespan;
  UserDataQosPolicy user_data;
  OwnershipQosPolicy ownership;
  OwnershipStrengthQosPolicy ownership_strength;
  WriterDataLifecycleQosPolicy writer_data_lifecycle;
  PropertyQosPolicy properties;
  bool operator==(const DataWriterQos&) const = default;
};

struct DataReaderQos {
  DurabilityQosPolicy durability;
  DeadlineQosPolicy deadline;
  LatencyBudgetQosPolicy latency_budget;
  LivelinessQosPolicy liveliness;
  ReliabilityQosPolicy reliability;
  DestinationOrderQosPolicy destination_order;
  HistoryQosPolicy history;
  ResourceLimitsQosPolicy resource_limits;
  UserDataQosPolicy user_data;
  OwnershipQosPolicy ownership;
  TimeBasedFilterQosPolicy time_based_filter;
  ReaderDataLifecycleQosPolicy reader_data_lifecycle;
  PropertyQosPolicy properties;
  bool operator==(const DataReaderQos&) const = default;
};

// The default objects. Passed by address to a create or set call they stand
// for "the owner's current default"; a copy of one is just a value.
extern const DomainParticipantFactoryQos PARTICIPANT_FACTORY_QOS_DEFAULT;
extern const DomainParticipantQos PARTICIPANT_QOS_DEFAULT;
extern const PublisherQos PUBLISHER_QOS_DEFAULT;
extern const SubscriberQos SUBSCRIBER_QOS_DEFAULT;
extern const TopicQos TOPIC_QOS_DEFAULT;
extern const DataWriterQos DATAWRITER_QOS_DEFAULT;
extern const DataReaderQos DATAREADER_QOS_DEFAULT;

// --------------------------------------------------------- discovery records
struct BuiltinTopicKey_t {
  octet value[16];
};

struct ParticipantBuiltinTopicData {
  BuiltinTopicKey_t key = {{0}};
  UserDataQosPolicy user_data;
};

struct TopicBuiltinTopicData {
  BuiltinTopicKey_t key = {{0}};
  std::string name;
  std::string type_name;
  TopicDataQosPolicy topic_data;
};

struct PublicationBuiltinTopicData {
  BuiltinTopicKey_t key = {{0}};
  BuiltinTopicKey_t participant_key = {{0}};
  std::string topic_name;
  std::string type_name;
  DurabilityQosPolicy durability;
  DurabilityServiceQosPolicy durability_service;
  DeadlineQosPolicy deadline;
  LatencyBudgetQosPolicy latency_budget;
  LivelinessQosPolicy liveliness;
  ReliabilityQosPolicy reliability = {RELIABLE_RELIABILITY_QOS, {0, 100000000}};
  LifespanQosPolicy lifespan;
  UserDataQosPolicy user_data;
  OwnershipQosPolicy ownership;
  OwnershipStrengthQosPolicy ownership_strength;
  DestinationOrderQosPolicy destination_order;
  PresentationQosPolicy presentation;
  PartitionQosPolicy partition;
  TopicDataQosPolicy topic_data;
  GroupDataQosPolicy group_data;
};

struct SubscriptionBuiltinTopicData {
  BuiltinTopicKey_t key = {{0}};
  BuiltinTopicKey_t participant_key = {{0}};
  std::string topic_name;
  std::string type_name;
  DurabilityQosPolicy durability;
  DeadlineQosPolicy deadline;
  LatencyBudgetQosPolicy latency_budget;
  LivelinessQosPolicy liveliness;
  ReliabilityQosPolicy reliability;
  OwnershipQosPolicy ownership;
  DestinationOrderQosPolicy destination_order;
  UserDataQosPolicy user_data;
  TimeBasedFilterQosPolicy time_based_filter;
  PresentationQosPolicy presentation;
  PartitionQosPolicy partition;
  TopicDataQosPolicy topic_data;
  GroupDataQosPolicy group_data;
};

}  // namespace QUORVELA

#endif
