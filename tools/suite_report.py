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
                  [--positive-binary PATH] [--build-dir DIR] [--max-bytes N]

Every counterpart that was due (its positive test was to run) has a row: the
peer's verdict, an error when the positive test ran and the peer gave none,
"not run" when the positive test did not run. With --gtest_repeat each round
has its own block and its own rows, the peer's verdicts taken in order, and
its suites and cases carry the round in their names. A peer that wrote no
report (it died) keeps the verdicts it had given, from its record of them
(peer-reports/verdicts.tsv), each failure with its counterpart's own report's
messages; a peer that keeps no record (another negative side), from the
lines of its log (peer.log).
--started is the run's start (seconds since the epoch): the root's time is the
run's wall time from it, and a suite with no test that ran is dated by it.
--peer-running: the peer was not started by the runner; without its report its
counterparts are listed as not reported by this runner (errors, never green).

DIR holds positive.log, peer.xml (and positive.xml unless --positive-xml names
another file); suite.xml is written there, within --max-bytes (64 MiB; the
longest failure texts are cut, and say so). The reports are read a piece at
a time whatever their size (tools/report_xml.py). --planned is the positive
side's "--gtest_list_tests" output for the same flags. --positive-binary and
--build-dir name the library judged (the suite "run_suite" holds it as
properties, and the summary). Exit status: 0 both sides passed what was
judged, 1 tests failed, 3 the run broke (its own errors, a positive side that
stopped in a test, a counterpart without a verdict), 4 nothing was judged.
"""

import argparse
import collections
import hashlib
import os
import re
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue  # noqa: E402
import report_xml  # noqa: E402

LOG_TAIL_LINES = 30

# Exit statuses (run_suite.sh's own: 2 when it refuses its arguments).
PASSED, TESTS_FAILED, RUN_BROKE, NOTHING_JUDGED = 0, 1, 3, 4

# ---------------------------------------------------------------- text

clean = report_xml.clean


def read_text(path):
    with open(path, "rb") as f:
        return clean(f.read().decode("utf-8", "surrogateescape"))


LOG_LIMIT = 64 << 20  # a positive.log past it is read in part
SECTION_HEAD = 2000     # lines of a test's own output kept from its start in such a log
_GTEST_LINE = re.compile(r"^(\[ *(RUN|OK|FAILED|SKIPPED|PASSED|=+|-+) *\]|Repeating all tests |Note: )")


def read_log(path):
    """The positive side's log. One over LOG_LIMIT (a test that floods its
    output) keeps googletest's own lines and, of each test's other lines, the
    first SECTION_HEAD and the last LOG_TAIL_LINES, with a line that says how
    many it left out."""
    if os.path.getsize(path) <= LOG_LIMIT:
        return read_text(path)
    out, tail = [], collections.deque(maxlen=LOG_TAIL_LINES)
    head = dropped = 0

    def flush():
        out.extend(tail)
        if dropped:
            out.append("[... %d lines of output before the last %d not kept here: positive.log is over %s]"
                       % (dropped, len(tail), size_text(LOG_LIMIT)))
        tail.clear()

    for line in report_xml.bounded_lines(path, 4096):
        if _GTEST_LINE.match(line):
            flush()
            out.append(line)
            head = dropped = 0
        elif head < SECTION_HEAD:
            out.append(line)
            head += 1
        else:
            dropped += len(tail) == tail.maxlen
            tail.append(line)
    flush()
    return "\n".join(out) + "\n"


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
        self.unread = 0  # characters of its text that its source report held past what was read

    @property
    def full_name(self):
        return "%s.%s" % (self.suite, self.name)

    @property
    def ran(self):
        return self.outcome in ("passed", "failed", "error")


def unread_note(unread, source):
    return ("\n[... %d more characters of this text were not read: a report's text is read up to %d characters; "
            "the whole is in %s]" % (unread, report_xml.TEXT_LIMIT, source)) if unread else ""


def positive_from_xml(report, source="positive.xml"):
    cases = []
    for suite, tc in report.cases():
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
            unread = sum(f.text_cut for f in failures)
            case = Case("positive", sname, name, "failed", seconds,
                        brief(failures[0].get("message", "")),
                        "\n\n".join((f.text or f.get("message", "")).strip() for f in failures)
                        + unread_note(unread, source))
            case.unread = unread
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
    """(report, problem): the report read a piece at a time, else None and
    why. A report with bytes XML cannot hold is read after escaping them, with
    a problem noted."""
    if not os.path.exists(path):
        return None, "missing"
    try:
        return report_xml.read(path), None
    except report_xml.ReportError as first:
        try:
            return report_xml.read(path, escape=True), "not well-formed (%s); read after escaping" % first
        except (report_xml.ReportError, OSError) as e:
            return None, "unreadable (%s)" % e
    except OSError as e:
        return None, "unreadable (%s)" % e


def peer_cases(report):
    cases = []
    for suite, tc in report.cases():
        verdict = tc.get("verdict") or ("FAILED" if tc.find("failure") is not None else "PASSED")
        f = tc.find("failure")
        detail = (f.text or f.get("message", "")) if f is not None else ""
        unread = f.text_cut if f is not None else 0
        outcome = {"PASSED": "passed", "FAILED": "failed"}.get(verdict, "error")
        case = Case("peer", tc.get("classname") or suite.get("name", ""), tc.get("name", ""), outcome,
                    float(tc.get("time") or 0), "%s: %s" % (verdict, brief(detail)) if outcome != "passed" else "",
                    detail + unread_note(unread, "peer.xml"), verdict.lower())
        case.unread = unread
        case.timestamp = real_timestamp(tc.get("timestamp", ""))
        case.props["verdict"] = verdict
        if tc.get("connection"):
            case.props["connection_id"] = clean(tc.get("connection"))
        cases.append(case)
    return cases


# ---------------------------------------------------------------- a dead peer's verdicts

# The peer (dds_peer, platform/peer/src/junit.h) appends each verdict, as it
# gives it, to a record in its report directory: a header line, then a line
# per verdict ended by a newline, its fields separated by tabs: sequence,
# name, connection, status, seconds, timestamp, report (the file name of the
# counterpart's googletest report, "<sequence>-<name>.xml", empty when no
# process ran) and reason (the peer's own; the failure messages are in the
# report). Text has \\, \t, \n and \r escaped.
RECORD = "verdicts.tsv"
RECORD_HEADER = b"# dds_peer verdicts 1\t"
RECORD_FIELDS = 8
RECORD_LINE_LIMIT = 64 * 1024
VERDICTS = ("PASSED", "FAILED", "CRASHED", "TIMEOUT", "ABORTED")
# What is taken of a counterpart's failure messages, as the peer takes it
# (kMaxFailureTextBytes in platform/peer/src/gtest_xml.h).
FAILURE_TEXT_LIMIT = 256 << 10
_RECORD_ESCAPE = re.compile(r"\\([\\tnr])")


def record_text(raw):
    text = clean(raw.decode("utf-8", "surrogateescape"))
    return _RECORD_ESCAPE.sub(lambda m: {"t": "\t", "n": "\n", "r": "\r"}.get(m.group(1), "\\"), text)


class Record:
    """The peer's record of its verdicts: verdicts (in the order given, each
    a dict of the fields), and what in it is not a verdict (notes)."""

    def __init__(self, path):
        self.verdicts, self.notes = [], []
        with open(path, "rb") as f:
            if not f.readline(RECORD_LINE_LIMIT).startswith(RECORD_HEADER):
                raise ValueError("its first line is not \"%s...\"" % RECORD_HEADER.decode().rstrip("\t"))
            number = 1
            while True:
                line = f.readline(RECORD_LINE_LIMIT)
                if not line:
                    return
                number += 1
                if not line.endswith(b"\n"):
                    if len(line) < RECORD_LINE_LIMIT:  # the end of the file
                        self.notes.append("its last line (%d) was cut short, as the peer died while writing it; "
                                          "it is not counted" % number)
                        return
                    while line and not line.endswith(b"\n"):  # a line too long for any verdict
                        line = f.readline(RECORD_LINE_LIMIT)
                    self.notes.append("line %d is not a verdict (too long); it is not counted" % number)
                    continue
                verdict = self.parse(line[:-1])
                if verdict is None:
                    self.notes.append("line %d is not a verdict; it is not counted" % number)
                else:
                    self.verdicts.append(verdict)

    @staticmethod
    def parse(line):
        fields = line.split(b"\t")
        if len(fields) != RECORD_FIELDS or not fields[0].isdigit():
            return None
        v = dict(zip(("sequence", "name", "connection", "status", "seconds", "timestamp", "report", "reason"),
                     [int(fields[0])] + [record_text(f) for f in fields[1:]]))
        try:
            v["seconds"] = float(v["seconds"])
        except ValueError:
            return None
        if v["status"] not in VERDICTS or (v["report"] and (
                v["report"] != "%d-%s.xml" % (v["sequence"], v["name"]) or "/" in v["report"])):
            return None
        return v


def peer_cases_from_record(record, reports_dir):
    """The verdicts of a peer that wrote no report (it died), from its
    record; each failure's text is its counterpart's own report's (the one
    the record names, by its sequence number)."""
    where = os.path.join(os.path.basename(reports_dir), RECORD)
    cases = []
    for v in record.verdicts:
        verdict = v["status"]
        outcome = {"PASSED": "passed", "FAILED": "failed"}.get(verdict, "error")
        text = v["reason"]
        if outcome != "passed" and v["report"]:
            text += counterpart_failures(os.path.join(reports_dir, v["report"]), reports_dir)
        case = Case("peer", *split_name(v["name"]), outcome, v["seconds"],
                    "%s: %s" % (verdict, brief(text)) if outcome != "passed" else "",
                    text + "\n(the peer wrote no report; this verdict is from its record %s)" % where,
                    verdict.lower())
        case.timestamp = real_timestamp(v["timestamp"])
        case.props["verdict"] = verdict
        case.props["verdict_from"] = where
        if v["connection"]:
            case.props["connection_id"] = v["connection"]
        cases.append(case)
    return cases


# For a peer that keeps no record (another negative side, --peer-command):
# the lines in which dds_peer (platform/peer/src/dispatcher.cpp) says each
# verdict as it comes: "PASSED <name> (<seconds> s)", or "<status> <name>:
# <the message's first line>".
_LOG_PASSED = re.compile(r"^\[dds_peer\] PASSED (\S+) \((\d+(?:\.\d+)?) s\)$")
_LOG_NOT_PASSED = re.compile(r"^\[dds_peer\] (FAILED|CRASHED|TIMEOUT|ABORTED) (\S+?): (.*)$")
_LOG_RUNNING = re.compile(r"^\[dds_peer\] running (\S+) on connection ")


def peer_cases_from_log(log_path, reports_dir):
    """The verdicts a peer gave in its log, for a peer that wrote neither a
    report (it died) nor a record. Only the first line of each message is in
    the log; each counterpart's googletest report in reports_dir
    ("<sequence>-<name>.xml") adds its failures to the verdict when it is the
    only one of that name, so that it can be told apart."""
    cases = []
    try:
        lines = list(line for line in report_xml.bounded_lines(log_path) if line.startswith("[dds_peer] "))
    except OSError:
        return cases
    files = {}
    try:
        for entry in sorted(os.listdir(reports_dir), key=lambda n: (len(n.split("-", 1)[0]), n)):
            m = re.match(r"^\d+-(.+)\.xml$", entry)
            if m:
                files.setdefault(m.group(1), []).append(os.path.join(reports_dir, entry))
    except OSError:
        pass
    ran = {}
    for line in lines:
        m = _LOG_RUNNING.match(line)
        if m:
            ran[m.group(1)] = ran.get(m.group(1), 0) + 1
            continue
        m = _LOG_PASSED.match(line)
        if m:
            verdict, name, seconds, first = "PASSED", m.group(1), float(m.group(2)), ""
        else:
            m = _LOG_NOT_PASSED.match(line)
            if not m:
                continue
            verdict, name, seconds, first = m.group(1), m.group(2), 0.0, m.group(3)
        outcome = {"PASSED": "passed", "FAILED": "failed"}.get(verdict, "error")
        text = first
        own = files.get(name, [])
        if outcome != "passed" and len(own) == 1 and ran.get(name) == 1:
            text += counterpart_failures(own[0], reports_dir)
        elif own:
            text += "\n(its counterpart's reports: %s)" % ", ".join(os.path.basename(f) for f in own)
        case = Case("peer", *split_name(name), outcome, seconds,
                    "%s: %s" % (verdict, brief(first)) if outcome != "passed" else "",
                    text + "\n(the peer wrote no report and kept no record of its verdicts; this verdict is the "
                    "one its log peer.log gave)",
                    verdict.lower())
        case.props["verdict"] = verdict
        case.props["verdict_from"] = "peer.log"
        cases.append(case)
    return cases


def counterpart_failures(path, reports_dir, limit=FAILURE_TEXT_LIMIT):
    """The failure messages of a counterpart's googletest report, their
    first `limit` characters, with a note of what was left out."""
    report, _ = load_xml(path)
    if report is None:
        return ""
    out, kept, left, left_out = [], 0, 0, 0
    for _, tc in report.cases():
        for f in tc.findall("failure"):
            text = (f.text or f.get("message", "")).strip() + unread_note(f.text_cut, path)
            piece = text[:max(0, limit - kept)] if not left_out else ""
            if piece:
                out.append(piece)
                kept += len(piece) + 2
            if len(piece) < len(text):
                left_out += 1
                left += len(text) - len(piece)
    where = os.path.join(os.path.basename(reports_dir), os.path.basename(path))
    if left_out:
        out.append("[... %d more characters of failure messages, of %d failure(s), not kept: a counterpart's "
                   "failure messages are taken up to %d characters; the whole is in %s]"
                   % (left, left_out, limit, where))
    return "\n%s:\n%s" % (where, "\n\n".join(out)) if out else ""


# ---------------------------------------------------------------- the report's size

MAX_BYTES = 64 << 20  # suite.xml's default bound
CUT_NOTE = "\n[... %d more characters cut to keep suite.xml within %.0f MiB; the whole text is in %s]"
CUT_NOTE_BYTES = 200  # room for a CUT_NOTE and its property


def xml_size(text):
    """Bytes of a text as the report's writer puts it in an element."""
    text = text or ""
    return len(text.encode("utf-8")) + 4 * (text.count("&") + text.count("<") + text.count(">"))


