// Reading side of the deadline test: a reliable reader with a 600 ms deadline
// on "deadline_topic_name". The positive side's writer (deadline 500 ms, all
// else default) writes lVal 0 to 9 about every 120 ms, starting as it sends
// "writer_created_finish", pauses about 920 ms and writes 100.
//
// - The writer announces its 500 ms deadline and the defaults, and is the
//   only one matched.
// - Once matched, reliable delivery leaves no gap: what arrives is 0..9 from
//   some k on, then 100, each from that writer, and nothing more within a
//   grace after the last take. Only samples written before the match may be
//   missing: the first one received was written at most kFirstAfterMatchMs
//   after this reader saw the match (one write cycle, plus the lag of the
//   writer's own side of discovery behind this side's, milliseconds on one
//   host).
// - With 9 and 100 both received, the reader has missed exactly one deadline:
//   at 600 ms into the pause. A second miss would fall at 1200 ms, 280 ms
//   after 100 arrived at the nominal 920 ms; a miss during the 120 ms cycles
//   would need a gap 480 ms too long. The count is read as soon as 100 is
//   taken, well before the next period after 100 ends.
// - Once the positive side has deleted its writer, the match ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

constexpr int kPhaseMs = 15000;
constexpr int64_t kFirstAfterMatchMs = 300;

// lVal k, k+1, ..., 9, then 100, for some k in 0..9.
bool contiguous_tail_then_100(const std::vector<int32_t>& got) {
    if (got.size() < 2 || got.back() != 100 || got[got.size() - 2] != 9) return false;
    for (std::size_t i = 0; i + 2 < got.size(); ++i)
        if (got[i] < 0 || got[i + 1] != got[i] + 1) return false;
    return true;
}

}  // namespace

PEER_TEST(DeadlineQosPolicyTestNegative, ENABLED_DeadlineQosPolicyNegative, "DeadlineQosPolicy") {
    cp::Entities e;
    DataReaderQos qos = cp::reliable_reader();
    qos.deadline.period = {0, 600000000};
    DataReader* reader = e.reader("deadline_topic_name", qos);
    ASSERT_TRUE(cp::ready());
    if (!cp::await("writer_created_finish", kPhaseMs)) return;
    const int64_t created_ns = delivery::now_ns();

    cp::Verdict v("deadline");
    cp::Matches m(reader);
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.deadline.period = {0, 500000000};
    const InstanceHandle_t writer = delivery::one_writer(v, m, reader, "deadline_topic_name", writer_qos);
    const int64_t matched_ns = delivery::now_ns();
    cp::log_line("matched " + std::to_string(delivery::ms_between(created_ns, matched_ns)) +
                 " ms after \"writer_created_finish\"");

    // Taken as they come; the deadline count right when 100 is taken.
    cp::Samples<FlatRecord> got = cp::collect<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(100), kPhaseMs, 0);
    RequestedDeadlineMissedStatus status;
    v.equal(reader->get_requested_deadline_missed_status(status), RETCODE_OK) << "the deadline status";

    // Nothing more after "write_finish" and a grace.
    cp::await("write_finish", kPhaseMs);
    const cp::Samples<FlatRecord> more = cp::collect<FlatRecord>(v, reader, [](const auto&) { return true; }, 0);
    got.insert(got.end(), more.begin(), more.end());
    const std::vector<int32_t> values = cp::lvals(got);
    cp::log_line("received " + cp::describe(values));
    if (v.check(contiguous_tail_then_100(values)) << "expected lVal k..9 then 100 with no gap, received "
                                                  << cp::describe(values)) {
        cp::expect_samples(v, got, delivery::written(values, writer), "the deadline samples");
        const int64_t late = delivery::ms_between(matched_ns, delivery::ns(got.front().info.source_timestamp));
        cp::log_line("the first sample, " + std::to_string(values.front()) + ", was written " + std::to_string(late) +
                     " ms after the match");
        v.check(late <= kFirstAfterMatchMs) << "samples written after the match are missing before lVal "
                                            << values.front() << " (written " << late << " ms after it)";
        v.equal(status.total_count, 1) << "requested deadline misses between sample 9 and sample 100";
    }
    m.gone(v);
    e.release();
}
