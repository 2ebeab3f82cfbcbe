#!/usr/bin/env python3
"""The suite's floor: the part of its wall time that the tests spend by design
and that no library, however fast, can shorten.

  suite_floor.py [--build-dir DIR] [--keep DIR] [--per-test] [runner arguments...]
  suite_floor.py [--per-test] --logs DIR

It runs the suite once (run_suite.sh --no-build, in a network namespace of
its own, with the runner arguments given) with waitlog.c preloaded into
every process. The main thread of the positive process and of each
counterpart process logs every sleep, every timed wait that ran out, and
every timed wait of 1 ms or more that something woke, with its interval on
the system's monotonic clock and its call site. Each call site is resolved to
a line of the project's sources and classified:

  designed  a wait a test makes on purpose: a fixed sleep or pause (the
            skeleton's pause, also before a key after which the positive side
            writes), a wait for something that must not come (a grace, a
            key, a status, a wait set that must time out), a lease or period
            that must run out; also a polling loop that runs to its bound on
            every correct library (RUNS_OUT), and a wait woken by a period of
            the test's own design (WOKEN_BY_DESIGN)
  poll      one step of a loop that polls for an event: the event's own time
            is not the test's design

Other woken waits are not counted. The floor is the length of the union of
the designed intervals of all processes: the time during which at least one
side of a test is in a wait of its design (the two sides of a test wait on
each other, so waits that overlap count once). A wait that ends early
because its event came is not counted, so the floor errs low. It prints the
designed and polling time per call site, the polling loops of 250 ms or more
that no entry names (review them: one that runs to its bound on every
correct library belongs in RUNS_OUT), the floor, the run's wall time and
their ratio; with --per-test, each test's wall time, the designed part of it
and the rest, most first. --logs analyses the logs of an earlier run: the
directory --keep kept (or its waits/ alone, without --per-test).
"""

import argparse
import collections
import datetime
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.dirname(os.path.abspath(__file__))

# The counterparts' skeleton.
SKELETON = ("platform/peer/skeleton/",)
# Polling steps: (file, line), or (file or folder/, None) for every line of it.
POLL = [("harness/MatchSteps.h", None), ("harness/MatchedDataCheck.h", None), ("harness/TestHelper.cpp", None),
        ("src/DPTestPositive.cpp", 116), ("src/TopicDataQosPolicyTestPositive.cpp", 65),
        # MATCHED_DATA_CHECK (harness/MatchedDataCheck.h) is a macro: its polls
        # show at the lines that use it.
        ("src/UserDataQosPolicyTestPositive.cpp", 49), ("src/UserDataQosPolicyTestPositive.cpp", 60),
        ("src/GroupDataQosPolicyTestPositive.cpp", 49), ("src/GroupDataQosPolicyTestPositive.cpp", 62),
        ("platform/peer/counterparts/LivelinessQosPolicyTestNegative.cpp", 110),
        ("platform/peer/counterparts/LivelinessQosPolicyTestNegative.cpp", 217),
        ("platform/peer/counterparts/discovered_endpoints.h", None)] + [(folder, None) for folder in SKELETON]
# Designed waits inside the skeleton, which otherwise polls, by function: its
# pause (also the one before a key after which the positive side writes,
# report_before_writes) and the wait-set wait of cp::DataWait, which runs out
# only where nothing may come (a grace).
DESIGNED = ["pause", "report_before_writes", "DataWait::wait"]
# Polling loops that run to their bound on every correct library, by the
# file and a piece of the line that starts them: their steps are designed.
RUNS_OUT = [
    # The content-filtered topic's reader looks for its own topic's name
    # among matched publications, which carry the writer's topic name.
    ("src/TopicDataQosPolicyTestPositive.cpp", '"modified_base_topic_data", 50'),
    # The entity-factory counterpart watches for what a disabled entity must
    # not show: its participant, its writer's match, the positive side's
    # disabled endpoints.
    ("platform/peer/counterparts/EntityFactoryQosPolicyTestNegative.cpp", "wait_until(discovered_here, 1000)"),
    ("platform/peer/counterparts/EntityFactoryQosPolicyTestNegative.cpp", "matched_count(reader) > 1; }, 500)"),
    ("platform/peer/counterparts/EntityFactoryQosPolicyTestNegative.cpp", "kDisabledMs)"),
]
# Waits woken by a period of the test's own design, by file and a piece of
# the line: designed however they end.
WOKEN_BY_DESIGN = [
    # A wait set woken by an offered deadline of 2 s that must be missed.
    ("src/StatusConditionTestPositive.cpp", "waitset->wait(active_conditions, timeout)"),
]
LONG_POLL_NS = 250000000
OWN = re.compile(r"/((?:src|harness|platform/peer|platform/quorvela)/[^:]*):(\d+)")


