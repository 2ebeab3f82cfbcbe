// What another process sees of every entity kind's announced QoS: each field
// set at creation to a value of its own (no default, no two fields of one
// policy alike, so that a dropped or swapped field shows), then changed on
// the enabled entities. Changes Cyclone makes in place reach the other
// process on the same endpoints, which stay matched; a partition change
// makes the endpoints again, which the other process sees as new matches,
// and the reader made again gets no history twice. Deadline and
// latency budget changes stay local: the other process keeps the values
// announced when the endpoint was made. The announcer's writer is best
// effort with a latency budget, and what it writes arrives. The other
// process is this binary started with QV_WIRE_CHILD=announcer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

const std::string kTopic = "xp_qos_change";

Duration_t d(int32_t sec, uint32_t nanosec) { return Duration_t{sec, nanosec}; }

// ------------------------------------------------------------ the values
// The announcer's QoS as created; change_in_place() and change_partitions()
// are what it changes on the enabled entities.
struct Announced {
  DomainParticipantQos participant;
  TopicQos topic;
  PublisherQos publisher;
  SubscriberQos subscriber;
  DataWriterQos writer;
  DataReaderQos reader;

  Announced() {
    participant.user_data.value = octets("participant-1");
    topic.topic_data.value = octets("topic-1");
    publisher.partition.name = {"wpA", "wpB"};
    publisher.group_data.value = octets("publisher-1");
    publisher.presentation = {GROUP_PRESENTATION_QOS, true, false};
    subscriber.partition.name = {"rpA"};
    subscriber.group_data.value = octets("subscriber-1");
    subscriber.presentation = {TOPIC_PRESENTATION_QOS, false, true};

    writer.durability.kind = TRANSIENT_DURABILITY_QOS;
    writer.durability_service = {d(7, 700000001), KEEP_ALL_HISTORY_QOS, 9, 900, 90, 30};
    writer.deadline.period = d(2, 200000002);
    writer.latency_budget.duration = d(1, 100000001);
    writer.liveliness = {MANUAL_BY_TOPIC_LIVELINESS_QOS, d(6, 600000006)};
    writer.reliability = {BEST_EFFORT_RELIABILITY_QOS, d(3, 300000003)};
    writer.lifespan.duration = d(8, 800000008);
    writer.user_data.value = octets("writer-1");
    writer.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    writer.ownership_strength.value = 41;
    writer.destination_order.kind = BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS;

    reader.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    reader.deadline.period = d(4, 400000004);
    reader.latency_budget.duration = d(5, 500000005);
    reader.liveliness = {MANUAL_BY_PARTICIPANT_LIVELINESS_QOS, d(9, 900000009)};
    reader.reliability = {RELIABLE_RELIABILITY_QOS, d(10, 100000010)};
    reader.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    reader.destination_order.kind = BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS;
    reader.user_data.value = octets("reader-1");
    reader.time_based_filter.minimum_separation = d(1, 110000011);
  }

  // Every changeable announced policy but the partitions, and deadline and
  // latency budget, which change locally only.
  void change_in_place() {
    participant.user_data.value = octets("participant-2");
    topic.topic_data.value = octets("topic-2");
    publisher.group_data.value = octets("publisher-2");
    subscriber.group_data.value = octets("subscriber-2");
    writer.user_data.value = octets("writer-2");
    writer.ownership_strength.value = 43;
    writer.lifespan.duration = d(12, 120000012);
    writer.deadline.period = d(2, 300000003);
    writer.latency_budget.duration = d(1, 200000002);
    reader.user_data.value = octets("reader-2");
    reader.time_based_filter.minimum_separation = d(2, 220000022);
    reader.deadline.period = d(4, 500000005);
    reader.latency_budget.duration = d(5, 600000006);
  }
  // With the time-based filter off, which would also leave out history
  // delivered again (its samples are no later than those taken before).
  void change_partitions() {
    publisher.partition.name = {"wpC"};
    subscriber.partition.name = {"rpB"};
    reader.time_based_filter.minimum_separation = DURATION_ZERO;
  }
};

std::string handle_hex(const InstanceHandle_t& h) { return hex(h.value, 16); }
InstanceHandle_t handle_of(const std::string& s) {
  InstanceHandle_t h = HANDLE_NIL;
  unhex(s, h.value, 16);
  return h;
}

