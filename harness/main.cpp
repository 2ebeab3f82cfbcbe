#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <string>

#include "TestFrame.h"

// The peer's port as text; a build of the start-up for the harness's own tests
// points it at a port where nothing listens.
#ifndef HARNESS_PEER_PORT_TEXT
#define HARNESS_PEER_PORT_TEXT "12345"
#endif

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--gtest_list_tests") == 0) {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }

    const std::string mode = "active";
    const std::string port = HARNESS_PEER_PORT_TEXT;
    const std::string host = "127.0.0.1";

    std::cout << "Mode: " << mode << std::endl;

    TestFrame& tf = TestFrame::getInstance();
    const int serverPort = std::stoi(port);

    if (!tf.running) {
        tf.running = true;
        if (tf.mode == 0) {
            tf.serverAddress = host;
            tf.serverPort = serverPort;
            tf.createConnection("active_connection");
        }
    }

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
