#!/usr/bin/env python3
"""The fault checker: proves that the suite and the project's tests turn red on
a wrong library. It reads the fault table (tools/faults.tsv) and

- checks that the table and the library's source agree: each fault point
  QV_FAULT(name) under platform/quorvela/src has exactly one row, each row's
  fault is in the source, each suite row names catalogue tests (with a
  counterpart where the counterpart must show the fault), each project row
  names a test that exists;
- runs each suite row's tests through run_suite.sh in the fault build with
  QV_FAULT=<fault>, each run in a network namespace of its own, and reads the
  run's suite.xml: the row's side must be red (peer: the counterpart's verdict
  failed or errored; positive: the positive test failed or errored; both);
- runs the same tests with no fault (once per distinct set of tests): they
  must pass, counterparts included;
- runs each project row's CTest cases in the fault build with the fault (one
  of the cases of each name must fail) and without (all must pass).

  fault_check.py [--build-dir DIR] [--jobs N] [--time-limit SECS]
                 [--run-timeout SECS] [--only FAULT...] [--keep DIR]
  fault_check.py --check-table

It prints one line per row (fault, expected side, what it saw, PASS or FAIL,
run time) and closes with "N passed, N failed"; the exit status is 0 only
when every row passed (and, with --check-table, when the table agrees with the
source). Runs need root (unshare -n) and the fault build (./setup.sh --faults).

The runs' directories are temporary: each goes once the rows that need it are
judged, and the rest when the check ends, however it ends (every row judged,
the time bound, an interrupt or SIGTERM, which also end the runs under way and
everything they started in their namespaces). A failed row keeps at most
KEPT_BYTES of its runs' logs (the files' sizes, the first failure lines, the
end of the runner's output) in a file it prints; --keep keeps everything.

The machinery is meant for other checkers that run the suite: in_namespace,
run_bounded (with Runs/RUNS), suite_command, ctest_command, completed,
read_suite_xml, read_ctest_junit, sides, clean_verdict, run_digest and
write_bounded.
"""

import argparse
import collections
import concurrent.futures
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import NamedTuple, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue  # noqa: E402
import report_xml  # noqa: E402

DEFAULT_TABLE = os.path.join(ROOT, "tools", "faults.tsv")
LIBRARY_SOURCE = os.path.join(ROOT, "platform", "quorvela", "src")
PROJECT_TESTS = os.path.join(ROOT, "tests")
COLUMNS = ["fault", "red", "tests", "breaks"]
REDS = ("peer", "positive", "both", "project")
RED_OUTCOMES = ("failed", "error")

# ---------------------------------------------------------------- the table


class Row(NamedTuple):
    fault: str
    red: str
    tests: Tuple[str, ...]
    breaks: str
    line: int

    @property
    def suite(self):
        return self.red != "project"


class TableError(Exception):
    pass


def parse_table(text, origin="faults.tsv"):
    """The rows of a fault table text, in order."""
    rows = []
    for number, fields in catalogue.table_rows(text, COLUMNS, origin, TableError):
        fault, red, tests, breaks = (f.strip() for f in fields)
        if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", fault):
            raise TableError("%s:%d: %r is not a fault name" % (origin, number, fault))
        if red not in REDS:
            raise TableError("%s:%d: red %r is none of %s" % (origin, number, red, ", ".join(REDS)))
        names = tuple(t.strip() for t in tests.split(",") if t.strip())
        if not names:
            raise TableError("%s:%d: no tests" % (origin, number))
        if not breaks:
            raise TableError("%s:%d: no description of what the fault breaks" % (origin, number))
        rows.append(Row(fault, red, names, breaks, number))
    return rows


def load_table(path=None):
    path = path or DEFAULT_TABLE
    with open(path, encoding="utf-8") as f:
        return parse_table(f.read(), os.path.basename(path))


# ---------------------------------------------------------------- the source

_COMMENT_OR_STRING = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
_POINT = re.compile(r"\bQV_FAULT\s*\(\s*([A-Za-z_][A-Za-z0-9_]*)\s*\)")


def point_pattern(macro):
    """The points of another macro of the same form (QV_VARIANT)."""
    return re.compile(r"\b%s\s*\(\s*([A-Za-z_][A-Za-z0-9_]*)\s*\)" % re.escape(macro))


def _blank(match):
    text = match.group()
    if text.startswith('"') or text.startswith("'"):
        return '""'
    return "\n" * text.count("\n")  # comments go, line numbers stay


