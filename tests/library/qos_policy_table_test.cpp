// The library's table of QoS policies, walked row by row through every entity
// kind each row applies to: values set at creation and read back, changes on
// enabled entities (accepted or refused as the row says, nothing changed on
// refusal), invalid values refused, offered against requested values on both
// sides of each row's rule, and the *_QOS_DEFAULT objects of every kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

#include "policy_table.h"
#include "wire_test_util.h"

namespace {

using namespace QUORVELA;
using namespace wiretest;
using detail::Change;
using detail::Rule;

// ------------------------------------------------------- values per policy
// What the test does with one policy: a valid value that differs from every
// kind's default (and from the other rows' values), an invalid value when
// the policy has one, and offered/requested pairs on both sides of its rule.
// A row without a probe() here does not compile.
template <typename P>
struct Probe {
  Change change;  // what the row must say
  P changed;
  std::optional<P> invalid = std::nullopt;
  struct Pair {
    P offered, requested;
    bool match;  // else incompatible by this policy (for overlap: no match, no incompatibility)
  };
  std::vector<Pair> pairs = {};
};

Duration_t ms(int v) { return ms_duration(v); }
Duration_t sec(int v) { return Duration_t{v, 0}; }

Probe<UserDataQosPolicy> probe(const UserDataQosPolicy*) { return {Change::in_place, {octets("user")}}; }
Probe<TopicDataQosPolicy> probe(const TopicDataQosPolicy*) { return {Change::in_place, {octets("topic")}}; }
Probe<GroupDataQosPolicy> probe(const GroupDataQosPolicy*) { return {Change::in_place, {octets("group")}}; }
Probe<DurabilityQosPolicy> probe(const DurabilityQosPolicy*) {
  using D = DurabilityQosPolicy;
  // Transient: Cyclone has no such kind, so it travels beside Cyclone's QoS.
  return {Change::no,
          D{TRANSIENT_DURABILITY_QOS},
          D{4},
          {{D{TRANSIENT_LOCAL_DURABILITY_QOS}, D{TRANSIENT_LOCAL_DURABILITY_QOS}, true},
           {D{PERSISTENT_DURABILITY_QOS}, D{TRANSIENT_DURABILITY_QOS}, true},
           {D{VOLATILE_DURABILITY_QOS}, D{TRANSIENT_LOCAL_DURABILITY_QOS}, false},
           {D{TRANSIENT_LOCAL_DURABILITY_QOS}, D{PERSISTENT_DURABILITY_QOS}, false}}};
}
Probe<PresentationQosPolicy> probe(const PresentationQosPolicy*) {
  using P = PresentationQosPolicy;
  return {Change::no,
          P{TOPIC_PRESENTATION_QOS, false, true},
          P{3, false, false},
          {{P{TOPIC_PRESENTATION_QOS, false, false}, P{INSTANCE_PRESENTATION_QOS, false, false}, true},
           {P{INSTANCE_PRESENTATION_QOS, false, false}, P{TOPIC_PRESENTATION_QOS, false, false}, false},
           {P{INSTANCE_PRESENTATION_QOS, false, false}, P{INSTANCE_PRESENTATION_QOS, false, true}, false}}};
}
Probe<DeadlineQosPolicy> probe(const DeadlineQosPolicy*) {
  using D = DeadlineQosPolicy;
  return {Change::local_only,
          D{sec(11)},
          D{{0, 1000000000}},
          {{D{ms(100)}, D{ms(100)}, true}, {D{ms(100)}, D{{0, 99999999}}, false}, {D{DURATION_INFINITE}, D{sec(1)}, false}}};
}
Probe<LatencyBudgetQosPolicy> probe(const LatencyBudgetQosPolicy*) {
  using L = LatencyBudgetQosPolicy;
  return {Change::local_only, L{ms(12)}, L{{-1, 0}}, {{L{ms(10)}, L{ms(20)}, true}, {L{ms(20)}, L{ms(10)}, false}}};
}
Probe<OwnershipQosPolicy> probe(const OwnershipQosPolicy*) {
  using O = OwnershipQosPolicy;
  return {Change::no,
          O{EXCLUSIVE_OWNERSHIP_QOS},
          O{2},
          {{O{EXCLUSIVE_OWNERSHIP_QOS}, O{EXCLUSIVE_OWNERSHIP_QOS}, true},
           {O{SHARED_OWNERSHIP_QOS}, O{EXCLUSIVE_OWNERSHIP_QOS}, false},
           {O{EXCLUSIVE_OWNERSHIP_QOS}, O{SHARED_OWNERSHIP_QOS}, false}}};
}
Probe<OwnershipStrengthQosPolicy> probe(const OwnershipStrengthQosPolicy*) { return {Change::in_place, {13}}; }
Probe<LivelinessQosPolicy> probe(const LivelinessQosPolicy*) {
  using L = LivelinessQosPolicy;
  return {Change::no,
          L{MANUAL_BY_TOPIC_LIVELINESS_QOS, sec(14)},
          L{3, DURATION_INFINITE},
          {{L{MANUAL_BY_TOPIC_LIVELINESS_QOS, sec(10)}, L{MANUAL_BY_PARTICIPANT_LIVELINESS_QOS, sec(10)}, true},
           {L{AUTOMATIC_LIVELINESS_QOS, sec(10)}, L{MANUAL_BY_PARTICIPANT_LIVELINESS_QOS, sec(10)}, false},
           {L{AUTOMATIC_LIVELINESS_QOS, sec(11)}, L{AUTOMATIC_LIVELINESS_QOS, sec(10)}, false}}};
}
Probe<TimeBasedFilterQosPolicy> probe(const TimeBasedFilterQosPolicy*) {
  return {Change::in_place, {ms(15)}, TimeBasedFilterQosPolicy{{0x7fffffff, 1000000000}}};
}
Probe<PartitionQosPolicy> probe(const PartitionQosPolicy*) {
  using P = PartitionQosPolicy;
  return {Change::remake, P{{"p16"}}, {}, {{P{{"a", "b"}}, P{{"b"}}, true}, {P{{"a"}}, P{{"c"}}, false}}};
}
Probe<ReliabilityQosPolicy> probe(const ReliabilityQosPolicy*) {
  using R = ReliabilityQosPolicy;
  return {Change::no,
          R{RELIABLE_RELIABILITY_QOS, ms(17)},
          R{0, ms(100)},
          {{R{RELIABLE_RELIABILITY_QOS, ms(100)}, R{BEST_EFFORT_RELIABILITY_QOS, ms(100)}, true},
           {R{BEST_EFFORT_RELIABILITY_QOS, ms(100)}, R{RELIABLE_RELIABILITY_QOS, ms(100)}, false}}};
}
Probe<DestinationOrderQosPolicy> probe(const DestinationOrderQosPolicy*) {
  using D = DestinationOrderQosPolicy;
  return {Change::no,
          D{BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS},
          D{2},
          {{D{BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS}, D{BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS}, true},
           {D{BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS}, D{BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS}, false}}};
}
Probe<HistoryQosPolicy> probe(const HistoryQosPolicy*) {
  return {Change::no, {KEEP_LAST_HISTORY_QOS, 18}, HistoryQosPolicy{KEEP_LAST_HISTORY_QOS, 0}};
}
Probe<ResourceLimitsQosPolicy> probe(const ResourceLimitsQosPolicy*) {
  return {Change::no, {190, 19, 10}, ResourceLimitsQosPolicy{0, LENGTH_UNLIMITED, LENGTH_UNLIMITED}};
}
Probe<EntityFactoryQosPolicy> probe(const EntityFactoryQosPolicy*) { return {Change::local, {false}}; }
Probe<WriterDataLifecycleQosPolicy> probe(const WriterDataLifecycleQosPolicy*) { return {Change::in_place, {false}}; }
Probe<ReaderDataLifecycleQosPolicy> probe(const ReaderDataLifecycleQosPolicy*) {
  return {Change::local, {sec(20), sec(21)}, ReaderDataLifecycleQosPolicy{{-1, 0}, DURATION_INFINITE}};
}
Probe<TransportPriorityQosPolicy> probe(const TransportPriorityQosPolicy*) { return {Change::local, {22}}; }
Probe<LifespanQosPolicy> probe(const LifespanQosPolicy*) {
  return {Change::in_place, {sec(23)}, LifespanQosPolicy{{1, 0xfffffffe}}};
}
Probe<DurabilityServiceQosPolicy> probe(const DurabilityServiceQosPolicy*) {
  using D = DurabilityServiceQosPolicy;
  return {Change::no, D{sec(24), KEEP_ALL_HISTORY_QOS, 1, 25, 26, 25},
          D{DURATION_ZERO, KEEP_LAST_HISTORY_QOS, 0, LENGTH_UNLIMITED, LENGTH_UNLIMITED, LENGTH_UNLIMITED}};
}
Probe<PropertyQosPolicy> probe(const PropertyQosPolicy*) { return {Change::local, {{{"name", "value"}}}}; }
Probe<TransportMode> probe(const TransportMode*) {
  return {Change::no, TransportMode(TRANSPORT_UDPV4 | TRANSPORT_SHM | TRANSPORT_INTRAPROCESS), TransportMode(0)};
}

template <typename Row>
auto probe_of(const Row&) {
  return probe(static_cast<const typename Row::Policy*>(nullptr));
}

// f(index) for every row, the index a compile-time constant, so that what
// a row applies to is known at compile time.
template <typename F>
void for_each_row(F&& f) {
  [&]<size_t... I>(std::index_sequence<I...>) {
    (f(std::integral_constant<size_t, I>{}), ...);
  }(std::make_index_sequence<std::tuple_size_v<std::remove_const_t<decltype(detail::kPolicies)>>>{});
}

// Topic names of this process only: test processes may run side by side.
std::string unique_name(const std::string& base) { return base + "_" + std::to_string(::getpid()); }

// ------------------------------------------------------- entity kinds
// A participant with FlatRecord registered, a publisher, a subscriber and a
// topic; everything goes with finalize() at the end.
struct World {
  World() {
    participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    if (participant == nullptr ||
        participant->registe_type("FlatRecord", FlatRecordTypeSupport::get_instance()) != RETCODE_OK)
      return;
    publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    topic = new_topic(TOPIC_QOS_DEFAULT);
  }
  ~World() { DomainParticipantFactory::finalize(); }
  bool ok() const { return participant && publisher && subscriber && topic; }
  Topic* new_topic(const TopicQos& q) {
    return participant->create_topic(unique_name("policy_table_" + std::to_string(topics++)), "FlatRecord", q,
                                     nullptr, 0);
  }

  DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
  DomainParticipant* participant = nullptr;
  Publisher* publisher = nullptr;
  Subscriber* subscriber = nullptr;
  Topic* topic = nullptr;
  int topics = 0;
};

// How each kind is created and where its owner keeps the default. The
// factory has no owner: "creating" it sets its QoS.
template <typename Q>
struct Kind;

template <>
struct Kind<DomainParticipantFactoryQos> {
  static constexpr const char* name = "factory";
  static const DomainParticipantFactoryQos& default_object() { return PARTICIPANT_FACTORY_QOS_DEFAULT; }
  static DomainParticipantFactory* create(World& w, const DomainParticipantFactoryQos& q) {
    return w.factory->set_qos(q) == RETCODE_OK ? w.factory : nullptr;
  }
};

template <>
struct Kind<DomainParticipantQos> {
  static constexpr const char* name = "participant";
  static const DomainParticipantQos& default_object() { return PARTICIPANT_QOS_DEFAULT; }
  static DomainParticipant* create(World& w, const DomainParticipantQos& q) {
    return w.factory->create_participant(0, q, nullptr, 0);
  }
  static ReturnCode_t set_default(World& w, const DomainParticipantQos& q) {
    return w.factory->set_default_participant_qos(q);
  }
  static ReturnCode_t get_default(World& w, DomainParticipantQos& q) { return w.factory->get_default_participant_qos(q); }
};

template <>
struct Kind<PublisherQos> {
  static constexpr const char* name = "publisher";
  static const PublisherQos& default_object() { return PUBLISHER_QOS_DEFAULT; }
  static Publisher* create(World& w, const PublisherQos& q) { return w.participant->create_publisher(q, nullptr, 0); }
  static ReturnCode_t set_default(World& w, const PublisherQos& q) { return w.participant->set_default_publisher_qos(q); }
  static ReturnCode_t get_default(World& w, PublisherQos& q) { return w.participant->get_default_publisher_qos(q); }
};

template <>
struct Kind<SubscriberQos> {
  static constexpr const char* name = "subscriber";
  static const SubscriberQos& default_object() { return SUBSCRIBER_QOS_DEFAULT; }
  static Subscriber* create(World& w, const SubscriberQos& q) { return w.participant->create_subscriber(q, nullptr, 0); }
  static ReturnCode_t set_default(World& w, const SubscriberQos& q) {
    return w.participant->set_default_subscriber_qos(q);
  }
  static ReturnCode_t get_default(World& w, SubscriberQos& q) { return w.participant->get_default_subscriber_qos(q); }
};

template <>
struct Kind<TopicQos> {
  static constexpr const char* name = "topic";
  static const TopicQos& default_object() { return TOPIC_QOS_DEFAULT; }
  static Topic* create(World& w, const TopicQos& q) { return w.new_topic(q); }
  static ReturnCode_t set_default(World& w, const TopicQos& q) { return w.participant->set_default_topic_qos(q); }
  static ReturnCode_t get_default(World& w, TopicQos& q) { return w.participant->get_default_topic_qos(q); }
};

template <>
struct Kind<DataWriterQos> {
  static constexpr const char* name = "writer";
  static const DataWriterQos& default_object() { return DATAWRITER_QOS_DEFAULT; }
  static DataWriter* create(World& w, const DataWriterQos& q) {
    return w.publisher->create_datawriter(w.topic, q, nullptr, 0);
  }
  static ReturnCode_t set_default(World& w, const DataWriterQos& q) {
    return w.publisher->set_default_datawriter_qos(q);
  }
  static ReturnCode_t get_default(World& w, DataWriterQos& q) { return w.publisher->get_default_datawriter_qos(q); }
  static Publisher* parent(World& w) { return w.publisher; }
};

template <>
struct Kind<DataReaderQos> {
  static constexpr const char* name = "reader";
  static const DataReaderQos& default_object() { return DATAREADER_QOS_DEFAULT; }
  static DataReader* create(World& w, const DataReaderQos& q) {
    return w.subscriber->create_datareader(w.topic, q, nullptr, 0);
  }
  static ReturnCode_t set_default(World& w, const DataReaderQos& q) {
    return w.subscriber->set_default_datareader_qos(q);
  }
  static ReturnCode_t get_default(World& w, DataReaderQos& q) { return w.subscriber->get_default_datareader_qos(q); }
  static Subscriber* parent(World& w) { return w.subscriber; }
};

template <typename F>
void for_each_kind(F&& f) {
  f(static_cast<DomainParticipantFactoryQos*>(nullptr));
  f(static_cast<DomainParticipantQos*>(nullptr));
  f(static_cast<PublisherQos*>(nullptr));
  f(static_cast<SubscriberQos*>(nullptr));
  f(static_cast<TopicQos*>(nullptr));
  f(static_cast<DataWriterQos*>(nullptr));
  f(static_cast<DataReaderQos*>(nullptr));
}

// The number of members of an aggregate: the most initializers it takes.
struct AnyMember {
  template <typename T>
  operator T() const;
};
template <typename T, size_t N = 0>
constexpr size_t member_count() {
  constexpr bool takes_one_more = []<size_t... I>(std::index_sequence<I...>) {
    return requires { T{(static_cast<void>(I), AnyMember{})...}; };
  }(std::make_index_sequence<N + 1>{});
  if constexpr (takes_one_more) return member_count<T, N + 1>();
  else return N;
}

template <typename Q>
Q qos_of(auto* entity) {
  Q q;
  EXPECT_EQ(entity->get_qos(q), RETCODE_OK);
  return q;
}

// One row on one kind.
template <typename Q, size_t I>
void walk() {
  constexpr const auto& row = std::get<I>(detail::kPolicies);
  constexpr auto member = row.template in<Q>();
  SCOPED_TRACE(std::string(row.name) + " on the " + Kind<Q>::name);
  const auto p = probe_of(row);
  World w;
  ASSERT_TRUE(w.ok());

  // The topic's value is what copy_from_topic_qos hands on.
  if constexpr (row.template in<TopicQos>() != nullptr && requires { Kind<Q>::parent(w); }) {
    TopicQos t;
    t.*row.template in<TopicQos>() = p.changed;
    Q copied;
    EXPECT_EQ(Kind<Q>::parent(w)->copy_from_topic_qos(copied, t), RETCODE_OK);
    EXPECT_EQ(copied.*member, p.changed);
  }

  // Set at creation and read back: that member holds it, nothing else moved.
  Q wanted;
  wanted.*member = p.changed;
  auto* e = Kind<Q>::create(w, wanted);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(qos_of<Q>(e), wanted);

  // Changed on an enabled entity: taken, or refused with nothing changed.
  auto* enabled = Kind<Q>::create(w, Q());
  ASSERT_NE(enabled, nullptr);
  const ReturnCode_t expected = row.change == Change::no ? RETCODE_IMMUTABLE_POLICY : RETCODE_OK;
  EXPECT_EQ(enabled->set_qos(wanted), expected);
  EXPECT_EQ(qos_of<Q>(enabled), expected == RETCODE_OK ? wanted : Q());

  // An invalid value is refused everywhere, and changes nothing.
  if (p.invalid) {
    Q bad;
    bad.*member = *p.invalid;
    EXPECT_EQ(Kind<Q>::create(w, bad), nullptr);
    const Q before = qos_of<Q>(enabled);
    EXPECT_EQ(enabled->set_qos(bad), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(qos_of<Q>(enabled), before);
    if constexpr (requires { Kind<Q>::set_default(w, bad); }) {
      EXPECT_EQ(Kind<Q>::set_default(w, bad), RETCODE_BAD_PARAMETER);
      Q owner_default;
      EXPECT_EQ(Kind<Q>::get_default(w, owner_default), RETCODE_OK);
      EXPECT_EQ(owner_default, Q());
    }
  }
}

TEST(QosPolicyTable, EveryRowOnEveryEntityKindItAppliesTo) {
  int rows = 0;
  for_each_row([&](auto index) {
    constexpr const auto& row = std::get<index>(detail::kPolicies);
    ++rows;
    const auto p = probe_of(row);
    EXPECT_EQ(row.change, p.change) << row.name;
    EXPECT_EQ(row.rule == Rule::none, p.pairs.empty()) << row.name << ": a rule without pairs, or pairs without one";
    int kinds = 0;
    for_each_kind([&](auto* q) {
      using Q = std::remove_pointer_t<decltype(q)>;
      if constexpr (row.template in<Q>() != nullptr) {
        ++kinds;
        walk<Q, index>();
      }
    });
    EXPECT_GT(kinds, 0) << row.name << " applies to no entity kind";
  });
  EXPECT_EQ(rows, 24);
  // Every member of every QoS type is some row's.
  for_each_kind([](auto* q) {
    using Q = std::remove_pointer_t<decltype(q)>;
    size_t rows_of_kind = 0;
    detail::for_each_policy_of<Q>([&](const auto&, auto) { ++rows_of_kind; });
    EXPECT_EQ(rows_of_kind, member_count<Q>()) << Kind<Q>::name;
  });
}

// ---------------------------------------------------- offered vs requested
// One writer and one reader per pair, each pair on a topic of its own, in two
// participants; the writer's side takes the offered value (in the writer or
// publisher QoS), the reader's side the requested one.
struct PairRun {
  std::string what;
  QosPolicyId_t id;
  bool match;
  DataWriter* writer = nullptr;
  DataReader* reader = nullptr;
};

struct Statuses {
  PublicationMatchedStatus pub;
  OfferedIncompatibleQosStatus offered;
  SubscriptionMatchedStatus sub;
  RequestedIncompatibleQosStatus requested;
  explicit Statuses(const PairRun& r) {
    r.writer->get_publication_matched_status(pub);
    r.writer->get_offered_incompatible_qos_status(offered);
    r.reader->get_subscription_matched_status(sub);
    r.reader->get_requested_incompatible_qos_status(requested);
  }
  bool judged(const PairRun& r) const {
    if (r.match) return pub.total_count > 0 && sub.total_count > 0;
    return offered.total_count > 0 && requested.total_count > 0;
  }
};

TEST(QosPolicyTable, OfferedAgainstRequestedOnBothSidesOfEachRule) {
  Stack a, b;
  for (Stack* s : {&a, &b}) {
    s->participant = s->factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(s->participant, nullptr);
    ASSERT_EQ(s->participant->registe_type("FlatRecord", FlatRecordTypeSupport::get_instance()), RETCODE_OK);
  }
  std::vector<PairRun> runs;
  detail::for_each_policy([&](const auto& row) {
    const auto p = probe_of(row);
    for (size_t i = 0; i < p.pairs.size(); ++i) {
      const auto& pair = p.pairs[i];
      PairRun run{std::string(row.name) + " pair " + std::to_string(i), row.id, pair.match};
      PublisherQos pq;
      SubscriberQos sq;
      DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
      DataReaderQos rq = DATAREADER_QOS_DEFAULT;
      if (auto m = row.template in<DataWriterQos>()) wq.*m = pair.offered;
      else if (auto m = row.template in<PublisherQos>()) pq.*m = pair.offered;
      else ADD_FAILURE() << run.what << ": no offering side";
      if (auto m = row.template in<DataReaderQos>()) rq.*m = pair.requested;
      else if (auto m = row.template in<SubscriberQos>()) sq.*m = pair.requested;
      else ADD_FAILURE() << run.what << ": no requesting side";
      const std::string topic = unique_name("policy_pair_" + std::to_string(runs.size()));
      Topic* wt = a.participant->create_topic(topic, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
      Topic* rt = b.participant->create_topic(topic, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
      Publisher* pub = a.participant->create_publisher(pq, nullptr, 0);
      Subscriber* sub = b.participant->create_subscriber(sq, nullptr, 0);
      ASSERT_TRUE(wt && rt && pub && sub) << run.what;
      run.reader = sub->create_datareader(rt, rq, nullptr, 0);
      run.writer = pub->create_datawriter(wt, wq, nullptr, 0);
      ASSERT_TRUE(run.writer && run.reader) << run.what;
      runs.push_back(run);
    }
  });
  ASSERT_FALSE(runs.empty());

  // Pairs that neither match nor clash give no sign: they are looked at
  // once the others have been judged and some more time has passed.
  const bool judged = eventually([&] {
    for (const PairRun& r : runs)
      if (Statuses(r).judged(r) == false && (r.match || r.id != PARTITION_QOS_POLICY_ID)) return false;
    return true;
  }, 10000);
  EXPECT_TRUE(judged);
  sleep_ms(500);
  for (const PairRun& r : runs) {
    SCOPED_TRACE(r.what);
    const Statuses s(r);
    const bool overlap_rule = r.id == PARTITION_QOS_POLICY_ID;
    EXPECT_EQ(s.pub.current_count, r.match ? 1 : 0);
    EXPECT_EQ(s.sub.current_count, r.match ? 1 : 0);
    const int32_t clash = r.match || overlap_rule ? 0 : 1;
    EXPECT_EQ(s.offered.total_count, clash);
    EXPECT_EQ(s.requested.total_count, clash);
    if (clash) {
      EXPECT_EQ(s.offered.last_policy_id, r.id);
      EXPECT_EQ(s.requested.last_policy_id, r.id);
    }
  }
}

// ------------------------------------------------------ default objects
// Passed by address, a *_QOS_DEFAULT object stands for the owner's current
// default at creation and in set_qos; in set_default_*_qos (and the
// factory's set_qos) for the built-in defaults. A copy is just a value.
template <typename Q>
void defaults_on(const Q*) {
  SCOPED_TRACE(Kind<Q>::name);
  World w;
  ASSERT_TRUE(w.ok());
  // A value of a changeable policy of this kind marks the owner's default.
  Q custom;
  bool marked = false;
  detail::for_each_policy_of<Q>([&](const auto& row, auto member) {
    if (!marked && row.change != Change::no) {
      custom.*member = probe_of(row).changed;
      marked = true;
    }
  });
  ASSERT_TRUE(marked);
  const Q& object = Kind<Q>::default_object();
  if constexpr (requires { Kind<Q>::set_default(w, custom); }) {
    auto* plain = Kind<Q>::create(w, Q());
    ASSERT_NE(plain, nullptr);
    ASSERT_EQ(Kind<Q>::set_default(w, custom), RETCODE_OK);
    auto* by_default = Kind<Q>::create(w, object);
    const Q copy = object;
    auto* by_copy = Kind<Q>::create(w, copy);
    ASSERT_TRUE(by_default && by_copy);
    EXPECT_EQ(qos_of<Q>(by_default), custom);
    EXPECT_EQ(qos_of<Q>(by_copy), Q());
    EXPECT_EQ(plain->set_qos(object), RETCODE_OK);
    EXPECT_EQ(qos_of<Q>(plain), custom);
    EXPECT_EQ(Kind<Q>::set_default(w, object), RETCODE_OK);
    Q owner_default;
    EXPECT_EQ(Kind<Q>::get_default(w, owner_default), RETCODE_OK);
    EXPECT_EQ(owner_default, Q());
    EXPECT_EQ(qos_of<Q>(by_default), custom) << "a default taken at creation stays";
  } else {
    auto* e = Kind<Q>::create(w, custom);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->set_qos(object), RETCODE_OK);
    EXPECT_EQ(qos_of<Q>(e), Q());
  }
}

TEST(QosPolicyTable, DefaultObjectsOfEveryKindStandForTheOwnersCurrentDefault) {
  for_each_kind([](auto* q) { defaults_on(q); });
}

// ----------------------------------------------------- discovery data
// Every policy a discovery data type announces, at its probe's value, in
// the QoS that feeds it: the first of the entity's own, its group's and its
// topic's that holds the policy. Both processes set up the same entities, so
// that they match.
template <typename Data, typename... Q>
void announce(Q&... qos) {
  detail::for_each_policy_of<Data>([&](const auto& row, auto) {
    bool placed = false;
    auto place = [&](auto& q) {
      using QosType = std::remove_reference_t<decltype(q)>;
      if (auto m = row.template in<QosType>(); m != nullptr && !placed) {
        q.*m = probe_of(row).changed;
        placed = true;
      }
    };
    (place(qos), ...);
    EXPECT_TRUE(placed) << row.name << " is announced but held by no QoS that feeds the announcement";
  });
}

struct Announcer {
  Stack s;
  DataWriter* writer = nullptr;
  DataReader* reader = nullptr;

  bool make(const std::string& topic) {
    DomainParticipantQos pq;
    announce<ParticipantBuiltinTopicData>(pq);
    TopicQos tq;
    PublisherQos pubq;
    SubscriberQos subq;
    DataWriterQos wq;
    DataReaderQos rq;
    announce<PublicationBuiltinTopicData>(wq, pubq, tq);
    announce<SubscriptionBuiltinTopicData>(rq, subq, tq);
    if (!s.make(topic, false, pq, pubq, subq, tq)) return false;
    writer = s.publisher->create_datawriter(s.topic, wq, nullptr, 0);
    reader = s.subscriber->create_datareader(s.topic, rq, nullptr, 0);
    return writer && reader;
  }
};

std::string handle_hex(const InstanceHandle_t& h) { return hex(h.value, 16); }

int child_announcer() {
  Announcer a;
  if (!a.make(env_or("QV_WIRE_TOPIC", ""))) return 2;
  tell_parent("HANDLES " + handle_hex(a.s.participant->get_instance_handle()) + " " +
              handle_hex(a.writer->get_instance_handle()) + " " + handle_hex(a.reader->get_instance_handle()));
  parent_line(30000);  // "quit"
  return 0;
}

const bool g_child = [] {
  run_child_if_requested({{"announcer", child_announcer}});
  return true;
}();

// What `data` must hold: the identity given and every announced policy at
// its probe's value, which differs from the type's default.
template <typename Data>
void expect_announced(const Data& got, const std::string& key, const std::string& participant_key = "",
                      const std::string& topic = "") {
  EXPECT_EQ(hex(got.key.value, 16), key);
  size_t identity = 1;
  if constexpr (requires { got.participant_key; }) {
    identity = 4;
    EXPECT_EQ(hex(got.participant_key.value, 16), participant_key);
    EXPECT_EQ(got.topic_name, topic);
    EXPECT_EQ(got.type_name, "FlatRecord");
  }
  size_t rows = 0;
  detail::for_each_policy_of<Data>([&](const auto& row, auto member) {
    ++rows;
    const auto wanted = probe_of(row).changed;
    EXPECT_FALSE(Data{}.*member == wanted) << row.name << ": its probe is the default";
    EXPECT_TRUE(got.*member == wanted) << row.name << " did not come back as announced";
  });
  // Every member of the data is the identity or some row's.
  EXPECT_EQ(identity + rows, member_count<Data>());
}

// The other process announces every policy; what it announced comes back
// whole: discovered participant data, and the matched publication and
// subscription data, of its endpoints and of this process's own.
TEST(QosPolicyTable, EveryAnnouncedPolicyComesBackFromAnotherProcess) {
  const std::string topic = unique_name("policy_announced");
  Announcer own;
  ASSERT_TRUE(own.make(topic));
  Child child("announcer", {{"QV_WIRE_TOPIC", topic}});
  ASSERT_TRUE(child.ok());
  std::string handles;
  ASSERT_TRUE(child.expect("HANDLES ", handles, 10000));
  ASSERT_EQ(handles.size(), 3 * 32 + 2);
  const std::string participant = handles.substr(0, 32), writer = handles.substr(33, 32),
                    reader = handles.substr(66, 32);
  auto handle_of = [](const std::string& h) {
    InstanceHandle_t out = HANDLE_NIL;
    unhex(h, out.value, 16);
    return out;
  };

  // Discovered, and matched both ways with the other process and this one.
  ASSERT_TRUE(eventually([&] {
    InstanceHandleSeq parts, pubs, subs;
    own.s.participant->get_discovered_participants(parts);
    own.reader->get_matched_publications(pubs);
    own.writer->get_matched_subscriptions(subs);
    return std::find(parts.begin(), parts.end(), handle_of(participant)) != parts.end() && pubs.size() == 2 &&
           subs.size() == 2;
  }, 10000));

  {
    SCOPED_TRACE("participant");
    ParticipantBuiltinTopicData d;
    ASSERT_EQ(own.s.participant->get_discovered_participant_data(d, handle_of(participant)), RETCODE_OK);
    expect_announced(d, participant);
  }
  const std::string own_participant = handle_hex(own.s.participant->get_instance_handle());
  const std::map<std::string, std::string> participant_of = {
      {writer, participant}, {reader, participant},
      {handle_hex(own.writer->get_instance_handle()), own_participant},
      {handle_hex(own.reader->get_instance_handle()), own_participant}};
  InstanceHandleSeq pubs, subs;
  ASSERT_EQ(own.reader->get_matched_publications(pubs), RETCODE_OK);
  ASSERT_EQ(own.writer->get_matched_subscriptions(subs), RETCODE_OK);
  std::set<std::string> seen;
  auto check = [&](const InstanceHandleSeq& handles, auto data, auto get) {
    for (const InstanceHandle_t& h : handles) {
      SCOPED_TRACE("matched endpoint " + handle_hex(h));
      ASSERT_EQ(get(data, h), RETCODE_OK);
      ASSERT_EQ(participant_of.count(handle_hex(h)), 1u);
      expect_announced(data, handle_hex(h), participant_of.at(handle_hex(h)), topic);
      seen.insert(handle_hex(h));
    }
  };
  check(pubs, PublicationBuiltinTopicData{},
        [&](auto& d, const InstanceHandle_t& h) { return own.reader->get_matched_publication_data(d, h); });
  check(subs, SubscriptionBuiltinTopicData{},
        [&](auto& d, const InstanceHandle_t& h) { return own.writer->get_matched_subscription_data(d, h); });
  EXPECT_EQ(seen.size(), 4u) << "the other process's writer and reader, and this one's";
  child.send("quit");
  EXPECT_TRUE(child.wait_exit(10000));
}

}  // namespace
