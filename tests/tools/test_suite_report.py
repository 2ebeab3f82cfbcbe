"""The runner's report (tools/suite_report.py) on the results of runs that went
well and of runs that did not: whatever happened, suite.xml counts it, parses,
and validates against the common JUnit schema."""

import hashlib
import os
import subprocess
import time
import xml.etree.ElementTree as ET

import pytest

import suite_report

CATALOGUE = """suite\ttest\tstate\tnegative_test\tconnection_id
BTestPositive\tENABLED_OnePositive\tenabled\tBTestNegative.ENABLED_OneNegative\tOne
BTestPositive\tENABLED_Plain\tenabled\t-\t-
BTestPositive\tDISABLED_TwoPositive\tdisabled\tBTestNegative.ENABLED_TwoNegative\tTwo
ATestPositive\tENABLED_Last\tenabled\t-\t-
"""

PLANNED = """BTestPositive.
  ENABLED_OnePositive
  ENABLED_Plain
  DISABLED_TwoPositive
ATestPositive.
  ENABLED_Last
"""


def gtest_xml(cases):
    """A googletest report: cases are (suite, name, kind) with kind passed,
    failed or disabled."""
    suites = {}
    for suite, name, kind in cases:
        suites.setdefault(suite, []).append((name, kind))
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="%d" name="AllTests">' % len(cases)]
    for suite, tests in suites.items():
        out.append('<testsuite name="%s" tests="%d">' % (suite, len(tests)))
        for name, kind in tests:
            status = ('status="notrun" result="suppressed"' if kind == "disabled"
                      else 'status="run" result="completed"')
            body = '<failure message="x.cpp:1&#x0A;Expected equality" type=""><![CDATA[x.cpp:1\nExpected equality]]></failure>' \
                if kind == "failed" else ""
            # googletest dates a disabled test with the epoch.
            stamp = "1970-01-01T00:00:00.000" if kind == "disabled" else "2026-01-01T00:00:00.000"
            out.append('<testcase name="%s" %s time="0.25" timestamp="%s" classname="%s">%s'
                       '</testcase>' % (name, status, stamp, suite, body))
        out.append("</testsuite>")
    out.append("</testsuites>")
    return "\n".join(out)


def peer_xml(verdicts):
    """The peer's report: verdicts are (full name, connection id, verdict)."""
    out = ['<?xml version="1.0"?>\n<testsuites name="dds_peer">']
    for full, connection, verdict in verdicts:
        suite, _, name = full.partition(".")
        failure = '<failure message="%s: why">why</failure>' % verdict if verdict != "PASSED" else ""
        out.append('<testsuite name="%s" tests="1"><testcase name="%s" classname="%s" time="1.5" '
                   'timestamp="2026-01-01T00:00:01.000" connection="%s" verdict="%s">%s</testcase></testsuite>'
                   % (suite, name, suite, connection, verdict, failure))
    out.append("</testsuites>")
    return "\n".join(out)


GREEN_LOG = """Mode: active
[==========] Running 3 tests from 2 test suites.
[ RUN      ] BTestPositive.ENABLED_OnePositive
Sending data to connection ID: active_connection, key: sync
[       OK ] BTestPositive.ENABLED_OnePositive (1200 ms)
[ RUN      ] BTestPositive.ENABLED_Plain
[       OK ] BTestPositive.ENABLED_Plain (3 ms)
"""


class Run:
    """A results directory and one run of the report over it."""

    def __init__(self, tmp_path):
        self.dir = tmp_path
        (tmp_path / "catalogue.tsv").write_text(CATALOGUE)
        (tmp_path / "planned.txt").write_text(PLANNED)

    def put(self, name, content):
        path = self.dir / name
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content)

    def report(self, capsys, positive_status=0, peer_status=0, *extra):
        args = ["suite_report.py", "--results", str(self.dir), "--positive-status", str(positive_status),
                "--peer-status", str(peer_status), "--catalogue", str(self.dir / "catalogue.tsv"),
                "--planned", str(self.dir / "planned.txt")] + list(extra)
        self.status = suite_report.main(args)
        self.out = capsys.readouterr().out
        self.xml_path = str(self.dir / "suite.xml")
        self.root = ET.parse(self.xml_path).getroot()
        return self

    def case(self, suite, name):
        for s in self.root.iter("testsuite"):
            if s.get("name") != suite:
                continue
            for tc in s.iter("testcase"):
                if tc.get("name") == name:
                    return tc
        raise AssertionError("no testcase %s.%s in\n%s" % (suite, name, open(self.xml_path).read()))

    def properties(self, suite):
        s = next(s for s in self.root.iter("testsuite") if s.get("name") == suite)
        return {p.get("name"): p.get("value") for p in s.iter("property")}

    def totals(self):
        out = {k: int(self.root.get(k)) for k in ("tests", "failures", "errors")}
        out["disabled"] = sum(int(p.get("value")) for p in self.root.iter("property") if p.get("name") == "disabled")
        return out

    def suite(self, name, side, round_=None):
        """A suite by its name and side; a repeat's rounds carry the round in their names."""
        for s in self.root.iter("testsuite"):
            props = {p.get("name"): p.get("value") for p in s.iter("property")}
            full = name if round_ is None else "%s (round %s)" % (name, round_)
            if s.get("name") == full and props["side"] == side and (round_ is None or props.get("round") == round_):
                return s
        raise AssertionError("no %s suite %s" % (side, name))


