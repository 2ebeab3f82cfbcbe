// The dispatcher against clients in this test, on an ephemeral port, running
// the real negative tests binary.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "dispatcher.h"
#include "gtest_xml.h"
#include "peer/wire.h"
#include "quorvela/quorvela.h"

namespace {

constexpr const char* kEcho = "PeerSelfTestNegative.ENABLED_EchoNegative";
constexpr const char* kEchoId = "PeerSelfTestEcho";
constexpr const char* kHold = "PeerSelfTestNegative.ENABLED_HoldNegative";
constexpr const char* kHoldId = "PeerSelfTestHold";
constexpr const char* kLinger = "PeerSelfTestNegative.ENABLED_LingerNegative";
constexpr const char* kLingerId = "PeerSelfTestLinger";
constexpr const char* kDeaf = "PeerSelfTestNegative.ENABLED_DeafNegative";
constexpr const char* kDeafId = "PeerSelfTestDeaf";

bool eventually(const std::function<bool()>& holds, int timeout_ms) {
    const auto deadline = peer::now_ms() + timeout_ms;
    while (!holds()) {
        if (peer::now_ms() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

const peer::Verdict* verdict_of(const std::vector<peer::Verdict>& verdicts, const std::string& name, int nth = 0) {
    for (const auto& v : verdicts) {
        if (v.name == name && nth-- == 0) return &v;
    }
    return nullptr;
}

std::string frame(const std::string& k, const std::string& v = "default") { return *peer::encode_frame(k, v); }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A fresh directory under /tmp, removed with it.
struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/peer_dispatcher_test.XXXXXX";
        path = ::mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string path;
};

// What the positive side sends first on its control connection: the control
// id, then "sync" naming the negative test to start.
std::string control_sync(const std::string& negative_test) {
    return std::string(peer::kControlId) + frame("sync", negative_test);
}

// One connection of the positive side.
class Client {
public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(); }
    bool connected() const { return connected_; }
    bool put(const std::string& bytes) { return peer::write_all(fd_, bytes.data(), bytes.size(), 2000); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Next message, or nullopt on time-out or end of the connection.
    std::optional<peer::Message> get(int timeout_ms = 5000) {
        const auto deadline = peer::now_ms() + timeout_ms;
        while (!decoder_.has_message()) {
            if (ended_ || !read_some(deadline)) return std::nullopt;
        }
        return decoder_.pop();
    }
    // True when the peer closes the connection within timeout_ms.
    bool ends_within(int timeout_ms) {
        const auto deadline = peer::now_ms() + timeout_ms;
        while (!ended_) {
            if (!read_some(deadline) && !ended_) return false;
        }
        return true;
    }

private:
    bool read_some(std::int64_t deadline) {
        std::int64_t left = deadline - peer::now_ms();
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        decoder_.feed(buf, static_cast<std::size_t>(n));
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
    peer::FrameDecoder decoder_;
};

// The next message on c arrives within the time-out and has this key.
::testing::AssertionResult next_key(Client& c, const std::string& key, int timeout_ms = 5000) {
    auto m = c.get(timeout_ms);
    if (!m) return ::testing::AssertionFailure() << "no message within " << timeout_ms << " ms, expected " << key;
    if (m->key != key) return ::testing::AssertionFailure() << "got " << m->key << ", expected " << key;
    return ::testing::AssertionSuccess();
}

// Starts a negative test as the positive side does: "sync" on its control
// connection (which has sent its id), then the test's own connection, made
// after the sync, with the test's id, answered by "wait_for_completion".
::testing::AssertionResult start_test(int port, Client& control, std::optional<Client>& test, const std::string& name,
                                      const std::string& id) {
    if (!control.put(frame("sync", name))) return ::testing::AssertionFailure() << "cannot sync " << name;
    test.emplace(port);
    if (!test->put(id)) return ::testing::AssertionFailure() << "cannot send the id " << id;
    return next_key(*test, "wait_for_completion");
}

peer::DispatcherOptions test_options() {
    peer::DispatcherOptions o;
    o.port = 0;
    o.tests_binary = PEER_TESTS_BINARY;
    o.max_seconds = 60;
    o.test_timeout_s = 20;
    o.connect_timeout_ms = 3000;
    o.preamble_timeout_ms = 2000;
    o.drain_ms = 5000;
    return o;
}

// A dispatcher serving on its own thread.
class Served {
public:
    explicit Served(peer::DispatcherOptions o = test_options()) : d_(std::move(o)) {
        std::string error;
        started_ = d_.start(&error);
        EXPECT_TRUE(started_) << error;
        if (started_) {
            thread_ = std::thread([this] {
                rc_ = d_.run();
                done_ = true;
            });
        }
    }
    ~Served() { stop(); }
    bool started() const { return started_; }
    int port() const { return d_.port(); }
    // Waits for the dispatcher to end by itself; stops it if it does not.
    bool ends_within(int timeout_ms) {
        const auto deadline = peer::now_ms() + timeout_ms;
        while (!done_ && peer::now_ms() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bool ended = done_;
        stop();
        return ended;
    }
    void stop() {
        if (thread_.joinable()) {
            d_.request_stop();
            thread_.join();
        }
    }
    int rc() const { return rc_; }
    const std::vector<peer::Verdict>& verdicts() const { return d_.verdicts(); }
    const peer::Dispatcher& dispatcher() const { return d_; }

private:
    peer::Dispatcher d_;
    bool started_ = false;
    std::thread thread_;
    std::atomic<bool> done_{false};
    int rc_ = -1;
};

}  // namespace

TEST(PeerDispatcher, LoadsTheRegistryFromTheTestsBinary) {
    Served s;
    ASSERT_TRUE(s.started());
    bool found = false;
    for (const auto& t : s.dispatcher().registry()) {
        if (t.name == kEcho) {
            found = true;
            EXPECT_EQ(t.connection_id, kEchoId);
        }
    }
    EXPECT_TRUE(found);
}

// The control id arrives in pieces, or together with the first frame; the
// dispatcher must take exactly the id's bytes and read the "sync" after them.
TEST(PeerDispatcher, DelimitsTheControlIdInAnySplit) {
    const std::string stream = control_sync("NoSuchTestNegative.ENABLED_XNegative");
    const std::vector<std::vector<std::size_t>> splits = {
        {},                     // one segment: id and first frame together
        {7},                    // "active_" | "connection" + frame
        {17},                   // id | frame
        {16, 18, 21},           // cut inside the id, then inside the frame
        {1, 2, 3, 4, 5, 6, 8},  // a byte at a time at first
    };
    for (const auto& cuts : splits) {
        SCOPED_TRACE(::testing::PrintToString(cuts));
        Served s;
        ASSERT_TRUE(s.started());
        Client c(s.port());
        ASSERT_TRUE(c.connected());
        std::size_t pos = 0;
        for (std::size_t cut : cuts) {
            ASSERT_TRUE(c.put(stream.substr(pos, cut - pos)));
            pos = cut;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        ASSERT_TRUE(c.put(stream.substr(pos)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        c.close();
        ASSERT_TRUE(s.ends_within(5000)) << "the dispatcher did not end with its control connection";
        ASSERT_EQ(s.verdicts().size(), 1u);
        EXPECT_EQ(s.verdicts()[0].name, "NoSuchTestNegative.ENABLED_XNegative");
        EXPECT_EQ(s.verdicts()[0].status, "FAILED");
        EXPECT_NE(s.verdicts()[0].message.find("unknown negative test"), std::string::npos);
        EXPECT_EQ(s.rc(), 1);
    }
}

TEST(PeerDispatcher, ClosesConnectionsThatBreakTheBounds) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"oversize key length", std::string(peer::kControlId) + std::string("\x00\x20\x00\x00", 4)},
        {"zero key length", std::string(peer::kControlId) + std::string(4, '\0')},
        {"unknown id", "SomethingElse"},
        {"id longer than any", std::string(600, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto o = test_options();
        o.exit_when_control_closes = false;
        Served s(o);
        ASSERT_TRUE(s.started());
        Client client(s.port());
        ASSERT_TRUE(client.connected());
        client.put(c.bytes);
        EXPECT_TRUE(client.ends_within(4000));
    }
}

// A full exchange: the test's id and its first frame in one segment, the
// counterpart started by "sync" in its own process, and its verdict.
TEST(PeerDispatcher, RunsTheSyncedTestOnItsConnection) {
    auto o = test_options();
    char dir[] = "/tmp/peer_dispatcher_test.XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    o.junit_path = std::string(dir) + "/peer.xml";
    Served s(o);
    ASSERT_TRUE(s.started());
    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync(kEcho)));
    Client test(s.port());
    ASSERT_TRUE(test.put(std::string(kEchoId) + frame("echo", "first")));
    auto m = test.get();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->key, "wait_for_completion");
    m = test.get();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->key, "echo_reply");
    EXPECT_EQ(m->value, "first");
    ASSERT_TRUE(test.put(frame("check", "expected") + frame("finish")));
    m = test.get();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->key, "check_done");
    m = test.get();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->key, "finish");
    // A counterpart that passed keeps the connection until the positive side is done with it.
    EXPECT_FALSE(test.ends_within(300)) << "the counterpart closed before the positive side did";
    test.close();
    control.close();
    ASSERT_TRUE(s.ends_within(8000));
    ASSERT_EQ(s.verdicts().size(), 1u);
    EXPECT_EQ(s.verdicts()[0].name, kEcho);
    EXPECT_EQ(s.verdicts()[0].connection_id, kEchoId);
    EXPECT_EQ(s.verdicts()[0].status, "PASSED") << s.verdicts()[0].message;
    EXPECT_EQ(s.rc(), 0);

