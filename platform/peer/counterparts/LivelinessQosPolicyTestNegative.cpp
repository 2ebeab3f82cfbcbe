// Reading side of the liveliness test: one reader per writer kind, each with
// a 2 s lease, on "liveliness_topic_name_1/2/3" (automatic, manual by
// participant, manual by topic). Their liveliness-changed statuses are
// followed every 50 ms from "wait_for_completion" to "write_finish".
//
// The positive side, from t = 0 at "wait_for_completion" (nominal times; a
// loaded machine only makes them later):
//   0 s .. 9 s     asserts writer2 every second (manual by participant, so
//                  writer2dup, never asserted itself, is kept alive too);
//   11 s           both manual-by-participant writers lose their lease;
//   15.9 s .. 24.9 s  asserts writer3 every second (manual by topic);
//   26.9 s         writer3 loses its lease;
//   ~31.8 s        "write_finish".
// So:
// - each writer announces its kind and its 2 s lease;
// - r1 (automatic) has its writer alive throughout: never a not-alive one;
// - r2 sees both writers alive together; neither is lost before 10.5 s (its
//   last assertion is at 9 s at the earliest), and both are lost within
//   13.5 s of their discovery (the last assertion follows the discovery by
//   about 9 s, then the 2 s lease, then the reader's lease check);
// - r3's writer, never asserted for its first 15 s, is not alive by then; it
//   is alive again while it asserts, and lost again not before 26.5 s;
// - at "write_finish": matched 1/2/1, alive/not alive 1/0, 0/2, 0/1.
// After "dp_deleted" every match, alive and not-alive count is 0 within 5 s.
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
constexpr int64_t kNoLossBeforeMs = 10500;       // r2: 2 s after the earliest last assertion, less a poll
constexpr int64_t kLostWithinMs = 13500;         // r2: after its writers' discovery
constexpr int64_t kLostBeforeAssertsMs = 15500;  // r3: not alive by then, unasserted since its discovery
constexpr int64_t kNoSecondLossBeforeMs = 26500; // r3: 2 s after the earliest last assertion, less a poll

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

