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

// What the reader passed of one phase, taken after the phase's window:
// exactly `want`, in order, from `writer` (the one instance taken from
// before in a later phase). True when it was.
bool phase(cp::Verdict& v, DataReader* reader, int window_ms, const InstanceHandle_t& writer,
           const std::vector<int32_t>& want, const std::string& what, bool later = false) {
    cp::pause(window_ms);
    return cp::expect_samples(v, cp::take<FlatRecord>(reader),
                              delivery::written(want, writer, false, later ? NOT_NEW_VIEW_STATE : NEW_VIEW_STATE),
                              what);
}

// Per instance of the keyed test: the source times of what it passed.
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
    cp::Verdict ready("reader ready"), fast("fast phase"), slow("slow phase");
    cp::Matches m(reader);
    const InstanceHandle_t writer = delivery::one_writer(ready, m, reader, "time_filter_topic_name");
    cp::report("reader_ready", ready);

    phase(fast, reader, 1000, writer, {100}, "250 ms apart or more");
    cp::report("fast_send_check", fast);
    // A key held back costs the positive side its 10 s wait before the next phase.
    const int held_back = fast.ok() ? 0 : 1;
    phase(slow, reader, 1500 + held_back * peer::kWaitMs, writer, {500, 600, 700}, "300 ms apart", true);
    cp::report("slow_send_check", slow);
    m.gone(slow);
    e.release();
}

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyDynamicTestNegative,
          "TimeBasedFilterQosPolicyDynamicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("dynamic_time_filter_topic_name", filtering_reader({1, 0}));
    ASSERT_TRUE(cp::ready());
    cp::Verdict ready("reader ready"), first("first phase"), change("filter change"), second("second phase");
    cp::Matches m(reader);
    const InstanceHandle_t writer = delivery::one_writer(ready, m, reader, "dynamic_time_filter_topic_name");
    cp::report("reader_ready", ready);

    phase(first, reader, 1500, writer, {10}, "1 s apart");
    cp::report("first_phase_check", first);

    if (reader != nullptr) {
        DataReaderQos qos;
        change.equal(reader->get_qos(qos), RETCODE_OK) << "get_qos";
        qos.time_based_filter.minimum_separation = {0, 0};
        change.equal(reader->set_qos(qos), RETCODE_OK) << "set_qos with no separation";
        DataReaderQos back;
        change.equal(reader->get_qos(back), RETCODE_OK) << "get_qos after set_qos";
        change.check(back.time_based_filter.minimum_separation == Duration_t{0, 0})
            << "the separation read back is not 0";
    }
    cp::report("filter_param_changed", change);

    // The positive side writes the second phase once it has both keys.
    const int held_back = (first.ok() ? 0 : 1) + (change.ok() ? 0 : 1);
    phase(second, reader, 1500 + held_back * peer::kWaitMs, writer, {60, 70, 80, 90, 100}, "no separation", true);
    cp::report("second_phase_check", second);
    m.gone(second);
    e.release();
}

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyKeyedTypeTestNegative,
          "TimeBasedFilterQosPolicyKeyedTypeTest") {
    cp::Entities e;
    DataReader* reader =
        e.reader("keyed_time_filter_topic_name", filtering_reader({0, 300000000}), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    cp::Verdict ready("reader ready"), v("per instance");
    cp::Matches m(reader);
    const InstanceHandle_t writer =
        delivery::one_writer(ready, m, reader, "keyed_time_filter_topic_name", DATAWRITER_QOS_DEFAULT, "KeyedType");
    cp::report("reader_ready", ready);

    cp::pause(1500);
    const cp::Samples<KeyedType> got = cp::take<KeyedType>(reader);
    cp::log_line("received " + cp::describe(cp::lvals(got)));
    // Two of each instance, in the order of each instance; across instances in any.
    std::vector<cp::Want> want;
    for (int32_t key : {1, 1, 2, 2})
        want.push_back(cp::Want::data(key).from(writer).text("").view(ANY_VIEW_STATE));
    cp::expect_samples(v, got, want, "two of each instance");
    std::vector<Passed> passed{{1, {}}, {2, {}}};
    for (const auto& s : got)
        for (Passed& p : passed)
            if (s.data.lVal == p.key) p.times_ns.push_back(delivery::ns(s.info.source_timestamp));
    for (const Passed& p : passed) {
        // The first of each instance, and one written at least 300 ms after it.
        if (p.times_ns.size() != 2) continue;  // failed above
        v.check(p.times_ns[1] - p.times_ns[0] >= 300000000)
            << "instance " << p.key << ": passed two samples " << (p.times_ns[1] - p.times_ns[0]) / 1000000
            << " ms apart";
    }
    // B's first is the one of the first phase, before A's second.
    if (passed[0].times_ns.size() == 2 && passed[1].times_ns.size() == 2) {
        v.check(passed[1].times_ns[0] < passed[0].times_ns[1])
            << "the first sample of instance 2 passed is not the one written before the pause";
    }
    cp::report("keyed_filter_check", v);
    m.gone(v);
    e.release();
}
