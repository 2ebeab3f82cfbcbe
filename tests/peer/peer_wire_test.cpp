// Framing, id recognition and the negative tests' link, without a dispatcher.
#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "dispatcher.h"
#include "peer/peer_link.h"
#include "peer/wire.h"

using peer::FrameDecoder;
using peer::Message;
using peer::PreambleState;

namespace {

std::string be32(std::uint32_t v) {
    return {char(v >> 24), char((v >> 16) & 0xff), char((v >> 8) & 0xff), char(v & 0xff)};
}

}  // namespace

TEST(PeerWire, EncodesStartDefaultByteForByte) {
    auto f = peer::encode_frame("start", "default");
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, std::string("\0\0\0\x05start\0\0\0\x07" "default", 20));
    EXPECT_FALSE(peer::encode_frame("", "default"));
    EXPECT_FALSE(peer::encode_frame("key", ""));
}

// The same two messages fed in every split: whole, byte by byte, and cut
// inside each field.
TEST(PeerWire, DecodesAcrossAnySplit) {
    std::string stream = *peer::encode_frame("reader_ready", "default") + *peer::encode_frame("k", std::string(300, 'v'));
    for (std::size_t chunk : {stream.size(), std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(5),
                              std::size_t(13), std::size_t(17)}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        FrameDecoder d;
        std::vector<Message> got;
        for (std::size_t pos = 0; pos < stream.size(); pos += chunk) {
            ASSERT_TRUE(d.feed(stream.data() + pos, std::min(chunk, stream.size() - pos)));
            while (d.has_message()) got.push_back(d.pop());
        }
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].key, "reader_ready");
        EXPECT_EQ(got[0].value, "default");
        EXPECT_EQ(got[1].key, "k");
        EXPECT_EQ(got[1].value, std::string(300, 'v'));
        EXPECT_FALSE(d.mid_message());
    }
}

TEST(PeerWire, RejectsZeroAndOversizeLengths) {
    struct Case {
        const char* what;
        std::string bytes;
        std::size_t messages_before;
    };
    const std::string good = *peer::encode_frame("a", "b");
    const std::vector<Case> cases = {
        {"zero key length", be32(0), 0},
        {"zero value length", be32(1) + "k" + be32(0), 0},
        {"key over the bound", be32(peer::kMaxFieldBytes + 1), 0},
        {"value at 2^32-1", be32(1) + "k" + be32(0xffffffffu), 0},
        {"bad frame after a good one", good + be32(0), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameDecoder d;
        EXPECT_FALSE(d.feed(c.bytes.data(), c.bytes.size()));
        EXPECT_TRUE(d.failed());
        std::size_t n = 0;
        while (d.has_message()) {
            d.pop();
            ++n;
        }
        EXPECT_EQ(n, c.messages_before);
        // A broken stream stays broken.
        EXPECT_FALSE(d.feed(good.data(), good.size()));
        EXPECT_FALSE(d.has_message());
    }
    // Exactly at the bound is accepted.
    FrameDecoder d(8);
    std::string at = be32(8) + "12345678" + be32(1) + "v";
    EXPECT_TRUE(d.feed(at.data(), at.size()));
    EXPECT_TRUE(d.has_message());
}

TEST(PeerPreamble, ClassifiesAgainstExpectedIds) {
    const std::vector<std::string> ids = {"active_connection", "Deadline", "DeadlineQosPolicy"};
    struct Case {
        const char* got;
        PreambleState want;
    };
    const Case cases[] = {
        {"", PreambleState::NeedMore},
        {"active_", PreambleState::NeedMore},
        {"active_connection", PreambleState::Match},
        {"active_connectionX", PreambleState::NoMatch},
        {"Dead", PreambleState::NeedMore},
        {"Deadline", PreambleState::Ambiguous},
        {"DeadlineQ", PreambleState::NeedMore},
        {"DeadlineQosPolicy", PreambleState::Match},
        {"Other", PreambleState::NoMatch},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(peer::classify_preamble(c.got, ids), c.want) << "bytes \"" << c.got << "\"";
    }
}

class PeerLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        link_ = std::make_unique<peer::PeerLink>(fds_[0], "Conn");
    }
    void TearDown() override {
        link_.reset();
        if (fds_[1] >= 0) ::close(fds_[1]);
    }
    void put(const std::string& k, const std::string& v) { ASSERT_TRUE(peer::send_message(fds_[1], k, v)); }
    int fds_[2] = {-1, -1};
    std::unique_ptr<peer::PeerLink> link_;
};

