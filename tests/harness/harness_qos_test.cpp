// QoS comparators (difference lines on standard output), reset routines and
// the reader match poll.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "TestHelper.h"

using namespace QUORVELA;

namespace {

// Runs one comparison and returns what it printed.
template <typename Q>
std::string linesOf(bool (*compare)(const Q&, const Q&), const Q& a, const Q& b, bool& result) {
    testing::internal::CaptureStdout();
    result = compare(a, b);
    return testing::internal::GetCapturedStdout();
}

template <typename Q>
std::string linesOf(bool (*compare)(const Q&, const Q&), const Q& a, const Q& b) {
    bool ignored = false;
    return linesOf(compare, a, b, ignored);
}

std::string byte(int v) { return std::string(1, static_cast<char>(v)); }

// One expected difference line: path (with ".size" for a sequence of another
// size) and the two values as printed.
struct Row {
    std::string path;
    std::string changed;
    std::string dflt;
};

std::string expectedLines(const std::vector<Row>& rows, bool changedFirst) {
    std::string out;
    for (const Row& r : rows) {
        out += r.path + " not equal: " + (changedFirst ? r.changed : r.dflt) + " vs " +
               (changedFirst ? r.dflt : r.changed) + "\n";
    }
    return out;
}

const std::string kInf = "{2147483647, 4294967295}";
const std::string kZero = "{0, 0}";
const std::string k100ms = "{0, 100000000}";

// Every row of each type changed: row n's number n is its new scalar value,
// {n, n} its new duration; sequences get another size.
TopicQos changedTopic() {
    TopicQos q;
    q.topic_data.value = {9, 9, 9};
    q.durability.kind = 2;
    q.durability_service.service_cleanup_delay = {3, 3};
    q.durability_service.history_kind = 4;
    q.durability_service.history_depth = 5;
    q.durability_service.max_samples = 6;
    q.durability_service.max_instances = 7;
    q.durability_service.max_samples_per_instance = 8;
    q.deadline.period = {9, 9};
    q.latency_budget.duration = {10, 10};
    q.liveliness.kind = 11;
    q.liveliness.lease_duration = {12, 12};
    q.reliability.kind = 13;
    q.reliability.max_blocking_time = {14, 14};
    q.destination_order.kind = 15;
    q.history.kind = 16;
    q.history.depth = 17;
    q.resource_limits.max_samples = 18;
    q.resource_limits.max_instances = 19;
    q.resource_limits.max_samples_per_instance = 20;
    q.transport_priority.value = 21;
    q.lifespan.duration = {22, 22};
    q.ownership.kind = 23;
    return q;
}

const std::vector<Row> kTopicRows = {
    {"topic_data.value.size", "3", "0"},
    {"durability.kind", byte(2), byte(0)},
    {"durability_service.service_cleanup_delay", "{3, 3}", kZero},
    {"durability_service.history_kind", byte(4), byte(0)},
    {"durability_service.history_depth", "5", "1"},
    {"durability_service.max_samples", "6", "-1"},
    {"durability_service.max_instances", "7", "-1"},
    {"durability_service.max_samples_per_instance", "8", "-1"},
    {"deadline.period", "{9, 9}", kInf},
    {"latency_budget.duration", "{10, 10}", kZero},
    {"liveliness.kind", byte(11), byte(0)},
    {"liveliness.lease_duration", "{12, 12}", kInf},
    {"reliability.kind", byte(13), byte(1)},
    {"reliability.max_blocking_time", "{14, 14}", k100ms},
    {"destination_order.kind", byte(15), byte(0)},
    {"history.kind", byte(16), byte(0)},
    {"history.depth", "17", "1"},
    {"resource_limits.max_samples", "18", "-1"},
    {"resource_limits.max_instances", "19", "-1"},
    {"resource_limits.max_samples_per_instance", "20", "-1"},
    {"transport_priority.value", "21", "0"},
    {"lifespan.duration", "{22, 22}", kInf},
    {"ownership.kind", byte(23), byte(0)},
};

DataWriterQos changedWriter() {
    DataWriterQos q;
    q.durability.kind = 1;
    q.durability_service.service_cleanup_delay = {2, 2};
    q.durability_service.history_kind = 3;
    q.durability_service.history_depth = 4;
    q.durability_service.max_samples = 5;
    q.durability_service.max_instances = 6;
    q.durability_service.max_samples_per_instance = 7;
    q.deadline.period = {8, 8};
    q.latency_budget.duration = {9, 9};
    q.liveliness.kind = 10;
    q.liveliness.lease_duration = {11, 11};
    q.reliability.kind = 12;
    q.reliability.max_blocking_time = {13, 13};
    q.destination_order.kind = 14;
    q.history.kind = 15;
    q.history.depth = 16;
    q.resource_limits.max_samples = 17;
    q.resource_limits.max_instances = 18;
    q.resource_limits.max_samples_per_instance = 19;
    q.transport_priority.value = 20;
    q.lifespan.duration = {21, 21};
    q.user_data.value = {1, 2};
    q.ownership.kind = 23;
    q.ownership_strength.value = 24;
    q.writer_data_lifecycle.autodispose_unregistered_instances = false;
    return q;
}

const std::vector<Row> kWriterRows = {
    {"durability.kind", byte(1), byte(0)},
    {"durability_service.service_cleanup_delay", "{2, 2}", kZero},
    {"durability_service.history_kind", byte(3), byte(0)},
    {"durability_service.history_depth", "4", "1"},
    {"durability_service.max_samples", "5", "-1"},
    {"durability_service.max_instances", "6", "-1"},
    {"durability_service.max_samples_per_instance", "7", "-1"},
    {"deadline.period", "{8, 8}", kInf},
    {"latency_budget.duration", "{9, 9}", kZero},
    {"liveliness.kind", byte(10), byte(0)},
    {"liveliness.lease_duration", "{11, 11}", kInf},
    {"reliability.kind", byte(12), byte(2)},
    {"reliability.max_blocking_time", "{13, 13}", k100ms},
    {"destination_order.kind", byte(14), byte(0)},
    {"history.kind", byte(15), byte(0)},
    {"history.depth", "16", "1"},
    {"resource_limits.max_samples", "17", "-1"},
    {"resource_limits.max_instances", "18", "-1"},
    {"resource_limits.max_samples_per_instance", "19", "-1"},
    {"transport_priority.value", "20", "0"},
    {"lifespan.duration", "{21, 21}", kInf},
    {"user_data.value.size", "2", "0"},
    {"ownership.kind", byte(23), byte(0)},
    {"ownership_strength.value", "24", "0"},
    {"writer_data_lifecycle.autodispose_unregistered_instances", "0", "1"},
};

DataReaderQos changedReader() {
    DataReaderQos q;
    q.durability.kind = 1;
    q.deadline.period = {2, 2};
    q.latency_budget.duration = {3, 3};
    q.liveliness.kind = 4;
    q.liveliness.lease_duration = {5, 5};
    q.reliability.kind = 6;
    q.reliability.max_blocking_time = {7, 7};
    q.destination_order.kind = 8;
    q.history.kind = 9;
    q.history.depth = 10;
    q.resource_limits.max_samples = 11;
    q.resource_limits.max_instances = 12;
    q.resource_limits.max_samples_per_instance = 13;
    q.user_data.value = {1};
    q.ownership.kind = 15;
    q.time_based_filter.minimum_separation = {16, 16};
    q.reader_data_lifecycle.autopurge_nowriter_samples_delay = {17, 17};
    q.reader_data_lifecycle.autopurge_disposed_samples_delay = {18, 18};
    return q;
}

const std::vector<Row> kReaderRows = {
    {"durability.kind", byte(1), byte(0)},
    {"deadline.period", "{2, 2}", kInf},
    {"latency_budget.duration", "{3, 3}", kZero},
    {"liveliness.kind", byte(4), byte(0)},
    {"liveliness.lease_duration", "{5, 5}", kInf},
    {"reliability.kind", byte(6), byte(1)},
    {"reliability.max_blocking_time", "{7, 7}", k100ms},
    {"destination_order.kind", byte(8), byte(0)},
    {"history.kind", byte(9), byte(0)},
    {"history.depth", "10", "1"},
    {"resource_limits.max_samples", "11", "-1"},
    {"resource_limits.max_instances", "12", "-1"},
    {"resource_limits.max_samples_per_instance", "13", "-1"},
    {"user_data.value.size", "1", "0"},
    {"ownership.kind", byte(15), byte(0)},
    {"time_based_filter.minimum_separation", "{16, 16}", kZero},
    {"reader_data_lifecycle.autopurge_nowriter_samples_delay", "{17, 17}", kInf},
    {"reader_data_lifecycle.autopurge_disposed_samples_delay", "{18, 18}", kInf},
};

template <typename Q>
Q changedGroup() {
    Q q;
    q.partition.name = {"p1", "p2"};
    q.group_data.value = {1, 2, 3};
    q.presentation.access_scope = 2;
    q.presentation.coherent_access = true;
    q.presentation.ordered_access = true;
    q.entity_factory.autoenable_created_entities = false;
    return q;
}

const std::vector<Row> kGroupRows = {
    {"partition.name.size", "2", "0"},
    {"group_data.value.size", "3", "0"},
    {"presentation.access_scope", byte(2), byte(0)},
    {"presentation.coherent_access", "1", "0"},
    {"presentation.ordered_access", "1", "0"},
    {"entity_factory.autoenable_created_entities", "0", "1"},
};

DomainParticipantQos changedParticipant() {
    DomainParticipantQos q;
    q.user_data.value = {1, 2, 3, 4};
    q.entity_factory.autoenable_created_entities = false;
    return q;
}

const std::vector<Row> kParticipantRows = {
    {"user_data.value.size", "4", "0"},
    {"entity_factory.autoenable_created_entities", "0", "1"},
};

DomainParticipantFactoryQos changedFactory() {
    DomainParticipantFactoryQos q;
    q.entity_factory.autoenable_created_entities = false;
    return q;
}

const std::vector<Row> kFactoryRows = {
    {"entity_factory.autoenable_created_entities", "0", "1"},
};

// Checks every row in both argument orders and that defaults compare equal.
template <typename Q>
void checkAllRows(bool (*compare)(const Q&, const Q&), const Q& changed, const std::vector<Row>& rows) {
    const Q dflt;
    bool result = true;
    EXPECT_EQ(linesOf(compare, changed, dflt, result), expectedLines(rows, true));
    EXPECT_FALSE(result);
    EXPECT_EQ(linesOf(compare, dflt, changed, result), expectedLines(rows, false));
    EXPECT_FALSE(result);
    EXPECT_EQ(linesOf(compare, dflt, Q(), result), "");
    EXPECT_TRUE(result);
    EXPECT_EQ(linesOf(compare, changed, changed, result), "");
    EXPECT_TRUE(result);
}

TEST(QosCompare, EveryRowInTableOrderBothWays) {
    {
        SCOPED_TRACE("factory");
        checkAllRows(&TestHelper::dpf_qos_compare, changedFactory(), kFactoryRows);
    }
    {
        SCOPED_TRACE("participant");
        checkAllRows(&TestHelper::dp_qos_compare, changedParticipant(), kParticipantRows);
    }
    {
        SCOPED_TRACE("publisher");
        checkAllRows(&TestHelper::publisher_qos_compare, changedGroup<PublisherQos>(), kGroupRows);
    }
    {
        SCOPED_TRACE("subscriber");
        checkAllRows(&TestHelper::subscriber_qos_compare, changedGroup<SubscriberQos>(), kGroupRows);
    }
    {
        SCOPED_TRACE("topic");
        checkAllRows(&TestHelper::topic_qos_compare, changedTopic(), kTopicRows);
    }
    {
        SCOPED_TRACE("writer");
        checkAllRows(&TestHelper::datawriter_qos_compare, changedWriter(), kWriterRows);
    }
    {
        SCOPED_TRACE("reader");
        checkAllRows(&TestHelper::datareader_qos_compare, changedReader(), kReaderRows);
    }
}

TEST(QosCompare, SequenceElementsAndSizes) {
    DomainParticipantQos a;
    DomainParticipantQos b;
    // Same size, last octet differs: one element line with raw bytes.
    a.user_data.value = {1, 2, 3, 7};
    b.user_data.value = {1, 2, 3, 8};
    bool result = true;
    EXPECT_EQ(linesOf(&TestHelper::dp_qos_compare, a, b, result),
              "user_data.value[3] not equal: " + byte(7) + " vs " + byte(8) + "\n");
    EXPECT_FALSE(result);
    // Different sizes: the size line only, although the first elements differ.
    a.user_data.value = {9};
    b.user_data.value = {1, 2};
    EXPECT_EQ(linesOf(&TestHelper::dp_qos_compare, a, b), "user_data.value.size not equal: 1 vs 2\n");
    // Several differing octets: one line each, ascending.
    a.user_data.value = {'a', 'b', 'c'};
    b.user_data.value = {'x', 'b', 'z'};
    EXPECT_EQ(linesOf(&TestHelper::dp_qos_compare, a, b),
              "user_data.value[0] not equal: a vs x\nuser_data.value[2] not equal: c vs z\n");

    // Swapped partition names: two element lines, index 0 first.
    PublisherQos p;
    PublisherQos q;
    p.partition.name = {"alpha", "beta"};
    q.partition.name = {"beta", "alpha"};
    EXPECT_EQ(linesOf(&TestHelper::publisher_qos_compare, p, q, result),
              "partition.name[0] not equal: alpha vs beta\npartition.name[1] not equal: beta vs alpha\n");
    EXPECT_FALSE(result);
    // Strings differing only in length, or only past an embedded zero byte.
    SubscriberQos s;
    SubscriberQos t;
    s.partition.name = {"ab", std::string("x\0y", 3), ""};
    t.partition.name = {"abc", std::string("x\0z", 3), ""};
    EXPECT_EQ(linesOf(&TestHelper::subscriber_qos_compare, s, t),
              "partition.name[0] not equal: ab vs abc\npartition.name[1] not equal: " +
                  std::string("x\0y", 3) + " vs " + std::string("x\0z", 3) + "\n");

    TopicQos u;
    TopicQos v;
    u.topic_data.value = {0xff};
    v.topic_data.value = {0x00};
    EXPECT_EQ(linesOf(&TestHelper::topic_qos_compare, u, v),
              "topic_data.value[0] not equal: " + byte(0xff) + " vs " + byte(0) + "\n");
}

TEST(QosCompare, ScalarAndDurationLines) {
    TopicQos a;
    TopicQos dflt;
    a.history.depth = 1111;
    EXPECT_EQ(linesOf(&TestHelper::topic_qos_compare, a, dflt), "history.depth not equal: 1111 vs 1\n");

    a = TopicQos();
    a.reliability.kind = RELIABLE_RELIABILITY_QOS;
    EXPECT_EQ(linesOf(&TestHelper::topic_qos_compare, a, dflt),
              "reliability.kind not equal: \x02 vs \x01\n");

    // Only the nanoseconds differ: both whole durations are written.
    a = TopicQos();
    a.reliability.max_blocking_time = {0, 100000001};
    EXPECT_EQ(linesOf(&TestHelper::topic_qos_compare, a, dflt),
              "reliability.max_blocking_time not equal: {0, 100000001} vs {0, 100000000}\n");

    DataWriterQos w;
    DataWriterQos wd;
    w.deadline.period = {10, 0};
    w.durability_service.max_samples = -2147483647 - 1;
    EXPECT_EQ(linesOf(&TestHelper::datawriter_qos_compare, wd, w),
              "durability_service.max_samples not equal: -1 vs -2147483648\n"
              "deadline.period not equal: {2147483647, 4294967295} vs {10, 0}\n");

    DataReaderQos r;
    DataReaderQos rd;
    r.reader_data_lifecycle.autopurge_nowriter_samples_delay = {10, 0};
    r.reader_data_lifecycle.autopurge_disposed_samples_delay = {5, 0};
    r.liveliness.lease_duration = {-1, 4294967295u};
    EXPECT_EQ(linesOf(&TestHelper::datareader_qos_compare, r, rd),
              "liveliness.lease_duration not equal: {-1, 4294967295} vs {2147483647, 4294967295}\n"
              "reader_data_lifecycle.autopurge_nowriter_samples_delay not equal: {10, 0} vs "
              "{2147483647, 4294967295}\n"
              "reader_data_lifecycle.autopurge_disposed_samples_delay not equal: {5, 0} vs "
              "{2147483647, 4294967295}\n");

    PublisherQos p;
    PublisherQos pd;
    p.presentation.access_scope = TOPIC_PRESENTATION_QOS;
    p.entity_factory.autoenable_created_entities = false;
    EXPECT_EQ(linesOf(&TestHelper::publisher_qos_compare, p, pd),
              std::string("presentation.access_scope not equal: \x01 vs ") + byte(0) +
                  "\nentity_factory.autoenable_created_entities not equal: 0 vs 1\n");
}

TEST(QosCompare, NonRowMembersAreNotCompared) {
    DataWriterQos w;
    w.properties.value.push_back({"name", "value"});
    EXPECT_EQ(linesOf(&TestHelper::datawriter_qos_compare, w, DataWriterQos()), "");
    DataReaderQos r;
    r.properties.value.push_back({"name", "value"});
    EXPECT_EQ(linesOf(&TestHelper::datareader_qos_compare, r, DataReaderQos()), "");
    DomainParticipantQos p;
    p.transport_mode = TRANSPORT_UDPV4;
    EXPECT_EQ(linesOf(&TestHelper::dp_qos_compare, p, DomainParticipantQos()), "");
}

// A reset must bring a fully changed value back to the defaults, keep the
// storage of its sequences, and leave a default value as it is.
template <typename Q>
void checkReset(void (*reset)(Q&), bool (*compare)(const Q&, const Q&), Q changed) {
    bool result = false;
    reset(changed);
    EXPECT_EQ(linesOf(compare, changed, Q(), result), "");
    EXPECT_TRUE(result);
    Q fresh;
    reset(fresh);
    EXPECT_EQ(linesOf(compare, fresh, Q(), result), "");
    EXPECT_TRUE(result);
}

TEST(QosReset, RestoresEveryComparedRow) {
    checkReset(&topic_qos_reset, &TestHelper::topic_qos_compare, changedTopic());
    checkReset(&datawriter_qos_reset, &TestHelper::datawriter_qos_compare, changedWriter());
    checkReset(&publisher_qos_reset, &TestHelper::publisher_qos_compare, changedGroup<PublisherQos>());
    checkReset(&subscriber_qos_reset, &TestHelper::subscriber_qos_compare, changedGroup<SubscriberQos>());
}

TEST(QosReset, SequencesAreEmptiedInPlace) {
    TopicQos t;
    t.history.depth = 1111;
    t.reliability.kind = RELIABLE_RELIABILITY_QOS;
    t.topic_data.value = {1, 2, 3, 4};
    const auto* topicData = t.topic_data.value.data();
    const auto topicCapacity = t.topic_data.value.capacity();
    topic_qos_reset(t);
    EXPECT_TRUE(t.topic_data.value.empty());
    EXPECT_EQ(t.topic_data.value.capacity(), topicCapacity);
    EXPECT_EQ(t.topic_data.value.data(), topicData);

    DataWriterQos w;
    w.user_data.value.assign(100, 7);
    const auto writerCapacity = w.user_data.value.capacity();
    datawriter_qos_reset(w);
    EXPECT_TRUE(w.user_data.value.empty());
    EXPECT_EQ(w.user_data.value.capacity(), writerCapacity);

    PublisherQos p;
    p.partition.name = {"first partition name, long enough to own heap storage", "second"};
    p.group_data.value = {1, 2, 3};
    const auto names = p.partition.name.capacity();
    const auto group = p.group_data.value.capacity();
    publisher_qos_reset(p);
    EXPECT_TRUE(p.partition.name.empty());
    EXPECT_TRUE(p.group_data.value.empty());
    EXPECT_EQ(p.partition.name.capacity(), names);
    EXPECT_EQ(p.group_data.value.capacity(), group);

    SubscriberQos s;
    s.partition.name = {"a", "b", "c"};
    const auto subNames = s.partition.name.capacity();
    subscriber_qos_reset(s);
    EXPECT_TRUE(s.partition.name.empty());
    EXPECT_EQ(s.partition.name.capacity(), subNames);
}

TEST(QosReset, WriterMembersOutsideTheRowsAreKept) {
    DataWriterQos w = changedWriter();
    w.properties.value = {{"a", "1"}, {"b", "2"}};
    datawriter_qos_reset(w);
    ASSERT_EQ(w.properties.value.size(), 2u);
    EXPECT_EQ(w.properties.value[0].name, "a");
    EXPECT_EQ(w.properties.value[1].value, "2");
    EXPECT_EQ(w.reliability.kind, RELIABLE_RELIABILITY_QOS);
    TopicQos t = changedTopic();
    topic_qos_reset(t);
    EXPECT_EQ(t.reliability.kind, BEST_EFFORT_RELIABILITY_QOS);
}

// A reader that answers get_matched_publications from a script, one entry per
// poll, and records what each poll was handed. Nothing else is ever called.
class PolledReader : public DataReader {
public:
    struct Answer {
        ReturnCode_t rc;
        std::size_t matches;
    };
    explicit PolledReader(std::vector<Answer> script) : script_(std::move(script)) {}

