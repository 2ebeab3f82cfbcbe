// The negative tests' processes: a command's output captured, and a test
// started in a process group of its own on its connection.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace peer {

std::string errno_text(int e);

void close_fd(int& fd);

// Runs argv, returning its standard output; false when it cannot be run, does
// not end within timeout_ms, or exits with a non-zero status.
bool capture_output(const std::vector<std::string>& args, int timeout_ms, std::string& out, std::string& error);

struct TestProcess {
    pid_t pid = -1;     // -1 when it could not be started (error says why)
    int hold_fd = -1;   // read end of its hold pipe; -1 when it has none
    bool hold_failed = false;  // the hold pipe could not be made (hold_error says why)
    std::string error;
    std::string hold_error;
};

// Starts args (the tests binary and its flags) in a process group of its own,
// with the test's connection fd as descriptor 3 and, when a pipe can be made,
// the write end of its hold pipe as descriptor 4 ("--peer_hold_fd=4" is then
// appended to args). fd is closed here in any case.
TestProcess start_test_process(std::vector<std::string> args, int fd);

}  // namespace peer