def fault_points(text, point=_POINT):
    """The fault names of one C/C++ source text: QV_FAULT(name) (or another
    macro's `point`) outside comments, strings and the macro's own
    definition."""
    code = _COMMENT_OR_STRING.sub(_blank, text)
    names = []
    for line in code.splitlines():
        if re.match(r"\s*#\s*define\b", line):
            continue
        names.extend(point.findall(line))
    return names


def source_points(directory=LIBRARY_SOURCE, point=_POINT):
    """fault name -> the files (relative to directory) that hold its points."""
    points = {}
    for base, _, files in os.walk(directory):
        for name in sorted(files):
            if not name.endswith((".c", ".cc", ".cpp", ".h", ".hpp")):
                continue
            path = os.path.join(base, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                for fault in fault_points(f.read(), point):
                    points.setdefault(fault, []).append(os.path.relpath(path, directory))
    return points


def project_case_known(name, tests_dir=PROJECT_TESTS):
    """Whether a project row's CTest name can be a googletest case of the
    project: <executable>.<Suite>.<Case>, with tests/*/<executable>.cpp
    naming both. None when the name is a pattern that cannot be looked up."""
    if re.search(r"[\\^$*+?()\[\]{}|]", name):
        return None
    parts = name.split(".")
    if len(parts) < 3:
        return False
    executable, suite, case = parts[0], parts[1], parts[-1]
    for base, _, files in os.walk(tests_dir):
        if executable + ".cpp" in files:
            with open(os.path.join(base, executable + ".cpp"), encoding="utf-8", errors="replace") as f:
                text = f.read()
            words = set(re.findall(r"[A-Za-z_][A-Za-z0-9_]*", text))
            # A parameterised case is Prefix/Suite.Case/N; its parts show as words.
            return all(w in words for w in re.findall(r"[A-Za-z_][A-Za-z0-9_]*", suite + " " + case)
                       if not w.isdigit())
    return False


def check_table(rows, points, tests, case_known=project_case_known):
    """What is wrong with the table against the source's fault points and
    the catalogue's tests: a list of problems, empty when they agree."""
    problems = []
    by_name = {t.full_name: t for t in tests}
    seen = {}
    for row in rows:
        if row.fault in seen:
            problems.append("line %d: fault %s has a row already (line %d)" % (row.line, row.fault, seen[row.fault]))
            continue
        seen[row.fault] = row.line
        if row.fault not in points:
            problems.append("line %d: fault %s has no QV_FAULT(%s) in the library's source"
                            % (row.line, row.fault, row.fault))
        if len(set(row.tests)) != len(row.tests):
            problems.append("line %d: fault %s names a test twice" % (row.line, row.fault))
        for name in row.tests:
            if row.suite:
                entry = by_name.get(name)
                if entry is None:
                    problems.append("line %d: fault %s: %s is not a test of the catalogue"
                                    % (row.line, row.fault, name))
                elif row.red in ("peer", "both") and not entry.negative_test:
                    problems.append("line %d: fault %s must show at the peer, but %s has no counterpart"
                                    % (row.line, row.fault, name))
            elif case_known(name) is False:
                problems.append("line %d: fault %s: no project test %s" % (row.line, row.fault, name))
    for fault in sorted(set(points) - set(seen)):
        problems.append("fault point %s (%s) has no row in the table" % (fault, ", ".join(sorted(set(points[fault])))))
    return problems


# ---------------------------------------------------------------- suite.xml


class SuiteRun(NamedTuple):
    positive: dict  # full name -> outcome
    peer: list      # (full name, outcome, error type, the positive test it answers)
    runner: list    # messages of the run's own errors
    problem: str    # why the report could not be read, or ""


def _outcome(tc):
    if tc.find("failure") is not None:
        return "failed", ""
    e = tc.find("error")
    if e is not None:
        return "error", e.get("type", "")
    if tc.find("skipped") is not None:
        return "skipped", ""
    return "passed", ""


_ROUND = re.compile(r" \(round \d+\)$")


def suite_run(report):
    """The cases of a suite.xml (tools/suite_report.py) by side. A repeat's
    rounds carry the round in their names; the names here are the tests'."""
    positive, peer, runner = {}, [], []
    for suite in report.suites:
        props = suite.properties
        side = props.get("side", "")
        for tc in suite.cases:
            name = tc.get("name", "")
            if "round" in props:
                name = _ROUND.sub("", name)
            full = "%s.%s" % (tc.get("classname") or _ROUND.sub("", suite.get("name", "")), name)
            outcome, etype = _outcome(tc)
            if side == "positive":
                positive[full] = outcome
            elif side == "peer":
                peer.append((full, outcome, etype, props.get(name + ".positive", "")))
            else:
                node = tc.find("error")
                if node is None:
                    node = tc.find("failure")
                runner.append(node.get("message", name) if node is not None else name)
    return SuiteRun(positive, peer, runner, "")


def parse_suite_xml(text):
    """The cases of a suite.xml's text by side."""
    try:
        return suite_run(report_xml.parse(text))
    except report_xml.ReportError as e:
        return SuiteRun({}, [], [], "unreadable (%s)" % e)


def read_suite_xml(path):
    """The cases of a suite.xml file by side, read a piece at a time."""
    try:
        return suite_run(report_xml.read(path))
    except report_xml.ReportError as e:
        return SuiteRun({}, [], [], "unreadable (%s)" % e)
    except OSError:
        return SuiteRun({}, [], [], "missing")


def counterpart_outcome(run, test, counterpart):
    """The counterpart's verdict for one positive test: its outcome, or
    "missing" when the peer gave none (a missing verdict is not a verdict)."""
    cases = [c for c in run.peer if c[3] == test] or [c for c in run.peer if c[0] == counterpart]
    for full, outcome, etype, _ in cases:
        if not (outcome == "error" and etype == "missing"):
            return outcome
    return "missing"


def sides(run, tests, counterparts):
    """(positive outcome, counterpart outcome or None) per test."""
    return [(run.positive.get(t, "notrun"),
             counterpart_outcome(run, t, counterparts[t]) if counterparts.get(t) else None) for t in tests]


def describe(outcomes):
    parts = []
    for label, values in (("positive", [p for p, _ in outcomes]), ("peer", [c for _, c in outcomes if c])):
        if values:
            parts.append("%s %s" % (label, "+".join(values)))
    return ", ".join(parts)


def faulted_verdict(red, outcomes):
    """Whether a fault run shows the row's side red for every test."""
    if not outcomes:
        return False
    for positive, peer in outcomes:
        positive_red = positive in RED_OUTCOMES
        peer_red = peer in RED_OUTCOMES
        if red == "peer" and not peer_red:
            return False
        if red == "positive" and not positive_red:
            return False
        if red == "both" and not (positive_red and peer_red):
            return False
    return True


def clean_verdict(run, outcomes, status):
    """Whether a run with no fault passed: every test and counterpart passed,
    nothing else in the report failed, and the runner said so."""
    if run.problem or status != 0 or run.runner:
        return False
    if any(p != "passed" or (c is not None and c != "passed") for p, c in outcomes):
        return False
    return all(o in ("passed", "skipped") for o in run.positive.values()) and \
        all(o == "passed" for _, o, _, _ in run.peer)


# ---------------------------------------------------------------- CTest's JUnit


def ctest_cases(report):
    """CTest name -> outcome (passed, failed, skipped) of a --output-junit report."""
    cases = {}
    for _, tc in report.cases():
        status = tc.get("status", "")
        if tc.find("failure") is not None or tc.find("error") is not None or status == "fail":
            outcome = "failed"
        elif tc.find("skipped") is not None or status in ("notrun", "disabled"):
            outcome = "skipped"
        else:
            outcome = "passed"
        cases[tc.get("name", "")] = outcome
    return cases


def parse_ctest_junit(text):
    """The outcomes of a --output-junit text; None when it is not XML."""
    try:
        return ctest_cases(report_xml.parse(text))
    except report_xml.ReportError:
        return None


def read_ctest_junit(path):
    """The outcomes of a --output-junit file, read a piece at a time; None
    when it is missing or not XML."""
    try:
        return ctest_cases(report_xml.read(path))
    except (report_xml.ReportError, OSError):
        return None


def project_outcomes(names, cases):
    """Per row name, the outcomes of the CTest cases it matches."""
    return [(n, [o for c, o in sorted(cases.items()) if re.fullmatch(n, c)]) for n in names]


def project_verdict(matched, faulted):
    if not matched or any(not outcomes for _, outcomes in matched):
        return False
    if faulted:
        return all("failed" in outcomes for _, outcomes in matched)
    return all(o == "passed" for _, outcomes in matched for o in outcomes)


def describe_project(matched):
    parts = []
    for _, outcomes in matched:
        if not outcomes:
            parts.append("no such test")
        else:
            parts.append("%d failed of %d" % (outcomes.count("failed"), len(outcomes)))
    return ", ".join(parts)


# ---------------------------------------------------------------- runs


def in_namespace(command):
    """The command in a network namespace of its own with loopback up: the
    peer's port and DDS discovery stay inside it."""
    return ["unshare", "-n", "bash", "-c", 'ip link set lo up && exec "$@"', "fault_check"] + command


def net_namespace(pid):
    """The network namespace of a process ("net:[inode]"), or None."""
    try:
        return os.readlink("/proc/%d/ns/net" % pid)
    except OSError:
        return None


def namespace_members(namespace):
    """The processes in a network namespace."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and net_namespace(int(entry)) == namespace:
            pids.append(int(entry))
    return pids


class Runs:
    """The process groups of the runs under way, so that all of them can be
    ended at once (on an interrupt, say): each run's group, and every process
    in the network namespace the run made, whatever group or session it made
    for itself (the runner's positive side has its own)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.live = {}  # pid -> (Popen, its network namespace or None)
        self.stopping = False

    def start(self, command, **kwargs):
        with self.lock:
            if self.stopping:
                return None
            proc = subprocess.Popen(command, start_new_session=True, **kwargs)
            self.live[proc.pid] = (proc, None)
        # unshare enters its namespace right after it starts; the run's own
        # namespace is the first one seen that is not ours.
        own = net_namespace(os.getpid())
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and proc.poll() is None:
            ns = net_namespace(proc.pid)
            if ns and ns != own:
                with self.lock:
                    self.live[proc.pid] = (proc, ns)
                break
            time.sleep(0.01)
        return proc

    def end(self, proc, grace=15):
        """Ends a run: its group (TERM, then KILL after the grace), then
        whatever it left in its group or its namespace."""
        for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 30)):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                proc.wait(timeout=wait)
                break
            except subprocess.TimeoutExpired:
                continue
        self.finish(proc)

    def finish(self, proc):
        """Whatever a run left behind in its group or namespace goes with it."""
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        with self.lock:
            _, ns = self.live.pop(proc.pid, (None, None))
        if ns:
            for pid in namespace_members(ns):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def stop_all(self, grace=5):
        """Ends every run under way; no new one starts."""
        with self.lock:
            self.stopping = True
            procs = [proc for proc, _ in self.live.values()]
        for proc in procs:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for proc in procs:
            self.end(proc, grace)


