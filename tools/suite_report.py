#!/usr/bin/env python3
"""The report of one run of the suite (run_suite.sh): both sides' results in
one summary on standard output and one JUnit file, suite.xml.

The positive side's results come from its googletest report, or, when it has
none (it crashed, was killed or hit the time limit), from its log: the test
that was running gets an error with the reason and the last lines of its log,
and every test that never ran is listed as not run. The peer's verdicts
(peer.xml) are paired with the positive tests through the catalogue. Anything
that went wrong with the run itself (a side that wrote no report or an
unreadable one, an exit status nobody explained) is an error too, so the file
never reads green when the run was not.

  suite_report.py --results DIR --positive-status N --peer-status N
                  [--time-limit SECS --time-limit-reached [--time-limit-note TEXT]]
                  [--positive-xml FILE] [--planned FILE [--run-disabled]]
                  [--catalogue FILE] [--started EPOCH] [--peer-running]

Every counterpart that was due (its positive test was to run) has a row: the
peer's verdict, an error when the positive test ran and the peer gave none,
"not run" when the positive test did not run. With --gtest_repeat each round
has its own block and its own rows, the peer's verdicts taken in order.
--started is the run's start (seconds since the epoch): the root's time is the
run's wall time from it, and a suite with no test that ran is dated by it.
--peer-running: the peer was not started by the runner; without its report its
counterparts are listed as not reported by this runner (errors, never green).

DIR holds positive.log, peer.xml (and positive.xml unless --positive-xml names
another file); suite.xml is written there. --planned is the positive side's
"--gtest_list_tests" output for the same flags. Exit status 0 only when both
sides passed everything that ran.
"""

import argparse
import os
import re
import signal
import sys
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue  # noqa: E402

LOG_TAIL_LINES = 30

# ---------------------------------------------------------------- text

# Characters XML 1.0 cannot carry, and the lone surrogates that stand for
# undecodable bytes (surrogateescape).
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ud800-\udfff\ufffe\uffff]")


def _escape_char(match):
    c = ord(match.group())
    if 0xDC80 <= c <= 0xDCFF:  # an undecodable byte
        return "\\x%02x" % (c - 0xDC00)
    return "\\x%02x" % c if c < 0x100 else "\\u%04x" % c


def clean(text):
    """Text that any XML reader accepts; bad bytes and control characters
    become visible escapes."""
    return _NOT_XML.sub(_escape_char, text or "")


def read_text(path):
    with open(path, "rb") as f:
        return clean(f.read().decode("utf-8", "surrogateescape"))


def brief(text, limit=300):
    text = " | ".join(line.strip() for line in (text or "").strip().splitlines() if line.strip())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def exit_text(status, time_limit=None, time_limit_reached=False):
    if time_limit_reached:
        return "stopped at the time limit of %s s" % (time_limit if time_limit is not None else "?")
    if status > 128:
        number = status - 128
        try:
            name = signal.Signals(number).name
        except ValueError:
            name = "unknown signal"
        return "killed by signal %d (%s)" % (number, name)
    return "exited with status %d" % status


# ---------------------------------------------------------------- cases


class Case:
    """One testcase of suite.xml."""

    # outcome: passed, failed, error, skipped, disabled, notrun
    def __init__(self, side, suite, name, outcome, time=0.0, message="", text="", etype=""):
        self.side, self.suite, self.name = side, clean(suite), clean(name)
        self.outcome, self.time = outcome, time
        self.message, self.text, self.etype = clean(message), clean(text), etype
        self.props = {}
        self.timestamp = ""
        self.round = 1

    @property
    def full_name(self):
        return "%s.%s" % (self.suite, self.name)

    @property
    def ran(self):
        return self.outcome in ("passed", "failed", "error")


