// Reading side of the liveliness test: one reader per writer kind, each with
// a 2 s lease, on "liveliness_topic_name_1/2/3" (automatic, manual by
// participant, manual by topic). Their liveliness-changed statuses and
// matches are followed every 50 ms from before "wait_for_completion" to
// "write_finish", so that every time on this clock is at least as late as
// the same moment on the positive side's clock, which starts when it gets
// "wait_for_completion".
//
// The positive side, from t = 0 at "wait_for_completion" (the earliest
// times; a loaded machine only makes them later):
//   0 s .. 9 s     asserts writer2 every second (manual by participant, so
//                  writer2dup, never asserted itself, is kept alive too);
//   11 s           both manual-by-participant writers lose their lease;
//   15 s .. 24 s   asserts writer3 every second (manual by topic);
//   26 s           writer3 loses its lease;
//   then "write_finish".
// So:
// - each writer announces its kind and its 2 s lease;
// - r1 (automatic) has its writer alive throughout: never a not-alive one;
// - r2 sees both writers alive together, and loses them not before 11 s
//   (not before their lease ran out from their last assertion), and before
//   r3's writer is alive again (at least 6 s after that assertion);
// - r3's writer is never asserted before 15 s. Whether a writer that never
//   asserted its liveliness counts as alive at first (and is lost one lease
//   later) or not alive from the start is not fixed: either way it is not
//   alive, matched, at the last look before 15 s; it is alive again while it
//   asserts, and lost again not before 26 s;
// - at "write_finish": matched 1/2/1, alive/not alive 1/0, 0/2, 0/1.
// After "dp_deleted" every match ends, and the alive and not-alive counts
// fall to 0 within 5 s.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

constexpr int kWriteFinishMs = 60000;
constexpr int kPollEveryMs = 50;
// Lower bounds on the positive side's clock, so on this side's too.
constexpr int64_t kNoLossBeforeMs = 11000;        // r2: its last assertion (9 s at the earliest) and the lease
constexpr int64_t kFirstTopicAssertMs = 15000;    // r3: its first assertion, at the earliest
constexpr int64_t kNoSecondLossBeforeMs = 26000;  // r3: its last assertion (24 s at the earliest) and the lease

DataReaderQos liveliness_reader(LivelinessQosPolicyKind kind) {
    DataReaderQos qos = cp::reliable_reader();
    qos.liveliness.kind = kind;
    qos.liveliness.lease_duration = {2, 0};
    return qos;
}

DataWriterQos liveliness_writer(LivelinessQosPolicyKind kind) {
    DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
    qos.liveliness.kind = kind;
    qos.liveliness.lease_duration = {2, 0};
    return qos;
}

LivelinessChangedStatus liveliness_of(DataReader* reader) {
    LivelinessChangedStatus status;
    if (reader != nullptr) {
        EXPECT_EQ(reader->get_liveliness_changed_status(status), RETCODE_OK);
    }
    return status;
}

// One change of a reader's counts, in ms since the start: when it was seen,
// the change itself having come before.
struct Change {
    int64_t ms;
    std::size_t matched;
    int32_t alive;
    int32_t not_alive;
};

// Follows the liveliness-changed statuses of the three readers every 50 ms on
// a thread of its own, while the test thread waits for the positive side.
// Each reader's changes are logged and kept; read them after stop().
class LivelinessWatch {
public:
    explicit LivelinessWatch(std::vector<DataReader*> readers)
        : readers_(std::move(readers)), changes(readers_.size()), start_(cp::Clock::now()),
          thread_([this] { run(); }) {}
    ~LivelinessWatch() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int64_t since_start_ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(cp::Clock::now() - start_).count();
    }

