// Delivery policies at their boundaries: deadline misses counted per elapsed
// period on both sides, an exclusive owner's deletion handing the instance to
// the next strongest writer, a manual-by-participant assertion that renews
// only its own participant's writers, and late joiners in another process
// getting exactly what their durability asks for. The other process is this
// binary started with QV_WIRE_CHILD=<role>.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

// ------------------------------------------------------------ child roles

std::string joined(const std::vector<std::pair<int32_t, SampleInfo>>& got) {
  std::string s;
  for (auto& g : got) s += " " + std::to_string(g.first);
  return s;
}

// On the parent's "go", a transient-local and a volatile reader join late;
// each reports what it holds 500 ms after both matched.
int child_late_joiners() {
  Stack s;
  if (!s.make(env_or("QV_WIRE_TOPIC", "wp_durability"), false)) return 2;
  tell_parent("READY");
  if (parent_line(10000) != "go") return 3;
  DataReaderQos tl = reader_qos();
  tl.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  tl.history.kind = KEEP_ALL_HISTORY_QOS;
  DataReaderQos vol = reader_qos();
  vol.history.kind = KEEP_ALL_HISTORY_QOS;
  DataReader* rtl = s.subscriber->create_datareader(s.topic, tl, nullptr, 0);
  DataReader* rv = s.subscriber->create_datareader(s.topic, vol, nullptr, 0);
  if (!rtl || !rv) return 4;
  if (!eventually([&] { return matched_pubs(rtl) == 1 && matched_pubs(rv) == 1; }, 10000)) return 5;
  tell_parent("MATCHED");
  sleep_ms(500);
  tell_parent("TL" + joined(take_all<FlatRecord>(rtl)));
  tell_parent("V" + joined(take_all<FlatRecord>(rv)));
  // Live samples reach both once matched.
  if (parent_line(10000) != "live") return 6;
  std::vector<std::pair<int32_t, SampleInfo>> a = take_at_least<FlatRecord>(rtl, 1, 3000);
  std::vector<std::pair<int32_t, SampleInfo>> b = take_at_least<FlatRecord>(rv, 1, 3000);
  tell_parent("LIVE" + joined(a) + " |" + joined(b));
  parent_line(10000);  // "quit"
  return 0;
}

const bool g_child = [] {
  run_child_if_requested({{"late_joiners", child_late_joiners}});
  return true;
}();

class WirePolicy : public TwoStacks {};

// ---------------------------------------------------------------- deadline

