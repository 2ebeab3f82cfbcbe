// The QoS values that test_qos_config.xml holds in library "example_lib",
// profile "example_profile": one function per QoS name. A "default_*" QoS has
// no fields in the file and is the default value of its kind; a "named_*" QoS
// sets the fields listed here, and every other field keeps the default of a
// default-constructed value.
#ifndef HARNESS_EXPECTEDPROFILES_H
#define HARNESS_EXPECTEDPROFILES_H

#include <quorvela/quorvela.h>

#include "TestHelper.h"

namespace ExpectedProfiles {

// The bytes of a text, without the terminating zero.
inline QUORVELA::OctetSeq octets(const char* text) {
    QUORVELA::OctetSeq seq;
    for (const char* p = text; *p != '\0'; ++p) seq.push_back(static_cast<QUORVELA::octet>(*p));
    return seq;
}

// ---------------------------------------------------------------- default_*

inline QUORVELA::DomainParticipantFactoryQos default_dpf_qos() { return {}; }

inline QUORVELA::DomainParticipantQos default_dp_qos() { return {}; }

// A default-constructed value passed through its reset routine.
template <typename Qos>
Qos reset_value(void (*reset)(Qos&)) {
    Qos qos;
    reset(qos);
    return qos;
}

inline QUORVELA::PublisherQos default_pub_qos() { return reset_value(publisher_qos_reset); }

inline QUORVELA::SubscriberQos default_sub_qos() { return reset_value(subscriber_qos_reset); }

inline QUORVELA::TopicQos default_topic_qos() { return reset_value(topic_qos_reset); }

inline QUORVELA::DataWriterQos default_dw_qos() { return reset_value(datawriter_qos_reset); }

inline QUORVELA::DataReaderQos default_dr_qos() { return {}; }

// ------------------------------------------------------------------ named_*

inline QUORVELA::DomainParticipantFactoryQos named_dpf_qos() {
    QUORVELA::DomainParticipantFactoryQos qos;
    qos.entity_factory.autoenable_created_entities = false;
    return qos;
}

inline QUORVELA::DomainParticipantQos named_dp_qos() {
    QUORVELA::DomainParticipantQos qos;
    qos.user_data.value = octets("hello");
    qos.entity_factory.autoenable_created_entities = false;
    return qos;
}

inline QUORVELA::PublisherQos named_pub_qos() {
    QUORVELA::PublisherQos qos;
    qos.partition.name = {"partition1", "partition2"};
    qos.group_data.value = {0x12, 0x34, 0x56};
    qos.entity_factory.autoenable_created_entities = false;
    return qos;
}

inline QUORVELA::SubscriberQos named_sub_qos() {
    QUORVELA::SubscriberQos qos;
    qos.partition.name = {"partitionA", "partitionB"};
    qos.group_data.value = octets("group_data_value");
    qos.entity_factory.autoenable_created_entities = true;
    return qos;
}

inline QUORVELA::TopicQos named_topic_qos() {
    using namespace QUORVELA;
    TopicQos qos;
    qos.topic_data.value = octets("topic_data_value");
    qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    qos.durability_service.service_cleanup_delay = {5, 0};
    qos.durability_service.history_kind = KEEP_LAST_HISTORY_QOS;
    qos.durability_service.history_depth = 10;
    qos.durability_service.max_samples = 100;
    qos.durability_service.max_instances = 10;
    qos.durability_service.max_samples_per_instance = 5;
    qos.deadline.period = {10, 0};
    qos.latency_budget.duration = {5, 0};
    qos.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS;
    qos.liveliness.lease_duration = {20, 0};
    qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    qos.reliability.max_blocking_time = {4, 0};
    qos.destination_order.kind = BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS;
    qos.history.kind = KEEP_ALL_HISTORY_QOS;
    qos.history.depth = 100;
    qos.resource_limits.max_samples = 1000;
    qos.resource_limits.max_instances = 100;
    qos.resource_limits.max_samples_per_instance = 10;
    qos.transport_priority.value = 5;
    qos.lifespan.duration = {30, 0};
    qos.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    return qos;
}

inline QUORVELA::DataWriterQos named_dw_qos() {
    using namespace QUORVELA;
    DataWriterQos qos;
    qos.durability.kind = PERSISTENT_DURABILITY_QOS;
    qos.durability_service.service_cleanup_delay = {10, 0};
    qos.durability_service.history_kind = KEEP_ALL_HISTORY_QOS;
    qos.durability_service.history_depth = 20;
    qos.durability_service.max_samples = 2000;
    qos.durability_service.max_instances = 20;
    qos.durability_service.max_samples_per_instance = 10;
    qos.deadline.period = {15, 0};
    qos.latency_budget.duration = {7, 0};
    qos.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS;
    qos.liveliness.lease_duration = {25, 0};
    qos.reliability.kind = BEST_EFFORT_RELIABILITY_QOS;
    qos.reliability.max_blocking_time = {0, 100000000};
    qos.destination_order.kind = BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS;
    qos.history.kind = KEEP_LAST_HISTORY_QOS;
    qos.history.depth = 5;
    qos.resource_limits.max_samples = 500;
    qos.resource_limits.max_instances = 50;
    qos.resource_limits.max_samples_per_instance = 5;
    qos.transport_priority.value = 10;
    qos.lifespan.duration = {60, 0};
    qos.user_data.value = octets("writer_user_data_value");
    qos.ownership.kind = SHARED_OWNERSHIP_QOS;
    qos.ownership_strength.value = 10;
    qos.writer_data_lifecycle.autodispose_unregistered_instances = false;
    return qos;
}

inline QUORVELA::DataReaderQos named_dr_qos() {
    using namespace QUORVELA;
    DataReaderQos qos;
    qos.durability.kind = TRANSIENT_DURABILITY_QOS;
    qos.deadline.period = {20, 0};
    qos.latency_budget.duration = {10, 0};
    qos.liveliness.kind = AUTOMATIC_LIVELINESS_QOS;
    qos.liveliness.lease_duration = {30, 0};
    qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    qos.reliability.max_blocking_time = {0, 200000000};
    qos.destination_order.kind = BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS;
    qos.history.kind = KEEP_LAST_HISTORY_QOS;
    qos.history.depth = 10;
    qos.resource_limits.max_samples = 2000;
    qos.resource_limits.max_instances = 20;
    qos.resource_limits.max_samples_per_instance = 20;
    qos.user_data.value = octets("reader_user_data_value");
    qos.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    qos.time_based_filter.minimum_separation = {0, 0};
    qos.reader_data_lifecycle.autopurge_nowriter_samples_delay = {10, 0};
    qos.reader_data_lifecycle.autopurge_disposed_samples_delay = {5, 0};
    return qos;
}

}  // namespace ExpectedProfiles

#endif  // HARNESS_EXPECTEDPROFILES_H
