// CDR encoding: a buffer over caller memory, a serializer and a deserializer.
// Type supports drive them; alignment is computed against `m_position`.
#ifndef QUORVELA_CDR_H
#define QUORVELA_CDR_H

#include <cstdint>
#include <string>

namespace QUORVELA {

// A window over memory the caller owns. The buffer never frees that memory.
class SerializedBuffer {
 public:
  SerializedBuffer() : data_(nullptr), size_(0), offset_(0) {}
  SerializedBuffer(uint8_t* data, uint32_t size) : data_(data), size_(size), offset_(0) {}

  // Copies n bytes from src at the current offset. Returns the buffer to go
  // on with, or null when the bytes do not fit (nothing is written then).
  SerializedBuffer* writeData(const void* src, uint32_t n);
  // Copies n bytes at the current offset to dst, or skips them when dst is
  // null. Returns the buffer to go on with, or null when fewer remain.
  SerializedBuffer* readData(void* dst, uint32_t n);

  uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  uint32_t offset() const { return offset_; }
  uint32_t remaining() const { return size_ - offset_; }
  void rewind() { offset_ = 0; }

 private:
  uint8_t* data_;
  uint32_t size_;
  uint32_t offset_;
};

class CdrSerializer {
 public:
  // byteOrderFlag: the byte order to write, true for little endian.
  CdrSerializer(SerializedBuffer* buffer, bool byteOrderFlag);

  // Byte order of this host: true for little endian.
  bool isLittleEndian() const;

  // Writes a string: 4-aligned unsigned 32-bit length including the
  // terminator, the characters, a zero byte.
  bool serializeString(const std::string& value);

  // Derives the 16 key-hash bytes from the bytes written so far by this
  // serializer. Keys of up to 15 bytes map one to one into the hash; longer
  // keys, or any key when `force` is set, are hashed. Never all zero.
  bool getKeyHash(uint8_t* target16, bool force);

  // Bytes a scalar of scalarSize bytes takes when it starts at offset,
  // alignment included.
  static uint32_t getBaseTypeSize(uint32_t scalarSize, uint32_t offset);
  // Bytes a string of sizeWithTerminator bytes takes when it starts at
  // offset: alignment, the length word and the characters with terminator.
  static uint32_t getStringSize(uint32_t sizeWithTerminator, uint32_t offset);

  SerializedBuffer* m_buffer;  // current buffer
  uint32_t m_remaining;        // bytes left in the current buffer
  uint32_t m_position;         // position the alignment is computed against
  bool m_byteOrder;            // byte order to write (true: little endian)

 private:
  uint8_t* start_;             // where this serializer began writing
};

class CdrDeserializer {
 public:
  // byteOrderFlag: the byte order of the data, true for little endian.
  CdrDeserializer(SerializedBuffer* buffer, bool byteOrderFlag);

  bool isLittleEndian() const;

  // Reads a string written by CdrSerializer::serializeString.
  bool deserializeString(std::string& value);

  SerializedBuffer* m_buffer;
  uint32_t m_remaining;
  uint32_t m_position;
  bool m_byteOrder;
};

}  // namespace QUORVELA

#endif
