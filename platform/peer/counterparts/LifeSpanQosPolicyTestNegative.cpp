// Reading side of the lifespan test: a reliable keep-all reader on
// "lifespan_topic_name". The positive side writes lVal 0 to 99, 1 ms apart,
// each living 2 s from its source time, and sends "write_finish" right after
// the last one.
// - Read at once, the reader holds all hundred, in order: none has expired
//   (the oldest is about 0.1-0.2 s old).
// - 2.5 s after "write_finish" every sample is at least 2.5 s old, 0.5 s past
//   its lifespan: a take returns nothing.
#include <gtest/gtest.h>

#include <chrono>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(LifeSpanQosPolicyTestNegative, ENABLED_LifeSpanQosPolicyNegative, "LifeSpanQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("lifespan_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    cp::report("reader_match_finish", cp::wait_matched(reader, 1));
    if (!cp::await("write_finish", 15000)) return;
    const auto write_finish = cp::Clock::now();

    cp::settle<FlatRecord>(reader, cp::has_lval<FlatRecord>(99), 2000);
    const bool live_ok = cp::expect_lvals(cp::lvals(cp::read<FlatRecord>(reader)), cp::range(0, 99), "before expiry");

    const auto left = write_finish + std::chrono::milliseconds(2500) - cp::Clock::now();
    if (!cp::pause(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()))) return;
    const bool expired_ok = cp::expect_lvals(cp::lvals(cp::take<FlatRecord>(reader)), {}, "after expiry");
    e.release();
    cp::report("reader_take_finish", live_ok && expired_ok);
}