// One miss per whole period of silence, none early, on the offering and the
// requesting side alike: gaps of 0.5, 1.5 and 2.5 periods leave half a
// period of margin on either side of each count.
TEST_F(WirePolicy, DeadlineMissesCountWholePeriodsOfSilence) {
  constexpr int kPeriodMs = 200;
  ASSERT_TRUE(a.make("wp_deadline", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.deadline.period = ms_duration(kPeriodMs);
  DataReaderQos rq = reader_qos();
  rq.deadline.period = ms_duration(kPeriodMs);
  struct Case {
    int gap_ms;
    int misses;
  };
  for (Case c : {Case{kPeriodMs / 2, 0}, Case{kPeriodMs * 3 / 2, 1}, Case{kPeriodMs * 5 / 2, 2}}) {
    SCOPED_TRACE("gap " + std::to_string(c.gap_ms) + " ms");
    DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
    DataReader* r = a.subscriber->create_datareader(a.topic, rq, nullptr, 0);
    ASSERT_TRUE(w && r);
    ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
    FlatRecord f = flat(1);
    ASSERT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
    ASSERT_TRUE(eventually([&] { return !take_all<FlatRecord>(r).empty(); }, 1000));
    // Both clocks start now; what they counted before (the writer's since it
    // was enabled) is read away.
    OfferedDeadlineMissedStatus os;
    RequestedDeadlineMissedStatus rs;
    w->get_offered_deadline_missed_status(os);
    r->get_requested_deadline_missed_status(rs);
    const int before_w = os.total_count, before_r = rs.total_count;
    sleep_ms(c.gap_ms);
    ASSERT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
    ASSERT_TRUE(eventually([&] { return !take_all<FlatRecord>(r).empty(); }, 1000));
    EXPECT_EQ(w->get_offered_deadline_missed_status(os), RETCODE_OK);
    EXPECT_EQ(r->get_requested_deadline_missed_status(rs), RETCODE_OK);
    EXPECT_EQ(os.total_count - before_w, c.misses);
    EXPECT_EQ(os.total_count_change, c.misses);
    EXPECT_EQ(rs.total_count - before_r, c.misses);
    EXPECT_EQ(rs.total_count_change, c.misses);
    EXPECT_EQ(a.subscriber->delete_datareader(r), RETCODE_OK);
    EXPECT_EQ(a.publisher->delete_datawriter(w), RETCODE_OK);
  }
}

// Timers fire on time: a missed deadline or a lost lease is reported to the
// listener never before it is due and within kLateMs after, period after
// period (no drift).
class Stamps : public DataWriterListener {
 public:
  using Clock = std::chrono::steady_clock;
  void on_offered_deadline_missed(DataWriter*, const OfferedDeadlineMissedStatus&) override { note(); }
  void on_liveliness_lost(DataWriter*, const LivelinessLostStatus&) override { note(); }
  std::vector<Clock::time_point> wait(size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return at_.size() >= n; });
    return at_;
  }

 private:
  void note() {
    std::lock_guard<std::mutex> lk(m_);
    at_.push_back(Clock::now());
    cv_.notify_all();
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Clock::time_point> at_;
};

TEST_F(WirePolicy, DeadlineAndLeaseTimersAreNeverEarlyAndOnTime) {
  constexpr int kPeriodMs = 300;
  constexpr int kLateMs = 30;
  ASSERT_TRUE(a.make("wp_timers", false));
  DataWriterQos deadline = DATAWRITER_QOS_DEFAULT;
  deadline.deadline.period = ms_duration(kPeriodMs);
  DataWriterQos lease = DATAWRITER_QOS_DEFAULT;
  lease.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS;
  lease.liveliness.lease_duration = ms_duration(kPeriodMs);
  struct Case {
    const char* what;
    const DataWriterQos& qos;
    size_t events;  // a deadline is missed once per period; a lease is lost once
  };
  for (const Case& c : {Case{"deadline", deadline, 3}, Case{"lease", lease, 1}}) {
    SCOPED_TRACE(c.what);
    Stamps stamps;
    DataWriter* w = a.publisher->create_datawriter(a.topic, c.qos, &stamps, STATUS_MASK_ALL);
    ASSERT_TRUE(w);
    FlatRecord f = flat(1);
    sleep_ms(50);  // not right at creation
    const auto before = Stamps::Clock::now();
    ASSERT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);  // restarts the deadline, asserts the lease
    const auto after = Stamps::Clock::now();
    const std::vector<Stamps::Clock::time_point> at = stamps.wait(c.events, kPeriodMs * 5);
    ASSERT_GE(at.size(), c.events);
    for (size_t k = 0; k < c.events; ++k) {
      SCOPED_TRACE("event " + std::to_string(k + 1));
      const auto due = std::chrono::milliseconds(kPeriodMs * (k + 1));
      EXPECT_GE(at[k] - before, due);
      EXPECT_LE(at[k] - after, due + std::chrono::milliseconds(kLateMs));
    }
    EXPECT_EQ(a.publisher->delete_datawriter(w), RETCODE_OK);
  }
}

// --------------------------------------------------------------- ownership

