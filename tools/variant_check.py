#!/usr/bin/env python3
"""The variants checker: proves that the suite stays green on a library that
takes another course DDS allows. It reads the variants table
(tools/variants.tsv) and

- checks that the table and the library's source agree: each variant point
  QV_VARIANT(name) under platform/quorvela/src has exactly one row, each
  row's variant is in the source, each row names project tests that exist;
- runs, for each variant and once without any, the whole suite (disabled
  tests included) through run_suite.sh in the fault build with
  QV_VARIANT=<variant> for every process, each run in a network namespace
  of its own, several at once, and the row's project tests (CTest) with the
  variant: a row passes only when every positive test, every counterpart and
  every project test named passed.

On red it prints the failing tests, positive and counterpart, each with the
first lines of its failure, and keeps of each run only that excerpt (all the
logs with --keep).

  variant_check.py [--build-dir DIR] [--jobs N] [--time-limit SECS]
                   [--run-timeout SECS] [--only VARIANT...] [--keep DIR]
  variant_check.py --check-table

It prints one line per row (variant, PASS or FAIL, what went red, run time)
and closes with "N passed, N failed"; the exit status is 0 only when every
row passed. Runs need root (unshare -n) and the fault build (./setup.sh
--faults), which compiles the variant points beside the fault points.
"""

import os
import re
import shutil
import signal
import sys
import time
from typing import NamedTuple, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue  # noqa: E402
import fault_check  # noqa: E402

DEFAULT_TABLE = os.path.join(ROOT, "tools", "variants.tsv")
COLUMNS = ["variant", "tests", "latitude", "legal"]
POINT = fault_check.point_pattern("QV_VARIANT")
NONE = "(none)"  # the reference run, with no variant
# How much of a red run's logs is kept and shown.
LINES_PER_TEST = 4
LINES_PER_RUN = 60


class Row(NamedTuple):
    variant: str
    tests: Tuple[str, ...]
    latitude: str
    legal: str
    line: int


TableError = fault_check.TableError


def parse_table(text, origin="variants.tsv"):
    """The rows of a variants table text, in order."""
    rows = []
    for number, fields in catalogue.table_rows(text, COLUMNS, origin, TableError):
        variant, tests, latitude, legal = (f.strip() for f in fields)
        if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", variant):
            raise TableError("%s:%d: %r is not a variant name" % (origin, number, variant))
        names = tuple(t.strip() for t in tests.split(",") if t.strip())
        if not names:
            raise TableError("%s:%d: no project test tells %s from the default" % (origin, number, variant))
        if not latitude:
            raise TableError("%s:%d: no latitude" % (origin, number))
        if not legal:
            raise TableError("%s:%d: no reason why %s is legal" % (origin, number, variant))
        rows.append(Row(variant, names, latitude, legal, number))
    return rows


def load_table(path=DEFAULT_TABLE):
    with open(path, encoding="utf-8") as f:
        return parse_table(f.read(), os.path.basename(path))


def check_table(rows, points, case_known=fault_check.project_case_known):
    """What is wrong with the table against the source's variant points: a
    list of problems, empty when they agree."""
    problems = []
    seen = {}
    for row in rows:
        if row.variant in seen:
            problems.append("line %d: variant %s has a row already (line %d)" % (row.line, row.variant,
                                                                                 seen[row.variant]))
            continue
        seen[row.variant] = row.line
        if row.variant not in points:
            problems.append("line %d: variant %s has no QV_VARIANT(%s) in the library's source"
                            % (row.line, row.variant, row.variant))
        for name in row.tests:
            if case_known(name) is False:
                problems.append("line %d: variant %s: no project test %s" % (row.line, row.variant, name))
    for variant in sorted(set(points) - set(seen)):
        problems.append("variant point %s (%s) has no row in the table"
                        % (variant, ", ".join(sorted(set(points[variant])))))
    return problems


# ---------------------------------------------------------------- the logs


def test_sections(text):
    """googletest's output split per test: full name -> its lines (between
    its RUN and its OK or FAILED line)."""
    sections, current = {}, None
    for line in text.splitlines():
        m = re.search(r"\[ RUN      \] (\S+)", line)
        if m:
            current = m.group(1)
            sections.setdefault(current, [])
            continue
        m = re.search(r"\[ {2}(?:FAILED|     OK) \] (\S+)", line)
        if m and m.group(1) == current:
            current = None
            continue
        if current:
            sections[current].append(line)
    return sections


