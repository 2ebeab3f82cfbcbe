#include "qos_rules.h"

#include <algorithm>

#include "faults/fault.h"
#include "policy_table.h"

namespace QUORVELA::detail {

bool free_of_nul(const std::string& name) {
  // Fault: a name holding a NUL is taken, and Cyclone cuts it there.
  return QV_FAULT(names_cut_at_nul) || name.find('\0') == std::string::npos;
}

namespace {

// ------------------------------------------------- the values of one policy
// A policy without an overload here takes every value.
template <typename P>
bool valid(const P&) {
  return true;
}

bool valid_limit(int32_t v) { return v == LENGTH_UNLIMITED || v > 0; }
// A depth is used under keep last only.
bool valid_history(HistoryQosPolicyKind kind, int32_t depth) {
  return kind == KEEP_ALL_HISTORY_QOS || (kind == KEEP_LAST_HISTORY_QOS && depth >= 1);
}

bool valid(const DurabilityQosPolicy& p) { return p.kind <= PERSISTENT_DURABILITY_QOS; }
bool valid(const PresentationQosPolicy& p) { return p.access_scope <= GROUP_PRESENTATION_QOS; }
bool valid(const DeadlineQosPolicy& p) { return is_valid(p.period); }
bool valid(const LatencyBudgetQosPolicy& p) { return is_valid(p.duration); }
bool valid(const OwnershipQosPolicy& p) { return p.kind <= EXCLUSIVE_OWNERSHIP_QOS; }
bool valid(const LivelinessQosPolicy& p) {
  return p.kind <= MANUAL_BY_TOPIC_LIVELINESS_QOS && is_valid(p.lease_duration);
}
bool valid(const TimeBasedFilterQosPolicy& p) { return is_valid(p.minimum_separation); }
bool valid(const PartitionQosPolicy& p) { return std::all_of(p.name.begin(), p.name.end(), free_of_nul); }
bool valid(const ReliabilityQosPolicy& p) {
  return (p.kind == BEST_EFFORT_RELIABILITY_QOS || p.kind == RELIABLE_RELIABILITY_QOS) &&
         is_valid(p.max_blocking_time);
}
bool valid(const DestinationOrderQosPolicy& p) { return p.kind <= BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS; }
bool valid(const HistoryQosPolicy& p) { return valid_history(p.kind, p.depth); }
bool valid(const ResourceLimitsQosPolicy& p) {
  return valid_limit(p.max_samples) && valid_limit(p.max_instances) && valid_limit(p.max_samples_per_instance);
}
bool valid(const ReaderDataLifecycleQosPolicy& p) {
  return is_valid(p.autopurge_nowriter_samples_delay) && is_valid(p.autopurge_disposed_samples_delay);
}
bool valid(const LifespanQosPolicy& p) { return is_valid(p.duration); }
// Ranges only: the durability service's depth and limits are not required
// to agree with each other.
bool valid(const DurabilityServiceQosPolicy& p) {
  return is_valid(p.service_cleanup_delay) && valid_history(p.history_kind, p.history_depth) &&
         valid_limit(p.max_samples) && valid_limit(p.max_instances) && valid_limit(p.max_samples_per_instance);
}
// A participant needs at least one transport.
bool valid(TransportMode mode) { return mode != 0; }

// ------------------------------------------ policies that must agree
ReturnCode_t check_history_limits(const HistoryQosPolicy& h, const ResourceLimitsQosPolicy& r) {
  if (r.max_samples != LENGTH_UNLIMITED && r.max_samples_per_instance != LENGTH_UNLIMITED &&
      r.max_samples < r.max_samples_per_instance)
    return RETCODE_INCONSISTENT_POLICY;
  // Under keep all the depth is not used.
  if (h.kind == KEEP_LAST_HISTORY_QOS && r.max_samples_per_instance != LENGTH_UNLIMITED &&
      h.depth > r.max_samples_per_instance)
    return RETCODE_INCONSISTENT_POLICY;
  return RETCODE_OK;
}

template <typename Q>
ReturnCode_t check(const Q& q) {
  bool values_ok = true;
  for_each_policy_of<Q>([&](const auto&, auto member) { values_ok = values_ok && valid(q.*member); });
  if (!values_ok) return RETCODE_BAD_PARAMETER;
  if constexpr (requires { q.history; q.resource_limits; }) {
    const ReturnCode_t rc = check_history_limits(q.history, q.resource_limits);
    if (rc != RETCODE_OK) return rc;
  }
  if constexpr (requires { q.time_based_filter; }) {
    // A reader cannot ask for a deadline shorter than its own filter separation.
    if (less(q.deadline.period, q.time_based_filter.minimum_separation)) return RETCODE_INCONSISTENT_POLICY;
  }
  return RETCODE_OK;
}

template <typename Q>
ReturnCode_t changeable(const Q& current, const Q& next) {
  bool unchanged = true;
  for_each_policy_of<Q>([&](const auto& row, auto member) {
    if (row.change == Change::no && !(current.*member == next.*member)) unchanged = false;
  });
  return unchanged ? RETCODE_OK : RETCODE_IMMUTABLE_POLICY;
}

}  // namespace

ReturnCode_t check_qos(const DomainParticipantFactoryQos& q) { return check(q); }
ReturnCode_t check_qos(const DomainParticipantQos& q) { return check(q); }
ReturnCode_t check_qos(const PublisherQos& q) { return check(q); }
ReturnCode_t check_qos(const SubscriberQos& q) { return check(q); }
ReturnCode_t check_qos(const TopicQos& q) { return check(q); }
ReturnCode_t check_qos(const DataWriterQos& q) { return check(q); }
ReturnCode_t check_qos(const DataReaderQos& q) { return check(q); }

ReturnCode_t check_changeable(const DomainParticipantQos& c, const DomainParticipantQos& n) { return changeable(c, n); }
ReturnCode_t check_changeable(const PublisherQos& c, const PublisherQos& n) { return changeable(c, n); }
ReturnCode_t check_changeable(const SubscriberQos& c, const SubscriberQos& n) { return changeable(c, n); }
ReturnCode_t check_changeable(const TopicQos& c, const TopicQos& n) { return changeable(c, n); }
ReturnCode_t check_changeable(const DataWriterQos& c, const DataWriterQos& n) { return changeable(c, n); }
ReturnCode_t check_changeable(const DataReaderQos& c, const DataReaderQos& n) { return changeable(c, n); }

}  // namespace QUORVELA::detail