    std::ifstream in(o.junit_path);
    std::stringstream xml;
    xml << in.rdbuf();
    EXPECT_NE(xml.str().find("<testcase name=\"ENABLED_EchoNegative\" classname=\"PeerSelfTestNegative\""),
              std::string::npos)
        << xml.str();
    EXPECT_EQ(xml.str().find("<failure"), std::string::npos);
    std::filesystem::remove_all(dir);
}

// Ways a counterpart fails; each must end the positive side's waits (the
// connection closes) and give a failed verdict that says why.
TEST(PeerDispatcher, ReportsFailedCounterparts) {
    struct Case {
        const char* what;
        std::string sent;  // after the id
        const char* status;
        const char* message_part;
    };
    const Case cases[] = {
        {"own check fails", frame("check", "wrong") + frame("finish"), "FAILED", "expected"},
        {"crash mid-test", frame("echo", "x") + frame("crash"), "CRASHED", "signal 6"},
        {"oversize frame from the positive side", std::string("\x00\x20\x00\x00", 4), "FAILED", "exceeds the limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Served s;
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(kEcho)));
        Client test(s.port());
        ASSERT_TRUE(test.put(kEchoId));
        auto m = test.get();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->key, "wait_for_completion");
        ASSERT_TRUE(test.put(c.sent));
        // Nothing reports a check that did not pass.
        while ((m = test.get(5000))) EXPECT_NE(m->key, "check_done");
        EXPECT_TRUE(test.ends_within(5000));
        control.close();
        ASSERT_TRUE(s.ends_within(8000));
        ASSERT_EQ(s.verdicts().size(), 1u);
        EXPECT_EQ(s.verdicts()[0].status, c.status) << s.verdicts()[0].message;
        EXPECT_NE(s.verdicts()[0].message.find(c.message_part), std::string::npos) << s.verdicts()[0].message;
        EXPECT_EQ(s.rc(), 1);
    }
}