def positive_from_xml(root):
    cases = []
    for suite in root.iter("testsuite"):
        for tc in suite.iter("testcase"):
            name = tc.get("name", "")
            sname = tc.get("classname") or suite.get("name", "")
            seconds = float(tc.get("time") or 0)
            failures = tc.findall("failure")
            if tc.get("status") == "notrun" or tc.get("result") == "suppressed":
                case = Case("positive", sname, name, "disabled", message="disabled")
            elif tc.get("result") == "skipped" or tc.find("skipped") is not None:
                skipped = tc.find("skipped")
                case = Case("positive", sname, name, "skipped", seconds,
                            skipped.get("message", "skipped") if skipped is not None else "skipped")
            elif failures:
                case = Case("positive", sname, name, "failed", seconds,
                            brief(failures[0].get("message", "")),
                            "\n\n".join((f.text or f.get("message", "")).strip() for f in failures))
            else:
                case = Case("positive", sname, name, "passed", seconds)
            if case.ran:  # googletest dates a test that did not run with the epoch
                case.timestamp = real_timestamp(tc.get("timestamp", ""))
            cases.append(case)
    return cases


def real_timestamp(stamp):
    """A timestamp, or "" for none or the epoch's."""
    return "" if not stamp or stamp.startswith("1970-01-01") else stamp


def iso_local(epoch):
    seconds, millis = divmod(int(round(epoch * 1000)), 1000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(seconds)) + ".%03d" % millis


_ROUND = re.compile(r"^Repeating all tests \(iteration (\d+)\)")
_ROUND_END = re.compile(r"^\[==========\] \d+ tests? from \d+ test suites? ran\.", re.M)


def split_rounds(text):
    """The log's text per --gtest_repeat round (one piece without repeats)."""
    rounds, current = [], []
    for line in text.splitlines(keepends=True):
        if _ROUND.match(line):
            if current and any(_RUN.match(x) for x in current):
                rounds.append("".join(current))
            current = []
            continue
        current.append(line)
    rounds.append("".join(current))
    return rounds


_RUN = re.compile(r"^\[ RUN      \] (\S+)\s*$")
_END = re.compile(r"^\[ *(OK|FAILED|SKIPPED) *\] (\S+)(?: \((\d+) ms\))?")


def positive_from_log(text):
    """The tests the log shows, and the one still running at its end (its
    name and its lines), if any."""
    cases = []
    current, lines = None, []
    for line in text.splitlines():
        m = _RUN.match(line)
        if m:
            if current:  # a test whose end never showed
                cases.append(Case("positive", *split_name(current), "error",
                                  message="its end is missing from the log", text=tail(lines)))
            current, lines = m.group(1), []
            continue
        m = _END.match(line)
        if m and current and m.group(2) == current:
            kind, seconds = m.group(1), int(m.group(3) or 0) / 1000.0
            failure = "\n".join(lines)
            if kind == "OK":
                case = Case("positive", *split_name(current), "passed", seconds)
            elif kind == "SKIPPED":
                case = Case("positive", *split_name(current), "skipped", seconds, "skipped")
            else:
                case = Case("positive", *split_name(current), "failed", seconds, brief(failure_lines(failure)),
                            failure_lines(failure))
            cases.append(case)
            current, lines = None, []
            continue
        if current:
            lines.append(line)
    return cases, (current, lines) if current else None


def split_name(full):
    suite, _, name = full.partition(".")
    return suite, name


def tail(lines, n=LOG_TAIL_LINES):
    return "\n".join(lines[-n:])


def failure_lines(section):
    """googletest's failure blocks of one test's log section."""
    out, keep = [], False
    for line in section.splitlines():
        if ": Failure" in line:
            keep = True
        elif line.startswith("["):
            keep = False
        if keep:
            out.append(line)
    return "\n".join(out) or section


def parse_planned(text):
    """A "--gtest_list_tests" listing: the full names in order."""
    out, suite = [], None
    for raw in text.splitlines():
        if not raw.strip():
            continue
        if raw.startswith("  "):
            if suite:
                out.append("%s.%s" % (suite, raw.strip().split()[0]))
        else:
            suite = raw.split("#")[0].strip().rstrip(".")
    return out


