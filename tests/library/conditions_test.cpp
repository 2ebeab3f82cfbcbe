// Guard, status, read and query conditions and wait sets: trigger values,
// wake-ups during a wait, time-outs, and the unlinking of conditions and wait
// sets destroyed in either order.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "conditions/condition_impl.h"
#include "conditions/read_condition_impl.h"
#include "conditions/status_condition_impl.h"
#include "quorvela/conditions.h"
#include "quorvela/entities.h"
#include "wire_test_util.h"

using namespace QUORVELA;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

Duration_t ms(int32_t n) { return Duration_t{n / 1000, static_cast<uint32_t>(n % 1000) * 1000000u}; }

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

bool contains(const ConditionSeq& seq, const Condition* c) {
  return std::find(seq.begin(), seq.end(), c) != seq.end();
}

// Runs f on another thread after a delay; joined on destruction.
class Later {
 public:
  template <typename F>
  Later(int delay_ms, F f) : t_([delay_ms, f] {
      std::this_thread::sleep_for(milliseconds(delay_ms));
      f();
    }) {}
  ~Later() { t_.join(); }

 private:
  std::thread t_;
};

}  // namespace

// ------------------------------------------------------------ guard + wait set

TEST(WaitSetTest, UntriggeredGuardTimesOutAfterTheFullTimeout) {
  WaitSet ws;
  GuardCondition guard;
  EXPECT_FALSE(guard.get_trigger_value());
  ASSERT_EQ(ws.attach_condition(guard), RETCODE_OK);
  ConditionSeq active{&guard};  // stale content is replaced
  auto t0 = Clock::now();
  EXPECT_EQ(ws.wait(active, ms(400)), RETCODE_TIMEOUT);
  long took = elapsed_ms(t0);
  EXPECT_GE(took, 400);
  EXPECT_LT(took, 2400);
  EXPECT_TRUE(active.empty());

  // Nothing attached: also a time-out, not an error. A zero time-out polls.
  WaitSet empty;
  EXPECT_EQ(empty.wait(active, ms(50)), RETCODE_TIMEOUT);
  EXPECT_EQ(ws.wait(active, DURATION_ZERO), RETCODE_TIMEOUT);
}

TEST(WaitSetTest, TriggeredGuardReturnsAtOnceAndStaysTriggered) {
  WaitSet ws;
  GuardCondition guard, other;
  ASSERT_EQ(ws.attach_condition(guard), RETCODE_OK);
  ASSERT_EQ(ws.attach_condition(other), RETCODE_OK);
  EXPECT_EQ(guard.set_trigger_value(true), RETCODE_OK);
  EXPECT_TRUE(guard.get_trigger_value());
  ConditionSeq active;
  for (int round = 0; round < 2; ++round) {  // wait does not reset the trigger
    auto t0 = Clock::now();
    EXPECT_EQ(ws.wait(active, ms(5000)), RETCODE_OK);
    EXPECT_LT(elapsed_ms(t0), 1000);
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0], &guard);
  }
  EXPECT_EQ(ws.wait(active, DURATION_ZERO), RETCODE_OK);
  ASSERT_EQ(other.set_trigger_value(true), RETCODE_OK);
  EXPECT_EQ(ws.wait(active, ms(100)), RETCODE_OK);
  EXPECT_EQ(active.size(), 2u);
  EXPECT_TRUE(contains(active, &guard) && contains(active, &other));

  ASSERT_EQ(guard.set_trigger_value(false), RETCODE_OK);
  ASSERT_EQ(other.set_trigger_value(false), RETCODE_OK);
  EXPECT_EQ(ws.wait(active, ms(100)), RETCODE_TIMEOUT);
}

TEST(WaitSetTest, TriggerDuringTheWaitWakesIt) {
  WaitSet ws;
  GuardCondition guard;
  ASSERT_EQ(ws.attach_condition(guard), RETCODE_OK);
  ConditionSeq active;
  auto t0 = Clock::now();
  {
    Later trigger(150, [&] { guard.set_trigger_value(true); });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
  long took = elapsed_ms(t0);
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 3000);
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0], &guard);

  // A condition attached during the wait that is already triggered wakes it too.
  WaitSet ws2;
  GuardCondition late;
  late.set_trigger_value(true);
  t0 = Clock::now();
  {
    Later attach(150, [&] { ws2.attach_condition(late); });
    EXPECT_EQ(ws2.wait(active, ms(10000)), RETCODE_OK);
  }
  EXPECT_LT(elapsed_ms(t0), 3000);
  EXPECT_TRUE(contains(active, &late));
}