@pytest.fixture
def run(tmp_path):
    return Run(tmp_path)


def check_counts(root):
    """The root's counts are the sums of the suites' counts, and each suite's
    counts are those of its cases."""
    sums = dict(tests=0, failures=0, errors=0)
    for s in root.iter("testsuite"):
        cases = list(s.iter("testcase"))
        own = dict(tests=len(cases),
                   failures=sum(tc.find("failure") is not None for tc in cases),
                   errors=sum(tc.find("error") is not None for tc in cases),
                   skipped=sum(tc.find("skipped") is not None for tc in cases))
        for k, v in own.items():
            assert int(s.get(k)) == v, (s.get("name"), k)
        assert s.get("time") is not None
        for k in sums:
            sums[k] += int(s.get(k))
        assert not s.get("timestamp", "").startswith("1970"), s.get("name")
    for k, v in sums.items():
        assert int(root.get(k)) == v, k
    assert root.get("time") is not None
    assert root.get("disabled") is None and root.get("skipped") is None


def test_green_run_pairs_the_peer_through_the_catalogue(run, capsys, validate):
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "ENABLED_Plain", "passed"),
                                       ("BTestPositive", "DISABLED_TwoPositive", "disabled"),
                                       ("ATestPositive", "ENABLED_Last", "passed")]))
    run.put("positive.log", GREEN_LOG)
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_OneNegative", "One", "PASSED")]))
    r = run.report(capsys)
    assert r.status == 0, r.out
    assert "RESULT: PASSED" in r.out
    row = next(line for line in r.out.splitlines() if line.startswith("BTestPositive.ENABLED_OnePositive"))
    assert "PASSED BTestNegative.ENABLED_OneNegative" in row
    assert r.totals() == dict(tests=5, failures=0, errors=0, disabled=1)
    assert r.case("BTestPositive", "DISABLED_TwoPositive").find("skipped") is not None
    props = r.properties("BTestPositive")
    assert props["side"] == "positive"
    assert props["ENABLED_OnePositive.counterpart"] == "BTestNegative.ENABLED_OneNegative"
    assert props["ENABLED_OnePositive.connection_id"] == "One"
    peer = r.properties("BTestNegative")
    assert peer["side"] == "peer"
    assert peer["ENABLED_OneNegative.positive"] == "BTestPositive.ENABLED_OnePositive"
    check_counts(r.root)
    assert validate(r.xml_path) == ""


@pytest.mark.parametrize("status, extra, message, kind", [
    (134, [], "killed by signal 6 (SIGABRT) during this test", "crash"),
    (137, [], "killed by signal 9 (SIGKILL) during this test", "crash"),
    (143, ["--time-limit", "5", "--time-limit-reached"], "stopped at the time limit of 5 s during this test",
     "timeout"),
    (137, ["--time-limit", "5", "--time-limit-reached"], "stopped at the time limit of 5 s during this test",
     "timeout"),
])
def test_positive_side_stopped_mid_test(run, capsys, validate, status, extra, message, kind):
    # No googletest report: the log ends inside the second test.
    run.put("positive.log", GREEN_LOG.split("[ RUN      ] BTestPositive.ENABLED_Plain")[0]
            + "[ RUN      ] BTestPositive.ENABLED_Plain\nthe last words of the test\n")
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_OneNegative", "One", "PASSED")]))
    r = run.report(capsys, status, 0, *extra)
    assert r.status == suite_report.RUN_BROKE
    assert "RESULT: FAILED: the run broke" in r.out
    assert ("TIME LIMIT" in r.out or "time limit" in r.out) == (kind == "timeout")
    error = r.case("BTestPositive", "ENABLED_Plain").find("error")
    assert error is not None
    assert error.get("message") == message
    assert error.get("type") == kind
    assert "the last words of the test" in error.text
    # What ran before is kept; what never ran is listed as such.
    assert r.case("BTestPositive", "ENABLED_OnePositive").find("error") is None
    assert r.case("ATestPositive", "ENABLED_Last").find("skipped").get("message").startswith("not run")
    assert r.case("BTestPositive", "DISABLED_TwoPositive").find("skipped").get("message") == "disabled"
    totals = r.totals()
    assert totals["errors"] >= 1 and totals["tests"] == 5
    check_counts(r.root)
    assert validate(r.xml_path) == ""


def test_disabled_tests_run_when_asked_are_not_run_when_the_side_stops(run, capsys):
    run.put("positive.log", "[ RUN      ] BTestPositive.ENABLED_OnePositive\n")
    run.put("peer.xml", peer_xml([]))
    r = run.report(capsys, 139, 0, "--run-disabled")
    skipped = r.case("BTestPositive", "DISABLED_TwoPositive").find("skipped")
    assert skipped.get("message").startswith("not run")
    assert "killed by signal 11 (SIGSEGV)" in r.case("BTestPositive", "ENABLED_OnePositive").find("error").get(
        "message")


def test_a_side_that_fails_without_a_failing_test_is_an_error(run, capsys):
    # The report says all passed, but the process died after writing it.
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_Plain", "passed")]))
    run.put("peer.xml", peer_xml([]))
    r = run.report(capsys, 139, 3)
    assert r.status == suite_report.RUN_BROKE
    assert "killed by signal 11 (SIGSEGV) after writing its report" in r.out
    assert "the peer exited with status 3" in r.out
    assert r.totals()["errors"] == 2


