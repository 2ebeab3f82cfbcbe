// The peer link against an in-test peer listening on an ephemeral loopback port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "TestFrame.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (!pred()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

std::string frameBytes(const std::string& key, const std::string& value) {
    std::string out;
    auto put = [&out](const std::string& s) {
        const std::uint32_t n = htonl(static_cast<std::uint32_t>(s.size()));
        out.append(reinterpret_cast<const char*>(&n), 4);
        out += s;
    };
    put(key);
    put(value);
    return out;
}

// The process's resident memory, from /proc/self/statm.
long long residentBytes() {
    long long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGESIZE);
}

std::string lengthBytes(std::uint32_t length) {
    const std::uint32_t n = htonl(length);
    return std::string(reinterpret_cast<const char*>(&n), 4);
}

// The peer side: a listener on 127.0.0.1, port chosen by the system.
class FakePeer {
public:
    FakePeer() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = 0;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd_, 16) != 0) {
            ADD_FAILURE() << "peer cannot listen, errno " << errno;
            return;
        }
        socklen_t len = sizeof addr;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~FakePeer() {
        for (int fd : accepted_) {
            ::close(fd);
        }
        if (listenFd_ >= 0) {
            ::close(listenFd_);
        }
    }
    int port() const { return port_; }

    // Accepts one connection; -1 when none comes within the limit.
    int accept(int timeoutMs = 5000) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return -1;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            accepted_.push_back(fd);
        }
        return fd;
    }
    // Closes an accepted connection (optionally with a reset).
    void close(int fd, bool reset = false) {
        if (reset) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(fd);
        std::erase(accepted_, fd);
    }

    // Reads exactly n bytes; false on EOF or time-out.
    static bool readExact(int fd, std::string& out, std::size_t n, int timeoutMs = 5000) {
        out.clear();
        const auto deadline = Clock::now() + milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) {
                return false;
            }
            char buf[4096];
            const std::size_t want = std::min(sizeof buf, n - out.size());
            const ssize_t got = ::recv(fd, buf, want, 0);
            if (got <= 0) {
                return false;
            }
            out.append(buf, static_cast<std::size_t>(got));
        }
        return true;
    }
    // True when nothing at all arrives within quietMs (no data, no EOF).
    static bool silent(int fd, int quietMs) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, quietMs) == 0;
    }
    // True when the link's side has ended the connection within the limit.
    static bool seesEof(int fd, int timeoutMs = 5000) {
        const auto deadline = Clock::now() + milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) {
                return false;
            }
            char buf[256];
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got <= 0) {
                return true;
            }
        }
    }
    static bool send(int fd, const std::string& bytes) {
        return harness_io::sendAll(fd, bytes.data(), bytes.size());
    }

private:
    int listenFd_ = -1;
    int port_ = 0;
    std::vector<int> accepted_;
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        frame.running = true;
        frame.serverAddress = "127.0.0.1";
        frame.serverPort = peer.port();
    }

    // Opens id on the link and returns the peer's side, preamble consumed.
    int open(const std::string& id) {
        EXPECT_TRUE(frame.createConnection(id));
        const int fd = peer.accept();
        EXPECT_GE(fd, 0);
        std::string preamble;
        EXPECT_TRUE(FakePeer::readExact(fd, preamble, id.size()));
        EXPECT_EQ(preamble, id);
        return fd;
    }
    bool isOpen(const std::string& id) {
        std::lock_guard<std::mutex> lock(frame.connectionsMutex);
        return frame.connections.count(id) != 0;
    }
    std::size_t queued(const std::string& key) {
        std::lock_guard<std::mutex> lock(frame.dataMutex);
        auto it = frame.dataQueues.find(key);
        return it == frame.dataQueues.end() ? 0 : it->second.size();
    }
    std::vector<std::string> queueValues(const std::string& key) {
        std::lock_guard<std::mutex> lock(frame.dataMutex);
        std::vector<std::string> out;
        for (const auto& e : frame.dataQueues[key]) {
            out.push_back(e.connectionId + ":" + e.value);
        }
        return out;
    }
    // Sends one message from the peer side and waits until the link queued it.
    void deliver(int fd, const std::string& key, const std::string& value) {
        const std::size_t before = queued(key);
        ASSERT_TRUE(FakePeer::send(fd, frameBytes(key, value)));
        ASSERT_TRUE(waitUntil([&] { return queued(key) == before + 1; }));
    }

    FakePeer peer;
    TestFrame frame;  // after the peer: destroyed first
};