TEST(PeerDispatcher, RefusesTheConnectionOfAnUnknownTest) {
    Served s;
    ASSERT_TRUE(s.started());
    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync("DWTestNegative.ENABLED_NotThereNegative")));
    Client test(s.port());
    ASSERT_TRUE(test.put("NotThere"));
    const auto t0 = peer::now_ms();
    EXPECT_TRUE(test.ends_within(1500));
    EXPECT_LT(peer::now_ms() - t0, 1500);
    control.close();
    ASSERT_TRUE(s.ends_within(5000));
    ASSERT_EQ(s.verdicts().size(), 1u);
    EXPECT_EQ(s.verdicts()[0].status, "FAILED");
}

// Bounded waits of the dispatcher: a connection that never comes, a
// counterpart that never ends, a stop while a test runs.
TEST(PeerDispatcher, BoundsEveryWait) {
    {
        SCOPED_TRACE("connection never arrives");
        auto o = test_options();
        o.connect_timeout_ms = 300;
        Served s(o);
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(kEcho)));
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        control.close();
        ASSERT_TRUE(s.ends_within(5000));
        ASSERT_EQ(s.verdicts().size(), 1u);
        EXPECT_NE(s.verdicts()[0].message.find("did not arrive"), std::string::npos) << s.verdicts()[0].message;
    }
    {
        SCOPED_TRACE("counterpart outlives its time limit");
        auto o = test_options();
        o.test_timeout_s = 1;
        Served s(o);
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(kEcho)));
        Client test(s.port());
        ASSERT_TRUE(test.put(kEchoId));
        ASSERT_TRUE(test.get());
        // The counterpart now waits up to 10 s for a message; its limit is 1 s.
        EXPECT_TRUE(test.ends_within(4000));
        control.close();
        ASSERT_TRUE(s.ends_within(5000));
        ASSERT_EQ(s.verdicts().size(), 1u);
        EXPECT_EQ(s.verdicts()[0].status, "TIMEOUT");
    }
    {
        SCOPED_TRACE("stop while a test runs");
        Served s;
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(kEcho)));
        Client test(s.port());
        ASSERT_TRUE(test.put(kEchoId));
        ASSERT_TRUE(test.get());
        const auto t0 = peer::now_ms();
        s.stop();
        EXPECT_LT(peer::now_ms() - t0, 6000);
        EXPECT_TRUE(test.ends_within(2000));
        ASSERT_EQ(s.verdicts().size(), 1u);
        EXPECT_EQ(s.verdicts()[0].status, "ABORTED");
    }
}

// The dds_peer program: options, SIGTERM, exit status and report.
TEST(PeerDispatcher, ProgramStopsOnSigtermWithItsReport) {
    char dir[] = "/tmp/peer_program_test.XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string log = std::string(dir) + "/out.txt";
    const std::string junit = std::string(dir) + "/peer.xml";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FILE* f = std::freopen(log.c_str(), "w", stdout);
        (void)f;
        std::string j = "--junit=" + junit;
        std::string t = std::string("--tests=") + PEER_TESTS_BINARY;
        ::execl(DDS_PEER_BINARY, DDS_PEER_BINARY, "--port=0", "--max-seconds=30", t.c_str(), j.c_str(),
                static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the listening line, then stop it.
    bool listening = false;
    for (int i = 0; i < 100 && !listening; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(log);
        std::stringstream ss;
        ss << in.rdbuf();
        listening = ss.str().find("listening on 127.0.0.1:") != std::string::npos;
    }
    EXPECT_TRUE(listening);
    ::kill(pid, SIGTERM);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 100 && !exited; ++i) {
        exited = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(exited) << "dds_peer did not stop on SIGTERM within 5 s";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);  // nothing ran, nothing failed
    EXPECT_TRUE(std::ifstream(junit).good()) << "no report written";
    std::filesystem::remove_all(dir);
}

