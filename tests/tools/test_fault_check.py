"""The fault checker (tools/fault_check.py): the table against the source and
the catalogue, and the verdicts it draws from a run's reports. The suite.xml
files are written by the runner's own report (tools/suite_report.py) from
small googletest and peer reports, so the checker reads the shape the runner
really writes."""

import os
import signal
import threading
import time

import pytest

import catalogue
import fault_check
import suite_report

CATALOGUE = """suite\ttest\tstate\tnegative_test\tconnection_id
ATestPositive\tENABLED_Paired\tenabled\tATestNegative.ENABLED_PairedNegative\tPaired
ATestPositive\tENABLED_Alone\tenabled\t-\t-
ATestPositive\tDISABLED_Later\tdisabled\tATestNegative.ENABLED_LaterNegative\tLater
"""
PAIRED, ALONE, LATER = "ATestPositive.ENABLED_Paired", "ATestPositive.ENABLED_Alone", "ATestPositive.DISABLED_Later"
COUNTERPARTS = {PAIRED: "ATestNegative.ENABLED_PairedNegative", ALONE: None,
                LATER: "ATestNegative.ENABLED_LaterNegative"}


def table(*rows):
    return "# a comment\nfault\tred\ttests\tbreaks\n" + "".join("\t".join(r) + "\n" for r in rows)


# ---------------------------------------------------------------- the table


def test_rows_are_read_with_their_tests_split():
    rows = fault_check.parse_table(table(("one", "peer", "%s, %s" % (PAIRED, LATER), "what one breaks"),
                                         ("two", "project", "x_test.S.C", "what two breaks")))
    assert [(r.fault, r.red, r.tests, r.suite) for r in rows] == [
        ("one", "peer", (PAIRED, LATER), True), ("two", "project", ("x_test.S.C",), False)]
    assert rows[0].line == 3


@pytest.mark.parametrize("text, complaint", [
    ("fault\tred\ttests\n", "expected the header"),
    (table(("one", "peer", PAIRED)), "3 fields"),
    (table(("one", "counterpart", PAIRED, "x")), "red 'counterpart'"),
    (table(("one", "peer", " , ", "x")), "no tests"),
    (table(("one", "peer", PAIRED, "")), "no description"),
    (table(("two words", "peer", PAIRED, "x")), "not a fault name"),
    ("# only a comment\n", "no header"),
])
def test_malformed_tables_are_refused(text, complaint):
    with pytest.raises(fault_check.TableError, match=complaint):
        fault_check.parse_table(text)


def test_fault_points_outside_comments_strings_and_the_macro():
    source = '''#define QV_FAULT(name) (::qv::fault::on(#name))
// if (QV_FAULT(in_a_line_comment)) {}
/* QV_FAULT(in_a_block
   comment) QV_FAULT(block_comment) */
const char* s = "QV_FAULT(in_a_string)";
if (QV_FAULT(first) || QV_FAULT( second )) x = 1;
if (QV_FAULT(first)) y = 2;
'''
    assert fault_check.fault_points(source) == ["first", "second", "first"]


def check(rows, points, known=lambda name: True):
    return fault_check.check_table(fault_check.parse_table(table(*rows)), points, catalogue.parse(CATALOGUE), known)


def test_a_table_that_agrees_with_source_and_catalogue_has_no_problem():
    rows = [("one", "peer", PAIRED, "x"), ("two", "positive", ALONE, "x"), ("three", "both", LATER, "x"),
            ("four", "project", "x_test.S.C", "x")]
    points = {"one": ["a.cpp"], "two": ["a.cpp", "b.cpp"], "three": ["c.cpp"], "four": ["c.cpp"]}
    assert check(rows, points) == []