RUNS = Runs()


def run_bounded(command, env, log_path, timeout, runs=None):
    """Runs a command in its own process group with its output in a log;
    returns (status, seconds, timed out). The whole group ends at the bound,
    and with it what the run left in its network namespace. A run that
    cannot start (the runs are being stopped) returns status None."""
    runs = runs or RUNS
    start = time.monotonic()
    with open(log_path, "wb") as log:
        proc = runs.start(command, env=env, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=ROOT)
        if proc is None:
            return None, 0.0, False
        timed_out = False
        try:
            status = proc.wait(timeout=max(1.0, timeout))
        except subprocess.TimeoutExpired:
            timed_out = True
            runs.end(proc)
            status = proc.poll()
            status = -1 if status is None else status
        runs.finish(proc)
    return status, time.monotonic() - start, timed_out


# ---------------------------------------------------------------- what a failed row keeps

KEPT_BYTES = 256 * 1024  # of one failed row's logs
KEPT_LINES = 40          # first failure lines of each log
KEPT_LINE_LENGTH = 300
_FAILURE_LINE = re.compile(r": Failure|FAILED|CRASHED|TIMEOUT|ABORTED|ERROR|[Ee]rror|RESULT:|time limit|no verdict")


def file_sizes(directory, limit=200):
    """"<size>  <path>" of the files under a directory, largest first."""
    entries = []
    for base, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(base, name)
            try:
                entries.append((os.path.getsize(path), os.path.relpath(path, directory)))
            except OSError:
                pass
    entries.sort(reverse=True)
    lines = ["%12d  %s" % e for e in entries[:limit]]
    if len(entries) > limit:
        lines.append("... and %d more files" % (len(entries) - limit))
    return lines


