#!/usr/bin/env python3
"""The suite's catalogue (src/catalogue.tsv): every test of dds_positive_tests
in run order, with its state and its counterpart in the peer.

  catalogue.py [--catalogue FILE] [--root DIR]
      prints what the catalogue holds (counts)
  catalogue.py [--catalogue FILE] [--root DIR] list
      prints the table: every test, its state, its counterpart and connection
  catalogue.py [--catalogue FILE] [--root DIR] check
      checks the catalogue's own rules (order, counts, names) and the tree
      against it: every suite has its source src/<suite>.cpp, every
      counterpart its source platform/peer/counterparts/<suite>.cpp with its
      registration (PEER_TEST or PEER_TEST_F under the catalogue's connection id)
  catalogue.py [--catalogue FILE] check-peer DDS_PEER_TESTS
      checks the peer's registry ("DDS_PEER_TESTS --peer_list") against the
      catalogue: every counterpart is registered under the catalogue's
      connection id, and nothing unknown is registered

The module is also imported by the list-order check and the runner's report.
"""

import argparse
import os
import re
import subprocess
import sys
from typing import NamedTuple, Optional

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_PATH = os.path.join(ROOT, "src", "catalogue.tsv")
COLUMNS = ["suite", "test", "state", "negative_test", "connection_id"]

# What the whole suite holds.
SUITES, TESTS, DISABLED, PEER_TESTS = 28, 88, 10, 32

# The peer framework's own counterparts (for the project's tests of the peer
# and of the runner); they belong to no test of the suite.
FRAMEWORK_SUITES = ("PeerSelfTestNegative",)


class Test(NamedTuple):
    suite: str
    name: str
    enabled: bool
    negative_test: Optional[str]  # the peer's counterpart, named with "sync"
    connection_id: Optional[str]

    @property
    def full_name(self):
        return "%s.%s" % (self.suite, self.name)


class CatalogueError(Exception):
    pass


def table_rows(text, columns, origin, error):
    """(line number, fields) of each row of a tab-separated table with a
    header line of the given columns; blank lines and "#" comments are
    skipped. A malformed table raises `error`."""
    rows = []
    header_seen = False
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.rstrip("\r")
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = line.split("\t")
        if not header_seen:
            if fields != columns:
                raise error("%s:%d: expected the header %s" % (origin, number, "\\t".join(columns)))
            header_seen = True
            continue
        if len(fields) != len(columns):
            raise error("%s:%d: %d fields, expected %d" % (origin, number, len(fields), len(columns)))
        rows.append((number, fields))
    if not header_seen:
        raise error("%s: no header line" % origin)
    return rows


def parse(text, origin="catalogue"):
    """The tests of a catalogue text, in order."""
    tests = []
    for number, fields in table_rows(text, COLUMNS, origin, CatalogueError):
        suite, name, state, negative, connection = fields
        if state not in ("enabled", "disabled"):
            raise CatalogueError("%s:%d: state %r is neither enabled nor disabled" % (origin, number, state))
        if (negative == "-") != (connection == "-"):
            raise CatalogueError("%s:%d: a counterpart needs both its name and its connection id" % (origin, number))
        tests.append(Test(suite, name, state == "enabled",
                          None if negative == "-" else negative, None if connection == "-" else connection))
    return tests


def load(path=None):
    path = path or DEFAULT_PATH
    with open(path, encoding="utf-8") as f:
        return parse(f.read(), path)


def suites(tests):
    """[(suite, [test names])] in catalogue order."""
    out = []
    for t in tests:
        if not out or out[-1][0] != t.suite:
            out.append((t.suite, []))
        out[-1][1].append(t.name)
    return out


def suite_source(suite, root=ROOT):
    return os.path.join(root, "src", suite + ".cpp")


def counterpart_source(negative_suite, root=ROOT):
    return os.path.join(root, "platform", "peer", "counterparts", negative_suite + ".cpp")


# A counterpart's registration in its source: PEER_TEST(suite, name, "connection")
# or PEER_TEST_F(fixture, name, "connection").
_REGISTRATION = re.compile(r'\bPEER_TEST(?:_F)?\(\s*(\w+)\s*,\s*(\w+)\s*,\s*"([^"]*)"\s*\)')


def registrations(text):
    """[(full name, connection id)] that a counterpart source registers."""
    return [("%s.%s" % (m.group(1), m.group(2)), m.group(3)) for m in _REGISTRATION.finditer(text)]


def tree_problems(tests, root=ROOT):
    """The tree against the catalogue: a suite without its source, or a
    counterpart without its registration, is a fault, never a part to come."""
    found = []
    for suite, _ in suites(tests):
        if not os.path.isfile(suite_source(suite, root)):
            found.append("%s: its source %s is missing" % (suite, os.path.relpath(suite_source(suite, root), root)))
    registered = {}
    for negative_suite in sorted({t.negative_test.split(".", 1)[0] for t in tests if t.negative_test}):
        path = counterpart_source(negative_suite, root)
        if os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                registered.update(registrations(f.read()))
    for t in tests:
        if not t.negative_test:
            continue
        path = os.path.relpath(counterpart_source(t.negative_test.split(".", 1)[0], root), root)
        if t.negative_test not in registered:
            found.append("%s: its counterpart %s is not registered in %s" % (t.full_name, t.negative_test, path))
        elif registered[t.negative_test] != t.connection_id:
            found.append("%s: %s registers %s under connection %r, the catalogue says %r"
                         % (t.full_name, path, t.negative_test, registered[t.negative_test], t.connection_id))
    return found


def by_counterpart(tests):
    """negative test name -> the catalogue's tests that name it."""
    out = {}
    for t in tests:
        if t.negative_test:
            out.setdefault(t.negative_test, []).append(t)
    return out


