// Reading side of the time-based filter tests: reliable keep-all readers with
// a minimum separation, which want at most one sample of an instance per
// separation: of two samples of an instance passed, the later was written
// (by source time) at least the separation after the earlier. Which sample
// of a burst passes is the library's choice (the first, or the newest once
// the separation has run, or another); what it may not drop is a sample
// written the separation or more after and before every other sample of its
// instance: no sample it passed can stand in for that one. Each burst of the
// positive side passes at least one sample. Samples are judged by what they
// are (lVal, key) and their source times, not by when they came: each
// phase's verdict is given once what must come has come and a window for the
// rest has passed, and what of it comes later is judged with the next phase.
//
// Basic, 250 ms: 100, 200, 300, 400 written 50 ms apart (at least) pass one
// or more, 250 ms apart by source time; 500, 600, 700 written 300 ms apart
// all pass.
// Dynamic, 1 s, then 0 set on the enabled reader: 10 ... 50, 100 ms apart,
// pass one or more, 1 s apart; after the change 60 ... 100 all pass.
// Keyed, 300 ms: A at 0, 50, 100 ms, B at 150, 200, 250 ms, then A and B at
// about 600 ms, one right after the other. Each instance passes one or more
// of its burst, 300 ms apart, and its last sample (350 ms and more after its
// burst). By source time what passed is then some of A's burst, some of B's,
// A's last, B's last: A..A B..B A B. The order across instances in which
// they come is not fixed ([1, 1, 2, 2] is as right as [1, 2, 1, 2]).
// Every writer is the positive side's default one; every sample comes from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

// Source times go on the wire in units of 2^-32 s, which may truncate them.
constexpr int64_t kResolutionNs = 1;

DataReaderQos filtering_reader(Duration_t minimum_separation) {
    DataReaderQos qos = cp::reliable_reader();
    qos.time_based_filter.minimum_separation = minimum_separation;
    return qos;
}

// One phase of the positive side on a keyless topic: what it writes, in
// order, those of it that no other sample can stand in for, and the
// separation in force.
struct Phase {
    std::string name;
    std::vector<int32_t> wrote;
    std::vector<int32_t> isolated;
    int64_t separation_ns;

    bool holds(int32_t value) const { return std::find(wrote.begin(), wrote.end(), value) != wrote.end(); }
    // The samples of this phase among `got`.
    cp::Samples<FlatRecord> of(const cp::Samples<FlatRecord>& got) const {
        cp::Samples<FlatRecord> out;
        for (const auto& s : got)
            if (s.info.valid_data && holds(s.data.lVal)) out.push_back(s);
        return out;
    }
    // Some sample of this phase is among `got`.
    std::function<bool(const cp::Samples<FlatRecord>&)> any() const {
        return [this](const cp::Samples<FlatRecord>& got) { return !of(got).empty(); };
    }
};

// What a reader passed of one instance: in the order written (each once), at
// least one, every sample that nothing can stand in for, each passed sample
// the separation or more after the one before by source time.
template <class T>
bool filtered(cp::Verdict& v, const cp::Samples<T>& passed, const std::vector<int32_t>& wrote,
              const std::vector<int32_t>& isolated, int64_t separation_ns, const std::string& what) {
    const std::vector<int32_t> values = cp::lvals(passed);
    cp::log_line(what + ": passed " + cp::describe(values));
    bool ok = delivery::kept_tail(v, values, wrote, 0, what);
    ok = (v.check(!values.empty()) << what << ": nothing passed of " << cp::describe(wrote)
                                   << delivery::discovery_note()) &&
         ok;
    for (int32_t value : isolated) {
        ok = (v.check(std::find(values.begin(), values.end(), value) != values.end())
              << what << ": " << value << " did not pass, though it was written " << separation_ns / 1000000
              << " ms or more after and before every other sample (passed: " << cp::describe(values) << ")"
              << delivery::discovery_note()) &&
             ok;
    }
    for (std::size_t i = 1; i < passed.size(); ++i) {
        const int64_t gap = delivery::ns(passed[i].info.source_timestamp) - delivery::ns(passed[i - 1].info.source_timestamp);
        ok = (v.check(gap >= separation_ns - kResolutionNs)
              << what << ": passed " << passed[i - 1].data.lVal << " and " << passed[i].data.lVal << " "
              << gap / 1000000 << " ms apart by source time, under the minimum separation of "
              << separation_ns / 1000000 << " ms") &&
             ok;
    }
    return ok;
}