def first_failure_lines(path, n=KEPT_LINES):
    """The first lines of a log that tell of a failure, with the two lines
    after each googletest failure (its message)."""
    out, follow = [], 0
    try:
        for line in report_xml.bounded_lines(path, 4096):
            if _FAILURE_LINE.search(line) or follow:
                out.append(line[:KEPT_LINE_LENGTH])
                follow = 2 if ": Failure" in line else max(0, follow - 1)
                if len(out) >= n:
                    break
    except OSError:
        pass
    return out


def last_lines(path, n=KEPT_LINES):
    tail = collections.deque(maxlen=n)
    try:
        for line in report_xml.bounded_lines(path, 4096):
            tail.append(line[:KEPT_LINE_LENGTH])
    except OSError:
        pass
    return list(tail)


def run_digest(directory):
    """What is worth keeping of a run's directory: its files' sizes, the
    failures its suite.xml names, the first failure lines of its logs and
    the end of its own output (the runner's summary)."""
    lines = ["files:"] + ["  " + x for x in file_sizes(directory)]
    suite = os.path.join(directory, "suite.xml")
    if os.path.exists(suite):
        run = read_suite_xml(suite)
        lines.append("suite.xml: %s" % (run.problem or "read"))
        lines += ["  positive %s %s" % (o, n) for n, o in run.positive.items() if o in RED_OUTCOMES][:KEPT_LINES]
        lines += ["  peer %s %s%s" % (o, n, " (%s)" % t if t else "") for n, o, t, _ in run.peer
                  if o in RED_OUTCOMES][:KEPT_LINES]
        lines += ["  run: %s" % m[:KEPT_LINE_LENGTH] for m in run.runner[:KEPT_LINES]]
    for name in ("positive.log", "peer.log"):
        path = os.path.join(directory, name)
        if os.path.exists(path):
            lines.append("first failure lines of %s:" % name)
            lines += ["  " + x for x in first_failure_lines(path)]
    lines.append("last lines of run.log:")
    lines += ["  " + x for x in last_lines(os.path.join(directory, "run.log"))]
    return lines