class _Counter:
    def __init__(self):
        self.n = 0

    def write(self, data):
        self.n += len(data)


def serialized_size(root):
    counter = _Counter()
    ET.ElementTree(root).write(counter, encoding="utf-8", xml_declaration=True)
    return counter.n


def water_level(sizes, budget):
    """The largest size every text may keep so that all of them fit the
    budget: texts shorter than it stay whole, the longer ones are cut to it."""
    low, high = 0, max(sizes)
    while low < high:
        mid = (low + high + 1) // 2
        if sum(min(s, mid) for s in sizes) <= budget:
            low = mid
        else:
            high = mid - 1
    return low


def cut_text(text, size):
    """The beginning of a text that takes at most `size` bytes in the report."""
    kept = text[:size]
    while kept and xml_size(kept) > size:
        kept = kept[: max(0, len(kept) - (xml_size(kept) - size) - 1)]
    return kept


def size_text(n):
    return "%.0f MiB" % (n / float(1 << 20)) if n >= 1 << 20 else "%d bytes" % n


# ---------------------------------------------------------------- the library judged

# The library under test, as the loader names it for the positive side.
LIBRARY = re.compile(r"^\s*(libquorvela\.so\S*)\s+=>\s+(\S+)")


def library_identity(positive, build_dir=None):
    """(properties, words) naming the library the positive side loads: the
    loader's path for it (ldd, in this environment), the file, its SONAME,
    size and SHA-256; and the Python binding's directory of the build."""
    props, words = [], []
    path = None
    if positive:
        try:
            run = subprocess.run(["ldd", positive], capture_output=True, text=True, timeout=60, errors="replace")
            for line in run.stdout.splitlines():
                m = LIBRARY.match(line)
                if m:
                    path = m.group(2)
                    break
            why = "%s loads no libquorvela.so (ldd: %s)" % (positive, brief(run.stdout + run.stderr, 200))
        except (OSError, subprocess.SubprocessError) as e:
            why = "ldd could not be run (%s)" % e
    else:
        why = "the positive side is not known"
    if path and os.path.isfile(path):
        real = os.path.realpath(path)
        digest = hashlib.sha256()
        with open(real, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        soname = elf_soname(real) or "unknown"
        size = os.path.getsize(real)
        props += [("library.path", path), ("library.file", real), ("library.soname", soname),
                  ("library.size", str(size)), ("library.sha256", digest.hexdigest())]
        words.append("%s (%s; SONAME %s, %d bytes, SHA-256 %s)" % (path, real, soname, size, digest.hexdigest()))
    else:
        props.append(("library.path", "unknown: " + why))
        words.append("unknown: " + why)
    binding = python_binding(build_dir)
    props.append(("python_binding.path", binding or "unknown: no build directory names it"))
    words.append("Python binding %s" % (binding or "unknown"))
    return props, "; ".join(words)


def elf_soname(path):
    try:
        run = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, timeout=60, errors="replace")
    except (OSError, subprocess.SubprocessError):
        return None
    m = re.search(r"\(SONAME\)\s+Library soname: \[(.*)\]", run.stdout)
    return m.group(1) if m else None


