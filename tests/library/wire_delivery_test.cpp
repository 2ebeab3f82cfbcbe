// Delivery within one process: keyed and keyless instances, read/take with
// sample, view and instance states, writer instance rules, matched endpoints
// and their discovery data.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

class WireDelivery : public TwoStacks {};

TEST_F(WireDelivery, KeyedStatesAcrossTakeAndRead) {
  ASSERT_TRUE(a.make("wd_states", true));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, reader_qos(RELIABLE_RELIABILITY_QOS, 100), nullptr, 0);
  ASSERT_TRUE(w && r);
  KeyedType s = keyed(2001);
  InstanceHandle_t h = w->register_instance(&s);
  EXPECT_NE(h, HANDLE_NIL);
  ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 1 && matched_subs(w) == 1; }, 5000));
  // Registration alone delivers nothing.
  sleep_ms(100);
  EXPECT_TRUE(take_all<KeyedType>(r).empty());

  EXPECT_EQ(w->write(&s, h), RETCODE_OK);
  std::vector<std::pair<int32_t, SampleInfo>> got;
  ASSERT_TRUE(eventually([&] { got = take_all<KeyedType>(r); return !got.empty(); }, 3000));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, 2001);
  EXPECT_EQ(got[0].second.sample_state, NOT_READ_SAMPLE_STATE);
  EXPECT_EQ(got[0].second.view_state, NEW_VIEW_STATE);
  EXPECT_EQ(got[0].second.instance_state, ALIVE_INSTANCE_STATE);
  EXPECT_EQ(got[0].second.instance_handle, h);
  EXPECT_EQ(got[0].second.publication_handle, w->get_instance_handle());

  EXPECT_EQ(w->write(&s, h), RETCODE_OK);
  ASSERT_TRUE(eventually([&] { got = take_all<KeyedType>(r, nullptr, false); return !got.empty(); }, 3000));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].second.sample_state, NOT_READ_SAMPLE_STATE);
  EXPECT_EQ(got[0].second.view_state, NOT_NEW_VIEW_STATE);

  EXPECT_EQ(w->write(&s, h), RETCODE_OK);
  ASSERT_TRUE(eventually([&] {
    SequenceData<KeyedType> d;
    SampleInfoSeq i;
    return r->read(d, i, 100, NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE) == RETCODE_OK;
  }, 3000));
  // The read above marked the third sample read as well; take returns both, oldest first.
  got = take_all<KeyedType>(r);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].second.sample_state, READ_SAMPLE_STATE);
  EXPECT_EQ(got[0].second.view_state, NOT_NEW_VIEW_STATE);
  EXPECT_EQ(got[0].second.generation_rank, 0);
  EXPECT_EQ(got[0].second.sample_rank, 1);
  EXPECT_EQ(got[1].second.sample_rank, 0);

  // Empty reader: NO_DATA, sequences left empty.
  SequenceData<KeyedType> d;
  SampleInfoSeq i;
  EXPECT_EQ(r->take(d, i, 10, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE), RETCODE_NO_DATA);
  EXPECT_EQ(i.length(), 0u);
}