def write_bounded(path, lines, limit=KEPT_BYTES):
    """Writes lines to a file, at most `limit` bytes of them."""
    written = 0
    with open(path, "w", encoding="utf-8", errors="replace") as f:
        for line in lines:
            data = line + "\n"
            if written + len(data.encode("utf-8", "replace")) > limit - 100:
                f.write("... [cut: this file keeps at most %d bytes]\n" % limit)
                break
            f.write(data)
            written += len(data.encode("utf-8", "replace"))


def run_in_namespace(kind, build, directory, selection, env, bound):
    """One run bounded by `bound` seconds in a network namespace of its own,
    its output in directory/run.log: the suite through run_suite.sh in the
    build ("suite": disabled tests included, `selection` the tests or None
    for all, its reports in directory) or CTest cases of the build
    ("project": `selection` their names, the JUnit report directory/ctest.xml).
    A kept directory's earlier reports go first. Returns (status, seconds,
    timed out)."""
    for stale in ("suite.xml", "ctest.xml"):  # a kept directory's earlier run must not answer for this one
        if os.path.exists(os.path.join(directory, stale)):
            os.remove(os.path.join(directory, stale))
    if kind == "suite":
        command = suite_command(build, directory, selection, max(30, int(bound) - 45))
    else:
        command = ctest_command(build, os.path.join(directory, "ctest.xml"), selection, max(30, int(bound) - 15))
    return run_bounded(in_namespace(command), env, os.path.join(directory, "run.log"), bound)


