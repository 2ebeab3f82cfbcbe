// The executable's start-up, run as a process: the probe build of main, whose
// peer port has no listener, with two probe tests (one passes, one fails).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#ifndef HARNESS_MAIN_PROBE
#error "HARNESS_MAIN_PROBE must name the probe executable"
#endif

namespace {

struct ProbeRun {
    int status = -1;
    std::string out;
    std::string err;
    long long ms = 0;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ProbeRun runProbe(const std::string& args) {
    char dir[] = "/tmp/harness_main_testXXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return {};
    }
    const std::string out = std::string(dir) + "/out";
    const std::string err = std::string(dir) + "/err";
    const std::string cmd = std::string("'") + HARNESS_MAIN_PROBE + "' " + args + " >" + out + " 2>" + err;
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    ProbeRun run;
    run.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                 .count();
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    run.out = slurp(out);
    run.err = slurp(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    ::rmdir(dir);
    return run;
}

const char* const kConnectFailures =
    "Connect failed on attempt 1, error: 111\n"
    "Connect failed on attempt 2, error: 111\n"
    "Connect failed on attempt 3, error: 111\n"
    "Connect failed on attempt 4, error: 111\n"
    "Connect failed on attempt 5, error: 111\n"
    "Failed to connect after 5 attempts.\n";

const char* const kStartLines =
    "Mode: active\n"
    "Creating connection with ID: active_connection\n";

TEST(HarnessMain, ListFlagFirstTouchesNothingElse) {
    const ProbeRun run = runProbe("--gtest_list_tests");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "ProbeSuite.\n  Passes\n  Fails\n");
    EXPECT_EQ(run.err, "");
    EXPECT_LT(run.ms, 1000) << "no connection may be attempted";
}

TEST(HarnessMain, ListFlagLaterStillStartsTheLinkFirst) {
    const ProbeRun run = runProbe("--gtest_filter=ProbeSuite.Passes --gtest_list_tests");
    EXPECT_EQ(run.status, 0);
    // The filter is read only after the connection attempt, and then applies.
    EXPECT_EQ(run.out, std::string(kStartLines) + "ProbeSuite.\n  Passes\n");
    EXPECT_EQ(run.err, kConnectFailures);
    EXPECT_GE(run.ms, 5000);
}

TEST(HarnessMain, ExitStatusIsTheTestsResult) {
    struct Case {
        const char* filter;
        int status;
    };
    for (const Case c : {Case{"ProbeSuite.Passes", 0}, Case{"ProbeSuite.Fails", 1}}) {
        SCOPED_TRACE(c.filter);
        const ProbeRun run = runProbe(std::string("--gtest_filter=") + c.filter);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out.rfind(kStartLines, 0), 0u) << run.out;
        EXPECT_EQ(run.err, kConnectFailures);
    }
}

}  // namespace