def test_failures_are_counted_from_the_report(run, capsys, validate):
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_Plain", "failed")]))
    run.put("peer.xml", peer_xml([]))
    r = run.report(capsys, 1, 0)
    assert r.status == 1
    assert r.totals() == dict(tests=1, failures=1, errors=0, disabled=0)
    assert "Expected equality" in r.case("BTestPositive", "ENABLED_Plain").find("failure").text
    assert validate(r.xml_path) == ""


def test_peer_verdict_missing_is_an_error(run, capsys, validate):
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed")]))
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_TwoNegative", "Two", "CRASHED")]))
    r = run.report(capsys)
    assert r.status == suite_report.RUN_BROKE
    missing = r.case("BTestNegative", "ENABLED_OneNegative").find("error")
    assert "no verdict from the peer" in missing.get("message")
    # A verdict no positive test asked for is kept, and a crash is an error.
    assert r.case("BTestNegative", "ENABLED_TwoNegative").find("error").get("type") == "crashed"
    assert "(no positive test)" in r.out
    check_counts(r.root)
    assert validate(r.xml_path) == ""


@pytest.mark.parametrize("peer_report, says", [
    (None, "the peer wrote no report"),
    (b"<testsuites><testsuite name=", "the peer's report is unreadable"),
])
def test_peer_report_missing_or_unreadable(run, capsys, validate, peer_report, says):
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_Plain", "passed")]))
    if peer_report is not None:
        run.put("peer.xml", peer_report)
    r = run.report(capsys)
    assert r.status == suite_report.RUN_BROKE
    assert says in r.out
    assert r.totals()["errors"] == 1
    assert validate(r.xml_path) == ""


def test_names_that_are_not_utf8_or_hold_control_characters(run, capsys, validate):
    # An older peer wrote the bytes of a "sync" value as they came.
    bad = b"Bad\xff\xfeSuite.ENABLED_\x01Odd"
    peer = peer_xml([("X.Y", "C", "FAILED")]).encode().replace(b"X", b"Bad\xff\xfeSuite", 2).replace(
        b'name="Y"', b'name="ENABLED_\x01Odd"')
    run.put("peer.xml", peer)
    run.put("positive.log", b"[ RUN      ] BTestPositive.ENABLED_Plain\nbytes \xff\xfe and \x07 in the log\n")
    r = run.report(capsys, 134, 1)
    text = open(r.xml_path, encoding="utf-8").read()
    assert "Bad\\xff\\xfeSuite" in text and "ENABLED_\\x01Odd" in text
    assert "bytes \\xff\\xfe and \\x07 in the log" in text
    assert "not well-formed" in r.out
    assert bad.decode("latin-1") not in text
    assert validate(r.xml_path) == ""


def test_clean_escapes_only_what_xml_cannot_hold():
    assert suite_report.clean("caf\u00e9 \t\n ok") == "caf\u00e9 \t\n ok"
    assert suite_report.clean("a\x00b\x1fc\x7f") == "a\\x00b\\x1fc\\x7f"
    assert suite_report.clean(b"\xff".decode("utf-8", "surrogateescape")) == "\\xff"
    assert suite_report.clean("\ufffe") == "\\ufffe"


def test_log_parsing_keeps_each_tests_end():
    cases, running = suite_report.positive_from_log(
        "[ RUN      ] S.A\n[       OK ] S.A (5 ms)\n[ RUN      ] S.B\nx.cpp:3: Failure\nboom\n"
        "[  FAILED  ] S.B (7 ms)\n[ RUN      ] S.C\n[  SKIPPED ] S.C (0 ms)\n[  FAILED  ] S.B\n")
    assert [(c.full_name, c.outcome, c.time) for c in cases] == [
        ("S.A", "passed", 0.005), ("S.B", "failed", 0.007), ("S.C", "skipped", 0.0)]
    assert "boom" in cases[1].text
    assert running is None
    _, running = suite_report.positive_from_log("[ RUN      ] S.A\nline\n")
    assert running == ("S.A", ["line"])


def test_timestamps_and_times_are_the_runs(run, capsys, validate):
    started = round(time.time() - 42.0, 3)
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "DISABLED_TwoPositive", "disabled"),
                                       ("ATestPositive", "DISABLED_Only", "disabled")]))
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_OneNegative", "One", "PASSED")]))
    r = run.report(capsys, 0, 0, "--started", "%.3f" % started)
    assert r.status == 0, r.out
    # The earliest test that ran, never the epoch of a disabled one.
    assert r.suite("BTestPositive", "positive").get("timestamp") == "2026-01-01T00:00:00.000"
    # A suite where nothing ran is dated by the run's start.
    assert r.suite("ATestPositive", "positive").get("timestamp") == suite_report.iso_local(started)
    assert r.suite("BTestNegative", "peer").get("timestamp") == "2026-01-01T00:00:01.000"
    # The root's time is the run's wall time, not the sum of both sides'.
    assert 42.0 <= float(r.root.get("time")) < 52.0
    assert r.suite("ATestPositive", "positive").get("skipped") == "1"
    assert r.suite("BTestPositive", "positive").get("skipped") == "1"
    check_counts(r.root)
    assert validate(r.xml_path) == ""


