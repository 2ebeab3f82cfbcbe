#include "wire/runtime.h"

namespace QUORVELA::wire {

Runtime& Runtime::instance() {
  static Runtime* r = new Runtime();  // never destroyed: usable during exit
  return *r;
}

Runtime::~Runtime() { shutdown(); }

uint64_t Runtime::new_owner() {
  std::lock_guard<std::mutex> lk(mtx_);
  return next_owner_++;
}

void Runtime::ensure_started_locked() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { run(); });
  thread_id_ = thread_.get_id();
}

void Runtime::post(uint64_t owner, Fn fn) { schedule(owner, Clock::now(), std::move(fn)); }

uint64_t Runtime::schedule(uint64_t owner, Clock::time_point at, Fn fn) {
  std::lock_guard<std::mutex> lk(mtx_);
  ensure_started_locked();
  uint64_t id = next_id_++;
  auto it = queue_.emplace(at, Item{owner, id, std::move(fn)});
  // The thread sleeps until the first item is due (or for ever on an empty
  // queue): only an item that is now the first one changes when it wakes.
  if (it == queue_.begin()) cv_.notify_one();
  return id;
}

void Runtime::cancel(uint64_t timer_id) {
  std::lock_guard<std::mutex> lk(mtx_);
  for (auto it = queue_.begin(); it != queue_.end(); ++it)
    if (it->second.id == timer_id) {
      queue_.erase(it);
      return;
    }
}

void Runtime::cancel_owner(uint64_t owner) {
  std::unique_lock<std::mutex> lk(mtx_);
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->second.owner == owner)
      it = queue_.erase(it);
    else
      ++it;
  }
  if (std::this_thread::get_id() == thread_id_) return;
  idle_cv_.wait(lk, [&] { return running_owner_ != owner; });
}

bool Runtime::on_event_thread() const {
  std::lock_guard<std::mutex> lk(mtx_);
  return std::this_thread::get_id() == thread_id_;
}

void Runtime::run() {
  std::unique_lock<std::mutex> lk(mtx_);
  while (!stop_) {
    if (queue_.empty()) {
      cv_.wait(lk);
      continue;
    }
    auto first = queue_.begin();
    const Clock::time_point due = first->first;  // the node may go while we wait
    if (due > Clock::now()) {
      cv_.wait_until(lk, due);
      continue;
    }
    Item item = std::move(first->second);
    queue_.erase(first);
    running_owner_ = item.owner;
    lk.unlock();
    item.fn();
    item.fn = nullptr;  // release captures before signalling idle
    lk.lock();
    running_owner_ = 0;
    idle_cv_.notify_all();
  }
}

void Runtime::shutdown() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!thread_.joinable()) return;
    if (std::this_thread::get_id() == thread_id_) return;  // cannot join itself
    stop_ = true;
    queue_.clear();
    cv_.notify_all();
    t = std::move(thread_);
  }
  t.join();
  std::lock_guard<std::mutex> lk(mtx_);
  thread_id_ = std::thread::id();
}

}  // namespace QUORVELA::wire