// ------------------------------------------------------------ the announcer
// Makes the entities, says "HANDLES <participant> <writer> <reader>", then
// on "in_place" and "partitions" changes them and says the handles again
// ("CHANGED ..."). Its writer writes key 1 on "write"; its reader reports
// how many samples it took so far on "count" ("TOOK <n>"); "matches" gives
// the current and total counts of its writer's and its reader's matched
// statuses ("MATCHES <w current> <w total> <r current> <r total>").
int child_announcer() {
  Announced a;
  Stack s;
  if (!s.make(kTopic, true, a.participant, a.publisher, a.subscriber, a.topic)) return 2;
  DataWriter* w = s.publisher->create_datawriter(s.topic, a.writer, nullptr, 0);
  DataReader* r = s.subscriber->create_datareader(s.topic, a.reader, nullptr, 0);
  if (!w || !r) return 3;
  auto handles = [&] {
    return handle_hex(s.participant->get_instance_handle()) + " " + handle_hex(w->get_instance_handle()) + " " +
           handle_hex(r->get_instance_handle());
  };
  tell_parent("HANDLES " + handles());
  size_t took = 0;
  for (;;) {
    const std::string line = parent_line(30000);
    if (line == "in_place" || line == "partitions") {
      if (line == "in_place") a.change_in_place();
      else a.change_partitions();
      if (s.participant->set_qos(a.participant) != RETCODE_OK || s.topic->set_qos(a.topic) != RETCODE_OK ||
          s.publisher->set_qos(a.publisher) != RETCODE_OK || s.subscriber->set_qos(a.subscriber) != RETCODE_OK ||
          w->set_qos(a.writer) != RETCODE_OK || r->set_qos(a.reader) != RETCODE_OK)
        return 4;
      tell_parent("CHANGED " + handles());
    } else if (line == "write") {
      KeyedType k = keyed(1);
      if (w->write(&k, HANDLE_NIL) != RETCODE_OK) return 5;
      tell_parent("WROTE");
    } else if (line == "count") {
      took += take_all<KeyedType>(r).size();
      tell_parent("TOOK " + std::to_string(took));
    } else if (line == "matches") {
      PublicationMatchedStatus wm;
      SubscriptionMatchedStatus rm;
      w->get_publication_matched_status(wm);
      r->get_subscription_matched_status(rm);
      tell_parent("MATCHES " + std::to_string(wm.current_count) + " " + std::to_string(wm.total_count) + " " +
                  std::to_string(rm.current_count) + " " + std::to_string(rm.total_count));
    } else {
      return line == "quit" ? 0 : 6;
    }
  }
}

const bool g_child = [] {
  run_child_if_requested({{"announcer", child_announcer}});
  return true;
}();

// ------------------------------------------------------------ the checks

template <typename T>
void expect_field(const char* name, const T& got, const T& want) {
  EXPECT_TRUE(got == want) << name << " is not what the other process announced";
}

// The identity of one of the other process's endpoints as this side reads it.
template <typename Data>
void expect_endpoint(const Data& got, const std::string& key, const std::string& participant_key) {
  EXPECT_EQ(hex(got.key.value, 16), key);
  EXPECT_EQ(hex(got.participant_key.value, 16), participant_key);
  EXPECT_EQ(got.topic_name, kTopic);
  EXPECT_EQ(got.type_name, "KeyedType");
}

// Every field of the other process's writer as this side reads it.
void expect_publication(const PublicationBuiltinTopicData& got, const Announced& a, const std::string& key,
                        const std::string& participant_key) {
  expect_endpoint(got, key, participant_key);
  expect_field("durability", got.durability, a.writer.durability);
  expect_field("durability_service", got.durability_service, a.writer.durability_service);
  expect_field("deadline", got.deadline, a.writer.deadline);
  expect_field("latency_budget", got.latency_budget, a.writer.latency_budget);
  expect_field("liveliness", got.liveliness, a.writer.liveliness);
  expect_field("reliability", got.reliability, a.writer.reliability);
  expect_field("lifespan", got.lifespan, a.writer.lifespan);
  expect_field("user_data", got.user_data, a.writer.user_data);
  expect_field("ownership", got.ownership, a.writer.ownership);
  expect_field("ownership_strength", got.ownership_strength, a.writer.ownership_strength);
  expect_field("destination_order", got.destination_order, a.writer.destination_order);
  expect_field("presentation", got.presentation, a.publisher.presentation);
  expect_field("partition", got.partition, a.publisher.partition);
  expect_field("topic_data", got.topic_data, a.topic.topic_data);
  expect_field("group_data", got.group_data, a.publisher.group_data);
}

void expect_subscription(const SubscriptionBuiltinTopicData& got, const Announced& a, const std::string& key,
                         const std::string& participant_key) {
  expect_endpoint(got, key, participant_key);
  expect_field("durability", got.durability, a.reader.durability);
  expect_field("deadline", got.deadline, a.reader.deadline);
  expect_field("latency_budget", got.latency_budget, a.reader.latency_budget);
  expect_field("liveliness", got.liveliness, a.reader.liveliness);
  expect_field("reliability", got.reliability, a.reader.reliability);
  expect_field("ownership", got.ownership, a.reader.ownership);
  expect_field("destination_order", got.destination_order, a.reader.destination_order);
  expect_field("user_data", got.user_data, a.reader.user_data);
  expect_field("time_based_filter", got.time_based_filter, a.reader.time_based_filter);
  expect_field("presentation", got.presentation, a.subscriber.presentation);
  expect_field("partition", got.partition, a.subscriber.partition);
  expect_field("topic_data", got.topic_data, a.topic.topic_data);
  expect_field("group_data", got.group_data, a.subscriber.group_data);
}

