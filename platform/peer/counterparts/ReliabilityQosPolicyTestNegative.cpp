// Reading side of the reliability test: a reliable keep-all reader with no
// limits of its own on "reliability_topic_name". The positive side's reliable
// writer (keep last 20, blocking at most 2 s) writes lVal 0 to 99, 1 ms
// apart, then waits 5 s before "write_finish": every sample must have
// arrived, once, in order, from that writer, and nothing more within a
// grace. The writer announces reliable delivery; its history is not
// announced. The reader keeps all hundred: its own limits are unlimited.
#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(ReliabilityQosPolicyTestNegative, ENABLED_ReliabilityQosPolicyNegative, "ReliabilityQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("reliability_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    const int64_t start_ns = delivery::now_ns();
    bool ok = cp::wait_matched(reader, 1);
    DataWriterQos announced = DATAWRITER_QOS_DEFAULT;
    announced.reliability.kind = RELIABLE_RELIABILITY_QOS;
    const InstanceHandle_t writer = delivery::announced_writer(reader, "reliability_topic_name", announced, ok);
    cp::report("reader_match_finish", ok);
    if (!cp::await("write_finish", 30000)) return;

    const cp::Samples<FlatRecord> got = cp::collect<FlatRecord>(reader, cp::has_lval<FlatRecord>(99), 2000);
    ok = cp::expect_lvals(cp::lvals(got), cp::range(0, 99), "reliable delivery") && ok;
    ok = delivery::expect_fresh_from(got, writer, start_ns, "reliable delivery") && ok;
    SampleRejectedStatus rejected;
    EXPECT_EQ(reader->get_sample_rejected_status(rejected), RETCODE_OK);
    EXPECT_EQ(rejected.total_count, 0) << "samples rejected by a reader without limits";
    ok = rejected.total_count == 0 && ok;
    e.release();
    cp::report("reader_take_finish", ok);
}
