// A match seen on one side means that the other side delivers, also on a
// loaded machine: writers in another process write the moment they see a
// match, readers there report theirs the moment they see it and the writer
// here writes right then, batch after batch of new topics, under a load of
// twice as many runnable threads as there are cores. No sample may be lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <utility>
#include <thread>
#include <vector>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

constexpr int kBatches = 20;
constexpr int kPairs = 8;  // per batch and direction

std::string topic_of(const std::string& prefix, char direction, int batch, int i) {
  return prefix + "_" + direction + std::to_string(batch) + "_" + std::to_string(i);
}

DataWriterQos writer_qos() {
  DataWriterQos q = DATAWRITER_QOS_DEFAULT;
  q.history.kind = KEEP_ALL_HISTORY_QOS;
  return q;
}
DataReaderQos keep_all_reader() {
  DataReaderQos q = reader_qos(RELIABLE_RELIABILITY_QOS);
  q.history.kind = KEEP_ALL_HISTORY_QOS;
  return q;
}

// One batch of a process's writers and readers, each on a topic of its own.
struct Batch {
  Stack& s;
  std::vector<Topic*> topics;
  std::vector<DataWriter*> writers;
  std::vector<DataReader*> readers;

  explicit Batch(Stack& stack) : s(stack) {}
  bool add_writer(const std::string& name) { return add(name, writers, [&](Topic* t) {
      return s.publisher->create_datawriter(t, writer_qos(), nullptr, 0);
    }); }
  bool add_reader(const std::string& name) { return add(name, readers, [&](Topic* t) {
      return s.subscriber->create_datareader(t, keep_all_reader(), nullptr, 0);
    }); }
  template <typename E, typename Make>
  bool add(const std::string& name, std::vector<E*>& endpoints, Make make) {
    Topic* t = s.participant->create_topic(name, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    E* e = t ? make(t) : nullptr;
    topics.push_back(t);
    endpoints.push_back(e);
    return e != nullptr;
  }
  ~Batch() {
    for (DataWriter* w : writers)
      if (w) s.publisher->delete_datawriter(w);
    for (DataReader* r : readers)
      if (r) s.subscriber->delete_datareader(r);
    for (Topic* t : topics)
      if (t) s.participant->delete_topic(t);
  }
};

// One clock for both processes.
int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool got_sample(DataReader* r, int32_t value) {
  for (auto& [v, info] : take_all<FlatRecord>(r))
    if (v == value) return true;
  return false;
}

// The other process: per "BATCH <b>", kPairs writers that write the moment
// they see their match ("W <i> <time>" when written) and kPairs readers that
// report their match the moment they see it ("M <i> <time>") and then what
// they get ("G <i>"); "DONE <b>" once every reader got its sample.
int child_stress_peer() {
  const std::string prefix = env_or("QV_WIRE_TOPIC", "stress");
  Stack s;
  if (!s.make(prefix + "_unused", false)) return 2;
  for (;;) {
    const std::string line = parent_line(20000);
    if (line.rfind("BATCH ", 0) != 0) return line == "quit" ? 0 : 3;
    const int b = std::stoi(line.substr(6));
    Batch batch(s);
    for (int i = 0; i < kPairs; ++i)
      if (!batch.add_writer(topic_of(prefix, 'w', b, i)) || !batch.add_reader(topic_of(prefix, 'r', b, i))) return 4;
    std::vector<bool> written(kPairs, false), reported(kPairs, false), got(kPairs, false);
    int done = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (done < kPairs && std::chrono::steady_clock::now() < end) {
      for (int i = 0; i < kPairs; ++i) {
        if (!written[i] && matched_subs(batch.writers[i]) > 0) {
          FlatRecord f = flat(b * 1000 + i);
          if (batch.writers[i]->write(&f, HANDLE_NIL) != RETCODE_OK) return 5;
          written[i] = true;
          tell_parent("W " + std::to_string(i) + " " + std::to_string(now_ns()));
        }
        if (!reported[i] && matched_pubs(batch.readers[i]) > 0) {
          reported[i] = true;
          tell_parent("M " + std::to_string(i) + " " + std::to_string(now_ns()));
        }
        if (reported[i] && !got[i] && got_sample(batch.readers[i], b * 1000 + 500 + i)) {
          got[i] = true;
          ++done;
          tell_parent("G " + std::to_string(i));
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::string detail;  // per reader: its match seen (m) or not (-), its sample got (g) or not (-)
    for (int i = 0; i < kPairs; ++i) detail += std::string(" ") + (reported[i] ? "m" : "-") + (got[i] ? "g" : "-");
    tell_parent(done == kPairs ? "DONE " + std::to_string(b) : "LOST " + std::to_string(b) + detail);
  }
}

const bool g_child = [] {
  run_child_if_requested({{"stress_peer", child_stress_peer}});
  return true;
}();

// The machine's load (runnable threads, as the last minute's average) made
// up to twice the number of cores with spinning threads, while it lives.
class Load {
 public:
  Load() {
    const int target = 2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    double now = 0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
      if (std::fscanf(f, "%lf", &now) != 1) now = 0;
      std::fclose(f);
    }
    const int n = std::max(0, target - static_cast<int>(now));
    std::printf("load %.1f, %d spinning threads added for %d\n", now, n, target);
    for (int i = 0; i < n; ++i)
      threads_.emplace_back([this] {
        volatile uint64_t x = 0;
        while (!stop_.load(std::memory_order_relaxed)) x = x + 1;
      });
  }
  ~Load() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

TEST(WireMatchStress, WritesTheMomentAMatchIsSeenAreNeverLost) {
  const std::string prefix = "stress_" + std::to_string(::getpid());
  Stack s;
  ASSERT_TRUE(s.make(prefix + "_unused", false));
  Child child("stress_peer", {{"QV_WIRE_TOPIC", prefix}});
  ASSERT_TRUE(child.ok());
  Load load;
  int lost = 0;
  int64_t max_lag_ns = 0;
  for (int b = 0; b < kBatches; ++b) {
    SCOPED_TRACE(b);
    Batch batch(s);
    for (int i = 0; i < kPairs; ++i) {
      ASSERT_TRUE(batch.add_reader(topic_of(prefix, 'w', b, i)));
      ASSERT_TRUE(batch.add_writer(topic_of(prefix, 'r', b, i)));
    }
    child.send("BATCH " + std::to_string(b));
    // Its writers' samples must come; its readers' matches are answered at
    // once. The times each side saw its matches give how much later one
    // side sees a match than the other.
    std::vector<bool> got(kPairs, false);
    std::vector<int64_t> their_w(kPairs, 0), their_r(kPairs, 0), our_r(kPairs, 0), our_w(kPairs, 0);
    int got_count = 0;
    bool child_done = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((got_count < kPairs || !child_done) && std::chrono::steady_clock::now() < end) {
      const std::string line = child.read_line(2);  // returns at once when a line comes
      if (line.rfind("M ", 0) == 0) {
        const int i = std::stoi(line.substr(2));
        FlatRecord f = flat(b * 1000 + 500 + i);
        ASSERT_EQ(batch.writers[i]->write(&f, HANDLE_NIL), RETCODE_OK);
        their_r[i] = std::stoll(line.substr(line.rfind(' ') + 1));
      } else if (line.rfind("W ", 0) == 0) {
        their_w[std::stoi(line.substr(2))] = std::stoll(line.substr(line.rfind(' ') + 1));
      } else if (line.rfind("DONE ", 0) == 0 || line.rfind("LOST ", 0) == 0) {
        child_done = true;
        EXPECT_EQ(line, "DONE " + std::to_string(b)) << "a sample written right after the reader matched was lost";
        if (line[0] == 'L') ++lost;
      }
      for (int i = 0; i < kPairs; ++i) {
        if (our_r[i] == 0 && matched_pubs(batch.readers[i]) > 0) our_r[i] = now_ns();
        if (our_w[i] == 0 && matched_subs(batch.writers[i]) > 0) our_w[i] = now_ns();
        if (!got[i] && got_sample(batch.readers[i], b * 1000 + i)) {
          got[i] = true;
          ++got_count;
        }
      }
    }
    for (int i = 0; i < kPairs; ++i) {
      for (auto [a, z] : {std::pair{our_r[i], their_w[i]}, std::pair{our_w[i], their_r[i]}})
        if (a != 0 && z != 0) max_lag_ns = std::max(max_lag_ns, std::abs(a - z));
    }
    EXPECT_TRUE(child_done);
    EXPECT_EQ(got_count, kPairs) << "samples written the moment the writer matched were lost";
    if (got_count < kPairs) {
      // When each side saw what, relative to the other process's write.
      for (int i = 0; i < kPairs; ++i) {
        const std::string matched = our_r[i] == 0    ? "never"
                                    : their_w[i] == 0 ? "yes"
                                                      : std::to_string((our_r[i] - their_w[i]) / 1000000) + " ms after";
        std::printf("pair %d: theirs written %s, ours matched %s, %s\n", i, their_w[i] ? "yes" : "no",
                    matched.c_str(), got[i] ? "got" : "lost");
      }
    }
    lost += kPairs - got_count;
    if (lost > 0) break;
  }
  std::printf("largest lag between the two sides' matches: %.1f ms\n", max_lag_ns / 1e6);
  RecordProperty("max_match_lag_us", static_cast<int>(max_lag_ns / 1000));
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(20000));
  s.destroy();
  DomainParticipantFactory::finalize();
}

}  // namespace