TEST_F(LinkTest, PreambleAndFrameAreByteExact) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(frame.createConnection("DiscoveryManagement"));
    const int fd = peer.accept();
    ASSERT_GE(fd, 0);
    std::string bytes;
    ASSERT_TRUE(FakePeer::readExact(fd, bytes, 19));
    EXPECT_EQ(bytes, "DiscoveryManagement");
    EXPECT_TRUE(FakePeer::silent(fd, 100)) << "bytes after the preamble";

    EXPECT_TRUE(frame.sendData("DiscoveryManagement", "start"));
    ASSERT_TRUE(FakePeer::readExact(fd, bytes, 20));
    EXPECT_EQ(bytes, std::string("\0\0\0\x05start\0\0\0\x07" "default", 20));
    EXPECT_TRUE(FakePeer::silent(fd, 100));

    EXPECT_TRUE(frame.sendData("DiscoveryManagement", "sync", "A.B"));
    ASSERT_TRUE(FakePeer::readExact(fd, bytes, 15));
    EXPECT_EQ(bytes, frameBytes("sync", "A.B"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Creating connection with ID: DiscoveryManagement\n"
              "Connection established on attempt 1\n"
              "Sending data to connection ID: DiscoveryManagement, key: start, value: default\n"
              "Sending data to connection ID: DiscoveryManagement, key: sync, value: A.B\n");
}

TEST_F(LinkTest, UnknownIdsAreReported) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(frame.sendData("never_opened", "k", "v"));
    frame.destroyConnection("never_opened");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Sending data to connection ID: never_opened, key: k, value: v\n"
              "connections do not find\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Connection with ID: never_opened not found.\n");
}

TEST_F(LinkTest, RefusesInvalidAddressWithoutConnecting) {
    for (const std::string& address :
         std::vector<std::string>{"not.an.address", "", std::string("127.0.0.1\0x", 11)}) {
        frame.serverAddress = address;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const auto start = Clock::now();
        EXPECT_FALSE(frame.createConnection("x"));
        EXPECT_LT(msSince(start), 500);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Creating connection with ID: x\n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid server address: " + address + "\n");
    }
    EXPECT_EQ(peer.accept(100), -1);
    EXPECT_TRUE(frame.connections.empty());
}

TEST_F(LinkTest, ClosedPortIsTriedFiveTimesOneSecondApart) {
    // A port that was bound and released: nothing listens there.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(probe);
    frame.serverPort = ntohs(addr.sin_port);

    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_FALSE(frame.createConnection("closed"));
    const auto elapsed = msSince(start);
    EXPECT_GE(elapsed, 5000);
    EXPECT_LT(elapsed, 7000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Connect failed on attempt 1, error: 111\n"
              "Connect failed on attempt 2, error: 111\n"
              "Connect failed on attempt 3, error: 111\n"
              "Connect failed on attempt 4, error: 111\n"
              "Connect failed on attempt 5, error: 111\n"
              "Failed to connect after 5 attempts.\n");
    EXPECT_TRUE(frame.connections.empty());
}

TEST_F(LinkTest, DestroyTwiceEndsTheConnectionOnce) {
    const int fd = open("twice");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    frame.destroyConnection("twice");
    frame.destroyConnection("twice");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Connection with ID: twice has been destroyed.\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Connection with ID: twice not found.\n");
    EXPECT_TRUE(FakePeer::seesEof(fd)) << "the peer must see the connection end";
    EXPECT_FALSE(frame.sendData("twice", "k"));
}

TEST_F(LinkTest, PeerCloseForgetsTheConnection) {
    const int fd = open("closing");
    peer.close(fd);
    ASSERT_TRUE(waitUntil([&] { return !isOpen("closing"); }));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(frame.sendData("closing", "k"));
    frame.destroyConnection("closing");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Sending data to connection ID: closing, key: k, value: default\n"
              "connections do not find\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Connection with ID: closing not found.\n");
}

// What the peer sends after a complete "first" message, and whether the link
// must end the connection (and say so on standard error).
struct BadInput {
    const char* name;
    std::string bytes;
    const char* stderrText;
};

