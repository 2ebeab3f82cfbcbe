// run_suite.sh end to end with a small positive side (peer_selftest_positive)
// on an ephemeral port: verdicts of both sides, exit status, time limit.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The self-test's tests and their counterpart, as the runner pairs them.
constexpr const char* kCatalogue =
    "suite\ttest\tstate\tnegative_test\tconnection_id\n"
    "PeerSelfTestPositive\tENABLED_EchoPositive\tenabled\tPeerSelfTestNegative.ENABLED_EchoNegative\tPeerSelfTestEcho\n"
    "PeerSelfTestPositive\tENABLED_EchoAgainPositive\tenabled\tPeerSelfTestNegative.ENABLED_EchoNegative\t"
    "PeerSelfTestEcho\n";

struct SuiteRun {
    int status = -1;
    std::string out;
    std::string merged;  // the merged JUnit report, suite.xml
    std::string schema_errors;  // xmllint's complaints about suite.xml; empty when it validates
    bool kept_foreign_file = false;  // a file of someone else's in the results directory survived
    std::string user_xml;  // what the positive side wrote where --gtest_output asked
    std::string peer_args;  // what a --peer-command wrapper was given (peer-args.txt)
    std::string peer_log;   // results/peer.log
    double seconds = 0;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs run_suite.sh against the self-test positive side. "@DIR@" in extra is
// replaced by the run's temporary directory; before runs ahead of the runner,
// given that directory and extra (to write scripts, start a peer).
SuiteRun run_suite(const std::string& mode, std::string extra,
                   const std::function<void(const std::string&, std::string&)>& before = nullptr) {
    char dir[] = "/tmp/peer_runner_test.XXXXXX";
    SuiteRun r;
    if (!::mkdtemp(dir)) return r;
    for (auto at = extra.find("@DIR@"); at != std::string::npos; at = extra.find("@DIR@")) extra.replace(at, 5, dir);
    if (before) before(dir, extra);
    const std::string log = std::string(dir) + "/out.txt";
    const std::string foreign = std::string(dir) + "/results/notes.txt";
    std::filesystem::create_directories(std::string(dir) + "/results");
    std::ofstream(foreign) << "not the runner's\n";
    std::ofstream(std::string(dir) + "/catalogue.tsv") << kCatalogue;
    const std::string cmd = "PEER_SELFTEST_MODE=" + mode + " PEER_SELFTEST_PEER_PID_FILE=" + dir +
                            "/peer.pid timeout 120 " RUN_SUITE_SCRIPT " --no-build --build-dir " +
                            PEER_BUILD_DIR " --port 0 --positive " PEER_SELFTEST_POSITIVE " --results " +
                            std::string(dir) + "/results --catalogue " + std::string(dir) + "/catalogue.tsv " +
                            extra + " > " + log + " 2>&1";
    const auto t0 = std::chrono::steady_clock::now();
    int st = std::system(cmd.c_str());
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(log);
    const std::string merged = std::string(dir) + "/results/suite.xml";
    r.merged = slurp(merged);
    if (!r.merged.empty()) {
        const std::string errors = std::string(dir) + "/schema.txt";
        // The project's schema and the Jenkins xunit-plugin's junit-10.xsd.
        for (const char* schema : {JUNIT_SCHEMA, JUNIT10_SCHEMA}) {
            const std::string check =
                std::string("xmllint --noout --schema ") + schema + " " + merged + " > " + errors + " 2>&1";
            if (std::system(check.c_str()) != 0) r.schema_errors += slurp(errors) + " (from " + check + ")";
        }
    }
    r.kept_foreign_file = std::filesystem::exists(foreign);
    r.user_xml = slurp(std::string(dir) + "/mine/positive-report.xml");
    r.peer_args = slurp(std::string(dir) + "/peer-args.txt");
    r.peer_log = slurp(std::string(dir) + "/results/peer.log");
    std::filesystem::remove_all(dir);
    return r;
}

bool has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

std::size_t count(const std::string& out, const std::string& text) {
    std::size_t n = 0;
    for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
}

// An executable shell script.
void write_script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// A peer wrapper for --peer-command: records its arguments and its pid, then
// becomes dds_peer.
void write_peer_wrapper(const std::string& dir, std::string&) {
    write_script(dir + "/peer.sh", "echo \"$@\" > " + dir + "/peer-args.txt\necho $$ > " + dir +
                                       "/peer.pid\nexec " DDS_PEER_BINARY " \"$@\"\n");
}

// One line of the output holds both texts.
bool line_has(const std::string& out, const std::string& a, const std::string& b) {
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (has(line, a) && has(line, b)) return true;
    }
    return false;
}

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
         {"positive side: 2 run, 2 passed, 0 failed", "peer side:     2 run, 2 passed, 0 failed", "RESULT: PASSED"},
         "tests=\"4\" failures=\"0\" errors=\"0\""},
        // The counterpart's check fails: it withholds "check_done", so the
        // positive test fails too, and the peer's report says why.
        {"wrong_check", 1,
         {"positive FAILED PeerSelfTestPositive.ENABLED_EchoPositive",
          "peer FAILED PeerSelfTestNegative.ENABLED_EchoNegative", "positive side: 2 run, 1 passed, 1 failed",
          "RESULT: FAILED"},
         "tests=\"4\" failures=\"2\" errors=\"0\""},
        // The counterpart crashes: the positive side's waits end, its next
        // test still runs and passes, and the run fails on the peer's verdict.
        {"crash", 1,
         {"peer CRASHED PeerSelfTestNegative.ENABLED_EchoNegative", "positive side: 2 run, 2 passed, 0 failed",
          "peer side:     2 run, 1 passed, 1 failed", "RESULT: FAILED"},
         "tests=\"4\" failures=\"0\" errors=\"1\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        SuiteRun r = run_suite(c.mode, "");
        EXPECT_EQ(r.status, c.status) << r.out;
        for (const auto& line : c.lines) EXPECT_TRUE(has(r.out, line)) << "missing \"" << line << "\" in\n" << r.out;
        // Each positive test is paired with its own counterpart's verdict, through the catalogue.
        EXPECT_TRUE(line_has(r.out, "PeerSelfTestPositive.ENABLED_EchoAgainPositive",
                             "PASSED PeerSelfTestNegative.ENABLED_EchoNegative"))
            << r.out;
        EXPECT_TRUE(has(r.merged, std::string("<testsuites name=\"dds_suite\" ") + c.merged_totals)) << r.merged;
        EXPECT_TRUE(has(r.merged, "<property name=\"side\" value=\"positive\" />")) << r.merged;
        EXPECT_TRUE(has(r.merged, "<property name=\"side\" value=\"peer\" />")) << r.merged;
        EXPECT_TRUE(has(r.merged, "<testcase name=\"ENABLED_EchoNegative\" classname=\"PeerSelfTestNegative\""))
            << r.merged;
        // The library judged, as the loader resolves it for the positive side.
        EXPECT_TRUE(has(r.merged, "<property name=\"library.sha256\" value=\"")) << r.merged;
        EXPECT_TRUE(has(r.out, "library under test: ")) << r.out;
        EXPECT_EQ(r.schema_errors, "");
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

// The positive side stops in the middle of a test: the report names the test
// with the reason and its last lines, lists what never ran, and fails. Only
// the runner's own limit is called a time-out.
TEST(PeerRunner, ReportsAPositiveSideThatStopsMidTest) {
    struct Case {
        const char* mode;
        const char* extra;
        const char* error;
        bool time_limit;
    };
    const Case cases[] = {
        {"abort", "", "<error message=\"killed by signal 6 (SIGABRT) during this test\" type=\"crash\">", false},
        {"sigkill", "", "<error message=\"killed by signal 9 (SIGKILL) during this test\" type=\"crash\">", false},
        {"hang", "--time-limit 3", "<error message=\"stopped at the time limit of 3 s during this test\" type=\"timeout\">",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        SuiteRun r = run_suite(c.mode, c.extra);
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_TRUE(has(r.out, "RESULT: FAILED")) << r.out;
        EXPECT_EQ(has(r.out, "TIME LIMIT"), c.time_limit) << r.out;
        EXPECT_LT(r.seconds, 60) << r.out;
        const auto at = r.merged.find("<testcase name=\"ENABLED_EchoPositive\"");
        ASSERT_NE(at, std::string::npos) << r.merged;
        const std::string running = r.merged.substr(at, r.merged.find("</testcase>", at) - at);
        EXPECT_TRUE(has(running, c.error)) << running;
        if (!c.time_limit) {
            EXPECT_TRUE(has(running, "about to stop in the middle of the test")) << running;
        }
        EXPECT_TRUE(has(r.merged, "<testcase name=\"ENABLED_EchoAgainPositive\""));
        EXPECT_TRUE(has(r.merged, "<skipped message=\"not run: the positive side stopped before this test\" />"))
            << r.merged;
        EXPECT_FALSE(has(r.merged, "errors=\"0\" disabled=\"0\" time")) << "root counts no error:\n" << r.merged;
        EXPECT_EQ(r.schema_errors, "");
    }
}

TEST(PeerRunner, HonoursTheCallersXmlOutputAndRefusesOtherFormats) {
    SuiteRun mine = run_suite("pass", "--gtest_output=xml:@DIR@/mine/positive-report.xml");
    EXPECT_EQ(mine.status, 0) << mine.out;
    EXPECT_TRUE(has(mine.user_xml, "<testcase name=\"ENABLED_EchoPositive\"")) << mine.user_xml;
    EXPECT_TRUE(has(mine.out, "positive side: 2 run, 2 passed")) << mine.out;

    SuiteRun json = run_suite("pass", "--gtest_output=json:@DIR@/report.json");
    EXPECT_EQ(json.status, 2) << json.out;
    EXPECT_TRUE(has(json.out, "reads the positive side's report as XML")) << json.out;
    EXPECT_LT(json.seconds, 10);
}

TEST(PeerRunner, RefusesWhatLooksLikeARunnerOptionButIsNone) {
    for (const char* bad : {"--bogus-option", "--peer-comand=x", "--verbos"}) {
        SCOPED_TRACE(bad);
        SuiteRun r = run_suite("pass", bad);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_TRUE(has(r.out, std::string("unknown option ") + bad)) << r.out;
        // The list of the runner's options comes with it.
        EXPECT_TRUE(has(r.out, "--peer-command CMD, --peer-running")) << r.out;
        EXPECT_FALSE(has(r.out, "RESULT:")) << "the suite ran:\n" << r.out;
    }
    // googletest's own flags still go through.
    SuiteRun r = run_suite("pass", "--gtest_filter=*EchoAgain* --gtest_brief=0");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "positive side: 1 run, 1 passed")) << r.out;
}

