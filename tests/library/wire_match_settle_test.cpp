// Each match settles on its own: an endpoint that already has a match and
// gets a second one shortly before the first is shown still shows the second
// only kMatchSettleNs after it was made, on the reader's and on the writer's
// side, in one process and against a writer in another process that writes
// the moment it sees its match. A match that ends while it settles is never
// shown.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "wire/endpoint.h"
#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr auto kSettle = std::chrono::nanoseconds(wire::kMatchSettleNs);

// One clock for both processes.
int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

// The matched list and the matched status of one reader or writer.
struct Matches {
  size_t listed = 0;
  int32_t total = 0, current = 0;
};
Matches matches_of(DataReader* r) {
  SubscriptionMatchedStatus st;
  r->get_subscription_matched_status(st);
  return {matched_pubs(r), st.total_count, st.current_count};
}
Matches matches_of(DataWriter* w) {
  PublicationMatchedStatus st;
  w->get_publication_matched_status(st);
  return {matched_subs(w), st.total_count, st.current_count};
}

// The local side that is watched, and the remote endpoints that match it.
struct Side {
  const char* name;
  bool watch_reader;  // a reader matched by writers, or a writer matched by readers
};
constexpr Side kSides[] = {{"reader", true}, {"writer", false}};

// The watched endpoint on s, and the endpoints on peer that match it.
struct Fixture {
  Stack s, peer;
  DataReader* reader = nullptr;
  DataWriter* writer = nullptr;
  bool watch_reader;
  explicit Fixture(const std::string& topic, bool watch) : watch_reader(watch) {
    if (!s.make(topic, false) || !peer.make(topic, false)) return;
    if (watch) reader = s.subscriber->create_datareader(s.topic, reader_qos(), nullptr, 0);
    else writer = s.publisher->create_datawriter(s.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  }
  bool ok() const { return reader || writer; }
  Matches watched() { return watch_reader ? matches_of(reader) : matches_of(writer); }
  // A new endpoint on peer that matches the watched one.
  Entity* counterpart() {
    if (watch_reader) return peer.publisher->create_datawriter(peer.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    return peer.subscriber->create_datareader(peer.topic, reader_qos(), nullptr, 0);
  }
  void remove(Entity* e) {
    if (watch_reader) {
      DataWriter* w = static_cast<DataWriter*>(e);
      peer.publisher->delete_datawriter(w);
    } else {
      DataReader* r = static_cast<DataReader*>(e);
      peer.subscriber->delete_datareader(r);
    }
  }
  ~Fixture() {
    peer.destroy();
    s.destroy();
    DomainParticipantFactory::finalize();
  }
};

TEST(WireMatchSettle, ASecondMatchSettlesFromItsOwnStartNotFromTheFirst) {
  for (const Side& side : kSides) {
    SCOPED_TRACE(side.name);
    Fixture f(std::string("settle_second_") + side.name, side.watch_reader);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f.counterpart());
    // The second comes three quarters into the first one's settling.
    std::this_thread::sleep_for(kSettle * 3 / 4);
    const auto before_second = SteadyClock::now();
    ASSERT_TRUE(f.counterpart());
    bool first_shown_alone = false;
    SteadyClock::time_point second_shown{};
    ASSERT_TRUE(eventually(
        [&] {
          const Matches m = f.watched();
          if (m.listed == 1 && m.total == 1 && m.current == 1) first_shown_alone = true;
          if (m.listed < 2 && m.total < 2 && m.current < 2) return false;
          second_shown = SteadyClock::now();
          return true;
        },
        5000));
    EXPECT_GE(second_shown - before_second, kSettle)
        << "shown after " << std::chrono::duration<double, std::milli>(second_shown - before_second).count() << " ms";
    // On an idle machine the first is shown before the second comes in;
    // under load the two may come together, which is no fault.
    if (!first_shown_alone) std::printf("%s: the first match was not seen alone\n", side.name);
    const Matches m = f.watched();
    EXPECT_EQ(m.listed, 2u);
    EXPECT_EQ(m.total, 2);
    EXPECT_EQ(m.current, 2);
  }
}

TEST(WireMatchSettle, AMatchThatEndsWhileItSettlesIsNeverShown) {
  for (const Side& side : kSides) {
    SCOPED_TRACE(side.name);
    Fixture f(std::string("settle_gone_") + side.name, side.watch_reader);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f.counterpart());
    std::this_thread::sleep_for(kSettle * 3 / 4);
    const auto made = SteadyClock::now();
    Entity* brief = f.counterpart();
    ASSERT_TRUE(brief);
    // Gone after the first match settled, before its own settled.
    std::this_thread::sleep_until(made + kSettle / 2);
    const bool in_time = SteadyClock::now() < made + kSettle;
    f.remove(brief);
    ASSERT_TRUE(eventually([&] { return f.watched().total >= 1; }, 5000));
    std::this_thread::sleep_for(kSettle * 2);
    const Matches m = f.watched();
    EXPECT_EQ(m.listed, 1u);
    EXPECT_EQ(m.current, 1);
    if (in_time) {
      EXPECT_EQ(m.total, 1) << "a match that ended while it settled was counted";
    }
  }
}