TEST_F(LinkTest, ZeroAndOversizeLengthsEndTheConnection) {
    const std::vector<BadInput> cases = {
        {"zero key length", lengthBytes(0), ""},
        {"zero value length", lengthBytes(1) + "k" + lengthBytes(0), ""},
        {"key length 2^32-1", lengthBytes(0xFFFFFFFFu),
         "Receive failed (length too large), length: 4294967295\n"},
        {"key length 1 MiB + 1", lengthBytes((1u << 20) + 1),
         "Receive failed (length too large), length: 1048577\n"},
        {"value length 2^31", lengthBytes(1) + "k" + lengthBytes(0x80000000u),
         "Receive failed (length too large), length: 2147483648\n"},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = std::string("bad ") + c.name;
        const int fd = open(id);
        deliver(fd, "first", "ok");
        testing::internal::CaptureStderr();
        ASSERT_TRUE(FakePeer::send(fd, c.bytes));
        EXPECT_TRUE(waitUntil([&] { return !isOpen(id); }));
        EXPECT_TRUE(FakePeer::seesEof(fd));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderrText);
        std::string value;
        EXPECT_TRUE(frame.waitForData(id, "first", value, 0));
        EXPECT_EQ(value, "ok");
        EXPECT_EQ(queued("k"), 0u);
    }
}

