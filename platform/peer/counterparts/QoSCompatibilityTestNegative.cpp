// Requesting side of the QoS compatibility tests: exactly one reader per
// topic, each requesting what makes the positive side's writer on that topic
// match or be refused. The readers stay until the positive side closes the
// connection, since its writer checks run while they exist.
//
// Each reader checks its own side of the same pairing:
//   - a reader whose request the writer satisfies is matched exactly once,
//     with a writer announcing every field of what the positive side offered,
//     and reports no incompatibility;
//   - the reader whose request the writer falls short of reports exactly one
//     requested-incompatible QoS, naming the policy at fault, and is never
//     matched.
// The matches are taken before "reader_created_finish", while the positive
// writers certainly exist (the positive side deletes them only after its
// checks, which follow that key). From then on the matched statuses are read
// only through cp::Matches, whose gone() counts the change once the positive
// side has closed; the totals are read after that.
// The requests sit on the boundaries where they can: the deadline reader asks
// for exactly the offered 100 ms, the durability and reliability readers 3
// and 4 ask for the offered kind and for less.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "counterpart.h"
#include "discovered_endpoints.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

// The positive side closes the connection once its writer checks are done:
// about 24 s after "reader_created_finish" at worst.
constexpr int kHoldMs = 60000;

struct Request {
    std::string topic;
    std::string what;           // the request, for the messages
    DataReaderQos qos;
    QosPolicyId_t refused_by;   // 0 when the positive writer satisfies it
    DataWriterQos offered;      // what the positive writer on the topic offers
};

// Whether the reader has met the positive writer on its topic, either way.
// Read before the matches are taken (Matches::exactly counts from its own
// read of the matched status).
bool met(DataReader* reader) {
    SubscriptionMatchedStatus matched;
    RequestedIncompatibleQosStatus incompatible;
    EXPECT_EQ(reader->get_subscription_matched_status(matched), RETCODE_OK);
    EXPECT_EQ(reader->get_requested_incompatible_qos_status(incompatible), RETCODE_OK);
    return matched.total_count > 0 || incompatible.total_count > 0;
}

// The requested-incompatible status of the pairing; and at the end, once
// every match has ended and gone() has counted it, the matched totals too.
void expect_outcome(cp::Verdict& v, const Request& r, DataReader* reader, bool at_end) {
    RequestedIncompatibleQosStatus incompatible;
    v.equal(reader->get_requested_incompatible_qos_status(incompatible), RETCODE_OK)
        << "get_requested_incompatible_qos_status";
    const std::string who = "reader on \"" + r.topic + "\" requesting " + r.what;
    v.equal(incompatible.total_count, r.refused_by == 0 ? 0 : 1) << who << ": requested-incompatible QoS reported";
    if (r.refused_by != 0) v.equal(incompatible.last_policy_id, r.refused_by) << who << ": the policy at fault";
    std::string line = who + ": incompatible " + std::to_string(incompatible.total_count) + " (policy " +
                       std::to_string(incompatible.last_policy_id) + ")";
    if (at_end) {
        SubscriptionMatchedStatus matched;
        v.equal(reader->get_subscription_matched_status(matched), RETCODE_OK) << "get_subscription_matched_status";
        v.equal(matched.total_count, r.refused_by == 0 ? 1 : 0) << who << ": matched writers in all";
        v.equal(matched.current_count, 0) << who << ": matched writers once the positive side has gone";
        line = "at the end, " + line + ", matched " + std::to_string(matched.total_count) + " (now " +
               std::to_string(matched.current_count) + ")";
    }
    cp::log_line(line);
}

// The counterpart of one compatibility test: the readers, the keys, the
// checks once every writer was met and again once the positive side is done:
// then every match has ended.
void request(const std::vector<Request>& requests) {
    cp::Entities e;
    std::vector<DataReader*> readers;
    for (const Request& r : requests) readers.push_back(e.reader(r.topic, r.qos));
    ASSERT_TRUE(cp::ready());
    cp::Verdict v("compatibility");
    v.check(e.ok()) << "creating the readers";
    std::vector<cp::Matches> matches;
    for (DataReader* reader : readers) matches.emplace_back(reader);

    const bool all_met = e.ok() && cp::wait_until(
                                       [&] {
                                           for (DataReader* reader : readers) {
                                               if (!met(reader)) return false;
                                           }
                                           return true;
                                       },
                                       cp::kStageMs);
    v.check(all_met) << "not every reader met its writer within " << cp::kStageMs << " ms";
    // Each matched writer announces what the positive side offered; each
    // refused one is not matched.
    for (std::size_t i = 0; i < requests.size() && all_met; ++i) {
        const Request& r = requests[i];
        std::vector<PublicationBuiltinTopicData> want;
        if (r.refused_by == 0) want.push_back(cp::announced_writer(r.topic, "FlatRecord", r.offered));
        cp::expect_matched(v, matches[i], readers[i], want, {}, "writer on \"" + r.topic + "\"");
    }
    cp::report("reader_created_finish", v);
    if (!v.ok()) return;
    // A second match or incompatibility must not follow.
    cp::pause(cp::kGraceMs);
    for (std::size_t i = 0; i < requests.size(); ++i) expect_outcome(v, requests[i], readers[i], false);

    cp::Verdict end("after the positive side closed");
    end.check(peer::link().wait_closed(kHoldMs))
        << "the positive side still held the connection " << kHoldMs << " ms later";
    // Every match ended with the positive side (counted from expect_matched).
    discovered::wait_for(
        [&] {
            for (const cp::Matches& m : matches) {
                if (!m.list().empty()) return false;
            }
            return true;
        },
        discovered::kEndMs, "matches ended");
    for (cp::Matches& m : matches) m.gone(end, {}, 0);
    // Nothing more was counted while the positive side checked its writers.
    for (std::size_t i = 0; i < requests.size(); ++i) expect_outcome(end, requests[i], readers[i], true);
    e.release();
}