// One expected id a prefix of another: the dispatcher must read on past the
// shorter one only while the bytes continue the longer one, and must leave the
// first frame whole for the test that gets the connection.
TEST(PeerDispatcher, TellsApartIdsThatArePrefixesOfEachOther) {
    auto o = test_options();
    o.registry = {{kEcho, kEchoId}, {"PeerSelfTestNegative.ENABLED_LongerNegative", std::string(kEchoId) + "Longer"}};
    struct Case {
        const char* what;
        std::string sent;
        bool echo_first;
        std::size_t cut;  // sent in two segments, split here (0: one segment)
    };
    const Case cases[] = {
        {"shorter id, first frame in the same segment", std::string(kEchoId) + frame("echo", "x"), true, 0},
        {"shorter id alone, resolved after a pause", kEchoId, false, 0},
        {"shorter id split across segments, first frame with its end", std::string(kEchoId) + frame("echo", "x"),
         true, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Served s(o);
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync("PeerSelfTestNegative.ENABLED_LongerNegative") +
                                frame("sync", kEcho)));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Client test(s.port());
        if (c.cut > 0) {
            ASSERT_TRUE(test.put(c.sent.substr(0, c.cut)));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(test.put(c.sent.substr(c.cut)));
        auto m = test.get();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->key, "wait_for_completion");
        if (!c.echo_first) {
            ASSERT_TRUE(test.put(frame("echo", "x")));
        }
        m = test.get();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->key, "echo_reply");
        EXPECT_EQ(m->value, "x");
        ASSERT_TRUE(test.put(frame("finish")));
        ASSERT_TRUE(test.get());
        test.close();

        // The longer id goes to the other test (which this binary lacks: it does not run).
        Client longer(s.port());
        ASSERT_TRUE(longer.put(std::string(kEchoId) + "Longer"));
        EXPECT_TRUE(longer.ends_within(5000));
        control.close();
        ASSERT_TRUE(s.ends_within(8000));
        ASSERT_EQ(s.verdicts().size(), 2u);
        for (const auto& v : s.verdicts()) {
            if (v.name == kEcho) {
                EXPECT_EQ(v.status, "PASSED") << v.message;
            } else {
                EXPECT_EQ(v.connection_id, std::string(kEchoId) + "Longer");
                EXPECT_EQ(v.status, "FAILED");
                EXPECT_NE(v.message.find("did not run"), std::string::npos) << v.message;
            }
        }
    }
}

// A counterpart whose checks pass but that never says it is set up: the
// positive side would wait for "wait_for_completion" in vain. It must fail,
// and its connection must close at once rather than linger.
TEST(PeerDispatcher, FailsACounterpartThatNeverSaysItIsReady) {
    Served s;
    ASSERT_TRUE(s.started());
    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync("PeerSelfTestNegative.ENABLED_NeverReadyNegative")));
    Client test(s.port());
    ASSERT_TRUE(test.put("PeerSelfTestNeverReady"));
    const auto t0 = peer::now_ms();
    auto m = test.get(5000);
    EXPECT_FALSE(m.has_value()) << "unexpected key " << (m ? m->key : "");
    EXPECT_TRUE(test.ends_within(5000));
    EXPECT_LT(peer::now_ms() - t0, 5000);
    control.close();
    ASSERT_TRUE(s.ends_within(5000));
    ASSERT_EQ(s.verdicts().size(), 1u);
    EXPECT_EQ(s.verdicts()[0].status, "FAILED");
    EXPECT_NE(s.verdicts()[0].message.find("never sent \"wait_for_completion\""), std::string::npos)
        << s.verdicts()[0].message;
    EXPECT_EQ(s.rc(), 1);
}

// A "sync" value is whatever the positive side sent; the report must still be
// XML that any reader takes, with the odd bytes visible.
TEST(PeerDispatcher, ReportEscapesNamesThatAreNotText) {
    auto o = test_options();
    char dir[] = "/tmp/peer_dispatcher_test.XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    o.junit_path = std::string(dir) + "/peer.xml";
    const std::string name = "Bad\xff\xfe" "Suite.ENABLED_\x01" "Caf\xc3\xa9\xed\xa0\x80";
    {
        Served s(o);
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(name)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        control.close();
        ASSERT_TRUE(s.ends_within(5000));
        ASSERT_EQ(s.verdicts().size(), 1u);
        EXPECT_EQ(s.verdicts()[0].name, name);  // kept as sent; only the report escapes it
    }
    std::ifstream in(o.junit_path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string xml = ss.str();
    ASSERT_FALSE(xml.empty()) << "no report written";
    for (const char bad : {'\xff', '\xfe', '\x01', '\xed'}) {
        EXPECT_EQ(xml.find(bad), std::string::npos) << "raw byte " << int(static_cast<unsigned char>(bad)) << " in\n"
                                                    << xml;
    }
    EXPECT_NE(xml.find("Bad\\xff\\xfeSuite"), std::string::npos) << xml;
    EXPECT_NE(xml.find("ENABLED_\\x01" "Caf\xc3\xa9\\xed\\xa0\\x80"), std::string::npos) << xml;
    std::filesystem::remove_all(dir);
}

// A test whose connection arrives while an earlier test still holds its
// entities starts only once they are released: its "wait_for_completion"
// comes after the earlier test's "released".
TEST(PeerDispatcher, StartsTheNextTestOnlyOnceTheEarlierReleasedItsEntities) {
    Served s;
    ASSERT_TRUE(s.started());
    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync(kHold)));
    Client holder(s.port());
    ASSERT_TRUE(holder.put(kHoldId));
    auto m = holder.get();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->key, "wait_for_completion");

    ASSERT_TRUE(control.put(frame("sync", kEcho)));
    Client next(s.port());
    ASSERT_TRUE(next.put(kEchoId));
    EXPECT_FALSE(next.get(1500)) << "the next test started while the earlier one held its entities";

    ASSERT_TRUE(holder.put(frame("release")));
    m = holder.get();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->key, "released");
    m = next.get(3000);
    ASSERT_TRUE(m) << "the next test did not start once the earlier one released its entities";
    EXPECT_EQ(m->key, "wait_for_completion");

    ASSERT_TRUE(next.put(frame("finish")));
    m = next.get();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->key, "finish");
    holder.close();
    next.close();
    control.close();
    ASSERT_TRUE(s.ends_within(8000));
    ASSERT_EQ(s.verdicts().size(), 2u);
    for (const auto& v : s.verdicts()) EXPECT_EQ(v.status, "PASSED") << v.name << ": " << v.message;
}

