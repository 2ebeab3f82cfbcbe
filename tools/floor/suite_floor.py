#!/usr/bin/env python3
"""The suite's floor: the part of its wall time that the tests spend by design
and that no library, however fast, can shorten.

  suite_floor.py [--build-dir DIR] [--keep DIR] [runner arguments...]
  suite_floor.py --logs DIR

It runs the suite once (run_suite.sh --no-build, in a network namespace of
its own, with the runner arguments given) with waitlog.c preloaded into
every process. The main thread of the positive process and of each
counterpart process logs every sleep, and every timed wait that ran out,
with its interval on the system's monotonic clock and its call site. Each
call site is resolved to a line of the project's sources and classified:

  designed  a wait a test makes on purpose: a fixed sleep or pause, a wait
            for something that must not come (a grace, a key, a status, a
            wait set that must time out), a lease or period that must run out
  poll      one step of a loop that polls for an event: the event's own time
            is not the test's design

The floor is the length of the union of the designed intervals of all
processes: the time during which at least one side of a test is in a wait
of its design (the two sides of a test wait on each other, so waits that
overlap count once). A wait that ends early because its event came is not
counted, so the floor errs low. It prints the designed and polling time per
call site, the floor, the run's wall time and their ratio. --logs analyses
the logs of an earlier run.
"""

import argparse
import collections
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.dirname(os.path.abspath(__file__))

# Polling steps: (file, line), or (file, None) for every line of it.
POLL = [("harness/MatchSteps.h", None), ("harness/MatchedDataCheck.h", None), ("harness/TestHelper.cpp", None),
        ("src/DPTestPositive.cpp", 116), ("src/TopicDataQosPolicyTestPositive.cpp", 65),
        # MATCHED_DATA_CHECK (harness/MatchedDataCheck.h) is a macro: its polls
        # show at the lines that use it.
        ("src/UserDataQosPolicyTestPositive.cpp", 49), ("src/UserDataQosPolicyTestPositive.cpp", 60),
        ("src/GroupDataQosPolicyTestPositive.cpp", 49), ("src/GroupDataQosPolicyTestPositive.cpp", 62),
        ("platform/peer/counterpart/counterpart.cpp", None), ("platform/peer/counterpart/matches.cpp", None),
        ("platform/peer/counterpart/counterpart.h", None),
        ("platform/peer/counterparts/LivelinessQosPolicyTestNegative.cpp", 110),
        ("platform/peer/counterparts/LivelinessQosPolicyTestNegative.cpp", 217),
        ("platform/peer/counterparts/discovered_endpoints.h", None)]
# Designed waits inside the skeleton's files, which otherwise poll: its pause
# (cp::pause, by name) and the wait-set wait of cp::DataWait, which runs out
# only where nothing may come (a grace).
DESIGNED = [("platform/peer/counterpart/counterpart.cpp", "pause"),
            ("platform/peer/counterpart/counterpart.cpp", "DataWait::wait")]
OWN = re.compile(r"/((?:src|harness|platform/peer|platform/quorvela)/[^:]*):(\d+)")


class Sites:
    """Call sites resolved to (file, line, function) of the project's sources."""

    def __init__(self):
        self.cache = {}

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

    def site_of(self, stack):
        """The call site of a wait: the first frame in the project's sources;
        for a step of the skeleton's bounded wait, its caller when that is a
        designed wait."""
        own = [f for s in stack for f in self.resolve(s)]
        if not own:
            return None
        for frame in own[:3]:
            if any(frame[0] == path and name in frame[2] for path, name in DESIGNED):
                return frame[0], frame[1], "designed"
        path, line, _ = own[0]
        polls = any(path == p and (l is None or l == line) for p, l in POLL)
        return path, line, "poll" if polls else "designed"


def load(directory):
    """(side, [(start, end, call stack)]) per process of the positive side or a counterpart."""
    processes = []
    for name in glob.glob(os.path.join(directory, "wait.*.log")):
        exe, waits = None, []
        with open(name, errors="replace") as f:
            for line in f:
                if line.startswith("EXE "):
                    exe = line.split(None, 1)[1].strip()
                elif line.startswith("W "):
                    p = line.split()
                    waits.append((int(p[2]), int(p[3]), p[5:]))
        if exe and exe.endswith(("dds_positive_tests", "dds_peer_tests")):
            processes.append(("positive" if exe.endswith("dds_positive_tests") else "peer", waits))
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


def analyse(directory, wall=None):
    sites = Sites()
    kinds = collections.defaultdict(list)
    per_site = collections.Counter()
    for side, waits in load(directory):
        for start, end, stack in waits:
            if end - start < 1000000:
                continue  # under 1 ms
            site = sites.site_of(stack)
            kind = site[2] if site else "elsewhere"
            kinds[kind].append((start, end))
            per_site[(kind, side, "%s:%d" % site[:2] if site else "outside the project's sources")] += end - start
    for (kind, side, where), ns in sorted(per_site.items(), key=lambda kv: -kv[1]):
        print("%8.2f s  %-9s %-8s %s" % (ns / 1e9, kind, side, where))
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
    parser.add_argument("--logs", metavar="DIR", help="only analyse the wait logs in DIR")
    args, runner = parser.parse_known_args(argv[1:])
    if args.logs:
        analyse(args.logs)
        return 0
    work = args.keep or tempfile.mkdtemp(prefix="suite_floor.")
    logs = os.path.join(work, "waits")
    os.makedirs(logs, exist_ok=True)
    shim = os.path.join(work, "waitlog.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", shim, os.path.join(HERE, "waitlog.c"), "-ldl", "-lpthread"],
                   check=True)
    env = dict(os.environ, WAITLOG_DIR=logs, LD_PRELOAD=shim)
    command = ["unshare", "-n", "bash", "-c", 'ip link set lo up && exec "$@"', "suite_floor",
               os.path.join(ROOT, "run_suite.sh"), "--no-build", "--build-dir", os.path.abspath(args.build_dir),
               "--results", os.path.join(work, "results")] + runner
    start = time.monotonic()
    status = subprocess.run(command, env=env, cwd=ROOT, stdout=subprocess.DEVNULL, timeout=1200).returncode
    wall = time.monotonic() - start
    print("suite run: exit status %d" % status)
    analyse(logs, wall)
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