// The owner's deletion hands the instance to the strongest remaining writer:
// its next sample gets through.
TEST_F(WirePolicy, DeletingTheOwnerLetsTheWeakerWriterThrough) {
  ASSERT_TRUE(a.make("wp_ownership", false));
  ASSERT_TRUE(b.make("wp_ownership", false));
  DataWriterQos weak = DATAWRITER_QOS_DEFAULT;
  weak.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
  weak.ownership_strength.value = 50;
  DataWriterQos strong = weak;
  strong.ownership_strength.value = 100;
  DataReaderQos rq = reader_qos();
  rq.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
  rq.history.kind = KEEP_ALL_HISTORY_QOS;
  DataWriter* ws = a.publisher->create_datawriter(a.topic, strong, nullptr, 0);
  DataWriter* ww = a.publisher->create_datawriter(a.topic, weak, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, rq, nullptr, 0);
  ASSERT_TRUE(ws && ww && r);
  ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 2; }, 5000));
  FlatRecord f = flat(1);
  EXPECT_EQ(ws->write(&f, HANDLE_NIL), RETCODE_OK);
  f.lVal = 2;
  EXPECT_EQ(ww->write(&f, HANDLE_NIL), RETCODE_OK);
  std::vector<int32_t> got;
  for (auto& [v, info] : take_at_least<FlatRecord>(r, 1, 2000)) got.push_back(v);
  sleep_ms(200);
  for (auto& [v, info] : take_all<FlatRecord>(r)) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int32_t>{1}));

  EXPECT_EQ(a.publisher->delete_datawriter(ws), RETCODE_OK);
  ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 1; }, 5000));
  f.lVal = 3;
  EXPECT_EQ(ww->write(&f, HANDLE_NIL), RETCODE_OK);
  got.clear();
  for (auto& [v, info] : take_at_least<FlatRecord>(r, 1, 2000)) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int32_t>{3}));
}

// -------------------------------------------------------------- liveliness

// Asserting a manual-by-participant writer renews its own participant's
// writers of that kind, not those of another participant.
TEST_F(WirePolicy, ParticipantAssertionRenewsOnlyItsOwnParticipant) {
  ASSERT_TRUE(a.make("wp_liveliness", false));
  ASSERT_TRUE(b.make("wp_liveliness", false));
  DataWriterQos mbp = DATAWRITER_QOS_DEFAULT;
  mbp.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS;
  mbp.liveliness.lease_duration = ms_duration(500);
  DataWriter* wa = a.publisher->create_datawriter(a.topic, mbp, nullptr, 0);
  DataWriter* wb = b.publisher->create_datawriter(b.topic, mbp, nullptr, 0);
  ASSERT_TRUE(wa && wb);
  // Both alive from one assertion each; then only a's is asserted, every
  // 200 ms for three leases.
  EXPECT_EQ(wa->assert_liveliness(), RETCODE_OK);
  EXPECT_EQ(wb->assert_liveliness(), RETCODE_OK);
  for (int i = 0; i < 8; ++i) {
    sleep_ms(200);
    EXPECT_EQ(wa->assert_liveliness(), RETCODE_OK);
  }
  LivelinessLostStatus la, lb;
  EXPECT_EQ(wa->get_liveliness_lost_status(la), RETCODE_OK);
  EXPECT_EQ(wb->get_liveliness_lost_status(lb), RETCODE_OK);
  EXPECT_EQ(la.total_count, 0);
  EXPECT_EQ(lb.total_count, 1);
}

// -------------------------------------------------------------- durability

class WirePolicyCrossProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    s.destroy();
    DomainParticipantFactory::finalize();
  }
  Stack s;
};

// A transient-local writer keeping the last 2 samples has written 1, 2, 3
// before any reader exists. A transient-local late joiner in another process
// gets 2 and 3; a volatile one gets nothing of that history, but what is
// written after it matched.
TEST_F(WirePolicyCrossProcess, LateJoinersGetTheHistoryTheirDurabilityAsksFor) {
  ASSERT_TRUE(s.make("wp_durability", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  wq.history.depth = 2;
  DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
  ASSERT_TRUE(w);
  Child child("late_joiners");
  std::string rest;
  ASSERT_TRUE(child.expect("READY", rest, 10000));
  for (int i = 1; i <= 3; ++i) {
    FlatRecord f = flat(i);
    EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  }
  child.send("go");
  ASSERT_TRUE(child.expect("MATCHED", rest, 10000));
  ASSERT_TRUE(child.expect("TL", rest, 5000));
  EXPECT_EQ(rest, " 2 3");
  ASSERT_TRUE(child.expect("V", rest, 5000));
  EXPECT_EQ(rest, "");
  FlatRecord f = flat(4);
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  child.send("live");
  ASSERT_TRUE(child.expect("LIVE", rest, 10000));
  EXPECT_EQ(rest, " 4 | 4");
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(10000));
}

}  // namespace
