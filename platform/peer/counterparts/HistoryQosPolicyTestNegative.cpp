// Reading side of the history test: two reliable keep-last readers on
// "history_topic_name", of depth 10 (rA) and 3 (rB). The positive side's
// writer (keep last 10, all else default) writes lVal 0 to 9, 10 ms apart, to
// both; each reader must then hold exactly its last `depth` samples, in
// order, from that writer, none read before: rA all ten, rB 7, 8, 9. Both
// readers keep listening 300 ms for samples that must not come. The history
// depth is not announced; the rest of the writer's QoS is the default.
#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(HistoryQosPolicyTestNegative, ENABLED_HistoryQosPolicyNegative, "HistoryQosPolicy") {
    cp::Entities e;
    DataReader* rA = e.reader("history_topic_name", cp::reliable_reader(10));
    DataReader* rB = e.reader("history_topic_name", cp::reliable_reader(3));
    ASSERT_TRUE(cp::ready());
    const int64_t start_ns = delivery::now_ns();
    bool ok = cp::wait_matched(rA, 1) && cp::wait_matched(rB, 1);
    const InstanceHandle_t writer = delivery::announced_writer(rA, "history_topic_name", DATAWRITER_QOS_DEFAULT, ok);
    EXPECT_EQ(cp::matched_publications(rB).size(), 1u);
    cp::report("reader_match_finish", ok);
    if (!cp::await("write_finish", 15000)) return;

    // Both have the last sample (read, so that nothing is taken before the
    // depth has acted); everything is taken after the grace.
    delivery::Seen seen_a, seen_b;
    ok = delivery::settle_read<FlatRecord>(rA, cp::has_lval<FlatRecord>(9), 2000, seen_a) && ok;
    ok = delivery::settle_read<FlatRecord>(rB, cp::has_lval<FlatRecord>(9), 2000, seen_b) && ok;
    cp::pause(cp::kGraceMs);
    const cp::Samples<FlatRecord> a = cp::take<FlatRecord>(rA);
    const cp::Samples<FlatRecord> b = cp::take<FlatRecord>(rB);
    ok = cp::expect_lvals(cp::lvals(a), cp::range(0, 9), "keep last 10") && ok;
    ok = cp::expect_lvals(cp::lvals(b), {7, 8, 9}, "keep last 3") && ok;
    ok = delivery::expect_fresh_from(a, writer, start_ns, "keep last 10", seen_a) && ok;
    ok = delivery::expect_fresh_from(b, writer, start_ns, "keep last 3", seen_b) && ok;
    // Nothing else either: none without data.
    EXPECT_EQ(a.size() + b.size(), 13u) << "samples with and without data";
    ok = a.size() == 10 && b.size() == 3 && ok;
    e.release();
    cp::report("reader_take_finish", ok);
}
