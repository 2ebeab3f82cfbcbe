// QoS behaviour of writers and readers in one process: deadline, liveliness,
// durability, history, lifespan, ownership, time-based filter, partitions,
// incompatible QoS, matched statuses with their listeners, resource limits,
// enable semantics and deletion with callbacks in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

// Records every callback with the status the library passed, and what a
// get_*_status right after the callback sees.
class RecordingListener : public DataWriterListener {
 public:
  void on_liveliness_lost(DataWriter*, const LivelinessLostStatus& s) override { bump(lost, s.total_count); }
  void on_offered_deadline_missed(DataWriter*, const OfferedDeadlineMissedStatus& s) override {
    std::lock_guard<std::mutex> lk(m);
    last_deadline = s;
    ++deadline;
    cv.notify_all();
  }
  void on_offered_incompatible_qos(DataWriter*, const OfferedIncompatibleQosStatus& s) override {
    std::lock_guard<std::mutex> lk(m);
    last_policy = s.last_policy_id;
    ++incompatible;
    cv.notify_all();
  }
  void on_publication_matched(DataWriter*, const PublicationMatchedStatus& s) override {
    bump(matched, s.current_count);
  }
  bool wait(std::atomic<int>& counter, int at_least, int timeout_ms) {
    std::unique_lock<std::mutex> lk(m);
    return cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return counter.load() >= at_least; });
  }
  std::mutex m;
  std::condition_variable cv;
  std::atomic<int> lost{0}, deadline{0}, incompatible{0}, matched{0};
  OfferedDeadlineMissedStatus last_deadline;
  QosPolicyId_t last_policy = 0;

 private:
  void bump(std::atomic<int>& c, int) {
    std::lock_guard<std::mutex> lk(m);
    ++c;
    cv.notify_all();
  }
};

class WireQos : public TwoStacks {};

template <typename T>
std::vector<int32_t> values_after(DataReader* r, int settle_ms) {
  sleep_ms(settle_ms);
  std::vector<int32_t> v;
  for (auto& [x, info] : take_all<T>(r)) v.push_back(x);
  return v;
}

// ---------------------------------------------------------------- deadline

TEST_F(WireQos, OfferedDeadlineCountsOncePerPeriodAndResetsAfterListener) {
  ASSERT_TRUE(a.make("wq_deadline", false));
  RecordingListener l;
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.deadline.period = ms_duration(500);
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, &l, STATUS_MASK_ALL);
  ASSERT_TRUE(w);
  FlatRecord f = flat(1);
  for (int i = 0; i < 8; ++i) {  // gaps well under the period: no miss
    EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
    sleep_ms(100);
  }
  EXPECT_EQ(l.deadline.load(), 0);
  sleep_ms(750);  // one period elapses, the next does not
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  OfferedDeadlineMissedStatus st;
  EXPECT_EQ(w->get_offered_deadline_missed_status(st), RETCODE_OK);
  EXPECT_EQ(st.total_count, 1);
  EXPECT_EQ(st.total_count_change, 0);  // the listener took the change
  EXPECT_EQ(st.last_instance_handle, HANDLE_NIL);
  EXPECT_EQ(l.deadline.load(), 1);
  EXPECT_EQ(l.last_deadline.total_count_change, 1);
}

