// What a writer guarantees that only its own side, or a reader that can
// misbehave on purpose, can see: a keep-all writer blocks at its resource
// limits while a reader has not acknowledged, a transient-local writer keeps
// its own history depth for late joiners, a refused keyless dispose or
// unregister changes nothing at the reader, and a reliable writer repairs
// what a lossy transport drops. The readers that must not acknowledge, or
// that sit behind the lossy transport, are this binary in a child process.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

const bool g_child = [] {
  run_child_if_requested({{"reader", [] { return child_reliable_reader("ww_reader"); }}});
  return true;
}();

// One sample: keyless ones carry `value` in lVal, keyed ones their instance
// in lVal and `value` in sVal.
ReturnCode_t write_sample(DataWriter* w, bool is_keyed, int32_t instance, int32_t value) {
  if (!is_keyed) {
    FlatRecord f = flat(value);
    return w->write(&f, HANDLE_NIL);
  }
  KeyedType k = keyed(instance, static_cast<int16_t>(value));
  return w->write(&k, HANDLE_NIL);
}

class WriterGuarantees : public TwoStacks {};

// A child reader on a topic of its own, and the parent's writer matched
// with it.
struct ChildReader {
  ChildReader(const std::string& topic, bool is_keyed, std::map<std::string, std::string> env = {})
      : child("reader", with(env, topic, is_keyed)) {}
  static std::map<std::string, std::string> with(std::map<std::string, std::string> env, const std::string& topic,
                                                 bool is_keyed) {
    env["QV_WIRE_TOPIC"] = topic;
    env["QV_WIRE_KEYED"] = is_keyed ? "1" : "0";
    env["QV_WIRE_SECONDS"] = "150";
    return env;
  }
  bool ready(DataWriter* w, int timeout_ms) {
    std::string rest;
    return child.ok() && child.expect("READY", rest, timeout_ms) &&
           eventually([&] { return matched_subs(w) == 1; }, timeout_ms);
  }
  // The values of the next n "GOT" lines, fewer if timeout_ms passes first.
  std::vector<int32_t> got(size_t n, int timeout_ms) {
    std::vector<int32_t> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string rest;
    while (out.size() < n && ms_until(end) > 0 && child.expect("GOT ", rest, ms_until(end)))
      out.push_back(std::stoi(rest));
    return out;
  }
  // Stops the child and returns once every thread of it has stopped (the
  // stop is reported only then), so that nothing written afterwards is
  // acknowledged until it continues.
  bool stop(int timeout_ms) {
    if (kill(child.pid(), SIGSTOP) != 0) return false;
    return eventually([&] {
      int st = 0;
      return waitpid(child.pid(), &st, WNOHANG | WUNTRACED) == child.pid() && WIFSTOPPED(st);
    }, timeout_ms);
  }
  ~ChildReader() { child.send("quit"); }
  Child child;
};

// --------------------------------------------------------- resource limits
// A reliable keep-all writer counts what a matched reader has not yet
// acknowledged against its limits: the write beyond them blocks for the
// writer's max blocking time and then fails with a time-out; once the reader
// acknowledges, the room is back. The reader here is a child process held
// stopped, so it acknowledges nothing until it is let go.

TEST_F(WriterGuarantees, KeepAllWriterBlocksAtItsLimitsUntilTheReaderAcknowledges) {
  struct Case {
    const char* what;
    bool keyed;
    int32_t max_samples, max_per_instance;
    int accepted;  // writes of instance 1 that fit
  };
  const Case cases[] = {
      {"max_samples 10, keyless", false, 10, LENGTH_UNLIMITED, 10},
      {"max_samples_per_instance 4, keyed", true, LENGTH_UNLIMITED, 4, 4},
  };
  const int64_t block_ms = 300;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string topic = "ww_limits_" + std::to_string(n++);
    Stack s;
    ASSERT_TRUE(s.make(topic, c.keyed));
    DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
    wq.reliability.kind = RELIABLE_RELIABILITY_QOS;
    wq.reliability.max_blocking_time = ms_duration(block_ms);
    wq.history.kind = KEEP_ALL_HISTORY_QOS;
    wq.resource_limits.max_samples = c.max_samples;
    wq.resource_limits.max_samples_per_instance = c.max_per_instance;
    DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
    ASSERT_TRUE(w);
    ChildReader reader(topic, c.keyed);
    ASSERT_TRUE(reader.ready(w, 20000));
    auto write = [&](int32_t instance, int32_t value) { return write_sample(w, c.keyed, instance, value); };

    ASSERT_TRUE(reader.stop(10000)) << "the reader did not stop";
    for (int i = 0; i < c.accepted; ++i) EXPECT_EQ(write(1, i), RETCODE_OK) << i;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(write(1, c.accepted), RETCODE_TIMEOUT) << "the write beyond the limits did not block";
    const auto blocked = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(blocked.count(), block_ms * 9 / 10);
    // The per-instance limit is per instance: another one still has room.
    if (c.keyed) {
      EXPECT_EQ(write(2, 0), RETCODE_OK);
    }
    ASSERT_EQ(kill(reader.child.pid(), SIGCONT), 0);

    EXPECT_EQ(w->wait_for_acknowledgments(Duration_t{30, 0}), RETCODE_OK);
    EXPECT_EQ(write(1, c.accepted + 1), RETCODE_OK) << "acknowledged samples still counted";
  }
}