_NOISE = ("Failed", "Google Test trace", "[", "/")


def failure_lines(lines, limit=LINES_PER_TEST):
    """The messages of a test's failures: the first line of each after
    googletest's "file:line: Failure", without repeats."""
    out = []
    for i, line in enumerate(lines):
        if not line.rstrip().endswith("Failure"):
            continue
        for follow in lines[i + 1:i + 8]:
            text = follow.strip()
            if text and not text.startswith(_NOISE):
                if text not in out:
                    out.append(text[:300])
                break
        if len(out) >= limit:
            break
    return out


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def red_tests(run, counterparts):
    """(side, test) of every red test of a suite run: positive tests that did
    not pass (none is skipped: a skipped one did not run), counterparts whose
    verdict did not pass."""
    red = [("positive", t) for t, o in sorted(run.positive.items()) if o != "passed"]
    red += [("peer", full) for full, o, _, _ in run.peer if o != "passed"]
    return red


def suite_excerpt(directory, run, counterparts):
    """The red tests of a suite run with their failure lines, bounded."""
    sections = {"positive": test_sections(read_text(os.path.join(directory, "positive.log"))),
                "peer": test_sections(read_text(os.path.join(directory, "peer.log")))}
    lines = []
    for side, test in red_tests(run, counterparts):
        lines.append("%s %s" % (side, test))
        lines.extend("      " + m for m in failure_lines(sections[side].get(test, [])))
    lines.extend("runner: " + m for m in run.runner)
    if run.problem:
        lines.append("suite.xml %s" % run.problem)
    if len(lines) > LINES_PER_RUN:
        lines = lines[:LINES_PER_RUN] + ["... (%d lines more)" % (len(lines) - LINES_PER_RUN)]
    return lines


def project_excerpt(directory, cases):
    lines = []
    log = test_sections(read_text(os.path.join(directory, "run.log")))
    for name, outcome in sorted(cases.items()):
        if outcome != "passed":
            lines.append("project %s %s" % (name, outcome))
            test = name.split(".", 1)[1] if "." in name else name
            lines.extend("      " + m for m in failure_lines(log.get(test, [])))
    return lines[:LINES_PER_RUN]


# ---------------------------------------------------------------- runs


