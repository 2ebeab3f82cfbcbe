// Counterpart of the project's own framework tests (not one of the suite's).
// Once set up it answers, on its connection "PeerSelfTestEcho":
//   "echo" v   -> "echo_reply" v
//   "check" v  -> checks that v is "expected"; "check_done" only when it is
//   "crash"    -> aborts the process
//   "finish"   -> "finish", and the test ends
// It also ends when the positive side closes the connection.
#include <cstdlib>

#include "peer/peer_link.h"

PEER_TEST(PeerSelfTestNegative, ENABLED_EchoNegative, "PeerSelfTestEcho") {
    peer::PeerLink& link = peer::link();
    ASSERT_EQ(link.connection_id(), "PeerSelfTestEcho");
    ASSERT_TRUE(link.ready());
    for (;;) {
        auto m = link.next(peer::kWaitMs);
        if (!m) {
            EXPECT_TRUE(link.ended()) << "no message from the positive side within " << peer::kWaitMs << " ms";
            return;
        }
        if (m->key == "echo") {
            EXPECT_TRUE(link.send("echo_reply", m->value));
        } else if (m->key == "check") {
            EXPECT_EQ(m->value, "expected");
            if (m->value == "expected") {
                EXPECT_TRUE(link.send("check_done"));
            }
        } else if (m->key == "crash") {
            std::abort();
        } else if (m->key == "finish") {
            EXPECT_TRUE(link.send("finish"));
            return;
        } else {
            ADD_FAILURE() << "unexpected key " << m->key;
        }
    }
}

// A broken counterpart for the framework's tests: its own checks pass, but it
// never sends "wait_for_completion", so the positive side would wait in vain.
// The framework must fail it and close its connection at once.
PEER_TEST(PeerSelfTestNegative, ENABLED_NeverReadyNegative, "PeerSelfTestNeverReady") {
    EXPECT_EQ(peer::link().connection_id(), "PeerSelfTestNeverReady");
}

// Holds its (imagined) entities until the positive side sends "release",
// then says "released" and ends when the connection closes. The dispatcher
// must not start a later test while this one holds.
PEER_TEST(PeerSelfTestNegative, ENABLED_HoldNegative, "PeerSelfTestHold") {
    peer::PeerLink& link = peer::link();
    ASSERT_TRUE(link.ready());
    ASSERT_TRUE(link.wait("release", 2 * peer::kWaitMs));
    peer::release_hold();
    EXPECT_TRUE(link.send("released"));
}
