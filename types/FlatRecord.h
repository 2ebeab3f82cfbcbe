// FlatRecord: the keyless test type, and its type support.
#ifndef TYPES_FLATRECORD_H
#define TYPES_FLATRECORD_H

#include <cstdint>
#include <string>

#include "quorvela/cdr.h"
#include "quorvela/type_support.h"
#include "quorvela/types.h"

struct FlatRecord {
  int32_t lVal = 0;
  int16_t sVal = 0;
  std::string sbVal;  // at most 255 characters by contract; not checked

  // No sample orders before another.
  bool operator<(const FlatRecord& other) const;
};

// The type has no key: every sample belongs to the nil instance.
class FlatRecordTypeSupport : public QUORVELA::TypeSupport {
 public:
  void* create_data() override;
  void delete_data(void* data) override;
  int32_t copy_data(void* dst, void* src) override;
  uint32_t get_serialized_data_size(void* data, uint32_t offset) override;
  uint32_t get_max_serialized_data_size(void* data, uint32_t offset) override;
  int32_t serialize_data(void* data, QUORVELA::CdrSerializer* serializer, int32_t endian) override;
  int32_t deserialize_data(void* data, QUORVELA::CdrDeserializer* deserializer, int32_t endian) override;
  void* get_typeobject() override;
  int32_t get_instancehandle(void* data, QUORVELA::CdrSerializer* serializer, QUORVELA::InstanceHandle_t& handle,
                             bool force) override;
  intptr_t get_typecode() override;
  bool has_key() override;
  const char* get_typename() override;
  int32_t MakeKey(const void* data, QUORVELA::InstanceHandle_t& handle, bool force) override;

  // Writes the key fields; this type has none.
  int32_t serialize_key(void* data, QUORVELA::CdrSerializer* serializer, int32_t endian);

  // The single instance of this binary.
  static FlatRecordTypeSupport* get_instance();
};

#endif