// An earlier test that keeps holding its entities is stopped after the grace,
// failed for it, and the next test then starts.
TEST(PeerDispatcher, StopsAnEarlierTestThatHoldsItsEntitiesTooLong) {
    auto o = test_options();
    o.hold_grace_ms = 1000;
    Served s(o);
    ASSERT_TRUE(s.started());
    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync(kHold)));
    Client holder(s.port());
    ASSERT_TRUE(holder.put(kHoldId));
    auto m = holder.get();
    ASSERT_TRUE(m);

    ASSERT_TRUE(control.put(frame("sync", kEcho)));
    Client next(s.port());
    ASSERT_TRUE(next.put(kEchoId));
    m = next.get(5000);
    ASSERT_TRUE(m) << "the next test never started";
    EXPECT_EQ(m->key, "wait_for_completion");
    EXPECT_TRUE(holder.ends_within(2000)) << "the holding test was not stopped";

    ASSERT_TRUE(next.put(frame("finish")));
    next.get();
    next.close();
    control.close();
    ASSERT_TRUE(s.ends_within(8000));
    ASSERT_EQ(s.verdicts().size(), 2u);
    EXPECT_EQ(s.verdicts()[0].name, kHold);
    EXPECT_EQ(s.verdicts()[0].status, "FAILED");
    EXPECT_NE(s.verdicts()[0].message.find("still held its entities"), std::string::npos) << s.verdicts()[0].message;
    EXPECT_EQ(s.verdicts()[1].name, kEcho);
    EXPECT_EQ(s.verdicts()[1].status, "PASSED") << s.verdicts()[1].message;
}

// The positive side goes away in the middle of a test (its connections close):
// the counterpart, waiting on the skeleton for a writer that never comes,
// deletes its entities at once, and the peer, kept running, serves the next
// run. A participant in domain 0 watches the counterpart's participant leave.
TEST(PeerDispatcher, ACounterpartWhosePositiveSideWentLeavesTheDomainAtOnce) {
    using namespace QUORVELA;
    auto o = test_options();
    o.exit_when_control_closes = false;
    Served s(o);
    ASSERT_TRUE(s.started());
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* observer = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(observer, nullptr);
    const std::string tag = "peer_selftest_linger";
    auto counterparts_seen = [&] {
        InstanceHandleSeq handles;
        std::size_t n = 0;
        if (observer->get_discovered_participants(handles) != RETCODE_OK) return n;
        for (const InstanceHandle_t& h : handles) {
            ParticipantBuiltinTopicData data;
            if (observer->get_discovered_participant_data(data, h) == RETCODE_OK &&
                std::string(data.user_data.value.begin(), data.user_data.value.end()) == tag) {
                ++n;
            }
        }
        return n;
    };

    {
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(kLinger)));
        Client test(s.port());
        ASSERT_TRUE(test.put(kLingerId));
        ASSERT_TRUE(next_key(test, "wait_for_completion"));
        ASSERT_TRUE(eventually([&] { return counterparts_seen() == 1; }, 10000))
            << "the counterpart's participant never showed in domain 0";
    }  // the positive side is gone
    const auto gone = peer::now_ms();
    EXPECT_TRUE(eventually([&] { return counterparts_seen() == 0; }, 3000))
        << "the counterpart's participant is still in domain 0 " << peer::now_ms() - gone << " ms after its "
        << "positive side went";

    // The next run is served as usual.
    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync(kEcho)));
    Client echo(s.port());
    ASSERT_TRUE(echo.put(std::string(kEchoId) + frame("finish")));
    EXPECT_TRUE(next_key(echo, "wait_for_completion"));
    EXPECT_TRUE(next_key(echo, "finish"));
    echo.close();
    control.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    s.stop();
    EXPECT_EQ(factory->delete_participant(observer), RETCODE_OK);
    DomainParticipantFactory::finalize();

    const peer::Verdict* linger = verdict_of(s.verdicts(), kLinger);
    ASSERT_NE(linger, nullptr);
    EXPECT_EQ(linger->status, "FAILED") << "a test cut short by its positive side did not pass";
    EXPECT_LT(linger->seconds, 15) << linger->message;
    const peer::Verdict* next = verdict_of(s.verdicts(), kEcho);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->status, "PASSED") << next->message;
}

// A counterpart that does not notice its positive side has gone is stopped by
// the peer, kept running, after the grace; a test named by that side whose
// connection never came is dropped with it. The next run's test then starts
// at once instead of waiting for the stuck one to release its entities.
TEST(PeerDispatcher, StopsATestThatOutlivesItsPositiveSide) {
    auto o = test_options();
    o.exit_when_control_closes = false;
    o.gone_grace_ms = 1000;
    Served s(o);
    ASSERT_TRUE(s.started());
    {
        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(kDeaf)));
        Client deaf(s.port());
        ASSERT_TRUE(deaf.put(kDeafId));
        ASSERT_TRUE(next_key(deaf, "wait_for_completion"));
        ASSERT_TRUE(control.put(frame("sync", kHold)));  // its connection never comes
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }  // the positive side is gone
    const auto gone = peer::now_ms();

    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync(kEcho)));
    Client echo(s.port());
    ASSERT_TRUE(echo.put(std::string(kEchoId) + frame("finish")));
    ASSERT_TRUE(next_key(echo, "wait_for_completion", 4000))
        << "the next run's test did not start within 4 s of the earlier positive side going";
    EXPECT_LT(peer::now_ms() - gone, 4000);
    EXPECT_TRUE(next_key(echo, "finish"));
    echo.close();
    control.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    s.stop();

    const peer::Verdict* deaf = verdict_of(s.verdicts(), kDeaf);
    ASSERT_NE(deaf, nullptr);
    EXPECT_EQ(deaf->status, "FAILED");
    EXPECT_NE(deaf->message.find("after its positive side went"), std::string::npos) << deaf->message;
    EXPECT_LT(deaf->seconds, 5) << deaf->message;
    const peer::Verdict* orphan = verdict_of(s.verdicts(), kHold);
    ASSERT_NE(orphan, nullptr);
    EXPECT_NE(orphan->message.find("closed the control connection before the test's connection arrived"),
              std::string::npos)
        << orphan->message;
    const peer::Verdict* next = verdict_of(s.verdicts(), kEcho);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->status, "PASSED") << next->message;
}