TEST_F(LinkTest, LargestFieldIsAccepted) {
    const int fd = open("big");
    const std::string big(TestFrame::kMaxFieldLength, 'x');
    ASSERT_TRUE(FakePeer::send(fd, frameBytes("big", big)));
    std::string value;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(frame.waitForData("big", "big", value, 5000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(value, big);
    EXPECT_TRUE(isOpen("big"));
}

// A peer that floods frames under a key no test waits for: the link ends that
// connection once its queue holds the limit, with one line on standard error,
// instead of growing without bound; what the tests did take frees room.
TEST_F(LinkTest, FloodUnderAnUnusedKeyEndsTheConnectionAtTheQueueLimit) {
    const int fd = open("flood");
    const int other = open("bystander");
    deliver(other, "kept", "ok");
    const std::string mib(TestFrame::kMaxFieldLength, 'f');
    deliver(fd, "wanted", mib);
    std::string value;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(frame.waitForData("flood", "wanted", value, 0));  // taken: its bytes no longer count
    testing::internal::GetCapturedStdout();

    testing::internal::CaptureStderr();
    int sent = 0;
    std::thread flooder([&] {
        const std::string bytes = frameBytes("unused", mib);
        for (; sent < 300; ++sent) {
            if (!FakePeer::send(fd, bytes)) {
                break;  // the link closed the connection
            }
        }
    });
    EXPECT_TRUE(waitUntil([&] { return !isOpen("flood"); }, 20000));
    flooder.join();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Receive queue of connection ID: flood is over its limit of " +
                       std::to_string(TestFrame::kMaxQueuedBytes) + " bytes; closing the connection\n");
    EXPECT_LT(sent, 300) << "the whole flood was taken in";
    const std::size_t perMessage = TestFrame::messageCost("flood", "unused", mib);
    EXPECT_GT(perMessage, mib.size() + 6);
    EXPECT_EQ(queued("unused"), TestFrame::kMaxQueuedBytes / perMessage);
    // Waits on the ended connection return at once; the other connection is untouched.
    const auto t0 = Clock::now();
    EXPECT_FALSE(frame.waitForData("flood", "wanted", value, 5000));
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_TRUE(isOpen("bystander"));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(frame.waitForData("bystander", "kept", value, 0));
    testing::internal::GetCapturedStdout();
}

// A peer that floods connection after connection and closes each: the
// messages of ended connections stay to be taken, but together they hold no
// more than one open connection may; the ids that ended first lose theirs.
TEST_F(LinkTest, FloodedAndClosedConnectionsGiveTheirMemoryBack) {
    constexpr int kConnections = 32;
    constexpr int kMessages = 15;  // 15 MiB a connection: under the limit of an open one
    const std::string mib(TestFrame::kMaxFieldLength, 'f');
    const std::string bytes = frameBytes("unused", mib);
    const std::size_t perMessage = TestFrame::messageCost("flood10", "unused", mib);
    auto held = [&] {
        std::lock_guard<std::mutex> lock(frame.dataMutex);
        std::size_t total = 0;
        for (const auto& [key, queue] : frame.dataQueues) {
            for (const auto& e : queue) {
                total += e.cost;
            }
        }
        return total;
    };
    std::size_t peak = 0;
    testing::internal::CaptureStdout();
    for (int i = 0; i < kConnections; ++i) {
        const std::string id = "flood" + std::to_string(i);
        const int fd = open(id);
        for (int m = 0; m < kMessages; ++m) {
            ASSERT_TRUE(FakePeer::send(fd, bytes)) << id;
        }
        ASSERT_TRUE(FakePeer::send(fd, frameBytes("last", id)));
        peer.close(fd);
        ASSERT_TRUE(waitUntil([&] { return !isOpen(id); }, 20000)) << id;
        // A wait on an id returns at once once the link has ended it (and
        // has freed what ended ids hold beyond their limit).
        std::string none;
        EXPECT_FALSE(frame.waitForData(id, "never sent", none, 5000)) << id;
        peak = std::max(peak, held());
    }
    testing::internal::GetCapturedStdout();
    // 32 ended connections of 15 MiB each: 480 MiB if nothing were freed.
    EXPECT_LE(peak, TestFrame::kMaxEndedBytes + 2 * kMessages * perMessage);
    EXPECT_LE(held(), TestFrame::kMaxEndedBytes);
    EXPECT_GE(held(), kMessages * perMessage) << "the last ended connection's messages must stay";

    // What the last connection sent before it closed is still taken; what the
    // first sent is gone, and a wait for it returns at once.
    std::string value;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(frame.waitForData("flood31", "last", value, 0));
    EXPECT_EQ(value, "flood31");
    const auto t0 = Clock::now();
    EXPECT_FALSE(frame.waitForData("flood0", "last", value, 5000));
    EXPECT_LT(msSince(t0), 1000);
    for (int m = 0; m < kMessages; ++m) {
        EXPECT_TRUE(frame.waitForData("flood31", "unused", value, 0)) << m;
    }
    testing::internal::GetCapturedStdout();
    // Taking them frees them too; only the ids that ended last still hold messages.
    EXPECT_LE(held(), TestFrame::kMaxEndedBytes - kMessages * perMessage);
    {
        std::lock_guard<std::mutex> lock(frame.dataMutex);
        EXPECT_LE(frame.dataQueues.size(), 2u);  // "unused" and "last" of the ids still held
    }
}

// A peer that sends one-byte values under ever new keys: each message is
// charged what it holds (its entry and a queue of its own), not its two
// bytes, so the link ends the connection after some twenty thousand rather
// than taking in two million (1.41 GB of the process). What they held goes
// back as they are taken, and the next connection works as before.
TEST_F(LinkTest, OneByteValuesUnderEverNewKeysAreChargedWhatTheyHold) {
    constexpr int kFlood = 2100000;
    constexpr long long kMiB = 1 << 20;
    const int fd = open("newkeys");
    const long long before = residentBytes();
    testing::internal::CaptureStderr();
    std::atomic<int> sent{0};
    std::thread flooder([&] {
        std::string batch;
        for (int i = 0; i < kFlood; ++i) {
            batch += frameBytes("k" + std::to_string(i), "x");
            if (batch.size() >= (64u << 10) || i + 1 == kFlood) {
                if (!FakePeer::send(fd, batch)) {
                    return;  // the link closed the connection
                }
                batch.clear();
                sent = i + 1;
            }
        }
    });
    long long peak = before;
    EXPECT_TRUE(waitUntil(
        [&] {
            peak = std::max(peak, residentBytes());
            return !isOpen("newkeys");
        },
        60000));
    flooder.join();
    peak = std::max(peak, residentBytes());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Receive queue of connection ID: newkeys is over its limit of " +
                  std::to_string(TestFrame::kMaxQueuedBytes) + " bytes; closing the connection\n");
    EXPECT_LT(sent, kFlood) << "the whole flood was taken in";

    // The link's own account: what the connection's messages hold, within
    // its limit, and no more messages than that limit pays for.
    std::vector<std::string> keys;
    std::size_t charged = 0;
    {
        std::lock_guard<std::mutex> lock(frame.dataMutex);
        for (const auto& [key, queue] : frame.dataQueues) {
            for (const auto& e : queue) {
                if (e.connectionId == "newkeys") {
                    keys.push_back(key);
                    charged += e.cost;
                }
            }
        }
    }
    EXPECT_EQ(frame.queuedCost("newkeys"), charged);
    const std::size_t each = TestFrame::messageCost("newkeys", "k1000000", "x");
    EXPECT_LE(charged, TestFrame::kMaxQueuedBytes);
    EXPECT_EQ(keys.size(), TestFrame::kMaxQueuedBytes / each + (charged + each <= TestFrame::kMaxQueuedBytes ? 1 : 0))
        << "messages queued: " << keys.size() << ", each charged " << each << " bytes";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer's own memory, its shadow and its quarantine, grows with what is allocated.)
    EXPECT_LT(peak - before, 64 * kMiB) << "resident memory grew by " << (peak - before) / kMiB << " MiB";
#endif
    std::printf("%zu one-byte messages under new keys queued (charged %zu bytes each, %zu in all); resident memory "
                "grew by at most %lld MiB\n",
                keys.size(), each, charged, (peak - before) / kMiB);

    // Taken, they give their charge back, and their queues are gone.
    std::string value;
    testing::internal::CaptureStdout();
    for (const std::string& key : keys) {
        EXPECT_TRUE(frame.waitForData("newkeys", key, value, 0)) << key;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(frame.queuedCost("newkeys"), 0u);
    {
        std::lock_guard<std::mutex> lock(frame.dataMutex);
        EXPECT_TRUE(frame.dataQueues.empty());
    }

    // The next connection is served as before.
    const int next = open("afterwards");
    deliver(next, "reader_ready", "yes");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(frame.waitForData("afterwards", "reader_ready", value, 0));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(value, "yes");
}

TEST_F(LinkTest, FrameInOneByteSegmentsIsQueuedIntact) {
    const int fd = open("trickle");
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string bytes = frameBytes("reader_ready", "value in pieces") + frameBytes("second", "2");
    for (char b : bytes) {
        ASSERT_TRUE(FakePeer::send(fd, std::string(1, b)));
        std::this_thread::sleep_for(milliseconds(1));
    }
    std::string value;
    EXPECT_TRUE(frame.waitForData("trickle", "reader_ready", value, 5000));
    EXPECT_EQ(value, "value in pieces");
    EXPECT_TRUE(frame.waitForData("trickle", "second", value, 5000));
    EXPECT_EQ(value, "2");
}

TEST_F(LinkTest, EmptyKeyValueOrIdAreRefusedBeforeSending) {
    const int fd = open("strict");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(frame.sendData("strict", "", "v"));
    EXPECT_FALSE(frame.sendData("strict", "k", ""));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Send refused (empty key)\nSend refused (empty value)\n");
    EXPECT_TRUE(FakePeer::silent(fd, 100)) << "nothing may reach the wire";
    // The stream is still framed: a proper message follows intact.
    EXPECT_TRUE(frame.sendData("strict", "k", "v"));
    std::string bytes;
    ASSERT_TRUE(FakePeer::readExact(fd, bytes, 10));
    EXPECT_EQ(bytes, frameBytes("k", "v"));

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(frame.createConnection(""));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Creating connection with ID: \n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid connection ID: the ID is empty\n");
    EXPECT_EQ(peer.accept(100), -1);
}

TEST(LinkIo, SendToClosedPeerFailsWithoutSignal) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::close(sv[1]);
    errno = 0;
    EXPECT_FALSE(harness_io::sendAll(sv[0], "abc", 3));
    EXPECT_EQ(errno, EPIPE);
    ::close(sv[0]);
}

