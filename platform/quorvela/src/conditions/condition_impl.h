// Library-internal machinery of conditions and wait sets.
//
// Every Condition owns a ConditionCore and every WaitSet a WaitSetCore. The
// cores hold the links between conditions and the wait sets they are attached
// to. Attaching, detaching and unlinking change the links under one
// process-wide mutex (they are rare); everything a sample arrival or a wait
// touches is per condition or per wait set: a condition's own mutex guards
// the list of its wait sets, a wait set's own mutex its list of conditions,
// its signal counter and its sleep. Lock order: link mutex, condition,
// wait set. No lock of the machinery is held while a condition's trigger
// value is computed, so trigger evaluation may take any lock of the entity it
// asks (the entity's own mutex, for instance).
//
// A waiting wait set arms each of its conditions before it reads their
// trigger values; notify_condition() signals the wait sets only when it finds
// the condition armed, and disarms it. So a condition that stays true, or
// changes while nobody waits for it, costs one atomic operation per
// notification, and a waiter is woken once per false-to-true change it waits
// for. The waiter is woken after the notifier released every lock of the
// machinery (and, through WaitSetWakeups, of its own): a woken thread that
// runs at once on the notifier's processor then finds no lock still held.
//
// What an entity implementation must do:
//
//  * When something changes that may turn a condition's trigger value from
//    false to true (a status changed, a sample arrived, the sample states
//    changed, parameters were replaced...), call notify_condition(cond) after
//    the change is visible to get_trigger_value() (made under the lock that
//    get_trigger_value() takes, for instance). It wakes the wait sets waiting
//    for the condition, which then re-read the trigger values. It takes only
//    the condition's and the wait sets' own mutexes, so it may be called with
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

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "quorvela/conditions.h"

namespace QUORVELA::detail {

class WaitSetCore;
class WaitSetWakeups;

class ConditionCore {
 public:
  explicit ConditionCore(Condition* owner) : owner_(owner) {}

  Condition* owner() const { return owner_; }
  // Guards the trigger value of conditions that keep it here (guard
  // conditions) besides the list of wait sets.
  std::mutex& mutex() { return mtx_; }

 private:
  friend class WaitSetCore;
  friend void notify_condition(Condition& condition, WaitSetWakeups& wakeups);
  friend void unlink_condition(Condition& condition);
  friend size_t attached_waitset_count(const Condition& condition);

  Condition* owner_;
  std::mutex mtx_;
  std::vector<WaitSetCore*> waitsets_;  // changed under the link mutex and mtx_
  std::atomic<bool> armed_{false};      // a waiter read the trigger value and waits for a change
  // Wait sets reading the trigger value now: counted up under the wait set's
  // mutex while attached to it, down without a lock (see end_evaluation).
  std::atomic<int> evaluating_{0};
  std::atomic<bool> unlinking_{false};   // unlink_condition waits for evaluating_ == 0
  std::condition_variable evaluated_;    // with mtx_: the last evaluation ended
};

class WaitSetCore {
 public:
  WaitSetCore() = default;
  WaitSetCore(const WaitSetCore&) = delete;
  WaitSetCore& operator=(const WaitSetCore&) = delete;

  // The wait set and the notifiers about to wake it share the core: the
  // last release() frees it.
  void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  ReturnCode_t attach(ConditionCore* c);
  ReturnCode_t detach(ConditionCore* c);
  void conditions(ConditionSeq& out);
  ReturnCode_t wait(ConditionSeq& active, const Duration_t& timeout);
  // Detaches every condition (used when the wait set is destroyed).
  void detach_all();

 private:
  friend void notify_condition(Condition& condition, WaitSetWakeups& wakeups);
  friend void unlink_condition(Condition& condition);
  friend class WaitSetWakeups;
  ~WaitSetCore() = default;

  static void end_evaluation(ConditionCore* c);
  // Wakes the waiter, if any, to re-read the trigger values.
  void signal_locked() {
    ++signals_;
    if (waiting_) cv_.notify_one();
  }

  std::mutex mtx_;
  std::vector<ConditionCore*> conditions_;  // in attach order; changed under the link mutex and mtx_
  std::condition_variable cv_;
  uint64_t signals_ = 0;  // bumped on every change a waiter must re-check
  bool waiting_ = false;
  // Scratch of the waiter (there is one at a time, see waiting_).
  std::vector<ConditionCore*> snapshot_, triggered_;
  std::atomic<int> refs_{1};
};

// The wait sets that notifications signalled and whose waiters are still to
// be woken: woken by wake() or on destruction. Declare it before the locks
// held while notifying, so that it wakes after they are released.
class WaitSetWakeups {
 public:
  WaitSetWakeups() = default;
  WaitSetWakeups(const WaitSetWakeups&) = delete;
  WaitSetWakeups& operator=(const WaitSetWakeups&) = delete;
  ~WaitSetWakeups() { wake(); }

  void add(WaitSetCore* ws);  // retained until woken
  void wake();

 private:
  static constexpr size_t kInline = 4;
  WaitSetCore* inline_[kInline] = {};
  size_t count_ = 0;
  std::vector<WaitSetCore*> more_;
};

// Wakes the wait sets waiting for condition so they re-read its trigger
// value. One atomic operation when none waits for it. The second form leaves
// the waking to `wakeups`.
void notify_condition(Condition& condition);
void notify_condition(Condition& condition, WaitSetWakeups& wakeups);

// Detaches condition from all its wait sets and waits for evaluations of it
// in progress on other threads to end. Idempotent.
void unlink_condition(Condition& condition);

// The number of wait sets condition is attached to (for tests and checks).
size_t attached_waitset_count(const Condition& condition);

}  // namespace QUORVELA::detail
