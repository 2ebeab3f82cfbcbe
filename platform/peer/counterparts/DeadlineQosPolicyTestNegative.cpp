// Reading side of the deadline test: a reliable reader with a 600 ms deadline
// on "deadline_topic_name". The positive side writes lVal 0 to 9 about every
// 120 ms, pauses about 920 ms and writes 100.
//
// - Once the writer is matched, reliable delivery leaves no gap: what arrives
//   is 0..9 from some k on, then 100 (the first samples may be written before
//   the match, since the positive side does not wait for one).
// - With 9 and 100 both received, the reader has missed exactly one deadline:
//   at 600 ms into the pause. A second miss would fall at 1200 ms, 280 ms
//   after 100 arrived at the nominal 920 ms; a miss during the 120 ms cycles
//   would need a gap 480 ms too long. The count is read as soon as 100 is
//   seen (polled every 10 ms), well before the next period after 100 ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

constexpr int kPhaseMs = 15000;

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

    // The deadline count right when 100 is first seen.
    const bool got_100 = cp::settle<FlatRecord>(reader, cp::has_lval<FlatRecord>(100), kPhaseMs);
    RequestedDeadlineMissedStatus status;
    const ReturnCode_t status_rc = reader->get_requested_deadline_missed_status(status);
    EXPECT_TRUE(got_100) << "sample 100 did not arrive";
    EXPECT_EQ(status_rc, RETCODE_OK);

    cp::await("write_finish", kPhaseMs);
    const std::vector<int32_t> got = cp::lvals(cp::take<FlatRecord>(reader));
    EXPECT_TRUE(contiguous_tail_then_100(got))
        << "expected lVal k..9 then 100 with no gap, received " << cp::describe(got);
    const bool both = got.size() >= 2 && got[got.size() - 2] == 9 && got.back() == 100;
    if (both) {
        EXPECT_EQ(status.total_count, 1) << "requested deadline misses between sample 9 and sample 100";
    }
    e.release();
}
