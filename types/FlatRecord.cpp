#include "FlatRecord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using QUORVELA::CdrDeserializer;
using QUORVELA::CdrSerializer;
using QUORVELA::InstanceHandle_t;
using QUORVELA::SerializedBuffer;

namespace {

// Constant-initialised: no code runs for it at load time.
constinit FlatRecordTypeSupport s_instance;

// Zero bytes written as alignment padding, one block per scalar type.
template <uint32_t Size>
struct Padding {
  static constexpr uint8_t s_alignedData[15] = {};
};

template <uint32_t Size>
uint32_t alignment_for(uint32_t position) {
  static_assert(Size == 2 || Size == 4);
  if constexpr (Size == 4) {
    return (0u - position) % 4u;
  } else {
    return position % 2u;
  }
}

void reverse_bytes(uint8_t* bytes, uint32_t n) { std::reverse(bytes, bytes + n); }

// Writes the padding that aligns the position to Size, then the Size bytes of
// the value in the serializer's byte order.
template <uint32_t Size>
bool write_scalar(CdrSerializer* ser, const void* value) {
  if (ser->m_buffer == nullptr) return false;
  const uint32_t pad = alignment_for<Size>(ser->m_position);
  SerializedBuffer* next = ser->m_buffer->writeData(Padding<Size>::s_alignedData, pad);
  if (next == nullptr) return false;
  ser->m_buffer = next;
  ser->m_position += pad;
  ser->m_remaining -= pad;

  uint8_t bytes[Size];
  std::memcpy(bytes, value, Size);
  if (ser->m_byteOrder != ser->isLittleEndian()) reverse_bytes(bytes, Size);
  next = ser->m_buffer->writeData(bytes, Size);
  if (next == nullptr) return false;
  ser->m_buffer = next;
  ser->m_remaining -= Size;
  ser->m_position += Size;
  return true;
}

// Mirror of write_scalar: skips the padding, reads Size bytes into the field
// and brings them into host order.
template <uint32_t Size>
bool read_scalar(CdrDeserializer* des, void* field) {
  if (des->m_buffer == nullptr) return false;
  const uint32_t pad = alignment_for<Size>(des->m_position);
  SerializedBuffer* next = des->m_buffer->readData(nullptr, pad);
  if (next == nullptr) return false;
  des->m_buffer = next;
  des->m_position += pad;
  des->m_remaining -= pad;

  next = des->m_buffer->readData(field, Size);
  if (next == nullptr) return false;
  des->m_buffer = next;
  des->m_remaining -= Size;
  des->m_position += Size;
  if (des->m_byteOrder != des->isLittleEndian()) reverse_bytes(static_cast<uint8_t*>(field), Size);
  return true;
}

void report(const char* text) { std::fputs(text, stderr); }

}  // namespace

bool FlatRecord::operator<(const FlatRecord&) const { return false; }

void* FlatRecordTypeSupport::create_data() { return new FlatRecord(); }

void FlatRecordTypeSupport::delete_data(void* data) { delete static_cast<FlatRecord*>(data); }

int32_t FlatRecordTypeSupport::copy_data(void* dst, void* src) {
  FlatRecord* to = static_cast<FlatRecord*>(dst);
  const FlatRecord* from = static_cast<const FlatRecord*>(src);
  to->lVal = from->lVal;
  to->sVal = from->sVal;
  to->sbVal = from->sbVal;
  return 0;
}

uint32_t FlatRecordTypeSupport::get_serialized_data_size(void* data, uint32_t offset) {
  const FlatRecord* sample = static_cast<const FlatRecord*>(data);
  const uint32_t a = CdrSerializer::getBaseTypeSize(4, offset);
  const uint32_t b = CdrSerializer::getBaseTypeSize(2, offset + a);
  const uint32_t c = CdrSerializer::getStringSize(static_cast<uint32_t>(sample->sbVal.size()) + 1, offset + a + b);
  return a + b + c;
}

uint32_t FlatRecordTypeSupport::get_max_serialized_data_size(void*, uint32_t offset) {
  const uint32_t a = CdrSerializer::getBaseTypeSize(4, offset);
  const uint32_t b = CdrSerializer::getBaseTypeSize(2, offset + a);
  const uint32_t c = CdrSerializer::getStringSize(256, offset + a + b);
  return a + b + c;
}

int32_t FlatRecordTypeSupport::serialize_data(void* data, CdrSerializer* serializer, int32_t) {
  const FlatRecord* sample = static_cast<const FlatRecord*>(data);
  if (!write_scalar<4>(serializer, &sample->lVal)) {
    report("Serialization failed for field: structData->lVal\n");
    return -1;
  }
  if (!write_scalar<2>(serializer, &sample->sVal)) {
    report("Serialization failed for field: structData->sVal\n");
    return -1;
  }
  if (!serializer->serializeString(sample->sbVal)) {
    report("Serialization failed for field: structData->sbVal\n");
    return -1;
  }
  return 0;
}

int32_t FlatRecordTypeSupport::deserialize_data(void* data, CdrDeserializer* deserializer, int32_t) {
  FlatRecord* sample = static_cast<FlatRecord*>(data);
  if (!read_scalar<4>(deserializer, &sample->lVal)) {
    report("Deserialization failed for field: structData->lVal\n");
    return -1;
  }
  if (!read_scalar<2>(deserializer, &sample->sVal)) {
    report("Deserialization failed for field: structData->sVal\n");
    return -1;
  }
  if (!deserializer->deserializeString(sample->sbVal)) {
    report("Deserialization failed for field: structData->sbVal\n");
    return -1;
  }
  return 0;
}

void* FlatRecordTypeSupport::get_typeobject() { return nullptr; }

int32_t FlatRecordTypeSupport::get_instancehandle(void* data, CdrSerializer* serializer, InstanceHandle_t& handle,
                                                  bool force) {
  if (!has_key()) {
    const InstanceHandle_t& nil = QUORVELA::HANDLE_NIL;
    handle.length = nil.length;
    handle.trailing = nil.trailing;
    std::memcpy(handle.value, nil.value, std::min<uint32_t>(nil.length, sizeof handle.value));
    return 0;
  }
  if (serialize_key(data, serializer, force) != 0) {
    report("Failed to serialize key.\n");
    return 1;
  }
  if (!serializer->getKeyHash(handle.value, force)) {
    report("Failed to get key hash\n");
    return 1;
  }
  return 0;
}

intptr_t FlatRecordTypeSupport::get_typecode() { return 0; }

bool FlatRecordTypeSupport::has_key() { return false; }

const char* FlatRecordTypeSupport::get_typename() { return "FlatRecord"; }

int32_t FlatRecordTypeSupport::MakeKey(const void* data, InstanceHandle_t& handle, bool force) {
  void* sample = const_cast<void*>(data);
  const uint32_t size = get_serialized_data_size(sample, 0);
  uint8_t* bytes = new uint8_t[size];
  SerializedBuffer buffer(bytes, size);
  CdrSerializer serializer(&buffer, true);
  const int32_t rc = get_instancehandle(sample, &serializer, handle, force);
  delete[] bytes;
  return rc == 0 ? 0 : -1;
}

int32_t FlatRecordTypeSupport::serialize_key(void*, CdrSerializer*, int32_t) { return 0; }

FlatRecordTypeSupport* FlatRecordTypeSupport::get_instance() { return &s_instance; }