TEST_F(WireQos, DeadlineOfWriterThatNeverWritesTriggersStatusCondition) {
  ASSERT_TRUE(a.make("wq_deadline_idle", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.deadline.period = ms_duration(300);
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, STATUS_MASK_ALL);
  ASSERT_TRUE(w);
  StatusCondition& sc = w->get_statuscondition();
  EXPECT_EQ(sc.get_entity(), w);
  WaitSet ws;
  ASSERT_EQ(ws.attach_condition(sc), RETCODE_OK);
  ConditionSeq active;
  EXPECT_EQ(ws.wait(active, Duration_t{3, 0}), RETCODE_OK);
  EXPECT_TRUE(sc.get_trigger_value());
  EXPECT_TRUE(w->get_status_changes() & OFFERED_DEADLINE_MISSED_STATUS);
  OfferedDeadlineMissedStatus st;
  w->get_offered_deadline_missed_status(st);
  EXPECT_GE(st.total_count, 1);
  EXPECT_EQ(st.total_count, st.total_count_change);  // no listener: changes accumulate
  EXPECT_FALSE(w->get_status_changes() & OFFERED_DEADLINE_MISSED_STATUS);
  ws.detach_condition(sc);
}

TEST_F(WireQos, KeyedDeadlineReportsTheLateInstanceOnBothSides) {
  ASSERT_TRUE(a.make("wq_deadline_keyed", true));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.deadline.period = ms_duration(300);
  DataReaderQos rq = reader_qos();
  rq.deadline.period = ms_duration(300);
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, rq, nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  KeyedType k1 = keyed(1), k2 = keyed(2);
  InstanceHandle_t h2 = w->register_instance(&k2);
  w->write(&k2, h2);
  for (int i = 0; i < 12; ++i) {  // instance 1 stays fresh, instance 2 goes quiet
    w->write(&k1, HANDLE_NIL);
    sleep_ms(80);
  }
  OfferedDeadlineMissedStatus os;
  w->get_offered_deadline_missed_status(os);
  EXPECT_GE(os.total_count, 2);
  EXPECT_EQ(os.last_instance_handle, h2);
  RequestedDeadlineMissedStatus rs;
  r->get_requested_deadline_missed_status(rs);
  EXPECT_GE(rs.total_count, 2);
  EXPECT_EQ(rs.last_instance_handle, h2);
}

TEST_F(WireQos, DeadlineChangedOnEnabledEndpointsCoversInstancesWrittenBefore) {
  ASSERT_TRUE(a.make("wq_deadline_change", true));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  // Written while the period is infinite, and never again.
  KeyedType k = keyed(4);
  EXPECT_EQ(w->write(&k, HANDLE_NIL), RETCODE_OK);
  ASSERT_TRUE(eventually([&] { return !take_all<KeyedType>(r, nullptr, false).empty(); }, 3000));
  const InstanceHandle_t h = w->lookup_instance(&k);

  DataWriterQos wq;
  w->get_qos(wq);
  wq.deadline.period = ms_duration(200);
  wq.latency_budget.duration = ms_duration(20);
  EXPECT_EQ(w->set_qos(wq), RETCODE_OK);
  DataReaderQos rq;
  r->get_qos(rq);
  rq.deadline.period = ms_duration(200);
  EXPECT_EQ(r->set_qos(rq), RETCODE_OK);
  DataWriterQos back;
  w->get_qos(back);
  EXPECT_EQ(back.deadline.period, ms_duration(200));
  EXPECT_EQ(back.latency_budget.duration, ms_duration(20));

  OfferedDeadlineMissedStatus os;
  RequestedDeadlineMissedStatus rs;
  EXPECT_TRUE(eventually([&] { w->get_offered_deadline_missed_status(os); return os.total_count > 0; }, 3000));
  EXPECT_EQ(os.last_instance_handle, h);
  EXPECT_TRUE(eventually([&] { r->get_requested_deadline_missed_status(rs); return rs.total_count > 0; }, 3000));
  EXPECT_EQ(rs.last_instance_handle, h);

  // Back to infinite: the clocks stop.
  wq.deadline.period = DURATION_INFINITE;
  rq.deadline.period = DURATION_INFINITE;
  EXPECT_EQ(w->set_qos(wq), RETCODE_OK);
  EXPECT_EQ(r->set_qos(rq), RETCODE_OK);
  w->get_offered_deadline_missed_status(os);
  r->get_requested_deadline_missed_status(rs);
  sleep_ms(600);
  w->get_offered_deadline_missed_status(os);
  r->get_requested_deadline_missed_status(rs);
  EXPECT_EQ(os.total_count_change, 0);
  EXPECT_EQ(rs.total_count_change, 0);
}

// -------------------------------------------------------------- liveliness

TEST_F(WireQos, ManualLivelinessLostOncePerTransitionAndOnlyAfterFirstAssertion) {
  ASSERT_TRUE(a.make("wq_liveliness", false));
  RecordingListener l1, l3;
  DataWriterQos mbp = DATAWRITER_QOS_DEFAULT;
  mbp.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS;
  mbp.liveliness.lease_duration = ms_duration(500);
  DataWriterQos mbt = mbp;
  mbt.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS;
  DataWriter* w1 = a.publisher->create_datawriter(a.topic, mbp, &l1, STATUS_MASK_ALL);
  DataWriter* w2 = a.publisher->create_datawriter(a.topic, mbp, &l1, STATUS_MASK_ALL);  // shared listener
  DataWriter* w3 = a.publisher->create_datawriter(a.topic, mbt, &l3, STATUS_MASK_ALL);
  ASSERT_TRUE(w1 && w2 && w3);
  // Asserting w1 alone keeps both manual-by-participant writers alive, and
  // does not make the manual-by-topic writer alive.
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(w1->assert_liveliness(), RETCODE_OK);
    sleep_ms(200);
  }
  EXPECT_EQ(l1.lost.load(), 0);
  EXPECT_EQ(l3.lost.load(), 0);
  // Silence for several leases: one loss per writer, not one per lease.
  EXPECT_TRUE(l1.wait(l1.lost, 2, 3000));
  sleep_ms(1200);
  EXPECT_EQ(l1.lost.load(), 2);
  EXPECT_EQ(l3.lost.load(), 0);
  LivelinessLostStatus st;
  w1->get_liveliness_lost_status(st);
  EXPECT_EQ(st.total_count, 1);
  EXPECT_EQ(st.total_count_change, 0);
  // A later assertion revives; a further silence counts again.
  EXPECT_EQ(w3->assert_liveliness(), RETCODE_OK);
  EXPECT_TRUE(l3.wait(l3.lost, 1, 3000));
  w3->get_liveliness_lost_status(st);
  EXPECT_EQ(st.total_count, 1);
  FlatRecord f = flat(1);
  EXPECT_EQ(w3->write(&f, HANDLE_NIL), RETCODE_OK);  // a write asserts too
  EXPECT_TRUE(l3.wait(l3.lost, 2, 3000));
}