class Sites:
    """Call sites resolved to (file, line, function) of the project's sources."""

    def __init__(self):
        self.cache = {}
        self.lines = {}

    def resolve(self, site):
        """The frames (file, line, function) at one return address, inlined
        ones first, in the project's own sources."""
        if site not in self.cache:
            obj, offset = site.rsplit("+", 1)
            try:
                out = subprocess.run(["addr2line", "-i", "-f", "-C", "-e", obj, offset], capture_output=True,
                                     text=True, timeout=60).stdout.splitlines()
            except (OSError, subprocess.SubprocessError):
                out = []
            frames = []
            for function, place in zip(out[0::2], out[1::2]):
                m = OWN.search(os.path.normpath(place.split(" (")[0]))
                if m:
                    frames.append((m.group(1), int(m.group(2)), function))
            self.cache[site] = frames
        return self.cache[site]

    def text(self, path, line):
        """The source line, empty when it cannot be read."""
        if path not in self.lines:
            try:
                with open(os.path.join(ROOT, path), errors="replace") as f:
                    self.lines[path] = f.read().splitlines()
            except OSError:
                self.lines[path] = []
        lines = self.lines[path]
        return lines[line - 1] if 0 < line <= len(lines) else ""

    def names(self, frames, table):
        """Whether one of the frames is a line of the table (file, piece)."""
        return any(path == f and piece in self.text(path, line) for path, line, _ in frames for f, piece in table)

    def site_of(self, stack, kind="sleep"):
        """The call site of a wait (file, line, "designed" or "poll"), or None
        for a woken wait that is not of the test's design. A step of a
        skeleton's wait is placed at its caller when that is a designed
        wait."""
        own = [f for s in stack for f in self.resolve(s)]
        if not own:
            return None
        if kind == "woken":
            return (own[0][0], own[0][1], "designed") if self.names(own[:4], WOKEN_BY_DESIGN) else None
        for frame in own[:3]:
            if frame[0].startswith(SKELETON) and any(name in frame[2] for name in DESIGNED):
                return frame[0], frame[1], "designed"
        path, line, _ = own[0]
        polls = any(path.startswith(p) if l is None else (path == p and l == line) for p, l in POLL)
        if polls and self.names(own[:4], RUNS_OUT):
            return path, line, "designed"
        return path, line, "poll" if polls else "designed"

    def loop_of(self, stack):
        """Where a polling step's loop was started: its first frames."""
        return tuple("%s:%d" % f[:2] for f in [f for s in stack for f in self.resolve(s)][:3])


def load(directory):
    """(side, [(start, end, call stack, kind)], clock) per process of the
    positive side or a counterpart; clock is (monotonic ns, real ns) read
    together, or None."""
    processes = []
    for name in glob.glob(os.path.join(directory, "wait.*.log")):
        exe, clock, waits = None, None, []
        with open(name, errors="replace") as f:
            for line in f:
                if line.startswith("EXE "):
                    exe = line.split(None, 1)[1].strip()
                elif line.startswith("CLOCK "):
                    clock = tuple(int(x) for x in line.split()[1:3])
                elif line.startswith("W "):
                    p = line.split()
                    waits.append((int(p[2]), int(p[3]), p[5:], p[1]))
        if exe and exe.endswith(("dds_positive_tests", "dds_peer_tests")):
            processes.append(("positive" if exe.endswith("dds_positive_tests") else "peer", waits, clock))
    return processes


def union(intervals):
    total, end = 0, None
    for start, stop in sorted(intervals):
        if end is None or start > end:
            total += stop - start
            end = stop
        elif stop > end:
            total += stop - end
            end = stop
    return total


def classify(directory):
    """The designed intervals, the polling steps' intervals, the time per call
    site, the polling loops of LONG_POLL_NS or more and the clock of the
    positive process, from the logs in directory."""
    sites = Sites()
    kinds = collections.defaultdict(list)
    per_site = collections.Counter()
    loops = collections.defaultdict(list)
    clock = None
    for side, waits, process_clock in load(directory):
        if side == "positive" and process_clock:
            clock = process_clock
        last = None  # the polling loop under way: [its start, its end, where]
        for start, end, stack, kind in sorted(waits, key=lambda w: w[0]):
            if end - start < 1000000:
                continue  # under 1 ms
            site = sites.site_of(stack, kind)
            if kind == "woken" and site is None:
                continue
            what = site[2] if site else "elsewhere"
            kinds[what].append((start, end))
            per_site[(what, side, "%s:%d" % site[:2] if site else "outside the project's sources")] += end - start
            if what == "poll":
                where = sites.loop_of(stack)
                if last and last[2] == where and start - last[1] < 30000000:
                    last[1] = end
                else:
                    last = [start, end, where]
                    loops[where].append(last)
    long_polls = [(e - s, where) for where, runs in loops.items() for s, e, _ in runs if e - s >= LONG_POLL_NS]
    return kinds, per_site, sorted(long_polls, reverse=True), clock