TEST(PeerRunner, StartsTheGivenPeerCommandWithThePeersArguments) {
    SuiteRun r = run_suite("pass", "--peer-command @DIR@/peer.sh", write_peer_wrapper);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "RESULT: PASSED")) << r.out;
    EXPECT_TRUE(has(r.out, "peer side:     2 run, 2 passed")) << r.out;
    for (const char* arg : {"--port=0", "--max-seconds=", "--junit=", "/results/peer.xml", "--report-dir=",
                            "--tests=" PEER_BUILD_DIR "/platform/peer/dds_peer_tests"}) {
        EXPECT_TRUE(has(r.peer_args, arg)) << arg << " missing from the peer's arguments: " << r.peer_args;
    }
    EXPECT_EQ(r.schema_errors, "");
}

// The peer dies in the middle of the run: both counterparts that were due
// still have their rows, as errors, and the run fails.
TEST(PeerRunner, APeerKilledMidRunLosesNoRow) {
    SuiteRun r = run_suite("kill_peer", "--peer-command @DIR@/peer.sh", write_peer_wrapper);
    EXPECT_EQ(r.status, 3) << r.out;  // the run broke
    EXPECT_TRUE(has(r.out, "RESULT: FAILED: the run broke")) << r.out;
    EXPECT_EQ(count(r.merged, "<testcase name=\"ENABLED_EchoNegative\" classname=\"PeerSelfTestNegative\""), 2u)
        << r.merged;
    // The first counterpart's verdict is kept when the peer gave it before it
    // was killed (it races with the kill); no other verdict came.
    const bool given = has(r.peer_log, "[dds_peer] PASSED PeerSelfTestNegative.ENABLED_EchoNegative");
    EXPECT_EQ(count(r.merged, "no verdict: the peer wrote no report"), given ? 2u : 4u) << r.merged;  // message and text
    EXPECT_TRUE(has(r.out, given ? "peer side:     1 run, 1 passed, 0 failed, 1 without a verdict"
                                 : "peer side:     0 run, 0 passed, 0 failed, 2 without a verdict"))
        << r.out;
    EXPECT_TRUE(line_has(r.out, "PeerSelfTestPositive.ENABLED_EchoPositive",
                         given ? "PASSED PeerSelfTestNegative" : "ERROR PeerSelfTestNegative"))
        << r.out;
    EXPECT_FALSE(has(r.merged, "1970-01-01")) << r.merged;
    EXPECT_EQ(r.schema_errors, "");
}