def load_xml(path):
    """(root, problem): the parsed report, else None and why. A report with
    bytes XML cannot hold is read after escaping them, with a problem noted."""
    if not os.path.exists(path):
        return None, "missing"
    try:
        return ET.parse(path).getroot(), None
    except ET.ParseError as first:
        try:
            return ET.fromstring(read_text(path).encode("utf-8")), "not well-formed (%s); read after escaping" % first
        except (ET.ParseError, OSError) as e:
            return None, "unreadable (%s)" % e
    except OSError as e:
        return None, "unreadable (%s)" % e


def peer_cases(root):
    cases = []
    for suite in root.iter("testsuite"):
        for tc in suite.iter("testcase"):
            verdict = tc.get("verdict") or ("FAILED" if tc.find("failure") is not None else "PASSED")
            f = tc.find("failure")
            detail = (f.text or f.get("message", "")) if f is not None else ""
            outcome = {"PASSED": "passed", "FAILED": "failed"}.get(verdict, "error")
            case = Case("peer", tc.get("classname") or suite.get("name", ""), tc.get("name", ""), outcome,
                        float(tc.get("time") or 0), "%s: %s" % (verdict, brief(detail)) if outcome != "passed" else "",
                        detail, verdict.lower())
            case.timestamp = real_timestamp(tc.get("timestamp", ""))
            case.props["verdict"] = verdict
            if tc.get("connection"):
                case.props["connection_id"] = clean(tc.get("connection"))
            cases.append(case)
    return cases


# ---------------------------------------------------------------- the run