// Takes until some sample of `phase` came (at most timeout_ms), then until
// window_ms after `from`.
cp::Samples<FlatRecord> burst(cp::Verdict& v, DataReader* reader, const Phase& phase, cp::Clock::time_point from,
                              int window_ms, int timeout_ms) {
    cp::Samples<FlatRecord> got = cp::collect<FlatRecord>(v, reader, phase.any(), timeout_ms, 0);
    const auto left = from + std::chrono::milliseconds(window_ms) - cp::Clock::now();
    cp::pause(static_cast<int>(std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count())));
    const cp::Samples<FlatRecord> more = cp::take<FlatRecord>(reader);
    got.insert(got.end(), more.begin(), more.end());
    return got;
}

// What came of the first phase of a test (the reader's first samples): each
// of that phase, from the writer, with its sample info, and passed as the
// filter may.
void judge_first(cp::Verdict& v, const cp::Samples<FlatRecord>& came, const Phase& phase,
                 const InstanceHandle_t& writer) {
    cp::expect_samples(v, came, delivery::written(cp::lvals(came), writer), phase.name);
    for (const auto& s : came)
        v.check(!s.info.valid_data || phase.holds(s.data.lVal)) << phase.name << ": lVal " << s.data.lVal
                                                                  << " is not of this phase";
    filtered(v, phase.of(came), phase.wrote, phase.isolated, phase.separation_ns, phase.name);
}

// The samples of `earlier` and of `phase` (the later one) among what came
// since `earlier` was judged: each from the writer, with its sample info
// (the instance taken from before), `earlier` judged again with what came of
// it late, `phase` on its own. And nothing else.
void judge_later(cp::Verdict& v, const cp::Samples<FlatRecord>& came, const Phase& earlier,
                 const cp::Samples<FlatRecord>& judged_before, const Phase& phase, const InstanceHandle_t& writer) {
    cp::expect_samples(v, came, delivery::written(cp::lvals(came), writer, false, NOT_NEW_VIEW_STATE),
                       "after \"" + earlier.name + "\"");
    for (const auto& s : came)
        v.check(!s.info.valid_data || earlier.holds(s.data.lVal) || phase.holds(s.data.lVal))
            << "lVal " << s.data.lVal << " is of neither phase";
    const cp::Samples<FlatRecord> late = earlier.of(came);
    if (!late.empty()) {
        cp::Samples<FlatRecord> whole = earlier.of(judged_before);
        whole.insert(whole.end(), late.begin(), late.end());
        filtered(v, whole, earlier.wrote, earlier.isolated, earlier.separation_ns, earlier.name + ", with what came late");
    }
    filtered(v, phase.of(came), phase.wrote, phase.isolated, phase.separation_ns, phase.name);
}

}  // namespace

