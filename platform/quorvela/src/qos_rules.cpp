#include "qos_rules.h"

namespace QUORVELA::detail {

namespace {

bool valid_limit(int32_t v) { return v == LENGTH_UNLIMITED || v > 0; }

ReturnCode_t check_history_limits(const HistoryQosPolicy& h, const ResourceLimitsQosPolicy& r) {
  if (h.kind > KEEP_ALL_HISTORY_QOS) return RETCODE_BAD_PARAMETER;
  if (h.kind == KEEP_LAST_HISTORY_QOS && h.depth < 1) return RETCODE_BAD_PARAMETER;
  if (!valid_limit(r.max_samples) || !valid_limit(r.max_instances) || !valid_limit(r.max_samples_per_instance))
    return RETCODE_BAD_PARAMETER;
  if (r.max_samples != LENGTH_UNLIMITED && r.max_samples_per_instance != LENGTH_UNLIMITED &&
      r.max_samples < r.max_samples_per_instance)
    return RETCODE_INCONSISTENT_POLICY;
  // Under keep all the depth is not used.
  if (h.kind == KEEP_LAST_HISTORY_QOS && r.max_samples_per_instance != LENGTH_UNLIMITED &&
      h.depth > r.max_samples_per_instance)
    return RETCODE_INCONSISTENT_POLICY;
  return RETCODE_OK;
}

ReturnCode_t check_durability_service(const DurabilityServiceQosPolicy& d) {
  // Ranges only: the durability service's depth and limits are not required
  // to agree with each other.
  if (!is_valid(d.service_cleanup_delay)) return RETCODE_BAD_PARAMETER;
  if (d.history_kind > KEEP_ALL_HISTORY_QOS) return RETCODE_BAD_PARAMETER;
  if (d.history_kind == KEEP_LAST_HISTORY_QOS && d.history_depth < 1) return RETCODE_BAD_PARAMETER;
  if (!valid_limit(d.max_samples) || !valid_limit(d.max_instances) || !valid_limit(d.max_samples_per_instance))
    return RETCODE_BAD_PARAMETER;
  return RETCODE_OK;
}

ReturnCode_t check_common(const DurabilityQosPolicy& dur, const DeadlineQosPolicy& dl,
                          const LatencyBudgetQosPolicy& lb, const LivelinessQosPolicy& lv,
                          const ReliabilityQosPolicy& rel, const DestinationOrderQosPolicy& dst,
                          const OwnershipQosPolicy& own) {
  if (dur.kind > PERSISTENT_DURABILITY_QOS) return RETCODE_BAD_PARAMETER;
  if (!is_valid(dl.period) || !is_valid(lb.duration)) return RETCODE_BAD_PARAMETER;
  if (lv.kind > MANUAL_BY_TOPIC_LIVELINESS_QOS || !is_valid(lv.lease_duration)) return RETCODE_BAD_PARAMETER;
  if (rel.kind != BEST_EFFORT_RELIABILITY_QOS && rel.kind != RELIABLE_RELIABILITY_QOS) return RETCODE_BAD_PARAMETER;
  if (!is_valid(rel.max_blocking_time)) return RETCODE_BAD_PARAMETER;
  if (dst.kind > BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS) return RETCODE_BAD_PARAMETER;
  if (own.kind > EXCLUSIVE_OWNERSHIP_QOS) return RETCODE_BAD_PARAMETER;
  return RETCODE_OK;
}

ReturnCode_t check_presentation(const PresentationQosPolicy& p) {
  return p.access_scope > GROUP_PRESENTATION_QOS ? RETCODE_BAD_PARAMETER : RETCODE_OK;
}

#define QV_TRY(expr)                           \
  do {                                         \
    ReturnCode_t rc_ = (expr);                 \
    if (rc_ != RETCODE_OK) return rc_;         \
  } while (0)

}  // namespace

ReturnCode_t check_qos(const DomainParticipantFactoryQos&) { return RETCODE_OK; }

ReturnCode_t check_qos(const DomainParticipantQos& q) {
  // A participant needs at least one transport.
  return q.transport_mode == 0 ? RETCODE_BAD_PARAMETER : RETCODE_OK;
}

ReturnCode_t check_qos(const PublisherQos& q) { return check_presentation(q.presentation); }
ReturnCode_t check_qos(const SubscriberQos& q) { return check_presentation(q.presentation); }

ReturnCode_t check_qos(const TopicQos& q) {
  QV_TRY(check_common(q.durability, q.deadline, q.latency_budget, q.liveliness, q.reliability, q.destination_order,
                      q.ownership));
  QV_TRY(check_durability_service(q.durability_service));
  if (!is_valid(q.lifespan.duration)) return RETCODE_BAD_PARAMETER;
  return check_history_limits(q.history, q.resource_limits);
}

ReturnCode_t check_qos(const DataWriterQos& q) {
  QV_TRY(check_common(q.durability, q.deadline, q.latency_budget, q.liveliness, q.reliability, q.destination_order,
                      q.ownership));
  QV_TRY(check_durability_service(q.durability_service));
  if (!is_valid(q.lifespan.duration)) return RETCODE_BAD_PARAMETER;
  return check_history_limits(q.history, q.resource_limits);
}

ReturnCode_t check_qos(const DataReaderQos& q) {
  QV_TRY(check_common(q.durability, q.deadline, q.latency_budget, q.liveliness, q.reliability, q.destination_order,
                      q.ownership));
  if (!is_valid(q.time_based_filter.minimum_separation)) return RETCODE_BAD_PARAMETER;
  if (!is_valid(q.reader_data_lifecycle.autopurge_nowriter_samples_delay) ||
      !is_valid(q.reader_data_lifecycle.autopurge_disposed_samples_delay))
    return RETCODE_BAD_PARAMETER;
  QV_TRY(check_history_limits(q.history, q.resource_limits));
  // A reader cannot ask for a deadline shorter than its own filter separation.
  if (less(q.deadline.period, q.time_based_filter.minimum_separation)) return RETCODE_INCONSISTENT_POLICY;
  return RETCODE_OK;
}

namespace {

bool same(const Duration_t& a, const Duration_t& b) { return a == b; }
bool same(const DurabilityServiceQosPolicy& a, const DurabilityServiceQosPolicy& b) {
  return same(a.service_cleanup_delay, b.service_cleanup_delay) && a.history_kind == b.history_kind &&
         a.history_depth == b.history_depth && a.max_samples == b.max_samples && a.max_instances == b.max_instances &&
         a.max_samples_per_instance == b.max_samples_per_instance;
}
bool same(const LivelinessQosPolicy& a, const LivelinessQosPolicy& b) {
  return a.kind == b.kind && same(a.lease_duration, b.lease_duration);
}
bool same(const ReliabilityQosPolicy& a, const ReliabilityQosPolicy& b) {
  return a.kind == b.kind && same(a.max_blocking_time, b.max_blocking_time);
}
bool same(const HistoryQosPolicy& a, const HistoryQosPolicy& b) { return a.kind == b.kind && a.depth == b.depth; }
bool same(const ResourceLimitsQosPolicy& a, const ResourceLimitsQosPolicy& b) {
  return a.max_samples == b.max_samples && a.max_instances == b.max_instances &&
         a.max_samples_per_instance == b.max_samples_per_instance;
}
bool same(const PresentationQosPolicy& a, const PresentationQosPolicy& b) {
  return a.access_scope == b.access_scope && a.coherent_access == b.coherent_access &&
         a.ordered_access == b.ordered_access;
}

ReturnCode_t verdict(bool unchanged) { return unchanged ? RETCODE_OK : RETCODE_IMMUTABLE_POLICY; }

}  // namespace

ReturnCode_t check_changeable(const DomainParticipantQos& c, const DomainParticipantQos& n) {
  return verdict(c.transport_mode == n.transport_mode);
}

ReturnCode_t check_changeable(const PublisherQos& c, const PublisherQos& n) {
  return verdict(same(c.presentation, n.presentation));
}

ReturnCode_t check_changeable(const SubscriberQos& c, const SubscriberQos& n) {
  return verdict(same(c.presentation, n.presentation));
}

ReturnCode_t check_changeable(const TopicQos& c, const TopicQos& n) {
  return verdict(c.durability.kind == n.durability.kind && same(c.durability_service, n.durability_service) &&
                 same(c.liveliness, n.liveliness) && same(c.reliability, n.reliability) &&
                 c.destination_order.kind == n.destination_order.kind && same(c.history, n.history) &&
                 same(c.resource_limits, n.resource_limits) && c.ownership.kind == n.ownership.kind);
}

ReturnCode_t check_changeable(const DataWriterQos& c, const DataWriterQos& n) {
  return verdict(c.durability.kind == n.durability.kind && same(c.durability_service, n.durability_service) &&
                 same(c.liveliness, n.liveliness) && same(c.reliability, n.reliability) &&
                 c.destination_order.kind == n.destination_order.kind && same(c.history, n.history) &&
                 same(c.resource_limits, n.resource_limits) && c.ownership.kind == n.ownership.kind);
}

ReturnCode_t check_changeable(const DataReaderQos& c, const DataReaderQos& n) {
  return verdict(c.durability.kind == n.durability.kind && same(c.liveliness, n.liveliness) &&
                 same(c.reliability, n.reliability) && c.destination_order.kind == n.destination_order.kind &&
                 same(c.history, n.history) && same(c.resource_limits, n.resource_limits) &&
                 c.ownership.kind == n.ownership.kind);
}

}  // namespace QUORVELA::detail