// This side: a reader that takes whatever the announcer's writer offers and
// a writer that offers whatever its reader asks, in partitions that meet the
// announcer's before and after its partition change.
struct Observer {
  Stack s;
  DataWriter* writer = nullptr;
  DataReader* reader = nullptr;

  bool make() {
    PublisherQos pq;
    pq.partition.name = {"rpA", "rpB"};
    pq.presentation = {GROUP_PRESENTATION_QOS, true, true};
    SubscriberQos sq;
    sq.partition.name = {"wpA", "wpB", "wpC"};
    if (!s.make(kTopic, true, PARTICIPANT_QOS_DEFAULT, pq, sq)) return false;
    DataWriterQos wq;
    wq.durability.kind = PERSISTENT_DURABILITY_QOS;
    wq.deadline.period = ms_duration(50);
    wq.liveliness = {MANUAL_BY_TOPIC_LIVELINESS_QOS, d(9, 0)};
    wq.reliability.kind = RELIABLE_RELIABILITY_QOS;
    wq.destination_order.kind = BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS;
    wq.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    DataReaderQos rq;
    rq.latency_budget.duration = DURATION_INFINITE;
    rq.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    writer = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
    reader = s.subscriber->create_datareader(s.topic, rq, nullptr, 0);
    return writer && reader;
  }
  SubscriptionMatchedStatus reader_matches() {
    SubscriptionMatchedStatus st;
    reader->get_subscription_matched_status(st);
    return st;
  }
  PublicationMatchedStatus writer_matches() {
    PublicationMatchedStatus st;
    writer->get_publication_matched_status(st);
    return st;
  }
};

class QosChangeCrossProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    o.s.destroy();
    DomainParticipantFactory::finalize();
  }

  // The announcer's handles from its line.
  bool read_handles(const char* prefix) {
    std::string rest;
    if (!child->expect(prefix, rest, 15000) || rest.size() != 3 * 32 + 2) return false;
    participant = rest.substr(0, 32);
    writer = rest.substr(33, 32);
    reader = rest.substr(66, 32);
    return true;
  }
  // What this side reads of the announcer, once it shows `want` (or after
  // the time-out, as it is then).
  void expect_announced(const Announced& want) {
    ParticipantBuiltinTopicData pd;
    PublicationBuiltinTopicData wd;
    SubscriptionBuiltinTopicData rd;
    auto all = [&] {
      return o.s.participant->get_discovered_participant_data(pd, handle_of(participant)) == RETCODE_OK &&
             o.reader->get_matched_publication_data(wd, handle_of(writer)) == RETCODE_OK &&
             o.writer->get_matched_subscription_data(rd, handle_of(reader)) == RETCODE_OK;
    };
    auto shows = [&] {
      return all() && pd.user_data == want.participant.user_data && wd.user_data == want.writer.user_data &&
             wd.group_data == want.publisher.group_data && wd.partition == want.publisher.partition &&
             wd.topic_data == want.topic.topic_data && rd.user_data == want.reader.user_data &&
             rd.time_based_filter == want.reader.time_based_filter && rd.partition == want.subscriber.partition;
    };
    eventually(shows, 10000);
    ASSERT_TRUE(all()) << "the announcer's participant, writer or reader is not (or no longer) known here";
    EXPECT_EQ(hex(pd.key.value, 16), participant);
    expect_field("participant user_data", pd.user_data, want.participant.user_data);
    {
      SCOPED_TRACE("the announcer's writer");
      expect_publication(wd, want, writer, participant);
    }
    {
      SCOPED_TRACE("the announcer's reader");
      expect_subscription(rd, want, reader, participant);
    }
  }
  // The announcer's own matched statuses, as "<w current> <w total> <r current> <r total>".
  std::string own_matches() {
    child->send("matches");
    std::string m;
    return child->expect("MATCHES ", m, 10000) ? m : "no answer";
  }
  size_t took() {
    child->send("count");
    std::string n;
    return child->expect("TOOK ", n, 10000) ? std::stoul(n) : static_cast<size_t>(-1);
  }

  Observer o;
  std::unique_ptr<Child> child;
  std::string participant, writer, reader;
};

}  // namespace