// -------------------------------------------------------------- durability

TEST_F(WireQos, TransientLocalServesLateJoinersVolatileDoesNot) {
  ASSERT_TRUE(a.make("wq_durability", false));
  ASSERT_TRUE(b.make("wq_durability", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  ASSERT_TRUE(w);
  FlatRecord f = flat(0);
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);  // no reader yet: at once OK
  f.lVal = 1;
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  DataReaderQos late = reader_qos();
  late.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  DataReader* r = b.subscriber->create_datareader(b.topic, late, nullptr, 0);
  DataReader* v = b.subscriber->create_datareader(b.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(r && v);
  std::vector<SampleInfo> infos;
  std::vector<std::pair<int32_t, SampleInfo>> got;
  ASSERT_TRUE(eventually([&] { got = take_all<FlatRecord>(r, &infos); return !got.empty(); }, 3000));
  ASSERT_EQ(got.size(), 1u);  // keep last 1: only the newest
  EXPECT_EQ(got[0].first, 1);
  EXPECT_EQ(got[0].second.instance_state, ALIVE_INSTANCE_STATE);
  EXPECT_EQ(got[0].second.view_state, NEW_VIEW_STATE);
  EXPECT_TRUE(values_after<FlatRecord>(v, 200).empty());
}

TEST_F(WireQos, TransientAndPersistentWritersServeLateJoinersToo) {
  ASSERT_TRUE(a.make("wq_durability_t", false));
  for (DurabilityQosPolicyKind kind : {TRANSIENT_DURABILITY_QOS, PERSISTENT_DURABILITY_QOS}) {
    SCOPED_TRACE(int(kind));
    DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
    wq.durability.kind = kind;
    DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
    ASSERT_TRUE(w);
    FlatRecord f = flat(kind);
    EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
    DataReaderQos rq = reader_qos();
    rq.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReader* r = a.subscriber->create_datareader(a.topic, rq, nullptr, 0);
    ASSERT_TRUE(r);
    std::vector<std::pair<int32_t, SampleInfo>> got;
    EXPECT_TRUE(eventually([&] { got = take_all<FlatRecord>(r); return !got.empty(); }, 3000));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, kind);
    a.subscriber->delete_datareader(r);
    a.publisher->delete_datawriter(w);
  }
}

TEST_F(WireQos, TransientRequestsNeedAtLeastTransientOffers) {
  ASSERT_TRUE(a.make("wq_durability_rules", false));
  ASSERT_TRUE(b.make("wq_durability_rules", false));
  DataReaderQos rq = reader_qos();
  rq.durability.kind = TRANSIENT_DURABILITY_QOS;
  DataReader* r = b.subscriber->create_datareader(b.topic, rq, nullptr, 0);
  ASSERT_TRUE(r);
  struct Case {
    DurabilityQosPolicyKind offered;
    bool matches;
  };
  for (Case c : {Case{TRANSIENT_LOCAL_DURABILITY_QOS, false}, Case{TRANSIENT_DURABILITY_QOS, true},
                 Case{PERSISTENT_DURABILITY_QOS, true}}) {
    SCOPED_TRACE(int(c.offered));
    RecordingListener l;
    DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
    wq.durability.kind = c.offered;
    DataWriter* w = a.publisher->create_datawriter(a.topic, wq, &l, STATUS_MASK_ALL);
    ASSERT_TRUE(w);
    FlatRecord f = flat(c.offered);
    w->write(&f, HANDLE_NIL);
    if (c.matches) {
      EXPECT_TRUE(l.wait(l.matched, 1, 3000));
      std::vector<std::pair<int32_t, SampleInfo>> got;
      EXPECT_TRUE(eventually([&] { got = take_all<FlatRecord>(r); return !got.empty(); }, 3000));
    } else {
      EXPECT_TRUE(l.wait(l.incompatible, 1, 3000));
      EXPECT_EQ(l.last_policy, DURABILITY_QOS_POLICY_ID);
      EXPECT_EQ(matched_subs(w), 0u);
      RequestedIncompatibleQosStatus st;
      EXPECT_TRUE(eventually([&] { r->get_requested_incompatible_qos_status(st); return st.total_count == 1; }, 3000));
      EXPECT_EQ(st.last_policy_id, DURABILITY_QOS_POLICY_ID);
      EXPECT_EQ(matched_pubs(r), 0u);
      EXPECT_TRUE(values_after<FlatRecord>(r, 300).empty());
    }
    a.publisher->delete_datawriter(w);
  }
}

// ----------------------------------------------------------------- history

TEST_F(WireQos, KeepLastKeepsNewestPerInstanceOnBothSides) {
  ASSERT_TRUE(a.make("wq_history", true));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.history.depth = 3;
  wq.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReader* live = a.subscriber->create_datareader(a.topic, reader_qos(RELIABLE_RELIABILITY_QOS, 4), nullptr, 0);
  ASSERT_TRUE(w && live);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  for (int i = 0; i < 10; ++i) {
    KeyedType k = keyed(i % 2, static_cast<int16_t>(i));
    EXPECT_EQ(w->write(&k, HANDLE_NIL), RETCODE_OK);  // never blocks
  }
  sleep_ms(200);
  // Reader depth 4 per instance: 5 written per instance, 4 kept, oldest first.
  SequenceData<KeyedType> d;
  SampleInfoSeq i;
  ASSERT_EQ(live->take(d, i, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE), RETCODE_OK);
  std::map<int32_t, std::vector<int16_t>> per;
  for (uint32_t n = 0; n < d.length(); ++n) per[d[n].lVal].push_back(d[n].sVal);
  EXPECT_EQ(per[0], (std::vector<int16_t>{2, 4, 6, 8}));
  EXPECT_EQ(per[1], (std::vector<int16_t>{3, 5, 7, 9}));
  // Writer depth 3 per instance for a late joiner.
  DataReaderQos late = reader_qos();
  late.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  DataReader* r = a.subscriber->create_datareader(a.topic, late, nullptr, 0);
  ASSERT_TRUE(r);
  sleep_ms(300);
  SequenceData<KeyedType> d2;
  SampleInfoSeq i2;
  ASSERT_EQ(r->take(d2, i2, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE), RETCODE_OK);
  EXPECT_EQ(d2.length(), 6u);
}

// ---------------------------------------------------------------- lifespan

TEST_F(WireQos, ExpiredSamplesAreNeverReturned) {
  ASSERT_TRUE(a.make("wq_lifespan", false));
  ASSERT_TRUE(b.make("wq_lifespan", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.lifespan.duration = ms_duration(400);
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  FlatRecord f = flat(1);
  w->write(&f, HANDLE_NIL);
  std::vector<std::pair<int32_t, SampleInfo>> got;
  ASSERT_TRUE(eventually([&] { got = take_all<FlatRecord>(r, nullptr, false); return !got.empty(); }, 300));
  EXPECT_EQ(got[0].first, 1);  // before expiry: normal delivery
  f.lVal = 2;
  w->write(&f, HANDLE_NIL);
  sleep_ms(900);
  EXPECT_TRUE(take_all<FlatRecord>(r).empty());
}

TEST_F(WireQos, LifespanChangedOnEnabledWriterAppliesToLaterSamples) {
  ASSERT_TRUE(a.make("wq_lifespan_change", true));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  KeyedType k1 = keyed(1), k2 = keyed(2);
  EXPECT_EQ(w->write(&k1, HANDLE_NIL), RETCODE_OK);  // infinite lifespan
  wq.lifespan.duration = ms_duration(300);
  EXPECT_EQ(w->set_qos(wq), RETCODE_OK);
  EXPECT_EQ(w->write(&k2, HANDLE_NIL), RETCODE_OK);  // 300 ms
  sleep_ms(800);
  auto values = [](const std::vector<std::pair<int32_t, SampleInfo>>& got) {
    std::vector<int32_t> v;
    for (auto& g : got) v.push_back(g.first);
    return v;
  };
  EXPECT_EQ(values(take_all<KeyedType>(r)), std::vector<int32_t>{1});
  // Nor does a late joiner get the expired one.
  DataReaderQos late = reader_qos();
  late.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  DataReader* r2 = a.subscriber->create_datareader(a.topic, late, nullptr, 0);
  ASSERT_TRUE(r2);
  std::vector<std::pair<int32_t, SampleInfo>> got;
  EXPECT_TRUE(eventually([&] { got = take_all<KeyedType>(r2); return !got.empty(); }, 3000));
  sleep_ms(200);
  auto more = take_all<KeyedType>(r2);
  got.insert(got.end(), more.begin(), more.end());
  EXPECT_EQ(values(got), std::vector<int32_t>{1});
}

// --------------------------------------------------------------- ownership

TEST_F(WireQos, ExclusiveOwnershipDeliversOnlyTheStrongestWriter) {
  ASSERT_TRUE(a.make("wq_ownership", true));
  ASSERT_TRUE(b.make("wq_ownership", true));
  DataWriterQos weak = DATAWRITER_QOS_DEFAULT;
  weak.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
  weak.ownership_strength.value = 1;
  DataWriterQos strong = weak;
  strong.ownership_strength.value = 10;
  DataReaderQos rq = reader_qos();
  rq.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
  DataWriter* ws = a.publisher->create_datawriter(a.topic, strong, nullptr, 0);
  DataWriter* ww = a.publisher->create_datawriter(a.topic, weak, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, rq, nullptr, 0);
  RecordingListener shared_l;
  DataWriter* wshared = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, &shared_l, STATUS_MASK_ALL);
  ASSERT_TRUE(ws && ww && r && wshared);
  ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 2; }, 5000));
  KeyedType k = keyed(5, 1);
  EXPECT_EQ(ws->write(&k, HANDLE_NIL), RETCODE_OK);
  sleep_ms(100);
  k.sVal = 2;
  EXPECT_EQ(ww->write(&k, HANDLE_NIL), RETCODE_OK);  // weaker non-owner: OK, dropped
  k.sVal = 3;
  EXPECT_EQ(ws->write(&k, HANDLE_NIL), RETCODE_OK);
  sleep_ms(300);
  SequenceData<KeyedType> d;
  SampleInfoSeq i;
  std::vector<int16_t> seen;
  if (r->take(d, i, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE) == RETCODE_OK)
    for (uint32_t n = 0; n < d.length(); ++n)
      if (i[n].valid_data) seen.push_back(d[n].sVal);
  EXPECT_EQ(seen, (std::vector<int16_t>{1, 3}));
  // A shared writer against an exclusive reader: incompatible, ownership id.
  EXPECT_TRUE(shared_l.wait(shared_l.incompatible, 1, 3000));
  EXPECT_EQ(shared_l.last_policy, OWNERSHIP_QOS_POLICY_ID);
}