private:
    void run() {
        while (!stop_) {
            for (std::size_t i = 0; i < readers_.size(); ++i) {
                const LivelinessChangedStatus s = liveliness_of(readers_[i]);
                const std::size_t matched = cp::matched_count(readers_[i]);
                const int64_t ms = since_start_ms();  // after the reads: no later than what they saw
                std::vector<Change>& c = changes[i];
                if (!c.empty() && c.back().matched == matched && c.back().alive == s.alive_count &&
                    c.back().not_alive == s.not_alive_count)
                    continue;
                c.push_back({ms, matched, s.alive_count, s.not_alive_count});
                std::cout << "[liveliness] +" << ms << " ms r" << i + 1 << " matched " << matched << ", alive "
                          << s.alive_count << ", not alive " << s.not_alive_count << std::endl;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollEveryMs));
        }
    }

    std::vector<DataReader*> readers_;

public:
    std::vector<std::vector<Change>> changes;

private:
    const cp::Clock::time_point start_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The first change at or after `from_ms` for which `holds` is true; null when none.
template <class Pred>
const Change* first(const std::vector<Change>& changes, int64_t from_ms, Pred holds) {
    for (const Change& c : changes)
        if (c.ms >= from_ms && holds(c)) return &c;
    return nullptr;
}

void expect_counts(cp::Verdict& v, DataReader* reader, const char* name, std::size_t matched, int32_t alive,
                   int32_t not_alive) {
    const LivelinessChangedStatus s = liveliness_of(reader);
    v.equal(cp::matched_count(reader), matched) << name << ": matched writers";
    v.equal(s.alive_count, alive) << name << ": alive writers";
    v.equal(s.not_alive_count, not_alive) << name << ": not-alive writers";
}

}  // namespace

