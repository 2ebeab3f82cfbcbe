// Reading side of the history test: two reliable keep-last readers on
// "history_topic_name", of depth 10 (rA) and 3 (rB). The positive side's
// writer (keep last 10, all else default) writes lVal 0 to 9, 10 ms apart, to
// both. This side reads (without taking) as they come, so that the depth
// alone decides what stays, listens 300 ms longer for samples that must not
// come, and then takes: rA must hold all ten, rB 7, 8, 9, each in order, from
// that writer, read before, and nothing else. Neither reader counts a sample
// lost: each received all ten, rB only replaced the older ones in its
// history. The writer, announcing the defaults (the history depth is not
// announced), is the one match of each reader until the positive side
// deletes it.
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
    cp::Verdict v("history");
    cp::Matches mA(rA), mB(rB);
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.history.depth = 10;
    const auto announced = cp::announced_writer("history_topic_name", "FlatRecord", writer_qos);
    const InstanceHandle_t writer = delivery::only(cp::expect_matched(v, mA, rA, {announced}, {}, "the writer at rA"));
    cp::expect_matched(v, mB, rB, {announced}, {}, "the writer at rB");
    cp::report_before_writes("reader_match_finish", v.ok());
    if (!cp::await("write_finish", 15000)) return;

    cp::gather<FlatRecord>(v, rA, cp::has_lval<FlatRecord>(9), 2000);
    cp::gather<FlatRecord>(v, rB, cp::has_lval<FlatRecord>(9), 2000);
    cp::expect_samples(v, cp::take<FlatRecord>(rA), delivery::written(cp::range(0, 9), writer, true), "keep last 10");
    cp::expect_samples(v, cp::take<FlatRecord>(rB), delivery::written({7, 8, 9}, writer, true), "keep last 3");
    delivery::lost_at_most(v, rA, 0, "keep last 10");
    delivery::lost_at_most(v, rB, 0, "keep last 3");
    cp::report("reader_take_finish", v);
    mA.gone(v);
    mB.gone(v);
    e.release();
}