@pytest.mark.parametrize("how, extra, peer_says", [
    # The peer died mid-run: its report never came.
    ("peer killed", [], "no verdict: the peer wrote no report"),
    # A peer the runner did not start, and which wrote no report where the runner looks.
    ("peer already running", ["--peer-running"], "not reported by this runner"),
])
def test_every_due_counterpart_has_a_row_without_the_peers_report(run, capsys, validate, how, extra, peer_says):
    run.put("positive.log", GREEN_LOG + "[ RUN      ] ATestPositive.ENABLED_Last\n[       OK ] ATestPositive.ENABLED_Last (1 ms)\n")
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "ENABLED_Plain", "passed"),
                                       ("BTestPositive", "DISABLED_TwoPositive", "disabled"),
                                       ("ATestPositive", "ENABLED_Last", "passed")]))
    r = run.report(capsys, 0, 137 if how == "peer killed" else 0, *extra)
    assert r.status == suite_report.RUN_BROKE, r.out
    assert "RESULT: FAILED" in r.out
    error = r.case("BTestNegative", "ENABLED_OneNegative").find("error")
    assert error is not None and peer_says in error.get("message"), r.out
    row = next(line for line in r.out.splitlines() if line.startswith("BTestPositive.ENABLED_OnePositive"))
    assert "ERROR BTestNegative.ENABLED_OneNegative" in row
    assert "peer side:     0 run, 0 passed, 0 failed, 1 without a verdict, 0 not run" in r.out
    # A disabled test's counterpart was not due.
    with pytest.raises(AssertionError):
        r.case("BTestNegative", "ENABLED_TwoNegative")
    check_counts(r.root)
    assert validate(r.xml_path) == ""


def test_a_counterpart_whose_positive_test_never_ran_is_not_run(run, capsys, validate):
    run.put("positive.log", "[ RUN      ] BTestPositive.ENABLED_Plain\n")
    planned = PLANNED.replace("  ENABLED_OnePositive\n  ENABLED_Plain\n", "  ENABLED_Plain\n  ENABLED_OnePositive\n")
    run.put("planned.txt", planned)
    r = run.report(capsys, 139, 137)
    skipped = r.case("BTestNegative", "ENABLED_OneNegative").find("skipped")
    assert skipped is not None and skipped.get("message").startswith("not run"), r.out
    assert r.case("BTestPositive", "ENABLED_OnePositive").find("skipped").get("message").startswith("not run")
    check_counts(r.root)
    assert validate(r.xml_path) == ""


def test_each_repeat_round_has_its_block_and_its_verdicts(run, capsys, validate):
    round_log = GREEN_LOG.split("[==========]", 1)[1] + "[==========] 2 tests from 1 test suite ran. (5 ms total)\n"
    log = ("Note: Randomizing tests' orders with a seed of 4242 .\n\nRepeating all tests (iteration 1) . . .\n\n"
           "[==========]" + round_log + "\nRepeating all tests (iteration 2) . . .\n\n[==========]" + round_log)
    run.put("positive.log", log)
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "ENABLED_Plain", "passed"),
                                       ("BTestPositive", "DISABLED_TwoPositive", "disabled")]))
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_OneNegative", "One", "PASSED"),
                                  ("BTestNegative.ENABLED_OneNegative", "One", "FAILED")]))
    r = run.report(capsys)
    assert r.status == 1
    assert "round 1 of 2" in r.out and "round 2 of 2" in r.out
    assert "(no positive test)" not in r.out
    first, second = r.out.split("round 2 of 2")
    assert "PASSED BTestNegative.ENABLED_OneNegative" in first.split("round 1 of 2")[1]
    assert "FAILED BTestNegative.ENABLED_OneNegative" in second
    for number, verdict in (("1", "PASSED"), ("2", "FAILED")):
        peer = r.suite("BTestNegative", "peer", number)
        assert [p.get("value") for p in peer.iter("property") if p.get("name") == "ENABLED_OneNegative.verdict"] \
            == [verdict]
        positive = r.suite("BTestPositive", "positive", number)
        assert [tc.get("name") for tc in positive.iter("testcase")] == [
            "%s (round %s)" % (name, number) for name in ("ENABLED_OnePositive", "ENABLED_Plain", "DISABLED_TwoPositive")]
    check_counts(r.root)
    assert validate(r.xml_path) == ""


def test_the_time_limit_says_what_it_ended_and_when(run, capsys, validate):
    run.put("positive.log", "[ RUN      ] BTestPositive.ENABLED_Plain\n")
    note = "the time limit of 5 s ended the positive side's process group 77 (wrapper (pid 77), child (pid 78)) " \
           "at 2026-01-01T00:00:05"
    r = run.report(capsys, 143, 0, "--time-limit", "5", "--time-limit-reached", "--time-limit-note", note)
    assert "TIME LIMIT: " + note in r.out
    assert note in r.case("BTestPositive", "ENABLED_Plain").find("error").text
    assert validate(r.xml_path) == ""