// A change that comes after the waiter read a condition's trigger value but
// before it sleeps still wakes it: the condition below changes (and notifies,
// from another thread) while its old value is being read.
TEST(WaitSetTest, ChangeDuringTheReadOfTheTriggerWakesTheWaiter) {
  class ChangesWhileRead : public Condition {
   public:
    bool get_trigger_value() override {
      const bool seen = value_.load();
      if (!seen && change_during_read_.exchange(false)) {
        std::thread([this] {
          value_ = true;
          detail::notify_condition(*this);
        }).join();
      }
      return seen;
    }
    ~ChangesWhileRead() override { detail::unlink_condition(*this); }
    std::atomic<bool> value_{false}, change_during_read_{true};
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    WaitSet ws;
    ChangesWhileRead c;
    GuardCondition unrelated;
    ASSERT_EQ(ws.attach_condition(unrelated), RETCODE_OK);
    ASSERT_EQ(ws.attach_condition(c), RETCODE_OK);
    if (round == 1) {
      // A wait that timed out before leaves nothing behind that would hide
      // the change.
      c.change_during_read_ = false;
      ConditionSeq none;
      EXPECT_EQ(ws.wait(none, ms(20)), RETCODE_TIMEOUT);
      c.change_during_read_ = true;
    }
    ConditionSeq active;
    const auto t0 = Clock::now();
    EXPECT_EQ(ws.wait(active, ms(3000)), RETCODE_OK);
    EXPECT_LT(elapsed_ms(t0), 2000);
    EXPECT_TRUE(contains(active, &c));
  }
}

TEST(WaitSetTest, OneConditionWakesEveryWaitSetItIsAttachedTo) {
  WaitSet a, b;
  GuardCondition guard;
  ASSERT_EQ(a.attach_condition(guard), RETCODE_OK);
  ASSERT_EQ(b.attach_condition(guard), RETCODE_OK);
  std::atomic<ReturnCode_t> rb{RETCODE_ERROR};
  std::thread waiter([&] {
    ConditionSeq active;
    rb = b.wait(active, ms(10000));
  });
  ConditionSeq active;
  ReturnCode_t ra;
  {
    Later trigger(150, [&] { guard.set_trigger_value(true); });
    ra = a.wait(active, ms(10000));
  }
  waiter.join();
  EXPECT_EQ(ra, RETCODE_OK);
  EXPECT_EQ(rb.load(), RETCODE_OK);
}

