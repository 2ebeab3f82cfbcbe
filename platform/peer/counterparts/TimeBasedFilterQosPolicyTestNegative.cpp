// Reading side of the time-based filter tests: reliable keep-all readers with
// a minimum separation, which pass a sample of an instance only when it comes
// at least that long (by source time) after the last one passed. Each phase
// is read after a fixed window that covers the positive side's writes.
//
// Basic, 250 ms: 100, 200, 300, 400 written 50 ms apart pass only 100 (400
// comes at 150 ms, 100 ms short of 250); 500, 600, 700 written 300 ms apart
// all pass.
// Dynamic, 1 s, then 0 set on the enabled reader: 10 ... 50, 100 ms apart,
// pass only 10 (50 comes at 400 ms); after the change 60 ... 100 all pass.
// Keyed, 300 ms: A at 0, 50, 100 ms, B at 150, 200, 250 ms, then A and B at
// about 600 ms pass A, B, A, B. Per instance: B at 150 ms is the first of B (a
// filter over the whole reader would drop it, 150 ms after A); A at 100 ms is
// 200 ms short; B at 600 ms is 450 ms after B at 150 ms.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

DataReaderQos filtering_reader(Duration_t minimum_separation) {
    DataReaderQos qos = cp::reliable_reader();
    qos.time_based_filter.minimum_separation = minimum_separation;
    return qos;
}

// What the reader passed of one phase: taken after the phase's window.
template <class T>
std::vector<int32_t> phase(DataReader* reader, int window_ms) {
    cp::pause(window_ms);
    return cp::lvals(cp::take<T>(reader));
}

}  // namespace

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyBasicTestNegative,
          "TimeBasedFilterQosPolicyBasicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("time_filter_topic_name", filtering_reader({0, 250000000}));
    ASSERT_TRUE(cp::ready());
    cp::report("reader_ready", cp::wait_matched(reader, 1));

    const bool fast_ok = cp::expect_lvals(phase<FlatRecord>(reader, 1000), {100}, "fast phase");
    cp::report("fast_send_check", fast_ok);
    // A key held back costs the positive side its 10 s wait before the next phase.
    const int held_back = fast_ok ? 0 : 1;
    const bool slow_ok = cp::expect_lvals(phase<FlatRecord>(reader, 1500 + held_back * peer::kWaitMs),
                                          {500, 600, 700}, "slow phase");
    e.release();
    cp::report("slow_send_check", slow_ok);
}

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyDynamicTestNegative,
          "TimeBasedFilterQosPolicyDynamicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("dynamic_time_filter_topic_name", filtering_reader({1, 0}));
    ASSERT_TRUE(cp::ready());
    cp::report("reader_ready", cp::wait_matched(reader, 1));

    const bool first_ok = cp::expect_lvals(phase<FlatRecord>(reader, 1500), {10}, "first phase, 1 s");
    cp::report("first_phase_check", first_ok);

    bool changed = false;
    if (reader != nullptr) {
        DataReaderQos qos;
        EXPECT_EQ(reader->get_qos(qos), RETCODE_OK);
        qos.time_based_filter.minimum_separation = {0, 0};
        const ReturnCode_t set_rc = reader->set_qos(qos);
        EXPECT_EQ(set_rc, RETCODE_OK);
        DataReaderQos back;
        EXPECT_EQ(reader->get_qos(back), RETCODE_OK);
        const Duration_t zero{0, 0};
        EXPECT_EQ(back.time_based_filter.minimum_separation, zero);
        changed = set_rc == RETCODE_OK && back.time_based_filter.minimum_separation == zero;
    }
    cp::report("filter_param_changed", changed);

    // The positive side writes the second phase once it has both keys.
    const int held_back = (first_ok ? 0 : 1) + (changed ? 0 : 1);
    const bool second_ok = cp::expect_lvals(phase<FlatRecord>(reader, 1500 + held_back * peer::kWaitMs),
                                            {60, 70, 80, 90, 100}, "second phase, no separation");
    e.release();
    cp::report("second_phase_check", second_ok);
}

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyKeyedTypeTestNegative,
          "TimeBasedFilterQosPolicyKeyedTypeTest") {
    cp::Entities e;
    DataReader* reader =
        e.reader("keyed_time_filter_topic_name", filtering_reader({0, 300000000}), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    cp::report("reader_ready", cp::wait_matched(reader, 1));

    const bool ok = cp::expect_lvals(phase<KeyedType>(reader, 1500), {1, 2, 1, 2}, "per instance, 300 ms");
    e.release();
    cp::report("keyed_filter_check", ok);
}
