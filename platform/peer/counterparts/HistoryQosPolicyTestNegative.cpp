// Reading side of the history test: two reliable keep-last readers on
// "history_topic_name", of depth 10 (rA) and 3 (rB). The positive side writes
// lVal 0 to 9, 10 ms apart, to both; each reader must then hold exactly its
// last `depth` samples, in order: rA all ten, rB 7, 8, 9.
#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(HistoryQosPolicyTestNegative, ENABLED_HistoryQosPolicyNegative, "HistoryQosPolicy") {
    cp::Entities e;
    DataReader* rA = e.reader("history_topic_name", cp::reliable_reader(10));
    DataReader* rB = e.reader("history_topic_name", cp::reliable_reader(3));
    ASSERT_TRUE(cp::ready());
    cp::report("reader_match_finish", cp::wait_matched(rA, 1) && cp::wait_matched(rB, 1));
    if (!cp::await("write_finish", 15000)) return;

    // Both have the last sample; a little more time for anything that must not come.
    cp::settle<FlatRecord>(rA, cp::has_lval<FlatRecord>(9), 2000);
    cp::settle<FlatRecord>(rB, cp::has_lval<FlatRecord>(9), 2000);
    cp::pause(cp::kGraceMs);
    const bool a_ok = cp::expect_lvals(cp::lvals(cp::take<FlatRecord>(rA)), cp::range(0, 9), "keep last 10");
    const bool b_ok = cp::expect_lvals(cp::lvals(cp::take<FlatRecord>(rB)), {7, 8, 9}, "keep last 3");
    e.release();
    cp::report("reader_take_finish", a_ok && b_ok);
}
