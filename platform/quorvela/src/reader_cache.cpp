#include "reader_cache.h"

#include <algorithm>

namespace QUORVELA::detail {

ReaderCache::~ReaderCache() {
  for (CachedSample* s = first_; s != nullptr;) {
    CachedSample* next = s->next_;
    delete s;
    s = next;
  }
}

CachedInstance* ReaderCache::find(const wire::KeyHash& key) {
  auto it = instances_.find(key);
  return it == instances_.end() ? nullptr : &it->second;
}

CachedInstance& ReaderCache::add_instance(const wire::KeyHash& key, const InstanceHandle_t& handle) {
  CachedInstance& inst = instances_[key];
  inst.key = key;
  inst.handle = handle;
  return inst;
}

void ReaderCache::erase_instance(CachedInstance& inst) {
  if (inst.empty()) instances_.erase(inst.key);
}

void ReaderCache::purge_instance(CachedInstance& inst) {
  while (inst.first_ != nullptr) remove(inst.first_);
  instances_.erase(inst.key);
}

void ReaderCache::append(CachedInstance& inst, CachedSample* s) {
  s->instance = &inst;
  s->prev_ = last_;
  s->next_ = nullptr;
  (last_ ? last_->next_ : first_) = s;
  last_ = s;
  s->iprev_ = inst.last_;
  s->inext_ = nullptr;
  (inst.last_ ? inst.last_->inext_ : inst.first_) = s;
  inst.last_ = s;
  if (s->valid) {
    ++inst.valid_count_;
    ++valid_count_;
  }
  if (!s->read) ++unread_count_;
  earliest_expiry_ = std::min(earliest_expiry_, s->expiry);
}

void ReaderCache::remove(CachedSample* s) {
  CachedInstance& inst = *s->instance;
  (s->prev_ ? s->prev_->next_ : first_) = s->next_;
  (s->next_ ? s->next_->prev_ : last_) = s->prev_;
  (s->iprev_ ? s->iprev_->inext_ : inst.first_) = s->inext_;
  (s->inext_ ? s->inext_->iprev_ : inst.last_) = s->iprev_;
  if (s->valid) {
    --inst.valid_count_;
    --valid_count_;
  }
  if (!s->read) --unread_count_;
  delete s;
}

void ReaderCache::mark_read(CachedSample& s) {
  if (s.read) return;
  s.read = true;
  --unread_count_;
}

bool ReaderCache::purge_expired(int64_t now_ns) {
  if (now_ns < earliest_expiry_) return false;
  bool emptied = false;
  int64_t earliest = INT64_MAX;
  for (CachedSample* s = first_; s != nullptr;) {
    CachedSample* next = s->next_;
    if (s->valid && s->expiry <= now_ns) {
      CachedInstance& inst = *s->instance;
      remove(s);
      emptied = emptied || inst.empty();
    } else {
      earliest = std::min(earliest, s->expiry);
    }
    s = next;
  }
  earliest_expiry_ = earliest;
  return emptied;
}

}  // namespace QUORVELA::detail