// The other process: a writer on QV_WIRE_TOPIC that reports "CREATED <time>",
// and the moment it sees two matched readers writes 5 samples and reports
// "WROTE <time>" (the time it saw the second match).
int child_second_match_writer() {
  Stack s;
  if (!s.make(env_or("QV_WIRE_TOPIC", "settle_remote"), false)) return 2;
  DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
  wq.history.depth = 10;
  DataWriter* w = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
  if (!w) return 3;
  tell_parent("CREATED " + std::to_string(now_ns()));
  if (!eventually([&] { return matched_subs(w) >= 2; }, 10000)) return 4;
  const int64_t seen = now_ns();
  for (int i = 0; i < 5; ++i) {
    FlatRecord f = flat(i);
    if (w->write(&f, HANDLE_NIL) != RETCODE_OK) return 5;
  }
  tell_parent("WROTE " + std::to_string(seen));
  parent_line(10000);
  return 0;
}

const bool g_child = [] {
  run_child_if_requested({{"second_match_writer", child_second_match_writer}});
  return true;
}();

// A remote writer matched by a reader here gets a second reader, in a new
// participant here, shortly before its first match settles: it sees that
// match no earlier than kMatchSettleNs later, and what it writes then
// reaches the new reader whole.
TEST(WireMatchSettle, ARemoteWriterSeesASecondReaderOnlyOnceItSettledAndItAllArrives) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const std::string topic = "settle_remote_" + std::to_string(::getpid()) + "_" + std::to_string(round);
    Stack first, second;
    ASSERT_TRUE(first.make(topic, false));
    ASSERT_TRUE(first.subscriber->create_datareader(first.topic, reader_qos(), nullptr, 0));
    Child child("second_match_writer", {{"QV_WIRE_TOPIC", topic}});
    std::string rest;
    ASSERT_TRUE(child.expect("CREATED ", rest, 10000));
    const int64_t created = std::stoll(rest);
    // Three quarters into the settling of the writer's first match, counted
    // from its creation (its first match is no earlier).
    std::this_thread::sleep_until(SteadyClock::time_point(std::chrono::nanoseconds(created)) + kSettle * 3 / 4);
    const int64_t before_second = now_ns();
    ASSERT_TRUE(second.make(topic, false));
    DataReader* r = second.subscriber->create_datareader(second.topic, reader_qos(), nullptr, 0);
    ASSERT_TRUE(r);
    ASSERT_TRUE(child.expect("WROTE ", rest, 10000));
    EXPECT_GE(std::stoll(rest) - before_second, wire::kMatchSettleNs);
    const auto got = take_at_least<FlatRecord>(r, 5, 5000);
    std::string values;
    for (auto& g : got) values += " " + std::to_string(g.first);
    EXPECT_EQ(values, " 0 1 2 3 4");
    child.send("quit");
    EXPECT_TRUE(child.wait_exit(10000));
    second.destroy();
    first.destroy();
  }
  DomainParticipantFactory::finalize();
}

}  // namespace