@pytest.mark.parametrize("rows, points, complaint", [
    ([("one", "peer", PAIRED, "x")], {"one": ["a.cpp"], "new": ["b.cpp"]}, "fault point new (b.cpp) has no row"),
    ([("one", "peer", PAIRED, "x"), ("gone", "peer", PAIRED, "x")], {"one": ["a.cpp"]},
     "fault gone has no QV_FAULT(gone)"),
    ([("one", "peer", PAIRED, "x"), ("one", "positive", ALONE, "x")], {"one": ["a.cpp"]},
     "fault one has a row already (line 3)"),
    ([("one", "positive", "ATestPositive.ENABLED_Nowhere", "x")], {"one": ["a.cpp"]},
     "ATestPositive.ENABLED_Nowhere is not a test of the catalogue"),
    ([("one", "peer", ALONE, "x")], {"one": ["a.cpp"]}, "must show at the peer, but %s has no counterpart" % ALONE),
    ([("one", "both", ALONE, "x")], {"one": ["a.cpp"]}, "has no counterpart"),
    ([("one", "peer", "%s,%s" % (PAIRED, PAIRED), "x")], {"one": ["a.cpp"]}, "names a test twice"),
    ([("one", "project", "x_test.S.Gone", "x")], {"one": ["a.cpp"]}, "no project test x_test.S.Gone"),
])
def test_disagreements_are_named(rows, points, complaint):
    problems = check(rows, points, known=lambda name: not name.endswith("Gone"))
    assert len(problems) == 1 and complaint in problems[0], problems


def test_project_names_are_looked_up_in_the_test_sources(tmp_path):
    (tmp_path / "library").mkdir()
    (tmp_path / "library" / "x_test.cpp").write_text(
        "TEST(WriterLimits, TimesOut) {}\nTEST_P(Depth, KeepsTheLastN) {}\n"
        "INSTANTIATE_TEST_SUITE_P(Some, Depth, testing::Values(1, 2, 3));\n")
    known = [fault_check.project_case_known(n, str(tmp_path)) for n in (
        "x_test.WriterLimits.TimesOut", "x_test.Some/Depth.KeepsTheLastN/2", "x_test.WriterLimits.Other",
        "y_test.WriterLimits.TimesOut", "x_test.Writer.*", "x_test")]
    assert known == [True, True, False, False, None, False]


def test_the_project_table_agrees_with_the_project_source(source_dir):
    rows = fault_check.load_table(os.path.join(source_dir, "tools", "faults.tsv"))
    problems = fault_check.check_table(
        rows, fault_check.source_points(os.path.join(source_dir, "platform", "quorvela", "src")),
        catalogue.load(os.path.join(source_dir, "src", "catalogue.tsv")),
        lambda name: fault_check.project_case_known(name, os.path.join(source_dir, "tests")))
    assert problems == []


# ---------------------------------------------------------------- a run's report


def gtest_xml(cases):
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n<testsuites name="AllTests">']
    for full, kind in cases:
        suite, _, name = full.partition(".")
        body = '<failure message="x.cpp:1">x.cpp:1</failure>' if kind == "failed" else ""
        out.append('<testsuite name="%s"><testcase name="%s" status="run" result="completed" time="0.2" '
                   'classname="%s">%s</testcase></testsuite>' % (suite, name, suite, body))
    out.append("</testsuites>")
    return "\n".join(out)


def peer_xml(verdicts):
    out = ['<?xml version="1.0"?>\n<testsuites name="dds_peer">']
    for full, verdict in verdicts:
        suite, _, name = full.partition(".")
        failure = '<failure message="%s: why">why</failure>' % verdict if verdict != "PASSED" else ""
        out.append('<testsuite name="%s"><testcase name="%s" classname="%s" time="1.5" connection="c" '
                   'verdict="%s">%s</testcase></testsuite>' % (suite, name, suite, verdict, failure))
    out.append("</testsuites>")
    return "\n".join(out)


def report(tmp_path, positive, peer, positive_status=None, peer_status=0, log=""):
    """The suite.xml the runner writes for these reports, as the checker reads it."""
    (tmp_path / "catalogue.tsv").write_text(CATALOGUE)
    if positive is not None:
        (tmp_path / "positive.xml").write_text(gtest_xml(positive))
    (tmp_path / "positive.log").write_text(log)
    if peer is not None:
        (tmp_path / "peer.xml").write_text(peer_xml(peer))
    if positive_status is None:
        positive_status = 1 if any(k == "failed" for _, k in positive or []) else 0
    status = suite_report.main(["suite_report.py", "--results", str(tmp_path), "--positive-status",
                                str(positive_status), "--peer-status", str(peer_status),
                                "--catalogue", str(tmp_path / "catalogue.tsv")])
    return fault_check.read_suite_xml(str(tmp_path / "suite.xml")), status