// ------------------------------------------------------------------ history
// A late-joining transient-local reader gets the newest `depth` samples of
// each instance from the writer's own keep-last history (all of them for
// keep all), oldest first. A live sample written after the reader matched
// marks the end of what history brings.

TEST_F(WriterGuarantees, LateJoinerGetsTheWritersLastDepthSamplesPerInstance) {
  struct Case {
    const char* what;
    bool keyed;
    HistoryQosPolicyKind kind;
    int32_t depth;
    int instances, writes_per_instance;
  };
  const Case cases[] = {
      {"keep last 1", false, KEEP_LAST_HISTORY_QOS, 1, 1, 5},
      {"keep last 4", false, KEEP_LAST_HISTORY_QOS, 4, 1, 7},
      {"keep last 4, fewer written", false, KEEP_LAST_HISTORY_QOS, 4, 1, 2},
      {"keep last 3 of each of 2 instances", true, KEEP_LAST_HISTORY_QOS, 3, 2, 5},
      {"keep all", false, KEEP_ALL_HISTORY_QOS, 1, 1, 6},
  };
  constexpr int32_t kMarker = 1000;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Stack w_side, r_side;
    const std::string topic = "ww_depth_" + std::to_string(n++);
    ASSERT_TRUE(w_side.make(topic, c.keyed));
    ASSERT_TRUE(r_side.make(topic, c.keyed));
    DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
    wq.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    wq.history.kind = c.kind;
    wq.history.depth = c.depth;
    DataWriter* w = w_side.publisher->create_datawriter(w_side.topic, wq, nullptr, 0);
    ASSERT_TRUE(w);
    // Each sample carries its instance and its sequence in that instance.
    auto write = [&](int32_t instance, int32_t seq) { return write_sample(w, c.keyed, instance, seq); };
    std::map<int32_t, std::vector<int32_t>> expected;
    for (int32_t i = 0; i < c.writes_per_instance; ++i)
      for (int32_t inst = 0; inst < c.instances; ++inst) {
        ASSERT_EQ(write(inst, i), RETCODE_OK);
        expected[inst].push_back(i);
      }
    for (auto& [inst, seqs] : expected)
      if (c.kind == KEEP_LAST_HISTORY_QOS && static_cast<int32_t>(seqs.size()) > c.depth)
        seqs.erase(seqs.begin(), seqs.end() - c.depth);

    DataReaderQos late = reader_qos();
    late.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    late.history.kind = KEEP_ALL_HISTORY_QOS;
    DataReader* r = r_side.subscriber->create_datareader(r_side.topic, late, nullptr, 0);
    ASSERT_TRUE(r);
    ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 10000));
    ASSERT_EQ(write(c.instances, kMarker), RETCODE_OK);

    std::map<int32_t, std::vector<int32_t>> got;
    bool marker = false;
    const bool ended = eventually([&] {
      if (c.keyed) {
        SequenceData<KeyedType> d;
        SampleInfoSeq infos;
        if (r->take(d, infos, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE) == RETCODE_OK)
          for (uint32_t i = 0; i < infos.length(); ++i)
            if (infos[i].valid_data) {
              if (d[i].sVal == kMarker) marker = true;
              else got[d[i].lVal].push_back(d[i].sVal);
            }
      } else {
        for (auto& [v, info] : take_all<FlatRecord>(r)) {
          if (v == kMarker) marker = true;
          else got[0].push_back(v);
        }
      }
      return marker;
    }, 10000);
    ASSERT_TRUE(ended) << "the live sample after the history never came";
    EXPECT_EQ(got, expected);
  }
}

