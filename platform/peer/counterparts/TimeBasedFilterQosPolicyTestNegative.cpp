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
// about 600 ms pass two of each instance: A at 0 and 600 ms, B at 150 and
// 600 ms. Per instance: B at 150 ms is the first of B (a filter over the
// whole reader would drop it, 150 ms after A); A at 100 ms is 200 ms short;
// B at 600 ms is 450 ms after B at 150 ms. The order across instances is
// not fixed ([1, 1, 2, 2] is as right as [1, 2, 1, 2]), so each instance is
// judged on its own, by the source times of what it passed.
// Every writer is the positive side's default one; every sample comes from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

DataReaderQos filtering_reader(Duration_t minimum_separation) {
    DataReaderQos qos = cp::reliable_reader();
    qos.time_based_filter.minimum_separation = minimum_separation;
    return qos;
}

// What the reader passed of one phase: taken after the phase's window, each
// sample checked as fresh from `writer`.
template <class T>
std::vector<int32_t> phase(DataReader* reader, int window_ms, const InstanceHandle_t& writer, bool& ok) {
    cp::pause(window_ms);
    const cp::Samples<T> got = cp::take<T>(reader);
    ok = delivery::expect_fresh_from(got, writer, delivery::now_ns() - window_ms * int64_t{1000000}, "phase") && ok;
    return cp::lvals(got);
}

// The default writer matched, once; its handle.
InstanceHandle_t ready_writer(DataReader* reader, const std::string& topic, bool& ok,
                              const std::string& type = "FlatRecord") {
    ok = cp::wait_matched(reader, 1) && ok;
    return delivery::announced_writer(reader, topic, DATAWRITER_QOS_DEFAULT, ok, type);
}

// Per instance of the keyed test: its samples, with their source times.
struct Passed {
    int32_t key;
    std::vector<int64_t> times_ns;
};

}  // namespace

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyBasicTestNegative,
          "TimeBasedFilterQosPolicyBasicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("time_filter_topic_name", filtering_reader({0, 250000000}));
    ASSERT_TRUE(cp::ready());
    bool ok = true;
    const InstanceHandle_t writer = ready_writer(reader, "time_filter_topic_name", ok);
    cp::report("reader_ready", ok);

    const bool fast_ok = cp::expect_lvals(phase<FlatRecord>(reader, 1000, writer, ok), {100}, "fast phase") && ok;
    cp::report("fast_send_check", fast_ok);
    // A key held back costs the positive side its 10 s wait before the next phase.
    const int held_back = fast_ok ? 0 : 1;
    const bool slow_ok = cp::expect_lvals(phase<FlatRecord>(reader, 1500 + held_back * peer::kWaitMs, writer, ok),
                                          {500, 600, 700}, "slow phase") &&
                         ok;
    e.release();
    cp::report("slow_send_check", slow_ok);
}

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyDynamicTestNegative,
          "TimeBasedFilterQosPolicyDynamicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("dynamic_time_filter_topic_name", filtering_reader({1, 0}));
    ASSERT_TRUE(cp::ready());
    bool ok = true;
    const InstanceHandle_t writer = ready_writer(reader, "dynamic_time_filter_topic_name", ok);
    cp::report("reader_ready", ok);

    const bool first_ok =
        cp::expect_lvals(phase<FlatRecord>(reader, 1500, writer, ok), {10}, "first phase, 1 s") && ok;
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
    const bool second_ok = cp::expect_lvals(phase<FlatRecord>(reader, 1500 + held_back * peer::kWaitMs, writer, ok),
                                            {60, 70, 80, 90, 100}, "second phase, no separation") &&
                           ok;
    e.release();
    cp::report("second_phase_check", second_ok);
}

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyKeyedTypeTestNegative,
          "TimeBasedFilterQosPolicyKeyedTypeTest") {
    cp::Entities e;
    DataReader* reader =
        e.reader("keyed_time_filter_topic_name", filtering_reader({0, 300000000}), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    bool ok = true;
    const InstanceHandle_t writer = ready_writer(reader, "keyed_time_filter_topic_name", ok, "KeyedType");
    cp::report("reader_ready", ok);

    cp::pause(1500);
    const cp::Samples<KeyedType> got = cp::take<KeyedType>(reader);
    delivery::log_sequence("keyed time filter", got);
    ok = delivery::expect_fresh_from(got, writer, delivery::now_ns() - 3000000000LL, "keyed") && ok;
    std::vector<Passed> passed{{1, {}}, {2, {}}};
    for (const auto& s : got) {
        bool known = false;
        for (Passed& p : passed)
            if (s.data.lVal == p.key) {
                p.times_ns.push_back(delivery::ns(s.info.source_timestamp));
                known = true;
            }
        EXPECT_TRUE(known) << "lVal " << s.data.lVal << " was never written";
        ok = known && ok;
    }
    for (const Passed& p : passed) {
        // The first of each instance, and one written at least 300 ms after it.
        const bool two = p.times_ns.size() == 2;
        const bool apart = two && p.times_ns[1] - p.times_ns[0] >= 300000000;
        EXPECT_TRUE(two && apart) << "instance " << p.key << ": " << p.times_ns.size() << " samples passed"
                                  << (two ? ", " + std::to_string((p.times_ns[1] - p.times_ns[0]) / 1000000) + " ms apart"
                                          : std::string());
        ok = two && apart && ok;
    }
    // B's first is the one of the first phase, before A's second.
    const bool b_first = passed[0].times_ns.size() == 2 && passed[1].times_ns.size() == 2 &&
                         passed[1].times_ns[0] < passed[0].times_ns[1];
    EXPECT_TRUE(b_first) << "the first sample of instance 2 passed is not the one written before the pause";
    ok = b_first && ok;
    e.release();
    cp::report("keyed_filter_check", ok);
}
