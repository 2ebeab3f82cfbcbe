// The keyed test type's type support over the library's CDR classes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "KeyedType.h"

using namespace QUORVELA;

namespace {

// The type support must be usable before any dynamic initialisation.
constinit KeyedTypeTypeSupport constantInitialised;

bool hostIsLittleEndian() {
    const std::uint16_t probe = 1;
    return *reinterpret_cast<const std::uint8_t*>(&probe) == 1;
}

KeyedTypeTypeSupport& support() { return *KeyedTypeTypeSupport::get_instance(); }

// A serializer starting at a given position over a buffer pre-filled with a
// marker byte, so that alignment bytes left unwritten show up.
struct Encoder {
    Encoder(std::uint32_t size, std::uint32_t position, bool littleEndian)
        : bytes(size, 0xAA), buffer(bytes.data(), size), cdr(&buffer, littleEndian) {
        cdr.m_position = position;
    }
    std::vector<std::uint8_t> bytes;
    SerializedBuffer buffer;
    CdrSerializer cdr;
};

struct Decoder {
    Decoder(const std::vector<std::uint8_t>& source, std::uint32_t used, std::uint32_t position,
            bool littleEndian)
        : bytes(source.begin(), source.begin() + used), buffer(bytes.data(), used), cdr(&buffer, littleEndian) {
        cdr.m_position = position;
    }
    std::vector<std::uint8_t> bytes;
    SerializedBuffer buffer;
    CdrDeserializer cdr;
};

std::vector<std::uint8_t> inOrder(std::uint32_t v, int n, bool littleEndian) {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < n; ++i) {
        const int shift = littleEndian ? 8 * i : 8 * (n - 1 - i);
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    return out;
}

TEST(KeyedTypeSupport, ScalarLayoutAtEachPositionAndByteOrder) {
    KeyedType sample{0x01020304, 0x0506, "hi"};
    for (std::uint32_t position = 0; position < 4; ++position) {
        for (const bool littleEndian : {hostIsLittleEndian(), !hostIsLittleEndian()}) {
            SCOPED_TRACE("position " + std::to_string(position) + (littleEndian ? " LE" : " BE"));
            Encoder enc(64, position, littleEndian);
            ASSERT_EQ(support().serialize_data(&sample, &enc.cdr, 0), 0);

            const std::uint32_t pad = (4 - position % 4) % 4;
            std::vector<std::uint8_t> expected(pad, 0x00);
            for (std::uint8_t b : inOrder(0x01020304, 4, littleEndian)) expected.push_back(b);
            for (std::uint8_t b : inOrder(0x0506, 2, littleEndian)) expected.push_back(b);
            ASSERT_GE(enc.buffer.offset(), expected.size());
            EXPECT_EQ(std::vector<std::uint8_t>(enc.bytes.begin(), enc.bytes.begin() + expected.size()),
                      expected);

            // The whole sample took exactly what the size functions say.
            EXPECT_EQ(enc.buffer.offset(), support().get_serialized_data_size(&sample, position));
            EXPECT_EQ(enc.cdr.m_position, position + enc.buffer.offset());
            EXPECT_EQ(enc.cdr.m_remaining, 64u - enc.buffer.offset());
        }
    }
}

TEST(KeyedTypeSupport, RoundTripAtEachPosition) {
    const std::vector<std::string> texts = {"", "x", std::string(255, 's'), std::string(300, 'l'),
                                            std::string("a\0b", 3)};
    for (const std::string& text : texts) {
        for (std::uint32_t position = 0; position < 4; ++position) {
            for (const bool littleEndian : {true, false}) {
                SCOPED_TRACE(std::to_string(text.size()) + " chars at " + std::to_string(position) +
                             (littleEndian ? " LE" : " BE"));
                KeyedType in{-123456789, -2, text};
                const std::uint32_t size = support().get_serialized_data_size(&in, position);
                Encoder enc(size, position, littleEndian);
                ASSERT_EQ(support().serialize_data(&in, &enc.cdr, 0), 0);
                ASSERT_EQ(enc.buffer.offset(), size);

                Decoder dec(enc.bytes, size, position, littleEndian);
                KeyedType out{7, 7, "old"};
                ASSERT_EQ(support().deserialize_data(&out, &dec.cdr, 0), 0);
                EXPECT_EQ(out.lVal, in.lVal);
                EXPECT_EQ(out.sVal, in.sVal);
                EXPECT_EQ(out.sbVal, in.sbVal);
                EXPECT_EQ(dec.buffer.offset(), size);
            }
        }
    }
}

TEST(KeyedTypeSupport, MaximumSizeIgnoresTheSample) {
    for (std::uint32_t offset = 0; offset < 8; ++offset) {
        SCOPED_TRACE(offset);
        KeyedType longest{1, 2, std::string(255, 'm')};
        KeyedType other{3, 4, "short"};
        const std::uint32_t max = support().get_max_serialized_data_size(nullptr, offset);
        EXPECT_EQ(max, support().get_max_serialized_data_size(&other, offset));
        EXPECT_EQ(max, support().get_serialized_data_size(&longest, offset));
    }
    // At offset 0: lVal 4, sVal 2, then 2 alignment bytes, the length word and 256.
    EXPECT_EQ(support().get_max_serialized_data_size(nullptr, 0), 4u + 2u + 2u + 4u + 256u);
}

// Buffers too small by some amount: the first field that does not fit is the
// only one reported.
TEST(KeyedTypeSupport, RefusedWritesAndReadsNameTheField) {
    KeyedType sample{1, 2, "abc"};
    const std::uint32_t full = support().get_serialized_data_size(&sample, 0);  // 4+2+2+4+4
    struct Case {
        std::uint32_t position;
        std::uint32_t size;
        const char* field;
    };
    const std::vector<Case> cases = {
        {2, 0, "lVal"},   // the alignment bytes are refused: the very first write
        {2, 1, "lVal"},   {0, 0, "lVal"}, {0, 3, "lVal"}, {0, 4, "sVal"}, {0, 5, "sVal"},
        {0, 6, "sbVal"},  {0, full - 1, "sbVal"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.position) + "/" + std::to_string(c.size));
        Encoder enc(c.size, c.position, true);
        testing::internal::CaptureStderr();
        EXPECT_EQ(support().serialize_data(&sample, &enc.cdr, 0), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Serialization failed for field: structData->") + c.field + "\n");
    }

    Encoder whole(full, 0, true);
    ASSERT_EQ(support().serialize_data(&sample, &whole.cdr, 0), 0);
    for (const Case& c : cases) {
        if (c.position != 0) {
            continue;
        }
        SCOPED_TRACE(c.size);
        Decoder dec(whole.bytes, c.size, 0, true);
        KeyedType out;
        testing::internal::CaptureStderr();
        EXPECT_EQ(support().deserialize_data(&out, &dec.cdr, 0), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Deserialization failed for field: structData->") + c.field + "\n");
    }
}

InstanceHandle_t keyOf(const KeyedType& sample) {
    InstanceHandle_t handle;
    EXPECT_EQ(support().MakeKey(&sample, handle, false), 0);
    return handle;
}

TEST(KeyedTypeSupport, MakeKeyDependsOnLValOnly) {
    const InstanceHandle_t base = keyOf(KeyedType{42, 0, ""});
    EXPECT_NE(base, HANDLE_NIL);
    EXPECT_EQ(keyOf(KeyedType{42, 7, "other text"}), base);
    EXPECT_EQ(keyOf(KeyedType{42, -1, std::string(300, 'z')}), base);

    const std::vector<std::int32_t> keys = {0, 1, -1, 42, 256, 0x01000000, 0x7fffffff, -2147483647 - 1};
    std::set<std::vector<std::uint8_t>> seen;
    for (std::int32_t k : keys) {
        const InstanceHandle_t h = keyOf(KeyedType{k, 5, "same"});
        EXPECT_EQ(h.length, 16u);
        EXPECT_EQ(h.trailing, 0);
        EXPECT_TRUE(seen.insert(std::vector<std::uint8_t>(h.value, h.value + 16)).second) << "lVal " << k;
        const KeyedType sample{k, 5, "same"};
        InstanceHandle_t forced;
        EXPECT_EQ(support().MakeKey(&sample, forced, true), 0);
        EXPECT_NE(forced, HANDLE_NIL);
    }
}

TEST(KeyedTypeSupport, InstanceHandleWritesTheKeyOnly) {
    KeyedType sample{0x11223344, 0x5566, "not part of the key"};
    Encoder enc(64, 2, false);
    InstanceHandle_t handle;
    ASSERT_EQ(support().get_instancehandle(&sample, &enc.cdr, handle, false), 0);
    EXPECT_EQ(enc.buffer.offset(), 6u);  // two alignment bytes and lVal
    EXPECT_EQ(std::vector<std::uint8_t>(enc.bytes.begin(), enc.bytes.begin() + 6),
              (std::vector<std::uint8_t>{0, 0, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_NE(handle, HANDLE_NIL);

    // A refused key write.
    Encoder tiny(2, 0, true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(support().get_instancehandle(&sample, &tiny.cdr, handle, false), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Serialization failed for field: structData->lVal\nFailed to serialize key.\n");

    // A serializer that cannot hash what it wrote: constructed without
    // memory of its own, then pointed at a usable buffer.
    SerializedBuffer none;
    CdrSerializer blind(&none, true);
    std::vector<std::uint8_t> bytes(16);
    SerializedBuffer usable(bytes.data(), 16);
    blind.m_buffer = &usable;
    blind.m_remaining = 16;
    testing::internal::CaptureStderr();
    EXPECT_EQ(support().get_instancehandle(&sample, &blind, handle, false), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to get key hash\n");
}

// MakeKey and get_instancehandle reach has_key, the size and the handle
// derivation through the object, so a type that changes them is obeyed.
class KeylessVariant : public KeyedTypeTypeSupport {
public:
    bool has_key() override { return false; }
};

class FailingHandle : public KeyedTypeTypeSupport {
public:
    std::int32_t get_instancehandle(void* data, CdrSerializer* cdr, InstanceHandle_t& handle,
                                    bool force) override {
        ++calls;
        sizeSeen = cdr->m_remaining;
        KeyedTypeTypeSupport::get_instancehandle(data, cdr, handle, force);
        return result;
    }
    std::int32_t result = 1;
    int calls = 0;
    std::uint32_t sizeSeen = 0;
};

TEST(KeyedTypeSupport, HandleDerivationGoesThroughTheObject) {
    KeyedType sample{77, 1, "text"};

    // Without a key the handle becomes HANDLE_NIL and the serializer is untouched.
    KeylessVariant keyless;
    Encoder enc(64, 2, true);
    InstanceHandle_t handle;
    handle.value[0] = 0x5A;
    handle.length = 3;
    handle.trailing = 9;
    EXPECT_EQ(keyless.get_instancehandle(&sample, &enc.cdr, handle, false), 0);
    EXPECT_EQ(handle, HANDLE_NIL);
    EXPECT_EQ(handle.value[0], 0);
    EXPECT_EQ(enc.buffer.offset(), 0u);
    EXPECT_EQ(enc.cdr.m_position, 2u);
    InstanceHandle_t viaMakeKey;
    viaMakeKey.value[15] = 1;
    EXPECT_EQ(keyless.MakeKey(&sample, viaMakeKey, false), 0);
    EXPECT_EQ(viaMakeKey, HANDLE_NIL);

    // Whatever get_instancehandle reports decides MakeKey's result; its
    // serializer spans the whole encoded sample.
    FailingHandle failing;
    testing::internal::CaptureStderr();
    EXPECT_EQ(failing.MakeKey(&sample, handle, false), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(failing.calls, 1);
    EXPECT_EQ(failing.sizeSeen, support().get_serialized_data_size(&sample, 0));
    failing.result = 0;
    EXPECT_EQ(failing.MakeKey(&sample, handle, false), 0);
    EXPECT_EQ(handle, keyOf(KeyedType{77, 0, ""}));
}

TEST(KeyedTypeSupport, SampleOperationsAndIdentity) {
    auto* created = static_cast<KeyedType*>(support().create_data());
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->lVal, 0);
    EXPECT_EQ(created->sVal, 0);
    EXPECT_EQ(created->sbVal, "");

    KeyedType source{9, 8, "seven"};
    EXPECT_EQ(support().copy_data(created, &source), 0);
    EXPECT_EQ(created->lVal, 9);
    EXPECT_EQ(created->sVal, 8);
    EXPECT_EQ(created->sbVal, "seven");
    support().delete_data(created);
    support().delete_data(nullptr);

    EXPECT_STREQ(support().get_typename(), "KeyedType");
    EXPECT_TRUE(support().has_key());
    EXPECT_EQ(support().get_typeobject(), nullptr);
    EXPECT_EQ(support().get_typecode(), 0);
    EXPECT_NE(KeyedTypeTypeSupport::get_instance(), nullptr);
    EXPECT_EQ(KeyedTypeTypeSupport::get_instance(), KeyedTypeTypeSupport::get_instance());

    // Through the library's interface.
    TypeSupport* asLibrarySees = KeyedTypeTypeSupport::get_instance();
    KeyedType a{5, 1, "a"};
    InstanceHandle_t viaBase;
    EXPECT_EQ(asLibrarySees->MakeKey(&a, viaBase, false), 0);
    EXPECT_EQ(viaBase, keyOf(KeyedType{5, 0, ""}));
    EXPECT_STREQ(constantInitialised.get_typename(), "KeyedType");
}

}  // namespace