// ------------------------------------------------------- time-based filter

TEST_F(WireQos, TimeBasedFilterPerInstanceAndChangeableWhenEnabled) {
  ASSERT_TRUE(a.make("wq_tbf", true));
  DataReaderQos rq = reader_qos();
  rq.time_based_filter.minimum_separation = ms_duration(1000);
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, rq, nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  for (int i = 0; i < 5; ++i) {
    KeyedType k1 = keyed(1, static_cast<int16_t>(i)), k2 = keyed(2, static_cast<int16_t>(i));
    EXPECT_EQ(w->write(&k1, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(w->write(&k2, HANDLE_NIL), RETCODE_OK);
    sleep_ms(50);
  }
  sleep_ms(100);
  SequenceData<KeyedType> d;
  SampleInfoSeq i;
  ASSERT_EQ(r->read(d, i, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE), RETCODE_OK);
  ASSERT_EQ(d.length(), 2u);  // the first of each instance
  EXPECT_EQ(d[0].sVal, 0);
  EXPECT_EQ(d[1].sVal, 0);

  DataReaderQos changed = rq;
  changed.time_based_filter.minimum_separation = ms_duration(0);
  EXPECT_EQ(r->set_qos(changed), RETCODE_OK);
  DataReaderQos back;
  r->get_qos(back);
  EXPECT_EQ(back.time_based_filter.minimum_separation, ms_duration(0));
  for (int n = 10; n < 13; ++n) {
    KeyedType k1 = keyed(1, static_cast<int16_t>(n));
    w->write(&k1, HANDLE_NIL);
  }
  sleep_ms(200);
  SequenceData<KeyedType> d2;
  SampleInfoSeq i2;
  ASSERT_EQ(r->take(d2, i2, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE), RETCODE_OK);
  EXPECT_EQ(d2.length(), 5u);  // the 2 cached ones kept, 3 new ones all accepted

  DataReaderQos inconsistent = changed;
  inconsistent.deadline.period = ms_duration(100);
  inconsistent.time_based_filter.minimum_separation = ms_duration(200);
  EXPECT_EQ(r->set_qos(inconsistent), RETCODE_INCONSISTENT_POLICY);
}

// -------------------------------------------------------------- partitions

TEST_F(WireQos, PartitionsMustIntersectAndCanChangeWhenEnabled) {
  PublisherQos pq = PUBLISHER_QOS_DEFAULT;
  pq.partition.name = {"wq_partition"};  // may equal a topic name
  SubscriberQos sq = SUBSCRIBER_QOS_DEFAULT;
  sq.partition.name = {"other"};
  ASSERT_TRUE(a.make("wq_partition", false, PARTICIPANT_QOS_DEFAULT, pq, sq));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(w && r);
  sleep_ms(300);
  EXPECT_EQ(matched_subs(w), 0u);
  sq.partition.name = {"x", "wq_partition"};
  EXPECT_EQ(a.subscriber->set_qos(sq), RETCODE_OK);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1 && matched_pubs(r) == 1; }, 3000));
  FlatRecord f = flat(3);
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  std::vector<std::pair<int32_t, SampleInfo>> got;
  EXPECT_TRUE(eventually([&] { got = take_all<FlatRecord>(r); return !got.empty(); }, 3000));
}

