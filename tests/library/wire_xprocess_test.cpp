// Delivery, discovery and flow control between two processes on loopback.
// The other process is this binary started with QV_WIRE_CHILD=<role>.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

std::string handle_hex(const InstanceHandle_t& h) { return hex(&h, sizeof h); }
InstanceHandle_t handle_of(const std::string& s) {
  InstanceHandle_t h;
  unhex(s, &h, sizeof h);
  return h;
}

// ------------------------------------------------------------ child roles

// A keyed writer with discovery data; writes, unregisters and disposes on
// the parent's "go".
int child_keyed_writer() {
  DomainParticipantQos pq = PARTICIPANT_QOS_DEFAULT;
  pq.user_data.value = octets("child_ud");
  PublisherQos pubq = PUBLISHER_QOS_DEFAULT;
  pubq.group_data.value = octets("hello_group");
  Stack s;
  if (!s.make("xp_keyed", true, pq, pubq)) return 2;
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.user_data.value = octets("hello_user");
  DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
  if (!w) return 3;
  tell_parent("PART " + handle_hex(s.participant->get_instance_handle()));
  tell_parent("HANDLE " + handle_hex(w->get_instance_handle()));
  if (!eventually([&] { return matched_subs(w) > 0; }, 10000)) return 4;
  tell_parent("MATCHED");
  if (parent_line(10000) != "go") return 5;
  KeyedType k1 = keyed(1, 11, "one"), k2 = keyed(2), k3 = keyed(3);
  InstanceHandle_t h1 = w->register_instance(&k1);
  if (w->write(&k1, h1) != RETCODE_OK || w->write(&k2, HANDLE_NIL) != RETCODE_OK ||
      w->write(&k3, HANDLE_NIL) != RETCODE_OK)
    return 6;
  if (w->unregister_instance_w_timestamp(&k1, h1, Time{123, 456}) != RETCODE_OK) return 7;
  if (w->dispose(&k2, HANDLE_NIL) != RETCODE_OK) return 8;
  w->wait_for_acknowledgments(Duration_t{5, 0});
  tell_parent("DONE");
  parent_line(10000);  // "quit"
  return 0;
}

// A reliable keyless reader; reports what arrives.
int child_keyless_reader() {
  Stack s;
  if (!s.make(env_or("QV_WIRE_TOPIC", "xp_flat"), false)) return 2;
  DataReaderQos rq = DATAREADER_QOS_DEFAULT;
  rq.reliability.kind = RELIABLE_RELIABILITY_QOS;
  rq.history.kind = KEEP_ALL_HISTORY_QOS;
  DataReader* r = s.subscriber->create_datareader(s.topic, rq, nullptr, 0);
  if (!r) return 3;
  tell_parent("READY " + handle_hex(r->get_instance_handle()));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    for (auto& [v, info] : take_all<FlatRecord>(r)) tell_parent("GOT " + std::to_string(v));
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) break;  // "quit" or the parent went away
  }
  return 0;
}

// A manual-by-topic writer with a 600 ms lease that asserts once.
int child_manual_writer() {
  Stack s;
  if (!s.make("xp_liveliness", false)) return 2;
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS;
  wq.liveliness.lease_duration = ms_duration(600);
  DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
  if (!w) return 3;
  if (!eventually([&] { return matched_subs(w) > 0; }, 10000)) return 4;
  tell_parent("MATCHED");
  if (parent_line(10000) != "go") return 5;
  FlatRecord f = flat(7);
  w->write(&f, HANDLE_NIL);
  tell_parent("WROTE");
  parent_line(10000);
  return 0;
}

// A volatile reliable reader that reports its match the moment it sees it;
// the parent writes right then, as the suite does after "reader_matched".
int child_eager_reader() {
  Stack s;
  if (!s.make("xp_eager", false)) return 2;
  DataReaderQos rq = reader_qos(RELIABLE_RELIABILITY_QOS, 10);
  DataReader* r = s.subscriber->create_datareader(s.topic, rq, nullptr, 0);
  if (!r) return 3;
  if (!eventually([&] { return matched_pubs(r) > 0; }, 10000)) return 4;
  tell_parent("MATCHED");
  std::vector<std::pair<int32_t, SampleInfo>> got = take_at_least<FlatRecord>(r, 5, 3000);
  std::string line = "GOT";
  for (auto& g : got) line += " " + std::to_string(g.first);
  tell_parent(line);
  parent_line(5000);
  return 0;
}