// A peer whose tests binary is a script that, as the peer starts its second
// counterpart, waits (at most 30 s) until `given` (a shell condition on
// $reports, the directory of the counterparts' reports) holds, runs `then`
// and kills the peer before the test can run.
static void write_peer_killed_at_second_counterpart(const std::string& dir, const std::string& given,
                                                    const std::string& then) {
    write_script(dir + "/peer.sh", "echo $$ > " + dir + "/peer.pid\nexec " DDS_PEER_BINARY " \"$@\" --tests=" +
                                       dir + "/tests.sh\n");
    write_script(dir + "/tests.sh",
                 "case \" $* \" in *\" --peer_list \"*) exec " PEER_TESTS_BINARY " \"$@\" ;; esac\n"
                 "echo started >> " + dir + "/started\n"
                 "[ \"$(wc -l < " + dir + "/started)\" -ge 2 ] || exec " PEER_TESTS_BINARY " \"$@\"\n"
                 "for a; do case \"$a\" in --gtest_output=xml:*) "
                 "reports=\"$(dirname \"${a#--gtest_output=xml:}\")\" ;; esac; done\n"
                 "i=0\nwhile [ $i -lt 600 ] && ! " + given + "; do sleep 0.05; i=$((i + 1)); done\n" + then +
                 "kill -9 \"$(cat " + dir + "/peer.pid)\"\nexit 1\n");
}

