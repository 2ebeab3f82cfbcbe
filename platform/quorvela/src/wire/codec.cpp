#include "wire/codec.h"

#include <cstring>

#include "quorvela/cdr.h"

namespace QUORVELA::wire {

namespace {
bool host_little_endian() {
  const uint16_t one = 1;
  uint8_t b;
  std::memcpy(&b, &one, 1);
  return b == 1;
}
}  // namespace

bool encode_sample(TypeSupport* ts, const void* sample, std::vector<uint8_t>& out) {
  void* s = const_cast<void*>(sample);
  uint32_t size = ts->get_serialized_data_size(s, 0);
  const bool le = host_little_endian();
  out.assign(kPayloadHeader + size, 0);
  out[1] = le ? 1 : 0;
  SerializedBuffer buf(out.data() + kPayloadHeader, size);
  CdrSerializer ser(&buf, le);
  if (ts->serialize_data(s, &ser, le ? 1 : 0) != 0) return false;
  out.resize(kPayloadHeader + ser.m_position);
  return true;
}

bool decode_into(TypeSupport* ts, const uint8_t* payload, size_t len, void* sample) {
  if (len < kPayloadHeader) return false;
  const bool le = payload[1] == 1;
  SerializedBuffer buf(const_cast<uint8_t*>(payload) + kPayloadHeader, static_cast<uint32_t>(len - kPayloadHeader));
  CdrDeserializer des(&buf, le);
  return ts->deserialize_data(sample, &des, le ? 1 : 0) == 0;
}

bool key_of(TypeSupport* ts, const void* sample, KeyHash& key) {
  InstanceHandle_t h;
  if (ts->MakeKey(sample, h, false) != 0) return false;
  std::memcpy(key.data(), h.value, 16);
  return true;
}

InstanceHandle_t instance_handle_of(const KeyHash& key) {
  InstanceHandle_t h;
  std::memcpy(h.value, key.data(), 16);
  h.length = 16;
  h.trailing = 0;
  return h;
}

KeyHash key_of_handle(const InstanceHandle_t& h) {
  KeyHash k;
  std::memcpy(k.data(), h.value, 16);
  return k;
}

// The library's infinite duration and time are Cyclone's.
static_assert(detail::kInfiniteNs == DDS_INFINITY && detail::kInfiniteNs == DDS_NEVER);

namespace {

// What writer and reader QoS have in common, with the group's partitions and
// group data and the topic's topic data.
template <typename Qos, typename GroupQos>
EndpointQos common_endpoint_qos(const Qos& e, const GroupQos& g, const TopicQos& t) {
  EndpointQos q;
  q.durability = e.durability.kind;
  q.reliability = e.reliability.kind;
  q.max_blocking_ns = detail::to_ns(e.reliability.max_blocking_time);
  q.history_kind = e.history.kind;
  q.history_depth = e.history.depth;
  q.deadline_ns = detail::to_ns(e.deadline.period);
  q.latency_budget_ns = detail::to_ns(e.latency_budget.duration);
  q.liveliness = e.liveliness.kind;
  q.lease_ns = detail::to_ns(e.liveliness.lease_duration);
  q.ownership = e.ownership.kind;
  q.destination_order = e.destination_order.kind;
  q.user_data = e.user_data.value;
  q.topic_data = t.topic_data.value;
  q.group_data = g.group_data.value;
  q.partitions = g.partition.name;
  q.presentation = g.presentation;
  return q;
}

}  // namespace

EndpointQos endpoint_qos(const DataWriterQos& w, const PublisherQos& p, const TopicQos& t) {
  EndpointQos q = common_endpoint_qos(w, p, t);
  q.strength = w.ownership_strength.value;
  q.lifespan_ns = detail::to_ns(w.lifespan.duration);
  q.autodispose = w.writer_data_lifecycle.autodispose_unregistered_instances;
  return q;
}

EndpointQos endpoint_qos(const DataReaderQos& r, const SubscriberQos& s, const TopicQos& t) {
  EndpointQos q = common_endpoint_qos(r, s, t);
  q.max_samples = r.resource_limits.max_samples;
  q.max_instances = r.resource_limits.max_instances;
  q.max_samples_per_instance = r.resource_limits.max_samples_per_instance;
  return q;
}

ReturnCode_t to_retcode(dds_return_t rc) {
  switch (rc) {
    case DDS_RETCODE_OK: return RETCODE_OK;
    case DDS_RETCODE_BAD_PARAMETER: return RETCODE_BAD_PARAMETER;
    case DDS_RETCODE_PRECONDITION_NOT_MET: return RETCODE_PRECONDITION_NOT_MET;
    case DDS_RETCODE_OUT_OF_RESOURCES: return RETCODE_OUT_OF_RESOURCES;
    case DDS_RETCODE_NOT_ENABLED: return RETCODE_NOT_ENABLED;
    case DDS_RETCODE_IMMUTABLE_POLICY: return RETCODE_IMMUTABLE_POLICY;
    case DDS_RETCODE_INCONSISTENT_POLICY: return RETCODE_INCONSISTENT_POLICY;
    case DDS_RETCODE_ALREADY_DELETED: return RETCODE_ALREADY_DELETED;
    case DDS_RETCODE_TIMEOUT: return RETCODE_TIMEOUT;
    case DDS_RETCODE_NO_DATA: return RETCODE_NO_DATA;
    case DDS_RETCODE_ILLEGAL_OPERATION: return RETCODE_ILLEGAL_OPERATION;
    case DDS_RETCODE_UNSUPPORTED: return RETCODE_UNSUPPORTED;
    default: return RETCODE_ERROR;
  }
}

}  // namespace QUORVELA::wire