@pytest.mark.parametrize("positive, peer, red_sides", [
    ("passed", "PASSED", set()),
    ("passed", "FAILED", {"peer"}),
    ("passed", "ERROR", {"peer"}),  # a counterpart that errors on the fault catches it too
    ("failed", "PASSED", {"positive"}),
    ("failed", "FAILED", {"peer", "positive", "both"}),
    ("failed", None, {"positive"}),  # the peer gave no verdict: that is no counterpart's catch
])
def test_the_named_side_must_be_red(tmp_path, capsys, positive, peer, red_sides):
    run, _ = report(tmp_path, [(PAIRED, positive)],
                    [] if peer is None else [(COUNTERPARTS[PAIRED], peer)])
    seen = fault_check.sides(run, [PAIRED], COUNTERPARTS)
    assert {red for red in ("peer", "positive", "both") if fault_check.faulted_verdict(red, seen)} == red_sides
    assert not fault_check.clean_verdict(run, seen, 0) or (positive, peer) == ("passed", "PASSED")


def test_every_test_of_a_row_must_show_the_fault(tmp_path, capsys):
    run, _ = report(tmp_path, [(PAIRED, "passed"), (LATER, "passed")],
                    [(COUNTERPARTS[PAIRED], "FAILED"), (COUNTERPARTS[LATER], "PASSED")])
    seen = fault_check.sides(run, [PAIRED, LATER], COUNTERPARTS)
    assert not fault_check.faulted_verdict("peer", seen)
    assert fault_check.faulted_verdict("peer", seen[:1])
    assert fault_check.describe(seen) == "positive passed+passed, peer failed+passed"


def test_a_test_that_never_ran_is_not_red(tmp_path, capsys):
    # The positive side crashed in the test before: the named test never ran.
    log = "[ RUN      ] %s\n" % ALONE
    (tmp_path / "planned.txt").write_text("ATestPositive.\n  ENABLED_Alone\n  ENABLED_Paired\n")
    (tmp_path / "catalogue.tsv").write_text(CATALOGUE)
    (tmp_path / "positive.log").write_text(log)
    (tmp_path / "peer.xml").write_text(peer_xml([]))
    suite_report.main(["suite_report.py", "--results", str(tmp_path), "--positive-status", "139",
                       "--peer-status", "0", "--catalogue", str(tmp_path / "catalogue.tsv"),
                       "--planned", str(tmp_path / "planned.txt")])
    run = fault_check.read_suite_xml(str(tmp_path / "suite.xml"))
    seen = fault_check.sides(run, [PAIRED], COUNTERPARTS)
    # The report lists the due counterpart as not run.
    assert seen == [("skipped", "skipped")]
    assert not any(fault_check.faulted_verdict(red, seen) for red in ("peer", "positive", "both"))


def test_a_crash_in_the_named_test_is_red_on_the_positive_side(tmp_path, capsys):
    (tmp_path / "planned.txt").write_text("ATestPositive.\n  ENABLED_Alone\n")
    (tmp_path / "catalogue.tsv").write_text(CATALOGUE)
    (tmp_path / "positive.log").write_text("[ RUN      ] %s\n" % ALONE)
    (tmp_path / "peer.xml").write_text(peer_xml([]))
    suite_report.main(["suite_report.py", "--results", str(tmp_path), "--positive-status", "134",
                       "--peer-status", "0", "--catalogue", str(tmp_path / "catalogue.tsv"),
                       "--planned", str(tmp_path / "planned.txt")])
    run = fault_check.read_suite_xml(str(tmp_path / "suite.xml"))
    assert fault_check.faulted_verdict("positive", fault_check.sides(run, [ALONE], COUNTERPARTS))


@pytest.mark.parametrize("what, peer_status, clean", [
    ("all green", 0, True),
    ("the peer exited non-zero", 3, False),  # the runner's own error makes the run red
])
def test_a_run_without_the_fault_must_be_green_throughout(tmp_path, capsys, what, peer_status, clean):
    run, status = report(tmp_path, [(PAIRED, "passed"), (ALONE, "passed")], [(COUNTERPARTS[PAIRED], "PASSED")],
                         peer_status=peer_status)
    seen = fault_check.sides(run, [PAIRED], COUNTERPARTS)
    assert fault_check.clean_verdict(run, seen, status) is clean, what


def test_a_clean_run_is_red_when_another_test_of_it_failed_or_the_report_is_missing(tmp_path, capsys):
    run, status = report(tmp_path, [(PAIRED, "passed"), (ALONE, "failed")], [(COUNTERPARTS[PAIRED], "PASSED")])
    assert not fault_check.clean_verdict(run, fault_check.sides(run, [PAIRED], COUNTERPARTS), 0)
    missing = fault_check.read_suite_xml(str(tmp_path / "nothing.xml"))
    assert missing.problem == "missing"
    assert not fault_check.clean_verdict(missing, fault_check.sides(missing, [ALONE], COUNTERPARTS), 0)