// ------------------------------------------- incompatible QoS and matching

TEST_F(WireQos, IncompatibleOffersReportPolicyAndMatchesResetAfterListener) {
  ASSERT_TRUE(a.make("wq_compat", false));
  ASSERT_TRUE(b.make("wq_compat", false));
  DataReaderQos rq = reader_qos();
  rq.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  rq.deadline.period = ms_duration(1000);
  rq.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS;
  rq.liveliness.lease_duration = Duration_t{10, 0};
  ASSERT_TRUE(b.subscriber->create_datareader(b.topic, rq, nullptr, 0));

  DataWriterQos good = DATAWRITER_QOS_DEFAULT;
  good.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
  good.deadline.period = ms_duration(500);
  good.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS;
  good.liveliness.lease_duration = Duration_t{5, 0};
  struct Case {
    const char* what;
    std::function<void(DataWriterQos&)> change;
    QosPolicyId_t policy;  // 0: compatible
  };
  std::vector<Case> cases = {
      {"all compatible", [](DataWriterQos&) {}, 0},
      {"volatile offered", [](DataWriterQos& q) { q.durability.kind = VOLATILE_DURABILITY_QOS; },
       DURABILITY_QOS_POLICY_ID},
      {"best effort offered", [](DataWriterQos& q) { q.reliability.kind = BEST_EFFORT_RELIABILITY_QOS; },
       RELIABILITY_QOS_POLICY_ID},
      {"longer deadline", [](DataWriterQos& q) { q.deadline.period = Duration_t{2, 0}; }, DEADLINE_QOS_POLICY_ID},
      {"automatic liveliness", [](DataWriterQos& q) { q.liveliness.kind = AUTOMATIC_LIVELINESS_QOS; },
       LIVELINESS_QOS_POLICY_ID},
      {"longer lease", [](DataWriterQos& q) { q.liveliness.lease_duration = Duration_t{20, 0}; },
       LIVELINESS_QOS_POLICY_ID},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    DataWriterQos q = good;
    c.change(q);
    RecordingListener l;
    DataWriter* w = a.publisher->create_datawriter(a.topic, q, &l, STATUS_MASK_ALL);
    ASSERT_TRUE(w);
    if (c.policy == 0) {
      EXPECT_TRUE(l.wait(l.matched, 1, 3000));
      PublicationMatchedStatus st;
      w->get_publication_matched_status(st);
      EXPECT_EQ(st.total_count, 1);
      EXPECT_EQ(st.current_count, 1);
      EXPECT_EQ(st.total_count_change, 0);
      EXPECT_EQ(l.incompatible.load(), 0);
    } else {
      EXPECT_TRUE(l.wait(l.incompatible, 1, 3000));
      OfferedIncompatibleQosStatus st;
      w->get_offered_incompatible_qos_status(st);
      EXPECT_EQ(st.total_count, 1);
      EXPECT_EQ(st.total_count_change, 0);
      EXPECT_EQ(st.last_policy_id, c.policy);
      EXPECT_EQ(l.last_policy, c.policy);
      EXPECT_EQ(matched_subs(w), 0u);
      EXPECT_EQ(l.matched.load(), 0);
    }
    a.publisher->delete_datawriter(w);
  }
}