def test_a_repeat_round_cut_short_is_read_from_the_log_not_from_the_earlier_rounds_report(run, capsys, validate):
    round_log = GREEN_LOG.split("[==========]", 1)[1]
    done = round_log + "[==========] 2 tests from 1 test suite ran. (5 ms total)\n"
    run.put("positive.log", "Repeating all tests (iteration 1) . . .\n\n[==========]" + done
            + "\nRepeating all tests (iteration 2) . . .\n\n[==========]"
            + round_log.split("[ RUN      ] BTestPositive.ENABLED_Plain")[0]
            + "[ RUN      ] BTestPositive.ENABLED_Plain\n")
    # The report googletest wrote at the end of round 1.
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "ENABLED_Plain", "passed")]))
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_OneNegative", "One", "PASSED")] * 2))
    r = run.report(capsys, 134, 0)
    assert r.status == suite_report.RUN_BROKE
    second = r.suite("BTestPositive", "positive", "2")
    plain = next(tc for tc in second.iter("testcase") if tc.get("name") == "ENABLED_Plain (round 2)")
    assert "killed by signal 6" in plain.find("error").get("message")
    first = r.suite("BTestPositive", "positive", "1")
    assert all(tc.find("error") is None for tc in first.iter("testcase"))
    check_counts(r.root)
    assert validate(r.xml_path) == ""


# ---------------------------------------------------------------- what every reader of the report sees


def repeat_log(rounds):
    """A --gtest_repeat log: rounds are lists of (test, outcome) with outcome OK or FAILED."""
    out = ["Note: Randomizing tests' orders with a seed of 4242 .", ""]
    for number, tests in enumerate(rounds, 1):
        out += ["Repeating all tests (iteration %d) . . ." % number, "", "[==========] Running %d tests." % len(tests)]
        for name, outcome in tests:
            out.append("[ RUN      ] %s" % name)
            if outcome == "FAILED":
                out += ["x.cpp:7: Failure", "Expected equality in round %d" % number]
            out.append("[ %s ] %s (3 ms)" % ("     OK" if outcome == "OK" else outcome, name))
        out.append("[==========] %d tests from 1 test suite ran. (5 ms total)" % len(tests))
    return "\n".join(out) + "\n"


def test_a_failure_in_the_first_round_of_a_repeat_stays_red_in_junitparser(run, capsys, validate, tmp_path):
    import junitparser  # Debian package python3-junitparser (tools/install-packages.sh)
    from junitparser import cli
    run.put("positive.log", repeat_log([[("BTestPositive.ENABLED_OnePositive", "OK"), ("BTestPositive.ENABLED_Plain",
                                                                                       "FAILED")],
                                        [("BTestPositive.ENABLED_OnePositive", "OK"), ("BTestPositive.ENABLED_Plain",
                                                                                       "OK")]]))
    # googletest's report holds the last round only: all green.
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "ENABLED_Plain", "passed")]))
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_OneNegative", "One", "PASSED")] * 2))
    r = run.report(capsys, 0, 0)
    assert r.status == suite_report.TESTS_FAILED, r.out
    assert validate(r.xml_path) == ""
    # No two suites and no two cases share their identity, whatever a reader keys them by.
    suites = [s.get("name") for s in r.root.iter("testsuite")]
    assert len(suites) == len(set(suites)), suites
    cases = [(s.get("name"), tc.get("classname"), tc.get("name")) for s in r.root.iter("testsuite")
             for tc in s.iter("testcase")]
    assert len({(c, n) for _, c, n in cases}) == len(cases) and len({(s, n) for s, _, n in cases}) == len(cases)

    xml = junitparser.JUnitXml.fromfile(r.xml_path)
    failed = [(suite.name, case.name) for suite in xml for case in suite
              if any(isinstance(x, junitparser.Failure) for x in case.result)]
    assert failed == [("BTestPositive (round 1)", "ENABLED_Plain (round 1)")], failed
    # Merged (as "junitparser merge" does) the failure is still there and counted.
    merged = str(tmp_path / "merged.xml")
    assert cli.merge([r.xml_path], merged, None) == 0
    total = junitparser.JUnitXml.fromfile(merged)
    total.update_statistics()
    assert total.failures == 1
    assert cli.verify([merged]) == 1


@pytest.mark.parametrize("line, verdict, says", [
    ('[dds_peer] PASSED BTestNegative.ENABLED_OneNegative (1.250 s)', "PASSED", None),
    ('[dds_peer] FAILED BTestNegative.ENABLED_OneNegative: exit status 1', "FAILED", "expected 3 samples, got 5"),
    ('[dds_peer] CRASHED BTestNegative.ENABLED_OneNegative: killed by signal 11 (Segmentation fault)', "CRASHED",
     "killed by signal 11"),
])
def test_the_verdicts_a_dead_peer_gave_are_kept(run, capsys, validate, line, verdict, says):
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "DISABLED_TwoPositive", "passed")]))
    # The peer died after its first verdict: its log has it, and the counterpart's own report.
    run.put("peer.log", "[dds_peer] listening on 127.0.0.1:12345\n"
            '[dds_peer] running BTestNegative.ENABLED_OneNegative on connection "One" (pid 4242)\n'
            "[  FAILED  ] BTestNegative.ENABLED_OneNegative (3 ms)\n" + line + "\n"
            '[dds_peer] running BTestNegative.ENABLED_TwoNegative on connection "Two" (pid 4243)\n')
    (run.dir / "peer-reports").mkdir()
    run.put("peer-reports/1-BTestNegative.ENABLED_OneNegative.xml", gtest_xml([
        ("BTestNegative", "ENABLED_OneNegative", "passed" if verdict == "PASSED" else "failed")]).replace(
        "Expected equality", "expected 3 samples, got 5"))
    r = run.report(capsys, 0, 137, "--run-disabled")
    assert r.status == suite_report.RUN_BROKE, r.out
    one = r.case("BTestNegative", "ENABLED_OneNegative")
    props = r.properties("BTestNegative")
    assert props["ENABLED_OneNegative.verdict"] == verdict
    assert props["ENABLED_OneNegative.verdict_from"] == "peer.log"
    if verdict == "PASSED":
        assert one.find("failure") is None and one.find("error") is None
    else:
        node = one.find("failure" if verdict == "FAILED" else "error")
        assert node is not None and says in node.text, node.text
    # The counterpart the peer never judged is an error, as without any verdict.
    two = r.case("BTestNegative", "ENABLED_TwoNegative").find("error")
    assert "no verdict: the peer wrote no report" in two.get("message")
    assert "peer side:     1 run, %d passed" % (verdict == "PASSED") in r.out
    assert "the 1 verdict(s) it gave before are taken from peer.log" in r.out
    check_counts(r.root)
    assert validate(r.xml_path) == ""