# ---------------------------------------------------------------- CTest's report

CTEST_JUNIT = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="Linux" tests="3" failures="1" disabled="0" skipped="1" hostname="" time="2" timestamp="">
  <testcase name="x_test.Limits.TimesOut" classname="x_test.Limits.TimesOut" time="1" status="fail">
    <failure message="Failed"/>
    <system-out>Expected: RETCODE_TIMEOUT</system-out>
  </testcase>
  <testcase name="x_test.Depth.KeepsLastN" classname="x_test.Depth.KeepsLastN" time="1" status="run"/>
  <testcase name="x_test.Depth.Other" classname="x_test.Depth.Other" time="0" status="notrun">
    <skipped message="Skipped"/>
  </testcase>
</testsuite>
"""


def test_project_rows_read_from_ctest_junit():
    cases = fault_check.parse_ctest_junit(CTEST_JUNIT)
    assert cases == {"x_test.Limits.TimesOut": "failed", "x_test.Depth.KeepsLastN": "passed",
                     "x_test.Depth.Other": "skipped"}
    timeout = fault_check.project_outcomes(["x_test.Limits.TimesOut"], cases)
    depth = fault_check.project_outcomes(["x_test.Depth.Keeps.*"], cases)
    absent = fault_check.project_outcomes(["x_test.Limits.TimesOut", "x_test.Gone"], cases)
    assert fault_check.project_verdict(timeout, faulted=True)
    assert not fault_check.project_verdict(timeout, faulted=False)
    assert fault_check.project_verdict(depth, faulted=False)
    assert not fault_check.project_verdict(depth, faulted=True)
    # A name that matches no case proves nothing either way.
    assert not fault_check.project_verdict(absent, faulted=True)
    assert not fault_check.project_verdict(fault_check.project_outcomes(["x_test.Gone"], {}), faulted=False)
    # A skipped case is not a pass.
    assert not fault_check.project_verdict(fault_check.project_outcomes(["x_test.Depth.Other"], cases), False)
    assert fault_check.parse_ctest_junit("<testsuite") is None


# ---------------------------------------------------------------- bounded runs


def test_a_run_past_its_bound_ends_with_everything_it_started(tmp_path):
    pid_file = tmp_path / "background.pid"
    command = ["bash", "-c", "sleep 60 & echo $! > %s; wait" % pid_file]
    status, seconds, timed_out = fault_check.run_bounded(command, dict(os.environ), str(tmp_path / "log"), 1)
    assert timed_out and status != 0
    assert seconds < 20
    background = int(pid_file.read_text())
    assert not running(background), "the run's background process outlived it"


def running(pid):
    """Whether a process runs (a zombie left for its new parent to reap does not)."""
    deadline = time.monotonic() + 5
    while True:
        try:
            with open("/proc/%d/stat" % pid) as f:
                state = f.read().rpartition(")")[2].split()[0]
        except OSError:
            return False
        if state in ("Z", "X"):
            return False
        if time.monotonic() > deadline:
            return True
        time.sleep(0.05)


def test_a_run_within_its_bound_keeps_its_status_and_output(tmp_path):
    log = tmp_path / "log"
    status, _, timed_out = fault_check.run_bounded(["bash", "-c", "echo out; echo err >&2; exit 3"],
                                                   dict(os.environ), str(log), 30)
    assert (status, timed_out) == (3, False)
    assert log.read_text().split() == ["out", "err"]


@pytest.mark.skipif(os.geteuid() != 0, reason="a network namespace of its own needs root")
def test_a_run_past_its_bound_ends_what_it_started_in_its_namespace_whatever_its_session(tmp_path):
    # The runner puts the positive side in a session of its own (setsid): the
    # run's group does not hold it, its network namespace does.
    pid_file = tmp_path / "escaped.pid"
    command = fault_check.in_namespace(["bash", "-c", "setsid sleep 120 & echo $! > %s; sleep 120" % pid_file])
    status, seconds, timed_out = fault_check.run_bounded(command, dict(os.environ), str(tmp_path / "log"), 2)
    assert timed_out and seconds < 40
    assert not running(int(pid_file.read_text())), "a process of the run outlived it in its namespace"


def test_a_failed_rows_logs_are_kept_bounded_with_the_first_failure_lines(tmp_path):
    run = tmp_path / "run"
    run.mkdir()
    flood = "".join("counterpart.cpp:12: Failure\nExpected no sample, got #%d\n" % i for i in range(200000))
    (run / "peer.log").write_text("[dds_peer] listening on 127.0.0.1:12345\n" + flood)
    (run / "positive.log").write_text("[ RUN      ] A.B\n" + "noise\n" * 100000 + "a.cpp:3: Failure\nValue of: x\n")
    (run / "run.log").write_text("".join("line %d\n" % i for i in range(1000)) + "RESULT: FAILED: tests failed\n")
    (run / "work").mkdir()
    (run / "work" / "core").write_bytes(b"\0" * 12345)
    lines = fault_check.run_digest(str(run))
    kept = tmp_path / "row.txt"
    fault_check.write_bounded(str(kept), lines * 500)  # more than a row may keep
    text = kept.read_text()
    assert len(text.encode()) <= fault_check.KEPT_BYTES
    assert text.rstrip().endswith("at most %d bytes]" % fault_check.KEPT_BYTES)
    one = "\n".join(lines)
    assert "counterpart.cpp:12: Failure\n  Expected no sample, got #0" in one
    assert "a.cpp:3: Failure\n  Value of: x" in one
    assert "12345  work/core" in one and "RESULT: FAILED: tests failed" in one
    assert "got #%d" % fault_check.KEPT_LINES not in one


class _Args:
    def __init__(self, **kw):
        self.__dict__.update(dict(keep=None, jobs=2, time_limit=600, run_timeout=300, build_dir="."), **kw)


@pytest.mark.skipif(os.geteuid() != 0, reason="a network namespace of its own needs root")
def test_an_interrupted_check_ends_its_runs_and_removes_their_directories(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    monkeypatch.setattr(fault_check.tempfile, "tempdir", None)
    monkeypatch.setattr(fault_check, "RUNS", fault_check.Runs())
    pids = tmp_path / "pids"
    pids.mkdir()
    # Each run writes into its directory and then waits, as a long suite run does.
    monkeypatch.setattr(fault_check, "suite_command", lambda build, results, tests, limit: [
        "bash", "-c", "head -c 1000000 /dev/zero > %s/big; setsid sleep 120 & echo $! > %s/$$; sleep 120"
        % (results, pids)])
    rows = fault_check.parse_table(table(("one", "peer", PAIRED, "x"), ("two", "positive", ALONE, "x")))
    checker = fault_check.Checker(_Args(), rows, catalogue.parse(CATALOGUE))
    previous = signal.signal(signal.SIGTERM, fault_check._interrupt)
    timer = threading.Timer(3, os.kill, (os.getpid(), signal.SIGTERM))
    try:
        timer.start()
        assert checker.main() is False
    finally:
        timer.cancel()
        signal.signal(signal.SIGTERM, previous)
    out = capsys.readouterr().out
    assert "interrupted" in out and "0 passed, 2 failed" in out
    assert not os.path.exists(checker.work)
    assert list(tmp_path.glob("fault_check.*")) == []
    started = [int(p.read_text()) for p in pids.iterdir()]
    assert started and not any(running(pid) for pid in started)


def test_a_checked_rows_runs_go_once_judged_and_a_failed_row_keeps_its_digest(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    monkeypatch.setattr(fault_check.tempfile, "tempdir", None)
    monkeypatch.setattr(fault_check, "RUNS", fault_check.Runs())
    monkeypatch.setattr(fault_check, "in_namespace", lambda command: command)
    # The runs write no suite.xml: every row fails, and keeps only its digest.
    monkeypatch.setattr(fault_check, "suite_command", lambda build, results, tests, limit: [
        "bash", "-c", "head -c 3000000 /dev/zero > %s/peer.log; echo RESULT: FAILED" % results])
    rows = fault_check.parse_table(table(("one", "peer", PAIRED, "x")))
    checker = fault_check.Checker(_Args(), rows, catalogue.parse(CATALOGUE))
    assert checker.main() is False
    out = capsys.readouterr().out
    assert not os.path.exists(checker.work)
    kept = os.path.join(checker.kept, "one.txt")
    assert "logs kept: %s" % kept in out and "fault_check: the failed rows' logs are kept in" in out
    assert os.path.getsize(kept) <= fault_check.KEPT_BYTES
    text = open(kept).read()
    assert "3000000  peer.log" in text and "RESULT: FAILED" in text and "suite.xml" not in text.split("files:")[0]
