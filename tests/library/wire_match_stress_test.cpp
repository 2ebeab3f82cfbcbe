// What is written once both sides of a match show it arrives, also on a
// loaded machine: batch after batch of new topics, under a load of twice as
// many runnable threads as there are cores, each writer (here and in another
// process) writes the moment it shows its match and the reader's side has
// shown it too, and no sample may be lost. Each side showing its match when
// Cyclone makes it, the test also measures how much later a writer shows a
// reader than that reader shows the writer (the writer-side discovery lag),
// and prints its distribution.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
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

// The other process: per "BATCH <b>", kPairs writers and kPairs readers.
// It reports each reader's match the moment it shows ("M <i> <time>") and
// each writer's ("W <i> <time>"); a writer writes once it shows its match
// and the parent said that its reader shows it too ("R <i>"), then "S <i>";
// a reader that got its sample says "G <i>". "DONE <b>" once every reader
// got its sample and every writer wrote; the batch stays until the parent's
// next line, so that no writer is deleted before its sample arrived.
int child_stress_peer() {
  const std::string prefix = env_or("QV_WIRE_TOPIC", "stress");
  Stack s;
  if (!s.make(prefix + "_unused", false)) return 2;
  std::string line = parent_line(20000);
  std::unique_ptr<Batch> batch;
  for (;;) {
    batch.reset();
    if (line.rfind("BATCH ", 0) != 0) return line == "quit" ? 0 : 3;
    const int b = std::stoi(line.substr(6));
    batch = std::make_unique<Batch>(s);
    for (int i = 0; i < kPairs; ++i)
      if (!batch->add_writer(topic_of(prefix, 'w', b, i)) || !batch->add_reader(topic_of(prefix, 'r', b, i))) return 4;
    std::vector<bool> shown(kPairs, false), theirs(kPairs, false), written(kPairs, false), reported(kPairs, false),
        got(kPairs, false);
    int done = 0, sent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while ((done < kPairs || sent < kPairs) && std::chrono::steady_clock::now() < end) {
      const std::string note = parent_line(2);  // returns at once when a line comes
      if (note.rfind("R ", 0) == 0) theirs[std::stoi(note.substr(2))] = true;
      for (int i = 0; i < kPairs; ++i) {
        if (!shown[i] && matched_subs(batch->writers[i]) > 0) {
          shown[i] = true;
          tell_parent("W " + std::to_string(i) + " " + std::to_string(now_ns()));
        }
        if (shown[i] && theirs[i] && !written[i]) {
          FlatRecord f = flat(b * 1000 + i);
          if (batch->writers[i]->write(&f, HANDLE_NIL) != RETCODE_OK) return 5;
          written[i] = true;
          ++sent;
          tell_parent("S " + std::to_string(i));
        }
        if (!reported[i] && matched_pubs(batch->readers[i]) > 0) {
          reported[i] = true;
          tell_parent("M " + std::to_string(i) + " " + std::to_string(now_ns()));
        }
        if (!got[i] && got_sample(batch->readers[i], b * 1000 + 500 + i)) {
          got[i] = true;
          ++done;
          tell_parent("G " + std::to_string(i));
        }
      }
    }
    std::string detail;  // per pair: writer shown (w) and written (s), reader shown (m) and its sample got (g)
    for (int i = 0; i < kPairs; ++i)
      detail += std::string(" ") + (shown[i] ? "w" : "-") + (written[i] ? "s" : "-") + (reported[i] ? "m" : "-") +
                (got[i] ? "g" : "-");
    tell_parent(done == kPairs && sent == kPairs ? "DONE " + std::to_string(b) : "LOST " + std::to_string(b) + detail);
    line = parent_line(30000);
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

// Quantiles of the lags, in ms.
std::string summary(std::vector<int64_t> lags_ns) {
  if (lags_ns.empty()) return "none";
  std::sort(lags_ns.begin(), lags_ns.end());
  auto at = [&](double q) { return lags_ns[std::min(lags_ns.size() - 1, static_cast<size_t>(q * lags_ns.size()))] / 1e6; };
  char out[200];
  std::snprintf(out, sizeof out, "%zu pairs: min %.1f, median %.1f, 90%% %.1f, 99%% %.1f, max %.1f ms", lags_ns.size(),
                at(0), at(0.5), at(0.9), at(0.99), lags_ns.back() / 1e6);
  return out;
}

// The batches against the other process; with `fresh`, each batch's
// endpoints here are in a participant of their own, new to the other side
// (so that participant discovery comes first), else all in one.
void run_batches(bool fresh) {
  const std::string prefix = "stress_" + std::to_string(::getpid()) + (fresh ? "_fresh" : "");
  auto s = std::make_unique<Stack>();
  ASSERT_TRUE(s->make(prefix + "_unused", false));
  Child child("stress_peer", {{"QV_WIRE_TOPIC", prefix}});
  ASSERT_TRUE(child.ok());
  Load load;
  int lost = 0;
  // How much later the writer showed its match than the reader did, per pair.
  std::vector<int64_t> lags;
  for (int b = 0; b < kBatches; ++b) {
    SCOPED_TRACE(b);
    if (fresh && b > 0) {
      s = std::make_unique<Stack>();
      ASSERT_TRUE(s->make(prefix + "_unused", false));
    }
    Batch batch(*s);
    for (int i = 0; i < kPairs; ++i) {
      ASSERT_TRUE(batch.add_reader(topic_of(prefix, 'w', b, i)));
      ASSERT_TRUE(batch.add_writer(topic_of(prefix, 'r', b, i)));
    }
    child.send("BATCH " + std::to_string(b));
    std::vector<bool> got(kPairs, false), written(kPairs, false);
    std::vector<int64_t> their_w(kPairs, 0), their_r(kPairs, 0), our_r(kPairs, 0), our_w(kPairs, 0);
    int got_count = 0;
    bool child_done = false;
    std::string child_line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((got_count < kPairs || !child_done) && std::chrono::steady_clock::now() < end) {
      const std::string line = child.read_line(2);  // returns at once when a line comes
      const auto stamp = [&] { return std::stoll(line.substr(line.rfind(' ') + 1)); };
      if (line.rfind("M ", 0) == 0) {
        their_r[std::stoi(line.substr(2))] = stamp();
      } else if (line.rfind("W ", 0) == 0) {
        their_w[std::stoi(line.substr(2))] = stamp();
      } else if (line.rfind("DONE ", 0) == 0 || line.rfind("LOST ", 0) == 0) {
        child_done = true;
        child_line = line;
      }
      for (int i = 0; i < kPairs; ++i) {
        if (our_r[i] == 0 && matched_pubs(batch.readers[i]) > 0) {
          our_r[i] = now_ns();
          child.send("R " + std::to_string(i));
        }
        if (our_w[i] == 0 && matched_subs(batch.writers[i]) > 0) our_w[i] = now_ns();
        if (our_w[i] != 0 && their_r[i] != 0 && !written[i]) {
          FlatRecord f = flat(b * 1000 + 500 + i);
          ASSERT_EQ(batch.writers[i]->write(&f, HANDLE_NIL), RETCODE_OK);
          written[i] = true;
        }
        if (!got[i] && got_sample(batch.readers[i], b * 1000 + i)) {
          got[i] = true;
          ++got_count;
        }
      }
    }
    for (int i = 0; i < kPairs; ++i) {
      if (our_w[i] != 0 && their_r[i] != 0) lags.push_back(our_w[i] - their_r[i]);
      if (their_w[i] != 0 && our_r[i] != 0) lags.push_back(their_w[i] - our_r[i]);
    }
    EXPECT_TRUE(child_done);
    EXPECT_EQ(child_line, "DONE " + std::to_string(b)) << "a sample written once both sides showed the match was lost";
    EXPECT_EQ(got_count, kPairs) << "a sample written once both sides showed the match was lost";
    if (got_count < kPairs) {
      for (int i = 0; i < kPairs; ++i)
        std::printf("pair %d: their writer shown %s, ours shown %s, %s\n", i, their_w[i] ? "yes" : "no",
                    our_r[i] ? "yes" : "no", got[i] ? "got" : "lost");
    }
    lost += kPairs - got_count + (child_line == "DONE " + std::to_string(b) ? 0 : 1);
    if (lost > 0) break;
  }
  // The writer-side discovery lag: positive where the writer showed the
  // match after the reader.
  std::printf("writer-side lag behind the reader's match: %s\n", summary(lags).c_str());
  std::string all;
  for (int64_t l : lags) all += " " + std::to_string(l / 1000);
  std::printf("lags_us:%s\n", all.c_str());
  if (!lags.empty()) ::testing::Test::RecordProperty("max_writer_lag_us", static_cast<int>(*std::max_element(lags.begin(), lags.end()) / 1000));
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(20000));
}

TEST(WireMatchStress, WritesOnceBothSidesShowTheMatchAreNeverLost) {
  run_batches(false);
  DomainParticipantFactory::finalize();
}

TEST(WireMatchStress, WritesOnceBothSidesShowTheMatchAreNeverLostWithNewParticipants) {
  run_batches(true);
  DomainParticipantFactory::finalize();
}

}  // namespace