// A peer that keeps no record of its verdicts dies after its first one: that
// verdict stays in the report, taken from its log, the counterpart it never
// judged is an error, and the run broke. (The peer is killed as it starts
// the second counterpart, once its log holds the first verdict, and its
// record is removed first, as for a negative side that keeps none.)
TEST(PeerRunner, APeerThatDiesKeepsTheVerdictsItGave) {
    SuiteRun r = run_suite("pass", "--peer-command @DIR@/peer.sh", [](const std::string& dir, std::string&) {
        write_peer_killed_at_second_counterpart(
            dir, "grep -q '^\\[dds_peer\\] PASSED PeerSelfTestNegative' \"$reports/../peer.log\"",
            "rm -f \"$reports/verdicts.tsv\"\n");
    });
    EXPECT_EQ(r.status, 3) << r.out;
    ASSERT_TRUE(has(r.peer_log, "[dds_peer] PASSED PeerSelfTestNegative.ENABLED_EchoNegative")) << r.peer_log;
    EXPECT_TRUE(line_has(r.out, "PeerSelfTestPositive.ENABLED_EchoPositive", "PASSED PeerSelfTestNegative"))
        << r.out;
    EXPECT_TRUE(line_has(r.out, "PeerSelfTestPositive.ENABLED_EchoAgainPositive", "ERROR PeerSelfTestNegative"))
        << r.out;
    EXPECT_TRUE(has(r.out, "peer side:     1 run, 1 passed, 0 failed, 1 without a verdict")) << r.out;
    EXPECT_TRUE(has(r.merged, "<property name=\"ENABLED_EchoNegative.verdict_from\" value=\"peer.log\" />"))
        << r.merged;
    EXPECT_EQ(count(r.merged, "no verdict: the peer wrote no report"), 2u) << r.merged;
    EXPECT_EQ(r.schema_errors, "");
}