def python_binding(build_dir):
    """The directory of the quorvela Python binding the build uses (its
    CMake cache's QV_PY_BINDING_DIR)."""
    if not build_dir:
        return None
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
            m = re.search(r"^QV_PY_BINDING_DIR:INTERNAL=(.*)$", f.read(), re.M)
    except OSError:
        return None
    return m.group(1).strip() if m else None


# ---------------------------------------------------------------- the run


class Report:
    def __init__(self, args):
        self.args = args
        self.positive = []
        self.peer = []
        self.runner = []  # errors of the run itself
        self.pairs = {}   # id(positive case) -> peer case
        self.rounds = 1
        self.run_props = []  # (name, value) of the run's own suite
        self.library = ""    # the library under test, in words
        self.cut = []        # (case, characters kept, characters) of each text cut to fit the report
        self.size = 0

    def runner_error(self, name, message, text=""):
        self.runner.append(Case("runner", "run_suite", name, "error", message=message, text=text or message))

    def read_positive(self):
        a = self.args
        log_path = os.path.join(a.results, "positive.log")
        log = read_log(log_path) if os.path.exists(log_path) else ""
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
            # What the peer said before it went is kept.
            self.peer, kept = self.given_verdicts()
            self.runner_error("peer_report", ("the peer wrote no report" if problem == "missing"
                                              else "the peer's report is " + problem) + kept)
        else:
            self.peer = peer_cases(root)
            if problem:
                self.runner_error("peer_report", "the peer's report is " + problem)
        # The peer exits with status 1 when a verdict failed; any other status
        # is the run's own error.
        if not self.args.peer_running and self.args.peer_status != 0 and not (
                self.args.peer_status == 1 and any(c.outcome != "passed" for c in self.peer)):
            self.runner_error("peer_exit", "the peer " + exit_text(self.args.peer_status))
        return root is not None

    def given_verdicts(self):
        """(cases, words) of the verdicts a peer that wrote no report had
        given: from its record of them, or, from a peer that keeps none, from
        its log's lines."""
        reports = os.path.join(self.args.results, "peer-reports")
        where = os.path.join("peer-reports", RECORD)
        try:
            record = Record(os.path.join(reports, RECORD))
        except FileNotFoundError:
            why = "it kept no record of them (%s)" % where
        except (OSError, ValueError) as e:
            why = "its record %s cannot be read (%s)" % (where, e)
        else:
            cases = peer_cases_from_record(record, reports)
            words = "; the %d verdict(s) it gave before are taken from its record %s" % (len(cases), where) \
                if cases else "; its record %s holds no verdict" % where
            return cases, words + "".join("; " + note for note in record.notes)
        cases = peer_cases_from_log(os.path.join(self.args.results, "peer.log"), reports)
        return cases, ("; the %d verdict(s) it gave before are taken from peer.log, as its lines say them (%s, as a "
                       "peer other than this project's dds_peer may not keep one)" % (len(cases), why)
                       if cases else "; %s, and its log peer.log gives none" % why)

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

    def round_name(self, name, side, number):
        """A name of a repeat's round: the round is part of every suite's and
        case's name, so that no reader of the report merges two rounds."""
        return "%s (round %d)" % (name, number) if self.rounds > 1 and side in ("positive", "peer") else name

    def write_junit(self, path):
        root = ET.Element("testsuites", name="dds_suite")
        totals = dict(tests=0, failures=0, errors=0, skipped=0, disabled=0, time=0.0)
        groups = {}  # (side, suite, round) -> cases, in order of first appearance
        for case in self.positive + self.peer:
            groups.setdefault((case.side, case.suite, case.round), []).append(case)
        # The run's own suite: what was judged (the library) and the run's errors.
        groups[("runner", "run_suite", 0)] = self.runner
        texts = []  # (element, case) of each failure and error text
        started = self.args.started
        for (side, suite, number), cases in groups.items():
            counts = dict(tests=len(cases),
                          failures=sum(c.outcome == "failed" for c in cases),
                          errors=sum(c.outcome == "error" for c in cases),
                          skipped=sum(c.outcome in ("skipped", "notrun", "disabled") for c in cases),
                          disabled=sum(c.outcome == "disabled" for c in cases),
                          time=sum(c.time for c in cases))
            element = ET.SubElement(root, "testsuite", name=self.round_name(suite, side, number))
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
            if self.rounds > 1 and side != "runner":
                ET.SubElement(props, "property", name="round", value=str(number))
            if side == "runner":
                for k, v in self.run_props:
                    ET.SubElement(props, "property", name=k, value=clean(v))
            for c in cases:
                for k, v in sorted(c.props.items()):
                    ET.SubElement(props, "property", name="%s.%s" % (c.name, k), value=clean(v))
            for c in cases:
                tc = ET.SubElement(element, "testcase", name=self.round_name(c.name, side, number),
                                   classname=c.suite, time="%.3f" % c.time)
                if c.outcome in ("skipped", "notrun", "disabled"):
                    ET.SubElement(tc, "skipped", message=c.message or c.outcome)
                elif c.outcome == "error":
                    e = ET.SubElement(tc, "error", message=brief(c.message), type=c.etype or "error")
                    texts.append((e, c, props))
                elif c.outcome == "failed":
                    f = ET.SubElement(tc, "failure", message=brief(c.message) or "failed")
                    texts.append((f, c, props))
            for k in ("tests", "failures", "errors", "skipped", "disabled"):
                totals[k] += counts[k]
            totals["time"] += counts["time"]
        for k in ("tests", "failures", "errors"):
            root.set(k, str(totals[k]))
        # The run's wall time, not the sum of both sides' (which overlap).
        wall = max(0.0, time.time() - started) if started is not None else totals["time"]
        root.set("time", "%.3f" % wall)
        ET.indent(root)
        self.fit(root, texts, path)
        return totals

    def fit(self, root, texts, path):
        """Writes the report with each failure and error text, the longest
        cut first, so that the file stays within --max-bytes; each cut text
        says so at its end and in a property of its suite ("<case>.text_cut"),
        the run's suite in "report.texts_cut"."""
        limit = self.args.max_bytes
        full = [(c.text or c.message) for _, c, _ in texts]
        sizes = [xml_size(t) for t in full]
        for element, _, _ in texts:
            element.text = ""
        fixed = serialized_size(root)
        self.cut = []
        budget = limit - fixed
        for _ in range(4):
            if fixed + sum(sizes) <= limit or not texts:
                keep = None
            else:
                keep = water_level(sizes, max(0, budget - len(texts) * CUT_NOTE_BYTES))
            self.cut = []
            notes = []
            for (element, case, props), text, size in zip(texts, full, sizes):
                if keep is not None and size > keep:
                    kept = cut_text(text, keep)
                    element.text = kept + CUT_NOTE % (len(text) - len(kept), limit / float(1 << 20),
                                                      "positive.xml and positive.log" if case.side == "positive"
                                                      else "peer.xml and peer.log" if case.side == "peer"
                                                      else "the logs")
                    self.cut.append((case, len(kept), len(text)))
                    notes.append((props, case, len(kept), len(text)))
                else:
                    element.text = text
            for props, case, kept, whole in notes:
                ET.SubElement(props, "property", name="%s.text_cut" % case.name,
                              value="kept %d of %d characters" % (kept, whole))
            summary = None
            if self.cut:
                summary = ET.SubElement(root.find("testsuite[@name='run_suite']/properties"), "property",
                                        name="report.texts_cut", value=self.cut_summary(limit))
            ET.indent(root)
            ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)
            size = os.path.getsize(path)
            if size <= limit or keep == 0 or not texts:
                self.size = size
                return
            # Characters of more than one byte, the notes: try again with the
            # excess taken off every text that was cut.
            budget -= size - limit + len(notes)
            for props, case, _, _ in notes:
                for p in props.findall("property"):
                    if p.get("name") == "%s.text_cut" % case.name:
                        props.remove(p)
            if summary is not None:
                root.find("testsuite[@name='run_suite']/properties").remove(summary)
        self.size = os.path.getsize(path)

    def cut_summary(self, limit):
        return "%d failure or error text(s) cut to keep suite.xml within %s: %s" % (
            len(self.cut), size_text(limit), ", ".join("%s (kept %d of %d characters)" % (c.full_name, k, n)
                                                       for c, k, n in self.cut[:10])
            + (" and %d more" % (len(self.cut) - 10) if len(self.cut) > 10 else ""))

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
        print("library under test: " + self.library)
        if self.cut:
            print("suite.xml: " + self.cut_summary(a.max_bytes))
        status = self.status(totals)
        where = "report: %s; logs: positive.log, peer.log in %s" % (path, a.results)
        if status == PASSED:
            print("RESULT: PASSED (%s)" % where)
        elif status == NOTHING_JUDGED:
            print("RESULT: NOTHING JUDGED: no test was selected to run, so nothing passed or failed "
                  "(exit status %d; %s)" % (status, where))
        elif status == TESTS_FAILED:
            print("RESULT: FAILED: tests failed (exit status %d; %s)" % (status, where))
        else:
            print("RESULT: FAILED: the run broke, its verdicts are incomplete (exit status %d; %s)" % (status, where))
        print("=" * line_width)
        return status

    def status(self, totals):
        """The run's exit status: the run broke (its own errors, a positive
        side that stopped in a test, a counterpart without a verdict), else
        tests failed, else nothing judged, else passed."""
        if self.runner or any(c.outcome == "error" for c in self.positive) or any(
                c.outcome == "error" and "verdict" not in c.props for c in self.peer):
            return RUN_BROKE
        if totals["failures"] or totals["errors"]:
            return TESTS_FAILED
        if not any(c.ran for c in self.positive) and not any("verdict" in c.props for c in self.peer):
            return NOTHING_JUDGED
        return PASSED


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
    parser.add_argument("--positive-binary", help="the positive side's executable, for the library it loads")
    parser.add_argument("--build-dir", help="the build, for its Python binding")
    parser.add_argument("--max-bytes", type=int, default=MAX_BYTES, help="suite.xml's bound in bytes")
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
    report.run_props, report.library = library_identity(args.positive_binary, args.build_dir)
    path = os.path.join(args.results, "suite.xml")
    totals = report.write_junit(path)
    return report.print_summary(totals, path)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