PEER_TEST(TimeBasedFilterQosPolicyTestNegative, ENABLED_TimeBasedFilterQosPolicyBasicTestNegative,
          "TimeBasedFilterQosPolicyBasicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("time_filter_topic_name", filtering_reader({0, 250000000}));
    ASSERT_TRUE(cp::ready());
    cp::Verdict ready("reader ready"), fast("fast phase"), slow("slow phase");
    cp::Matches m(reader);
    const InstanceHandle_t writer = delivery::one_writer(ready, m, reader, "time_filter_topic_name");
    const Phase fast_phase{"50 ms apart", {100, 200, 300, 400}, {}, 250000000};
    const Phase slow_phase{"300 ms apart", {500, 600, 700}, {500, 600, 700}, 250000000};
    cp::report_before_writes("reader_ready", ready.ok());
    const auto keyed = cp::Clock::now();

    const cp::Samples<FlatRecord> first = burst(fast, reader, fast_phase, keyed, 1000, cp::kStageMs);
    judge_first(fast, first, fast_phase, writer);
    cp::report_before_writes("fast_send_check", fast.ok());
    // A key held back costs the positive side its 10 s wait before the next phase.
    const int held_back = fast.ok() ? 0 : 1;
    const cp::Samples<FlatRecord> later =
        cp::collect<FlatRecord>(slow, reader, cp::has_lval<FlatRecord>(700), cp::kStageMs + held_back * peer::kWaitMs);
    judge_later(slow, later, fast_phase, first, slow_phase, writer);
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
    const Phase first_phase{"1 s apart", {10, 20, 30, 40, 50}, {}, 1000000000};
    const Phase second_phase{"no separation", {60, 70, 80, 90, 100}, {60, 70, 80, 90, 100}, 0};
    cp::report_before_writes("reader_ready", ready.ok());
    const auto keyed = cp::Clock::now();

    const cp::Samples<FlatRecord> early = burst(first, reader, first_phase, keyed, 1500, cp::kStageMs);
    judge_first(first, early, first_phase, writer);
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
    // The positive side writes the second phase once it has both keys.
    cp::report_before_writes("filter_param_changed", change.ok());

    const int held_back = (first.ok() ? 0 : 1) + (change.ok() ? 0 : 1);
    const cp::Samples<FlatRecord> later = cp::collect<FlatRecord>(second, reader, cp::has_lval<FlatRecord>(100),
                                                                  cp::kStageMs + held_back * peer::kWaitMs);
    judge_later(second, later, first_phase, early, second_phase, writer);
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
    cp::report_before_writes("reader_ready", ready.ok());

    // Two of each instance at least: some of its burst and its last.
    const auto two_each = [](const cp::Samples<KeyedType>& got) {
        std::size_t a = 0, b = 0;
        for (const auto& s : got) {
            if (!s.info.valid_data) continue;
            (s.data.lVal == 1 ? a : b) += 1;
        }
        return a >= 2 && b >= 2;
    };
    const cp::Samples<KeyedType> got = cp::collect<KeyedType>(v, reader, two_each, cp::kStageMs);
    cp::log_line("received " + cp::describe(cp::lvals(got)));
    std::vector<cp::Want> want;
    for (const auto& s : got)
        if (s.info.valid_data && (s.data.lVal == 1 || s.data.lVal == 2))
            want.push_back(cp::Want::data(s.data.lVal).from(writer).text("").view(ANY_VIEW_STATE));
    cp::expect_samples(v, got, want, "keyed filter");
    cp::expect_instances(v, reader, got, "keyed filter");
    // Each instance in the order written, the separation or more apart, its
    // burst and its last sample there.
    for (int32_t key : {1, 2}) {
        cp::Samples<KeyedType> passed;
        for (const auto& s : got)
            if (s.info.valid_data && s.data.lVal == key) passed.push_back(s);
        const std::string what = "instance " + std::to_string(key);
        bool in_order = true;
        for (std::size_t i = 1; i < passed.size(); ++i)
            in_order = in_order && delivery::ns(passed[i - 1].info.source_timestamp) <
                                       delivery::ns(passed[i].info.source_timestamp);
        v.check(in_order) << what << ": its samples came out of their source-time order";
        for (std::size_t i = 1; i < passed.size(); ++i) {
            const int64_t gap =
                delivery::ns(passed[i].info.source_timestamp) - delivery::ns(passed[i - 1].info.source_timestamp);
            v.check(gap >= 300000000 - kResolutionNs)
                << what << ": passed two samples " << gap / 1000000 << " ms apart by source time, under 300 ms";
        }
    }
    // By source time: A's burst, B's burst, A's last, B's last.
    cp::Samples<KeyedType> by_time;
    for (const auto& s : got)
        if (s.info.valid_data) by_time.push_back(s);
    std::stable_sort(by_time.begin(), by_time.end(), [](const auto& a, const auto& b) {
        return delivery::ns(a.info.source_timestamp) < delivery::ns(b.info.source_timestamp);
    });
    std::string pattern;
    for (const auto& s : by_time) pattern += s.data.lVal == 1 ? 'A' : 'B';
    std::size_t i = 0;
    while (i < pattern.size() && pattern[i] == 'A') ++i;
    const std::size_t a_burst = i;
    while (i < pattern.size() && pattern[i] == 'B') ++i;
    const std::size_t b_burst = i - a_burst;
    const bool shape = a_burst >= 1 && b_burst >= 1 && pattern.substr(i) == "AB";
    v.check(shape) << "by source time the samples passed are " << pattern
                   << ", expected some of A's burst, some of B's, then A's last and B's last (A..AB..BAB)";
    cp::report("keyed_filter_check", v);
    m.gone(v);
    e.release();
}