TEST_F(WireDelivery, KeyedWriterInstanceRules) {
  ASSERT_TRUE(a.make("wd_keyed_rules", true));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(w);
  KeyedType s1 = keyed(1), s2 = keyed(2), s3 = keyed(3), tmp;
  InstanceHandle_t h1 = w->register_instance(&s1), h2 = w->register_instance(&s2);
  InstanceHandle_t h3 = w->register_instance(&s3);
  InstanceHandle_t invalid = w->get_instance_handle();
  EXPECT_NE(h1, HANDLE_NIL);
  EXPECT_NE(h1, h2);
  EXPECT_NE(h2, h3);
  EXPECT_NE(invalid, h1);
  EXPECT_EQ(w->register_instance(&s1), h1);  // same key, same handle
  EXPECT_EQ(w->lookup_instance(&s2), h2);

  EXPECT_EQ(w->get_key_value(&tmp, h2), RETCODE_OK);
  EXPECT_EQ(tmp.lVal, 2);
  EXPECT_EQ(w->get_key_value(&tmp, invalid), RETCODE_BAD_PARAMETER);

  struct Case {
    const char* what;
    std::function<ReturnCode_t()> call;
    ReturnCode_t expected;
  };
  Time now{123, 456};
  std::vector<Case> cases = {
      {"write own", [&] { return w->write(&s1, h1); }, RETCODE_OK},
      {"write nil handle", [&] { return w->write(&s1, HANDLE_NIL); }, RETCODE_OK},
      {"write other instance", [&] { return w->write(&s1, h2); }, RETCODE_PRECONDITION_NOT_MET},
      {"write unknown handle", [&] { return w->write(&s1, invalid); }, RETCODE_BAD_PARAMETER},
      {"unregister other", [&] { return w->unregister_instance(&s1, h2); }, RETCODE_PRECONDITION_NOT_MET},
      {"unregister unknown", [&] { return w->unregister_instance(&s1, invalid); }, RETCODE_BAD_PARAMETER},
      {"unregister own", [&] { return w->unregister_instance(&s1, h1); }, RETCODE_OK},
      {"write after unregister", [&] { return w->write(&s1, h1); }, RETCODE_BAD_PARAMETER},
      {"unregister ts", [&] { return w->unregister_instance_w_timestamp(&s2, h2, now); }, RETCODE_OK},
      {"dispose other", [&] { return w->dispose(&s3, h1); }, RETCODE_BAD_PARAMETER},
      {"dispose unknown", [&] { return w->dispose(&s3, invalid); }, RETCODE_BAD_PARAMETER},
      {"dispose own", [&] { return w->dispose(&s3, h3); }, RETCODE_OK},
      {"dispose ts", [&] { return w->dispose_w_timestamp(&s3, h3, now); }, RETCODE_OK},
  };
  for (auto& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
}

// Times with nanoseconds of 10^9 or more (other than the infinite time) or
// negative seconds, and durations out of range, are refused and send
// nothing; the extreme valid times arrive unchanged.
TEST_F(WireDelivery, OutOfRangeTimesAndDurationsAreRefused) {
  ASSERT_TRUE(a.make("wd_times", true));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, reader_qos(RELIABLE_RELIABILITY_QOS, 10), nullptr, 0);
  ASSERT_TRUE(w && r);
  KeyedType s = keyed(7);
  const InstanceHandle_t h = w->register_instance(&s);
  ASSERT_NE(h, HANDLE_NIL);
  ASSERT_TRUE(eventually([&] { return matched_pubs(r) == 1; }, 5000));
  const Time refused[] = {{1, 2000000000}, {0, 1000000000}, {0x7fffffff, 1000000000}, {0x7fffffff, 0x7fffffff},
                          {-1, 0xffffffff}, {-1, 0}};
  for (const Time& t : refused) {
    SCOPED_TRACE(std::to_string(t.sec) + "." + std::to_string(t.nanosec));
    EXPECT_EQ(w->write_w_timestamp(&s, h, t), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(w->dispose_w_timestamp(&s, h, t), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(w->unregister_instance_w_timestamp(&s, h, t), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(w->register_instance_w_timestamp(&s, t), HANDLE_NIL);
  }
  for (const Duration_t& d : {Duration_t{0, 1000000000}, Duration_t{-1, 0}, Duration_t{0x7fffffff, 0x7fffffff}}) {
    EXPECT_EQ(w->wait_for_acknowledgments(d), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(a.publisher->wait_for_acknowledgments(d), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(r->wait_for_historical_data(d), RETCODE_BAD_PARAMETER);
  }
  sleep_ms(200);
  std::vector<SampleInfo> infos;
  take_all<KeyedType>(r, &infos);
  EXPECT_TRUE(infos.empty()) << "a refused call reached the reader";

  // The instance is still registered with its handle.
  const Time accepted[] = {{0, 999999999}, {0x7fffffff, 999999999}, {0x7fffffff, 0xffffffff}};
  for (const Time& t : accepted) EXPECT_EQ(w->write_w_timestamp(&s, h, t), RETCODE_OK);
  std::vector<std::pair<int32_t, SampleInfo>> got = take_at_least<KeyedType>(r, 3, 3000);
  ASSERT_EQ(got.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(got[i].second.source_timestamp, accepted[i]) << i;
}

TEST_F(WireDelivery, KeylessInstanceIsNil) {
  ASSERT_TRUE(a.make("wd_keyless", false));
  ASSERT_TRUE(b.make("wd_keyless", false));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, reader_qos(RELIABLE_RELIABILITY_QOS, 10), nullptr, 0);
  ASSERT_TRUE(w && r);
  FlatRecord s = flat(100);
  EXPECT_EQ(w->register_instance(&s), HANDLE_NIL);
  InstanceHandle_t invalid = w->get_instance_handle();
  EXPECT_EQ(w->unregister_instance(&s, HANDLE_NIL), RETCODE_ILLEGAL_OPERATION);
  EXPECT_EQ(w->unregister_instance(&s, invalid), RETCODE_ILLEGAL_OPERATION);
  EXPECT_EQ(w->dispose(&s, HANDLE_NIL), RETCODE_ILLEGAL_OPERATION);
  EXPECT_EQ(w->dispose(&s, invalid), RETCODE_ILLEGAL_OPERATION);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  EXPECT_EQ(w->write(&s, HANDLE_NIL), RETCODE_OK);
  s.lVal = 101;
  EXPECT_EQ(w->write(&s, HANDLE_NIL), RETCODE_OK);
  std::vector<std::pair<int32_t, SampleInfo>> got = take_at_least<FlatRecord>(r, 2, 3000);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, 100);
  EXPECT_EQ(got[1].first, 101);
  EXPECT_EQ(got[0].second.instance_handle, HANDLE_NIL);
  EXPECT_EQ(got[0].second.publication_handle, w->get_instance_handle());
  // Source timestamps are wall-clock times of the write.
  Time t;
  a.participant->get_current_time(t);
  EXPECT_LE(got[1].second.source_timestamp.sec, t.sec);
  EXPECT_GE(got[1].second.source_timestamp.sec, t.sec - 10);
}

TEST_F(WireDelivery, UnregisterAndDisposeReachTheReader) {
  ASSERT_TRUE(a.make("wd_lifecycle", true));
  ASSERT_TRUE(b.make("wd_lifecycle", true));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.writer_data_lifecycle.autodispose_unregistered_instances = false;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, reader_qos(RELIABLE_RELIABILITY_QOS, 10), nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 5000));
  KeyedType s1 = keyed(1001), s2 = keyed(1002);
  InstanceHandle_t h1 = w->register_instance(&s1), h2 = w->register_instance(&s2);
  EXPECT_EQ(w->write(&s1, h1), RETCODE_OK);
  EXPECT_EQ(w->write_w_timestamp(&s2, h2, Time{1234, 5678}), RETCODE_OK);
  std::vector<std::pair<int32_t, SampleInfo>> got = take_at_least<KeyedType>(r, 2, 3000);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].first, 1002);
  EXPECT_EQ(got[1].second.source_timestamp.sec, 1234);
  EXPECT_EQ(got[1].second.source_timestamp.nanosec, 5678u);
  EXPECT_NE(got[0].second.instance_handle, got[1].second.instance_handle);

  EXPECT_EQ(w->unregister_instance_w_timestamp(&s1, h1, Time{2000, 1}), RETCODE_OK);
  EXPECT_EQ(w->dispose_w_timestamp(&s2, h2, Time{2001, 2}), RETCODE_OK);
  std::vector<SampleInfo> infos;
  ASSERT_TRUE(eventually([&] {
    std::vector<SampleInfo> now;
    take_all<KeyedType>(r, &now);
    infos.insert(infos.end(), now.begin(), now.end());
    return infos.size() >= 2;
  }, 3000));
  ASSERT_EQ(infos.size(), 2u);
  std::map<int32_t, SampleInfo> by_sec;
  for (auto& i : infos) {
    EXPECT_FALSE(i.valid_data);
    by_sec[i.source_timestamp.sec] = i;
  }
  ASSERT_EQ(by_sec.count(2000), 1u);
  ASSERT_EQ(by_sec.count(2001), 1u);
  EXPECT_EQ(by_sec[2000].instance_state, NOT_ALIVE_NO_WRITERS_INSTANCE_STATE);
  EXPECT_EQ(by_sec[2001].instance_state, NOT_ALIVE_DISPOSED_INSTANCE_STATE);
  EXPECT_EQ(by_sec[2001].instance_handle, h2);
}

