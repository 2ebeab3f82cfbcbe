// Reading side of the lifespan test: a reliable keep-all reader on
// "lifespan_topic_name". The positive side's writer (lifespan 2 s, all else
// default, so a keep-last history of depth 1) writes lVal 0 to 99, 1 ms
// apart, each living 2 s from its source time, and sends "write_finish"
// right after the last one.
// - The writer announces its lifespan {2 s, 0}; it is the one match until
//   the positive side deletes it.
// - Read as they come, the reader holds a run of 0..99 in order, from that
//   writer, ending with 99: a reliable writer promises what its history
//   still holds once it stops writing (its last sample); an earlier one may
//   have been replaced there before it was delivered. No sample that came is
//   counted lost.
// - Read again 1.5 s after "write_finish", every sample with more than
//   kMarginNs of its life left (by its source time: all of them, unless the
//   writes took longer than 0.4 s) is still there, now read.
// - 2.5 s after "write_finish" every sample is at least 2.5 s old, 0.5 s past
//   its lifespan: a take returns nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

constexpr int64_t kLifespanNs = 2000000000;
constexpr int64_t kMarginNs = 100000000;

// Sleeps until `ms` after `from`; false when the positive side went meanwhile.
bool until(cp::Clock::time_point from, int ms) {
    const auto left = from + std::chrono::milliseconds(ms) - cp::Clock::now();
    return cp::pause(static_cast<int>(std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count())));
}

// Those of `samples` with more than kMarginNs of their lifespan left at `at_ns`.
cp::Samples<FlatRecord> living(const cp::Samples<FlatRecord>& samples, int64_t at_ns) {
    cp::Samples<FlatRecord> out;
    for (const auto& s : samples)
        if (delivery::ns(s.info.source_timestamp) + kLifespanNs > at_ns + kMarginNs) out.push_back(s);
    return out;
}

}  // namespace

PEER_TEST(LifeSpanQosPolicyTestNegative, ENABLED_LifeSpanQosPolicyNegative, "LifeSpanQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("lifespan_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    cp::Verdict v("lifespan");
    cp::Matches m(reader);
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.lifespan.duration = {2, 0};
    const InstanceHandle_t writer = delivery::one_writer(v, m, reader, "lifespan_topic_name", writer_qos);
    cp::report_before_writes("reader_match_finish", v.ok());
    if (!cp::await("write_finish", 15000)) return;
    const auto write_finish = cp::Clock::now();

    // 99 comes last; a grace then for any that must not come.
    const cp::Samples<FlatRecord> live = cp::gather<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(99), 2000);
    delivery::expect_kept(v, reader, live, cp::range(0, 99), 1, writer, "before expiry");

    // 1.5 s after "write_finish": what has life left is still there, read.
    if (!until(write_finish, 1500)) return;
    const cp::Samples<FlatRecord> later = cp::read<FlatRecord>(reader);
    const int64_t now = delivery::now_ns();
    const std::vector<int32_t> want = cp::lvals(living(live, now));
    cp::log_line(std::to_string(want.size()) + " of " + std::to_string(live.size()) +
                 " samples live 1.5 s after \"write_finish\"");
    cp::expect_samples(v, living(later, now), delivery::written(want, writer, true), "1.5 s after \"write_finish\"");

    // 2.5 s after it: everything has expired.
    if (!until(write_finish, 2500)) return;
    cp::expect_samples(v, cp::take<FlatRecord>(reader), {}, "after expiry");
    cp::report("reader_take_finish", v);
    m.gone(v);
    e.release();
}