// One change of a reader's counts, in ms since the start.
struct Change {
    int64_t ms;
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
            const int64_t ms = since_start_ms();
            for (std::size_t i = 0; i < readers_.size(); ++i) {
                const LivelinessChangedStatus s = liveliness_of(readers_[i]);
                std::vector<Change>& c = changes[i];
                if (!c.empty() && c.back().alive == s.alive_count && c.back().not_alive == s.not_alive_count) continue;
                c.push_back({ms, s.alive_count, s.not_alive_count});
                std::cout << "[liveliness] +" << ms << " ms r" << i + 1 << " alive " << s.alive_count
                          << ", not alive " << s.not_alive_count << std::endl;
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

bool expect_counts(DataReader* reader, const char* name, std::size_t matched, int32_t alive, int32_t not_alive) {
    const std::size_t m = cp::matched_count(reader);
    const LivelinessChangedStatus s = liveliness_of(reader);
    EXPECT_EQ(m, matched) << name << ": matched writers";
    EXPECT_EQ(s.alive_count, alive) << name << ": alive writers";
    EXPECT_EQ(s.not_alive_count, not_alive) << name << ": not-alive writers";
    return m == matched && s.alive_count == alive && s.not_alive_count == not_alive;
}

// Every writer the reader has matched announces `want` on `topic`.
bool expect_writers(DataReader* reader, const std::string& topic, std::size_t n, const DataWriterQos& want) {
    const auto pubs = cp::matched_publications(reader);
    EXPECT_EQ(pubs.size(), n) << topic << ": matched writers";
    bool ok = pubs.size() == n;
    for (const auto& p : pubs) ok = delivery::expect_announced(p, topic, want, topic + " writer") && ok;
    return ok;
}

}  // namespace

PEER_TEST(LivelinessQosPolicyTestNegative, ENABLED_LivelinessQosPolicyNegative, "LivelinessQosPolicy") {
    cp::Entities e;
    DataReader* r1 = e.reader("liveliness_topic_name_1", liveliness_reader(AUTOMATIC_LIVELINESS_QOS));
    DataReader* r2 = e.reader("liveliness_topic_name_2", liveliness_reader(MANUAL_BY_PARTICIPANT_LIVELINESS_QOS));
    DataReader* r3 = e.reader("liveliness_topic_name_3", liveliness_reader(MANUAL_BY_TOPIC_LIVELINESS_QOS));
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(e.ok());

    LivelinessWatch watch({r1, r2, r3});
    bool ok = cp::wait_matched(r1, 1) && cp::wait_matched(r2, 2) && cp::wait_matched(r3, 1);
    EXPECT_TRUE(ok) << "the positive side's writers were not matched";
    ok = expect_writers(r1, "liveliness_topic_name_1", 1, liveliness_writer(AUTOMATIC_LIVELINESS_QOS)) && ok;
    ok = expect_writers(r2, "liveliness_topic_name_2", 2, liveliness_writer(MANUAL_BY_PARTICIPANT_LIVELINESS_QOS)) &&
         ok;
    ok = expect_writers(r3, "liveliness_topic_name_3", 1, liveliness_writer(MANUAL_BY_TOPIC_LIVELINESS_QOS)) && ok;
    const bool finished = cp::await("write_finish", kWriteFinishMs);
    watch.stop();
    if (!finished) return;
    const std::vector<Change>& c1 = watch.changes[0];
    const std::vector<Change>& c2 = watch.changes[1];
    const std::vector<Change>& c3 = watch.changes[2];

    const Change* r1_lost = first(c1, 0, [](const Change& c) { return c.not_alive > 0; });
    EXPECT_EQ(r1_lost, nullptr) << "the automatic writer was reported not alive at +" << r1_lost->ms << " ms";
    ok = r1_lost == nullptr && ok;

    const Change* r2_both = first(c2, 0, [](const Change& c) { return c.alive == 2; });
    EXPECT_NE(r2_both, nullptr) << "the two manual-by-participant writers were never alive together";
    const Change* r2_lost = first(c2, 0, [](const Change& c) { return c.not_alive > 0; });
    const Change* r2_all_lost = first(c2, 0, [](const Change& c) { return c.not_alive == 2; });
    const bool r2_window = r2_both != nullptr && r2_lost != nullptr && r2_all_lost != nullptr &&
                           r2_lost->ms >= kNoLossBeforeMs && r2_all_lost->ms <= r2_both->ms + kLostWithinMs;
    EXPECT_TRUE(r2_window) << "the manual-by-participant writers must be lost between +" << kNoLossBeforeMs
                           << " ms and " << kLostWithinMs << " ms after they were alive together (+"
                           << (r2_both ? r2_both->ms : -1) << " ms): first lost at +"
                           << (r2_lost ? r2_lost->ms : -1) << " ms, both at +"
                           << (r2_all_lost ? r2_all_lost->ms : -1) << " ms";
    ok = r2_window && ok;

    const Change* r3_unasserted = first(c3, 0, [](const Change& c) { return c.alive == 0 && c.not_alive == 1; });
    const bool r3_lost_early = r3_unasserted != nullptr && r3_unasserted->ms < kLostBeforeAssertsMs;
    EXPECT_TRUE(r3_lost_early) << "the manual-by-topic writer was not lost before its first assertion";
    const Change* r3_revived =
        r3_unasserted ? first(c3, r3_unasserted->ms + 1, [](const Change& c) { return c.alive == 1; }) : nullptr;
    EXPECT_NE(r3_revived, nullptr) << "the manual-by-topic writer was not alive again while it asserted";
    const Change* r3_lost_again =
        r3_revived ? first(c3, r3_revived->ms + 1, [](const Change& c) { return c.not_alive == 1; }) : nullptr;
    const bool r3_phase = r3_revived != nullptr && r3_lost_again != nullptr &&
                          r3_lost_again->ms >= kNoSecondLossBeforeMs;
    EXPECT_TRUE(r3_phase) << "the manual-by-topic writer must stay alive from its revival (+"
                          << (r3_revived ? r3_revived->ms : -1) << " ms) to its loss after +"
                          << kNoSecondLossBeforeMs << " ms; lost again at +"
                          << (r3_lost_again ? r3_lost_again->ms : -1) << " ms";
    ok = r3_lost_early && r3_phase && ok;

    ok = expect_counts(r1, "r1 (automatic)", 1, 1, 0) && ok;
    ok = expect_counts(r2, "r2 (manual by participant)", 2, 0, 2) && ok;
    ok = expect_counts(r3, "r3 (manual by topic)", 1, 0, 1) && ok;
    cp::report("reader_check_finish", ok);

    // The positive side closes the connection right after "dp_deleted", so
    // this last bounded wait does not end with the connection.
    if (!cp::await("dp_deleted", 15000)) return;
    auto counts = [](DataReader* r) {
        const LivelinessChangedStatus s = liveliness_of(r);
        return cp::matched_count(r) + static_cast<std::size_t>(s.alive_count + s.not_alive_count);
    };
    const auto deadline = cp::Clock::now() + std::chrono::milliseconds(5000);
    auto all_gone = [&] { return counts(r1) + counts(r2) + counts(r3) == 0; };
    bool gone = all_gone();
    while (!gone && cp::Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(cp::kPollMs));
        gone = all_gone();
    }
    EXPECT_TRUE(gone) << "matches, alive or not-alive writers left 5 s after the writers were deleted: "
                      << counts(r1) << "/" << counts(r2) << "/" << counts(r3);
    e.release();
}
