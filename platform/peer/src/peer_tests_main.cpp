// main of dds_peer_tests, the binary that holds the negative tests. dds_peer
// runs one test per process:
//   dds_peer_tests --gtest_filter=<test> --peer_fd=<fd> --peer_connection_id=<id>
//                  [--peer_hold_fd=<fd>] [--peer_max_seconds=<n>] ...
// "--peer_list" prints the registered tests, one "<name>\t<connection id>" a line.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "peer/peer_link.h"

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    int fd = -1;
    std::string connection_id;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--peer_list") {
            for (const auto& t : peer::negative_tests()) std::cout << t.name << '\t' << t.connection_id << '\n';
            std::cout.flush();
            return 0;
        }
        if (a.rfind("--peer_fd=", 0) == 0) {
            fd = std::atoi(a.c_str() + 10);
        } else if (a.rfind("--peer_max_seconds=", 0) == 0) {
            // A hard bound on this process, whatever becomes of the dispatcher.
            ::alarm(static_cast<unsigned>(std::atoi(a.c_str() + 19)));
        } else if (a.rfind("--peer_hold_fd=", 0) == 0) {
            peer::set_hold_fd(std::atoi(a.c_str() + 15));
        } else if (a.rfind("--peer_connection_id=", 0) == 0) {
            connection_id = a.substr(21);
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (fd >= 0) peer::set_link(fd, connection_id);
    int rest_argc = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    testing::InitGoogleTest(&rest_argc, rest.data());
    int rc = RUN_ALL_TESTS();
    // Whatever the test made in the domain is gone by now.
    peer::release_hold();
    const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
    bool passed = rc == 0 && unit.successful_test_count() > 0 && unit.skipped_test_count() == 0;
    if (peer::has_link() && rc == 0 && !passed) {
        std::cerr << "[peer] no negative test ran on connection \"" << connection_id << "\"" << std::endl;
        rc = 1;
    }
    // The positive side waits for "wait_for_completion" without a limit; a
    // test that never sent it is broken however its own checks went.
    if (passed && peer::has_link() && !peer::link().ready_sent()) {
        std::cerr << "[peer] the test passed without ever sending \"" << peer::kReadyKey << "\" on connection \""
                  << connection_id << "\"" << std::endl;
        passed = false;
        rc = peer::kExitNeverReady;
    }
    // A test that passed keeps its connection until the positive side is done
    // with it; a failed one closes it now, which ends the positive side's waits.
    if (passed && peer::has_link() && !peer::link().wait_closed(15000)) {
        std::cerr << "[peer] the positive side kept the connection open for 15 s after the test ended" << std::endl;
    }
    peer::reset_link();
    return rc;
}
