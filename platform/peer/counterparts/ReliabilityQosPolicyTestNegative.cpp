// Reading side of the reliability test: a reliable keep-all reader with no
// limits of its own on "reliability_topic_name". The positive side's reliable
// writer (keep last 20, blocking at most 2 s) writes lVal 0 to 99, 1 ms
// apart, then waits 5 s before "write_finish". What reliable delivery
// promises from a keep-last writer: every sample its history still holds
// once it stops writing, 80..99, arrives; an earlier one may have been
// replaced there before it was delivered. So the reader holds a run of 0..99
// in order, each once, ending with 80..99, from that writer, and nothing
// more within a grace; the reader, without limits, keeps all that came and
// rejects none, and counts lost no sample that came. The writer announces
// reliable delivery and its 2 s blocking time (its history is not
// announced), and its match ends when the positive side deletes it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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
    cp::Verdict v("reliability");
    cp::Matches m(reader);
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    writer_qos.reliability.max_blocking_time = {2, 0};
    writer_qos.history.depth = 20;
    const InstanceHandle_t writer = delivery::one_writer(v, m, reader, "reliability_topic_name", writer_qos);
    cp::report_before_writes("reader_match_finish", v.ok());
    if (!cp::await("write_finish", 30000)) return;

    // Taken with the reader's whole cache in it: the positive side waited 5 s.
    const cp::Samples<FlatRecord> got = cp::collect<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(99), 2000);
    delivery::expect_kept(v, reader, got, cp::range(0, 99), 20, writer, "reliable delivery");
    SampleRejectedStatus rejected;
    v.equal(reader->get_sample_rejected_status(rejected), RETCODE_OK) << "the sample-rejected status";
    v.equal(rejected.total_count, 0) << "samples rejected by a reader without limits";
    cp::report("reader_take_finish", v);
    m.gone(v);
    e.release();
}