// The peer is killed as it starts the second counterpart, once it has given
// the first one's verdict (its tests binary is a script that kills it then,
// before the test can run): exactly that verdict stays, with the failure text
// of its counterpart's own report, and the counterpart never judged is an
// error.
TEST(PeerRunner, APeerKilledAfterAVerdictKeepsExactlyThatVerdict) {
    struct Case {
        const char* mode;
        const char* verdict;
        const char* text;  // of the counterpart's failure, from its report
        const char* peer_side;
    };
    const Case cases[] = {
        {"pass", "PASSED", nullptr, "peer side:     1 run, 1 passed, 0 failed, 1 without a verdict"},
        {"wrong_check", "FAILED", "Which is: \"wrong\"",
         "peer side:     1 run, 0 passed, 1 failed, 1 without a verdict"},
    };
    auto killing_peer = [](const std::string& dir, std::string&) {
        write_peer_killed_at_second_counterpart(
            dir, "grep -q '^1\tPeerSelfTestNegative' \"$reports/verdicts.tsv\"", "");
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        SuiteRun r = run_suite(c.mode, "--peer-command @DIR@/peer.sh", killing_peer);
        EXPECT_EQ(r.status, 3) << r.out;  // the run broke
        EXPECT_TRUE(line_has(r.out, "PeerSelfTestPositive.ENABLED_EchoPositive",
                             std::string(c.verdict) + " PeerSelfTestNegative.ENABLED_EchoNegative"))
            << r.out;
        EXPECT_TRUE(line_has(r.out, "PeerSelfTestPositive.ENABLED_EchoAgainPositive", "ERROR PeerSelfTestNegative"))
            << r.out;
        EXPECT_TRUE(has(r.out, c.peer_side)) << r.out;
        EXPECT_TRUE(has(r.out, "the 1 verdict(s) it gave before are taken from its record peer-reports/verdicts.tsv"))
            << r.out;
        EXPECT_TRUE(has(r.merged, "<property name=\"ENABLED_EchoNegative.verdict\" value=\"" + std::string(c.verdict) +
                                      "\" />"))
            << r.merged;
        EXPECT_EQ(count(r.merged, "no verdict: the peer wrote no report"), 2u) << r.merged;  // message and text
        if (c.text) {
            const auto at = r.merged.find("<failure message=\"FAILED: exit status 1");
            ASSERT_NE(at, std::string::npos) << r.merged;
            const std::string failure = r.merged.substr(at, r.merged.find("</failure>", at) - at);
            EXPECT_TRUE(has(failure, c.text)) << failure;
            EXPECT_TRUE(has(failure, "peer-reports/1-PeerSelfTestNegative.ENABLED_EchoNegative.xml")) << failure;
        }
        EXPECT_EQ(r.schema_errors, "");
    }
}