// The same the other way round: a writer that writes as soon as it matches.
int child_eager_writer() {
  Stack s;
  if (!s.make("xp_eager_w", false)) return 2;
  DataWriter* w = s.publisher->create_datawriter(s.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  if (!w) return 3;
  if (!eventually([&] { return matched_subs(w) > 0; }, 10000)) return 4;
  FlatRecord f = flat(42);
  w->write(&f, HANDLE_NIL);
  tell_parent("WROTE");
  parent_line(5000);
  return 0;
}

// A manual writer (QV_WIRE_KIND "topic" or "participant", keyed when
// QV_WIRE_KEYED is 1) with a 400 ms lease. On the parent's "write" it writes,
// on "assert" it asserts its liveliness, on "passert" its participant does;
// each answered "DONE <return code>".
int child_asserting_writer() {
  const bool keyed_topic = env_or("QV_WIRE_KEYED", "0") == "1";
  Stack s;
  if (!s.make("xp_assert", keyed_topic)) return 2;
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.liveliness.kind = env_or("QV_WIRE_KIND", "topic") == "participant" ? MANUAL_BY_PARTICIPANT_LIVELINESS_QOS
                                                                          : MANUAL_BY_TOPIC_LIVELINESS_QOS;
  wq.liveliness.lease_duration = ms_duration(400);
  DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
  if (!w) return 3;
  tell_parent("HANDLE " + handle_hex(w->get_instance_handle()));
  for (;;) {
    const std::string cmd = parent_line(30000);
    ReturnCode_t rc;
    if (cmd == "write") {
      KeyedType k = keyed(1);
      FlatRecord f = flat(1);
      rc = keyed_topic ? w->write(&k, HANDLE_NIL) : w->write(&f, HANDLE_NIL);
    } else if (cmd == "assert") {
      rc = w->assert_liveliness();
    } else if (cmd == "passert") {
      rc = s.participant->assert_liveliness();
    } else {
      return 0;  // "quit", or the parent went away
    }
    tell_parent("DONE " + std::to_string(rc));
  }
}

const bool g_child = [] {
  run_child_if_requested({{"eager_reader", child_eager_reader},
                          {"eager_writer", child_eager_writer},
                          {"keyed_writer", child_keyed_writer},
                          {"keyless_reader", child_keyless_reader},
                          {"manual_writer", child_manual_writer},
                          {"asserting_writer", child_asserting_writer}});
  return true;
}();

class WireCrossProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    s.destroy();
    DomainParticipantFactory::finalize();
  }
  Stack s;
};

// ------------------------------------------------------------------ tests

TEST_F(WireCrossProcess, KeyedDeliveryDiscoveryAndInstanceStates) {
  ASSERT_TRUE(s.make("xp_keyed", true));
  DataReaderQos rq = reader_qos(RELIABLE_RELIABILITY_QOS, 10);
  DataReader* r = s.subscriber->create_datareader(s.topic, rq, nullptr, 0);
  ASSERT_TRUE(r);
  Child child("keyed_writer");
  ASSERT_TRUE(child.ok());
  std::string part, wh, rest;
  ASSERT_TRUE(child.expect("PART ", part, 10000));
  ASSERT_TRUE(child.expect("HANDLE ", wh, 10000));
  const InstanceHandle_t child_participant = handle_of(part), child_writer = handle_of(wh);

  // Participant discovery with the child's user data.
  EXPECT_TRUE(eventually([&] {
    InstanceHandleSeq seen;
    s.participant->get_discovered_participants(seen);
    return std::find(seen.begin(), seen.end(), child_participant) != seen.end();
  }, 5000));
  ParticipantBuiltinTopicData pd;
  EXPECT_EQ(s.participant->get_discovered_participant_data(pd, child_participant), RETCODE_OK);
  EXPECT_EQ(text(pd.user_data.value), "child_ud");

  // The child's writer is listed under the handle it has in its own process.
  ASSERT_TRUE(child.expect("MATCHED", rest, 10000));
  InstanceHandleSeq pubs;
  ASSERT_TRUE(eventually([&] { r->get_matched_publications(pubs); return !pubs.empty(); }, 5000));
  ASSERT_EQ(pubs.size(), 1u);
  EXPECT_EQ(std::memcmp(&pubs[0], &child_writer, sizeof child_writer), 0);
  PublicationBuiltinTopicData wd;
  EXPECT_EQ(r->get_matched_publication_data(wd, pubs[0]), RETCODE_OK);
  EXPECT_EQ(std::memcmp(wd.key.value, child_writer.value, 16), 0);
  EXPECT_EQ(text(wd.user_data.value), "hello_user");
  EXPECT_EQ(text(wd.group_data.value), "hello_group");
  EXPECT_EQ(wd.type_name, "KeyedType");

  child.send("go");
  ASSERT_TRUE(child.expect("DONE", rest, 10000));
  std::vector<SampleInfo> infos;
  std::map<int32_t, int> values;
  ASSERT_TRUE(eventually([&] {
    SequenceData<KeyedType> d;
    SampleInfoSeq i;
    if (r->take(d, i, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE) == RETCODE_OK)
      for (uint32_t n = 0; n < i.length(); ++n) {
        infos.push_back(i[n]);
        if (i[n].valid_data) {
          ++values[d[n].lVal];
          if (d[n].lVal == 1) {
            EXPECT_EQ(d[n].sVal, 11);
            EXPECT_EQ(d[n].sbVal, "one");
          }
        }
      }
    // Three samples; instance 1 and 2 end not alive.
    int not_alive = 0;
    for (auto& x : infos)
      if (x.instance_state != ALIVE_INSTANCE_STATE) ++not_alive;
    return values.size() == 3 && not_alive >= 2;
  }, 5000));
  EXPECT_EQ(values, (std::map<int32_t, int>{{1, 1}, {2, 1}, {3, 1}}));
  bool saw_unregister = false;
  for (auto& x : infos) {
    EXPECT_EQ(x.publication_handle, child_writer);
    if (!x.valid_data && x.source_timestamp.sec == 123 && x.source_timestamp.nanosec == 456u) {
      saw_unregister = true;
      EXPECT_NE(x.instance_state, ALIVE_INSTANCE_STATE);  // autodispose: disposed
    }
  }
  EXPECT_TRUE(saw_unregister);

  // When the child goes, its writer and participant go too.
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(10000));
  EXPECT_TRUE(eventually([&] { return matched_pubs(r) == 0; }, 5000));
  EXPECT_TRUE(eventually([&] {
    InstanceHandleSeq seen;
    s.participant->get_discovered_participants(seen);
    return std::find(seen.begin(), seen.end(), child_participant) == seen.end();
  }, 5000));
}

