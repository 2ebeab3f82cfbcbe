// Partitions decide whether a writer and a reader match at all: a writer and
// a reader whose partitions do not meet simply do not match, and neither side
// reports an incompatible QoS for it. A real incompatibility between
// endpoints of other partitions is still reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

// Time given to a pair that must not match before its statuses are read.
constexpr int kSettleMs = 500;

struct PartitionCase {
  const char* what;
  StringSeq writer_partitions;  // of the publisher
  StringSeq reader_partitions;  // of the subscriber
  bool match;
};

PublisherQos publisher_in(const StringSeq& partitions) {
  PublisherQos q = PUBLISHER_QOS_DEFAULT;
  q.partition.name = partitions;
  return q;
}

SubscriberQos subscriber_in(const StringSeq& partitions) {
  SubscriberQos q = SUBSCRIBER_QOS_DEFAULT;
  q.partition.name = partitions;
  return q;
}

int32_t offered_incompatible(DataWriter* w, QosPolicyId_t* last = nullptr) {
  OfferedIncompatibleQosStatus st;
  EXPECT_EQ(w->get_offered_incompatible_qos_status(st), RETCODE_OK);
  if (last) *last = st.last_policy_id;
  return st.total_count;
}

int32_t requested_incompatible(DataReader* r, QosPolicyId_t* last = nullptr) {
  RequestedIncompatibleQosStatus st;
  EXPECT_EQ(r->get_requested_incompatible_qos_status(st), RETCODE_OK);
  if (last) *last = st.last_policy_id;
  return st.total_count;
}

class Partitions : public TwoStacks {};

}  // namespace