// Connections that never send an id cannot lock the positive side out: with
// 200 of them held open, a run still gets its control connection and its
// test's connection.
// Connections that hold a place in the pending table without becoming a
// test's: 200 that send nothing, and as many as the table holds that each send
// a part of the control id and stall. Neither may keep the positive side out.
TEST(PeerDispatcher, IdleOrStalledConnectionsDoNotLockThePositiveSideOut) {
    struct Case {
        const char* what;
        std::size_t connections;
        std::string sent;
    };
    const Case cases[] = {
        {"idle", 200, ""},
        {"stalled partial ids", peer::kMaxPending, "active_con"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Served s;
        ASSERT_TRUE(s.started());
        std::vector<std::unique_ptr<Client>> held;
        for (std::size_t i = 0; i < c.connections; ++i) {
            held.push_back(std::make_unique<Client>(s.port()));
            ASSERT_TRUE(held.back()->connected()) << "connection " << i;
            if (!c.sent.empty()) {
                ASSERT_TRUE(held.back()->put(c.sent));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        Client control(s.port());
        ASSERT_TRUE(control.put(control_sync(kEcho)));
        Client test(s.port());
        ASSERT_TRUE(test.put(kEchoId));
        ASSERT_TRUE(next_key(test, "wait_for_completion")) << "the test's connection got no answer";
        ASSERT_TRUE(test.put(frame("finish")));
        EXPECT_TRUE(next_key(test, "finish"));
        EXPECT_FALSE(control.ends_within(200)) << "the control connection was closed";
        test.close();
        control.close();
        held.clear();
        ASSERT_TRUE(s.ends_within(8000));
        ASSERT_EQ(s.verdicts().size(), 1u);
        EXPECT_EQ(s.verdicts()[0].status, "PASSED") << s.verdicts()[0].message;
    }
}

// A sync of the largest size naming no test: its verdict is a failure, and
// the next real test's connection, arriving before its own sync, is not the
// one refused in its place.
TEST(PeerDispatcher, AnOversizedUnknownSyncCostsNoRealTestItsConnection) {
    Served s;
    ASSERT_TRUE(s.started());
    Client control(s.port());
    const std::string unknown(peer::kMaxFieldBytes, 'u');
    ASSERT_TRUE(control.put(std::string(peer::kControlId) + frame("sync", unknown)));
    Client test(s.port());
    ASSERT_TRUE(test.put(kEchoId));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the unknown sync is read by now
    ASSERT_TRUE(control.put(frame("sync", kEcho)));
    ASSERT_TRUE(next_key(test, "wait_for_completion")) << "the test's connection was refused";
    ASSERT_TRUE(test.put(frame("finish")));
    EXPECT_TRUE(next_key(test, "finish"));
    // A connection for the unknown test is still refused at once.
    Client orphan(s.port());
    ASSERT_TRUE(control.put(frame("sync", unknown)));
    ASSERT_TRUE(orphan.put("NotRegistered"));
    EXPECT_TRUE(orphan.ends_within(1500));
    test.close();
    control.close();
    ASSERT_TRUE(s.ends_within(8000));
    ASSERT_EQ(s.verdicts().size(), 3u);
    const peer::Verdict* echo = verdict_of(s.verdicts(), kEcho);
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(echo->status, "PASSED") << echo->message;
    // Kept under its first 256 bytes and its length.
    const peer::Verdict* first = verdict_of(s.verdicts(), std::string(256, 'u') + "... (1048576 bytes)");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->status, "FAILED");
    EXPECT_NE(first->message.find("unknown negative test"), std::string::npos);
}

// The process's resident memory, from /proc/self/statm.
long long resident_bytes() {
    long long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGESIZE);
}

// 300 syncs of 1 MiB naming no test: each name is kept cut to 256 bytes, the
// first 64 get a verdict each and the rest one verdict together, so the
// peer holds a few kilobytes of them (not 300 MiB) and writes a small report
// (not one of about 1 GB); the real test synced after them passes.
TEST(PeerDispatcher, UnknownSyncsAreCutAndCapped) {
    constexpr int kUnknown = 300;
    auto o = test_options();
    char dir[] = "/tmp/peer_dispatcher_test.XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    o.junit_path = std::string(dir) + "/peer.xml";
    const long long before = resident_bytes();
    long long held = 0;
    {
        Served s(o);
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(peer::kControlId));
        for (int i = 0; i < kUnknown; ++i) {
            std::string name(peer::kMaxFieldBytes, 'u');
            name.replace(0, 4, std::to_string(1000 + i));
            ASSERT_TRUE(control.put(frame("sync", name))) << i;
        }
        ASSERT_TRUE(control.put(frame("sync", kEcho)));
        Client test(s.port());
        ASSERT_TRUE(test.put(kEchoId));
        ASSERT_TRUE(next_key(test, "wait_for_completion", 15000)) << "the real test was not started";
        ASSERT_TRUE(test.put(frame("finish")));
        EXPECT_TRUE(next_key(test, "finish"));
        held = resident_bytes() - before;
        test.close();
        control.close();
        ASSERT_TRUE(s.ends_within(8000));

        const auto& verdicts = s.verdicts();
        ASSERT_EQ(verdicts.size(), peer::kMaxUnknownVerdicts + 2);
        for (std::size_t i = 0; i < peer::kMaxUnknownVerdicts; ++i) {
            EXPECT_EQ(verdicts[i].name, std::to_string(1000 + i) + std::string(252, 'u') + "... (1048576 bytes)");
            EXPECT_EQ(verdicts[i].status, "FAILED");
        }
        const peer::Verdict* echo = verdict_of(verdicts, kEcho);
        ASSERT_NE(echo, nullptr);
        EXPECT_EQ(echo->status, "PASSED") << echo->message;
        const peer::Verdict& rest = verdicts.back();
        EXPECT_EQ(rest.name, std::to_string(1000 + peer::kMaxUnknownVerdicts) + std::string(252, 'u') +
                                 "... (1048576 bytes)");
        EXPECT_EQ(rest.status, "FAILED");
        EXPECT_NE(rest.message.find("and " + std::to_string(kUnknown - peer::kMaxUnknownVerdicts - 1) + " more syncs"),
                  std::string::npos)
            << rest.message;
        EXPECT_EQ(s.rc(), 1);
    }
    const auto report = std::filesystem::file_size(o.junit_path);
    EXPECT_LT(report, 256u << 10) << "peer.xml";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer's own memory, its shadow and its quarantine, grows with what is allocated.)
    EXPECT_LT(held, 64ll << 20) << "resident memory grew by " << (held >> 20) << " MiB";
#endif
    std::printf("%d unknown 1 MiB syncs: peer.xml of %ju bytes, resident memory %lld MiB above the start\n", kUnknown,
                static_cast<std::uintmax_t>(report), held >> 20);
    std::filesystem::remove_all(dir);
}