TEST_F(WireCrossProcess, WhenOneSideReportsAMatchTheOtherAlreadyDelivers) {
  ASSERT_TRUE(s.make("xp_eager", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.history.depth = 10;
  DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
  ASSERT_TRUE(w);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Child child("eager_reader");
    std::string rest;
    ASSERT_TRUE(child.expect("MATCHED", rest, 10000));
    for (int i = 0; i < 5; ++i) {
      FlatRecord f = flat(round * 10 + i);
      EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
    }
    ASSERT_TRUE(child.expect("GOT", rest, 5000));
    std::string want;
    for (int i = 0; i < 5; ++i) want += " " + std::to_string(round * 10 + i);
    EXPECT_EQ(rest, want);
    child.send("quit");
    EXPECT_TRUE(child.wait_exit(10000));
  }
  Stack r;
  ASSERT_TRUE(r.make("xp_eager_w", false));
  DataReaderQos rq = DATAREADER_QOS_DEFAULT;
  rq.reliability.kind = RELIABLE_RELIABILITY_QOS;
  DataReader* reader = r.subscriber->create_datareader(r.topic, rq, nullptr, 0);
  ASSERT_TRUE(reader);
  Child child("eager_writer");
  std::string rest;
  ASSERT_TRUE(child.expect("WROTE", rest, 10000));
  std::vector<std::pair<int32_t, SampleInfo>> got;
  EXPECT_TRUE(eventually([&] { got = take_all<FlatRecord>(reader); return !got.empty(); }, 3000));
  child.send("quit");
}

TEST_F(WireCrossProcess, EveryTransportModeReachesAnotherProcess) {
  for (TransportMode mode : {TransportMode(0x11), TransportMode(0x13), TransportMode(0x15), TransportMode(0x19)}) {
    SCOPED_TRACE(int(mode));
    DomainParticipantQos pq = PARTICIPANT_QOS_DEFAULT;
    pq.transport_mode = mode;
    Stack w;
    ASSERT_TRUE(w.make("xp_transport", false, pq));
    DomainParticipantQos got;
    EXPECT_EQ(w.participant->get_qos(got), RETCODE_OK);
    EXPECT_EQ(got.transport_mode, mode);
    DataWriter* writer = w.publisher->create_datawriter(w.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_TRUE(writer);
    Child child("keyless_reader", {{"QV_WIRE_TOPIC", "xp_transport"}});
    std::string rest;
    ASSERT_TRUE(child.expect("READY ", rest, 10000));
    ASSERT_TRUE(eventually([&] { return matched_subs(writer) == 1; }, 5000));
    // The reader is listed under the handle it has in its own process.
    InstanceHandleSeq subs;
    writer->get_matched_subscriptions(subs);
    ASSERT_EQ(subs.size(), 1u);
    const InstanceHandle_t child_reader = handle_of(rest);
    EXPECT_EQ(std::memcmp(&subs[0], &child_reader, sizeof child_reader), 0);
    SubscriptionBuiltinTopicData sd;
    EXPECT_EQ(writer->get_matched_subscription_data(sd, subs[0]), RETCODE_OK);
    EXPECT_EQ(std::memcmp(sd.key.value, child_reader.value, 16), 0);
    FlatRecord f = flat(mode);
    EXPECT_EQ(writer->write(&f, HANDLE_NIL), RETCODE_OK);
    EXPECT_TRUE(child.expect("GOT " + std::to_string(mode), rest, 5000));
    child.send("quit");
    EXPECT_TRUE(child.wait_exit(10000));
  }
  DomainParticipantQos def;
  EXPECT_EQ(DomainParticipantFactory::get_instance()->get_default_participant_qos(def), RETCODE_OK);
  EXPECT_EQ(def.transport_mode, TRANSPORT_DEFAULT);
  DomainParticipantQos none = PARTICIPANT_QOS_DEFAULT;
  none.transport_mode = 0;
  EXPECT_EQ(DomainParticipantFactory::get_instance()->create_participant(0, none, nullptr, 0), nullptr);
}

TEST_F(WireCrossProcess, WritesRightBeforeDeletionReachTheReader) {
  Child child("keyless_reader", {{"QV_WIRE_TOPIC", "xp_flush"}});
  std::string rest;
  ASSERT_TRUE(child.expect("READY ", rest, 10000));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(s.make("xp_flush", false));
    DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
    wq.history.kind = KEEP_ALL_HISTORY_QOS;
    DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
    ASSERT_TRUE(w);
    ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
    constexpr int kCount = 200;
    for (int i = 0; i < kCount; ++i) {
      FlatRecord f = flat(round * 1000 + i);
      ASSERT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
    }
    // Straight after the last write: the participant goes, and in the second
    // round the whole library with it.
    s.destroy();
    if (round == 1) DomainParticipantFactory::finalize();
    std::set<int> got;
    for (int n = 0; n < kCount; ++n) {
      if (!child.expect("GOT ", rest, 5000)) break;
      got.insert(std::stoi(rest));
    }
    EXPECT_EQ(got.size(), size_t(kCount));
    if (!got.empty()) {
      EXPECT_EQ(*got.begin(), round * 1000);
      EXPECT_EQ(*got.rbegin(), round * 1000 + kCount - 1);
    }
  }
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(10000));
}