// The writer data lifecycle of an enabled writer changes what unregistering
// does from then on: disposed while autodispose is on, else no writers.
TEST_F(WireDelivery, AutodisposeChangedOnAnEnabledWriterApplies) {
  ASSERT_TRUE(a.make("wd_autodispose", true));
  ASSERT_TRUE(b.make("wd_autodispose", true));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, reader_qos(RELIABLE_RELIABILITY_QOS, 10), nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1 && matched_pubs(r) == 1; }, 5000));
  struct Step {
    bool autodispose;
    InstanceStateKind after_unregister;
  } steps[] = {{false, NOT_ALIVE_NO_WRITERS_INSTANCE_STATE}, {true, NOT_ALIVE_DISPOSED_INSTANCE_STATE}};
  int32_t key = 3000;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.autodispose);
    DataWriterQos q;
    ASSERT_EQ(w->get_qos(q), RETCODE_OK);
    q.writer_data_lifecycle.autodispose_unregistered_instances = step.autodispose;
    ASSERT_EQ(w->set_qos(q), RETCODE_OK);
    KeyedType s = keyed(++key);
    const InstanceHandle_t h = w->register_instance(&s);
    EXPECT_EQ(w->write(&s, h), RETCODE_OK);
    EXPECT_EQ(take_at_least<KeyedType>(r, 1, 3000).size(), 1u);
    EXPECT_EQ(w->unregister_instance(&s, h), RETCODE_OK);
    std::vector<SampleInfo> infos;
    ASSERT_TRUE(eventually([&] { take_all<KeyedType>(r, &infos); return !infos.empty(); }, 3000));
    EXPECT_EQ(infos.back().instance_state, step.after_unregister);
  }
}

