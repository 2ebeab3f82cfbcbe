// dds_peer: the negative side of the suite. Listens for the positive side's
// connections and runs the negative test named by each "sync".
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <unistd.h>

#include "dispatcher.h"

namespace {

peer::Dispatcher* g_dispatcher = nullptr;

void on_signal(int) {
    if (g_dispatcher) g_dispatcher->request_stop();
}

void usage() {
    std::cerr << "usage: dds_peer [options]\n"
                 "  --port=N               TCP port on 127.0.0.1 (default 12345; 0 picks one)\n"
                 "  --tests=PATH           binary holding the negative tests (default: dds_peer_tests beside dds_peer)\n"
                 "  --report-dir=DIR       per-test googletest XML reports and the record of the verdicts,\n"
                 "                         verdicts.tsv (default: a new directory in /tmp)\n"
                 "  --junit=FILE           JUnit XML report of the whole run\n"
                 "  --max-seconds=N        lifetime of the peer (default 3600)\n"
                 "  --test-timeout=N       lifetime of one negative test in seconds (default 300)\n"
                 "  --connect-timeout-ms=N time from a sync to its test's connection (default 15000)\n"
                 "  --keep-running         do not stop when the control connection closes\n";
}

bool int_arg(const std::string& arg, const char* name, int& out) {
    std::string prefix = std::string(name) + "=";
    if (arg.rfind(prefix, 0) != 0) return false;
    char* end = nullptr;
    long v = std::strtol(arg.c_str() + prefix.size(), &end, 10);
    if (end == arg.c_str() + prefix.size() || *end != '\0' || v < 0 || v > INT_MAX) {
        std::cerr << "dds_peer: bad value in " << arg << std::endl;
        std::exit(2);
    }
    out = static_cast<int>(v);
    return true;
}

std::string beside_self(const char* name) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return name;
    std::string self(buf, static_cast<std::size_t>(n));
    auto slash = self.rfind('/');
    return self.substr(0, slash + 1) + name;
}

}  // namespace

int main(int argc, char** argv) {
    peer::DispatcherOptions opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (int_arg(a, "--port", opt.port) || int_arg(a, "--max-seconds", opt.max_seconds) ||
            int_arg(a, "--test-timeout", opt.test_timeout_s) ||
            int_arg(a, "--connect-timeout-ms", opt.connect_timeout_ms)) {
            continue;
        }
        if (a.rfind("--tests=", 0) == 0) {
            opt.tests_binary = a.substr(8);
        } else if (a.rfind("--report-dir=", 0) == 0) {
            opt.report_dir = a.substr(13);
        } else if (a.rfind("--junit=", 0) == 0) {
            opt.junit_path = a.substr(8);
        } else if (a == "--keep-running") {
            opt.exit_when_control_closes = false;
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else {
            std::cerr << "dds_peer: unknown option " << a << std::endl;
            usage();
            return 2;
        }
    }
    if (opt.port > 65535) {
        std::cerr << "dds_peer: port out of range" << std::endl;
        return 2;
    }
    if (opt.tests_binary.empty()) opt.tests_binary = beside_self("dds_peer_tests");

    peer::Dispatcher dispatcher(opt);
    std::string error;
    if (!dispatcher.start(&error)) {
        std::cerr << "[dds_peer] " << error << std::endl;
        return 2;
    }
    g_dispatcher = &dispatcher;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int rc = dispatcher.run();
    g_dispatcher = nullptr;
    return rc;
}