PEER_TEST(LivelinessQosPolicyTestNegative, ENABLED_LivelinessQosPolicyNegative, "LivelinessQosPolicy") {
    cp::Entities e;
    DataReader* r1 = e.reader("liveliness_topic_name_1", liveliness_reader(AUTOMATIC_LIVELINESS_QOS));
    DataReader* r2 = e.reader("liveliness_topic_name_2", liveliness_reader(MANUAL_BY_PARTICIPANT_LIVELINESS_QOS));
    DataReader* r3 = e.reader("liveliness_topic_name_3", liveliness_reader(MANUAL_BY_TOPIC_LIVELINESS_QOS));
    ASSERT_TRUE(e.ok());
    // Started before "wait_for_completion": this side's times are then no
    // earlier than the positive side's.
    LivelinessWatch watch({r1, r2, r3});
    ASSERT_TRUE(cp::ready());

    cp::Verdict v("liveliness");
    cp::Matches m1(r1), m2(r2), m3(r3);
    const auto writer = [](int topic, LivelinessQosPolicyKind kind) {
        return cp::announced_writer("liveliness_topic_name_" + std::to_string(topic), "FlatRecord",
                                    liveliness_writer(kind));
    };
    cp::expect_matched(v, m1, r1, {writer(1, AUTOMATIC_LIVELINESS_QOS)}, {}, "the automatic writer");
    cp::expect_matched(v, m2, r2,
                       {writer(2, MANUAL_BY_PARTICIPANT_LIVELINESS_QOS), writer(2, MANUAL_BY_PARTICIPANT_LIVELINESS_QOS)},
                       {}, "the manual-by-participant writers");
    cp::expect_matched(v, m3, r3, {writer(3, MANUAL_BY_TOPIC_LIVELINESS_QOS)}, {}, "the manual-by-topic writer");
    const bool finished = cp::await("write_finish", kWriteFinishMs);
    watch.stop();
    if (!finished) return;
    const std::vector<Change>& c1 = watch.changes[0];
    const std::vector<Change>& c2 = watch.changes[1];
    const std::vector<Change>& c3 = watch.changes[2];

    const Change* r1_lost = first(c1, 0, [](const Change& c) { return c.not_alive > 0; });
    // A message is built whether or not its check passed: no dereference of a null change in it.
    v.check(r1_lost == nullptr) << "the automatic writer was reported not alive at +" << (r1_lost ? r1_lost->ms : -1)
                                << " ms";

    // Before their first assertion reached this side the two may have
    // counted as not alive: their loss is the first after both were alive.
    const Change* r2_both = first(c2, 0, [](const Change& c) { return c.alive == 2; });
    const Change* r2_lost = r2_both ? first(c2, r2_both->ms, [](const Change& c) { return c.not_alive > 0; }) : nullptr;
    const Change* r2_all_lost =
        r2_both ? first(c2, r2_both->ms, [](const Change& c) { return c.not_alive == 2; }) : nullptr;

    // r3 at the last look before its writer's first assertion, then alive
    // again, then lost again.
    const Change* r3_quiet = nullptr;
    for (const Change& c : c3)
        if (c.ms < kFirstTopicAssertMs) r3_quiet = &c;
    const Change* r3_revived =
        r3_quiet ? first(c3, r3_quiet->ms + 1, [](const Change& c) { return c.alive == 1; }) : nullptr;
    const Change* r3_lost_again =
        r3_revived ? first(c3, r3_revived->ms + 1, [](const Change& c) { return c.not_alive == 1; }) : nullptr;

    if (v.check(r2_both != nullptr) << "the two manual-by-participant writers were never alive together") {
        v.check(r2_lost != nullptr && r2_all_lost != nullptr && r2_lost->ms >= kNoLossBeforeMs)
            << "the manual-by-participant writers must be lost, not before +" << kNoLossBeforeMs
            << " ms: alive together at +" << r2_both->ms << " ms, first lost at +" << (r2_lost ? r2_lost->ms : -1)
            << " ms, both at +" << (r2_all_lost ? r2_all_lost->ms : -1) << " ms";
        v.check(r2_all_lost == nullptr || r3_revived == nullptr || r2_all_lost->ms <= r3_revived->ms)
            << "the manual-by-participant writers were lost at +" << (r2_all_lost ? r2_all_lost->ms : -1)
            << " ms, after the manual-by-topic writer was alive again (+" << (r3_revived ? r3_revived->ms : -1)
            << " ms), six seconds and more after their last assertion";
    }

    v.check(r3_quiet != nullptr && r3_quiet->matched == 1 && r3_quiet->alive == 0)
        << "the manual-by-topic writer, never asserted, is "
        << (r3_quiet == nullptr ? std::string("not seen")
                                : "matched " + std::to_string(r3_quiet->matched) + ", alive " +
                                      std::to_string(r3_quiet->alive) + ", not alive " +
                                      std::to_string(r3_quiet->not_alive))
        << " at the last look before its first assertion (+" << (r3_quiet ? r3_quiet->ms : -1)
        << " ms), expected matched and not alive";
    v.check(r3_revived != nullptr) << "the manual-by-topic writer was not alive again while it asserted";
    v.check(r3_revived == nullptr || (r3_lost_again != nullptr && r3_lost_again->ms >= kNoSecondLossBeforeMs))
        << "the manual-by-topic writer must stay alive from its revival (+" << (r3_revived ? r3_revived->ms : -1)
        << " ms) to its loss after +" << kNoSecondLossBeforeMs << " ms; lost again at +"
        << (r3_lost_again ? r3_lost_again->ms : -1) << " ms";

    expect_counts(v, r1, "r1 (automatic)", 1, 1, 0);
    expect_counts(v, r2, "r2 (manual by participant)", 2, 0, 2);
    expect_counts(v, r3, "r3 (manual by topic)", 1, 0, 1);
    cp::report("reader_check_finish", v);

    // The positive side closes the connection right after "dp_deleted", so
    // this last bounded wait does not end with the connection.
    if (!cp::await("dp_deleted", 15000)) return;
    cp::Verdict after("after the deletion");
    m1.gone(after);
    m2.gone(after);
    m3.gone(after);
    // No writer counts as alive or not alive any more either. The positive
    // side has closed the connection by now: this wait is bounded by itself.
    const auto deadline = cp::Clock::now() + std::chrono::milliseconds(5000);
    for (DataReader* r : {r1, r2, r3}) {
        LivelinessChangedStatus s = liveliness_of(r);
        while ((s.alive_count != 0 || s.not_alive_count != 0) && cp::Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(cp::kPollMs));
            s = liveliness_of(r);
        }
        after.check(s.alive_count == 0 && s.not_alive_count == 0)
            << "writers still counted 5 s after their deletion: alive " << s.alive_count << ", not alive "
            << s.not_alive_count;
    }
    e.release();
}
