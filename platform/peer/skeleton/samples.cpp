// Samples and waiting for them.
#include "samples.h"

#include <algorithm>
#include <chrono>

#include <poll.h>

#include "peer/peer_link.h"

namespace cp {

Time now() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return Time{static_cast<int32_t>(ns / 1000000000), static_cast<uint32_t>(ns % 1000000000)};
}

// ---- waiting for data -------------------------------------------------------------

DataWait::DataWait(DataReader* reader, SampleStateMask s, ViewStateMask v, InstanceStateMask i, bool ends_on_close)
    : reader_(reader), ends_on_close_(ends_on_close) {
    if (reader_ == nullptr) return;
    condition_ = reader_->create_readcondition(s, v, i);
    if (condition_ == nullptr) {
        ADD_FAILURE() << "create_readcondition returned null";
        return;
    }
    const ReturnCode_t rc = waitset_.attach_condition(*condition_);
    const ReturnCode_t guard_rc = waitset_.attach_condition(closed_);
    if (rc != RETCODE_OK || guard_rc != RETCODE_OK) {
        ADD_FAILURE() << "attaching a read condition and a guard condition to a wait set returned " << rc << " and "
                      << guard_rc;
        waitset_.detach_condition(*condition_);
        reader_->delete_readcondition(condition_);
        condition_ = nullptr;
        return;
    }
    watcher_ = std::thread([this] { watch(); });
}

DataWait::~DataWait() {
    stopping_ = true;
    if (watcher_.joinable()) watcher_.join();
    if (condition_ == nullptr) return;
    waitset_.detach_condition(closed_);
    waitset_.detach_condition(*condition_);
    reader_->delete_readcondition(condition_);
}

// Every 50 ms: has the positive side closed the connection (then the guard
// ends the wait), and is the read condition triggered while a wait is on
// (the first such time is kept: a wait that then runs out did not wake)?
void DataWait::watch() {
    const int fd = peer::has_link() && ends_on_close_ ? peer::link().fd() : -1;
    while (!stopping_) {
        // Once closed, the hang-up would answer every poll at once.
        if (fd >= 0 && !closed_.get_trigger_value()) {
            pollfd pfd{fd, POLLRDHUP, 0};
            if (::poll(&pfd, 1, 50) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                closed_.set_trigger_value(true);
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (waiting_ && triggered_since_ == 0 && condition_->get_trigger_value()) {
            triggered_since_ = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        }
    }
}

bool DataWait::wait(Verdict& v, int timeout_ms) {
    if (condition_ == nullptr) return false;
    if (closed_.get_trigger_value()) return false;
    const int ms = std::max(0, timeout_ms);
    ConditionSeq active;
    triggered_since_ = 0;
    waiting_ = true;
    const ReturnCode_t rc = waitset_.wait(active, Duration_t{ms / 1000, static_cast<uint32_t>(ms % 1000) * 1000000u});
    waiting_ = false;
    const auto ended = Clock::now();
    const bool data = std::find(active.begin(), active.end(), condition_) != active.end();
    const bool gone = std::find(active.begin(), active.end(), &closed_) != active.end();
    if (rc == RETCODE_OK) {
        v.check(data || gone) << "the wait set woke without a triggered condition";
        return data;
    }
    if (rc != RETCODE_TIMEOUT) {
        v.fail() << "WaitSet::wait returned " << rc;
        return false;
    }
    // Run out: the read condition was seen triggered well before the end (a
    // sound wait set wakes then), or not at all; triggered only as the wait
    // ended, the data came at its end.
    constexpr int64_t kMissedNs = 1000000000;
    const int64_t since = triggered_since_;
    const int64_t end_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(ended.time_since_epoch()).count();
    v.check(since == 0 || end_ns - since < kMissedNs)
        << "the wait set did not wake though its read condition was triggered " << (end_ns - since) / 1000000
        << " ms before its " << ms << " ms wait ran out";
    return condition_->get_trigger_value();
}

}  // namespace cp
