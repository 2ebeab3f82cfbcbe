#include "TestHelper.h"

#include <chrono>
#include <cstddef>
#include <iostream>
#include <string>
#include <thread>

using namespace QUORVELA;

namespace {

constexpr Duration_t kInfinite = {0x7fffffff, 0xffffffffu};
constexpr Duration_t kZero = {0, 0};
constexpr Duration_t kHundredMs = {0, 100000000};

// One compared row of a and b: the path that a difference line names is the
// text of the member itself.
#define QOS_ROW(check, field) check(#field, a.field, b.field)

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
    // Octets are written as raw characters.
    void octets(const char* path, const OctetSeq& a, const OctetSeq& b) {
        sequence(path, a, b, [](octet v) { return static_cast<char>(v); });
    }
    void strings(const char* path, const StringSeq& a, const StringSeq& b) {
        sequence(path, a, b, [](const std::string& v) -> const std::string& { return v; });
    }

    // Row groups shared by several QoS types, in their comparison order.
    template <typename Q>
    void durabilityService(const Q& a, const Q& b) {
        QOS_ROW(duration, durability_service.service_cleanup_delay);
        QOS_ROW(kind, durability_service.history_kind);
        QOS_ROW(int32, durability_service.history_depth);
        QOS_ROW(int32, durability_service.max_samples);
        QOS_ROW(int32, durability_service.max_instances);
        QOS_ROW(int32, durability_service.max_samples_per_instance);
    }
    template <typename Q>
    void deadlineToReliability(const Q& a, const Q& b) {
        QOS_ROW(duration, deadline.period);
        QOS_ROW(duration, latency_budget.duration);
        QOS_ROW(kind, liveliness.kind);
        QOS_ROW(duration, liveliness.lease_duration);
        QOS_ROW(kind, reliability.kind);
        QOS_ROW(duration, reliability.max_blocking_time);
    }
    template <typename Q>
    void orderHistoryLimits(const Q& a, const Q& b) {
        QOS_ROW(kind, destination_order.kind);
        QOS_ROW(kind, history.kind);
        QOS_ROW(int32, history.depth);
        QOS_ROW(int32, resource_limits.max_samples);
        QOS_ROW(int32, resource_limits.max_instances);
        QOS_ROW(int32, resource_limits.max_samples_per_instance);
    }
    template <typename Q>
    void group(const Q& a, const Q& b) {
        QOS_ROW(strings, partition.name);
        QOS_ROW(octets, group_data.value);
        QOS_ROW(kind, presentation.access_scope);
        QOS_ROW(flag, presentation.coherent_access);
        QOS_ROW(flag, presentation.ordered_access);
        QOS_ROW(flag, entity_factory.autoenable_created_entities);
    }

private:
    // Sequences of other sizes give one ".size" line; of the same size, one
    // line per differing element, its value written by show.
    template <typename Seq, typename Show>
    void sequence(const char* path, const Seq& a, const Seq& b, Show show) {
        if (a.size() != b.size()) {
            differ();
            std::cout << path << ".size not equal: " << a.size() << " vs " << b.size() << std::endl;
            return;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                differ();
                std::cout << path << "[" << i << "] not equal: " << show(a[i]) << " vs " << show(b[i])
                          << std::endl;
            }
        }
    }

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
    rows.QOS_ROW(flag, entity_factory.autoenable_created_entities);
    return rows.equal();
}

bool dp_qos_compare(const DomainParticipantQos& a, const DomainParticipantQos& b) {
    Rows rows;
    rows.QOS_ROW(octets, user_data.value);
    rows.QOS_ROW(flag, entity_factory.autoenable_created_entities);
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
    rows.QOS_ROW(octets, topic_data.value);
    rows.QOS_ROW(kind, durability.kind);
    rows.durabilityService(a, b);
    rows.deadlineToReliability(a, b);
    rows.orderHistoryLimits(a, b);
    rows.QOS_ROW(int32, transport_priority.value);
    rows.QOS_ROW(duration, lifespan.duration);
    rows.QOS_ROW(kind, ownership.kind);
    return rows.equal();
}

bool datawriter_qos_compare(const DataWriterQos& a, const DataWriterQos& b) {
    Rows rows;
    rows.QOS_ROW(kind, durability.kind);
    rows.durabilityService(a, b);
    rows.deadlineToReliability(a, b);
    rows.orderHistoryLimits(a, b);
    rows.QOS_ROW(int32, transport_priority.value);
    rows.QOS_ROW(duration, lifespan.duration);
    rows.QOS_ROW(octets, user_data.value);
    rows.QOS_ROW(kind, ownership.kind);
    rows.QOS_ROW(int32, ownership_strength.value);
    rows.QOS_ROW(flag, writer_data_lifecycle.autodispose_unregistered_instances);
    return rows.equal();
}

bool datareader_qos_compare(const DataReaderQos& a, const DataReaderQos& b) {
    Rows rows;
    rows.QOS_ROW(kind, durability.kind);
    rows.deadlineToReliability(a, b);
    rows.orderHistoryLimits(a, b);
    rows.QOS_ROW(octets, user_data.value);
    rows.QOS_ROW(kind, ownership.kind);
    rows.QOS_ROW(duration, time_based_filter.minimum_separation);
    rows.QOS_ROW(duration, reader_data_lifecycle.autopurge_nowriter_samples_delay);
    rows.QOS_ROW(duration, reader_data_lifecycle.autopurge_disposed_samples_delay);
    return rows.equal();
}

#undef QOS_ROW

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