// ----------------------------------------------------------- keyless refusal
// A keyless type has one instance, which its writer can neither dispose nor
// unregister: each call is refused, and nothing of it reaches the reader.
// The sample written after them arrives alone, as a further sample of an
// instance that never left the alive state.

TEST_F(WriterGuarantees, RefusedKeylessDisposeAndUnregisterChangeNothingAtTheReader) {
  ASSERT_TRUE(a.make("ww_keyless_refusal", false));
  ASSERT_TRUE(b.make("ww_keyless_refusal", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.reliability.kind = RELIABLE_RELIABILITY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReaderQos rq = reader_qos();
  rq.history.kind = KEEP_ALL_HISTORY_QOS;
  DataReader* r = b.subscriber->create_datareader(b.topic, rq, nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1 && matched_pubs(r) == 1; }, 10000));
  FlatRecord f = flat(1);
  ASSERT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  ASSERT_EQ(take_at_least<FlatRecord>(r, 1, 10000).size(), 1u);

  struct Refused {
    const char* what;
    std::function<ReturnCode_t()> call;
  };
  const Time at{1700000000, 0};
  const Refused calls[] = {
      {"dispose", [&] { return w->dispose(&f, HANDLE_NIL); }},
      {"dispose_w_timestamp", [&] { return w->dispose_w_timestamp(&f, HANDLE_NIL, at); }},
      {"unregister_instance", [&] { return w->unregister_instance(&f, HANDLE_NIL); }},
      {"unregister_instance_w_timestamp", [&] { return w->unregister_instance_w_timestamp(&f, HANDLE_NIL, at); }},
  };
  for (const Refused& c : calls) EXPECT_EQ(c.call(), RETCODE_ILLEGAL_OPERATION) << c.what;

  f.lVal = 2;
  ASSERT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  std::vector<SampleInfo> infos;
  std::vector<std::pair<int32_t, SampleInfo>> got;
  eventually([&] {
    for (auto& v : take_all<FlatRecord>(r, &infos)) got.push_back(v);
    return !got.empty();
  }, 10000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, 2);
  ASSERT_EQ(infos.size(), 1u) << "a refused call reached the reader";
  EXPECT_EQ(infos[0].instance_state, ALIVE_INSTANCE_STATE);
  EXPECT_EQ(infos[0].view_state, NOT_NEW_VIEW_STATE);
  EXPECT_EQ(infos[0].disposed_generation_count, 0);
  EXPECT_EQ(infos[0].no_writers_generation_count, 0);
}

// ------------------------------------------------------------------ repair
// Over a transport that drops a share of every process's outgoing packets
// (Cyclone's own test option), a reliable keep-all writer still delivers
// every sample once and in order: what is lost is repaired.

class LossyTransport : public WriterGuarantees {
 protected:
  static constexpr const char* kLossy =
      "<CycloneDDS><Domain Id=\"any\">"
      "<Discovery><SPDPInterval>200 ms</SPDPInterval></Discovery>"
      "<Internal><Test><XmitLossiness>250</XmitLossiness></Test></Internal>"
      "</Domain></CycloneDDS>";
  void SetUp() override { setenv("QV_CYCLONE_CONFIG", kLossy, 1); }
  void TearDown() override {
    WriterGuarantees::TearDown();
    unsetenv("QV_CYCLONE_CONFIG");
  }
};

TEST_F(LossyTransport, ReliableWriterRepairsWhatTheTransportDrops) {
  constexpr int kSamples = 200;
  ASSERT_TRUE(a.make("ww_lossy", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.reliability.kind = RELIABLE_RELIABILITY_QOS;
  wq.history.kind = KEEP_ALL_HISTORY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  ASSERT_TRUE(w);
  ChildReader reader("ww_lossy", false);  // the child inherits the lossy transport
  ASSERT_TRUE(reader.ready(w, 30000));
  std::vector<int32_t> expected;
  for (int32_t i = 0; i < kSamples; ++i) {
    FlatRecord f = flat(i);
    ASSERT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
    expected.push_back(i);
  }
  EXPECT_EQ(w->wait_for_acknowledgments(Duration_t{60, 0}), RETCODE_OK);
  EXPECT_EQ(reader.got(kSamples, 15000), expected);
}

}  // namespace
