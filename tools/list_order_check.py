#!/usr/bin/env python3
"""Checks the order in which dds_positive_tests lists its suites and tests.

Usage: list_order_check.py <dds_positive_tests>

The listing of "--gtest_list_tests" must hold every suite of the catalogue
(src/catalogue.tsv), in catalogue order, each with exactly its tests in
catalogue order (disabled tests included), and nothing else.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue  # noqa: E402

# The run order: suites in reverse byte-wise order of their names, tests in
# the order their sources define them.
CATALOGUE = catalogue.suites(catalogue.load())


def parse_listing(text):
    """googletest's listing: "Suite." lines, each followed by indented test names."""
    listing = []
    for raw in text.splitlines():
        if not raw.strip():
            continue
        if raw.startswith("  "):
            if not listing:
                raise ValueError("test line before any suite: %r" % raw)
            listing[-1][1].append(raw.strip().split()[0])
        else:
            line = raw.split("#")[0].strip()
            if not line.endswith("."):
                raise ValueError("unexpected line: %r" % raw)
            listing.append((line[:-1], []))
    return listing


def listing_problems(listed, expected):
    """Differences between a parsed listing and the expected suites and tests."""
    problems = []
    listed_names = [suite for suite, _ in listed]
    expected_names = [suite for suite, _ in expected]
    if listed_names != expected_names:
        problems.append("suite order differs:\n  listed:   %s\n  expected: %s"
                        % (" ".join(listed_names), " ".join(expected_names)))
    listed_map = dict(listed)
    for suite, tests in expected:
        got = listed_map.get(suite)
        if got is not None and got != tests:
            problems.append("tests of %s differ:\n  listed:   %s\n  expected: %s"
                            % (suite, " ".join(got), " ".join(tests)))
    return problems


def render_listing(suites):
    """The listing googletest would print for these suites."""
    return "".join("%s.\n" % suite + "".join("  %s\n" % t for t in tests) for suite, tests in suites)


def self_check_problems():
    """The check itself must accept the catalogue and reject every kind of
    misordering; a comparison that passes everything would guard nothing."""
    problems = []
    whole = [(suite, list(tests)) for suite, tests in CATALOGUE]
    if parse_listing(render_listing(whole)) != whole or listing_problems(whole, whole):
        problems.append("self-check: the catalogue's own listing is not accepted")
    swapped_suites = whole[1:2] + whole[:1] + whole[2:]
    dp = [i for i, (suite, _) in enumerate(whole) if suite == "DPTestPositive"][0]
    swapped_tests = [(s, list(t)) for s, t in whole]
    swapped_tests[dp][1][0:2] = swapped_tests[dp][1][1::-1]
    missing_test = [(s, [x for x in t if x != "DISABLED_DiscoveryManagementPositive"]) for s, t in whole]
    missing_suite = whole[:-1]
    for name, wrong in (("swapped suites", swapped_suites), ("swapped tests", swapped_tests),
                        ("a missing disabled test", missing_test), ("a missing suite", missing_suite)):
        if not listing_problems(parse_listing(render_listing(wrong)), whole):
            problems.append("self-check: a listing with %s is accepted" % name)
    return problems


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    binary = argv[1]

    problems = catalogue.problems(catalogue.load()) + self_check_problems()
    expected = CATALOGUE

    run = subprocess.run([binary, "--gtest_list_tests"], capture_output=True, text=True, timeout=30)
    if run.returncode != 0:
        problems.append("%s --gtest_list_tests exited with %d" % (binary, run.returncode))
    if run.stderr.strip():
        problems.append("listing wrote to standard error: %s" % run.stderr.strip())
    try:
        listed = parse_listing(run.stdout)
    except ValueError as e:
        problems.append(str(e))
        listed = []

    problems += listing_problems(listed, expected)

    if problems:
        for p in problems:
            print("FAIL: " + p)
        return 1
    total = sum(len(tests) for _, tests in expected)
    print("OK: %d suites, %d tests in catalogue order" % (len(expected), total))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
