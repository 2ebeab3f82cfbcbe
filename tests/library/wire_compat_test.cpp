// Offered against requested QoS between two participants: which pairings
// match, which are refused and with which policy, seen from both the writer
// and the reader, on the boundaries of each rule.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>
#include <unistd.h>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

struct Pairing {
    const char* what;
    std::function<void(DataWriterQos&)> offer;
    std::function<void(DataReaderQos&)> request;
    QosPolicyId_t refused_by;  // 0: they match
};

Duration_t ns_duration(int32_t sec, uint32_t nanosec) { return Duration_t{sec, nanosec}; }

const std::vector<Pairing>& pairings() {
    static const std::vector<Pairing> all = {
        {"durability: equal kinds",
         [](DataWriterQos& q) { q.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS; },
         [](DataReaderQos& q) { q.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS; }, 0},
        {"durability: more offered than requested",
         [](DataWriterQos& q) { q.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS; },
         [](DataReaderQos& q) { q.durability.kind = VOLATILE_DURABILITY_QOS; }, 0},
        {"durability: volatile against transient local",
         [](DataWriterQos& q) { q.durability.kind = VOLATILE_DURABILITY_QOS; },
         [](DataReaderQos& q) { q.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS; }, DURABILITY_QOS_POLICY_ID},
        {"durability: transient local against persistent",
         [](DataWriterQos& q) { q.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS; },
         [](DataReaderQos& q) { q.durability.kind = PERSISTENT_DURABILITY_QOS; }, DURABILITY_QOS_POLICY_ID},
        {"reliability: reliable against best effort",
         [](DataWriterQos& q) { q.reliability.kind = RELIABLE_RELIABILITY_QOS; },
         [](DataReaderQos& q) { q.reliability.kind = BEST_EFFORT_RELIABILITY_QOS; }, 0},
        {"reliability: best effort against reliable",
         [](DataWriterQos& q) { q.reliability.kind = BEST_EFFORT_RELIABILITY_QOS; },
         [](DataReaderQos& q) { q.reliability.kind = RELIABLE_RELIABILITY_QOS; }, RELIABILITY_QOS_POLICY_ID},
        {"deadline: equal periods",
         [](DataWriterQos& q) { q.deadline.period = ns_duration(0, 100000000); },
         [](DataReaderQos& q) { q.deadline.period = ns_duration(0, 100000000); }, 0},
        {"deadline: a request 1 ns shorter than the offer",
         [](DataWriterQos& q) { q.deadline.period = ns_duration(0, 100000000); },
         [](DataReaderQos& q) { q.deadline.period = ns_duration(0, 99999999); }, DEADLINE_QOS_POLICY_ID},
        {"deadline: none offered, one requested",
         [](DataWriterQos&) {},
         [](DataReaderQos& q) { q.deadline.period = ns_duration(1, 0); }, DEADLINE_QOS_POLICY_ID},
        {"ownership: shared against exclusive",
         [](DataWriterQos& q) { q.ownership.kind = SHARED_OWNERSHIP_QOS; },
         [](DataReaderQos& q) { q.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS; }, OWNERSHIP_QOS_POLICY_ID},
        {"ownership: exclusive against shared",
         [](DataWriterQos& q) { q.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS; },
         [](DataReaderQos& q) { q.ownership.kind = SHARED_OWNERSHIP_QOS; }, OWNERSHIP_QOS_POLICY_ID},
        {"liveliness: manual by participant against automatic",
         [](DataWriterQos& q) { q.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS; },
         [](DataReaderQos& q) { q.liveliness.kind = AUTOMATIC_LIVELINESS_QOS; }, 0},
        {"liveliness: manual by topic against manual by participant",
         [](DataWriterQos& q) { q.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS; },
         [](DataReaderQos& q) { q.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS; }, 0},
        {"liveliness: automatic against manual by participant",
         [](DataWriterQos& q) { q.liveliness.kind = AUTOMATIC_LIVELINESS_QOS; },
         [](DataReaderQos& q) { q.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS; },
         LIVELINESS_QOS_POLICY_ID},
        {"liveliness: equal leases",
         [](DataWriterQos& q) { q.liveliness.lease_duration = ns_duration(10, 0); },
         [](DataReaderQos& q) { q.liveliness.lease_duration = ns_duration(10, 0); }, 0},
        {"liveliness: infinite lease offered, finite requested",
         [](DataWriterQos& q) { q.liveliness.lease_duration = DURATION_INFINITE; },
         [](DataReaderQos& q) { q.liveliness.lease_duration = ns_duration(10, 0); }, LIVELINESS_QOS_POLICY_ID},
    };
    return all;
}

struct Outcome {
    PublicationMatchedStatus pub;
    OfferedIncompatibleQosStatus offered;
    SubscriptionMatchedStatus sub;
    RequestedIncompatibleQosStatus requested;
};

Outcome outcome_of(DataWriter* w, DataReader* r) {
    Outcome o;
    EXPECT_EQ(w->get_publication_matched_status(o.pub), RETCODE_OK);
    EXPECT_EQ(w->get_offered_incompatible_qos_status(o.offered), RETCODE_OK);
    EXPECT_EQ(r->get_subscription_matched_status(o.sub), RETCODE_OK);
    EXPECT_EQ(r->get_requested_incompatible_qos_status(o.requested), RETCODE_OK);
    return o;
}