// Each verdict is on record as soon as it is given, before the peer stops: a
// line per verdict, in the order given, naming its counterpart's own report
// by its sequence number, with the dispatcher's reason (the failure messages
// stay in that report). Odd bytes of a name are written as the JUnit report
// writes them, and the record's separators escaped.
TEST(PeerDispatcher, RecordsEachVerdictAsItIsGiven) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    auto o = test_options();
    o.report_dir = dir.path + "/reports";
    o.junit_path = dir.path + "/peer.xml";
    Served s(o);
    ASSERT_TRUE(s.started());
    const std::string record = s.dispatcher().record_path();
    EXPECT_EQ(record, o.report_dir + "/verdicts.tsv");
    EXPECT_EQ(slurp(record), std::string(peer::kVerdictRecordHeader) + "\n");

    Client control(s.port());
    ASSERT_TRUE(control.put(control_sync("Odd\tSuite.ENABLED_\\x\n\x01" "End")));
    std::optional<Client> test;
    ASSERT_TRUE(start_test(s.port(), control, test, kEcho, kEchoId));
    ASSERT_TRUE(test->put(frame("check", "wrong") + frame("finish")));
    EXPECT_TRUE(test->ends_within(5000));
    // Both verdicts are given; the peer still runs (its control connection is open).
    ASSERT_TRUE(eventually([&] { return lines_of(slurp(record)).size() == 3; }, 5000)) << slurp(record);
    EXPECT_FALSE(std::filesystem::exists(o.junit_path));
    const auto lines = lines_of(slurp(record));
    const std::string odd_prefix =
        "0\tOdd\\tSuite.ENABLED_\\\\x\\n\\\\x01End\t\tFAILED\t0.000\t";
    EXPECT_EQ(lines[1].substr(0, odd_prefix.size()), odd_prefix) << lines[1];
    EXPECT_TRUE(lines[1].ends_with("\t\tunknown negative test: no test of that name is registered")) << lines[1];
    const std::string echo_prefix = std::string("1\t") + kEcho + "\t" + kEchoId + "\tFAILED\t";
    EXPECT_EQ(lines[2].substr(0, echo_prefix.size()), echo_prefix) << lines[2];
    const std::string report = std::string("1-") + kEcho + ".xml";
    EXPECT_TRUE(lines[2].ends_with("\t" + report + "\texit status 1")) << lines[2];
    EXPECT_NE(slurp(o.report_dir + "/" + report).find("Which is: \"wrong\""), std::string::npos);

    control.close();
    ASSERT_TRUE(s.ends_within(8000));
    // The record says what the verdicts say, line for line.
    std::string expected = std::string(peer::kVerdictRecordHeader) + "\n";
    for (const auto& v : s.verdicts()) expected += peer::verdict_record_line(v);
    EXPECT_EQ(slurp(record), expected);
    ASSERT_EQ(s.verdicts().size(), 2u);
    EXPECT_NE(s.verdicts()[1].message.find("Which is: \"wrong\""), std::string::npos) << s.verdicts()[1].message;
    EXPECT_TRUE(std::filesystem::exists(o.junit_path));
}