TEST_F(WireCrossProcess, KeepAllWriterBlocksOnUnacknowledgedSamplesThenTimesOut) {
  ASSERT_TRUE(s.make("xp_limits", false));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.history.kind = KEEP_ALL_HISTORY_QOS;
  wq.resource_limits.max_samples = 2;
  wq.resource_limits.max_samples_per_instance = 2;
  wq.reliability.max_blocking_time = ms_duration(300);
  DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
  ASSERT_TRUE(w);
  // With no reliable reader nothing is held back.
  FlatRecord f = flat(1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);

  Child child("keyless_reader", {{"QV_WIRE_TOPIC", "xp_limits"}});
  std::string rest;
  ASSERT_TRUE(child.expect("READY ", rest, 10000));
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  ASSERT_TRUE(child.expect("GOT 1", rest, 5000));
  ASSERT_EQ(w->wait_for_acknowledgments(Duration_t{5, 0}), RETCODE_OK);

  // A reader that stops acknowledging: two samples fit, the third times out.
  ASSERT_EQ(kill(child.pid(), SIGSTOP), 0);
  f.lVal = 2;
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_TIMEOUT);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  // Once it acknowledges again, writes go through.
  ASSERT_EQ(kill(child.pid(), SIGCONT), 0);
  EXPECT_TRUE(eventually([&] { return w->write(&f, HANDLE_NIL) == RETCODE_OK; }, 5000));
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(10000));
}