// ---------------------------------------------------------- resource limits

TEST_F(WireQos, WriterResourceLimits) {
  ASSERT_TRUE(a.make("wq_limits", true));
  DataWriterQos bad = DATAWRITER_QOS_DEFAULT;
  bad.resource_limits.max_samples = 5;
  bad.resource_limits.max_samples_per_instance = 10;
  EXPECT_EQ(a.publisher->create_datawriter(a.topic, bad, nullptr, 0), nullptr);
  DataWriterQos q = DATAWRITER_QOS_DEFAULT;
  q.history.kind = KEEP_ALL_HISTORY_QOS;  // with depth 1: valid
  q.resource_limits.max_instances = 2;
  q.resource_limits.max_samples = 10;
  q.resource_limits.max_samples_per_instance = 10;
  DataWriter* w = a.publisher->create_datawriter(a.topic, q, nullptr, 0);
  ASSERT_TRUE(w);
  KeyedType k1 = keyed(1), k2 = keyed(2), k3 = keyed(3);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(w->write(&k1, HANDLE_NIL), RETCODE_OK);  // nothing unacknowledged
  EXPECT_EQ(w->write(&k2, HANDLE_NIL), RETCODE_OK);
  EXPECT_EQ(w->write(&k3, HANDLE_NIL), RETCODE_OUT_OF_RESOURCES);
  EXPECT_EQ(w->register_instance(&k3), HANDLE_NIL);
  // A second writer keeps limits of its own.
  DataWriter* w2 = a.publisher->create_datawriter(a.topic, q, nullptr, 0);
  ASSERT_TRUE(w2);
  EXPECT_EQ(w2->write(&k3, HANDLE_NIL), RETCODE_OK);
}