TEST(WaitSetTest, AttachDetachAndGetConditions) {
  WaitSet ws;
  GuardCondition g1, g2, g3;
  ConditionSeq list{&g3, &g3, &g3};
  EXPECT_EQ(ws.get_conditions(list), RETCODE_OK);
  EXPECT_TRUE(list.empty()) << "the list is replaced, not appended to";

  EXPECT_EQ(ws.attach_condition(g1), RETCODE_OK);
  EXPECT_EQ(ws.attach_condition(g2), RETCODE_OK);
  EXPECT_EQ(ws.attach_condition(g1), RETCODE_OK) << "attaching twice is harmless";
  EXPECT_EQ(ws.get_conditions(list), RETCODE_OK);
  EXPECT_EQ(list, (ConditionSeq{&g1, &g2}));

  EXPECT_EQ(ws.detach_condition(g3), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(ws.detach_condition(g1), RETCODE_OK);
  EXPECT_EQ(ws.detach_condition(g1), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(ws.get_conditions(list), RETCODE_OK);
  EXPECT_EQ(list, (ConditionSeq{&g2}));

  // A detached condition no longer counts, even when triggered.
  g1.set_trigger_value(true);
  ConditionSeq active;
  EXPECT_EQ(ws.wait(active, ms(100)), RETCODE_TIMEOUT);
  EXPECT_EQ(detail::attached_waitset_count(g1), 0u);
  EXPECT_EQ(detail::attached_waitset_count(g2), 1u);
}

TEST(WaitSetTest, WaitArgumentsAndSingleWaiter) {
  WaitSet ws;
  GuardCondition guard;
  ws.attach_condition(guard);
  ConditionSeq active;
  EXPECT_EQ(ws.wait(active, Duration_t{-1, 0}), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(ws.wait(active, Duration_t{0, 1000000000u}), RETCODE_BAD_PARAMETER);

  // A second thread may not wait on a wait set that is being waited on.
  std::atomic<ReturnCode_t> second{RETCODE_ERROR};
  {
    Later other(100, [&] {
      ConditionSeq a;
      second = ws.wait(a, ms(100));
      guard.set_trigger_value(true);
    });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
  EXPECT_EQ(second.load(), RETCODE_PRECONDITION_NOT_MET);

  // An infinite time-out returns when the trigger comes.
  guard.set_trigger_value(false);
  {
    Later trigger(100, [&] { guard.set_trigger_value(true); });
    EXPECT_EQ(ws.wait(active, DURATION_INFINITE), RETCODE_OK);
  }
}

// ---------------------------------------------------------- destruction order

TEST(WaitSetLifetimeTest, ConditionDeletedWhileAttached) {
  auto ws = std::make_unique<WaitSet>();
  auto guard = std::make_unique<GuardCondition>();
  GuardCondition keep;
  ASSERT_EQ(ws->attach_condition(*guard), RETCODE_OK);
  ASSERT_EQ(ws->attach_condition(keep), RETCODE_OK);
  guard.reset();
  ConditionSeq list;
  EXPECT_EQ(ws->get_conditions(list), RETCODE_OK);
  EXPECT_EQ(list, (ConditionSeq{&keep}));
  ConditionSeq active;
  EXPECT_EQ(ws->wait(active, ms(50)), RETCODE_TIMEOUT);
  ws.reset();
  EXPECT_EQ(detail::attached_waitset_count(keep), 0u);
}

TEST(WaitSetLifetimeTest, WaitSetDestroyedWhileConditionsAttached) {
  GuardCondition guard;
  {
    WaitSet a, b;
    ASSERT_EQ(a.attach_condition(guard), RETCODE_OK);
    ASSERT_EQ(b.attach_condition(guard), RETCODE_OK);
    EXPECT_EQ(detail::attached_waitset_count(guard), 2u);
  }
  EXPECT_EQ(detail::attached_waitset_count(guard), 0u);
  // The condition goes on working and can join a new wait set.
  EXPECT_EQ(guard.set_trigger_value(true), RETCODE_OK);
  WaitSet c;
  ASSERT_EQ(c.attach_condition(guard), RETCODE_OK);
  ConditionSeq active;
  EXPECT_EQ(c.wait(active, ms(100)), RETCODE_OK);
}

TEST(WaitSetLifetimeTest, ConditionDeletedDuringAWaitOnAnotherThread) {
  WaitSet ws;
  auto doomed = std::make_unique<GuardCondition>();
  GuardCondition survivor;
  ASSERT_EQ(ws.attach_condition(*doomed), RETCODE_OK);
  ASSERT_EQ(ws.attach_condition(survivor), RETCODE_OK);
  ConditionSeq active;
  ReturnCode_t rc;
  {
    Later act(100, [&] {
      doomed.reset();
      std::this_thread::sleep_for(milliseconds(100));
      survivor.set_trigger_value(true);
    });
    rc = ws.wait(active, ms(10000));
  }
  EXPECT_EQ(rc, RETCODE_OK);
  EXPECT_EQ(active, (ConditionSeq{&survivor}));
}

// Many threads creating, triggering and destroying conditions while a wait
// set waits: nothing dangles (run under the sanitizers).
TEST(WaitSetLifetimeTest, ConcurrentChurn) {
  WaitSet ws;
  GuardCondition stop;
  ws.attach_condition(stop);
  std::atomic<int> wakeups{0};
  std::thread waiter([&] {
    auto until = Clock::now() + std::chrono::seconds(10);
    ConditionSeq active;
    while (Clock::now() < until) {
      if (ws.wait(active, ms(1000)) == RETCODE_OK) {
        ++wakeups;
        if (contains(active, &stop)) return;
      }
    }
  });
  std::vector<std::thread> churners;
  for (int t = 0; t < 4; ++t) {
    churners.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        GuardCondition g;
        ws.attach_condition(g);
        g.set_trigger_value(true);
        if (i % 2) ws.detach_condition(g);
      }
    });
  }
  for (auto& t : churners) t.join();
  stop.set_trigger_value(true);
  waiter.join();
  EXPECT_GT(wakeups.load(), 0);
  ConditionSeq list;
  ws.get_conditions(list);
  EXPECT_EQ(list, (ConditionSeq{&stop}));
}

// ------------------------------------------------------------ status condition

namespace {

class FakeEntity : public Entity {
 public:
  ReturnCode_t enable() override { return RETCODE_OK; }
  bool is_enabled() override { return true; }
  StatusCondition& get_statuscondition() override { return condition_; }
  StatusMask get_status_changes() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }
  InstanceHandle_t get_instance_handle() override { return HANDLE_NIL; }

  void raise(StatusMask s) {
    std::lock_guard<std::mutex> lock(mutex_);  // notify with the entity's lock held
    changes_ |= s;
    condition_.notify();
  }
  void clear(StatusMask s) {
    std::lock_guard<std::mutex> lock(mutex_);
    changes_ &= ~s;
  }

 private:
  std::mutex mutex_;
  StatusMask changes_ = 0;
  detail::StatusConditionImpl condition_{this};
};

}  // namespace

