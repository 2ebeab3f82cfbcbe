// Reading side of the durability test: two late joiners on
// "durability_topic_name", made only after the positive side's transient-local
// writer (default history: keep last 1) has written lVal 1.
// - The writer announces transient-local durability.
// - rTL, transient local, keeps all it receives: it must get exactly the one
//   sample the writer's history holds, once, as that writer wrote it (its
//   source time before "write_finish" came, not a new write), unread, with
//   nothing else (no instance-state samples).
// - rV, volatile, must get nothing: the sample was written before it existed.
// Both are read 500 ms after rTL's sample arrived, so that a late duplicate or
// a late delivery to rV shows too.
#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(DurabilityQosPolicyTestNegative, ENABLED_DurabilityQosPolicyNegative, "DurabilityQosPolicy") {
    cp::Entities e;
    EXPECT_NE(e.topic("durability_topic_name"), nullptr);
    ASSERT_TRUE(cp::ready());
    const int64_t start_ns = delivery::now_ns();
    if (!cp::await("write_finish", 15000)) return;
    const int64_t written_by_ns = delivery::now_ns();

    DataReaderQos tl_qos = cp::reliable_reader();
    tl_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReader* rTL = e.reader("durability_topic_name", tl_qos);
    DataReader* rV = e.reader("durability_topic_name", cp::reliable_reader());
    bool ok = cp::wait_matched(rTL, 1) && cp::wait_matched(rV, 1);
    EXPECT_TRUE(ok) << "the late joiners did not match the writer";
    DataWriterQos announced = DATAWRITER_QOS_DEFAULT;
    announced.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    const InstanceHandle_t writer = delivery::announced_writer(rTL, "durability_topic_name", announced, ok);

    delivery::Seen seen;
    ok = delivery::settle_read<FlatRecord>(rTL, cp::has_lval<FlatRecord>(1), 2000, seen) && ok;
    cp::pause(500);
    const cp::Samples<FlatRecord> tl = cp::take<FlatRecord>(rTL);
    const cp::Samples<FlatRecord> v = cp::take<FlatRecord>(rV);
    ok = cp::expect_lvals(cp::lvals(tl), {1}, "transient-local late joiner") && ok;
    ok = cp::expect_lvals(cp::lvals(v), {}, "volatile late joiner") && ok;
    EXPECT_EQ(tl.size(), 1u) << "samples in the transient-local reader, valid or not";
    EXPECT_EQ(v.size(), 0u) << "samples in the volatile reader, valid or not";
    ok = tl.size() == 1 && v.empty() && ok;
    ok = delivery::expect_fresh_from(tl, writer, start_ns, "historical sample", seen) && ok;
    if (tl.size() == 1) {
        const int64_t ts = delivery::ns(tl[0].info.source_timestamp);
        EXPECT_LE(ts, written_by_ns) << "the historical sample's source time is after \"write_finish\"";
        ok = ts <= written_by_ns && ok;
    }
    e.release();
    cp::report("reader_check_finish", ok);
}