def test_intervals(results, clock):
    """(start, end, name) of each test of the positive side's report, on the
    monotonic clock."""
    tests = []
    for case in ET.parse(os.path.join(results, "positive.xml")).getroot().iter("testcase"):
        stamp = case.get("timestamp")
        if not stamp or case.get("result", "completed") != "completed":
            continue
        start = int(datetime.datetime.fromisoformat(stamp).timestamp() * 1e9) - clock[1] + clock[0]
        tests.append((start, start + int(float(case.get("time", "0")) * 1e9),
                      "%s.%s" % (case.get("classname"), case.get("name"))))
    return sorted(tests)


def per_test(tests, designed):
    """Each test's wall time, its designed part and the rest, most rest first."""
    rows = []
    for start, end, name in tests:
        inside = [(max(s, start), min(e, end)) for s, e in designed if e > start and s < end]
        d = union(inside)
        rows.append(((end - start - d) / 1e9, (end - start) / 1e9, d / 1e9, name))
    print("%8s %8s %8s  %s" % ("wall", "designed", "rest", "test (by the rest, most first)"))
    for rest, wall, d, name in sorted(rows, reverse=True):
        print("%8.2f %8.2f %8.2f  %s" % (wall, d, rest, name))
    print("%8.2f %8.2f %8.2f  all tests" % tuple(sum(r[i] for r in rows) for i in (1, 2, 0)))


def analyse(directory, wall=None, results=None):
    kinds, per_site, long_polls, clock = classify(directory)
    for (kind, side, where), ns in sorted(per_site.items(), key=lambda kv: -kv[1]):
        print("%8.2f s  %-9s %-8s %s" % (ns / 1e9, kind, side, where))
    for ns, where in long_polls:
        print("long polling loop, counted as polling: %.2f s at %s" % (ns / 1e9, " < ".join(where)))
    if results and clock:
        per_test(test_intervals(results, clock), kinds["designed"])
    floor = union(kinds["designed"]) / 1e9
    print("floor (union of the designed waits): %.2f s" % floor)
    print("polling steps (union): %.2f s" % (union(kinds["poll"]) / 1e9))
    if wall:
        print("wall time of the run: %.2f s, %.3f x the floor" % (wall, wall / floor))
    return floor


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    parser.add_argument("--keep", metavar="DIR", help="keep the run's results and logs in DIR")
    parser.add_argument("--logs", metavar="DIR", help="only analyse the logs in DIR (a --keep directory, or its waits/)")
    parser.add_argument("--per-test", action="store_true", help="also print each test's wall time and designed part")
    args, runner = parser.parse_known_args(argv[1:])
    if args.logs:
        kept = os.path.isdir(os.path.join(args.logs, "waits"))
        logs = os.path.join(args.logs, "waits") if kept else args.logs
        analyse(logs, results=os.path.join(args.logs, "results") if kept and args.per_test else None)
        return 0
    work = args.keep or tempfile.mkdtemp(prefix="suite_floor.")
    logs = os.path.join(work, "waits")
    os.makedirs(logs, exist_ok=True)
    shim = os.path.join(work, "waitlog.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", shim, os.path.join(HERE, "waitlog.c"), "-ldl", "-lpthread"],
                   check=True)
    env = dict(os.environ, WAITLOG_DIR=logs, LD_PRELOAD=shim)
    results = os.path.join(work, "results")
    command = ["unshare", "-n", "bash", "-c", 'ip link set lo up && exec "$@"', "suite_floor",
               os.path.join(ROOT, "run_suite.sh"), "--no-build", "--build-dir", os.path.abspath(args.build_dir),
               "--results", results] + runner
    start = time.monotonic()
    status = subprocess.run(command, env=env, cwd=ROOT, stdout=subprocess.DEVNULL, timeout=1200).returncode
    wall = time.monotonic() - start
    print("suite run: exit status %d" % status)
    analyse(logs, wall, results if args.per_test else None)
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