TEST_F(QosChangeCrossProcess, EveryAnnouncedFieldAndEveryChangeReachTheOtherProcess) {
  ASSERT_TRUE(o.make());
  child = std::make_unique<Child>("announcer");
  ASSERT_TRUE(child->ok());
  Announced a;
  ASSERT_TRUE(read_handles("HANDLES "));
  {
    SCOPED_TRACE("as created");
    expect_announced(a);
  }
  ASSERT_TRUE(eventually([&] { return o.reader_matches().current_count == 1 && o.writer_matches().current_count == 1; },
                         10000));
  // A sample each way: the announcer's writer's instance, and history for
  // the announcer's transient-local reader.
  KeyedType seven = keyed(7);
  ASSERT_EQ(o.writer->write(&seven, HANDLE_NIL), RETCODE_OK);
  ASSERT_TRUE(eventually([&] { return took() == 1; }, 5000));
  child->send("write");
  std::string rest;
  ASSERT_TRUE(child->expect("WROTE", rest, 5000));
  const auto first = take_at_least<KeyedType>(o.reader, 1, 5000);
  ASSERT_EQ(first.size(), 1u);

  // In place: the same endpoints announce the new values and stay matched;
  // deadline and latency budget keep the values announced at enabling.
  const std::string writer_before = writer, reader_before = reader;
  child->send("in_place");
  ASSERT_TRUE(read_handles("CHANGED "));
  EXPECT_EQ(writer, writer_before);
  EXPECT_EQ(reader, reader_before);
  Announced seen = a;
  seen.change_in_place();
  seen.writer.deadline = a.writer.deadline;
  seen.writer.latency_budget = a.writer.latency_budget;
  seen.reader.deadline = a.reader.deadline;
  seen.reader.latency_budget = a.reader.latency_budget;
  {
    SCOPED_TRACE("changed in place");
    expect_announced(seen);
  }
  EXPECT_EQ(o.reader_matches().total_count, 1) << "the writer's match ended and came again";
  EXPECT_EQ(o.writer_matches().total_count, 1) << "the reader's match ended and came again";
  EXPECT_EQ(own_matches(), "1 1 1 1");

  // Partitions: the endpoints are made again, under new handles, and match
  // anew; the reader gets no history twice, and what is written afterwards
  // arrives both ways.
  child->send("partitions");
  ASSERT_TRUE(read_handles("CHANGED "));
  EXPECT_NE(writer, writer_before);
  EXPECT_NE(reader, reader_before);
  // Made again, they are made from the QoS as it is now: deadline and
  // latency budget too.
  seen = a;
  seen.change_in_place();
  seen.change_partitions();
  {
    SCOPED_TRACE("partitions changed");
    expect_announced(seen);
  }
  EXPECT_TRUE(eventually([&] { return o.reader_matches().current_count == 1 && o.writer_matches().current_count == 1; },
                         10000));
  const SubscriptionMatchedStatus rm = o.reader_matches();
  const PublicationMatchedStatus wm = o.writer_matches();
  EXPECT_EQ(rm.current_count, 1);
  EXPECT_EQ(rm.total_count, 2);
  EXPECT_EQ(wm.current_count, 1);
  EXPECT_EQ(wm.total_count, 2);
  std::printf("after the partition change: this reader matched %d (%d in all), this writer %d (%d in all)\n",
              rm.current_count, rm.total_count, wm.current_count, wm.total_count);
  // The endpoints made again count their old matches out and the new in.
  std::string own;
  EXPECT_TRUE(eventually([&] { return (own = own_matches()) == "1 2 1 2"; }, 5000)) << own;

  sleep_ms(500);
  EXPECT_EQ(took(), 1u) << "the reader made again got this writer's history again";
  KeyedType eight = keyed(8);
  ASSERT_EQ(o.writer->write(&eight, HANDLE_NIL), RETCODE_OK);
  EXPECT_TRUE(eventually([&] { return took() == 2; }, 5000)) << "what is written now arrives";

  child->send("write");
  ASSERT_TRUE(child->expect("WROTE", rest, 5000));
  std::vector<SampleInfo> infos;
  std::vector<std::pair<int32_t, SampleInfo>> again;
  eventually([&] {
    auto more = take_all<KeyedType>(o.reader, &infos);
    again.insert(again.end(), more.begin(), more.end());
    return !again.empty();
  }, 5000);
  // What this reader saw of the instance meanwhile: Cyclone disposes a
  // writer's instances as it deletes the writer.
  for (const SampleInfo& i : infos)
    if (!i.valid_data) std::printf("the writer's move: a notice, instance state %d\n", i.instance_state);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].second.instance_state, ALIVE_INSTANCE_STATE);

  child->send("quit");
  int status = 0;
  EXPECT_TRUE(child->wait_exit(10000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "announcer status " << status;
}
