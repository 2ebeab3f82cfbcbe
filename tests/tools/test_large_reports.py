"""Reports over 1 GiB, as a library that floods its reader makes them: every
tool that reads a JUnit or googletest report reads one, with its memory
bounded, and the runner's report it writes from them stays within its bound.
The report is written on the fly, a piece at a time, into a temporary
directory removed afterwards. CTest runs this file alone under the label
"large" (a few seconds of disk and CPU), outside the quicker python label."""

import os
import subprocess
import sys
import tempfile

import pytest

SIZE = (1 << 30) + (8 << 20)
CASES = 4
# What a reader may hold: its texts are kept up to 1 MiB each, its attribute
# values up to 64 KiB; the interpreter and the tree of the merged report come on top.
MEMORY_BOUND_KIB = 256 * 1024


def write_report(path, size=SIZE, cases=CASES):
    """A googletest report of `cases` failed tests whose failure texts (in the
    message attribute and again as text, as googletest writes them) add up
    to `size` bytes; its suite carries side=positive as suite.xml's do, so that
    the same file is a googletest report, a peer report, a suite.xml and a
    CTest JUnit report."""
    lines = "".join("counterpart.cpp:412: Failure\nExpected: no sample after the grace, got sample #%d "
                    "{key 7, value 42}\n" % i for i in range(4000))
    escaped = lines.replace("\n", "&#x0A;")
    half = size // cases // 2
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="%d" name="AllTests">\n'
                '<testsuite name="FloodTestPositive" tests="%d"><properties><property name="side" value="positive"/>'
                '</properties>\n' % (cases, cases))
        for n in range(cases):
            f.write('<testcase name="ENABLED_Flood%d" status="run" result="completed" time="1.5" '
                    'classname="FloodTestPositive"><failure message="' % n)
            for _ in range(half // len(escaped) + 1):
                f.write(escaped)
            f.write('" type=""><![CDATA[')
            for _ in range(half // len(lines) + 1):
                f.write(lines)
            f.write("]]></failure></testcase>\n")
        f.write("</testsuite>\n</testsuites>\n")


@pytest.fixture(scope="module")
def big():
    with tempfile.TemporaryDirectory(prefix="large_reports.") as directory:
        path = os.path.join(directory, "report.xml")
        write_report(path)
        yield directory, path


def run_tool(code, cwd, source_dir, *args):
    """Runs Python code with the tools importable; returns (status, output, peak memory in KiB)."""
    proc = subprocess.Popen([sys.executable, "-c", code] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=dict(os.environ, PYTHONPATH=os.path.join(source_dir, "tools")))
    out = proc.stdout.read().decode(errors="replace")
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, out, usage.ru_maxrss


def test_the_report_is_over_1_gib(big):
    assert os.path.getsize(big[1]) > 1 << 30


def test_the_fault_checker_reads_it_as_suite_xml_and_as_ctest_junit(big, source_dir):
    status, out, memory = run_tool(
        "import sys, fault_check\n"
        "run = fault_check.read_suite_xml(sys.argv[1])\n"
        "print(run.problem or 'read', sorted(run.positive.items()))\n"
        "print(sorted(fault_check.read_ctest_junit(sys.argv[1]).items()))\n", big[0], source_dir, big[1])
    assert status == 0, out
    flood = ["('FloodTestPositive.ENABLED_Flood%d', 'failed')" % n for n in range(CASES)]
    assert out.splitlines()[0] == "read [%s]" % ", ".join(flood), out
    assert out.splitlines()[1] == "[%s]" % ", ".join("('ENABLED_Flood%d', 'failed')" % n for n in range(CASES)), out
    assert memory < MEMORY_BOUND_KIB, "%d KiB" % memory


def test_the_runners_report_reads_both_sides_and_writes_a_bounded_suite_xml(big, source_dir):
    directory, path = big
    results = os.path.join(directory, "results")
    os.mkdir(results)
    os.link(path, os.path.join(results, "positive.xml"))
    os.link(path, os.path.join(results, "peer.xml"))
    with open(os.path.join(directory, "catalogue.tsv"), "w") as f:
        f.write("suite\ttest\tstate\tnegative_test\tconnection_id\n")
    try:
        status, out, memory = run_tool(
            "import sys, suite_report\nsys.exit(suite_report.main(sys.argv))", directory, source_dir,
            "--results", results, "--positive-status", "1", "--peer-status", "1",
            "--catalogue", os.path.join(directory, "catalogue.tsv"), "--max-bytes", str(4 << 20))
        assert status == 1, out
        assert "positive side: %d run, 0 passed, %d failed" % (CASES, CASES) in out, out
        assert "peer side:     %d run, 0 passed, %d failed" % (CASES, CASES) in out, out
        suite = os.path.join(results, "suite.xml")
        assert os.path.getsize(suite) <= 4 << 20
        assert "text(s) cut to keep suite.xml within 4 MiB" in out
        assert memory < MEMORY_BOUND_KIB, "%d KiB" % memory
        # What it wrote, every reader takes.
        status, out, _ = run_tool("import sys, fault_check\nprint(fault_check.read_suite_xml(sys.argv[1]).problem "
                                  "or 'read')", directory, source_dir, suite)
        assert out.strip() == "read", out
    finally:
        for name in ("positive.xml", "peer.xml"):
            os.unlink(os.path.join(results, name))
