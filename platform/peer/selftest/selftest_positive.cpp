// A small positive side for the project's own tests of the peer and the
// runner: the suite's link (TestFrame) against dds_peer and its self-test
// counterpart, on the port given in DDS_PEER_PORT.
//
// PEER_SELFTEST_MODE chooses what the first test does:
//   pass (default)  a full exchange; both sides pass
//   wrong_check     sends a value the counterpart's check refuses
//   crash           makes the counterpart crash mid-test
//   hang            never finishes (for the runner's time limit)
//   abort           the positive side itself aborts mid-test (SIGABRT)
//   sigkill         the positive side is killed mid-test (SIGKILL, status 137)
//   kill_peer       a full exchange, then kills the peer (SIGKILL) whose pid
//                   the file PEER_SELFTEST_PEER_PID_FILE holds
// The second test always makes a full exchange, so that a run shows it goes on.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "TestFrame.h"

namespace {

constexpr const char* kId = "PeerSelfTestEcho";
constexpr const char* kSync = "PeerSelfTestNegative.ENABLED_EchoNegative";
constexpr int kWaitMs = 10000;

std::string mode() {
    const char* m = std::getenv("PEER_SELFTEST_MODE");
    return m ? m : "pass";
}

void full_exchange(const std::string& check_value) {
    TestFrame& tf = TestFrame::getInstance();
    std::string value;
    EXPECT_TRUE(tf.sendData(kId, "echo", "ping"));
    EXPECT_TRUE(tf.waitForData(kId, "echo_reply", value, kWaitMs));
    EXPECT_EQ(value, "ping");
    EXPECT_TRUE(tf.sendData(kId, "check", check_value));
    EXPECT_TRUE(tf.waitForData(kId, "check_done", value, 3000));
    EXPECT_TRUE(tf.sendData(kId, "finish"));
    EXPECT_TRUE(tf.waitForData(kId, "finish", value, kWaitMs));
}

void open_peer() {
    TestFrame& tf = TestFrame::getInstance();
    ASSERT_TRUE(tf.sendData("active_connection", "sync", kSync));
    ASSERT_TRUE(tf.createConnection(kId));
    EXPECT_TRUE(tf.waitForData(kId, "wait_for_completion", kWaitMs));
}

}  // namespace

TEST(PeerSelfTestPositive, ENABLED_EchoPositive) {
    open_peer();
    if (HasFatalFailure()) return;
    const std::string m = mode();
    if (m == "hang") {
        std::this_thread::sleep_for(std::chrono::seconds(600));
    } else if (m == "abort" || m == "sigkill") {
        std::cout << "about to stop in the middle of the test" << std::endl;
        std::raise(m == "abort" ? SIGABRT : SIGKILL);
    } else if (m == "crash") {
        TestFrame& tf = TestFrame::getInstance();
        std::string value;
        EXPECT_TRUE(tf.sendData(kId, "crash"));
        // The counterpart is gone: the wait ends with the connection, long before its limit.
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(tf.waitForData(kId, "echo_reply", value, kWaitMs));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    } else {
        full_exchange(m == "wrong_check" ? "wrong" : "expected");
    }
    TestFrame::getInstance().destroyConnection(kId);
    if (m == "kill_peer") {
        const char* file = std::getenv("PEER_SELFTEST_PEER_PID_FILE");
        ASSERT_NE(file, nullptr) << "PEER_SELFTEST_PEER_PID_FILE is not set";
        pid_t pid = 0;
        std::ifstream(file) >> pid;
        ASSERT_GT(pid, 1) << "no peer pid in " << file;
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        std::cout << "killed the peer (pid " << pid << ")" << std::endl;
    }
}

TEST(PeerSelfTestPositive, ENABLED_EchoAgainPositive) {
    open_peer();
    if (HasFatalFailure()) return;
    full_exchange("expected");
    TestFrame::getInstance().destroyConnection(kId);
}

int main(int argc, char** argv) {
    // Listing contacts no peer, as with the suite's own start-up.
    if (argc > 1 && std::string(argv[1]) == "--gtest_list_tests") {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    const char* port = std::getenv("DDS_PEER_PORT");
    if (!port) {
        std::cerr << "DDS_PEER_PORT is not set" << std::endl;
        return 2;
    }
    TestFrame& tf = TestFrame::getInstance();
    tf.running = true;
    tf.serverAddress = "127.0.0.1";
    tf.serverPort = std::atoi(port);
    tf.createConnection("active_connection");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
