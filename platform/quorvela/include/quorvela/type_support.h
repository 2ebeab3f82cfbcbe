// The interface through which the library handles a user type. The library
// never deletes a TypeSupport and frees samples only through delete_data.
#ifndef QUORVELA_TYPE_SUPPORT_H
#define QUORVELA_TYPE_SUPPORT_H

#include <cstdint>

#include "quorvela/cdr.h"
#include "quorvela/types.h"

namespace QUORVELA {

class TypeSupport {
 public:
  virtual void* create_data() = 0;
  virtual void delete_data(void* data) = 0;
  virtual int32_t copy_data(void* dst, void* src) = 0;
  virtual uint32_t get_serialized_data_size(void* data, uint32_t offset) = 0;
  virtual uint32_t get_max_serialized_data_size(void* data, uint32_t offset) = 0;
  virtual int32_t serialize_data(void* data, CdrSerializer* serializer, int32_t endian) = 0;
  virtual int32_t deserialize_data(void* data, CdrDeserializer* deserializer, int32_t endian) = 0;
  virtual void* get_typeobject() = 0;
  virtual int32_t get_instancehandle(void* data, CdrSerializer* serializer, InstanceHandle_t& handle,
                                     bool force) = 0;
  virtual intptr_t get_typecode() = 0;
  virtual bool has_key() = 0;
  virtual const char* get_typename() = 0;
  virtual int32_t MakeKey(const void* data, InstanceHandle_t& handle, bool force) = 0;
};

// A type support handed out as a plain address (TypedTypeSupport<TS>::
// get_instance() does so for the Python binding) announces itself first;
// type_support_at() gives back an announced type support for its address
// and null for any other number, without following it. An announced type
// support lives as long as the process, as the static singletons do.
int64_t announce_type_support(TypeSupport* type_support);  // its address
TypeSupport* type_support_at(int64_t address);

}  // namespace QUORVELA

#endif
