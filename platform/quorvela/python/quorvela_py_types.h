// The native objects behind the Python binding's shared types. They live at
// global scope so that every SWIG module of the process mangles them to the
// same type names ("_p_DataWriter", "_p_InstanceHandle", ...) and so shares
// their type records through the SWIG runtime's type table.
#ifndef QUORVELA_PY_TYPES_H
#define QUORVELA_PY_TYPES_H

#include <cstring>

#include "quorvela/quorvela.h"

typedef QUORVELA::InstanceHandle_t InstanceHandle;
typedef QUORVELA::Time Time;
typedef QUORVELA::SampleInfo SampleInfo;

// A binding writer or reader is exactly the library pointer, the same layout
// as QUORVELA::TypedDataWriter<T> / TypedDataReader<T>, so either object may
// stand for the other.
struct DataWriter {
  QUORVELA::DataWriter* impl;
};
struct DataReader {
  QUORVELA::DataReader* impl;
};

namespace quorvela_py {

// The library pointer at the start of a binding or typed writer/reader.
inline QUORVELA::DataWriter* library_writer(const void* object) {
  QUORVELA::DataWriter* p = nullptr;
  if (object != nullptr) std::memcpy(&p, object, sizeof p);
  return p;
}
inline QUORVELA::DataReader* library_reader(const void* object) {
  QUORVELA::DataReader* p = nullptr;
  if (object != nullptr) std::memcpy(&p, object, sizeof p);
  return p;
}

// A copy of a library handle that never reads past the 16 value bytes.
inline InstanceHandle* new_handle_copy(const QUORVELA::InstanceHandle_t& h) {
  InstanceHandle* copy = new InstanceHandle();
  std::memset(copy->value, 0, sizeof copy->value);
  copy->length = h.length;
  copy->trailing = h.trailing;
  const uint32_t n = h.length < sizeof copy->value ? h.length : sizeof copy->value;
  std::memcpy(copy->value, h.value, n);
  return copy;
}

}  // namespace quorvela_py

static_assert(sizeof(DataWriter) == sizeof(QUORVELA::TypedDataWriter<int>));
static_assert(sizeof(DataReader) == sizeof(QUORVELA::TypedDataReader<int>));

#endif