class Checker(fault_check.RowChecker):
    def __init__(self, args, rows, tests):
        super().__init__("variant_check", args, rows, tests)

    def env(self, variant, directory):
        # QV_VARIANT_DIR: the run's own directory for the notes its processes
        # leave one another (writer_discovers_late), removed with the run.
        env = dict(os.environ)
        env.pop("QV_FAULT", None)
        env.pop("QV_VARIANT", None)
        notes = os.path.join(directory, "notes")
        os.makedirs(notes, exist_ok=True)
        env["QV_VARIANT_DIR"] = notes
        if variant != NONE:
            env["QV_VARIANT"] = variant
        return env

    def run(self, kind, variant, tests):
        directory = os.path.join(self.work, "%s-%s" % (variant.strip("()"), kind))
        os.makedirs(directory, exist_ok=True)
        remaining = self.deadline - time.monotonic()
        if remaining < 10:
            return dict(dir=directory, skipped=True, status=None, seconds=0.0, timed_out=False)
        # The whole suite; a project run, the row's tests.
        status, seconds, timed_out = fault_check.run_in_namespace(
            kind, self.build, directory, tests if kind == "project" else None, self.env(variant, directory),
            min(self.args.run_timeout, remaining))
        return dict(dir=directory, skipped=False, status=status, seconds=seconds, timed_out=timed_out)

    def judge(self, variant, suite, project):
        """(passed, red lines)."""
        red = []
        for label, r in (("suite", suite), ("project tests", project)):
            if r is None:
                continue
            if r["skipped"]:
                red.append("%s: not run (total time bound reached)" % label)
            elif r["timed_out"]:
                red.append("%s: stopped at the time bound" % label)
        run = fault_check.read_suite_xml(os.path.join(suite["dir"], "suite.xml"))
        suite_ok = not suite["skipped"] and suite["status"] == 0 and not run.problem and not run.runner and \
            not red_tests(run, self.counterparts) and run.positive
        if not suite_ok:
            red.extend(suite_excerpt(suite["dir"], run, self.counterparts) or
                       ["suite: exit status %s, nothing red in its report" % suite["status"]])
        project_ok = True
        if project is not None:
            cases = fault_check.read_ctest_junit(os.path.join(project["dir"], "ctest.xml")) or {}
            project_ok = not project["skipped"] and project["status"] == 0 and cases and \
                all(o == "passed" for o in cases.values())
            if not project_ok:
                red.extend(project_excerpt(project["dir"], cases) or
                           ["project tests: exit status %s, no report" % project["status"]])
        return bool(suite_ok and project_ok), red

    def keep_excerpt(self, variant, runs, red):
        """Leaves of the runs' directories only the excerpt (all with --keep)."""
        if self.args.keep:
            return None
        path = os.path.join(self.work, "%s.txt" % variant.strip("()"))
        for r in runs:
            if r is not None:
                shutil.rmtree(r["dir"], ignore_errors=True)
        if red:
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(red) + "\n")
            return path
        return None

    def main(self):
        plan = [(NONE, None)] + [(row.variant, row.tests) for row in self.rows]
        jobs = []
        for variant, tests in plan:
            jobs.append(("suite", variant, tests))
            if tests:
                jobs.append(("project", variant, tests))
        print("variant_check: %d variants and a run without, %d runs, %d at once, build %s, logs in %s"
              % (len(self.rows), len(jobs), self.args.jobs, self.build, self.work), flush=True)
        started = time.monotonic()
        results = {}
        counts = {"passed": 0, "failed": 0}
        done = set()

        def handle(call, result):
            _, kind, variant, _ = call
            results[(kind, variant)] = result
            for name, tests_of in plan:
                if name in done or ("suite", name) not in results or \
                        (tests_of and ("project", name) not in results):
                    continue
                done.add(name)
                suite, project = results[("suite", name)], results.get(("project", name))
                ok, red = self.judge(name, suite, project)
                excerpt = self.keep_excerpt(name, (suite, project), red)
                seconds = suite["seconds"] + (project["seconds"] if project else 0)
                count = sum(1 for line in red if not line.startswith(" "))
                print("%-30s %s %6.1f s%s" % (name, "PASS" if ok else "FAIL", seconds,
                                              "" if ok else ", %d red" % count), flush=True)
                for line in red:
                    print("    " + line, flush=True)
                if excerpt:
                    print("    (kept in %s)" % excerpt, flush=True)
                counts["passed" if ok else "failed"] += 1

        def cleanup():
            # What is left of the runs' directories goes; the excerpts stay.
            if not self.args.keep:
                for entry in os.listdir(self.work):
                    if os.path.isdir(os.path.join(self.work, entry)):
                        shutil.rmtree(os.path.join(self.work, entry), ignore_errors=True)

        # The suite runs first: they are the long ones.
        order = sorted(jobs, key=lambda j: j[0] != "suite")
        interrupted = fault_check.run_pool("variant_check", self.args.jobs, [(self.run,) + job for job in order],
                                           handle, cleanup)
        passed, failed = counts["passed"], counts["failed"]
        if interrupted:
            print("variant_check: interrupted after %d variants of %d" % (passed + failed, len(plan)))
            failed += len(plan) - passed - failed
        print("variant_check: %.0f s wall" % (time.monotonic() - started))
        if failed == 0 and not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        print("%d passed, %d failed" % (passed, failed))
        return failed == 0


def default_jobs():
    # Each run mostly waits on DDS timers and the tests' own pauses.
    return max(1, os.cpu_count() or 4)


def main(argv):
    args = fault_check.checker_arguments(__doc__, DEFAULT_TABLE, "VARIANT", default_jobs(), 900, 600).parse_args(
        argv[1:])

    try:
        rows = load_table(args.table)
        tests = catalogue.load(args.catalogue)
    except (OSError, TableError, catalogue.CatalogueError) as e:
        print("variant_check: %s" % e, file=sys.stderr)
        return 2
    status, rows = fault_check.rows_to_check("variant_check", args, rows,
                                             check_table(rows, fault_check.source_points(args.source, POINT)),
                                             lambda r: r.variant, "the source's variant points")
    if status is not None:
        return status
    # A termination ends the runs and removes their directories like an interrupt.
    signal.signal(signal.SIGTERM, fault_check._interrupt)
    fault_check.list_ctest_cases(args.build_dir)
    return 0 if Checker(args, rows, tests).main() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
