#include <algorithm>
#include <chrono>

#include "conditions/condition_impl.h"
#include "duration.h"

namespace QUORVELA {
namespace detail {
namespace {

// Guards every link between conditions and wait sets, the guard conditions'
// trigger values and the wait sets' signal counters. Never destroyed, so
// objects with static storage may still use it during exit.
std::mutex& link_mutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}

// Signalled when an evaluation of some condition by a wait set ends.
std::condition_variable& evaluation_done() {
  static std::condition_variable* cv = new std::condition_variable();
  return *cv;
}

template <typename T>
bool erase_one(std::vector<T*>& v, T* item) {
  auto it = std::find(v.begin(), v.end(), item);
  if (it == v.end()) return false;
  v.erase(it);
  return true;
}

}  // namespace

ReturnCode_t WaitSetCore::attach(ConditionCore* c) {
  std::lock_guard<std::mutex> lock(link_mutex());
  if (std::find(conditions_.begin(), conditions_.end(), c) != conditions_.end()) return RETCODE_OK;
  conditions_.push_back(c);
  c->waitsets_.push_back(this);
  ++signals_;
  cv_.notify_all();
  return RETCODE_OK;
}

ReturnCode_t WaitSetCore::detach(ConditionCore* c) {
  std::lock_guard<std::mutex> lock(link_mutex());
  if (!erase_one(conditions_, c)) return RETCODE_PRECONDITION_NOT_MET;
  erase_one(c->waitsets_, this);
  ++signals_;
  cv_.notify_all();
  return RETCODE_OK;
}

void WaitSetCore::conditions(ConditionSeq& out) {
  std::lock_guard<std::mutex> lock(link_mutex());
  out.clear();
  for (ConditionCore* c : conditions_) out.push_back(c->owner_);
}

void WaitSetCore::detach_all() {
  std::lock_guard<std::mutex> lock(link_mutex());
  for (ConditionCore* c : conditions_) erase_one(c->waitsets_, this);
  conditions_.clear();
  ++signals_;
  cv_.notify_all();
}

ReturnCode_t WaitSetCore::wait(ConditionSeq& active, const Duration_t& timeout) {
  if (!detail::is_valid(timeout)) return RETCODE_BAD_PARAMETER;
  const bool infinite = detail::is_infinite(timeout);
  const auto deadline =
      std::chrono::steady_clock::now() + (infinite ? std::chrono::nanoseconds(0) : detail::to_chrono(timeout));

  std::unique_lock<std::mutex> lock(link_mutex());
  if (waiting_) return RETCODE_PRECONDITION_NOT_MET;  // one waiter per wait set
  waiting_ = true;
  for (;;) {
    // Read the trigger values without the link mutex: a condition may ask
    // its entity, which may take its own locks and call notify_condition.
    std::vector<ConditionCore*> snapshot = conditions_;
    for (ConditionCore* c : snapshot) ++c->evaluating_;
    const uint64_t seen = signals_;
    lock.unlock();
    std::vector<ConditionCore*> triggered;
    for (ConditionCore* c : snapshot) {
      if (c->owner_->get_trigger_value()) triggered.push_back(c);
    }
    lock.lock();
    bool ended = false;
    for (ConditionCore* c : snapshot) ended |= --c->evaluating_ == 0;
    if (ended) evaluation_done().notify_all();

    ConditionSeq result;
    for (ConditionCore* c : triggered) {
      // Leave out what was detached while it was being evaluated.
      if (std::find(conditions_.begin(), conditions_.end(), c) != conditions_.end()) {
        result.push_back(c->owner_);
      }
    }
    if (!result.empty()) {
      waiting_ = false;
      active = std::move(result);
      return RETCODE_OK;
    }
    auto changed = [&] { return signals_ != seen; };
    if (infinite) {
      cv_.wait(lock, changed);
    } else if (!cv_.wait_until(lock, deadline, changed)) {
      waiting_ = false;
      active.clear();
      return RETCODE_TIMEOUT;
    }
  }
}

void notify_condition(Condition& condition) {
  ConditionCore* core = condition.core();
  std::lock_guard<std::mutex> lock(link_mutex());
  for (WaitSetCore* ws : core->waitsets_) {
    ++ws->signals_;
    ws->cv_.notify_all();
  }
}

void unlink_condition(Condition& condition) {
  ConditionCore* core = condition.core();
  std::unique_lock<std::mutex> lock(link_mutex());
  for (WaitSetCore* ws : core->waitsets_) {
    erase_one(ws->conditions_, core);
    ++ws->signals_;
    ws->cv_.notify_all();
  }
  core->waitsets_.clear();
  evaluation_done().wait(lock, [&] { return core->evaluating_ == 0; });
}

size_t attached_waitset_count(const Condition& condition) {
  std::lock_guard<std::mutex> lock(link_mutex());
  return condition.core()->waitsets_.size();
}

}  // namespace detail

// ------------------------------------------------------------------ Condition

Condition::Condition() : core_(new detail::ConditionCore(this)) {}

Condition::~Condition() {
  detail::unlink_condition(*this);
  delete core_;
}

// ------------------------------------------------------------- GuardCondition

GuardCondition::GuardCondition() : trigger_value_(false) {}

GuardCondition::~GuardCondition() { detail::unlink_condition(*this); }

bool GuardCondition::get_trigger_value() {
  std::lock_guard<std::mutex> lock(detail::link_mutex());
  return trigger_value_;
}

ReturnCode_t GuardCondition::set_trigger_value(bool value) {
  {
    std::lock_guard<std::mutex> lock(detail::link_mutex());
    trigger_value_ = value;
  }
  if (value) detail::notify_condition(*this);
  return RETCODE_OK;
}

// -------------------------------------------------------------------- WaitSet

WaitSet::WaitSet() : core_(new detail::WaitSetCore()) {}

WaitSet::~WaitSet() {
  core_->detach_all();
  delete core_;
}

ReturnCode_t WaitSet::attach_condition(Condition& condition) { return core_->attach(condition.core()); }

ReturnCode_t WaitSet::detach_condition(Condition& condition) { return core_->detach(condition.core()); }

ReturnCode_t WaitSet::wait(ConditionSeq& active, const Duration_t& timeout) {
  return core_->wait(active, timeout);
}

ReturnCode_t WaitSet::get_conditions(ConditionSeq& attached) {
  core_->conditions(attached);
  return RETCODE_OK;
}

}  // namespace QUORVELA