TEST_F(LinkTest, SendAfterPeerResetFailsAndProcessSurvives) {
    const int fd = open("reset");
    peer.close(fd, /*reset=*/true);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) {
        failed = !frame.sendData("reset", "k", std::string(4096, 'v'));
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failed);
    EXPECT_TRUE(waitUntil([&] { return !isOpen("reset"); }));
}

TEST_F(LinkTest, ReopenUnderSameIdSurvivesEndOfOlderConnection) {
    const int first = open("same");
    deliver(first, "from", "first");
    const int second = open("same");
    peer.close(first);
    // Give the older receiver time to see the end; the newer entry must stay
    // and keep working.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(isOpen("same"));
    EXPECT_TRUE(frame.sendData("same", "k", "v"));
    std::string bytes;
    ASSERT_TRUE(FakePeer::readExact(second, bytes, 10));
    EXPECT_EQ(bytes, frameBytes("k", "v"));

    deliver(second, "from", "second");
    std::string value;
    EXPECT_TRUE(frame.waitForData("same", "from", value, 0));
    EXPECT_EQ(value, "first");
    EXPECT_TRUE(frame.waitForData("same", "from", value, 0));
    EXPECT_EQ(value, "second");

    // Opening and closing more connections reuses descriptor numbers; the
    // entry must still refer to the second connection.
    for (int i = 0; i < 5; ++i) {
        const int other = open("other");
        frame.destroyConnection("other");
        EXPECT_TRUE(FakePeer::seesEof(other));
        peer.close(other);
    }
    EXPECT_TRUE(frame.sendData("same", "again", "v"));
    ASSERT_TRUE(FakePeer::readExact(second, bytes, 14));
    EXPECT_EQ(bytes, frameBytes("again", "v"));
}