def problems(tests):
    """The catalogue's own rules; a wrong edit of the file shows here."""
    found = []
    groups = suites(tests)
    names = [s for s, _ in groups]
    if len(set(names)) != len(names):
        found.append("a suite's tests are not all in one place")
    keys = [n.encode("ascii", "replace") for n in names]
    if keys != sorted(keys, reverse=True):
        found.append("suites are not in reverse byte-wise order of their names")
    disabled = [t for t in tests if not t.enabled]
    peer = [t for t in tests if t.negative_test]
    counts = (len(groups), len(tests), len(disabled), len(peer))
    if counts != (SUITES, TESTS, DISABLED, PEER_TESTS):
        found.append("%d suites, %d tests, %d disabled, %d with the peer; expected %d, %d, %d, %d"
                     % (counts + (SUITES, TESTS, DISABLED, PEER_TESTS)))
    for t in tests:
        if not t.suite.endswith("TestPositive"):
            found.append("%s: a suite's name ends in TestPositive" % t.full_name)
        prefix = "ENABLED_" if t.enabled else "DISABLED_"
        if not t.name.startswith(prefix):
            found.append("%s: state %s but the name does not begin with %s"
                         % (t.full_name, "enabled" if t.enabled else "disabled", prefix))
        if t.negative_test:
            suite = t.suite[: -len("TestPositive")] + "TestNegative"
            if not t.negative_test.startswith(suite + ".ENABLED_"):
                found.append("%s: counterpart %s is not an ENABLED_ test of %s" % (t.full_name, t.negative_test, suite))
    full = [t.full_name for t in tests]
    if len(set(full)) != len(full):
        found.append("a test is listed twice")
    for what, values in (("counterpart", [t.negative_test for t in peer]),
                         ("connection id", [t.connection_id for t in peer])):
        if len(set(values)) != len(values):
            found.append("a %s is used by two tests" % what)
    return found


def parse_registry(text):
    """--peer_list output: [(name, connection id)]."""
    out = []
    for line in text.splitlines():
        if not line.strip():
            continue
        name, sep, connection = line.partition("\t")
        if not sep or "\t" in connection:
            raise CatalogueError("unexpected registry line: %r" % line)
        out.append((name, connection))
    return out


def registry_problems(tests, registry):
    """Differences between the peer's registry and the catalogue, both ways."""
    found = []
    wanted = {t.negative_test: t for t in tests if t.negative_test}
    present = {name for name, _ in registry}
    for name, t in wanted.items():
        if name not in present:
            found.append("the peer does not register %s, the counterpart of %s" % (name, t.full_name))
    for name, connection in registry:
        if name.split(".", 1)[0] in FRAMEWORK_SUITES:
            continue
        t = wanted.get(name)
        if t is None:
            found.append("the peer registers %s, which no test of the catalogue names" % name)
        elif connection != t.connection_id:
            found.append("the peer registers %s under connection %r; %s opens %r"
                         % (name, connection, t.full_name, t.connection_id))
    names = [name for name, _ in registry]
    for name in sorted(set(n for n in names if names.count(n) > 1)):
        found.append("the peer registers %s more than once" % name)
    return found


def summary(tests):
    return ("%d tests in %d suites (%d disabled, %d with the peer)"
            % (len(tests), len(suites(tests)), sum(not t.enabled for t in tests),
               sum(bool(t.negative_test) for t in tests)))


def table(tests):
    """The catalogue as a table, one test a line, in run order."""
    header = ("suite", "test", "state", "counterpart", "connection")
    rows = [(t.suite, t.name, "enabled" if t.enabled else "disabled", t.negative_test or "-",
             t.connection_id or "-") for t in tests]
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header) - 1)]

    def line(r):
        return "  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[-1]
    return "\n".join([line(header), line(tuple("-" * len(h) for h in header))] + [line(r) for r in rows]
                     + ["", summary(tests)])


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--catalogue", default=DEFAULT_PATH)
    parser.add_argument("--root", default=ROOT, help="the source tree that check compares with the catalogue")
    parser.add_argument("command", nargs="?", default="summary", choices=["summary", "list", "check", "check-peer"])
    parser.add_argument("binary", nargs="?", help="dds_peer_tests, for check-peer")
    args = parser.parse_args(argv[1:])
    try:
        tests = load(args.catalogue)
    except (OSError, CatalogueError) as e:
        print("FAIL: %s" % e)
        return 1
    if args.command == "summary":
        print(summary(tests))
        return 0
    if args.command == "list":
        print(table(tests))
        return 0
    found = problems(tests)
    if args.command == "check-peer":
        if not args.binary:
            parser.error("check-peer needs the dds_peer_tests binary")
        run = subprocess.run([args.binary, "--peer_list"], capture_output=True, text=True, timeout=60)
        if run.returncode != 0:
            found.append("%s --peer_list exited with %d: %s" % (args.binary, run.returncode, run.stderr.strip()))
        try:
            registry = parse_registry(run.stdout)
        except CatalogueError as e:
            found.append(str(e))
            registry = []
        found += registry_problems(tests, registry)
        if not found:
            known = sum(1 for name, _ in registry if name.split(".", 1)[0] not in FRAMEWORK_SUITES)
            print("OK: %d of the catalogue's %d counterparts are registered, each under its connection id"
                  % (known, sum(bool(t.negative_test) for t in tests)))
    else:
        found += tree_problems(tests, args.root)
        if not found:
            print("OK: %d tests in %d suites, each suite with its source, each of %d counterparts registered"
                  % (len(tests), len(suites(tests)), sum(bool(t.negative_test) for t in tests)))
    for p in found:
        print("FAIL: " + p)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