TEST_F(WireDelivery, MatchedEndpointsCarryDiscoveryData) {
  TopicQos tq = TOPIC_QOS_DEFAULT;
  tq.topic_data.value = octets("td\0\xff");
  PublisherQos pq = PUBLISHER_QOS_DEFAULT;
  pq.group_data.value = octets("hello_group");
  SubscriberQos sq = SUBSCRIBER_QOS_DEFAULT;
  sq.group_data.value = octets("sub_group");
  ASSERT_TRUE(a.make("wd_matched", false, PARTICIPANT_QOS_DEFAULT, pq, SUBSCRIBER_QOS_DEFAULT, tq));
  ASSERT_TRUE(b.make("wd_matched", false, PARTICIPANT_QOS_DEFAULT, PUBLISHER_QOS_DEFAULT, sq, tq));
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.user_data.value = octets("hello_user");
  DataReaderQos rq = DATAREADER_QOS_DEFAULT;
  rq.user_data.value = OctetSeq{0, 1, 2, 0};
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReader* local = a.subscriber->create_datareader(a.topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, rq, nullptr, 0);
  ASSERT_TRUE(w && r && local);

  // Empty lists are fine before matching starts; both readers match.
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 2 && matched_pubs(r) == 1; }, 5000));
  InstanceHandleSeq subs;
  EXPECT_EQ(w->get_matched_subscriptions(subs), RETCODE_OK);
  bool saw_remote = false, saw_local = false;
  for (auto& h : subs) {
    SubscriptionBuiltinTopicData d;
    EXPECT_EQ(w->get_matched_subscription_data(d, h), RETCODE_OK);
    EXPECT_EQ(std::memcmp(d.key.value, h.value, 16), 0);
    EXPECT_EQ(d.topic_name, "wd_matched");
    EXPECT_EQ(d.type_name, "FlatRecord");
    EXPECT_EQ(d.topic_data.value, tq.topic_data.value);
    if (h == r->get_instance_handle()) {
      saw_remote = true;
      EXPECT_EQ(d.user_data.value, rq.user_data.value);
      EXPECT_EQ(text(d.group_data.value), "sub_group");
    }
    if (h == local->get_instance_handle()) saw_local = true;
  }
  EXPECT_TRUE(saw_remote);
  EXPECT_TRUE(saw_local);

  InstanceHandleSeq pubs;
  EXPECT_EQ(r->get_matched_publications(pubs), RETCODE_OK);
  ASSERT_EQ(pubs.size(), 1u);
  EXPECT_EQ(pubs[0], w->get_instance_handle());
  EXPECT_EQ(pubs[0].length, 16u);
  EXPECT_EQ(pubs[0].trailing, 0);
  PublicationBuiltinTopicData pd;
  EXPECT_EQ(r->get_matched_publication_data(pd, pubs[0]), RETCODE_OK);
  EXPECT_EQ(text(pd.user_data.value), "hello_user");
  EXPECT_EQ(text(pd.group_data.value), "hello_group");
  EXPECT_EQ(pd.reliability.kind, RELIABLE_RELIABILITY_QOS);
  PublicationBuiltinTopicData none;
  EXPECT_EQ(r->get_matched_publication_data(none, r->get_instance_handle()), RETCODE_BAD_PARAMETER);

  // Changed user data is announced again, whole.
  wq.user_data.value = octets("xyz");
  EXPECT_EQ(w->set_qos(wq), RETCODE_OK);
  EXPECT_TRUE(eventually([&] {
    PublicationBuiltinTopicData x;
    return r->get_matched_publication_data(x, pubs[0]) == RETCODE_OK && text(x.user_data.value) == "xyz";
  }, 3000));
  DataWriterQos back;
  EXPECT_EQ(w->get_qos(back), RETCODE_OK);
  EXPECT_EQ(text(back.user_data.value), "xyz");

  // Deleting the reader's participant unmatches promptly.
  b.destroy();
  EXPECT_TRUE(eventually([&] { return matched_subs(w) == 1; }, 3000));
}

