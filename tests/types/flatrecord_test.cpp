// FlatRecord's type support: encoding, sizes, the nil-handle scheme and the
// failure texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "quorvela/quorvela.h"

using QUORVELA::CdrDeserializer;
using QUORVELA::CdrSerializer;
using QUORVELA::InstanceHandle_t;
using QUORVELA::SerializedBuffer;

namespace {

FlatRecord make_record(int32_t l, int16_t s, const std::string& sb) {
  FlatRecord r;
  r.lVal = l;
  r.sVal = s;
  r.sbVal = sb;
  return r;
}

// A serializer over its own zero-filled storage.
struct Encoder {
  explicit Encoder(uint32_t size, bool little_endian = true, uint32_t position = 0)
      : storage(size, 0), buffer(storage.data(), size), ser(&buffer, little_endian) {
    ser.m_position = position;
  }
  std::vector<uint8_t> written() const { return {storage.begin(), storage.begin() + buffer.offset()}; }
  std::vector<uint8_t> storage;
  SerializedBuffer buffer;
  CdrSerializer ser;
};

std::vector<uint8_t> host_bytes_32(int32_t v) {
  std::vector<uint8_t> b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

std::vector<uint8_t> host_bytes_16(int16_t v) {
  std::vector<uint8_t> b(2);
  std::memcpy(b.data(), &v, 2);
  return b;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

FlatRecordTypeSupport& ts() { return *FlatRecordTypeSupport::get_instance(); }

InstanceHandle_t garbage_handle() {
  InstanceHandle_t h;
  std::memset(h.value, 0xAB, sizeof h.value);
  h.length = 3;
  h.trailing = 77;
  return h;
}

void expect_nil(const InstanceHandle_t& h) {
  const uint8_t zeros[16] = {};
  EXPECT_EQ(0, std::memcmp(h.value, zeros, 16));
  EXPECT_EQ(16u, h.length);
  EXPECT_EQ(0, h.trailing);
}

}  // namespace

TEST(FlatRecordTypeSupport, IdentityAndKeylessness) {
  EXPECT_EQ(FlatRecordTypeSupport::get_instance(), FlatRecordTypeSupport::get_instance());
  QUORVELA::TypeSupport* base = FlatRecordTypeSupport::get_instance();
  EXPECT_FALSE(base->has_key());
  EXPECT_STREQ("FlatRecord", base->get_typename());
  EXPECT_EQ(nullptr, base->get_typeobject());
  EXPECT_EQ(0, base->get_typecode());

  const FlatRecord a = make_record(1, 2, "x");
  const FlatRecord b = make_record(3, 4, "y");
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(b < a);
  EXPECT_FALSE(a < a);
}

TEST(FlatRecordTypeSupport, CreateCopyDelete) {
  void* created = ts().create_data();
  ASSERT_NE(nullptr, created);
  FlatRecord* sample = static_cast<FlatRecord*>(created);
  EXPECT_EQ(0, sample->lVal);
  EXPECT_EQ(0, sample->sVal);
  EXPECT_EQ("", sample->sbVal);

  FlatRecord source = make_record(-7, -8, std::string("with\0nul", 8));
  *sample = make_record(1, 1, "old text that is longer");
  EXPECT_EQ(0, ts().copy_data(sample, &source));
  EXPECT_EQ(-7, sample->lVal);
  EXPECT_EQ(-8, sample->sVal);
  EXPECT_EQ(source.sbVal, sample->sbVal);

  ts().delete_data(sample);
  ts().delete_data(nullptr);
}

TEST(FlatRecordTypeSupport, EncodingAtPositionZeroAndTwo) {
  const FlatRecord r = make_record(0x01020304, 0x0506, "ab");
  const std::vector<uint8_t> str = {3, 0, 0, 0, 'a', 'b', 0};  // little-endian host assumed below
  ASSERT_TRUE(CdrSerializer(nullptr, true).isLittleEndian());

  Encoder at0(64);
  ASSERT_EQ(0, ts().serialize_data(const_cast<FlatRecord*>(&r), &at0.ser, 0));
  EXPECT_EQ(cat({host_bytes_32(r.lVal), host_bytes_16(r.sVal), {0, 0}, str}), at0.written());
  EXPECT_EQ(at0.buffer.offset(), at0.ser.m_position);
  EXPECT_EQ(64u - at0.buffer.offset(), at0.ser.m_remaining);
  EXPECT_EQ(at0.buffer.offset(), ts().get_serialized_data_size(const_cast<FlatRecord*>(&r), 0));

  // Two zero bytes align lVal; sVal follows it directly.
  Encoder at2(64, true, 2);
  ASSERT_EQ(0, ts().serialize_data(const_cast<FlatRecord*>(&r), &at2.ser, 0));
  EXPECT_EQ(cat({{0, 0}, host_bytes_32(r.lVal), host_bytes_16(r.sVal), {0, 0}, str}), at2.written());
  EXPECT_EQ(2u + at2.buffer.offset(), at2.ser.m_position);
  EXPECT_EQ(at2.buffer.offset(), ts().get_serialized_data_size(const_cast<FlatRecord*>(&r), 2));

  // Odd position: 3 bytes before lVal.
  Encoder at1(64, true, 1);
  ASSERT_EQ(0, ts().serialize_data(const_cast<FlatRecord*>(&r), &at1.ser, 0));
  EXPECT_EQ(at1.buffer.offset(), ts().get_serialized_data_size(const_cast<FlatRecord*>(&r), 1));
  EXPECT_EQ(std::vector<uint8_t>({0, 0, 0}), std::vector<uint8_t>(at1.storage.begin(), at1.storage.begin() + 3));
}

TEST(FlatRecordTypeSupport, ByteOrderFlagSwapsScalars) {
  const FlatRecord r = make_record(0x01020304, 0x0506, "");
  Encoder big(32, /*little_endian=*/false);
  ASSERT_EQ(0, ts().serialize_data(const_cast<FlatRecord*>(&r), &big.ser, 0));
  const std::vector<uint8_t> w = big.written();
  ASSERT_GE(w.size(), 6u);
  EXPECT_EQ(std::vector<uint8_t>({1, 2, 3, 4, 5, 6}), std::vector<uint8_t>(w.begin(), w.begin() + 6));

  // And back, with the same flag.
  SerializedBuffer in(big.storage.data(), big.buffer.offset());
  CdrDeserializer des(&in, false);
  FlatRecord out = make_record(9, 9, "junk");
  ASSERT_EQ(0, ts().deserialize_data(&out, &des, 0));
  EXPECT_EQ(r.lVal, out.lVal);
  EXPECT_EQ(r.sVal, out.sVal);
  EXPECT_EQ("", out.sbVal);
}

TEST(FlatRecordTypeSupport, RoundTripsAtEveryStartPosition) {
  const FlatRecord cases[] = {make_record(INT32_MIN, INT16_MIN, ""), make_record(INT32_MAX, INT16_MAX, "hello"),
                              make_record(-1, -1, std::string(255, 'z')),
                              make_record(42, 7, std::string("a\0b\xff", 4))};
  for (const FlatRecord& r : cases) {
    for (uint32_t pos = 0; pos < 4; ++pos) {
      for (bool little : {true, false}) {
        Encoder enc(512, little, pos);
        ASSERT_EQ(0, ts().serialize_data(const_cast<FlatRecord*>(&r), &enc.ser, 0));
        SerializedBuffer in(enc.storage.data(), enc.buffer.offset());
        CdrDeserializer des(&in, little);
        des.m_position = pos;
        FlatRecord out;
        ASSERT_EQ(0, ts().deserialize_data(&out, &des, 0));
        EXPECT_EQ(r.lVal, out.lVal);
        EXPECT_EQ(r.sVal, out.sVal);
        EXPECT_EQ(r.sbVal, out.sbVal);
        EXPECT_EQ(enc.ser.m_position, des.m_position);
      }
    }
  }
}

TEST(FlatRecordTypeSupport, SameBytesAndSizesAsKeyedType) {
  FlatRecord f = make_record(123456, -321, "same");
  KeyedType k;
  k.lVal = f.lVal;
  k.sVal = f.sVal;
  k.sbVal = f.sbVal;
  KeyedTypeTypeSupport& kts = *KeyedTypeTypeSupport::get_instance();
  for (uint32_t pos : {0u, 1u, 2u, 3u}) {
    Encoder ef(128, true, pos), ek(128, true, pos);
    ASSERT_EQ(0, ts().serialize_data(&f, &ef.ser, 0));
    ASSERT_EQ(0, kts.serialize_data(&k, &ek.ser, 0));
    EXPECT_EQ(ek.written(), ef.written());
    EXPECT_EQ(kts.get_serialized_data_size(&k, pos), ts().get_serialized_data_size(&f, pos));
    EXPECT_EQ(kts.get_max_serialized_data_size(&k, pos), ts().get_max_serialized_data_size(&f, pos));
  }
}

TEST(FlatRecordTypeSupport, MaxSizeIgnoresTheSample) {
  FlatRecord big = make_record(1, 1, std::string(1000, 'q'));
  for (uint32_t pos : {0u, 1u, 2u, 3u, 4u}) {
    const uint32_t a = CdrSerializer::getBaseTypeSize(4, pos);
    const uint32_t b = CdrSerializer::getBaseTypeSize(2, pos + a);
    EXPECT_EQ(a + b + CdrSerializer::getStringSize(256, pos + a + b), ts().get_max_serialized_data_size(nullptr, pos));
    EXPECT_EQ(ts().get_max_serialized_data_size(nullptr, pos), ts().get_max_serialized_data_size(&big, pos));
  }
}

TEST(FlatRecordTypeSupport, EveryHandleIsNilAndNothingIsWritten) {
  FlatRecord r = make_record(5, 6, "key-less");
  Encoder enc(64, true, 3);
  InstanceHandle_t h = garbage_handle();
  EXPECT_EQ(0, ts().get_instancehandle(&r, &enc.ser, h, false));
  expect_nil(h);
  EXPECT_EQ(0u, enc.buffer.offset());
  EXPECT_EQ(3u, enc.ser.m_position);
  EXPECT_EQ(64u, enc.ser.m_remaining);

  h = garbage_handle();
  EXPECT_EQ(0, ts().get_instancehandle(&r, &enc.ser, h, true));
  expect_nil(h);

  for (bool force : {false, true}) {
    h = garbage_handle();
    EXPECT_EQ(0, ts().MakeKey(&r, h, force));
    expect_nil(h);
  }
  FlatRecord other = make_record(-5, 0, std::string(300, 'x'));
  h = garbage_handle();
  EXPECT_EQ(0, ts().MakeKey(&other, h, false));
  expect_nil(h);

  EXPECT_EQ(0, ts().serialize_key(&r, &enc.ser, 0));
  EXPECT_EQ(0u, enc.buffer.offset());
  EXPECT_EQ(3u, enc.ser.m_position);
}

// A buffer too small for some field: the text names the first field that did
// not fit, and what was written before stays.
TEST(FlatRecordTypeSupport, EncodeFailuresNameTheField) {
  const FlatRecord r = make_record(1, 2, "abc");
  struct Case {
    uint32_t size;
    uint32_t position;
    const char* text;
    uint32_t written;
  } cases[] = {
      {0, 0, "Serialization failed for field: structData->lVal\n", 0},
      {3, 0, "Serialization failed for field: structData->lVal\n", 0},
      {1, 1, "Serialization failed for field: structData->lVal\n", 0},  // the padding alone does not fit
      {5, 0, "Serialization failed for field: structData->sVal\n", 4},
      {6, 2, "Serialization failed for field: structData->sVal\n", 6},
      {8, 0, "Serialization failed for field: structData->sbVal\n", 6},
      {13, 0, "Serialization failed for field: structData->sbVal\n", 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Encoder enc(c.size, true, c.position);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ts().serialize_data(const_cast<FlatRecord*>(&r), &enc.ser, 0));
    EXPECT_EQ(c.text, testing::internal::GetCapturedStderr());
    EXPECT_EQ(c.written, enc.buffer.offset());
  }
}

TEST(FlatRecordTypeSupport, DecodeFailuresNameTheField) {
  const FlatRecord r = make_record(0x11223344, 0x5566, "abc");
  Encoder enc(64);
  ASSERT_EQ(0, ts().serialize_data(const_cast<FlatRecord*>(&r), &enc.ser, 0));
  struct Case {
    uint32_t size;
    const char* text;
  } cases[] = {
      {2, "Deserialization failed for field: structData->lVal\n"},
      {5, "Deserialization failed for field: structData->sVal\n"},
      {9, "Deserialization failed for field: structData->sbVal\n"},
      {14, "Deserialization failed for field: structData->sbVal\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    SerializedBuffer in(enc.storage.data(), c.size);
    CdrDeserializer des(&in, true);
    FlatRecord out;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, ts().deserialize_data(&out, &des, 0));
    EXPECT_EQ(c.text, testing::internal::GetCapturedStderr());
    if (c.size >= 4) {
      EXPECT_EQ(r.lVal, out.lVal);  // fields read before the failure keep their values
    }
  }
}
