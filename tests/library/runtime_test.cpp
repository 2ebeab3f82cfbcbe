// The library's event thread: a timer runs at its due time, never before,
// also when it is due before every item already waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "wire/runtime.h"

using QUORVELA::wire::Runtime;
using Clock = Runtime::Clock;
using std::chrono::milliseconds;

TEST(RuntimeTest, TimersRunAtTheirTimeWhateverTheOrderTheyCameIn) {
  Runtime& rt = Runtime::instance();
  const uint64_t owner = rt.new_owner();
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<int, Clock::time_point>> ran;  // (due in ms, when it ran)
  const auto t0 = Clock::now();
  // Scheduled latest first, while the thread sleeps until the earliest one
  // so far: each new one is due before all that wait.
  for (int due_ms : {700, 450, 300, 180}) {
    rt.schedule(owner, t0 + milliseconds(due_ms), [&, due_ms] {
      std::lock_guard<std::mutex> lk(m);
      ran.emplace_back(due_ms, Clock::now());
      cv.notify_all();
    });
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::unique_lock<std::mutex> lk(m);
  ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return ran.size() == 4; }));
  lk.unlock();
  rt.cancel_owner(owner);
  std::vector<int> order;
  for (auto& [due_ms, at] : ran) {
    order.push_back(due_ms);
    const auto late = std::chrono::duration_cast<milliseconds>(at - (t0 + milliseconds(due_ms))).count();
    EXPECT_GE(late, 0) << "the timer due at " << due_ms << " ms ran early";
    // Generous for a loaded machine, below the 120 ms and more that separate
    // a timer from the one scheduled before it.
    EXPECT_LT(late, 100) << "the timer due at " << due_ms << " ms waited for an earlier-scheduled one";
  }
  EXPECT_EQ(order, (std::vector<int>{180, 300, 450, 700}));
}