// What is taken from a counterpart's googletest report is bounded: its
// failure messages to a stated size, cut on a character, with a note of what
// was left out; a report past the read bound read in its first part, what
// that holds counted.
TEST(PeerDispatcher, ReadsACounterpartsReportWithinItsBounds) {
    auto report = [](const std::vector<std::string>& messages) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"1\" name=\"AllTests\">\n"
                          "  <testsuite name=\"S\" tests=\"1\">\n"
                          "    <testcase name=\"T\" status=\"run\" result=\"completed\" classname=\"S\">\n";
        for (const auto& m : messages) {
            xml += "      <failure message=\"" + m + "\" type=\"\"><![CDATA[" + m + "]]></failure>\n";
        }
        return xml + "    </testcase>\n  </testsuite>\n</testsuites>\n";
    };
    const std::string three = report({"aaa", "bbb", "ccc"});
    struct Case {
        const char* what;
        std::string xml;
        std::size_t read_limit;
        std::size_t text_limit;
        bool present;
        int failed;
        std::string starts;       // the messages begin so
        std::string note;         // and say this; empty: no note
    };
    const Case cases[] = {
        {"within both bounds", three, 4096, 4096, true, 1, "aaa\nbbb\nccc", ""},
        {"texts past their bound", three, 4096, 5, true, 1, "aaa\nb\n[... 5 more bytes of failure messages, of 2",
         "not kept: the peer keeps the first 5 bytes"},
        {"a cut inside a character", report({"a\xc3\xa9"}), 4096, 2, true, 1, "a\n[... 2 more bytes", "first 2 bytes"},
        {"a report past the read bound", three, three.find("bbb]]>"), 4096, true, 1, "aaa\nbbb\n[... the report is ",
         "the peer read its first"},
        {"a report cut short", three.substr(0, three.find("bbb]]>")), 4096, 4096, false, 0, "", ""},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.path + "/report.xml";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.xml;
        const peer::XmlResult r = peer::read_gtest_xml(path, c.read_limit, c.text_limit);
        EXPECT_EQ(r.present, c.present);
        EXPECT_EQ(r.failed, c.failed);
        EXPECT_EQ(r.completed, c.present ? 1 : 0);
        EXPECT_EQ(r.messages.substr(0, c.starts.size()), c.starts) << r.messages;
        if (c.note.empty()) {
            EXPECT_EQ(r.messages.find("[..."), std::string::npos) << r.messages;
        } else {
            EXPECT_NE(r.messages.find(c.note), std::string::npos) << r.messages;
            EXPECT_NE(r.messages.find(path), std::string::npos) << "the note says where the whole is: " << r.messages;
        }
    }
}

// A counterpart that floods its report (a failure of a megabyte for each of
// the positive side's unknown keys, a report of about 34 MB): the verdict
// keeps its first messages, cut at the stated bound and saying so, the peer's
// report stays small, and the verdict is on record like any other.
TEST(PeerDispatcher, AFloodingCounterpartsReportIsTakenWithinBounds) {
    constexpr int kFloods = 16;
    std::uintmax_t report_size = 0;
    std::size_t message_size = 0;
    TempDir dir;
    auto o = test_options();
    o.report_dir = dir.path + "/reports";
    o.junit_path = dir.path + "/peer.xml";
    const auto t0 = peer::now_ms();
    // The counterpart prints each failure: 16 MiB that would only bury this test's output.
    const int out = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(out, 0);
    ASSERT_GE(null, 0);
    std::fflush(stdout);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
    struct Restore {
        int fd;
        ~Restore() {
            std::fflush(stdout);
            ::dup2(fd, STDOUT_FILENO);
            ::close(fd);
        }
    };
    {
        Restore restore{out};
        Served s(o);
        ASSERT_TRUE(s.started());
        Client control(s.port());
        ASSERT_TRUE(control.put(peer::kControlId));
        std::optional<Client> test;
        ASSERT_TRUE(start_test(s.port(), control, test, kEcho, kEchoId));
        for (int i = 0; i < kFloods; ++i) {
            std::string key(peer::kMaxFieldBytes, 'f');
            key.replace(0, 4, std::to_string(1000 + i));
            // One at a time: the counterpart answers the echo once it has taken the key.
            ASSERT_TRUE(test->put(frame(key) + frame("echo", std::to_string(i)))) << i;
            ASSERT_TRUE(next_key(*test, "echo_reply", 15000)) << i;
        }
        ASSERT_TRUE(test->put(frame("finish")));
        EXPECT_TRUE(test->ends_within(30000));
        control.close();
        ASSERT_TRUE(s.ends_within(30000));
        ASSERT_EQ(s.verdicts().size(), 1u);
        const peer::Verdict& v = s.verdicts()[0];
        EXPECT_EQ(v.status, "FAILED");
        EXPECT_TRUE(v.message.starts_with("exit status 1\n")) << v.message.substr(0, 200);
        EXPECT_NE(v.message.find("unexpected key 1000ffff"), std::string::npos);
        EXPECT_NE(v.message.find("not kept: the peer keeps the first " + std::to_string(peer::kMaxFailureTextBytes) +
                                 " bytes"),
                  std::string::npos);
        EXPECT_LT(v.message.size(), peer::kMaxFailureTextBytes + 1024);
        const auto report_bytes = std::filesystem::file_size(o.report_dir + "/1-" + kEcho + ".xml");
        EXPECT_GT(report_bytes, peer::kMaxReportReadBytes);
        EXPECT_NE(v.message.find("[... the report is " + std::to_string(report_bytes) + " bytes"), std::string::npos);
        EXPECT_EQ(lines_of(slurp(s.dispatcher().record_path())).size(), 2u);
        report_size = report_bytes;
        message_size = v.message.size();
    }
    const auto junit = std::filesystem::file_size(o.junit_path);
    EXPECT_LT(junit, 2 * peer::kMaxFailureTextBytes + 4096) << "peer.xml";
    std::printf("a counterpart report of %ju bytes: a verdict message of %zu bytes, peer.xml of %ju bytes, in %lld ms\n",
                report_size, message_size, static_cast<std::uintmax_t>(junit),
                static_cast<long long>(peer::now_ms() - t0));
}