TEST_F(WireDelivery, ParticipantsDiscoverEachOtherWithUserData) {
  DomainParticipantQos qa = PARTICIPANT_QOS_DEFAULT, qb = PARTICIPANT_QOS_DEFAULT;
  qa.user_data.value = OctetSeq{'a', 0, 'b'};
  qb.user_data.value = {};
  ASSERT_TRUE(a.make("wd_disc", false, qa));
  ASSERT_TRUE(b.make("wd_disc", false, qb));
  InstanceHandleSeq seen;
  ASSERT_TRUE(eventually([&] {
    a.participant->get_discovered_participants(seen);
    for (auto& h : seen)
      if (h == b.participant->get_instance_handle()) return true;
    return false;
  }, 5000));
  for (auto& h : seen) EXPECT_NE(h, a.participant->get_instance_handle());
  ParticipantBuiltinTopicData d;
  EXPECT_EQ(a.participant->get_discovered_participant_data(d, b.participant->get_instance_handle()), RETCODE_OK);
  EXPECT_TRUE(d.user_data.value.empty());
  EXPECT_EQ(b.participant->get_discovered_participant_data(d, a.participant->get_instance_handle()), RETCODE_OK);
  EXPECT_EQ(d.user_data.value, qa.user_data.value);
  // A new value reaches the other side.
  qa.user_data.value = octets("abc");
  EXPECT_EQ(a.participant->set_qos(qa), RETCODE_OK);
  EXPECT_TRUE(eventually([&] {
    ParticipantBuiltinTopicData x;
    return b.participant->get_discovered_participant_data(x, a.participant->get_instance_handle()) == RETCODE_OK &&
           text(x.user_data.value) == "abc";
  }, 3000));
  EXPECT_EQ(a.participant->get_discovered_participant_data(d, a.participant->get_instance_handle()),
            RETCODE_BAD_PARAMETER);
}

// Participants discovered before anyone asked are listed at the first ask
// (the discovery reader is made then and gets what is known already).
TEST_F(WireDelivery, FirstAskListsParticipantsDiscoveredBefore) {
  ASSERT_TRUE(a.make("wd_disc_first", true));
  ASSERT_TRUE(b.make("wd_disc_first", true));
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(w && r);
  // Matched both ways: each participant discovered the other.
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 1 && matched_pubs(r) == 1; }, 5000));
  InstanceHandleSeq seen;
  ASSERT_EQ(a.participant->get_discovered_participants(seen), RETCODE_OK);
  EXPECT_NE(std::find(seen.begin(), seen.end(), b.participant->get_instance_handle()), seen.end());
  ParticipantBuiltinTopicData d;
  EXPECT_EQ(b.participant->get_discovered_participant_data(d, a.participant->get_instance_handle()), RETCODE_OK);
}

