#include "TestHelper.h"

#include <chrono>
#include <cstddef>
#include <iostream>
#include <thread>

using namespace QUORVELA;

namespace {

constexpr Duration_t kInfinite = {0x7fffffff, 0xffffffffu};
constexpr Duration_t kZero = {0, 0};
constexpr Duration_t kHundredMs = {0, 100000000};

// Collects the outcome of one comparison and prints its difference lines.
class Rows {
public:
    bool equal() const { return equal_; }

    void flag(const char* path, bool a, bool b) {
        if (a != b) {
            differ();
            std::cout << path << " not equal: " << (a ? '1' : '0') << " vs " << (b ? '1' : '0')
                      << std::endl;
        }
    }
    // One-byte kinds are written as the raw byte.
    void kind(const char* path, std::uint8_t a, std::uint8_t b) {
        if (a != b) {
            differ();
            std::cout << path << " not equal: " << static_cast<char>(a) << " vs "
                      << static_cast<char>(b) << std::endl;
        }
    }
    void int32(const char* path, std::int32_t a, std::int32_t b) {
        if (a != b) {
            differ();
            std::cout << path << " not equal: " << a << " vs " << b << std::endl;
        }
    }
    void duration(const char* path, const Duration_t& a, const Duration_t& b) {
        if (a.sec != b.sec || a.nanosec != b.nanosec) {
            differ();
            std::cout << path << " not equal: {" << a.sec << ", " << a.nanosec << "} vs {" << b.sec
                      << ", " << b.nanosec << "}" << std::endl;
        }
    }
    void octets(const char* path, const OctetSeq& a, const OctetSeq& b) {
        if (a.size() != b.size()) {
            differ();
            std::cout << path << ".size not equal: " << a.size() << " vs " << b.size() << std::endl;
            return;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                differ();
                std::cout << path << "[" << i << "] not equal: " << static_cast<char>(a[i])
                          << " vs " << static_cast<char>(b[i]) << std::endl;
            }
        }
    }
    void strings(const char* path, const StringSeq& a, const StringSeq& b) {
        if (a.size() != b.size()) {
            differ();
            std::cout << path << ".size not equal: " << a.size() << " vs " << b.size() << std::endl;
            return;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                differ();
                std::cout << path << "[" << i << "] not equal: " << a[i] << " vs " << b[i]
                          << std::endl;
            }
        }
    }

    // Row groups shared by several QoS types, in their comparison order.
    void durabilityService(const DurabilityServiceQosPolicy& a, const DurabilityServiceQosPolicy& b) {
        duration("durability_service.service_cleanup_delay", a.service_cleanup_delay,
                 b.service_cleanup_delay);
        kind("durability_service.history_kind", a.history_kind, b.history_kind);
        int32("durability_service.history_depth", a.history_depth, b.history_depth);
        int32("durability_service.max_samples", a.max_samples, b.max_samples);
        int32("durability_service.max_instances", a.max_instances, b.max_instances);
        int32("durability_service.max_samples_per_instance", a.max_samples_per_instance,
              b.max_samples_per_instance);
    }
    template <typename Q>
    void deadlineToReliability(const Q& a, const Q& b) {
        duration("deadline.period", a.deadline.period, b.deadline.period);
        duration("latency_budget.duration", a.latency_budget.duration, b.latency_budget.duration);
        kind("liveliness.kind", a.liveliness.kind, b.liveliness.kind);
        duration("liveliness.lease_duration", a.liveliness.lease_duration, b.liveliness.lease_duration);
        kind("reliability.kind", a.reliability.kind, b.reliability.kind);
        duration("reliability.max_blocking_time", a.reliability.max_blocking_time,
                 b.reliability.max_blocking_time);
    }
    template <typename Q>
    void orderHistoryLimits(const Q& a, const Q& b) {
        kind("destination_order.kind", a.destination_order.kind, b.destination_order.kind);
        kind("history.kind", a.history.kind, b.history.kind);
        int32("history.depth", a.history.depth, b.history.depth);
        int32("resource_limits.max_samples", a.resource_limits.max_samples,
              b.resource_limits.max_samples);
        int32("resource_limits.max_instances", a.resource_limits.max_instances,
              b.resource_limits.max_instances);
        int32("resource_limits.max_samples_per_instance", a.resource_limits.max_samples_per_instance,
              b.resource_limits.max_samples_per_instance);
    }
    template <typename Q>
    void group(const Q& a, const Q& b) {
        strings("partition.name", a.partition.name, b.partition.name);
        octets("group_data.value", a.group_data.value, b.group_data.value);
        kind("presentation.access_scope", a.presentation.access_scope, b.presentation.access_scope);
        flag("presentation.coherent_access", a.presentation.coherent_access,
             b.presentation.coherent_access);
        flag("presentation.ordered_access", a.presentation.ordered_access,
             b.presentation.ordered_access);
        flag("entity_factory.autoenable_created_entities",
             a.entity_factory.autoenable_created_entities, b.entity_factory.autoenable_created_entities);
    }

