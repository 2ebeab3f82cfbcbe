// What a negative test sees of the peer: its own connection to the positive
// side, and the registration of the test under its connection id.
//
// A negative test is a googletest test declared with PEER_TEST (or PEER_TEST_F
// for a fixture), which also records the connection id the positive side opens
// for it. The dispatcher runs each test in a process of its own, with the
// test's connection already accepted and its id read; the test reaches it
// through peer::link():
//
//   PEER_TEST(DWTestNegative, ENABLED_NoKeyInstanceManagementNegative, "NoKeyInstanceManagement") {
//       peer::PeerLink& link = peer::link();
//       ... set up the reader ...
//       ASSERT_TRUE(link.ready());                       // "wait_for_completion"
//       EXPECT_TRUE(link.wait("write_finish", 10000));
//       ... check what arrived; send the check key only when it passed ...
//   }
//
// When a test passes, the process keeps its connection until the positive side
// closes it (at most 15 s), so that the positive side's last sends still land;
// when it fails, the connection closes at once, which ends the positive side's
// waits.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "peer/wire.h"

namespace peer {

inline constexpr int kWaitMs = 10000;
inline constexpr const char* kReadyKey = "wait_for_completion";
// Exit status of the tests binary when its test passed without ever sending
// "wait_for_completion" (the positive side would have waited for it in vain).
inline constexpr int kExitNeverReady = 4;

class PeerLink {
public:
    // Memory the messages waiting in the queue may hold, each charged
    // message_cost(). A positive side that sends more than the test takes
    // fails the test and loses the connection, instead of growing the test's
    // process without limit; fifteen messages of the largest size fit.
    static constexpr std::size_t kMaxQueuedBytes = 16u << 20;
    // What a queued message holds: its slot and the heap blocks of its key
    // and value (short ones are kept inside the string), with the
    // allocator's overhead on each block.
    static std::size_t message_cost(const Message& m);

    // Takes ownership of fd, an open connection whose preamble has been read.
    PeerLink(int fd, std::string connection_id);
    ~PeerLink();
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    const std::string& connection_id() const { return id_; }
    // The connection's socket, for a watcher that only polls it for the
    // positive side's close (all reading stays with this object).
    int fd() const { return fd_; }

    // Sends one message; false when it cannot be framed or sent.
    bool send(const std::string& key, const std::string& value = "default");
    // Sends "wait_for_completion": this side is set up.
    bool ready() { return send(kReadyKey); }
    // True once "wait_for_completion" has gone out on this connection.
    bool ready_sent() const { return ready_sent_; }

    // Takes the first message with this key, waiting up to timeout_ms
    // (-1: until the connection ends). Messages of other keys stay queued.
    // value, when given, receives the message's value.
    bool wait(const std::string& key, int timeout_ms, std::string* value = nullptr);
    // Takes the oldest queued message of any key, waiting up to timeout_ms.
    std::optional<Message> next(int timeout_ms);

    // Waits until the positive side closes the connection, taking (and
    // logging) whatever it still sends; true when it closed in time.
    bool wait_closed(int timeout_ms);

    // True once the positive side closed the connection or broke the framing.
    bool ended() const { return ended_; }
    // Reads what has arrived without waiting (queuing any messages), then
    // tells whether the connection has ended.
    bool closed_now();
    // Reads what has arrived without waiting and tells whether a message with
    // this key is queued (it stays queued for wait()).
    bool queued(const std::string& key);
    // Closes the connection now (the positive side's waits then end).
    void close();

private:
    // Reads what arrives until the deadline (-1: none) or until the connection
    // ends; returns after the first batch of bytes.
    bool pump(std::int64_t deadline);

    int fd_;
    std::string id_;
    FrameDecoder decoder_;
    // Takes the queued message at it, giving its charge back.
    Message take(std::deque<Message>::iterator it);

    std::deque<Message> queue_;
    std::size_t queued_bytes_ = 0;  // message_cost() of what queue_ holds
    bool ended_ = false;
    bool ready_sent_ = false;
};

// The connection of the negative test that runs in this process. Fails the
// calling test fatally (and aborts the process) when there is none.
PeerLink& link();
bool has_link();
// Installs the process's link (used by the test binary's main and by tests).
void set_link(int fd, const std::string& connection_id);
void reset_link();

// The dispatcher does not start the next negative test while an earlier one
// may still have DDS entities in the domain. It hands each test process the
// write end of a pipe (--peer_hold_fd); the test closes it once its entities
// are deleted, and the process's exit closes it in any case.
void set_hold_fd(int fd);
void release_hold();

// A message value as the log shows it: text as it is; a value holding any
// byte that is not printable ASCII (an instance handle, say) as its bytes in
// hex, "hex:0a1b...".
std::string shown_value(const std::string& value);

struct NegativeTest {
    std::string name;           // "Suite.Test"
    std::string connection_id;  // the id the positive side opens for it
};

// Registry of negative tests, filled by PEER_TEST at static initialisation.
bool register_negative_test(const char* name, const char* connection_id);
const std::vector<NegativeTest>& negative_tests();

}  // namespace peer

#define PEER_TEST_REGISTER_(suite, name, connection_id)                                     \
    [[maybe_unused]] static const bool peer_registered_##suite##_##name =                   \
        ::peer::register_negative_test(#suite "." #name, connection_id)

#define PEER_TEST(suite, name, connection_id)         \
    PEER_TEST_REGISTER_(suite, name, connection_id); \
    TEST(suite, name)

#define PEER_TEST_F(fixture, name, connection_id)       \
    PEER_TEST_REGISTER_(fixture, name, connection_id); \
    TEST_F(fixture, name)
