// The positive side's steps and the bounded waits.
#include "steps.h"

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
    return reader != nullptr && wait_until([&] { return matched_count(reader) >= n; }, timeout_ms);
}

bool wait_matched(DataWriter* writer, std::size_t n, int timeout_ms) {
    return writer != nullptr && wait_until([&] { return matched_count(writer) >= n; }, timeout_ms);
}


void log_line(const std::string& line) { log(line); }

}  // namespace cp
