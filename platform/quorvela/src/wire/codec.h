// Sample encoding through a user type support and the handle conversions
// the data path needs (durations and times: duration.h; QoS:
// policy_wire.h).
#pragma once

#include <cstdint>
#include <vector>

#include "duration.h"
#include "quorvela/qos.h"
#include "quorvela/type_support.h"
#include "quorvela/types.h"
#include "wire/endpoint.h"

namespace QUORVELA::wire {

// Payload layout: 4-octet header {0, 1 when little endian, 0, 0}, then the
// plain CDR bytes of serialize_data (alignment counted from their start).
constexpr size_t kPayloadHeader = 4;

bool encode_sample(TypeSupport* ts, const void* sample, std::vector<uint8_t>& out);
// Decodes into an existing sample made by ts->create_data().
bool decode_into(TypeSupport* ts, const uint8_t* payload, size_t len, void* sample);
// Plain CDR bytes and their byte order, for the filter evaluator; Bytes is
// a payload held in a std::vector<uint8_t> or a wire::Payload.
template <typename Bytes>
const uint8_t* cdr_bytes(const Bytes& payload) {
  return payload.size() > kPayloadHeader ? payload.data() + kPayloadHeader : nullptr;
}
template <typename Bytes>
size_t cdr_size(const Bytes& payload) {
  return payload.size() > kPayloadHeader ? payload.size() - kPayloadHeader : 0;
}
template <typename Bytes>
bool cdr_little_endian(const Bytes& payload) {
  return payload.size() > 1 && payload.data()[1] == 1;
}

// Instance key of a sample of a keyed type (the type support's key hash).
bool key_of(TypeSupport* ts, const void* sample, KeyHash& key);
InstanceHandle_t instance_handle_of(const KeyHash& key);  // the handle users see
KeyHash key_of_handle(const InstanceHandle_t& h);

// DDS_RETCODE_* to the library's return codes.
ReturnCode_t to_retcode(dds_return_t rc);

}  // namespace QUORVELA::wire
