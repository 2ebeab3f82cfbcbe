// Reading side of the reliability test: a reliable keep-all reader on
// "reliability_topic_name". The positive side's reliable writer (keep last 20)
// writes lVal 0 to 99, 1 ms apart, then waits 5 s before "write_finish": every
// sample must have arrived, once, in order.
#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(ReliabilityQosPolicyTestNegative, ENABLED_ReliabilityQosPolicyNegative, "ReliabilityQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("reliability_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    cp::report("reader_match_finish", cp::wait_matched(reader, 1));
    if (!cp::await("write_finish", 30000)) return;

    const bool ok = cp::expect_lvals(
        cp::lvals(cp::collect<FlatRecord>(reader, cp::has_lval<FlatRecord>(99), 2000)), cp::range(0, 99),
        "reliable delivery");
    e.release();
    cp::report("reader_take_finish", ok);
}
