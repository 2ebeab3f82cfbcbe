#include "wire/codec.h"

#include <cstring>

#include <unistd.h>

#include "faults/variant.h"
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

namespace {
// Instance handles are the key hash's octets. An instance handle means
// something only to the entity that gave it, so the variant
// instance_handles_per_process gives each process handles of its own: the
// octets mixed with a mask drawn from the process id (and unmixed the same
// way).
void mix_per_process(uint8_t* octets) {
  if (!QV_VARIANT(instance_handles_per_process)) return;
  static const uint32_t mask = static_cast<uint32_t>(::getpid()) * 2654435761u | 1u;
  for (int i = 0; i < 16; ++i) octets[i] ^= static_cast<uint8_t>(mask >> (8 * (i % 4)));
}
}  // namespace

InstanceHandle_t instance_handle_of(const KeyHash& key) {
  InstanceHandle_t h;
  std::memcpy(h.value, key.data(), 16);
  mix_per_process(h.value);
  h.length = 16;
  h.trailing = 0;
  return h;
}

KeyHash key_of_handle(const InstanceHandle_t& h) {
  KeyHash k;
  std::memcpy(k.data(), h.value, 16);
  mix_per_process(k.data());
  return k;
}

// The library's infinite duration and time are Cyclone's.
static_assert(detail::kInfiniteNs == DDS_INFINITY && detail::kInfiniteNs == DDS_NEVER);

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