RECORD_HEADER = "# dds_peer verdicts 1\tsequence\tname\tconnection\tstatus\tseconds\ttimestamp\treport\treason\n"


def record_line(sequence, name, status, reason="", report=True, connection="One"):
    """A line of the peer's record of its verdicts (platform/peer/src/junit.h)."""
    return "\t".join([str(sequence), name, connection, status, "1.250", "2026-01-01T00:00:01.000",
                      "%d-%s.xml" % (sequence, name) if report else "", reason]) + "\n"


def failed_report(name, text):
    suite, _, test = name.partition(".")
    return gtest_xml([(suite, test, "failed")]).replace("Expected equality", text)


def peer_cases_named(r, suite, name):
    return [tc for s in r.root.iter("testsuite") if s.get("name") == suite for tc in s.iter("testcase")
            if tc.get("name") == name]


# The peer died after three verdicts, two of the same counterpart, and while
# writing a fourth: the three are kept, each failure with the messages of its
# own counterpart's report (the one its sequence number names, though two
# reports have the counterpart's name), and the torn fourth is not a verdict.
def test_a_dead_peers_record_keeps_its_verdicts_each_with_its_own_report(run, capsys, validate):
    run.put("catalogue.tsv", CATALOGUE + "BTestPositive\tENABLED_OneAgainPositive\tenabled\t"
            "BTestNegative.ENABLED_OneNegative\tOne\n")
    run.put("planned.txt", PLANNED.replace("  ENABLED_Plain\n", "  ENABLED_OneAgainPositive\n  ENABLED_Plain\n"))
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed"),
                                       ("BTestPositive", "ENABLED_OneAgainPositive", "passed"),
                                       ("BTestPositive", "ENABLED_Plain", "passed"),
                                       ("BTestPositive", "DISABLED_TwoPositive", "passed")]))
    one = "BTestNegative.ENABLED_OneNegative"
    (run.dir / "peer-reports").mkdir()
    run.put("peer-reports/verdicts.tsv", RECORD_HEADER + record_line(1, one, "FAILED", "exit status 1")
            + record_line(2, one, "FAILED", "exit status 1")
            + record_line(3, "BTestNegative.ENABLED_UnknownNegative", "FAILED", "unknown negative test: no test of "
                          "that name is registered", report=False, connection="")
            + record_line(4, "BTestNegative.ENABLED_TwoNegative", "PASSED", connection="Two")[:-1])
    run.put("peer-reports/1-%s.xml" % one, failed_report(one, "expected 3 samples, got 5"))
    run.put("peer-reports/2-%s.xml" % one, failed_report(one, "sample 2 out of order"))
    run.put("peer.log", '[dds_peer] running %s on connection "One" (pid 41)\n[dds_peer] FAILED %s: exit status 1\n'
            '[dds_peer] running %s on connection "One" (pid 42)\n[dds_peer] FAILED %s: exit status 1\n'
            % (one, one, one, one))
    r = run.report(capsys, 0, 137, "--run-disabled")
    assert r.status == suite_report.RUN_BROKE, r.out
    first, second = peer_cases_named(r, "BTestNegative", "ENABLED_OneNegative")
    for case, own, other in ((first, "expected 3 samples, got 5", "sample 2 out of order"),
                             (second, "sample 2 out of order", "expected 3 samples, got 5")):
        text = case.find("failure").text
        assert "exit status 1" in text and own in text and other not in text, text
        assert "peer-reports/verdicts.tsv" in text
    assert r.properties("BTestNegative")["ENABLED_OneNegative.verdict_from"] == "peer-reports/verdicts.tsv"
    assert r.properties("BTestNegative")["ENABLED_OneNegative.connection_id"] == "One"
    for test in ("BTestPositive.ENABLED_OnePositive ", "BTestPositive.ENABLED_OneAgainPositive "):
        assert "FAILED BTestNegative.ENABLED_OneNegative" in next(
            line for line in r.out.splitlines() if line.startswith(test)), r.out
    # A verdict no positive test asked for is kept too.
    assert r.case("BTestNegative", "ENABLED_UnknownNegative").find("failure") is not None
    # The verdict the peer was writing when it died is not one: that counterpart has none.
    two = r.case("BTestNegative", "ENABLED_TwoNegative").find("error")
    assert "no verdict: the peer wrote no report" in two.get("message")
    assert "the 3 verdict(s) it gave before are taken from its record peer-reports/verdicts.tsv" in r.out
    assert "its last line (5) was cut short" in r.out
    check_counts(r.root)
    assert validate(r.xml_path) == ""


