// Library-internal machinery of conditions and wait sets.
//
// Every Condition owns a ConditionCore and every WaitSet a WaitSetCore. The
// cores hold the links between conditions and the wait sets they are attached
// to. All links are guarded by one process-wide mutex, which is never held
// while a condition's trigger value is computed, so trigger evaluation may
// take any lock of the entity it asks (the entity's own mutex, for instance).
//
// What an entity implementation must do:
//
//  * When something changes that may turn a condition's trigger value from
//    false to true (a status changed, a sample arrived, the sample states
//    changed, parameters were replaced...), call notify_condition(cond). It
//    wakes the wait sets the condition is attached to, which then re-read the
//    trigger values. It only takes the link mutex, so it may be called with
//    the entity's own locks held, from any thread.
//
//  * Before a concrete condition class tears down anything its
//    get_trigger_value() reads, it must call unlink_condition(*this) (the
//    condition classes in this directory do so first thing in their
//    destructors). That detaches it from every wait set and waits until no
//    wait set is still evaluating it on another thread. Do not hold a lock
//    that get_trigger_value() needs while a condition is destroyed, or a
//    concurrent wait could not finish its evaluation.
//
//  * An entity destroys its conditions before its own state goes away
//    (status condition and read conditions first in its deletion).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "quorvela/conditions.h"

namespace QUORVELA::detail {

class WaitSetCore;

class ConditionCore {
 public:
  explicit ConditionCore(Condition* owner) : owner_(owner) {}

  Condition* owner() const { return owner_; }

 private:
  friend class WaitSetCore;
  friend void notify_condition(Condition& condition);
  friend void unlink_condition(Condition& condition);
  friend size_t attached_waitset_count(const Condition& condition);

  Condition* owner_;
  std::vector<WaitSetCore*> waitsets_;  // guarded by the link mutex
  int evaluating_ = 0;                  // wait sets reading the trigger value now
};

class WaitSetCore {
 public:
  WaitSetCore() = default;

  ReturnCode_t attach(ConditionCore* c);
  ReturnCode_t detach(ConditionCore* c);
  void conditions(ConditionSeq& out);
  ReturnCode_t wait(ConditionSeq& active, const Duration_t& timeout);
  // Detaches every condition (used when the wait set is destroyed).
  void detach_all();

 private:
  friend void notify_condition(Condition& condition);
  friend void unlink_condition(Condition& condition);

  std::vector<ConditionCore*> conditions_;  // in attach order; guarded by the link mutex
  std::condition_variable cv_;
  uint64_t signals_ = 0;  // bumped on every change a waiter must re-check
  bool waiting_ = false;
};

// Wakes the wait sets that condition is attached to so they re-read its
// trigger value. Cheap when it is attached to none.
void notify_condition(Condition& condition);

// Detaches condition from all its wait sets and waits for evaluations of it
// in progress on other threads to end. Idempotent.
void unlink_condition(Condition& condition);

// The number of wait sets condition is attached to (for tests and checks).
size_t attached_waitset_count(const Condition& condition);

}  // namespace QUORVELA::detail