class Report:
    def __init__(self, args):
        self.args = args
        self.positive = []
        self.peer = []
        self.runner = []  # errors of the run itself
        self.pairs = {}   # id(positive case) -> peer case
        self.rounds = 1

    def runner_error(self, name, message, text=""):
        self.runner.append(Case("runner", "run_suite", name, "error", message=message, text=text or message))

    def read_positive(self):
        a = self.args
        log_path = os.path.join(a.results, "positive.log")
        log = read_text(log_path) if os.path.exists(log_path) else ""
        planned = []
        if a.planned and os.path.exists(a.planned):
            planned = parse_planned(read_text(a.planned))
        rounds = split_rounds(log)
        self.rounds = len(rounds)
        # googletest's report holds the last round only; the earlier ones,
        # which ran to their end, are read from the log.
        earlier = []
        for number, text in enumerate(rounds[:-1], 1):
            cases, _ = positive_from_log(text)
            seen = {c.full_name for c in cases}
            for full in planned:
                if full not in seen and split_name(full)[1].startswith("DISABLED_") and not a.run_disabled:
                    cases.append(Case("positive", *split_name(full), "disabled", message="disabled"))
            if planned:
                order = {n: i for i, n in enumerate(planned)}
                cases.sort(key=lambda c: order.get(c.full_name, -1))
            for c in cases:
                c.round = number
            earlier += cases
        self.read_last_round(rounds[-1], planned)
        for c in self.positive:
            c.round = len(rounds)
        self.positive = earlier + self.positive

    def read_last_round(self, log, planned):
        a = self.args
        xml_path = a.positive_xml or os.path.join(a.results, "positive.xml")
        root, problem = load_xml(xml_path)
        if self.rounds > 1 and not _ROUND_END.search(log):
            # googletest writes its report at the end of each round: one
            # from an earlier round must not stand for the last, unfinished one.
            root, problem = None, "missing"
        how = exit_text(a.positive_status, a.time_limit, a.time_limit_reached)
        ended = "%s\n\n" % a.time_limit_note if a.time_limit_reached and a.time_limit_note else ""

        if root is not None:
            self.positive = positive_from_xml(root)
            if problem:
                self.runner_error("positive_report", "the positive side's report is " + problem)
            failed = any(c.outcome == "failed" for c in self.positive)
            if a.time_limit_reached or a.positive_status not in (0, 1) or (a.positive_status == 1) != failed:
                self.runner_error("positive_exit", "the positive side " + how + " after writing its report",
                                  ended + "the positive side " + how + " after writing its report")
            return

        cases, running = positive_from_log(log)
        self.positive = cases
        if problem and problem != "missing":
            self.runner_error("positive_report", "the positive side's report %s is %s" % (xml_path, problem))
        if running:
            name, lines = running
            kind = "timeout" if a.time_limit_reached else "crash"
            self.positive.append(Case("positive", *split_name(name), "error",
                                      message="%s during this test" % how, text=ended + tail(lines), etype=kind))
        elif a.positive_status == 0:
            self.runner_error("positive_report", "the positive side exited with status 0 but wrote no report at "
                              + xml_path)
        else:
            self.runner_error("positive_exit", "the positive side %s outside any test and wrote no report" % how,
                              ended + tail(log.splitlines()))
        if not planned:
            self.runner_error("positive_plan", "the list of tests to run is unknown; tests that never ran are "
                              "missing from this report")
        seen = {c.full_name for c in self.positive}
        for full in planned:
            if full in seen:
                continue
            suite, name = split_name(full)
            if name.startswith("DISABLED_") and not a.run_disabled:
                self.positive.append(Case("positive", suite, name, "disabled", message="disabled"))
            else:
                self.positive.append(Case("positive", suite, name, "notrun",
                                          message="not run: the positive side stopped before this test"))
        if planned:  # plan order: what ran first, then what never did
            order = {n: i for i, n in enumerate(planned)}
            self.positive.sort(key=lambda c: order.get(c.full_name, -1))

    def read_peer(self):
        path = os.path.join(self.args.results, "peer.xml")
        root, problem = load_xml(path)
        if root is None and problem == "missing" and self.args.peer_running:
            self.runner_error("peer_report", "the peer was not started by this runner and wrote no report to %s: "
                              "its verdicts are not known" % path)
        elif root is None:
            self.runner_error("peer_report", "the peer wrote no report" if problem == "missing"
                              else "the peer's report is " + problem)
        else:
            self.peer = peer_cases(root)
            if problem:
                self.runner_error("peer_report", "the peer's report is " + problem)
        if not self.args.peer_running and self.args.peer_status != 0 and not any(
                c.outcome != "passed" for c in self.peer):
            self.runner_error("peer_exit", "the peer " + exit_text(self.args.peer_status))
        return root is not None

    def pair(self, peer_report_read, tests):
        """Each positive test with a counterpart gets its row on the peer's
        side: the next verdict of that counterpart, else an error (it ran and
        the peer gave none) or "not run" (it did not run)."""
        wanted = {t.full_name: t for t in tests}
        used = set()
        if peer_report_read:
            why_none = "no verdict from the peer for this counterpart of %s"
        elif self.args.peer_running:
            why_none = "not reported by this runner: the peer it did not start wrote no report (counterpart of %s)"
        else:
            why_none = "no verdict: the peer wrote no report (counterpart of %s)"
        for case in self.positive:
            entry = wanted.get(case.full_name)
            if entry is None or not entry.negative_test or case.outcome == "disabled":
                continue
            case.props["counterpart"] = entry.negative_test
            case.props["connection_id"] = entry.connection_id
            match = None
            if case.ran:
                match = next((p for p in self.peer if id(p) not in used and p.full_name == entry.negative_test), None)
            if match is None:
                if case.ran:
                    match = Case("peer", *split_name(entry.negative_test), "error", message=why_none % case.full_name,
                                 etype="not_reported" if self.args.peer_running and not peer_report_read
                                 else "missing")
                else:
                    match = Case("peer", *split_name(entry.negative_test), "notrun",
                                 message="not run: its positive test %s did not run" % case.full_name)
                match.props["connection_id"] = entry.connection_id
                self.peer.append(match)
            used.add(id(match))
            match.round = case.round
            match.props["positive"] = case.full_name
            self.pairs[id(case)] = match

    # ------------------------------------------------------------ output

    def all_cases(self):
        return self.positive + self.peer + self.runner

    def write_junit(self, path):
        root = ET.Element("testsuites", name="dds_suite")
        totals = dict(tests=0, failures=0, errors=0, skipped=0, disabled=0, time=0.0)
        groups = {}  # (side, suite, round) -> cases, in order of first appearance
        for case in self.all_cases():
            groups.setdefault((case.side, case.suite, case.round), []).append(case)
        started = self.args.started
        for (side, suite, number), cases in groups.items():
            counts = dict(tests=len(cases),
                          failures=sum(c.outcome == "failed" for c in cases),
                          errors=sum(c.outcome == "error" for c in cases),
                          skipped=sum(c.outcome in ("skipped", "notrun", "disabled") for c in cases),
                          disabled=sum(c.outcome == "disabled" for c in cases),
                          time=sum(c.time for c in cases))
            element = ET.SubElement(root, "testsuite", name=suite)
            for k in ("tests", "failures", "errors", "skipped"):
                element.set(k, str(counts[k]))
            element.set("time", "%.3f" % counts["time"])
            stamps = [c.timestamp for c in cases if c.timestamp]
            if stamps:
                element.set("timestamp", clean(min(stamps)))
            elif started is not None:
                element.set("timestamp", iso_local(started))
            props = ET.SubElement(element, "properties")
            ET.SubElement(props, "property", name="side", value=side)
            ET.SubElement(props, "property", name="disabled", value=str(counts["disabled"]))
            if self.rounds > 1:
                ET.SubElement(props, "property", name="round", value=str(number))
            for c in cases:
                for k, v in sorted(c.props.items()):
                    ET.SubElement(props, "property", name="%s.%s" % (c.name, k), value=clean(v))
            for c in cases:
                tc = ET.SubElement(element, "testcase", name=c.name, classname=c.suite, time="%.3f" % c.time)
                if c.outcome in ("skipped", "notrun", "disabled"):
                    ET.SubElement(tc, "skipped", message=c.message or c.outcome)
                elif c.outcome == "error":
                    e = ET.SubElement(tc, "error", message=brief(c.message), type=c.etype or "error")
                    e.text = c.text or c.message
                elif c.outcome == "failed":
                    f = ET.SubElement(tc, "failure", message=brief(c.message) or "failed")
                    f.text = c.text or c.message
            for k in ("tests", "failures", "errors", "skipped", "disabled"):
                totals[k] += counts[k]
            totals["time"] += counts["time"]
        for k in ("tests", "failures", "errors"):
            root.set(k, str(totals[k]))
        # The run's wall time, not the sum of both sides' (which overlap).
        wall = max(0.0, time.time() - started) if started is not None else totals["time"]
        root.set("time", "%.3f" % wall)
        ET.indent(root)
        ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)
        return totals

    def print_summary(self, totals, path):
        def n(cases, *outcomes):
            return sum(c.outcome in outcomes for c in cases)

        a = self.args
        blocks = []
        for number in range(1, self.rounds + 1):
            positive = [c for c in self.positive if c.round == number]
            peer = [c for c in self.peer if c.round == number]
            rows = []
            for case in positive:
                if case.outcome == "disabled":
                    continue
                match = self.pairs.get(id(case))
                other = "%s %s" % (match.props.get("verdict", match.outcome.upper()), match.full_name) if match else "-"
                rows.append((case.full_name, case.outcome.upper(), other))
            paired = {id(p) for p in self.pairs.values()}
            for p in peer:
                if id(p) not in paired:
                    rows.append(("(no positive test)", "-", "%s %s" % (p.props.get("verdict", p.outcome.upper()),
                                                                         p.full_name)))
            blocks.append((number, positive, peer, rows))
        width = max([len(r[0]) for b in blocks for r in b[3]] + [40])
        line_width = min(width + 70, 160)
        print()
        print("=" * line_width)
        for number, positive, peer, rows in blocks:
            if self.rounds > 1:
                print("round %d of %d" % (number, self.rounds))
            print("%-*s %-9s %s" % (width, "test", "positive", "peer counterpart"))
            print("-" * line_width)
            for r in rows:
                print("%-*s %-9s %s" % (width, r[0], r[1], r[2]))
            print("-" * line_width)
            last = number == self.rounds
            print("positive side: %d run, %d passed, %d failed, %d errors, %d skipped, %d disabled, %d not run%s"
                  % (n(positive, "passed", "failed", "error"), n(positive, "passed"), n(positive, "failed"),
                     n(positive, "error"), n(positive, "skipped"), n(positive, "disabled"), n(positive, "notrun"),
                     ("; exit status %d" % a.positive_status if a.positive_status in (0, 1)
                      and not a.time_limit_reached else "; " + exit_text(a.positive_status, a.time_limit,
                                                                          a.time_limit_reached)) if last else ""))
            verdicts = [c for c in peer if "verdict" in c.props]
            print("peer side:     %d run, %d passed, %d failed, %d without a verdict, %d not run%s"
                  % (len(verdicts), n(verdicts, "passed"), n(verdicts, "failed", "error"),
                     sum(c.etype in ("missing", "not_reported") for c in peer), n(peer, "notrun"),
                     ("; not started by this runner" if a.peer_running else "; exit status %d" % a.peer_status)
                     if last else ""))
            for c in positive:
                if c.outcome in ("failed", "error"):
                    print("  positive %s %s: %s" % ("FAILED" if c.outcome == "failed" else "ERROR", c.full_name,
                                                    brief(c.message)))
            for c in peer:
                if c.outcome not in ("passed", "notrun"):
                    print("  peer %s %s: %s" % (c.props.get("verdict", "ERROR"), c.full_name, brief(c.message)))
            if self.rounds > 1:
                print("=" * line_width)
        for c in self.runner:
            print("  " + c.message)
        if a.time_limit_reached and a.time_limit_note:
            print("  TIME LIMIT: " + a.time_limit_note)
        ok = totals["failures"] == 0 and totals["errors"] == 0
        print("RESULT: %s (report: %s; logs: positive.log, peer.log in %s)"
              % ("PASSED" if ok else "FAILED", path, a.results))
        print("=" * line_width)
        return ok


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--results", required=True)
    parser.add_argument("--positive-status", type=int, required=True)
    parser.add_argument("--peer-status", type=int, required=True)
    parser.add_argument("--time-limit", type=int)
    parser.add_argument("--time-limit-reached", action="store_true")
    parser.add_argument("--positive-xml")
    parser.add_argument("--planned")
    parser.add_argument("--run-disabled", action="store_true")
    parser.add_argument("--catalogue", default=catalogue.DEFAULT_PATH)
    parser.add_argument("--started", type=float)
    parser.add_argument("--time-limit-note", default="")
    parser.add_argument("--peer-running", action="store_true")
    args = parser.parse_args(argv[1:])

    report = Report(args)
    try:
        tests = catalogue.load(args.catalogue)
    except (OSError, catalogue.CatalogueError) as e:
        report.runner_error("catalogue", "the catalogue cannot be read: %s" % e)
        tests = []
    report.read_positive()
    peer_read = report.read_peer()
    report.pair(peer_read, tests)
    path = os.path.join(args.results, "suite.xml")
    totals = report.write_junit(path)
    return 0 if report.print_summary(totals, path) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
