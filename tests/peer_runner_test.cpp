// run_suite.sh end to end with a small positive side (peer_selftest_positive)
// on an ephemeral port: verdicts of both sides, exit status, time limit.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct SuiteRun {
    int status = -1;
    std::string out;
    std::string merged;  // the merged JUnit report, suite.xml
    bool kept_foreign_file = false;  // a file of someone else's in the results directory survived
    double seconds = 0;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

SuiteRun run_suite(const std::string& mode, const std::string& extra) {
    char dir[] = "/tmp/peer_runner_test.XXXXXX";
    SuiteRun r;
    if (!::mkdtemp(dir)) return r;
    const std::string log = std::string(dir) + "/out.txt";
    const std::string foreign = std::string(dir) + "/results/notes.txt";
    std::filesystem::create_directories(std::string(dir) + "/results");
    std::ofstream(foreign) << "not the runner's\n";
    const std::string cmd = "PEER_SELFTEST_MODE=" + mode + " timeout 120 " RUN_SUITE_SCRIPT " --no-build --build-dir " +
                            PEER_BUILD_DIR " --port 0 --positive " PEER_SELFTEST_POSITIVE " --results " +
                            std::string(dir) + "/results " + extra + " > " + log + " 2>&1";
    const auto t0 = std::chrono::steady_clock::now();
    int st = std::system(cmd.c_str());
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(log);
    r.merged = slurp(std::string(dir) + "/results/suite.xml");
    r.kept_foreign_file = std::filesystem::exists(foreign);
    std::filesystem::remove_all(dir);
    return r;
}

bool has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

}  // namespace

TEST(PeerRunner, ReportsBothSidesAndFailsOnEitherSide) {
    struct Case {
        const char* mode;
        int status;
        std::vector<std::string> lines;
        const char* merged_totals;  // both sides in one JUnit report
    };
    const Case cases[] = {
        {"pass", 0,
         {"PeerSelfTestPositive.ENABLED_EchoPositive", "PASSED PeerSelfTestNegative.ENABLED_EchoNegative",
          "positive side: 2 run, 2 passed, 0 failed", "peer side:     2 run, 2 passed, 0 failed", "RESULT: PASSED"},
         "tests=\"4\" failures=\"0\""},
        // The counterpart's check fails: it withholds "check_done", so the
        // positive test fails too, and the peer's report says why.
        {"wrong_check", 1,
         {"positive FAILED PeerSelfTestPositive.ENABLED_EchoPositive",
          "peer FAILED PeerSelfTestNegative.ENABLED_EchoNegative", "positive side: 2 run, 1 passed, 1 failed",
          "RESULT: FAILED"},
         "tests=\"4\" failures=\"2\""},
        // The counterpart crashes: the positive side's waits end, its next
        // test still runs and passes, and the run fails on the peer's verdict.
        {"crash", 1,
         {"peer CRASHED PeerSelfTestNegative.ENABLED_EchoNegative", "positive side: 2 run, 2 passed, 0 failed",
          "peer side:     2 run, 1 passed, 1 failed", "RESULT: FAILED"},
         "tests=\"4\" failures=\"1\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        SuiteRun r = run_suite(c.mode, "");
        EXPECT_EQ(r.status, c.status) << r.out;
        for (const auto& line : c.lines) EXPECT_TRUE(has(r.out, line)) << "missing \"" << line << "\" in\n" << r.out;
        EXPECT_TRUE(has(r.merged, std::string("<testsuites name=\"dds_suite\" ") + c.merged_totals)) << r.merged;
        EXPECT_TRUE(has(r.merged, "side=\"positive\"")) << r.merged;
        EXPECT_TRUE(has(r.merged, "side=\"peer\"")) << r.merged;
        EXPECT_TRUE(has(r.merged, "<testcase name=\"ENABLED_EchoNegative\" classname=\"PeerSelfTestNegative\""))
            << r.merged;
    }
}

TEST(PeerRunner, PassesGoogletestFlagsThrough) {
    SuiteRun r = run_suite("crash", "--gtest_filter=*EchoAgain*");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "positive side: 1 run, 1 passed")) << r.out;
    EXPECT_FALSE(has(r.out, "CRASHED")) << r.out;
    // The results directory is the caller's: only the runner's own files go.
    EXPECT_TRUE(r.kept_foreign_file);
}

TEST(PeerRunner, EndsAHungRunAtItsTimeLimit) {
    SuiteRun r = run_suite("hang", "--time-limit 3");
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "TIME LIMIT")) << r.out;
    EXPECT_LT(r.seconds, 60) << r.out;
}
