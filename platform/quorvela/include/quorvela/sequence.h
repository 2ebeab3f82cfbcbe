// Containers that receive samples and sample infos from read and take.
#ifndef QUORVELA_SEQUENCE_H
#define QUORVELA_SEQUENCE_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "quorvela/types.h"

namespace QUORVELA {

// Untyped sequence of owned elements. Every element was made by the one who
// appended it and is freed through the deleter given with it.
class SequenceBase {
 public:
  typedef void (*ElementDeleter)(void* element, void* context);

  SequenceBase() = default;
  SequenceBase(const SequenceBase&) = delete;
  SequenceBase& operator=(const SequenceBase&) = delete;
  SequenceBase(SequenceBase&& o) noexcept
      : elements_(std::move(o.elements_)), deleter_(o.deleter_), context_(o.context_) {
    o.elements_.clear();
  }
  SequenceBase& operator=(SequenceBase&& o) noexcept {
    if (this != &o) {
      release();
      elements_ = std::move(o.elements_);
      o.elements_.clear();
      deleter_ = o.deleter_;
      context_ = o.context_;
    }
    return *this;
  }
  virtual ~SequenceBase() { release(); }

  uint32_t length() const { return static_cast<uint32_t>(elements_.size()); }
  bool empty() const { return elements_.empty(); }

  // Frees every element and leaves the sequence empty.
  void release() {
    if (deleter_ != nullptr) {
      for (void* e : elements_) deleter_(e, context_);
    }
    elements_.clear();
  }

  // Untyped access, bounds-checked.
  void* element(uint32_t i) const {
    if (i >= elements_.size()) throw std::out_of_range("SequenceData index out of range");
    return elements_[i];
  }

  // Used by the library to fill the sequence. The sequence takes ownership of
  // the element; all elements of one sequence share one deleter.
  void append(void* element, ElementDeleter deleter, void* context) {
    if (!elements_.empty() && (deleter != deleter_ || context != context_)) {
      // Mixed ownership is not allowed: free the element at once.
      if (deleter != nullptr) deleter(element, context);
      return;
    }
    deleter_ = deleter;
    context_ = context;
    elements_.push_back(element);
  }

 private:
  std::vector<void*> elements_;
  ElementDeleter deleter_ = nullptr;
  void* context_ = nullptr;
};

template <typename T>
class SequenceData : public SequenceBase {
 public:
  SequenceData() = default;
  T& operator[](uint32_t i) { return *static_cast<T*>(element(i)); }
  const T& operator[](uint32_t i) const { return *static_cast<const T*>(element(i)); }
};

typedef SequenceData<SampleInfo> SampleInfoSeq;

}  // namespace QUORVELA

#endif