// One writer and one reader per pairing, each pairing on a topic of its own,
// in two participants. The topics are named for the test and the process:
// cases that run at once in one domain must not see each other's endpoints. The writers have the full status mask but no
// listener, so every change waits for the status read.
class WireCompat : public ::testing::Test {
protected:
    void SetUp() override {
        for (Stack* s : {&a, &b}) {
            s->participant = s->factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
            ASSERT_NE(s->participant, nullptr);
            ASSERT_EQ(s->participant->registe_type("FlatRecord", FlatRecordTypeSupport::get_instance()), RETCODE_OK);
        }
        a.publisher = a.participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
        b.subscriber = b.participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
        ASSERT_TRUE(a.publisher && b.subscriber);
        for (std::size_t i = 0; i < pairings().size(); ++i) {
            const Pairing& p = pairings()[i];
            const std::string name = topic_prefix() + std::to_string(i);
            Topic* wt = a.participant->create_topic(name, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
            Topic* rt = b.participant->create_topic(name, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
            ASSERT_TRUE(wt && rt) << p.what;
            DataReaderQos rq = DATAREADER_QOS_DEFAULT;
            p.request(rq);
            DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
            p.offer(wq);
            readers.push_back(b.subscriber->create_datareader(rt, rq, nullptr, 0));
            writers.push_back(a.publisher->create_datawriter(wt, wq, nullptr, 0xffffffff));
            ASSERT_TRUE(readers.back() && writers.back()) << p.what;
        }
    }
    static std::string topic_prefix() {
        return std::string("wc_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
               std::to_string(::getpid()) + "_";
    }
    void TearDown() override {
        a.destroy();
        b.destroy();
        DomainParticipantFactory::finalize();
    }

    // Every pairing has been judged on both sides: matched or refused.
    bool all_judged() {
        for (std::size_t i = 0; i < writers.size(); ++i) {
            Outcome o = outcome_of(writers[i], readers[i]);
            if (o.pub.total_count + o.offered.total_count == 0 || o.sub.total_count + o.requested.total_count == 0)
                return false;
        }
        return true;
    }

    Stack a, b;
    std::vector<DataWriter*> writers;
    std::vector<DataReader*> readers;
};

TEST_F(WireCompat, EachPairingMatchesOrIsRefusedWithItsPolicyOnBothSides) {
    // Nothing has been read yet: each first read carries the whole change.
    bool first_read_checked = false;
    std::vector<bool> judged(writers.size(), false);
    ASSERT_TRUE(eventually(
        [&] {
            bool all = true;
            for (std::size_t i = 0; i < writers.size(); ++i) {
                if (judged[i]) continue;
                PublicationMatchedStatus pub;
                OfferedIncompatibleQosStatus offered;
                writers[i]->get_publication_matched_status(pub);
                writers[i]->get_offered_incompatible_qos_status(offered);
                if (pub.total_count + offered.total_count == 0) {
                    all = false;
                    continue;
                }
                SCOPED_TRACE(pairings()[i].what);
                EXPECT_EQ(pub.total_count_change, pub.total_count);
                EXPECT_EQ(offered.total_count_change, offered.total_count);
                judged[i] = true;
                first_read_checked = true;
            }
            return all;
        },
        5000));
    EXPECT_TRUE(first_read_checked);
    ASSERT_TRUE(eventually([&] { return all_judged(); }, 5000));
    sleep_ms(300);  // a second match or refusal must not follow

    for (std::size_t i = 0; i < writers.size(); ++i) {
        const Pairing& p = pairings()[i];
        SCOPED_TRACE(p.what);
        const Outcome o = outcome_of(writers[i], readers[i]);
        // Every change was read before.
        EXPECT_EQ(o.pub.total_count_change, 0);
        EXPECT_EQ(o.offered.total_count_change, 0);
        const int32_t matched = p.refused_by == 0 ? 1 : 0;
        const int32_t refused = 1 - matched;
        EXPECT_EQ(o.pub.total_count, matched);
        EXPECT_EQ(o.pub.current_count, matched);
        EXPECT_EQ(o.sub.total_count, matched);
        EXPECT_EQ(o.sub.current_count, matched);
        EXPECT_EQ(o.offered.total_count, refused);
        EXPECT_EQ(o.requested.total_count, refused);
        if (refused) {
            EXPECT_EQ(o.offered.last_policy_id, p.refused_by);
            EXPECT_EQ(o.requested.last_policy_id, p.refused_by);
        }
    }
}

TEST_F(WireCompat, ANewAnnouncementOfAReaderIsNotAnotherMatch) {
    ASSERT_TRUE(eventually([&] { return all_judged(); }, 5000));
    for (DataReader* r : readers) {
        DataReaderQos q;
        ASSERT_EQ(r->get_qos(q), RETCODE_OK);
        q.user_data.value = octets("again");
        ASSERT_EQ(r->set_qos(q), RETCODE_OK);
    }
    sleep_ms(500);
    for (std::size_t i = 0; i < writers.size(); ++i) {
        const Pairing& p = pairings()[i];
        SCOPED_TRACE(p.what);
        const Outcome o = outcome_of(writers[i], readers[i]);
        EXPECT_EQ(o.pub.total_count, p.refused_by == 0 ? 1 : 0);
        EXPECT_EQ(o.pub.total_count_change, 0);
        EXPECT_EQ(o.offered.total_count, p.refused_by == 0 ? 0 : 1);
        EXPECT_EQ(o.offered.total_count_change, 0);
    }
}

}  // namespace
