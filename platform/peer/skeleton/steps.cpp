// The positive side's steps and the bounded waits.
#include "steps.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include <gtest/gtest.h>

#include "peer/peer_link.h"

namespace cp {

namespace {

void log(const std::string& line) {
    std::cout << "[peer " << (peer::has_link() ? peer::link().connection_id() : std::string("-")) << "] " << line
              << std::endl;
}

}  // namespace

// ---- the positive side ----------------------------------------------------------

bool ready() { return peer::link().ready(); }

bool await(const std::string& key, int timeout_ms, std::string* value) {
    const bool got = peer::link().wait(key, timeout_ms, value);
    EXPECT_TRUE(got) << "the positive side's \"" << key << "\" did not come within " << timeout_ms << " ms"
                     << (peer::link().ended() ? " (connection closed)" : "");
    return got;
}

bool report(const std::string& key, bool passed, const std::string& value) {
    log_line(std::string("check ") + key + ": " + (passed ? "passed" : "FAILED, key withheld"));
    if (!passed) {
        ADD_FAILURE() << "check \"" << key << "\" failed: the key is withheld";
        return false;
    }
    EXPECT_TRUE(peer::link().send(key, value)) << "sending \"" << key << "\" failed";
    return true;
}

namespace {
std::atomic<int64_t> last_match_ns{0};
std::atomic<bool> discovery_waited{false};
int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}
}  // namespace

void note_matched() { last_match_ns = steady_ns(); }

bool waited_for_writer_discovery() { return discovery_waited; }

bool report_before_writes(const std::string& key, bool passed, const std::string& value) {
    if (passed) {
        const int64_t due = last_match_ns.load() + int64_t{kWriterDiscoveryMs} * 1000000;
        const int64_t left_ms = (due - steady_ns() + 999999) / 1000000;  // rounded up: never less than the wait
        if (left_ms > 0) pause(static_cast<int>(left_ms));
        discovery_waited = true;
    }
    return report(key, passed, value);
}

bool await_close(int timeout_ms) {
    if (!peer::has_link()) return true;
    const bool closed = peer::link().ended() || peer::link().wait_closed(timeout_ms);
    if (!closed) log_line("the positive side did not close the connection within " + std::to_string(timeout_ms) + " ms");
    return closed;
}

bool positive_gone() { return peer::has_link() && peer::link().closed_now(); }

bool arrived(const std::string& key) { return peer::has_link() && peer::link().queued(key); }

// ---- bounded waits ---------------------------------------------------------------

bool wait_until(const std::function<bool()>& holds, int timeout_ms, int poll_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (holds()) return true;
        if (Clock::now() >= deadline || positive_gone()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

bool pause(int ms) {
    wait_until([] { return false; }, ms);
    return !positive_gone();
}

std::size_t matched_count(DataReader* reader) {
    InstanceHandleSeq handles;
    if (reader == nullptr || reader->get_matched_publications(handles) != RETCODE_OK) return 0;
    return handles.size();
}

std::size_t matched_count(DataWriter* writer) {
    InstanceHandleSeq handles;
    if (writer == nullptr || writer->get_matched_subscriptions(handles) != RETCODE_OK) return 0;
    return handles.size();
}

bool wait_matched(DataReader* reader, std::size_t n, int timeout_ms) {
    const bool ok = reader != nullptr && wait_until([&] { return matched_count(reader) >= n; }, timeout_ms);
    if (ok) note_matched();
    return ok;
}

bool wait_matched(DataWriter* writer, std::size_t n, int timeout_ms) {
    const bool ok = writer != nullptr && wait_until([&] { return matched_count(writer) >= n; }, timeout_ms);
    if (ok) note_matched();
    return ok;
}


void log_line(const std::string& line) { log(line); }

}  // namespace cp
