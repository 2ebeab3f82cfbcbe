#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "peer/wire.h"

namespace peer {

std::string errno_text(int e) { return std::to_string(e) + " (" + std::strerror(e) + ")"; }

namespace {

// execv's argument vector over args (which must outlive it).
std::vector<char*> argv_of(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// fork() with nothing buffered in the streams, which the child would write again.
pid_t fork_flushed() {
    std::cout.flush();
    std::cerr.flush();
    return ::fork();
}

}  // namespace

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Runs argv, returning its standard output; false when it cannot be run, does
// not end within timeout_ms, or exits with a non-zero status.
bool capture_output(const std::vector<std::string>& args, int timeout_ms, std::string& out, std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = "pipe failed, error: " + errno_text(errno);
        return false;
    }
    std::vector<char*> argv = argv_of(args);
    pid_t pid = fork_flushed();
    if (pid < 0) {
        error = "fork failed, error: " + errno_text(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    const std::int64_t deadline = now_ms() + timeout_ms;
    bool timed_out = false;
    for (;;) {
        std::int64_t left = deadline - now_ms();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > (8u << 20)) {
            timed_out = true;  // runaway output: treat like a hang
            break;
        }
    }
    ::close(fds[0]);
    if (timed_out) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out) {
        error = args[0] + " did not finish within " + std::to_string(timeout_ms) + " ms";
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = args[0] + " failed (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

TestProcess start_test_process(std::vector<std::string> args, int fd) {
    TestProcess t;
    int hold[2] = {-1, -1};
    if (::pipe2(hold, O_CLOEXEC | O_NONBLOCK) == 0) {
        args.push_back("--peer_hold_fd=4");
    } else {
        t.hold_failed = true;
        t.hold_error = "pipe failed, error: " + errno_text(errno);
    }
    std::vector<char*> argv = argv_of(args);
    pid_t pid = fork_flushed();
    if (pid < 0) {
        int e = errno;
        close_fd(hold[0]);
        close_fd(hold[1]);
        ::close(fd);
        t.error = "could not start the test, fork error " + errno_text(e);
        return t;
    }
    if (pid == 0) {
        // Own process group, so that a hung test is stopped with everything it started.
        ::setpgid(0, 0);
        if (hold[1] >= 0) {
            // Out of the way of descriptor 3 first, then into place.
            int h = ::fcntl(hold[1], F_DUPFD, 5);
            if (fd != 3) ::dup2(fd, 3);
            ::dup2(h, 4);
            ::fcntl(4, F_SETFD, 0);
            // The test marks its hold descriptor close-on-exec itself; the
            // read end must not reach the test at all.
            ::close_range(5, ~0u, 0);
        } else {
            if (fd != 3) ::dup2(fd, 3);
            ::close_range(4, ~0u, 0);
        }
        ::fcntl(3, F_SETFD, 0);
        ::execv(argv[0], argv.data());
        static const char msg[] = "[dds_peer] exec of the tests binary failed\n";
        [[maybe_unused]] ssize_t n = ::write(2, msg, sizeof msg - 1);
        _exit(127);
    }
    ::setpgid(pid, pid);
    ::close(fd);
    close_fd(hold[1]);
    t.pid = pid;
    t.hold_fd = hold[0];
    return t;
}

}  // namespace peer
