#include "KeyedType.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

using namespace QUORVELA;

namespace {

// The one instance; constant-initialised, so it is usable before any dynamic
// initialisation runs and is never destroyed by anyone.
constinit KeyedTypeTypeSupport s_instance;

constexpr std::uint32_t kMaxStringSize = 256;  // 255 characters and the terminator

template <typename T>
std::uint32_t alignment(std::uint32_t position) {
    constexpr std::uint32_t s = sizeof(T);
    return (s - position % s) % s;
}

template <typename T>
void reverseBytes(T& value) {
    unsigned char* p = reinterpret_cast<unsigned char*>(&value);
    std::reverse(p, p + sizeof(T));
}

// Writes the alignment bytes, then the scalar in the serializer's byte order.
template <typename T>
bool writeScalar(CdrSerializer* cdr, T value) {
    static constexpr std::uint8_t s_alignedData[15] = {};
    if (cdr == nullptr || cdr->m_buffer == nullptr) {
        return false;
    }
    const std::uint32_t pad = alignment<T>(cdr->m_position);
    SerializedBuffer* next = cdr->m_buffer->writeData(s_alignedData, pad);
    if (next == nullptr) {
        return false;
    }
    cdr->m_buffer = next;
    cdr->m_position += pad;
    cdr->m_remaining -= pad;
    if (cdr->m_byteOrder != cdr->isLittleEndian()) {
        reverseBytes(value);
    }
    next = cdr->m_buffer->writeData(&value, sizeof(T));
    if (next == nullptr) {
        return false;
    }
    cdr->m_buffer = next;
    cdr->m_remaining -= sizeof(T);
    cdr->m_position += sizeof(T);
    return true;
}

template <typename T>
bool readScalar(CdrDeserializer* cdr, T& field) {
    if (cdr == nullptr || cdr->m_buffer == nullptr) {
        return false;
    }
    const std::uint32_t pad = alignment<T>(cdr->m_position);
    SerializedBuffer* next = cdr->m_buffer->readData(nullptr, pad);
    if (next == nullptr) {
        return false;
    }
    cdr->m_buffer = next;
    cdr->m_position += pad;
    cdr->m_remaining -= pad;
    next = cdr->m_buffer->readData(&field, sizeof(T));
    if (next == nullptr) {
        return false;
    }
    cdr->m_buffer = next;
    cdr->m_remaining -= sizeof(T);
    cdr->m_position += sizeof(T);
    if (cdr->m_byteOrder != cdr->isLittleEndian()) {
        reverseBytes(field);
    }
    return true;
}

std::uint32_t encodedSize(std::uint32_t offset, std::uint32_t stringSize) {
    const std::uint32_t a = CdrSerializer::getBaseTypeSize(4, offset);
    const std::uint32_t b = CdrSerializer::getBaseTypeSize(2, offset + a);
    const std::uint32_t c = CdrSerializer::getStringSize(stringSize, offset + a + b);
    return a + b + c;
}

}  // namespace

void* KeyedTypeTypeSupport::create_data() { return new KeyedType{0, 0, ""}; }

void KeyedTypeTypeSupport::delete_data(void* data) { delete static_cast<KeyedType*>(data); }

std::int32_t KeyedTypeTypeSupport::copy_data(void* dst, void* src) {
    if (dst == nullptr || src == nullptr) {
        return -1;
    }
    KeyedType* to = static_cast<KeyedType*>(dst);
    const KeyedType* from = static_cast<const KeyedType*>(src);
    to->lVal = from->lVal;
    to->sVal = from->sVal;
    to->sbVal = from->sbVal;
    return 0;
}

std::uint32_t KeyedTypeTypeSupport::get_serialized_data_size(void* data, std::uint32_t offset) {
    if (data == nullptr) {
        return 0;
    }
    const KeyedType* sample = static_cast<const KeyedType*>(data);
    return encodedSize(offset, static_cast<std::uint32_t>(sample->sbVal.size() + 1));
}

std::uint32_t KeyedTypeTypeSupport::get_max_serialized_data_size(void*, std::uint32_t offset) {
    return encodedSize(offset, kMaxStringSize);
}

std::int32_t KeyedTypeTypeSupport::serialize_data(void* data, CdrSerializer* cdr, std::int32_t) {
    KeyedType* sample = static_cast<KeyedType*>(data);
    if (sample == nullptr || !writeScalar(cdr, sample->lVal)) {
        std::cerr << "Serialization failed for field: structData->lVal\n";
        return -1;
    }
    if (!writeScalar(cdr, sample->sVal)) {
        std::cerr << "Serialization failed for field: structData->sVal\n";
        return -1;
    }
    if (!cdr->serializeString(sample->sbVal)) {
        std::cerr << "Serialization failed for field: structData->sbVal\n";
        return -1;
    }
    return 0;
}

std::int32_t KeyedTypeTypeSupport::deserialize_data(void* data, CdrDeserializer* cdr, std::int32_t) {
    KeyedType* sample = static_cast<KeyedType*>(data);
    if (sample == nullptr || !readScalar(cdr, sample->lVal)) {
        std::cerr << "Deserialization failed for field: structData->lVal\n";
        return -1;
    }
    if (!readScalar(cdr, sample->sVal)) {
        std::cerr << "Deserialization failed for field: structData->sVal\n";
        return -1;
    }
    if (!cdr->deserializeString(sample->sbVal)) {
        std::cerr << "Deserialization failed for field: structData->sbVal\n";
        return -1;
    }
    return 0;
}

void* KeyedTypeTypeSupport::get_typeobject() { return nullptr; }

std::int32_t KeyedTypeTypeSupport::get_instancehandle(void* data, CdrSerializer* cdr,
                                                      InstanceHandle_t& handle, bool force) {
    if (!has_key()) {
        handle.length = HANDLE_NIL.length;
        handle.trailing = HANDLE_NIL.trailing;
        std::memcpy(handle.value, HANDLE_NIL.value,
                    std::min<std::uint32_t>(HANDLE_NIL.length, sizeof handle.value));
        return 0;
    }
    if (serialize_key(data, cdr, 0) != 0) {
        std::cerr << "Failed to serialize key.\n";
        return 1;
    }
    if (!cdr->getKeyHash(handle.value, force)) {
        std::cerr << "Failed to get key hash\n";
        return 1;
    }
    return 0;
}

std::intptr_t KeyedTypeTypeSupport::get_typecode() { return 0; }

bool KeyedTypeTypeSupport::has_key() { return true; }

const char* KeyedTypeTypeSupport::get_typename() { return "KeyedType"; }

std::int32_t KeyedTypeTypeSupport::MakeKey(const void* data, InstanceHandle_t& handle, bool force) {
    if (data == nullptr) {
        return -1;
    }
    void* sample = const_cast<void*>(data);
    const std::uint32_t size = get_serialized_data_size(sample, 0);
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]());
    SerializedBuffer buffer(bytes.get(), size);
    CdrSerializer cdr(&buffer, true);
    const std::int32_t rc = get_instancehandle(sample, &cdr, handle, force);
    return rc == 0 ? 0 : -1;
}

std::int32_t KeyedTypeTypeSupport::serialize_key(void* data, CdrSerializer* cdr, std::int32_t) {
    const KeyedType* sample = static_cast<const KeyedType*>(data);
    if (sample == nullptr || !writeScalar(cdr, sample->lVal)) {
        std::cerr << "Serialization failed for field: structData->lVal\n";
        return -1;
    }
    return 0;
}

KeyedTypeTypeSupport* KeyedTypeTypeSupport::get_instance() { return &s_instance; }