def list_ctest_cases(build):
    """CTest lists each executable's cases when it first runs; list them once,
    before several CTest runs share the build."""
    subprocess.run(["ctest", "--test-dir", build, "-N"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=300, check=False)


def fault_build_problem(build_dir):
    """Why build_dir is no fault build (./setup.sh --faults), or None."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
            if re.search(r"^QV_FAULTS:BOOL=(ON|1|TRUE|YES)$", f.read(), re.M | re.I):
                return None
            what = "not a fault build"
    except OSError:
        what = "no build"
    return "%s is %s (./setup.sh --faults builds it)" % (build_dir, what)


def checker_arguments(doc, table, row, jobs, time_limit, run_timeout):
    """The command line of a checker of a table of points (its docstring,
    its table, what a row is named in --only, and its defaults)."""
    parser = argparse.ArgumentParser(description=doc.strip().splitlines()[0])
    parser.add_argument("--table", default=table)
    parser.add_argument("--catalogue", default=catalogue.DEFAULT_PATH)
    parser.add_argument("--source", default=LIBRARY_SOURCE, help="the library's source (its points)")
    parser.add_argument("--check-table", action="store_true", help="only check the table against the source")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-faults"))
    parser.add_argument("--jobs", type=int, default=jobs)
    parser.add_argument("--time-limit", type=int, default=time_limit, help="bound of the whole check, seconds")
    parser.add_argument("--run-timeout", type=int, default=run_timeout, help="bound of one run, seconds")
    parser.add_argument("--only", nargs="+", metavar=row, help="check only these rows")
    parser.add_argument("--keep", metavar="DIR", help="keep every run's logs in DIR")
    return parser


def rows_to_check(tool, args, rows, problems, name_of, agrees_with):
    """What a checker's command line asks once its table is read: the table's
    problems said (exit status 1), --check-table (0 when the table agrees),
    --only (2 for a name with no row), the bounds (2 unless positive), the
    fault build (2 without it). (exit status, None), or (None, the rows to
    check)."""
    for p in problems:
        print("%s: %s: %s" % (tool, os.path.relpath(args.table, ROOT), p), file=sys.stderr)
    if args.check_table:
        if not problems:
            print("%s: %d rows agree with %s" % (tool, len(rows), agrees_with))
        return (1 if problems else 0), None
    if problems:
        return 1, None
    if args.only:
        unknown = sorted(set(args.only) - {name_of(r) for r in rows})
        if unknown:
            print("%s: no row for %s" % (tool, ", ".join(unknown)), file=sys.stderr)
            return 2, None
        rows = [r for r in rows if name_of(r) in args.only]
    if args.jobs < 1 or args.time_limit < 1 or args.run_timeout < 1:
        print("%s: --jobs, --time-limit and --run-timeout must be positive" % tool, file=sys.stderr)
        return 2, None
    problem = fault_build_problem(args.build_dir)
    if problem:
        print("%s: %s" % (tool, problem), file=sys.stderr)
        return 2, None
    return None, rows


class Job(NamedTuple):
    key: tuple       # ("suite"|"project", fault or None, tests)
    directory: str


def suite_command(build, results, tests, time_limit, flags=("--gtest_also_run_disabled_tests",)):
    """run_suite.sh on some tests of the catalogue (all of them when tests is
    None), its results in a directory."""
    selection = ["--gtest_filter=" + ":".join(tests)] if tests else []
    return [os.path.join(ROOT, "run_suite.sh"), "--no-build", "--build-dir", build, "--results", results,
            "--time-limit", str(time_limit)] + selection + list(flags)


def ctest_command(build, junit, names, timeout):
    """CTest on the cases whose names match (regular expressions), its JUnit report in a file."""
    return ["ctest", "--test-dir", build, "--no-tests=error", "--output-on-failure", "--timeout", str(timeout),
            "--output-junit", junit, "-R", "^(%s)$" % "|".join(names)]


class RowChecker:
    """What a checker of a table's rows holds: the rows, each positive test's
    counterpart (from the catalogue), the whole check's deadline and its work
    directory (--keep, else a new one under TMPDIR named after `tool`)."""

    def __init__(self, tool, args, rows, tests):
        self.args = args
        self.rows = rows
        self.counterparts = {t.full_name: t.negative_test for t in tests}
        self.deadline = time.monotonic() + args.time_limit
        self.work = args.keep or tempfile.mkdtemp(prefix=tool + ".")
        os.makedirs(self.work, exist_ok=True)
        self.build = os.path.abspath(args.build_dir)


class Checker(RowChecker):
    def __init__(self, args, rows, tests):
        super().__init__("fault_check", args, rows, tests)
        self.kept = None  # where the failed rows' logs are kept (made at the first one)
        self.results = {}

    def env(self, fault):
        env = dict(os.environ)
        env.pop("QV_FAULT", None)
        if fault:
            env["QV_FAULT"] = fault
        return env

    def jobs(self):
        """Each row's fault run, and one run with no fault per distinct set of
        tests (rows that share their tests share it)."""
        out, seen = [], set()
        for row in self.rows:
            kind = "suite" if row.suite else "project"
            for key in ((kind, row.fault, row.tests), (kind, None, tuple(sorted(row.tests)))):
                if key not in seen:
                    seen.add(key)
                    label = "%s-%s-%d" % (kind, key[1] or "none", len(out))
                    out.append(Job(key, os.path.join(self.work, label)))
        return out

    def run(self, job):
        kind, fault, tests = job.key
        os.makedirs(job.directory, exist_ok=True)
        remaining = self.deadline - time.monotonic()
        if remaining < 10 or RUNS.stopping:
            return dict(status=None, seconds=0.0, timed_out=False, skipped=True)
        bound = min(self.args.run_timeout, remaining)
        status, seconds, timed_out = run_in_namespace(kind, self.build, job.directory, tests, self.env(fault), bound)
        return dict(status=status, seconds=seconds, timed_out=timed_out, skipped=status is None)

    def judge(self, row):
        kind = "suite" if row.suite else "project"
        faulted = self.results[(kind, row.fault, row.tests)]
        clean = self.results[(kind, None, tuple(sorted(row.tests)))]
        notes = []
        for label, r in (("with the fault", faulted), ("without it", clean)):
            if r["skipped"]:
                notes.append("%s: not run (total time bound reached)" % label)
            elif r["timed_out"]:
                notes.append("%s: stopped at the time bound" % label)
        if any(r["skipped"] for r in (faulted, clean)):
            return False, "not run", notes
        if row.suite:
            run_f = read_suite_xml(os.path.join(faulted["dir"], "suite.xml"))
            run_c = read_suite_xml(os.path.join(clean["dir"], "suite.xml"))
            seen_f = sides(run_f, row.tests, self.counterparts)
            seen_c = sides(run_c, row.tests, self.counterparts)
            ok_f = faulted_verdict(row.red, seen_f)
            ok_c = clean_verdict(run_c, seen_c, clean["status"])
            for label, run in (("with the fault", run_f), ("without it", run_c)):
                if run.problem:
                    notes.append("%s: suite.xml %s" % (label, run.problem))
            if not ok_c:
                notes.extend("without it: " + m for m in run_c.runner)
            saw = "%s; without: %s" % (describe(seen_f) or "nothing",
                                       "green" if ok_c else describe(seen_c) or "nothing")
        else:
            cases_f = self.ctest_cases(faulted)
            cases_c = self.ctest_cases(clean)
            matched_f = project_outcomes(row.tests, cases_f)
            matched_c = project_outcomes(row.tests, cases_c)
            ok_f = project_verdict(matched_f, True)
            ok_c = clean["status"] == 0 and project_verdict(matched_c, False)
            saw = "project %s; without: %s" % (describe_project(matched_f),
                                               "green" if ok_c else describe_project(matched_c))
        if not (ok_f and ok_c):
            if self.args.keep:
                notes.append("logs: %s (with the fault), %s (without)" % (faulted["dir"], clean["dir"]))
            else:
                notes.append("logs kept: %s (the first failure lines and the files' sizes of both runs, at most "
                             "%d KiB; the runs' directories are removed)"
                             % (self.keep_digest(row, saw, faulted, clean), KEPT_BYTES // 1024))
        return ok_f and ok_c, saw, notes

    def keep_digest(self, row, saw, faulted, clean):
        """Keeps what a failed row's runs showed, bounded, outside the runs'
        directories; returns the file."""
        if self.kept is None:
            self.kept = tempfile.mkdtemp(prefix="fault_check.failed.")
        lines = ["%s (red: %s): %s" % (row.fault, row.red, saw), "tests: %s" % ", ".join(row.tests)]
        for label, r in (("with the fault", faulted), ("without it", clean)):
            lines.append("")
            lines.append("== %s: status %s, %.1f s%s" % (label, r["status"], r["seconds"],
                                                        ", stopped at the time bound" if r["timed_out"] else ""))
            lines += run_digest(r["dir"])
        path = os.path.join(self.kept, row.fault + ".txt")
        write_bounded(path, lines)
        return path

    @staticmethod
    def ctest_cases(result):
        return read_ctest_junit(os.path.join(result["dir"], "ctest.xml")) or {}

    def main(self):
        """Runs every job and judges each row once its runs are done. The
        runs' directories go as soon as no row needs them, and whatever is
        left of the work directory goes at the end, however it ends (all
        rows judged, the time bound, an interrupt); a failed row keeps a
        bounded digest of its logs. --keep keeps everything instead."""
        jobs = self.jobs()
        print("fault_check: %d rows, %d runs, %d at once, build %s, %s %s"
              % (len(self.rows), len(jobs), self.args.jobs, self.build,
                 "logs in" if self.args.keep else "runs in (removed at the end)", self.work), flush=True)
        started = time.monotonic()
        counts = collections.Counter()
        pending, users = {}, collections.Counter()
        for row in self.rows:
            kind = "suite" if row.suite else "project"
            pending[row.fault] = {(kind, row.fault, row.tests), (kind, None, tuple(sorted(row.tests)))}
            users.update(pending[row.fault])
        directories = {job.key: job.directory for job in jobs}
        done_rows = set()

        def handle(call, result):
            job = call[1]
            result["dir"] = job.directory
            self.results[job.key] = result
            for row in self.rows:
                if row.fault in done_rows or not pending[row.fault] <= set(self.results):
                    continue
                done_rows.add(row.fault)
                ok, saw, notes = self.judge(row)
                kind = "suite" if row.suite else "project"
                seconds = self.results[(kind, row.fault, row.tests)]["seconds"]
                seconds_clean = self.results[(kind, None, tuple(sorted(row.tests)))]["seconds"]
                print("%-32s %-8s %-70s %s %6.1f s (+%.1f s without)"
                      % (row.fault, row.red, saw, "PASS" if ok else "FAIL", seconds, seconds_clean), flush=True)
                for note in notes:
                    print("    " + note, flush=True)
                counts["passed" if ok else "failed"] += 1
                for key in pending[row.fault]:
                    users[key] -= 1
                    if users[key] == 0 and not self.args.keep:
                        shutil.rmtree(directories[key], ignore_errors=True)

        def cleanup():
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)

        interrupted = run_pool("fault_check", self.args.jobs, [(self.run, job) for job in jobs], handle, cleanup)
        passed, failed = counts["passed"], counts["failed"]
        print("fault_check: %.0f s wall" % (time.monotonic() - started))
        if self.kept:
            print("fault_check: the failed rows' logs are kept in %s" % self.kept)
        if interrupted:
            print("fault_check: interrupted after %d rows of %d" % (passed + failed, len(self.rows)))
            failed += len(self.rows) - passed - failed
        print("%d passed, %d failed" % (passed, failed))
        return failed == 0


def run_pool(tool, workers, calls, handle, cleanup):
    """Runs each call (a function and its arguments) on `workers` threads and
    hands each result to handle(call, result) as it comes. An interrupt (or a
    termination, see _interrupt) ends the runs under way and starts no new
    one; cleanup() runs however it ends, a second interrupt ignored
    meanwhile. Returns whether it was interrupted."""
    interrupted = False
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers)
    try:
        futures = {pool.submit(call[0], *call[1:]): call for call in calls}
        for future in completed(futures):
            handle(futures[future], future.result())
    except KeyboardInterrupt:
        interrupted = True
        print("%s: interrupted; ending the runs under way" % tool, flush=True)
    finally:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            RUNS.stop_all()
            pool.shutdown(wait=True, cancel_futures=True)
            cleanup()
        finally:
            signal.signal(signal.SIGINT, previous)
    return interrupted


def completed(futures):
    """The futures as they complete. The wait wakes every second, so that an
    interrupt or a termination is handled at once, not when a run ends."""
    pending = set(futures)
    while pending:
        done, pending = concurrent.futures.wait(pending, timeout=1, return_when=concurrent.futures.FIRST_COMPLETED)
        yield from done


def default_jobs():
    # The runs mostly wait on DDS timers; leave a quarter of the cores to the
    # processes' own threads so that no test's timing suffers.
    return max(1, (os.cpu_count() or 4) * 3 // 4)


def main(argv):
    args = checker_arguments(__doc__, DEFAULT_TABLE, "FAULT", default_jobs(), 1200, 300).parse_args(argv[1:])

    try:
        rows = load_table(args.table)
        tests = catalogue.load(args.catalogue)
    except (OSError, TableError, catalogue.CatalogueError) as e:
        print("fault_check: %s" % e, file=sys.stderr)
        return 2
    status, rows = rows_to_check("fault_check", args, rows, check_table(rows, source_points(args.source), tests),
                                 lambda r: r.fault, "the source's fault points and the catalogue")
    if status is not None:
        return status
    # A termination ends the runs and removes their directories like an interrupt.
    signal.signal(signal.SIGTERM, _interrupt)
    if any(not row.suite for row in rows):
        list_ctest_cases(args.build_dir)
    return 0 if Checker(args, rows, tests).main() else 1


def _interrupt(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    sys.exit(main(sys.argv))