// The default writer QoS with one policy offered differently.
template <class Policy>
DataWriterQos offering(Policy DataWriterQos::*policy, const Policy& value) {
    DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
    qos.*policy = value;
    return qos;
}

// The default reader QoS with one policy requested differently.
template <class Policy>
DataReaderQos with(Policy DataReaderQos::*policy, const Policy& value) {
    DataReaderQos qos = DATAREADER_QOS_DEFAULT;
    qos.*policy = value;
    return qos;
}

}  // namespace

// Writers 1 and 2 offer volatile, writers 3 and 4 transient local.
PEER_TEST(QoSCompatibilityTestNegative, ENABLED_DurabilityMatchNegative, "DurabilityMatch") {
    const DataReaderQos volatile_durability = with(&DataReaderQos::durability, {VOLATILE_DURABILITY_QOS});
    const DataReaderQos transient_local = with(&DataReaderQos::durability, {TRANSIENT_LOCAL_DURABILITY_QOS});
    const DataWriterQos offers_volatile = offering(&DataWriterQos::durability, {VOLATILE_DURABILITY_QOS});
    const DataWriterQos offers_transient_local = offering(&DataWriterQos::durability, {TRANSIENT_LOCAL_DURABILITY_QOS});
    request({
        {"durability_match_topic_name_1", "volatile", volatile_durability, 0, offers_volatile},
        {"durability_match_topic_name_2", "transient local", transient_local, DURABILITY_QOS_POLICY_ID, offers_volatile},
        {"durability_match_topic_name_3", "transient local", transient_local, 0, offers_transient_local},
        {"durability_match_topic_name_4", "volatile", volatile_durability, 0, offers_transient_local},
    });
}

// Writers 1 and 2 offer best effort, writers 3 and 4 reliable.
PEER_TEST(QoSCompatibilityTestNegative, ENABLED_ReliabilityMatchNegative, "ReliabilityMatch") {
    const DataReaderQos best_effort = with(&DataReaderQos::reliability, {BEST_EFFORT_RELIABILITY_QOS});
    const DataReaderQos reliable = with(&DataReaderQos::reliability, {RELIABLE_RELIABILITY_QOS});
    DataWriterQos offers_best_effort = DATAWRITER_QOS_DEFAULT;
    offers_best_effort.reliability.kind = BEST_EFFORT_RELIABILITY_QOS;
    DataWriterQos offers_reliable = DATAWRITER_QOS_DEFAULT;
    offers_reliable.reliability.kind = RELIABLE_RELIABILITY_QOS;
    request({
        {"reliability_match_topic_name_1", "best effort", best_effort, 0, offers_best_effort},
        {"reliability_match_topic_name_2", "reliable", reliable, RELIABILITY_QOS_POLICY_ID, offers_best_effort},
        {"reliability_match_topic_name_3", "best effort", best_effort, 0, offers_reliable},
        {"reliability_match_topic_name_4", "reliable", reliable, 0, offers_reliable},
    });
}

// Both writers offer a deadline of 100 ms.
PEER_TEST(QoSCompatibilityTestNegative, ENABLED_DeadlineMatchNegative, "DeadlineMatch") {
    const DataReaderQos period_100ms = with(&DataReaderQos::deadline, {{0, 100000000}});
    const DataReaderQos period_50ms = with(&DataReaderQos::deadline, {{0, 50000000}});
    const DataWriterQos offers_100ms = offering(&DataWriterQos::deadline, {{0, 100000000}});
    request({
        {"deadline_match_topic_name_1", "a deadline of 100 ms", period_100ms, 0, offers_100ms},
        {"deadline_match_topic_name_2", "a deadline of 50 ms", period_50ms, DEADLINE_QOS_POLICY_ID, offers_100ms},
    });
}

// Both writers offer shared ownership.
PEER_TEST(QoSCompatibilityTestNegative, ENABLED_OwnershipMatchNegative, "OwnershipMatch") {
    const DataReaderQos shared = with(&DataReaderQos::ownership, {SHARED_OWNERSHIP_QOS});
    const DataReaderQos exclusive = with(&DataReaderQos::ownership, {EXCLUSIVE_OWNERSHIP_QOS});
    request({
        {"ownership_match_topic_name_1", "shared ownership", shared, 0, DATAWRITER_QOS_DEFAULT},
        {"ownership_match_topic_name_2", "exclusive ownership", exclusive, OWNERSHIP_QOS_POLICY_ID,
         DATAWRITER_QOS_DEFAULT},
    });
}

// Writer 1 offers manual-by-participant liveliness, writer 2 automatic, both
// with an infinite lease.
PEER_TEST(QoSCompatibilityTestNegative, ENABLED_LivelinessMatchNegative, "LivelinessMatch") {
    const DataReaderQos automatic = with(&DataReaderQos::liveliness, {AUTOMATIC_LIVELINESS_QOS, DURATION_INFINITE});
    const DataReaderQos by_participant =
        with(&DataReaderQos::liveliness, {MANUAL_BY_PARTICIPANT_LIVELINESS_QOS, DURATION_INFINITE});
    DataWriterQos offers_by_participant = DATAWRITER_QOS_DEFAULT;
    offers_by_participant.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS;
    request({
        {"liveliness_match_topic_name_1", "automatic liveliness", automatic, 0, offers_by_participant},
        {"liveliness_match_topic_name_2", "manual-by-participant liveliness", by_participant,
         LIVELINESS_QOS_POLICY_ID, DATAWRITER_QOS_DEFAULT},
    });
}
