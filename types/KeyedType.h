// The keyed test type: lVal is the key.
#ifndef TYPES_KEYEDTYPE_H
#define TYPES_KEYEDTYPE_H

#include <quorvela/quorvela.h>

#include <cstdint>
#include <string>

struct KeyedType {
    std::int32_t lVal = 0;  // key
    std::int16_t sVal = 0;
    std::string sbVal;      // counted as at most 255 characters in the maximum size
};

class KeyedTypeTypeSupport : public QUORVELA::TypeSupport {
public:
    void* create_data() override;
    void delete_data(void* data) override;
    std::int32_t copy_data(void* dst, void* src) override;
    std::uint32_t get_serialized_data_size(void* data, std::uint32_t offset) override;
    std::uint32_t get_max_serialized_data_size(void* data, std::uint32_t offset) override;
    std::int32_t serialize_data(void* data, QUORVELA::CdrSerializer* cdr, std::int32_t endian) override;
    std::int32_t deserialize_data(void* data, QUORVELA::CdrDeserializer* cdr,
                                  std::int32_t endian) override;
    void* get_typeobject() override;
    std::int32_t get_instancehandle(void* data, QUORVELA::CdrSerializer* cdr,
                                    QUORVELA::InstanceHandle_t& handle, bool force) override;
    std::intptr_t get_typecode() override;
    bool has_key() override;
    const char* get_typename() override;
    std::int32_t MakeKey(const void* data, QUORVELA::InstanceHandle_t& handle, bool force) override;

    // Writes the key fields (lVal) as serialize_data writes them.
    std::int32_t serialize_key(void* data, QUORVELA::CdrSerializer* cdr, std::int32_t endian);

    static KeyedTypeTypeSupport* get_instance();
};

#endif  // TYPES_KEYEDTYPE_H