TEST(StatusConditionTest, TriggerFollowsEnabledStatusChanges) {
  FakeEntity entity;
  StatusCondition& sc = entity.get_statuscondition();
  EXPECT_EQ(sc.get_entity(), &entity);
  EXPECT_EQ(sc.get_enabled_statuses(), STATUS_MASK_ALL);
  EXPECT_TRUE(sc.get_enabled_statuses() & OFFERED_DEADLINE_MISSED_STATUS);
  EXPECT_FALSE(sc.get_trigger_value());

  entity.raise(PUBLICATION_MATCHED_STATUS);
  EXPECT_TRUE(sc.get_trigger_value());
  EXPECT_EQ(sc.set_enabled_statuses(OFFERED_DEADLINE_MISSED_STATUS), RETCODE_OK);
  EXPECT_EQ(sc.get_enabled_statuses(), OFFERED_DEADLINE_MISSED_STATUS);
  EXPECT_FALSE(sc.get_trigger_value()) << "a change of a status that is not enabled";
  entity.raise(OFFERED_DEADLINE_MISSED_STATUS);
  EXPECT_TRUE(sc.get_trigger_value());
  entity.clear(OFFERED_DEADLINE_MISSED_STATUS);  // the status was read
  EXPECT_FALSE(sc.get_trigger_value());
  sc.set_enabled_statuses(0);
  entity.raise(OFFERED_DEADLINE_MISSED_STATUS);
  EXPECT_FALSE(sc.get_trigger_value());
}

TEST(StatusConditionTest, ChangesFromAFunction) {
  FakeEntity entity;
  std::atomic<StatusMask> internal{0};
  detail::StatusConditionImpl sc(&entity, [&] { return internal.load(); });
  entity.raise(LIVELINESS_LOST_STATUS);
  EXPECT_FALSE(sc.get_trigger_value()) << "the function, not get_status_changes, decides";
  internal = SUBSCRIPTION_MATCHED_STATUS;
  EXPECT_TRUE(sc.get_trigger_value());
  sc.set_enabled_statuses(LIVELINESS_LOST_STATUS);
  EXPECT_FALSE(sc.get_trigger_value());
  EXPECT_EQ(sc.get_entity(), &entity);
}

