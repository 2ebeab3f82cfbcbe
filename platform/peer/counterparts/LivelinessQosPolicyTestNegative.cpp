// Reading side of the liveliness test: one reader per writer kind, each with
// a 2 s lease, on "liveliness_topic_name_1/2/3" (automatic, manual by
// participant, manual by topic). Their liveliness-changed statuses are
// followed every 50 ms from "wait_for_completion" to "write_finish".
//
// The positive side, from t = 0 at "wait_for_completion" (nominal times):
//   0.1 s .. 9.1 s   asserts writer2 every second (manual by participant, so
//                    writer2dup, never asserted itself, is kept alive too);
//   11.1 s           both manual-by-participant writers lose their lease;
//   16 s .. 25 s     asserts writer3 every second (manual by topic);
//   27 s             writer3 loses its lease;
//   ~32 s            "write_finish".
// So:
// - r1 (automatic) has its writer alive throughout: never a not-alive one;
// - r2 sees both writers alive together, and neither lost before 9 s (2 s
//   before the nominal loss; an assertion that does not reach this side, or
//   that renews writer2 only, loses one within 2-3 s of the match);
// - at "write_finish": matched 1/2/1, alive/not alive 1/0, 0/2, 0/1.
// writer3 counts as alive here from its discovery until its first lease runs
// out, at about 2 s; its later assertions do not bring it back on this side
// (a lost remote writer comes back only with data it writes, and this one
// writes none), so r3 is judged by its end state only.
// After "dp_deleted" every match is gone within 5 s.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>

#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

constexpr int kWriteFinishMs = 60000;
constexpr int kPollEveryMs = 50;
constexpr auto kNoLossBefore = std::chrono::milliseconds(9000);

DataReaderQos liveliness_reader(LivelinessQosPolicyKind kind) {
    DataReaderQos qos = cp::reliable_reader();
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

// Follows the liveliness-changed statuses of the three readers every 50 ms on
// a thread of its own, while the test thread waits for the positive side.
class LivelinessWatch {
public:
    LivelinessWatch(DataReader* r1, DataReader* r2, DataReader* r3)
        : r1_(r1), r2_(r2), r3_(r3), start_(cp::Clock::now()), thread_([this] { run(); }) {}
    ~LivelinessWatch() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    bool r1_ever_not_alive = false;      // the automatic writer was lost
    bool r2_both_alive = false;          // both manual-by-participant writers were alive together
    bool r2_lost_early = false;          // one of them was lost before kNoLossBefore

private:
    void run() {
        LivelinessChangedStatus last[3];
        while (!stop_) {
            const auto now = cp::Clock::now();
            const LivelinessChangedStatus s1 = liveliness_of(r1_), s2 = liveliness_of(r2_), s3 = liveliness_of(r3_);
            r1_ever_not_alive = r1_ever_not_alive || s1.not_alive_count > 0;
            r2_both_alive = r2_both_alive || s2.alive_count == 2;
            if (now - start_ < kNoLossBefore && s2.not_alive_count > 0) r2_lost_early = true;
            const LivelinessChangedStatus* cur[3] = {&s1, &s2, &s3};
            for (int i = 0; i < 3; ++i) {
                if (cur[i]->alive_count == last[i].alive_count && cur[i]->not_alive_count == last[i].not_alive_count)
                    continue;
                last[i] = *cur[i];
                std::cout << "[liveliness] +" << std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count()
                          << " ms r" << i + 1 << " alive " << cur[i]->alive_count << ", not alive "
                          << cur[i]->not_alive_count << std::endl;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollEveryMs));
        }
    }

    DataReader* r1_;
    DataReader* r2_;
    DataReader* r3_;
    const cp::Clock::time_point start_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool expect_counts(DataReader* reader, const char* name, std::size_t matched, int32_t alive, int32_t not_alive) {
    const std::size_t m = cp::matched_count(reader);
    const LivelinessChangedStatus s = liveliness_of(reader);
    EXPECT_EQ(m, matched) << name << ": matched writers";
    EXPECT_EQ(s.alive_count, alive) << name << ": alive writers";
    EXPECT_EQ(s.not_alive_count, not_alive) << name << ": not-alive writers";
    return m == matched && s.alive_count == alive && s.not_alive_count == not_alive;
}

}  // namespace

PEER_TEST(LivelinessQosPolicyTestNegative, ENABLED_LivelinessQosPolicyNegative, "LivelinessQosPolicy") {
    cp::Entities e;
    DataReader* r1 = e.reader("liveliness_topic_name_1", liveliness_reader(AUTOMATIC_LIVELINESS_QOS));
    DataReader* r2 = e.reader("liveliness_topic_name_2", liveliness_reader(MANUAL_BY_PARTICIPANT_LIVELINESS_QOS));
    DataReader* r3 = e.reader("liveliness_topic_name_3", liveliness_reader(MANUAL_BY_TOPIC_LIVELINESS_QOS));
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(e.ok());

    LivelinessWatch watch(r1, r2, r3);
    const bool finished = cp::await("write_finish", kWriteFinishMs);
    watch.stop();
    if (!finished) return;

    EXPECT_FALSE(watch.r1_ever_not_alive) << "the automatic writer was reported not alive";
    EXPECT_TRUE(watch.r2_both_alive) << "the two manual-by-participant writers were never alive together";
    EXPECT_FALSE(watch.r2_lost_early) << "a manual-by-participant writer was lost while writer2 was being asserted";
    bool ok = !watch.r1_ever_not_alive && watch.r2_both_alive && !watch.r2_lost_early;
    ok = expect_counts(r1, "r1 (automatic)", 1, 1, 0) && ok;
    ok = expect_counts(r2, "r2 (manual by participant)", 2, 0, 2) && ok;
    ok = expect_counts(r3, "r3 (manual by topic)", 1, 0, 1) && ok;
    cp::report("reader_check_finish", ok);

    // The positive side closes the connection right after "dp_deleted", so
    // this last bounded wait does not end with the connection.
    if (!cp::await("dp_deleted", 15000)) return;
    const auto deadline = cp::Clock::now() + std::chrono::milliseconds(5000);
    auto all_gone = [&] { return cp::matched_count(r1) + cp::matched_count(r2) + cp::matched_count(r3) == 0; };
    bool gone = all_gone();
    while (!gone && cp::Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(cp::kPollMs));
        gone = all_gone();
    }
    EXPECT_TRUE(gone) << "matches left 5 s after the writers were deleted: " << cp::matched_count(r1) << "/"
                      << cp::matched_count(r2) << "/" << cp::matched_count(r3);
    e.release();
}