// A peer already listening: the runner starts none, and knows its verdicts
// only when the peer writes its report where the runner looks.
TEST(PeerRunner, UsesAPeerThatIsAlreadyRunning) {
    for (bool reports : {true, false}) {
        SCOPED_TRACE(reports ? "the peer writes results/peer.xml" : "the peer writes no report there");
        pid_t peer = -1;
        std::string port;
        auto start_peer = [&](const std::string& dir) {
            const std::string log = dir + "/own-peer.log";
            const std::string junit = reports ? " --junit=" + dir + "/results/peer.xml" : "";
            const std::string cmd = "exec " DDS_PEER_BINARY " --port=0 --max-seconds=100" + junit + " > " + log +
                                    " 2>&1";
            peer = ::fork();
            if (peer == 0) {
                ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            for (int i = 0; i < 300 && port.empty(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                const std::string text = slurp(log);
                const std::string mark = "listening on 127.0.0.1:";
                const auto at = text.find(mark);
                if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
                    port = text.substr(at + mark.size(), text.find('\n', at) - at - mark.size());
                }
            }
        };
        // A peer that writes no report is not waited for long (--peer-report-wait).
        SuiteRun r = run_suite("pass", reports ? "--peer-running --port " : "--peer-report-wait 1 --peer-running --port ",
                               [&](const std::string& dir, std::string& extra) {
                                   start_peer(dir);
                                   extra += port;
                               });
        if (peer > 0) {
            ::kill(peer, SIGKILL);
            ::waitpid(peer, nullptr, 0);
        }
        ASSERT_FALSE(port.empty());
        EXPECT_TRUE(has(r.out, "not started by this runner")) << r.out;
        if (reports) {
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(has(r.out, "peer side:     2 run, 2 passed")) << r.out;
        } else {
            // Never green by default: what the runner does not know, it says.
            EXPECT_EQ(r.status, 3) << r.out;
            EXPECT_TRUE(has(r.out, "RESULT: FAILED")) << r.out;
            EXPECT_EQ(count(r.merged, "<testcase name=\"ENABLED_EchoNegative\""), 2u) << r.merged;
            EXPECT_TRUE(has(r.merged, "not reported by this runner")) << r.merged;
        }
        EXPECT_EQ(r.schema_errors, "");
    }
}

// The time limit ends the positive side's whole process group: a wrapper's
// child that holds the output open does not keep the run going.
TEST(PeerRunner, TheTimeLimitEndsThePositiveSidesProcessGroup) {
    SuiteRun r = run_suite("hang", "--time-limit 3 --positive @DIR@/positive.sh", [](const std::string& dir, std::string&) {
        write_script(dir + "/positive.sh", PEER_SELFTEST_POSITIVE " \"$@\"\necho wrapper done\n");
    });
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_LT(r.seconds, 60) << r.out;
    EXPECT_TRUE(has(r.out, "TIME LIMIT")) << r.out;
    EXPECT_TRUE(has(r.out, "ended the positive side's process group")) << r.out;
    EXPECT_TRUE(has(r.out, "peer_selftest_p")) << "the group's members are named:\n" << r.out;
    EXPECT_TRUE(has(r.merged, "ended the positive side's process group")) << r.merged;
    EXPECT_EQ(r.schema_errors, "");
}

// A googletest flag that the positive side's googletest does not take is
// refused before anything runs, and named; one it takes though its help does
// not list it goes through. A filter that selects no test judges nothing.
TEST(PeerRunner, RefusesGoogletestFlagsItsGoogletestDoesNotTake) {
    struct Case {
        const char* flags;
        const char* says;
    };
    const Case cases[] = {
        {"--gtest_fliter=*Echo*", "googletest does not know --gtest_fliter=*Echo*"},
        {"--gtest_filter=*Echo* --gtest_bogus", "googletest does not know --gtest_bogus"},
        {"--gtest_repeat=twice", "googletest refuses --gtest_repeat=twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        SuiteRun r = run_suite("pass", c.flags);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_TRUE(has(r.out, c.says)) << r.out;
        EXPECT_FALSE(has(r.out, "RESULT:")) << "the suite ran:\n" << r.out;
    }
    SuiteRun fast = run_suite("pass", "--gtest_fail_fast");
    EXPECT_EQ(fast.status, 0) << fast.out;

    SuiteRun none = run_suite("pass", "--gtest_filter=NoSuchTest*");
    EXPECT_EQ(none.status, 4) << none.out;
    EXPECT_TRUE(has(none.out, "RESULT: NOTHING JUDGED")) << none.out;
    EXPECT_EQ(none.schema_errors, "");
}
