// The sample cache of a data reader: its instances, and the samples and
// instance-state changes they hold, in arrival order across the reader and
// within each instance. Everything the data path does per sample is constant
// time: adding a sample, removing one, marking one read, and the counts of
// valid samples (per instance and in all), of unread samples and of samples
// with a lifespan. Not thread-safe: the reader guards it with its data lock.
#pragma once

#include <cstdint>
#include <map>

#include "endpoint_common.h"
#include "wire/endpoint.h"

namespace QUORVELA::detail {

struct CachedInstance;

struct CachedSample {
  uint64_t seq = 0;  // arrival order across the reader
  bool valid = false;
  bool read = false;
  wire::Payload payload;
  int64_t source_ts = 0;
  int64_t expiry = INT64_MAX;  // wall-clock ns; INT64_MAX never
  InstanceHandle_t publication;
  int32_t disposed_gen = 0, no_writers_gen = 0;
  CachedInstance* instance = nullptr;

  // The sample that arrived next, in the reader and in its instance.
  CachedSample* next() const { return next_; }
  CachedSample* next_in_instance() const { return inext_; }

 private:
  friend class ReaderCache;
  CachedSample* prev_ = nullptr;
  CachedSample* next_ = nullptr;
  CachedSample* iprev_ = nullptr;
  CachedSample* inext_ = nullptr;
};

struct CachedInstance {
  wire::KeyHash key{};
  InstanceHandle_t handle;
  InstanceStateKind state = ALIVE_INSTANCE_STATE;
  bool new_view = true;
  int32_t disposed_gen = 0, no_writers_gen = 0;
  bool has_accepted = false;
  int64_t last_accepted_ts = 0;  // time-based filter, source time
  EndpointClock::time_point deadline_due{};
  // When the instance last became not alive (a dispose, or its last writer
  // gone); meaningful while it is not alive. The reader data lifecycle
  // purges it from here.
  EndpointClock::time_point not_alive_since{};
  wire::Payload key_payload;  // the last valid sample's, for get_key_value and state changes
  // Scratch of one read or take: the samples of this instance it picked, and
  // the generation sum of the most recent of them.
  int32_t picked = 0;
  int32_t picked_generation = 0;

  CachedSample* oldest() const { return first_; }
  int32_t valid_count() const { return valid_count_; }
  bool empty() const { return first_ == nullptr; }

 private:
  friend class ReaderCache;
  CachedSample* first_ = nullptr;
  CachedSample* last_ = nullptr;
  int32_t valid_count_ = 0;
};

class ReaderCache {
 public:
  ReaderCache() = default;
  ReaderCache(const ReaderCache&) = delete;
  ReaderCache& operator=(const ReaderCache&) = delete;
  ~ReaderCache();

  // Instances by key (the nil key for a keyless topic's one instance).
  std::map<wire::KeyHash, CachedInstance>& instances() { return instances_; }
  CachedInstance* find(const wire::KeyHash& key);
  CachedInstance& add_instance(const wire::KeyHash& key, const InstanceHandle_t& handle);
  // Drops an instance with no samples.
  void erase_instance(CachedInstance& inst);
  // Removes every sample of `inst`, read or not, and then `inst` itself.
  void purge_instance(CachedInstance& inst);
  size_t instance_count() const { return instances_.size(); }

  // Appends `s`, which the cache then owns, as the newest sample of `inst`.
  void append(CachedInstance& inst, CachedSample* s);
  // Removes and frees `s`.
  void remove(CachedSample* s);
  void mark_read(CachedSample& s);

  // The oldest sample held by the reader; next() follows arrival order.
  CachedSample* oldest() const { return first_; }
  int32_t valid_count() const { return valid_count_; }
  int32_t unread_count() const { return unread_count_; }

  // Removes the valid samples whose lifespan ended at `now_ns`; true when an
  // instance lost its last sample that way. Constant time unless one did.
  bool purge_expired(int64_t now_ns);

 private:
  std::map<wire::KeyHash, CachedInstance> instances_;
  CachedSample* first_ = nullptr;
  CachedSample* last_ = nullptr;
  int32_t valid_count_ = 0;
  int32_t unread_count_ = 0;
  int64_t earliest_expiry_ = INT64_MAX;  // no sample held expires before this
};

}  // namespace QUORVELA::detail
