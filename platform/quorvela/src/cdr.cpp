#include "quorvela/cdr.h"

#include <cstring>

namespace QUORVELA {

namespace {

bool host_is_little_endian() {
  const uint16_t probe = 1;
  uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

uint32_t align_pad(uint32_t position, uint32_t alignment) {
  if (alignment <= 1) return 0;
  return (alignment - position % alignment) % alignment;
}

// What may still be written or read: the smaller of the counter the caller
// keeps and what the buffer really has left, so a counter that drifted from
// its buffer never lets an access leave the buffer.
uint32_t room(uint32_t counted, const SerializedBuffer* buffer) {
  const uint32_t real = buffer->data() != nullptr ? buffer->remaining() : 0;
  return counted < real ? counted : real;
}

uint32_t swap32(uint32_t v) {
  return ((v & 0xffu) << 24) | ((v & 0xff00u) << 8) | ((v & 0xff0000u) >> 8) | ((v & 0xff000000u) >> 24);
}

// 128-bit mixing hash for keys that do not fit the direct form.
void hash128(const uint8_t* data, size_t n, uint8_t out[16]) {
  uint64_t h1 = 0x9e3779b97f4a7c15ULL ^ n;
  uint64_t h2 = 0xc2b2ae3d27d4eb4fULL ^ (n * 0x165667b19e3779f9ULL);
  for (size_t i = 0; i < n; ++i) {
    h1 = (h1 ^ data[i]) * 0x100000001b3ULL;
    h2 = (h2 + data[i] + (h1 >> 29)) * 0xff51afd7ed558ccdULL;
  }
  auto fmix = [](uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
  };
  h1 = fmix(h1 + h2);
  h2 = fmix(h2 + h1);
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<uint8_t>(h1 >> (8 * i));
    out[8 + i] = static_cast<uint8_t>(h2 >> (8 * i));
  }
}

}  // namespace

// ------------------------------------------------------------ SerializedBuffer
SerializedBuffer* SerializedBuffer::writeData(const void* src, uint32_t n) {
  if (n == 0) return this;
  if (src == nullptr || data_ == nullptr || n > size_ - offset_) return nullptr;
  std::memcpy(data_ + offset_, src, n);
  offset_ += n;
  return this;
}

SerializedBuffer* SerializedBuffer::readData(void* dst, uint32_t n) {
  if (n == 0) return this;
  if (data_ == nullptr || n > size_ - offset_) return nullptr;
  if (dst != nullptr) std::memcpy(dst, data_ + offset_, n);
  offset_ += n;
  return this;
}

// --------------------------------------------------------------- CdrSerializer
CdrSerializer::CdrSerializer(SerializedBuffer* buffer, bool byteOrderFlag)
    : m_buffer(buffer),
      m_remaining(buffer != nullptr ? buffer->remaining() : 0),
      m_position(0),
      m_byteOrder(byteOrderFlag),
      start_(buffer != nullptr && buffer->data() != nullptr ? buffer->data() + buffer->offset() : nullptr) {}

bool CdrSerializer::isLittleEndian() const { return host_is_little_endian(); }

bool CdrSerializer::serializeString(const std::string& value) {
  if (m_buffer == nullptr) return false;
  if (value.size() > 0xfffffffeu) return false;
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  const uint32_t pad = align_pad(m_position, 4);
  const uint32_t length = static_cast<uint32_t>(value.size()) + 1;
  // Everything must fit before anything is written.
  if (static_cast<uint64_t>(pad) + 4 + length > room(m_remaining, m_buffer)) return false;
  uint32_t wire_length = length;
  if (m_byteOrder != isLittleEndian()) wire_length = swap32(wire_length);
  SerializedBuffer* b = m_buffer->writeData(zeros, pad);
  if (b == nullptr) return false;
  b = b->writeData(&wire_length, 4);
  if (b == nullptr) return false;
  b = b->writeData(value.data(), static_cast<uint32_t>(value.size()));
  if (b == nullptr) return false;
  b = b->writeData(zeros, 1);
  if (b == nullptr) return false;
  m_buffer = b;
  m_position += pad + 4 + length;
  m_remaining -= pad + 4 + length;
  return true;
}

bool CdrSerializer::getKeyHash(uint8_t* target16, bool force) {
  if (target16 == nullptr || m_buffer == nullptr || start_ == nullptr) return false;
  const uint8_t* end = m_buffer->data() + m_buffer->offset();
  if (end < start_) return false;
  const size_t n = static_cast<size_t>(end - start_);
  std::memset(target16, 0, 16);
  if (!force && n <= 15) {
    // Direct form: a marker with the length, then the key bytes. Injective,
    // and never the all-zero nil handle.
    target16[0] = static_cast<uint8_t>(0x80u | n);
    if (n > 0) std::memcpy(target16 + 1, start_, n);
  } else {
    // Hashed form: the marker bit is clear, so it never meets a direct form.
    hash128(start_, n, target16);
    target16[0] = static_cast<uint8_t>((target16[0] & 0x7fu) | 0x40u);
  }
  return true;
}

uint32_t CdrSerializer::getBaseTypeSize(uint32_t scalarSize, uint32_t offset) {
  return align_pad(offset, scalarSize) + scalarSize;
}

uint32_t CdrSerializer::getStringSize(uint32_t sizeWithTerminator, uint32_t offset) {
  return align_pad(offset, 4) + 4 + sizeWithTerminator;
}

// ------------------------------------------------------------- CdrDeserializer
CdrDeserializer::CdrDeserializer(SerializedBuffer* buffer, bool byteOrderFlag)
    : m_buffer(buffer),
      m_remaining(buffer != nullptr ? buffer->remaining() : 0),
      m_position(0),
      m_byteOrder(byteOrderFlag) {}

bool CdrDeserializer::isLittleEndian() const { return host_is_little_endian(); }

bool CdrDeserializer::deserializeString(std::string& value) {
  if (m_buffer == nullptr) return false;
  const uint32_t pad = align_pad(m_position, 4);
  if (static_cast<uint64_t>(pad) + 4 > room(m_remaining, m_buffer)) return false;
  SerializedBuffer* b = m_buffer->readData(nullptr, pad);
  if (b == nullptr) return false;
  uint32_t length = 0;
  b = b->readData(&length, 4);
  if (b == nullptr) return false;
  if (m_byteOrder != isLittleEndian()) length = swap32(length);
  m_buffer = b;
  m_position += pad + 4;
  m_remaining -= pad + 4;
  if (length == 0 || length > room(m_remaining, m_buffer)) return false;
  const uint8_t* chars = m_buffer->data() + m_buffer->offset();
  if (chars[length - 1] != 0) return false;
  std::string text(reinterpret_cast<const char*>(chars), length - 1);
  b = m_buffer->readData(nullptr, length);
  if (b == nullptr) return false;
  m_buffer = b;
  m_position += length;
  m_remaining -= length;
  value.swap(text);
  return true;
}

}  // namespace QUORVELA
