// dds_peer's dispatcher: accepts the positive side's connections, reads their
// ids, and runs each negative test that a "sync" names in a process of its
// own, handing it the test's connection. This is its connection state
// machine; the processes are started in process.*, their googletest reports
// read in gtest_xml.*, the verdicts written as JUnit in junit.*.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "peer/peer_link.h"
#include "peer/wire.h"

#include "junit.h"

namespace peer {

inline constexpr const char* kControlId = "active_connection";
inline constexpr std::size_t kMaxIdBytes = 256;
// Connections whose id is not complete yet. When the table is full, a new
// connection takes the place of the one that has waited longest without
// sending a byte (then of one whose bytes match nothing, then of the one whose
// last byte came longest ago), so that idle connections, or connections that
// send a part of an id and stall, cannot lock the positive side out.
inline constexpr std::size_t kMaxPending = 64;
// A sync that names no registered test gets a FAILED verdict under the name
// it sent, cut to its first kMaxUnknownNameBytes bytes (and its length); once
// kMaxUnknownVerdicts such verdicts are recorded, further unknown syncs are
// only counted, in one last verdict. So a positive side that sends unknown
// names without end (up to 1 MiB each) grows neither the peer nor its report.
inline constexpr std::size_t kMaxUnknownNameBytes = 256;
inline constexpr std::size_t kMaxUnknownVerdicts = 64;

enum class PreambleState {
    NeedMore,   // a prefix of some expected id
    Ambiguous,  // equals an expected id, and a longer expected id continues it
    Match,      // equals an expected id that no longer expected id continues
    NoMatch,    // no expected id starts with these bytes
};

// Classifies the bytes read so far from a new connection against the ids the
// dispatcher expects.
PreambleState classify_preamble(std::string_view got, const std::vector<std::string>& expected);

struct DispatcherOptions {
    std::string host = "127.0.0.1";
    int port = 12345;               // 0 picks an ephemeral port
    std::string tests_binary;       // the binary holding the negative tests
    std::string report_dir;         // per-test googletest XML; empty: a fresh temporary directory
    std::string junit_path;         // report of the whole run; empty: none
    int max_seconds = 3600;         // lifetime of the dispatcher
    int test_timeout_s = 300;       // lifetime of one negative test process
    int connect_timeout_ms = 15000; // from "sync" to the arrival of the test's connection
    int preamble_timeout_ms = 5000; // from accept to a recognised id
    int ambiguity_grace_ms = 200;   // wait for more bytes when one expected id is a prefix of another
    int drain_ms = 20000;           // how long running tests may finish once the run ends
    // A test whose connection has arrived is started only once every earlier
    // test has released its DDS entities (or ended); an earlier test that
    // still holds them this long after is stopped.
    int hold_grace_ms = 10000;
    // A test whose positive side has gone (the control connection that named
    // it closed) is stopped if it still runs this long after; the tests end by
    // themselves when their connection closes, this bounds one that does not.
    int gone_grace_ms = 5000;
    bool exit_when_control_closes = true;
    // Tests and their ids; when empty, listed by the tests binary ("--peer_list").
    std::vector<NegativeTest> registry;
};


class Dispatcher {
public:
    explicit Dispatcher(DispatcherOptions options);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // Loads the registry from the tests binary, binds and listens.
    bool start(std::string* error);
    int port() const { return port_; }
    const std::vector<NegativeTest>& registry() const { return registry_; }

    // Serves until stopped, the lifetime ends, or (by option) the last
    // control connection closes. Returns 0 when every negative test passed.
    int run();
    // Safe from a signal handler or another thread.
    void request_stop();

    const std::vector<Verdict>& verdicts() const { return verdicts_; }
    bool write_junit(const std::string& path) const;
    // The record of the verdicts as they are given (junit.h), in the report
    // directory; start() begins it anew.
    std::string record_path() const;

private:
    struct Pending {
        int fd;
        std::string got;
        std::int64_t accepted_at;
        std::int64_t last_byte_at;
        bool parked = false;  // bytes match nothing expected yet
    };
    struct Control {
        int fd;
        FrameDecoder decoder;
        int id;  // tells the positive sides apart (descriptors are reused)
    };
    struct Awaiting {
        std::string name;
        std::string connection_id;
        std::int64_t sync_at;
        std::string sync_timestamp;  // verdicts about it are dated at the sync
        int control;                 // the control connection that named it
    };
    struct Running {
        std::string name;
        std::string connection_id;
        std::string xml_path;
        std::int64_t started_ms;
        std::string timestamp;
        int hold_fd = -1;  // read end of the test's hold pipe; -1 once released
        int control = -1;
        std::int64_t gone_at = -1;  // when its positive side went; -1 while it is there
        int sequence = 0;
        std::string report{};  // the file name of xml_path
        bool timed_out = false;
        bool aborted = false;
        bool held_too_long = false;
        bool outlived_positive = false;
    };
    struct Deferred {
        std::string name;
        std::string connection_id;
        int fd;
        std::int64_t since;
        int control;
    };

    std::vector<std::string> expected_ids() const;
    // The bytes waiting on a parked connection may still be (or begin with) a
    // registered id: the connection of a known test whose sync is on its way.
    bool may_be_registered(const Pending& p) const;
    void accept_new();
    // Closes the pending connection with the least claim to its place; false
    // only when there is none.
    bool make_room(std::int64_t now);
    void advance_pending(Pending& p, std::int64_t now);
    bool finish_preamble(Pending& p, const std::string& id);  // true: fd handed over
    void read_control(Control& c);
    void on_sync(const std::string& name, int control);
    // The positive side behind a control connection has gone: its tests are
    // not started, and those running get gone_grace_ms to end.
    void on_control_closed(int control);
    void spawn(const std::string& name, const std::string& connection_id, int fd, int control);
    // Starts the deferred tests once no earlier test holds entities.
    void start_deferred(std::int64_t now);
    bool any_holding();
    void reap(bool block_until_all, std::int64_t deadline);
    // Gives a verdict: appended to the record, logged, kept for the report.
    void record(Verdict v);
    void expire(std::int64_t now);
    void shutdown(const std::string& reason, int drain_ms);
    void print_summary() const;

    DispatcherOptions opt_;
    std::vector<NegativeTest> registry_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    int record_fd_ = -1;  // -1 once an append failed: no line may follow a torn one
    int port_ = 0;
    bool owns_report_dir_ = false;  // made by start(); removed with the dispatcher
    bool had_control_ = false;
    bool stopping_ = false;
    std::int64_t started_ms_ = 0;
    int sequence_ = 0;
    int controls_seen_ = 0;
    int evicted_ = 0;
    std::vector<Pending> pending_;
    std::vector<Control> controls_;
    std::vector<Awaiting> awaiting_;
    // Syncs of unknown tests whose connection is to be refused, at most
    // kMaxPending (a connection beyond them waits out its preamble time).
    std::vector<std::int64_t> orphans_;
    std::size_t unknown_listed_ = 0;    // verdicts recorded for unknown tests
    std::size_t unknown_unlisted_ = 0;  // unknown syncs beyond kMaxUnknownVerdicts
    std::string first_unlisted_;        // the (cut) name of the first of them
    std::map<pid_t, Running> running_;
    std::vector<Deferred> deferred_;
    std::vector<Verdict> verdicts_;
};

}  // namespace peer