TEST_F(Partitions, MatchOnlyWhenTheyMeetAndAMismatchIsNoIncompatibility) {
  const std::vector<PartitionCase> cases = {
      {"same name", {"p1"}, {"p1"}, true},
      {"disjoint names", {"p1"}, {"p2"}, false},
      {"one common name of several", {"p1", "p2"}, {"p3", "p2"}, true},
      {"default against default", {}, {}, true},
      {"default writer, reader in a named partition", {}, {"x"}, false},
      {"writer in a named partition, default reader", {"x"}, {}, false},
      {"the empty name is the default partition", {""}, {}, true},
      {"writer pattern meets the reader's name", {"p*"}, {"p1"}, true},
      {"reader pattern meets the writer's name", {"p1"}, {"?1"}, true},
      {"pattern that meets no name", {"q*"}, {"p1"}, false},
  };
  int n = 0;
  for (const PartitionCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string topic = "pt_case_" + std::to_string(n++);
    Stack w_side, r_side;
    ASSERT_TRUE(w_side.make(topic, false, PARTICIPANT_QOS_DEFAULT, publisher_in(c.writer_partitions)));
    ASSERT_TRUE(r_side.make(topic, false, PARTICIPANT_QOS_DEFAULT, PUBLISHER_QOS_DEFAULT,
                            subscriber_in(c.reader_partitions)));
    DataReader* r = r_side.subscriber->create_datareader(r_side.topic, reader_qos(), nullptr, 0);
    DataWriter* w = w_side.publisher->create_datawriter(w_side.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_TRUE(r && w);
    if (c.match) {
      EXPECT_TRUE(eventually([&] { return matched_subs(w) == 1 && matched_pubs(r) == 1; }, 3000));
      FlatRecord f = flat(7);
      EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
      EXPECT_EQ(take_at_least<FlatRecord>(r, 1, 3000).size(), 1u);
    } else {
      sleep_ms(kSettleMs);
      EXPECT_EQ(matched_subs(w), 0u);
      EXPECT_EQ(matched_pubs(r), 0u);
      FlatRecord f = flat(7);
      EXPECT_EQ(w->write(&f, HANDLE_NIL), RETCODE_OK);
      sleep_ms(100);
      EXPECT_TRUE(take_all<FlatRecord>(r).empty());
    }
    EXPECT_EQ(offered_incompatible(w), 0);
    EXPECT_EQ(requested_incompatible(r), 0);
  }
}

// A best-effort writer against a reliable reader is incompatible whatever
// their partitions; other partitions only decide that it is no match.
TEST_F(Partitions, RealIncompatibilityIsReportedAcrossPartitions) {
  PublisherQos pq = publisher_in({"p1"});
  ASSERT_TRUE(a.make("pt_incompatible", false, PARTICIPANT_QOS_DEFAULT, pq));
  ASSERT_TRUE(b.make("pt_incompatible", false, PARTICIPANT_QOS_DEFAULT, PUBLISHER_QOS_DEFAULT, subscriber_in({"p2"})));
  DataReader* r = b.subscriber->create_datareader(b.topic, reader_qos(RELIABLE_RELIABILITY_QOS), nullptr, 0);
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.reliability.kind = BEST_EFFORT_RELIABILITY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  ASSERT_TRUE(r && w);
  QosPolicyId_t offered = 0, requested = 0;
  EXPECT_TRUE(eventually([&] { return offered_incompatible(w, &offered) == 1; }, 3000));
  EXPECT_TRUE(eventually([&] { return requested_incompatible(r, &requested) == 1; }, 3000));
  EXPECT_EQ(offered, RELIABILITY_QOS_POLICY_ID);
  EXPECT_EQ(requested, RELIABILITY_QOS_POLICY_ID);
  EXPECT_EQ(matched_subs(w), 0u);
}

// A writer made where a reader of another partition and an incompatible
// reader of its own partition already exist counts exactly the incompatible
// one, with its policy.
TEST_F(Partitions, OnlyTheIncompatibleReaderCountsWhenBothAreThereFirst) {
  ASSERT_TRUE(a.make("pt_mixed", false, PARTICIPANT_QOS_DEFAULT, publisher_in({"p1"})));
  ASSERT_TRUE(b.make("pt_mixed", false, PARTICIPANT_QOS_DEFAULT, PUBLISHER_QOS_DEFAULT, subscriber_in({"p2"})));
  Subscriber* same = b.participant->create_subscriber(subscriber_in({"p1"}), nullptr, 0);
  ASSERT_TRUE(same);
  DataReader* elsewhere = b.subscriber->create_datareader(b.topic, reader_qos(BEST_EFFORT_RELIABILITY_QOS), nullptr, 0);
  DataReader* demanding = same->create_datareader(b.topic, reader_qos(RELIABLE_RELIABILITY_QOS), nullptr, 0);
  DataReader* fine = same->create_datareader(b.topic, reader_qos(BEST_EFFORT_RELIABILITY_QOS), nullptr, 0);
  ASSERT_TRUE(elsewhere && demanding && fine);
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.reliability.kind = BEST_EFFORT_RELIABILITY_QOS;
  DataWriter* w = a.publisher->create_datawriter(a.topic, wq, nullptr, 0);
  ASSERT_TRUE(w);
  EXPECT_TRUE(eventually([&] { return matched_subs(w) == 1 && matched_pubs(fine) == 1; }, 3000));
  sleep_ms(kSettleMs);
  QosPolicyId_t last = 0;
  EXPECT_EQ(offered_incompatible(w, &last), 1);
  EXPECT_EQ(last, RELIABILITY_QOS_POLICY_ID);
  EXPECT_EQ(requested_incompatible(demanding), 1);
  EXPECT_EQ(requested_incompatible(elsewhere), 0);
  EXPECT_EQ(requested_incompatible(fine), 0);
  EXPECT_EQ(matched_pubs(elsewhere), 0u);
  EXPECT_EQ(matched_subs(w), 1u);
}

// A partition name holding a NUL is refused wherever a partition is set:
// Cyclone would cut it there, so that "p\0A" and "p\0B" met each other and
// "p". Writers and readers in a group whose change was refused stay in
// their partition, and deliver, or receive, nothing across.
TEST_F(Partitions, NamesHoldingANulAreRefusedAndNeverMeet) {
  using namespace std::string_literals;
  const std::vector<StringSeq> refused = {{"p\0A"s}, {"p\0B"s}, {"\0"s}, {"p\0"s}, {"q", "p\0B"s}};
  ASSERT_TRUE(a.make("pt_nul", false, PARTICIPANT_QOS_DEFAULT, publisher_in({"p"})));
  ASSERT_TRUE(b.make("pt_nul", false, PARTICIPANT_QOS_DEFAULT, PUBLISHER_QOS_DEFAULT, subscriber_in({"p"})));
  Publisher* other_pub = a.participant->create_publisher(publisher_in({"r"}), nullptr, 0);
  Subscriber* other_sub = b.participant->create_subscriber(subscriber_in({"q"}), nullptr, 0);
  ASSERT_TRUE(other_pub && other_sub);
  PublisherQos default_pub;
  SubscriberQos default_sub;
  ASSERT_EQ(a.participant->get_default_publisher_qos(default_pub), RETCODE_OK);
  ASSERT_EQ(b.participant->get_default_subscriber_qos(default_sub), RETCODE_OK);
  for (const StringSeq& names : refused) {
    SCOPED_TRACE(::testing::PrintToString(names));
    EXPECT_EQ(a.participant->create_publisher(publisher_in(names), nullptr, 0), nullptr);
    EXPECT_EQ(b.participant->create_subscriber(subscriber_in(names), nullptr, 0), nullptr);
    EXPECT_EQ(other_pub->set_qos(publisher_in(names)), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(other_sub->set_qos(subscriber_in(names)), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(a.participant->set_default_publisher_qos(publisher_in(names)), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(b.participant->set_default_subscriber_qos(subscriber_in(names)), RETCODE_BAD_PARAMETER);
  }
  PublisherQos pq;
  SubscriberQos sq;
  ASSERT_EQ(other_pub->get_qos(pq), RETCODE_OK);
  ASSERT_EQ(other_sub->get_qos(sq), RETCODE_OK);
  EXPECT_EQ(pq.partition.name, StringSeq{"r"});
  EXPECT_EQ(sq.partition.name, StringSeq{"q"});
  ASSERT_EQ(a.participant->get_default_publisher_qos(pq), RETCODE_OK);
  ASSERT_EQ(b.participant->get_default_subscriber_qos(sq), RETCODE_OK);
  EXPECT_EQ(pq, default_pub);
  EXPECT_EQ(sq, default_sub);

  // In "p": the writer meets the reader of "p" only; the writer of "r"
  // meets no reader.
  DataWriter* w = a.publisher->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataWriter* w_other = other_pub->create_datawriter(a.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = b.subscriber->create_datareader(b.topic, reader_qos(), nullptr, 0);
  DataReader* r_other = other_sub->create_datareader(b.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(w && w_other && r && r_other);
  EXPECT_TRUE(eventually([&] { return matched_subs(w) == 1 && matched_pubs(r) == 1; }, 3000));
  sleep_ms(kSettleMs);
  EXPECT_EQ(matched_subs(w), 1u);
  EXPECT_EQ(matched_pubs(r), 1u);
  EXPECT_EQ(matched_subs(w_other), 0u);
  EXPECT_EQ(matched_pubs(r_other), 0u);
  FlatRecord one = flat(1), two = flat(2);
  EXPECT_EQ(w->write(&one, HANDLE_NIL), RETCODE_OK);
  EXPECT_EQ(w_other->write(&two, HANDLE_NIL), RETCODE_OK);
  const auto got = take_at_least<FlatRecord>(r, 1, 3000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, 1);
  sleep_ms(100);
  EXPECT_TRUE(take_all<FlatRecord>(r).empty());
  EXPECT_TRUE(take_all<FlatRecord>(r_other).empty());
}