TEST_F(PeerLinkTest, WaitTakesItsKeyAndLeavesOthersInOrder) {
    put("b", "1");
    put("a", "x");
    put("b", "2");
    // Looking without waiting leaves what is queued for the wait.
    EXPECT_TRUE(link_->queued("a"));
    EXPECT_FALSE(link_->queued("c"));
    std::string v;
    EXPECT_TRUE(link_->wait("a", 1000, &v));
    EXPECT_EQ(v, "x");
    EXPECT_FALSE(link_->queued("a"));
    auto m = link_->next(1000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->value, "1");
    EXPECT_TRUE(link_->wait("b", 1000, &v));
    EXPECT_EQ(v, "2");
}

TEST_F(PeerLinkTest, WaitTimesOutAndEndsWithTheConnection) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(link_->wait("missing", 200));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 2000);

    // A message that arrives during the wait is taken; a close ends a wait without limit.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        put("late", "v");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::close(fds_[1]);
        fds_[1] = -1;
    });
    EXPECT_TRUE(link_->wait("late", 5000));
    EXPECT_FALSE(link_->wait("never", -1));
    EXPECT_TRUE(link_->ended());
    late.join();
}

TEST_F(PeerLinkTest, SendFramesExactlyAndFailsAfterClose) {
    EXPECT_TRUE(link_->ready());
    char buf[64];
    ssize_t n = ::recv(fds_[1], buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? std::size_t(n) : 0u),
              std::string("\0\0\0\x13" "wait_for_completion\0\0\0\x07" "default", 34));
    ::close(fds_[1]);
    fds_[1] = -1;
    // The first send into a closed socket may still be buffered; a later one fails without SIGPIPE.
    bool any_failed = false;
    for (int i = 0; i < 5 && !any_failed; ++i) any_failed = !link_->send("k", "v");
    EXPECT_TRUE(any_failed);
}

// What the peer's log shows of the values it sends and takes: text as it is,
// anything else (an instance handle's bytes) in hex, never raw.
TEST_F(PeerLinkTest, LogShowsValuesThatAreNotTextInHex) {
    const std::string handle("\x01\x00\xff\x7f\n ab", 8);
    put("writer_handle", handle);
    put("plain", "text value");
    testing::internal::CaptureStdout();
    std::string v;
    EXPECT_TRUE(link_->wait("writer_handle", 1000, &v));
    EXPECT_TRUE(link_->wait("plain", 1000));
    EXPECT_TRUE(link_->send("echo", handle));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(v, handle) << "the value itself is untouched";
    EXPECT_NE(log.find("[peer Conn] received writer_handle = hex:0100ff7f0a206162\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[peer Conn] received plain = text value\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[peer Conn] send echo = hex:0100ff7f0a206162\n"), std::string::npos) << log;
    EXPECT_EQ(log.find('\xff'), std::string::npos) << "raw bytes in the log";
    EXPECT_EQ(peer::shown_value(""), "");
}

// A positive side that floods the test's connection with what the test never
// takes (here one-byte values under ever new keys): each message is charged
// what it holds, and past the limit the test fails and the connection ends,
// instead of the process growing by some hundred bytes a message for as
// long as the flood lasts. What was queued before stays to be taken.
TEST_F(PeerLinkTest, AFloodTheTestDoesNotTakeFailsItAndEndsTheConnection) {
    put("first", "kept");
    std::atomic<int> sent{0};
    std::thread flooder([&] {
        std::string batch;
        for (int i = 0; i < 2000000; ++i) {
            batch += *peer::encode_frame("k" + std::to_string(i), "x");
            if (batch.size() >= (64u << 10)) {
                if (!peer::write_all(fds_[1], batch.data(), batch.size(), 5000)) return;
                batch.clear();
                sent = i + 1;
            }
        }
    });
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(link_->wait("never sent", 30000)), "the positive side sent more than the test took");
    flooder.join();
    EXPECT_TRUE(link_->ended());
    EXPECT_LT(sent, 2000000) << "the whole flood was taken in";
    testing::internal::CaptureStdout();
    std::string v;
    EXPECT_TRUE(link_->wait("first", 0, &v));
    EXPECT_EQ(v, "kept");
    EXPECT_TRUE(link_->wait("k0", 0));
    testing::internal::GetCapturedStdout();
}
