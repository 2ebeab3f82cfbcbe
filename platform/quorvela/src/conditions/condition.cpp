#include <algorithm>
#include <chrono>

#include "conditions/condition_impl.h"
#include "duration.h"

namespace QUORVELA {
namespace detail {
namespace {

// Guards changes of the links between conditions and wait sets (attach,
// detach, unlink), and the end of evaluations that an unlink waits for.
// Never destroyed, so objects with static storage may still use it during
// exit.
std::mutex& link_mutex() {
  static std::mutex* m = new std::mutex();
  return *m;
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
  std::lock_guard<std::mutex> link(link_mutex());
  std::lock_guard<std::mutex> cl(c->mtx_);
  std::lock_guard<std::mutex> lock(mtx_);
  if (std::find(conditions_.begin(), conditions_.end(), c) != conditions_.end()) return RETCODE_OK;
  conditions_.push_back(c);
  c->waitsets_.push_back(this);
  signal_locked();
  return RETCODE_OK;
}

ReturnCode_t WaitSetCore::detach(ConditionCore* c) {
  std::lock_guard<std::mutex> link(link_mutex());
  std::lock_guard<std::mutex> cl(c->mtx_);
  std::lock_guard<std::mutex> lock(mtx_);
  if (!erase_one(conditions_, c)) return RETCODE_PRECONDITION_NOT_MET;
  erase_one(c->waitsets_, this);
  signal_locked();
  return RETCODE_OK;
}

void WaitSetCore::conditions(ConditionSeq& out) {
  std::lock_guard<std::mutex> lock(mtx_);
  out.clear();
  for (ConditionCore* c : conditions_) out.push_back(c->owner_);
}

void WaitSetCore::detach_all() {
  std::lock_guard<std::mutex> link(link_mutex());
  for (ConditionCore* c : conditions_) {  // stable: changes need the link mutex
    std::lock_guard<std::mutex> cl(c->mtx_);
    erase_one(c->waitsets_, this);
  }
  std::lock_guard<std::mutex> lock(mtx_);
  conditions_.clear();
  signal_locked();
}

// The end of one evaluation of c by a wait set. Without a lock unless an
// unlink waits: the decrement is the last access to c, which the unlink frees
// only once it sees the count at 0 (it re-checks now and then, for the
// decrement that missed its flag).
void WaitSetCore::end_evaluation(ConditionCore* c) {
  if (!c->unlinking_.load()) {
    c->evaluating_.fetch_sub(1);
    return;
  }
  std::lock_guard<std::mutex> cl(c->mtx_);
  if (--c->evaluating_ == 0) c->evaluated_.notify_all();
}

ReturnCode_t WaitSetCore::wait(ConditionSeq& active, const Duration_t& timeout) {
  if (!detail::is_valid(timeout)) return RETCODE_BAD_PARAMETER;
  const bool infinite = detail::is_infinite(timeout);
  const auto deadline =
      std::chrono::steady_clock::now() + (infinite ? std::chrono::nanoseconds(0) : detail::to_chrono(timeout));

  std::unique_lock<std::mutex> lock(mtx_);
  if (waiting_) return RETCODE_PRECONDITION_NOT_MET;  // one waiter per wait set
  waiting_ = true;
  // The waiter's scratch (one waiter at a time): keeps its capacity.
  std::vector<ConditionCore*>& snapshot = snapshot_;
  std::vector<ConditionCore*>& triggered = triggered_;
  for (;;) {
    // Read the trigger values without any lock of ours: a condition may ask
    // its entity, which may take its own locks and call notify_condition.
    // Each condition is armed before it is read, so a change after the read
    // finds it armed and signals.
    snapshot = conditions_;
    for (ConditionCore* c : snapshot) ++c->evaluating_;
    const uint64_t seen = signals_;
    lock.unlock();
    triggered.clear();
    for (ConditionCore* c : snapshot) {
      c->armed_.exchange(true);
      if (c->owner_->get_trigger_value()) triggered.push_back(c);
    }
    lock.lock();
    // Leave out what was detached while it was being evaluated.
    triggered.erase(std::remove_if(triggered.begin(), triggered.end(),
                                   [&](ConditionCore* c) {
                                     return std::find(conditions_.begin(), conditions_.end(), c) == conditions_.end();
                                   }),
                    triggered.end());
    // The owners are read while the evaluation still keeps the conditions.
    const bool found = !triggered.empty();
    if (found) {
      active.clear();
      for (ConditionCore* c : triggered) active.push_back(c->owner_);
    }
    // Ended outside our lock (order: condition, then wait set).
    lock.unlock();
    for (ConditionCore* c : snapshot) end_evaluation(c);
    lock.lock();
    if (found) {
      waiting_ = false;
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

void notify_condition(Condition& condition, WaitSetWakeups& wakeups) {
  ConditionCore* core = condition.core();
  // An exchange, not a load: it orders this change before a later arming
  // (whose evaluation then sees it) or sees the arming (and signals).
  if (!core->armed_.exchange(false)) return;
  std::lock_guard<std::mutex> cl(core->mtx_);
  for (WaitSetCore* ws : core->waitsets_) {
    std::lock_guard<std::mutex> lock(ws->mtx_);
    ++ws->signals_;
    if (ws->waiting_) wakeups.add(ws);
  }
}

void notify_condition(Condition& condition) {
  WaitSetWakeups wakeups;
  notify_condition(condition, wakeups);
}

void WaitSetWakeups::add(WaitSetCore* ws) {
  ws->retain();
  if (count_ < kInline)
    inline_[count_++] = ws;
  else
    more_.push_back(ws);
}

void WaitSetWakeups::wake() {
  auto one = [](WaitSetCore* ws) {
    ws->cv_.notify_one();
    ws->release();
  };
  for (size_t i = 0; i < count_; ++i) one(inline_[i]);
  for (WaitSetCore* ws : more_) one(ws);
  count_ = 0;
  more_.clear();
}

void unlink_condition(Condition& condition) {
  ConditionCore* core = condition.core();
  std::lock_guard<std::mutex> link(link_mutex());
  std::unique_lock<std::mutex> cl(core->mtx_);
  for (WaitSetCore* ws : core->waitsets_) {
    std::lock_guard<std::mutex> lock(ws->mtx_);
    erase_one(ws->conditions_, core);
    ws->signal_locked();
  }
  core->waitsets_.clear();
  // No wait set starts reading it now; wait for those that are.
  core->unlinking_.store(true);
  while (!core->evaluated_.wait_for(cl, std::chrono::milliseconds(1), [&] { return core->evaluating_.load() == 0; })) {
  }
  core->unlinking_.store(false);
}

size_t attached_waitset_count(const Condition& condition) {
  std::lock_guard<std::mutex> lock(condition.core()->mtx_);
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
  std::lock_guard<std::mutex> lock(core()->mutex());
  return trigger_value_;
}

ReturnCode_t GuardCondition::set_trigger_value(bool value) {
  {
    std::lock_guard<std::mutex> lock(core()->mutex());
    trigger_value_ = value;
  }
  if (value) detail::notify_condition(*this);
  return RETCODE_OK;
}

// -------------------------------------------------------------------- WaitSet

WaitSet::WaitSet() : core_(new detail::WaitSetCore()) {}

WaitSet::~WaitSet() {
  core_->detach_all();
  core_->release();
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