TEST_F(WireCrossProcess, ReaderSeesRemoteWriterLoseLiveliness) {
  ASSERT_TRUE(s.make("xp_liveliness", false));
  DataReaderQos rq = DATAREADER_QOS_DEFAULT;
  rq.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS;
  rq.liveliness.lease_duration = Duration_t{5, 0};
  DataReader* r = s.subscriber->create_datareader(s.topic, rq, nullptr, 0);
  ASSERT_TRUE(r);
  Child child("manual_writer");
  std::string rest;
  ASSERT_TRUE(child.expect("MATCHED", rest, 10000));
  child.send("go");
  ASSERT_TRUE(child.expect("WROTE", rest, 5000));
  LivelinessChangedStatus st;
  EXPECT_TRUE(eventually([&] { r->get_liveliness_changed_status(st); return st.alive_count == 1; }, 3000));
  // 600 ms lease without assertion: alive -> not alive within about a lease.
  EXPECT_TRUE(eventually([&] {
    r->get_liveliness_changed_status(st);
    return st.alive_count == 0 && st.not_alive_count == 1;
  }, 4000));
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(10000));
}

// Every liveliness change as the reader's listener is told of it.
class LivelinessLog : public DataReaderListener {
 public:
  void on_liveliness_changed(DataReader*, const LivelinessChangedStatus& st) override {
    std::lock_guard<std::mutex> lk(mtx_);
    changes_.push_back(st);
  }
  std::vector<LivelinessChangedStatus> changes() {
    std::lock_guard<std::mutex> lk(mtx_);
    return changes_;
  }

 private:
  std::mutex mtx_;
  std::vector<LivelinessChangedStatus> changes_;
};

// A manual writer whose lease ran out at the reader is alive there again
// once it asserts, without writing, and is lost again when it stops; each
// transition is one liveliness change at the reader. The assertions deliver
// nothing to the reader.
TEST_F(WireCrossProcess, AnAssertionBringsBackAWriterLostAtARemoteReader) {
  struct Case {
    const char* kind;
    bool keyed;
    std::vector<std::string> steps;  // each brings the writer back once
  };
  const Case cases[] = {
      {"topic", false, {"write", "assert", "assert"}},
      {"participant", true, {"write", "passert", "assert"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    ASSERT_TRUE(s.make("xp_assert", c.keyed));
    LivelinessLog log;
    // Automatic liveliness with an infinite lease: any writer matches.
    DataReader* r = s.subscriber->create_datareader(s.topic, reader_qos(), &log, LIVELINESS_CHANGED_STATUS);
    ASSERT_TRUE(r);
    Child child("asserting_writer", {{"QV_WIRE_KIND", c.kind}, {"QV_WIRE_KEYED", c.keyed ? "1" : "0"}});
    std::string wh, rest;
    ASSERT_TRUE(child.expect("HANDLE ", wh, 10000));
    const InstanceHandle_t writer = handle_of(wh);
    auto lost = [&](const LivelinessChangedStatus& st) {
      return st.alive_count == 0 && st.not_alive_count == 1 && st.last_publication_handle == writer;
    };
    // Alive when discovered, lost a lease later.
    ASSERT_TRUE(eventually([&] {
      auto ch = log.changes();
      return !ch.empty() && lost(ch.back());
    }, 10000));
    for (const std::string& step : c.steps) {
      SCOPED_TRACE(step);
      const size_t before = log.changes().size();
      child.send(step);
      ASSERT_TRUE(child.expect("DONE ", rest, 5000));
      EXPECT_EQ(rest, std::to_string(RETCODE_OK));
      ASSERT_TRUE(eventually([&] { return log.changes().size() >= before + 2; }, 5000));
      const auto ch = log.changes();
      const LivelinessChangedStatus& back = ch[before];
      EXPECT_EQ(back.alive_count, 1);
      EXPECT_EQ(back.not_alive_count, 0);
      EXPECT_EQ(back.alive_count_change, 1);
      EXPECT_EQ(back.not_alive_count_change, -1);
      EXPECT_EQ(back.last_publication_handle, writer);
      const LivelinessChangedStatus& again = ch[before + 1];
      EXPECT_TRUE(lost(again));
      EXPECT_EQ(again.alive_count_change, -1);
      EXPECT_EQ(again.not_alive_count_change, 1);
    }
    child.send("quit");
    EXPECT_TRUE(child.wait_exit(10000));
    ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 0; }, 5000));
    // The one write arrived; the assertions, and their instance going when
    // the writer went, did not: every sample is of the written instance.
    KeyedType k = keyed(1);
    const InstanceHandle_t written = c.keyed ? r->lookup_instance(&k) : HANDLE_NIL;
    EXPECT_TRUE(!c.keyed || written != HANDLE_NIL);
    std::vector<SampleInfo> infos;
    std::vector<std::pair<int32_t, SampleInfo>> got =
        c.keyed ? take_all<KeyedType>(r, &infos) : take_all<FlatRecord>(r, &infos);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, 1);
    for (const SampleInfo& i : infos) EXPECT_EQ(i.instance_handle, written);
    s.destroy();
  }
}

}  // namespace