TEST(StatusConditionTest, StatusChangeDuringAWaitWakesIt) {
  FakeEntity entity;
  WaitSet ws;
  ASSERT_EQ(ws.attach_condition(entity.get_statuscondition()), RETCODE_OK);
  ConditionSeq active;
  EXPECT_EQ(ws.wait(active, ms(100)), RETCODE_TIMEOUT);
  auto t0 = Clock::now();
  {
    Later raise(150, [&] { entity.raise(OFFERED_DEADLINE_MISSED_STATUS); });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
  EXPECT_LT(elapsed_ms(t0), 3000);
  EXPECT_EQ(active, (ConditionSeq{&entity.get_statuscondition()}));

  // Enabling a status that already has a change wakes a waiter too.
  entity.get_statuscondition().set_enabled_statuses(0);
  EXPECT_EQ(ws.wait(active, ms(50)), RETCODE_TIMEOUT);
  {
    Later enable(150, [&] { entity.get_statuscondition().set_enabled_statuses(STATUS_MASK_ALL); });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
}

TEST(StatusConditionTest, EntityAndWaitSetDestroyedInEitherOrder) {
  // Wait set first, then the entity with its condition (the order the
  // suite's tests use), and the other way round.
  {
    FakeEntity entity;
    auto ws = std::make_unique<WaitSet>();
    GuardCondition guard;
    ws->attach_condition(guard);
    ws->attach_condition(entity.get_statuscondition());
    ws.reset();
    EXPECT_EQ(detail::attached_waitset_count(entity.get_statuscondition()), 0u);
  }
  WaitSet ws;
  {
    FakeEntity entity;
    ws.attach_condition(entity.get_statuscondition());
    entity.raise(LIVELINESS_LOST_STATUS);
  }
  ConditionSeq list;
  ws.get_conditions(list);
  EXPECT_TRUE(list.empty());
  ConditionSeq active;
  EXPECT_EQ(ws.wait(active, ms(50)), RETCODE_TIMEOUT);
}

// ------------------------------------------------------- read/query conditions

namespace {

struct StoredSample {
  SampleStateKind sample_state;
  ViewStateKind view_state;
  InstanceStateKind instance_state;
  std::vector<uint8_t> cdr;
};

std::vector<uint8_t> encode_keyed(int32_t l, int16_t s, const std::string& sb) {
  std::vector<uint8_t> out(8, 0);
  std::memcpy(out.data(), &l, 4);
  std::memcpy(out.data() + 4, &s, 2);
  uint32_t n = static_cast<uint32_t>(sb.size() + 1);
  out.resize(12);
  std::memcpy(out.data() + 8, &n, 4);
  out.insert(out.end(), sb.begin(), sb.end());
  out.push_back(0);
  return out;
}

constexpr bool kHostLittle = std::endian::native == std::endian::little;

// A reader's sample store, as far as conditions see it.
class FakeReader : public detail::ReadConditionOwner {
 public:
  bool holds_matching_sample(const detail::ReadConditionSelector& sel) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++queries_;
    for (const StoredSample& s : samples_) {
      if (sel.selects_states(s.sample_state, s.view_state, s.instance_state) &&
          sel.selects_data(s.cdr.data(), s.cdr.size(), kHostLittle)) {
        return true;
      }
    }
    return false;
  }

  void add(StoredSample s) {
    std::lock_guard<std::mutex> lock(mutex_);
    samples_.push_back(std::move(s));
    for (detail::ReadConditionSelector* c : conditions_) c->notify();
  }

  std::vector<detail::ReadConditionSelector*> conditions_;
  int queries_ = 0;

 private:
  std::mutex mutex_;
  std::vector<StoredSample> samples_;
};

}  // namespace

TEST(ReadConditionTest, TriggerFollowsTheStatesOfHeldSamples) {
  FakeReader reader;
  auto c1 = detail::ReadConditionImpl::create(nullptr, &reader, NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE,
                                              ANY_INSTANCE_STATE);
  auto c2 = detail::ReadConditionImpl::create(nullptr, &reader, READ_SAMPLE_STATE, ANY_VIEW_STATE,
                                              ALIVE_INSTANCE_STATE);
  auto c3 = detail::ReadConditionImpl::create(nullptr, &reader, ANY_SAMPLE_STATE, NEW_VIEW_STATE,
                                              NOT_ALIVE_DISPOSED_INSTANCE_STATE);
  ASSERT_TRUE(c1 && c2 && c3);
  EXPECT_EQ(c2->get_sample_state_mask(), READ_SAMPLE_STATE);
  EXPECT_EQ(c2->get_view_state_mask(), ANY_VIEW_STATE);
  EXPECT_EQ(c2->get_instance_state_mask(), ALIVE_INSTANCE_STATE);
  EXPECT_EQ(detail::selector_of(c1.get()), static_cast<detail::ReadConditionSelector*>(c1.get()));
  EXPECT_EQ(detail::selector_of(c1.get())->owner(), &reader);
  EXPECT_FALSE(detail::selector_of(c1.get())->has_query());

  for (auto* c : {c1.get(), c2.get(), c3.get()}) EXPECT_FALSE(c->get_trigger_value());
  reader.add({NOT_READ_SAMPLE_STATE, NEW_VIEW_STATE, ALIVE_INSTANCE_STATE, encode_keyed(1, 0, "")});
  EXPECT_TRUE(c1->get_trigger_value());
  EXPECT_FALSE(c2->get_trigger_value());
  EXPECT_FALSE(c3->get_trigger_value());
  reader.add({READ_SAMPLE_STATE, NOT_NEW_VIEW_STATE, NOT_ALIVE_DISPOSED_INSTANCE_STATE, encode_keyed(2, 0, "")});
  EXPECT_FALSE(c2->get_trigger_value()) << "read, but not alive";
  EXPECT_FALSE(c3->get_trigger_value()) << "disposed, but not new";
  reader.add({READ_SAMPLE_STATE, NEW_VIEW_STATE, NOT_ALIVE_DISPOSED_INSTANCE_STATE, encode_keyed(3, 0, "")});
  EXPECT_TRUE(c3->get_trigger_value());
}

TEST(ReadConditionTest, ArrivalDuringAWaitWakesIt) {
  FakeReader reader;
  auto c = detail::ReadConditionImpl::create(nullptr, &reader, ANY_SAMPLE_STATE, ANY_VIEW_STATE,
                                             ANY_INSTANCE_STATE);
  reader.conditions_.push_back(c.get());
  WaitSet ws;
  ASSERT_EQ(ws.attach_condition(*c), RETCODE_OK);
  ConditionSeq active;
  EXPECT_EQ(ws.wait(active, ms(50)), RETCODE_TIMEOUT);
  auto t0 = Clock::now();
  {
    Later arrive(150, [&] {
      reader.add({NOT_READ_SAMPLE_STATE, NEW_VIEW_STATE, ALIVE_INSTANCE_STATE, encode_keyed(1, 0, "")});
    });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
  EXPECT_LT(elapsed_ms(t0), 3000);
  EXPECT_EQ(active, (ConditionSeq{c.get()}));
  // The condition goes with its reader; the wait set no longer lists it.
  reader.conditions_.clear();
  c.reset();
  ConditionSeq list;
  ws.get_conditions(list);
  EXPECT_TRUE(list.empty());
}

TEST(QueryConditionTest, CreationExpressionAndParameters) {
  FakeReader reader;
  std::string error;
  auto qc1 = detail::QueryConditionImpl::create(nullptr, &reader, ANY_SAMPLE_STATE, ANY_VIEW_STATE,
                                                ANY_INSTANCE_STATE, "KeyedType", "lVal > %0", {"5"}, &error);
  ASSERT_NE(qc1, nullptr) << error;
  auto qc2 = detail::QueryConditionImpl::create(nullptr, &reader, ANY_SAMPLE_STATE, ANY_VIEW_STATE,
                                                ANY_INSTANCE_STATE, "KeyedType", "lVal BETWEEN %0 AND %1",
                                                {"10", "20"}, &error);
  ASSERT_NE(qc2, nullptr) << error;
  EXPECT_TRUE(detail::selector_of(qc1.get())->has_query());
  EXPECT_EQ(qc1->get_query_expression(), "lVal > %0");

  StringSeq params{"stale", "stale"};
  EXPECT_EQ(qc1->get_query_parameters(params), RETCODE_OK);
  EXPECT_EQ(params, (StringSeq{"5"}));
  EXPECT_EQ(qc1->set_query_parameters({"8"}), RETCODE_OK);
  params.clear();
  EXPECT_EQ(qc1->get_query_parameters(params), RETCODE_OK);
  EXPECT_EQ(params, (StringSeq{"8"}));
  EXPECT_EQ(qc2->set_query_parameters({"1"}), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(qc2->set_query_parameters({"1", "two"}), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(qc2->get_query_parameters(params), RETCODE_OK);
  EXPECT_EQ(params, (StringSeq{"10", "20"})) << "a refused set keeps the old parameters";

  struct Refused {
    const char* type;
    const char* expr;
    StringSeq params;
  };
  const Refused refused[] = {
      {"test_type_name", "lVal > 1", {}},  // no description for that registered name
      {"KeyedType", "lVal >", {}},
      {"KeyedType", "nosuch > 1", {}},
      {"KeyedType", "lVal > %0 AND lVal < %1", {"1"}},
      {"KeyedType", "lVal > %0", {"x"}},
  };
  for (const Refused& r : refused) {
    EXPECT_EQ(detail::QueryConditionImpl::create(nullptr, &reader, ANY_SAMPLE_STATE, ANY_VIEW_STATE,
                                                 ANY_INSTANCE_STATE, r.type, r.expr, r.params, nullptr),
              nullptr)
        << r.type << ": " << r.expr;
  }
  EXPECT_NE(detail::QueryConditionImpl::create(nullptr, &reader, ANY_SAMPLE_STATE, ANY_VIEW_STATE,
                                               ANY_INSTANCE_STATE, "FlatRecord", "sbVal LIKE 'a%'", {}, nullptr),
            nullptr);
}

TEST(QueryConditionTest, TriggerNeedsStatesAndQuery) {
  FakeReader reader;
  auto qc = detail::QueryConditionImpl::create(nullptr, &reader, NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE,
                                               ANY_INSTANCE_STATE, "KeyedType",
                                               "lVal > %0 AND sbVal LIKE '%test%'", {"10"}, nullptr);
  ASSERT_NE(qc, nullptr);
  reader.conditions_.push_back(qc.get());
  EXPECT_FALSE(qc->get_trigger_value());
  reader.add({NOT_READ_SAMPLE_STATE, NEW_VIEW_STATE, ALIVE_INSTANCE_STATE, encode_keyed(5, 0, "test")});
  reader.add({NOT_READ_SAMPLE_STATE, NEW_VIEW_STATE, ALIVE_INSTANCE_STATE, encode_keyed(50, 0, "abc")});
  reader.add({READ_SAMPLE_STATE, NEW_VIEW_STATE, ALIVE_INSTANCE_STATE, encode_keyed(50, 0, "a test")});
  EXPECT_FALSE(qc->get_trigger_value()) << "no not-read sample passes the query";

  // New parameters apply to the next evaluation, and wake a waiting wait set.
  WaitSet ws;
  ws.attach_condition(*qc);
  ConditionSeq active;
  EXPECT_EQ(ws.wait(active, ms(50)), RETCODE_TIMEOUT);
  {
    Later change(150, [&] { qc->set_query_parameters({"1"}); });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
  EXPECT_TRUE(qc->get_trigger_value());
  EXPECT_EQ(qc->set_query_parameters({}), RETCODE_BAD_PARAMETER);
  EXPECT_TRUE(qc->get_trigger_value()) << "the refused set left the parameters alone";
  reader.conditions_.clear();
}

// ------------------------------------------- conditions of real entities

namespace {

std::string unique_name(const std::string& base) { return base + "_" + std::to_string(getpid()); }

class EntityConditionsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    st.destroy();
    DomainParticipantFactory::finalize();
  }
  wiretest::Stack st;
};

DataReaderQos reliable_reader() {
  DataReaderQos q = DATAREADER_QOS_DEFAULT;
  q.reliability.kind = RELIABLE_RELIABILITY_QOS;
  q.history.kind = KEEP_ALL_HISTORY_QOS;
  return q;
}

}  // namespace

// Read and query conditions follow the reader's samples: arrival wakes a
// wait set, reading and taking change the trigger values, and
// take_w_condition takes only what the condition selects.
TEST_F(EntityConditionsTest, ReadAndQueryConditionsFollowTheReader) {
  ASSERT_TRUE(st.make(unique_name("cond_reader"), true));
  DataWriter* w = st.publisher->create_datawriter(st.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = st.subscriber->create_datareader(st.topic, reliable_reader(), nullptr, 0);
  ASSERT_TRUE(w && r);
  ReadCondition* not_read = r->create_readcondition(NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
  ReadCondition* was_read = r->create_readcondition(READ_SAMPLE_STATE, ANY_VIEW_STATE, ALIVE_INSTANCE_STATE);
  ReadCondition* disposed =
      r->create_readcondition(ANY_SAMPLE_STATE, NEW_VIEW_STATE, NOT_ALIVE_DISPOSED_INSTANCE_STATE);
  QueryCondition* query = r->create_querycondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE,
                                                   "lVal > %0", {"8"});
  QueryCondition* range = r->create_querycondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE,
                                                   "lVal BETWEEN %0 AND %1", {"10", "20"});
  ASSERT_TRUE(not_read && was_read && disposed && query && range);
  EXPECT_EQ(query->get_datareader(), r);
  EXPECT_EQ(r->create_querycondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE, "lVal >", {}), nullptr);
  EXPECT_EQ(r->create_querycondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE, "lVal > %1", {"1"}),
            nullptr);
  for (Condition* c : std::initializer_list<Condition*>{not_read, was_read, disposed, query, range}) {
    EXPECT_FALSE(c->get_trigger_value());
  }
  ASSERT_TRUE(wiretest::eventually([&] { return wiretest::matched_subs(w) == 1; }, 5000));

  WaitSet ws;
  ASSERT_EQ(ws.attach_condition(*query), RETCODE_OK);
  ConditionSeq active;
  {
    Later write(150, [&] {
      for (int32_t v = 1; v <= 10; ++v) {
        KeyedType k = wiretest::keyed(v);
        w->write(&k, HANDLE_NIL);
      }
    });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
  EXPECT_EQ(active, (ConditionSeq{query}));
  ASSERT_TRUE(wiretest::eventually([&] { return wiretest::take_all<KeyedType>(r, nullptr, false).size() == 10; },
                                   5000));
  // The read above marked every sample read.
  EXPECT_FALSE(not_read->get_trigger_value());
  EXPECT_TRUE(was_read->get_trigger_value());
  EXPECT_FALSE(disposed->get_trigger_value());
  EXPECT_TRUE(range->get_trigger_value()) << "10 is in [10, 20]";

  SequenceData<KeyedType> data;
  SampleInfoSeq infos;
  EXPECT_EQ(r->take_w_condition(data, infos, LENGTH_UNLIMITED, query), RETCODE_OK);
  std::vector<int32_t> taken;
  for (uint32_t i = 0; i < data.length(); ++i) taken.push_back(data[i].lVal);
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, (std::vector<int32_t>{9, 10}));
  EXPECT_FALSE(query->get_trigger_value()) << "what the query selected is gone";
  EXPECT_FALSE(range->get_trigger_value()) << "10 was taken with it";
  EXPECT_EQ(query->set_query_parameters({"0"}), RETCODE_OK);
  EXPECT_TRUE(query->get_trigger_value()) << "1..8 remain";
  EXPECT_EQ(query->set_query_parameters({}), RETCODE_BAD_PARAMETER);
  StringSeq params;
  query->get_query_parameters(params);
  EXPECT_EQ(params, (StringSeq{"0"}));

  // Deleting a condition that is attached unlinks it; the rest of the
  // reader's conditions go with the reader.
  ReadCondition* victim = query;
  EXPECT_EQ(r->delete_readcondition(victim), RETCODE_OK);
  ConditionSeq list;
  ws.get_conditions(list);
  EXPECT_TRUE(list.empty());
  ASSERT_EQ(ws.attach_condition(*not_read), RETCODE_OK);
  ASSERT_EQ(ws.attach_condition(*range), RETCODE_OK);
  EXPECT_EQ(st.subscriber->delete_datareader(r), RETCODE_OK);
  ws.get_conditions(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(ws.wait(active, ms(50)), RETCODE_TIMEOUT);
}

// Conditions belong to the reader that made them: another reader refuses
// them, and delete_contained_entities removes the leftovers, unlinking them
// from their wait sets. The reader's status condition follows its unread
// changes: data available until the data is taken, matched until read.
TEST_F(EntityConditionsTest, ConditionsBelongToTheirReaderAndStatusConditionFollowsChanges) {
  ASSERT_TRUE(st.make(unique_name("cond_owner"), true));
  DataWriter* w = st.publisher->create_datawriter(st.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r1 = st.subscriber->create_datareader(st.topic, reliable_reader(), nullptr, 0);
  DataReader* r2 = st.subscriber->create_datareader(st.topic, reliable_reader(), nullptr, 0);
  ASSERT_TRUE(w && r1 && r2);
  ReadCondition* any = r1->create_readcondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
  QueryCondition* big =
      r1->create_querycondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE, "lVal > %0", {"100"});
  ASSERT_TRUE(any && big);
  ASSERT_TRUE(wiretest::eventually([&] { return wiretest::matched_subs(w) == 2; }, 5000));
  ASSERT_TRUE(wiretest::eventually([&] { return (r1->get_status_changes() & SUBSCRIPTION_MATCHED_STATUS) != 0; },
                                   5000));

  StatusCondition& sc = r1->get_statuscondition();
  EXPECT_EQ(sc.get_entity(), static_cast<Entity*>(r1));
  ASSERT_EQ(sc.set_enabled_statuses(SUBSCRIPTION_MATCHED_STATUS), RETCODE_OK);
  EXPECT_TRUE(sc.get_trigger_value()) << "the match is an unread change";
  SubscriptionMatchedStatus matched;
  EXPECT_EQ(r1->get_subscription_matched_status(matched), RETCODE_OK);
  EXPECT_EQ(matched.current_count, 1);
  EXPECT_EQ(matched.current_count_change, 1);
  EXPECT_FALSE(r1->get_status_changes() & SUBSCRIPTION_MATCHED_STATUS);
  EXPECT_FALSE(sc.get_trigger_value());
  r1->get_subscription_matched_status(matched);
  EXPECT_EQ(matched.current_count, 1);
  EXPECT_EQ(matched.current_count_change, 0) << "reset by the first read";

  ASSERT_EQ(sc.set_enabled_statuses(DATA_AVAILABLE_STATUS), RETCODE_OK);
  WaitSet ws;
  ASSERT_EQ(ws.attach_condition(sc), RETCODE_OK);
  ASSERT_EQ(ws.attach_condition(*any), RETCODE_OK);
  ASSERT_EQ(ws.attach_condition(*big), RETCODE_OK);
  ConditionSeq active;
  {
    Later write(150, [&] {
      KeyedType k = wiretest::keyed(7);
      w->write(&k, HANDLE_NIL);
    });
    EXPECT_EQ(ws.wait(active, ms(10000)), RETCODE_OK);
  }
  EXPECT_FALSE(contains(active, big));
  EXPECT_TRUE(sc.get_trigger_value());
  EXPECT_TRUE(any->get_trigger_value());
  EXPECT_FALSE(big->get_trigger_value());

  SequenceData<KeyedType> data;
  SampleInfoSeq infos;
  EXPECT_EQ(r2->read_w_condition(data, infos, LENGTH_UNLIMITED, any), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(r2->take_w_condition(data, infos, LENGTH_UNLIMITED, big), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(r2->delete_readcondition(any), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(r1->read_w_condition(data, infos, LENGTH_UNLIMITED, big), RETCODE_NO_DATA);
  ASSERT_EQ(r1->take_w_condition(data, infos, LENGTH_UNLIMITED, any), RETCODE_OK);
  ASSERT_EQ(data.length(), 1u);
  EXPECT_EQ(data[0].lVal, 7);
  EXPECT_FALSE(sc.get_trigger_value()) << "nothing unread is left";
  EXPECT_FALSE(any->get_trigger_value());

  EXPECT_EQ(r1->delete_contained_entities(), RETCODE_OK);
  ConditionSeq list;
  ws.get_conditions(list);
  EXPECT_EQ(list, (ConditionSeq{&sc})) << "the read and query conditions left the wait set";
  EXPECT_EQ(ws.wait(active, ms(50)), RETCODE_TIMEOUT);
}

// A writer with a deadline that never writes raises offered-deadline-missed
// and so triggers its status condition, with no listener installed; the
// wait set is destroyed while the condition is attached, and the condition
// later dies with its writer.
TEST_F(EntityConditionsTest, WriterStatusConditionWakesAWaitSet) {
  ASSERT_TRUE(st.make(unique_name("cond_status"), false));
  DataWriterQos q = DATAWRITER_QOS_DEFAULT;
  q.deadline.period = Duration_t{1, 0};
  DataWriter* w = st.publisher->create_datawriter(st.topic, q, nullptr, 0xffffffff);
  ASSERT_NE(w, nullptr);
  StatusCondition& sc = w->get_statuscondition();
  EXPECT_EQ(sc.get_entity(), static_cast<Entity*>(w));
  EXPECT_TRUE(sc.get_enabled_statuses() & OFFERED_DEADLINE_MISSED_STATUS);
  auto ws = std::make_unique<WaitSet>();
  GuardCondition guard;
  ASSERT_EQ(ws->attach_condition(guard), RETCODE_OK);
  ASSERT_EQ(ws->attach_condition(sc), RETCODE_OK);
  ConditionSeq active;
  auto t0 = Clock::now();
  EXPECT_EQ(ws->wait(active, ms(5000)), RETCODE_OK);
  EXPECT_LT(elapsed_ms(t0), 4000);
  EXPECT_EQ(active, (ConditionSeq{&sc}));
  EXPECT_TRUE(w->get_status_changes() & OFFERED_DEADLINE_MISSED_STATUS);
  ws.reset();
  EXPECT_EQ(detail::attached_waitset_count(sc), 0u);
  EXPECT_EQ(detail::attached_waitset_count(guard), 0u);
}