    ReturnCode_t get_matched_publications(InstanceHandleSeq& handles) override {
        pollStarts.push_back(std::chrono::steady_clock::now());
        emptyOnEntry = emptyOnEntry && handles.empty();
        const Answer a = pollStarts.size() <= script_.size() ? script_[pollStarts.size() - 1] : script_.back();
        handles.assign(a.matches, InstanceHandle_t());
        return a.rc;
    }

    std::vector<std::chrono::steady_clock::time_point> pollStarts;
    bool emptyOnEntry = true;

    // clang-format off
    ReturnCode_t enable() override { return unexpected(); }
    bool is_enabled() override { return unexpected(), false; }
    StatusCondition& get_statuscondition() override { std::abort(); }
    StatusMask get_status_changes() override { return unexpected(), 0; }
    InstanceHandle_t get_instance_handle() override { return unexpected(), HANDLE_NIL; }
    ReturnCode_t read(SequenceBase&, SampleInfoSeq&, int32_t, SampleStateMask, ViewStateMask, InstanceStateMask) override { return unexpected(); }
    ReturnCode_t take(SequenceBase&, SampleInfoSeq&, int32_t, SampleStateMask, ViewStateMask, InstanceStateMask) override { return unexpected(); }
    ReturnCode_t read_w_condition(SequenceBase&, SampleInfoSeq&, int32_t, ReadCondition*) override { return unexpected(); }
    ReturnCode_t take_w_condition(SequenceBase&, SampleInfoSeq&, int32_t, ReadCondition*) override { return unexpected(); }
    ReturnCode_t read_instance(SequenceBase&, SampleInfoSeq&, int32_t, const InstanceHandle_t&, SampleStateMask, ViewStateMask, InstanceStateMask) override { return unexpected(); }
    ReturnCode_t take_instance(SequenceBase&, SampleInfoSeq&, int32_t, const InstanceHandle_t&, SampleStateMask, ViewStateMask, InstanceStateMask) override { return unexpected(); }
    ReturnCode_t read_next_sample(void*, SampleInfo&) override { return unexpected(); }
    ReturnCode_t take_next_sample(void*, SampleInfo&) override { return unexpected(); }
    InstanceHandle_t lookup_instance(const void*) override { return unexpected(), HANDLE_NIL; }
    ReturnCode_t get_key_value(void*, const InstanceHandle_t&) override { return unexpected(); }
    ReadCondition* create_readcondition(SampleStateMask, ViewStateMask, InstanceStateMask) override { return unexpected(), nullptr; }
    QueryCondition* create_querycondition(SampleStateMask, ViewStateMask, InstanceStateMask, const std::string&, const StringSeq&) override { return unexpected(), nullptr; }
    ReturnCode_t delete_readcondition(ReadCondition*) override { return unexpected(); }
    ReturnCode_t delete_contained_entities() override { return unexpected(); }
    ReturnCode_t get_liveliness_changed_status(LivelinessChangedStatus&) override { return unexpected(); }
    ReturnCode_t get_requested_deadline_missed_status(RequestedDeadlineMissedStatus&) override { return unexpected(); }
    ReturnCode_t get_requested_incompatible_qos_status(RequestedIncompatibleQosStatus&) override { return unexpected(); }
    ReturnCode_t get_sample_lost_status(SampleLostStatus&) override { return unexpected(); }
    ReturnCode_t get_sample_rejected_status(SampleRejectedStatus&) override { return unexpected(); }
    ReturnCode_t get_subscription_matched_status(SubscriptionMatchedStatus&) override { return unexpected(); }
    ReturnCode_t get_matched_publication_data(PublicationBuiltinTopicData&, const InstanceHandle_t&) override { return unexpected(); }
    ReturnCode_t wait_for_historical_data(const Duration_t&) override { return unexpected(); }
    TopicDescription* get_topicdescription() override { return unexpected(), nullptr; }
    Subscriber* get_subscriber() override { return unexpected(), nullptr; }
    ReturnCode_t get_qos(DataReaderQos&) override { return unexpected(); }
    ReturnCode_t set_qos(const DataReaderQos&) override { return unexpected(); }
    ReturnCode_t set_qos_with_profile(const char*, const char*, const char*) override { return unexpected(); }
    ReturnCode_t set_listener(DataReaderListener*, StatusMask) override { return unexpected(); }
    DataReaderListener* get_listener() override { return unexpected(), nullptr; }
    // clang-format on

private:
    ReturnCode_t unexpected() {
        ADD_FAILURE() << "only get_matched_publications may be called";
        return RETCODE_ERROR;
    }
    std::vector<Answer> script_;
};

long long msBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// Polls until the first successful poll that finds a match, one second apart,
// each on a fresh empty list; after ten fruitless polls (and the pause after
// the tenth) the answer is false.
TEST(WaitMatch, PollsUntilAMatchIsReported) {
    using A = PolledReader::Answer;
    {
        SCOPED_TRACE("matched at once");
        PolledReader reader({A{RETCODE_OK, 1}});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(TestHelper::waitmatch(&reader, 1));
        EXPECT_LT(msBetween(start, std::chrono::steady_clock::now()), 500);
        EXPECT_EQ(reader.pollStarts.size(), 1u);
    }
    {
        SCOPED_TRACE("an error with handles, then nothing, then a match");
        PolledReader reader({A{RETCODE_ERROR, 2}, A{RETCODE_OK, 0}, A{RETCODE_OK, 3}});
        EXPECT_TRUE(TestHelper::waitmatch(&reader, 1));
        ASSERT_EQ(reader.pollStarts.size(), 3u);
        EXPECT_TRUE(reader.emptyOnEntry);
        for (std::size_t i = 1; i < reader.pollStarts.size(); ++i) {
            const auto gap = msBetween(reader.pollStarts[i - 1], reader.pollStarts[i]);
            EXPECT_GE(gap, 1000);
            EXPECT_LT(gap, 1500);
        }
    }
    {
        SCOPED_TRACE("never matched");
        PolledReader reader({A{RETCODE_OK, 0}, A{RETCODE_ERROR, 1}});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(TestHelper::waitmatch(&reader, 1));
        const auto elapsed = msBetween(start, std::chrono::steady_clock::now());
        EXPECT_EQ(reader.pollStarts.size(), 10u);
        EXPECT_TRUE(reader.emptyOnEntry);
        EXPECT_GE(elapsed, 10000);
        EXPECT_LT(elapsed, 12000);
    }
}

}  // namespace