TEST_F(LinkTest, MessageQueuedBeforeDestroyIsStillTaken) {
    const int fd = open("kept");
    deliver(fd, "done", "yes");
    frame.destroyConnection("kept");
    std::string value;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(frame.waitForData("kept", "done", value, 1000));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Data received from connection ID: kept, key: done, value: yes\n");
    EXPECT_EQ(value, "yes");
}

TEST_F(LinkTest, WaitTakesQueuedMessageAtOnce) {
    const int fd = open("A");
    deliver(fd, "reader_ready", "default");
    std::string value = "untouched";
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    EXPECT_TRUE(frame.waitForData("A", "reader_ready", value, 10000));
    EXPECT_LT(msSince(start), 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Data received from connection ID: A, key: reader_ready, value: default\n");
    EXPECT_EQ(value, "default");
    EXPECT_EQ(queued("reader_ready"), 0u);
}

TEST_F(LinkTest, WaitTakesMessageArrivingDuringTheWait) {
    const int fd = open("A");
    std::thread sender([fd] {
        std::this_thread::sleep_for(milliseconds(200));
        FakePeer::send(fd, frameBytes("filter_check_done", "v1"));
    });
    std::string value;
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    const bool got = frame.waitForData("A", "filter_check_done", value, 10000);
    const auto elapsed = msSince(start);
    sender.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(value, "v1");
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Waiting for data from connection ID: A, key: filter_check_done\n");
}

TEST_F(LinkTest, WaitsTimeOutOnTheSteadyClock) {
    open("A");
    struct Case {
        int limit;
        long long minMs;
        long long maxMs;
    };
    for (const Case c : {Case{0, 0, 50}, Case{-5, 0, 50}, Case{300, 300, 1500}}) {
        SCOPED_TRACE(c.limit);
        std::string value = "untouched";
        testing::internal::CaptureStdout();
        const auto start = Clock::now();
        EXPECT_FALSE(frame.waitForData("A", "nothing", value, c.limit));
        const auto elapsed = msSince(start);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LT(elapsed, c.maxMs);
        EXPECT_EQ(value, "untouched");
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Waiting for data from connection ID: A, key: nothing\n");
    }
}

TEST_F(LinkTest, OtherConnectionsMessagesAreNotTaken) {
    const int a = open("A");
    const int b = open("B");
    (void)a;
    deliver(b, "reader_matched", "b1");
    std::string value;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(frame.waitForData("A", "reader_matched", value, 100));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(queueValues("reader_matched"), std::vector<std::string>{"B:b1"});
}

// Arrival order of (connection, value) pairs, the waits in order, and what
// each wait must take: the oldest message of the wanted connection.
struct OrderCase {
    std::vector<std::pair<char, std::string>> arrivals;
    std::vector<std::pair<char, std::string>> waits;
};

TEST_F(LinkTest, WaitsTakeEachConnectionsOldestMessage) {
    const std::vector<OrderCase> cases = {
        {{{'A', "a1"}, {'A', "a2"}, {'B', "b1"}}, {{'B', "b1"}, {'A', "a1"}, {'A', "a2"}}},
        {{{'A', "a1"}, {'B', "b1"}, {'A', "a2"}}, {{'B', "b1"}, {'A', "a1"}, {'A', "a2"}}},
        {{{'B', "b1"}, {'A', "a1"}, {'B', "b2"}, {'A', "a2"}},
         {{'A', "a1"}, {'B', "b1"}, {'A', "a2"}, {'B', "b2"}}},
    };
    const int a = open("A");
    const int b = open("B");
    for (const OrderCase& c : cases) {
        for (const auto& [conn, v] : c.arrivals) {
            deliver(conn == 'A' ? a : b, "reader_matched", v);
        }
        testing::internal::CaptureStdout();
        for (const auto& [conn, expected] : c.waits) {
            std::string value;
            EXPECT_TRUE(frame.waitForData(std::string(1, conn), "reader_matched", value, 0));
            EXPECT_EQ(value, expected);
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(queued("reader_matched"), 0u);
    }
    // The rest of the queue keeps its order after a take from its middle.
    deliver(a, "k", "a1");
    deliver(b, "k", "b1");
    deliver(a, "k", "a2");
    deliver(b, "k", "b2");
    std::string value;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(frame.waitForData("B", "k", value, 0));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(queueValues("k"), (std::vector<std::string>{"A:a1", "A:a2", "B:b2"}));
}

// Runs a wait on another thread; if it has not ended after 5 s, stops the
// link so that the waiter is released, and reports the hang.
bool boundedWait(TestFrame& frame, const std::string& id, const std::string& key, int limit,
                 std::string& value, long long& elapsedMs) {
    const auto start = Clock::now();
    auto result = std::async(std::launch::async,
                             [&] { return frame.waitForData(id, key, value, limit); });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the wait for " << id << "/" << key << " did not end";
        frame.running = false;
        while (result.wait_for(milliseconds(10)) != std::future_status::ready) {
            frame.dataCondition.notify_all();
        }
    }
    elapsedMs = msSince(start);
    return result.get();
}

TEST_F(LinkTest, EndOfConnectionWakesItsWaiter) {
    const int fd = open("lost");
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        peer.close(fd);
    });
    std::string value = "untouched";
    long long elapsed = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(boundedWait(frame, "lost", "wait_for_completion", -1, value, elapsed));
    closer.join();
    EXPECT_EQ(value, "untouched");
    // Waits on an id whose connection has ended, or that never had one, do
    // not block either.
    for (const char* id : {"lost", "never"}) {
        for (int limit : {-1, 10000}) {
            EXPECT_FALSE(boundedWait(frame, id, "wait_for_completion", limit, value, elapsed));
            EXPECT_LT(elapsed, 500) << id << " " << limit;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Waiting for data from connection ID: lost, key: wait_for_completion\n"
              "Waiting for data from connection ID: lost, key: wait_for_completion\n"
              "Waiting for data from connection ID: lost, key: wait_for_completion\n"
              "Waiting for data from connection ID: never, key: wait_for_completion\n"
              "Waiting for data from connection ID: never, key: wait_for_completion\n");
}