// ------------------------------------------------------------------ enable

TEST_F(WireQos, DisabledEndpointsAreNeitherAnnouncedNorMatched) {
  PublisherQos pq = PUBLISHER_QOS_DEFAULT;
  pq.entity_factory.autoenable_created_entities = false;
  SubscriberQos sq = SUBSCRIBER_QOS_DEFAULT;
  sq.entity_factory.autoenable_created_entities = false;
  ASSERT_TRUE(a.make("wq_enable", false, PARTICIPANT_QOS_DEFAULT, pq, sq));
  DataReader* r = a.subscriber->create_datareader(a.topic, reader_qos(), nullptr, 0);
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  // Enabled endpoints on another participant.
  ASSERT_TRUE(b.make("wq_enable", false));
  DataReader* remote_r = b.subscriber->create_datareader(b.topic, reader_qos(), nullptr, 0);
  DataWriter* remote_w = b.publisher->create_datawriter(b.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(r && w && remote_r && remote_w);
  EXPECT_FALSE(r->is_enabled());
  EXPECT_FALSE(w->is_enabled());
  FlatRecord f = flat(1);
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_NOT_ENABLED);
  // The remote endpoints match each other only.
  ASSERT_TRUE(eventually([&] { return matched_subs(remote_w) == 1 && matched_pubs(remote_r) == 1; }, 3000));
  sleep_ms(300);
  EXPECT_EQ(matched_subs(remote_w), 1u);
  EXPECT_EQ(matched_pubs(remote_r), 1u);

  EXPECT_EQ(r->enable(), RETCODE_OK);
  ASSERT_TRUE(eventually([&] { return matched_subs(remote_w) == 2 && matched_pubs(r) == 1; }, 3000));
  EXPECT_EQ(matched_pubs(remote_r), 1u);
  EXPECT_EQ(w->enable(), RETCODE_OK);
  EXPECT_TRUE(w->is_enabled());
  ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 2 && matched_pubs(remote_r) == 2; }, 3000));
  InstanceHandleSeq pubs;
  remote_r->get_matched_publications(pubs);
  EXPECT_NE(std::find(pubs.begin(), pubs.end(), w->get_instance_handle()), pubs.end());
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
}