ONE_PASSED_LOG = "[dds_peer] PASSED BTestNegative.ENABLED_OneNegative (1.250 s)\n"


@pytest.mark.parametrize("record, verdict, source, says", [
    # Cut short after all its fields, before its newline: not a verdict, and
    # the log's line (written after the record's) is no verdict either.
    (RECORD_HEADER + record_line(1, "BTestNegative.ENABLED_OneNegative", "PASSED")[:-1], None, None,
     "its last line (2) was cut short"),
    (RECORD_HEADER + record_line(1, "BTestNegative.ENABLED_OneNegative", "PERHAPS")
     + record_line(2, "BTestNegative.ENABLED_OneNegative", "PASSED"), "PASSED", "peer-reports/verdicts.tsv",
     "line 2 is not a verdict"),
    # A report named for another test, or outside the reports' directory.
    (RECORD_HEADER + record_line(1, "BTestNegative.ENABLED_OneNegative", "FAILED").replace(
        "1-BTestNegative.ENABLED_OneNegative.xml", "1-BTestNegative.ENABLED_TwoNegative.xml"), None, None,
     "line 2 is not a verdict"),
    (RECORD_HEADER + record_line(1, "BTestNegative.ENABLED_OneNegative", "FAILED").replace(
        "1-BTestNegative.ENABLED_OneNegative.xml", "../../peer.xml"), None, None, "line 2 is not a verdict"),
    # A peer that keeps no record, or one this runner cannot read: its log's lines.
    (None, "PASSED", "peer.log", "it kept no record of them (peer-reports/verdicts.tsv), as a peer other than"),
    ("# another peer's verdicts\n", "PASSED", "peer.log", "its record peer-reports/verdicts.tsv cannot be read"),
], ids=["torn after its fields", "a damaged line", "another test's report", "a report elsewhere", "no record",
        "another format"])
def test_what_in_a_dead_peers_record_is_not_a_verdict(run, capsys, validate, record, verdict, source, says):
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed")]))
    run.put("peer.log", ONE_PASSED_LOG)
    (run.dir / "peer-reports").mkdir()
    if record is not None:
        run.put("peer-reports/verdicts.tsv", record)
    r = run.report(capsys, 0, 137)
    assert r.status == suite_report.RUN_BROKE, r.out
    assert says in r.out
    one = r.case("BTestNegative", "ENABLED_OneNegative")
    props = r.properties("BTestNegative")
    if verdict is None:
        assert "no verdict: the peer wrote no report" in one.find("error").get("message")
        assert "ENABLED_OneNegative.verdict" not in props
    else:
        assert props["ENABLED_OneNegative.verdict"] == verdict
        assert props["ENABLED_OneNegative.verdict_from"] == source
    check_counts(r.root)
    assert validate(r.xml_path) == ""


# The line the peer writes for a name with a tab, a newline, a backslash and
# a control byte (tests/peer/peer_dispatcher_test.cpp writes the same): read
# back as the peer's JUnit report would name it.
def test_the_record_reads_back_what_the_peer_escaped():
    v = suite_report.Record.parse(b"0\tOdd\\tSuite.ENABLED_\\\\x\\n\\\\x01End\t\tFAILED\t0.000\t"
                                  b"2026-01-01T00:00:01.000\t\tunknown negative test")
    assert v["name"] == "Odd\tSuite.ENABLED_\\x\n\\x01End"
    assert (v["sequence"], v["connection"], v["report"], v["status"]) == (0, "", "", "FAILED")


# A counterpart that flooded its report: what a recovered verdict takes of it
# is bounded, and says what it left out.
def test_a_dead_peers_flooding_counterpart_report_is_taken_in_part(run, capsys, validate):
    one = "BTestNegative.ENABLED_OneNegative"
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_OnePositive", "passed")]))
    (run.dir / "peer-reports").mkdir()
    run.put("peer-reports/verdicts.tsv", RECORD_HEADER + record_line(1, one, "FAILED", "exit status 1"))
    failure = ('<failure message="m" type=""><![CDATA[sample %d: ' + "x" * 200 + ']]></failure>')
    run.put("peer-reports/1-%s.xml" % one, failed_report(one, "first").replace(
        "</testcase>", "".join(failure % i for i in range(4000)) + "</testcase>", 1))
    r = run.report(capsys, 0, 137)
    text = r.case("BTestNegative", "ENABLED_OneNegative").find("failure").text
    assert "first" in text and "sample 0: " in text
    assert "sample 3999: " not in text
    assert len(text) < suite_report.FAILURE_TEXT_LIMIT + 2000
    assert "of failure messages, of " in text and "not kept" in text
    assert validate(r.xml_path) == ""


