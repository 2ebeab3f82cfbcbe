// The library's own event thread: timers (deadline, liveliness, lifespan) and
// listener dispatch run here, so user callbacks never run on Cyclone's
// threads and never while Cyclone holds one of its locks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace QUORVELA::wire {

class Runtime {
 public:
  using Clock = std::chrono::steady_clock;
  using Fn = std::function<void()>;

  static Runtime& instance();

  // Every entity that posts work gets an owner id; cancel_owner() removes all
  // of its pending work and waits for the one that may be running.
  uint64_t new_owner();
  // Runs fn on the event thread as soon as possible.
  void post(uint64_t owner, Fn fn);
  // Runs fn at (or just after) `at`; returns a timer id for cancel().
  uint64_t schedule(uint64_t owner, Clock::time_point at, Fn fn);
  void cancel(uint64_t timer_id);
  // After it returns, no work of `owner` is running or still to come (when
  // called from the event thread itself, the running callback is the caller).
  // Must not be called while holding a lock that owner's callbacks take.
  void cancel_owner(uint64_t owner);
  bool on_event_thread() const;
  // Stops the thread; it starts again on the next post()/schedule().
  void shutdown();

 private:
  Runtime() = default;
  ~Runtime();
  void run();
  void ensure_started_locked();

  struct Item {
    uint64_t owner;
    uint64_t id;
    Fn fn;
  };
  mutable std::mutex mtx_;
  std::condition_variable cv_;       // wakes the event thread
  std::condition_variable idle_cv_;  // signals the end of a callback
  std::multimap<Clock::time_point, Item> queue_;
  std::thread thread_;
  std::thread::id thread_id_;
  bool stop_ = false;
  uint64_t running_owner_ = 0;
  uint64_t next_id_ = 1;
  uint64_t next_owner_ = 1;
};

}  // namespace QUORVELA::wire
