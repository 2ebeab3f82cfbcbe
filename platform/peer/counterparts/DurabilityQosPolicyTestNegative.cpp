// Reading side of the durability test: two late joiners on
// "durability_topic_name", made only after the positive side's transient-local
// writer (default history: keep last 1) has written lVal 1.
// - rTL, transient local, keeps all it receives: it must get exactly the one
//   sample the writer's history holds, once.
// - rV, volatile, must get nothing: the sample was written before it existed.
// Both are read 500 ms after rTL's sample arrived, so that a late duplicate or
// a late delivery to rV shows too.
#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(DurabilityQosPolicyTestNegative, ENABLED_DurabilityQosPolicyNegative, "DurabilityQosPolicy") {
    cp::Entities e;
    EXPECT_NE(e.topic("durability_topic_name"), nullptr);
    ASSERT_TRUE(cp::ready());
    if (!cp::await("write_finish", 15000)) return;

    DataReaderQos tl_qos = cp::reliable_reader();
    tl_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReader* rTL = e.reader("durability_topic_name", tl_qos);
    DataReader* rV = e.reader("durability_topic_name", cp::reliable_reader());
    EXPECT_TRUE(cp::wait_matched(rTL, 1)) << "the transient-local reader did not match the writer";
    EXPECT_TRUE(cp::wait_matched(rV, 1)) << "the volatile reader did not match the writer";

    cp::settle<FlatRecord>(rTL, cp::has_lval<FlatRecord>(1), 2000);
    cp::pause(500);
    const cp::Samples<FlatRecord> tl = cp::take<FlatRecord>(rTL);
    const cp::Samples<FlatRecord> v = cp::take<FlatRecord>(rV);
    const bool tl_ok = cp::expect_lvals(cp::lvals(tl), {1}, "transient-local late joiner");
    const bool v_ok = cp::expect_lvals(cp::lvals(v), {}, "volatile late joiner");
    // Nothing but that one valid sample either (no instance-state samples).
    EXPECT_EQ(tl.size(), 1u) << "samples in the transient-local reader, valid or not";
    EXPECT_EQ(v.size(), 0u) << "samples in the volatile reader, valid or not";
    const bool ok = tl_ok && v_ok && tl.size() == 1 && v.empty();
    e.release();
    cp::report("reader_check_finish", ok);
}