// ------------------------------------------------- deletion during callbacks

class SlowListener : public DataWriterListener {
 public:
  void on_offered_deadline_missed(DataWriter* w, const OfferedDeadlineMissedStatus&) override {
    OfferedDeadlineMissedStatus st;
    w->get_offered_deadline_missed_status(st);  // calls back into the writer
    sleep_ms(30);
    ++calls;
  }
  std::atomic<int> calls{0};
};

TEST_F(WireQos, NoCallbackAfterDeletionReturns) {
  for (int round = 0; round < 3; ++round) {
    auto* l = new SlowListener();
    Stack s;
    ASSERT_TRUE(s.make("wq_delete", false));
    DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
    wq.deadline.period = ms_duration(5);
    std::vector<DataWriter*> ws;
    for (int i = 0; i < 4; ++i) ws.push_back(s.publisher->create_datawriter(s.topic, wq, l, STATUS_MASK_ALL));
    FlatRecord f = flat(1);
    for (auto* w : ws) w->write(&f, HANDLE_NIL);
    ASSERT_TRUE(eventually([&] { return l->calls.load() > 2; }, 3000));
    if (round == 0) {
      EXPECT_EQ(s.participant->delete_contained_entities(), RETCODE_OK);
    } else {
      DomainParticipantFactory::finalize();
      s.participant = nullptr;
    }
    const int after = l->calls.load();
    sleep_ms(100);
    EXPECT_EQ(l->calls.load(), after);
    delete l;  // as the suite does right after finalize()
  }
}

}  // namespace
