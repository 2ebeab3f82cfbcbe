// Reading side of the durability test: two late joiners on
// "durability_topic_name", made only after the positive side's transient-local
// writer (default history: keep last 1) has written lVal 1.
// - The writer announces transient-local durability, and is the one match of
//   each reader.
// - rTL, transient local, keeps all it receives: it must get exactly the one
//   sample the writer's history holds, once, as that writer wrote it (its
//   source time before "write_finish" came: not a new write), with nothing
//   else (no instance-state samples).
// - rV, volatile, must get nothing: the sample was written before it existed.
// rTL's sample is read as it comes, then both readers are taken 500 ms
// later, so that a late duplicate or a late delivery to rV shows too; read
// again, rTL's sample shows it was read. The matches end once the positive side
// has deleted its writer.
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
    if (!cp::await("write_finish", 15000)) return;
    const int64_t written_by_ns = delivery::now_ns();

    DataReaderQos tl_qos = cp::reliable_reader();
    tl_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReader* rTL = e.reader("durability_topic_name", tl_qos);
    DataReader* rV = e.reader("durability_topic_name", cp::reliable_reader());
    cp::Verdict v("durability");
    cp::Matches m_tl(rTL), m_v(rV);
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    const auto announced = cp::announced_writer("durability_topic_name", "FlatRecord", writer_qos);
    const InstanceHandle_t writer =
        delivery::only(cp::expect_matched(v, m_tl, rTL, {announced}, {}, "the writer, at the transient-local reader"));
    cp::expect_matched(v, m_v, rV, {announced}, {}, "the writer, at the volatile reader");

    const cp::Samples<FlatRecord> tl = cp::gather<FlatRecord>(v, rTL, cp::has_lval<FlatRecord>(1), 2000, 500);
    const cp::Samples<FlatRecord> none = cp::collect<FlatRecord>(v, rV, cp::valid_count<FlatRecord>(1), 0, 0);
    cp::expect_samples(v, tl, delivery::written({1}, writer), "the transient-local late joiner");
    cp::expect_reread(v, rTL, tl, "the transient-local late joiner");
    cp::expect_samples(v, none, {}, "the volatile late joiner");
    if (tl.size() == 1) {
        v.check(delivery::ns(tl[0].info.source_timestamp) <= written_by_ns)
            << "the historical sample's source time is after \"write_finish\": written anew";
    }
    cp::report("reader_check_finish", v);
    m_tl.gone(v);
    m_v.gone(v);
    e.release();
}