// The matches Cyclone makes while it creates an endpoint (of endpoints its
// participant already knows) are shown when the creation returns: in the
// matched list and the matched status, marked as a change. An endpoint with
// a listener for its matched status gets the match on the event thread, in
// one call.
TEST_F(WireDelivery, MatchesMadeAtCreationShowWhenItReturns) {
  struct MatchLog : DataWriterListener {
    std::atomic<int> calls{0}, current{0};
    std::atomic<bool> on_creating_thread{false};
    std::thread::id creating = std::this_thread::get_id();
    void on_publication_matched(DataWriter*, const PublicationMatchedStatus& s) override {
      ++calls;
      current = s.current_count;
      if (std::this_thread::get_id() == creating) on_creating_thread = true;
    }
  } log;
  ASSERT_TRUE(a.make("wd_at_creation", false));
  ASSERT_TRUE(b.make("wd_at_creation", false));
  DataReader* own = a.subscriber->create_datareader(a.topic, reader_qos(), nullptr, 0);
  DataReader* other = b.subscriber->create_datareader(b.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(own && other);

  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(w);
  EXPECT_EQ(matched_subs(w), 2u);
  EXPECT_NE(w->get_status_changes() & PUBLICATION_MATCHED_STATUS, 0u);
  PublicationMatchedStatus st;
  ASSERT_EQ(w->get_publication_matched_status(st), RETCODE_OK);
  EXPECT_EQ(st.total_count, 2);
  EXPECT_EQ(st.total_count_change, 2);
  EXPECT_EQ(st.current_count, 2);
  EXPECT_EQ(st.current_count_change, 2);
  EXPECT_TRUE(st.last_subscription_handle == own->get_instance_handle() ||
              st.last_subscription_handle == other->get_instance_handle());
  // A reader made after a writer it can match knows it at once too.
  DataReader* late = b.subscriber->create_datareader(b.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(late);
  EXPECT_EQ(matched_pubs(late), 1u);
  SubscriptionMatchedStatus rs;
  ASSERT_EQ(late->get_subscription_matched_status(rs), RETCODE_OK);
  EXPECT_EQ(rs.current_count, 1);
  EXPECT_TRUE(rs.last_publication_handle == w->get_instance_handle());
  // Nothing is counted twice once the match callbacks' steps have run too.
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 3; }, 5000));
  ASSERT_EQ(w->get_publication_matched_status(st), RETCODE_OK);
  EXPECT_EQ(st.total_count, 3);
  EXPECT_EQ(st.current_count, 3);
  EXPECT_EQ(st.current_count_change, 1);

  DataWriter* heard = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, &log, PUBLICATION_MATCHED_STATUS);
  ASSERT_TRUE(heard);
  EXPECT_TRUE(eventually([&] { return log.current.load() == 3; }, 5000));
  sleep_ms(100);
  EXPECT_EQ(log.calls.load(), 1);
  EXPECT_FALSE(log.on_creating_thread.load()) << "the listener was called on the creating thread";
  a.destroy();  // before the listener goes
}

// A listener that takes in on_data_available gets every sample of a burst,
// also what arrives while it runs; its calls never overlap. A listener installed for other statuses only is
// never called for data.
TEST_F(WireDelivery, DataAvailableListenerSeesEverySampleOfABurst) {
  struct Taker : DataReaderListener {
    std::atomic<int> calls{0}, taken{0}, in_call{0};
    std::atomic<bool> overlapped{false};
    void on_data_available(DataReader* reader) override {
      if (in_call.fetch_add(1) != 0) overlapped = true;
      ++calls;
      SequenceData<KeyedType> d;
      SampleInfoSeq i;
      while (reader->take(d, i, 16, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE) == RETCODE_OK)
        for (uint32_t n = 0; n < i.length(); ++n) taken += i[n].valid_data ? 1 : 0;
      // Still in the call when more arrives: that needs a call of its own.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      in_call.fetch_sub(1);
    }
  } taker, bystander;
  ASSERT_TRUE(a.make("wd_data_listener", true));
  DataReaderQos rq = reader_qos();
  rq.history.kind = KEEP_ALL_HISTORY_QOS;
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.reliability.kind = RELIABLE_RELIABILITY_QOS;
  wq.history.kind = KEEP_ALL_HISTORY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  DataReader* r = a.subscriber->create_datareader(a.topic, rq, &taker, DATA_AVAILABLE_STATUS);
  DataReader* other = a.subscriber->create_datareader(a.topic, rq, &bystander, SUBSCRIPTION_MATCHED_STATUS);
  ASSERT_TRUE(w && r && other);
  ASSERT_TRUE(eventually([&] { return matched_subs(w) == 2; }, 5000));
  constexpr int kBurst = 500;
  for (int n = 0; n < kBurst; ++n) {
    KeyedType s = keyed(n % 7, static_cast<int16_t>(n));
    ASSERT_EQ(w->write(&s, HANDLE_NIL), RETCODE_OK);
  }
  EXPECT_TRUE(eventually([&] { return taker.taken.load() == kBurst; }, 10000)) << taker.taken.load();
  EXPECT_GE(taker.calls.load(), 1);
  EXPECT_FALSE(taker.overlapped.load());
  EXPECT_EQ(bystander.calls.load(), 0);
  // What the bystander's reader holds is there to take.
  EXPECT_EQ(take_at_least<KeyedType>(other, kBurst, 5000).size(), static_cast<size_t>(kBurst));
  a.destroy();  // before the listeners go
}

}  // namespace
