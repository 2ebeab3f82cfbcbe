// Reading side of the deadline test: a reliable reader with a 600 ms deadline
// on "deadline_topic_name". The positive side's writer (deadline 500 ms, all
// else default, so a keep-last history of depth 1) writes lVal 0 to 9 about
// every 120 ms (at least 120 ms apart), starting as it sends
// "writer_created_finish", pauses at least 920 ms, writes 100 and, as its
// listener has already seen the writer miss its deadline, sends
// "write_finish" and deletes the writer straight away.
//
// - The writer announces its 500 ms deadline and the defaults, and is the
//   only one matched.
// - The positive side does not wait for a match before it writes, and the
//   writer keeps only its last sample: what arrives is a run of 0..9 then
//   100, in order, each once, from that writer, and nothing more within a
//   grace (but a notice that the instance is not alive, as the writer is
//   deleted). 9 is there: the writer holds it through its pause. 100,
//   written with nothing between it and the writer's deletion, need not be.
// - What the writer wrote once it had matched this reader arrives, but for a
//   sample its history replaced before delivering it. The writer's own side
//   matches at most cp::kWriterDiscoveryMs after this side saw the match (the
//   suite's one timing assumption), so the first sample received was written
//   at most that long after the match, plus two of the positive side's write
//   cycles (the next write, and one replaced): a cycle is the longest gap
//   between two consecutive samples received, at least the nominal 120 ms.
// - The reader misses its deadline once per 600 ms without a sample, its
//   clock starting at the first sample: the count read right after 100 came
//   is what the gaps between the samples received (by source time, within
//   kArrivalSlackMs of their arrival) and the time since the last give; on
//   the nominal pace exactly one, between 9 and 100. The status names the one
//   instance as the last that missed.
// - Once the positive side has deleted its writer, the match ends.
#include <gtest/gtest.h>

#include <algorithm>
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
constexpr int64_t kPeriodMs = 600;
constexpr int64_t kCycleMs = 120;
// How far a sample's arrival may lie from its source time, either way, as
// the deadline counts arrivals: a miss due within it of a sample's arrival
// may or may not have been counted.
constexpr int64_t kArrivalSlackMs = 100;

// Misses of a period in a gap of gap_ms without a sample: the least and the
// most, an arrival being up to kArrivalSlackMs off its source time.
int64_t fewest(int64_t gap_ms) { return std::max<int64_t>(0, (gap_ms - kArrivalSlackMs) / kPeriodMs); }
int64_t most(int64_t gap_ms) { return std::max<int64_t>(0, (gap_ms + kArrivalSlackMs) / kPeriodMs); }

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

    // Taken as they come; the deadline count right when 100 is taken (or the
    // positive side has gone without it).
    cp::Samples<FlatRecord> got = cp::collect<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(100), kPhaseMs, 0);
    RequestedDeadlineMissedStatus status;
    v.equal(reader->get_requested_deadline_missed_status(status), RETCODE_OK) << "the deadline status";
    const int64_t counted_ns = delivery::now_ns();

    // Nothing more after "write_finish" and a grace but, as the positive
    // side deletes its writer right after that key, a notice that the
    // instance is not alive.
    cp::await("write_finish", kPhaseMs);
    for (const auto& s : cp::collect<FlatRecord>(v, reader, [](const auto&) { return true; }, 0)) {
        if (s.info.valid_data) {
            got.push_back(s);
            continue;
        }
        v.check((s.info.instance_state & NOT_ALIVE_INSTANCE_STATE) != 0)
            << "after \"write_finish\": a notice of an alive instance: " << cp::describe(s.info);
    }
    const std::vector<int32_t> values = cp::lvals(got);
    cp::log_line("received " + cp::describe(values));
    std::vector<int32_t> wrote = cp::range(0, 9);
    wrote.push_back(100);
    const bool run = delivery::kept_tail(v, values, wrote, 0, "the deadline samples");
    const bool nine = v.check(std::find(values.begin(), values.end(), 9) != values.end())
                      << "the deadline samples: received lVal " << cp::describe(values)
                      << " without 9, which the writer's history of depth 1 held through its pause";
    if (run && nine) {
        cp::expect_samples(v, got, delivery::written(values, writer), "the deadline samples");
        // The pace of the positive side's writes as it was.
        int64_t cycle_ms = kCycleMs;
        for (std::size_t i = 1; i < got.size(); ++i)
            if (got[i].data.lVal == got[i - 1].data.lVal + 1 && got[i].data.lVal <= 9)
                cycle_ms = std::max(cycle_ms, delivery::ms_between(delivery::ns(got[i - 1].info.source_timestamp),
                                                                   delivery::ns(got[i].info.source_timestamp)));
        const int64_t late = delivery::ms_between(matched_ns, delivery::ns(got.front().info.source_timestamp));
        const int64_t bound = cp::kWriterDiscoveryMs + 2 * cycle_ms;
        cp::log_line("the first sample, " + std::to_string(values.front()) + ", was written " + std::to_string(late) +
                     " ms after the match (at most " + std::to_string(bound) + " ms)");
        v.check(late <= bound) << "samples written after the match are missing before lVal " << values.front()
                               << ": it was written " << late << " ms after this side saw the match, more than "
                               << "cp::kWriterDiscoveryMs (" << cp::kWriterDiscoveryMs << " ms) and two write cycles ("
                               << cycle_ms << " ms each)";
        // The misses the gaps allow, up to the count's reading.
        int64_t low = 0, high = 0;
        for (std::size_t i = 1; i < got.size(); ++i) {
            const int64_t gap = delivery::ms_between(delivery::ns(got[i - 1].info.source_timestamp),
                                                     delivery::ns(got[i].info.source_timestamp));
            low += fewest(gap);
            high += most(gap);
        }
        high += most(delivery::ms_between(delivery::ns(got.back().info.source_timestamp), counted_ns));
        cp::log_line("requested deadline misses: " + std::to_string(status.total_count) + " (" + std::to_string(low) +
                     " to " + std::to_string(high) + " by the gaps)");
        v.check(status.total_count >= low && status.total_count <= high)
            << "requested deadline misses: " << status.total_count << ", expected " << low << " to " << high
            << " from the gaps between the samples received";
        if (status.total_count > 0) {
            v.check(status.last_instance_handle == got.front().info.instance_handle)
                << "the requested-deadline-missed status names another instance than the samples'";
        }
    }
    m.gone(v);
    e.release();
}