private:
    void differ() { equal_ = false; }
    bool equal_ = true;
};

void resetDurabilityService(DurabilityServiceQosPolicy& p) {
    p.service_cleanup_delay = kZero;
    p.history_kind = KEEP_LAST_HISTORY_QOS;
    p.history_depth = 1;
    p.max_samples = LENGTH_UNLIMITED;
    p.max_instances = LENGTH_UNLIMITED;
    p.max_samples_per_instance = LENGTH_UNLIMITED;
}

template <typename Q>
void resetCommon(Q& q, ReliabilityQosPolicyKind reliability) {
    q.durability.kind = VOLATILE_DURABILITY_QOS;
    resetDurabilityService(q.durability_service);
    q.deadline.period = kInfinite;
    q.latency_budget.duration = kZero;
    q.liveliness.kind = AUTOMATIC_LIVELINESS_QOS;
    q.liveliness.lease_duration = kInfinite;
    q.reliability.kind = reliability;
    q.reliability.max_blocking_time = kHundredMs;
    q.destination_order.kind = BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS;
    q.history.kind = KEEP_LAST_HISTORY_QOS;
    q.history.depth = 1;
    q.resource_limits.max_samples = LENGTH_UNLIMITED;
    q.resource_limits.max_instances = LENGTH_UNLIMITED;
    q.resource_limits.max_samples_per_instance = LENGTH_UNLIMITED;
    q.transport_priority.value = 0;
    q.lifespan.duration = kInfinite;
    q.ownership.kind = SHARED_OWNERSHIP_QOS;
}

template <typename Q>
void resetGroup(Q& q) {
    q.partition.name.clear();  // keeps the capacity
    q.group_data.value.clear();
    q.presentation.access_scope = INSTANCE_PRESENTATION_QOS;
    q.presentation.coherent_access = false;
    q.presentation.ordered_access = false;
    q.entity_factory.autoenable_created_entities = true;
}

}  // namespace

