// Typed views over the untyped writer, reader and type support.
#ifndef QUORVELA_TYPED_H
#define QUORVELA_TYPED_H

#include <cstdint>

#include "quorvela/entities.h"

namespace QUORVELA {

// Holds exactly one member: the library writer it wraps.
template <typename T>
class TypedDataWriter {
 public:
  explicit TypedDataWriter(DataWriter* writer) : writer_(writer) {}
  DataWriter* get_writer() const { return writer_; }

  InstanceHandle_t register_instance(const T& instance) { return writer_->register_instance(&instance); }
  InstanceHandle_t register_instance_w_timestamp(const T& instance, const Time& ts) {
    return writer_->register_instance_w_timestamp(&instance, ts);
  }
  ReturnCode_t unregister_instance(const T& instance, const InstanceHandle_t& handle) {
    return writer_->unregister_instance(&instance, handle);
  }
  ReturnCode_t unregister_instance_w_timestamp(const T& instance, const InstanceHandle_t& handle,
                                               const Time& ts) {
    return writer_->unregister_instance_w_timestamp(&instance, handle, ts);
  }
  ReturnCode_t get_key_value(T& key_holder, const InstanceHandle_t& handle) {
    return writer_->get_key_value(&key_holder, handle);
  }
  InstanceHandle_t lookup_instance(const T& instance) { return writer_->lookup_instance(&instance); }
  ReturnCode_t write(const T& data, const InstanceHandle_t& handle) { return writer_->write(&data, handle); }
  ReturnCode_t write_w_timestamp(const T& data, const InstanceHandle_t& handle, const Time& ts) {
    return writer_->write_w_timestamp(&data, handle, ts);
  }
  ReturnCode_t dispose(const T& data, const InstanceHandle_t& handle) { return writer_->dispose(&data, handle); }
  ReturnCode_t dispose_w_timestamp(const T& data, const InstanceHandle_t& handle, const Time& ts) {
    return writer_->dispose_w_timestamp(&data, handle, ts);
  }

 private:
  DataWriter* writer_;
};

template <typename T>
class TypedDataReader {
 public:
  explicit TypedDataReader(DataReader* reader) : reader_(reader) {}
  DataReader* get_reader() const { return reader_; }

  InstanceHandle_t lookup_instance(const T& instance) { return reader_->lookup_instance(&instance); }
  ReturnCode_t get_key_value(T& key_holder, const InstanceHandle_t& handle) {
    return reader_->get_key_value(&key_holder, handle);
  }
  ReturnCode_t read_next_sample(T& data, SampleInfo& info) { return reader_->read_next_sample(&data, info); }
  ReturnCode_t take_next_sample(T& data, SampleInfo& info) { return reader_->take_next_sample(&data, info); }

 private:
  DataReader* reader_;
};

// Static access to a type support's single instance, as an address (one
// that type_support_at() knows).
template <typename TS>
class TypedTypeSupport {
 public:
  static int64_t get_instance() { return announce_type_support(TS::get_instance()); }

 private:
  TypedTypeSupport() = delete;
};

}  // namespace QUORVELA

#endif