TEST_F(LinkTest, WaitEndsWhenLinkStops) {
    open("A");
    frame.running = false;
    std::string value;
    long long elapsed = 0;
    EXPECT_FALSE(boundedWait(frame, "A", "k", -1, value, elapsed));
    EXPECT_LT(elapsed, 500);
}

TEST_F(LinkTest, ConnectionMadeWhileStoppedIsDropped) {
    frame.running = false;
    EXPECT_TRUE(frame.createConnection("stopped"));
    const int fd = peer.accept();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(FakePeer::seesEof(fd));
    EXPECT_TRUE(waitUntil([&] { return !isOpen("stopped"); }));
}

TEST(LinkLifetime, DestructorStopsBlockedReceivers) {
    FakePeer peer;
    std::vector<int> peerSides;
    const auto start = Clock::now();
    {
        TestFrame frame;
        frame.running = true;
        frame.serverAddress = "127.0.0.1";
        frame.serverPort = peer.port();
        for (const char* id : {"one", "two", "two", "three"}) {
            ASSERT_TRUE(frame.createConnection(id));
            peerSides.push_back(peer.accept());
        }
        frame.destroyConnection("three");
    }
    EXPECT_LT(msSince(start), 3000);
    for (int fd : peerSides) {
        EXPECT_TRUE(FakePeer::seesEof(fd, 1000));
    }
}

TEST(LinkLifetimeDeathTest, SingletonWithOpenConnectionsExitsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FakePeer peer;
            TestFrame& frame = TestFrame::getInstance();
            frame.running = true;
            frame.serverAddress = "127.0.0.1";
            frame.serverPort = peer.port();
            frame.createConnection("exit_a");
            frame.createConnection("exit_b");
            peer.accept();
            peer.accept();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(LinkSingleton, GetInstanceIsStable) {
    TestFrame& a = TestFrame::getInstance();
    EXPECT_EQ(&a, &TestFrame::getInstance());
    EXPECT_EQ(a.mode, 0);
    EXPECT_EQ(a.serverPort, 0);
    EXPECT_TRUE(a.serverAddress.empty());
    EXPECT_FALSE(a.running);
}

}  // namespace