def big_failures(sizes):
    """A googletest report whose tests failed with texts of these sizes."""
    report = gtest_xml([("BTestPositive", "T%d" % i, "failed") for i in range(len(sizes))])
    for i, size in enumerate(sizes):
        text = "".join("line %d of T%d's failure\n" % (n, i) for n in range(size // 20 + 1))[:size]
        head, _, tail = report.partition('classname="BTestPositive"><failure message="x.cpp:1&#x0A;Expected equality" '
                                         'type=""><![CDATA[x.cpp:1\nExpected equality]]>')
        report = head + 'classname="BTestPositive"><failure message="T%d" type=""><![CDATA[%s]]>' % (i, text) + tail
    return report


def test_suite_xml_stays_within_its_bound_by_cutting_the_longest_texts(run, capsys, validate):
    run.put("positive.xml", big_failures([300000, 60000, 2000]))
    run.put("peer.xml", peer_xml([]))
    r = run.report(capsys, 1, 0, "--max-bytes", "150000")
    assert r.status == suite_report.TESTS_FAILED
    assert os.path.getsize(r.xml_path) <= 150000
    texts = {tc.get("name"): tc.find("failure").text for tc in r.root.iter("testcase") if tc.find("failure") is not None}
    assert "cut" not in texts["T2"] and "cut" not in texts["T1"]  # the shorter texts stay whole
    assert "more characters cut to keep suite.xml within" in texts["T0"]
    assert texts["T0"].startswith("line 0 of T0's failure\nline 1 of T0's failure\n")
    props = r.properties("BTestPositive")
    assert props["T0.text_cut"].startswith("kept ") and props["T0.text_cut"].endswith(" of 300000 characters")
    assert "T2.text_cut" not in props
    assert "text(s) cut to keep suite.xml within" in r.properties("run_suite")["report.texts_cut"]
    assert "suite.xml: " in r.out and "BTestPositive.T0 (kept" in r.out
    check_counts(r.root)
    assert validate(r.xml_path) == ""
    # Within the bound, nothing is cut.
    r = run.report(capsys, 1, 0)
    assert "cut" not in open(r.xml_path).read()


def test_a_text_past_what_is_read_says_so(run, capsys, monkeypatch):
    monkeypatch.setattr(suite_report.report_xml, "TEXT_LIMIT", 1000)
    run.put("positive.xml", big_failures([5000]))
    run.put("peer.xml", peer_xml([]))
    r = run.report(capsys, 1, 0)
    text = r.case("BTestPositive", "T0").find("failure").text
    assert "[... 4000 more characters of this text were not read" in text and "positive.xml" in text


def test_a_run_that_selected_no_test_judged_nothing(run, capsys, validate):
    run.put("planned.txt", "")
    run.put("positive.xml", '<?xml version="1.0"?>\n<testsuites tests="0" name="AllTests"></testsuites>')
    run.put("positive.log", "[==========] 0 tests from 0 test suites ran. (0 ms total)\n[  PASSED  ] 0 tests.\n")
    run.put("peer.xml", peer_xml([]))
    r = run.report(capsys, 0, 0)
    assert r.status == suite_report.NOTHING_JUDGED
    assert "RESULT: NOTHING JUDGED: no test was selected" in r.out and "RESULT: PASSED" not in r.out
    assert validate(r.xml_path) == ""


def test_the_library_judged_is_named(run, capsys, validate, tmp_path):
    build = os.environ.get("QV_BUILD_DIR", "")
    positive = os.path.join(build, "src", "dds_positive_tests")
    if not os.access(positive, os.X_OK):
        pytest.skip("no dds_positive_tests built in QV_BUILD_DIR")
    run.put("positive.xml", gtest_xml([("BTestPositive", "ENABLED_Plain", "passed")]))
    run.put("peer.xml", peer_xml([]))
    r = run.report(capsys, 0, 0, "--positive-binary", positive, "--build-dir", build)
    props = r.properties("run_suite")
    loaded = subprocess.run(["ldd", positive], capture_output=True, text=True).stdout
    assert props["library.path"] in loaded and "libquorvela.so" in props["library.path"]
    real = os.path.realpath(props["library.path"])
    assert props["library.file"] == real
    assert props["library.sha256"] == hashlib.sha256(open(real, "rb").read()).hexdigest()
    assert props["library.size"] == str(os.path.getsize(real))
    assert props["library.soname"].startswith("libquorvela.so.")
    assert os.path.exists(os.path.join(props["python_binding.path"], "quorvela.py"))
    assert "library under test: %s" % props["library.path"] in r.out and props["library.sha256"] in r.out
    assert validate(r.xml_path) == ""
    # A positive side that loads no such library says so rather than naming another.
    r = run.report(capsys, 0, 0, "--positive-binary", "/bin/true")
    assert r.properties("run_suite")["library.path"].startswith("unknown: /bin/true loads no libquorvela.so")


def test_a_flooded_log_is_read_in_part_and_says_so(run, capsys, monkeypatch):
    monkeypatch.setattr(suite_report, "LOG_LIMIT", 10000)
    monkeypatch.setattr(suite_report, "SECTION_HEAD", 5)
    flood = "".join("extra sample %d\n" % i for i in range(5000))
    run.put("positive.log", GREEN_LOG + "[ RUN      ] ATestPositive.ENABLED_Last\n" + flood + "the last words\n")
    run.put("peer.xml", peer_xml([("BTestNegative.ENABLED_OneNegative", "One", "PASSED")]))
    r = run.report(capsys, 134, 0)
    assert r.status == suite_report.RUN_BROKE
    # What ran before is read whole, the crashed test's last lines are kept.
    assert r.case("BTestPositive", "ENABLED_Plain").find("error") is None
    text = r.case("ATestPositive", "ENABLED_Last").find("error").text
    assert "the last words" in text and "extra sample 4999" in text
    assert "lines of output before the last 30 not kept here: positive.log is over" in text
    assert "extra sample 100\n" not in text