namespace TestHelper {

bool dpf_qos_compare(const DomainParticipantFactoryQos& a, const DomainParticipantFactoryQos& b) {
    Rows rows;
    rows.flag("entity_factory.autoenable_created_entities", a.entity_factory.autoenable_created_entities,
              b.entity_factory.autoenable_created_entities);
    return rows.equal();
}

bool dp_qos_compare(const DomainParticipantQos& a, const DomainParticipantQos& b) {
    Rows rows;
    rows.octets("user_data.value", a.user_data.value, b.user_data.value);
    rows.flag("entity_factory.autoenable_created_entities", a.entity_factory.autoenable_created_entities,
              b.entity_factory.autoenable_created_entities);
    return rows.equal();
}

bool publisher_qos_compare(const PublisherQos& a, const PublisherQos& b) {
    Rows rows;
    rows.group(a, b);
    return rows.equal();
}

bool subscriber_qos_compare(const SubscriberQos& a, const SubscriberQos& b) {
    Rows rows;
    rows.group(a, b);
    return rows.equal();
}

bool topic_qos_compare(const TopicQos& a, const TopicQos& b) {
    Rows rows;
    rows.octets("topic_data.value", a.topic_data.value, b.topic_data.value);
    rows.kind("durability.kind", a.durability.kind, b.durability.kind);
    rows.durabilityService(a.durability_service, b.durability_service);
    rows.deadlineToReliability(a, b);
    rows.orderHistoryLimits(a, b);
    rows.int32("transport_priority.value", a.transport_priority.value, b.transport_priority.value);
    rows.duration("lifespan.duration", a.lifespan.duration, b.lifespan.duration);
    rows.kind("ownership.kind", a.ownership.kind, b.ownership.kind);
    return rows.equal();
}

bool datawriter_qos_compare(const DataWriterQos& a, const DataWriterQos& b) {
    Rows rows;
    rows.kind("durability.kind", a.durability.kind, b.durability.kind);
    rows.durabilityService(a.durability_service, b.durability_service);
    rows.deadlineToReliability(a, b);
    rows.orderHistoryLimits(a, b);
    rows.int32("transport_priority.value", a.transport_priority.value, b.transport_priority.value);
    rows.duration("lifespan.duration", a.lifespan.duration, b.lifespan.duration);
    rows.octets("user_data.value", a.user_data.value, b.user_data.value);
    rows.kind("ownership.kind", a.ownership.kind, b.ownership.kind);
    rows.int32("ownership_strength.value", a.ownership_strength.value, b.ownership_strength.value);
    rows.flag("writer_data_lifecycle.autodispose_unregistered_instances",
              a.writer_data_lifecycle.autodispose_unregistered_instances,
              b.writer_data_lifecycle.autodispose_unregistered_instances);
    return rows.equal();
}

bool datareader_qos_compare(const DataReaderQos& a, const DataReaderQos& b) {
    Rows rows;
    rows.kind("durability.kind", a.durability.kind, b.durability.kind);
    rows.deadlineToReliability(a, b);
    rows.orderHistoryLimits(a, b);
    rows.octets("user_data.value", a.user_data.value, b.user_data.value);
    rows.kind("ownership.kind", a.ownership.kind, b.ownership.kind);
    rows.duration("time_based_filter.minimum_separation", a.time_based_filter.minimum_separation,
                  b.time_based_filter.minimum_separation);
    rows.duration("reader_data_lifecycle.autopurge_nowriter_samples_delay",
                  a.reader_data_lifecycle.autopurge_nowriter_samples_delay,
                  b.reader_data_lifecycle.autopurge_nowriter_samples_delay);
    rows.duration("reader_data_lifecycle.autopurge_disposed_samples_delay",
                  a.reader_data_lifecycle.autopurge_disposed_samples_delay,
                  b.reader_data_lifecycle.autopurge_disposed_samples_delay);
    return rows.equal();
}

bool waitmatch(DataReader* reader, int count) {
    (void)count;  // callers pass 1: any match will do
    if (reader == nullptr) {
        return false;
    }
    constexpr int kPolls = 10;
    for (int poll = 0; poll < kPolls; ++poll) {
        InstanceHandleSeq handles;
        if (reader->get_matched_publications(handles) == RETCODE_OK && !handles.empty()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return false;
}

}  // namespace TestHelper

void topic_qos_reset(TopicQos& qos) {
    qos.topic_data.value.clear();
    resetCommon(qos, BEST_EFFORT_RELIABILITY_QOS);
}

void datawriter_qos_reset(DataWriterQos& qos) {
    resetCommon(qos, RELIABLE_RELIABILITY_QOS);
    qos.user_data.value.clear();
    qos.ownership_strength.value = 0;
    qos.writer_data_lifecycle.autodispose_unregistered_instances = true;
}

void publisher_qos_reset(PublisherQos& qos) { resetGroup(qos); }

void subscriber_qos_reset(SubscriberQos& qos) { resetGroup(qos); }
