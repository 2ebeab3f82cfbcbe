// Reading side of the lifespan test: a reliable keep-all reader on
// "lifespan_topic_name". The positive side's writer (lifespan 2 s, all else
// default) writes lVal 0 to 99, 1 ms apart, each living 2 s from its source
// time, and sends "write_finish" right after the last one.
// - The writer announces its lifespan {2 s, 0}.
// - Read at once, the reader holds all hundred, in order, from that writer,
//   none read before.
// - Read again 1.5 s after "write_finish", every sample with more than
//   kMarginMs of its life left (by its source time: all of them, unless the
//   writes took longer than 0.4 s) is still there, now marked read.
// - 2.5 s after "write_finish" every sample is at least 2.5 s old, 0.5 s past
//   its lifespan: a take returns nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <iostream>
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

}  // namespace

PEER_TEST(LifeSpanQosPolicyTestNegative, ENABLED_LifeSpanQosPolicyNegative, "LifeSpanQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("lifespan_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    const int64_t start_ns = delivery::now_ns();
    bool ok = cp::wait_matched(reader, 1);
    DataWriterQos announced = DATAWRITER_QOS_DEFAULT;
    announced.lifespan.duration = {2, 0};
    const InstanceHandle_t writer = delivery::announced_writer(reader, "lifespan_topic_name", announced, ok);
    cp::report("reader_match_finish", ok);
    if (!cp::await("write_finish", 15000)) return;
    const auto write_finish = cp::Clock::now();

    delivery::Seen seen;
    ok = delivery::settle_read<FlatRecord>(reader, cp::valid_count<FlatRecord>(100), 2000, seen) && ok;
    const cp::Samples<FlatRecord> live = cp::read<FlatRecord>(reader);
    ok = cp::expect_lvals(cp::lvals(live), cp::range(0, 99), "before expiry") && ok;
    ok = delivery::expect_fresh_from(live, writer, start_ns, "before expiry", seen) && ok;

    // 1.5 s after "write_finish": what has life left is still there, read.
    if (!until(write_finish, 1500)) return;
    const cp::Samples<FlatRecord> later = cp::read<FlatRecord>(reader);
    const int64_t now = delivery::now_ns();
    std::vector<int32_t> want;
    for (const auto& s : live)
        if (delivery::ns(s.info.source_timestamp) + kLifespanNs > now + kMarginNs) want.push_back(s.data.lVal);
    std::cout << "[lifespan] " << want.size() << " of " << live.size() << " samples live 1.5 s after \"write_finish\""
              << std::endl;
    std::vector<int32_t> still;
    bool marked_read = true;
    for (const auto& s : later) {
        if (delivery::ns(s.info.source_timestamp) + kLifespanNs > now + kMarginNs) still.push_back(s.data.lVal);
        marked_read = marked_read && s.info.sample_state == READ_SAMPLE_STATE;
    }
    ok = cp::expect_lvals(still, want, "1.5 s after \"write_finish\"") && ok;
    EXPECT_TRUE(marked_read) << "a sample read before is not marked read";
    ok = marked_read && ok;

    // 2.5 s after it: everything has expired.
    if (!until(write_finish, 2500)) return;
    ok = cp::expect_lvals(cp::lvals(cp::take<FlatRecord>(reader)), {}, "after expiry") && ok;
    e.release();
    cp::report("reader_take_finish", ok);
}
