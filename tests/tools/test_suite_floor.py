"""The floor's analysis (tools/floor/suite_floor.py): which waits of a run's
logs count as designed, the polling loops it names, and each test's share."""

import os
import sys

import pytest

from conftest import SOURCE

sys.path.insert(0, os.path.join(SOURCE, "tools", "floor"))
import suite_floor  # noqa: E402

SKELETON_STEPS = "platform/peer/skeleton/steps.cpp"
FACTORY = "platform/peer/counterparts/EntityFactoryQosPolicyTestNegative.cpp"
STATUS = "src/StatusConditionTestPositive.cpp"
OTHER = "platform/peer/counterparts/HistoryQosPolicyTestNegative.cpp"

# Return addresses of the fake logs and the frames they resolve to (inlined
# ones first), with the source lines their call sites show.
FRAMES = {
    "bin+0x1": [(SKELETON_STEPS, 82, "cp::wait_until(std::function<bool ()> const&, int, int)"),
                (SKELETON_STEPS, 90, "cp::pause(int)"),
                (SKELETON_STEPS, 61, "cp::report_before_writes(std::string const&, bool, std::string const&)")],
    "bin+0x3": [(SKELETON_STEPS, 82, "cp::wait_until(std::function<bool ()> const&, int, int)")],
    "bin+0x4": [(FACTORY, 146, "TestBody")],
    "bin+0x5": [(OTHER, 40, "TestBody")],
    "lib+0x6": [("platform/quorvela/src/conditions/condition.cpp", 131, "WaitSetImpl::wait")],
    "bin+0x7": [(STATUS, 47, "TestBody")],
    "bin+0x8": [("src/HistoryQosPolicyTestPositive.cpp", 56, "TestBody")],
}
LINES = {
    (FACTORY, 146): "    cp::wait_until([&] { return !(seen = watch.look()).none(); }, kDisabledMs);",
    (OTHER, 40): "    v.check(cp::wait_until([&] { return got(reader); }, cp::kMatchMs));",
    (STATUS, 47): "    EXPECT_EQ(waitset->wait(active_conditions, timeout), RETCODE_OK);",
}


@pytest.fixture
def sites(monkeypatch):
    monkeypatch.setattr(suite_floor.Sites, "resolve", lambda self, site: FRAMES.get(site, []))
    monkeypatch.setattr(suite_floor.Sites, "text", lambda self, path, line: LINES.get((path, line), ""))
    return suite_floor.Sites()


@pytest.mark.parametrize("stack, kind, expected", [
    # The skeleton's pause, also under the wait before a key after which the
    # positive side writes.
    (["bin+0x1"], "sleep", (SKELETON_STEPS, 90, "designed")),
    # A step of its bounded wait is polling, unless the loop is one that runs
    # to its bound by design.
    (["bin+0x3", "bin+0x5"], "sleep", (SKELETON_STEPS, 82, "poll")),
    (["bin+0x3", "bin+0x4"], "sleep", (SKELETON_STEPS, 82, "designed")),
    # A woken wait counts only where a period of the test's design woke it.
    (["lib+0x6", "bin+0x7"], "woken", ("platform/quorvela/src/conditions/condition.cpp", 131, "designed")),
    (["lib+0x6", "bin+0x8"], "woken", None),
    # A wait that ran out in a test's own code is designed.
    (["lib+0x6", "bin+0x8"], "cond", ("platform/quorvela/src/conditions/condition.cpp", 131, "designed")),
    (["bin+0x8"], "sleep", ("src/HistoryQosPolicyTestPositive.cpp", 56, "designed")),
])
def test_waits_are_classified_by_their_call_sites(sites, stack, kind, expected):
    assert sites.site_of(stack, kind) == expected


def write_log(directory, pid, exe, clock, waits):
    with open(os.path.join(directory, "wait.%d.log" % pid), "w") as f:
        f.write("EXE %s\nCLOCK %d %d\n" % (exe, clock[0], clock[1]))
        for kind, start, end, stack in waits:
            f.write("W %s %d %d -1 %s\n" % (kind, start, end, " ".join(stack)))


MS = 1000000


def test_a_run_s_floor_its_long_polling_loops_and_each_test_s_share(sites, tmp_path, capsys):
    logs, results = tmp_path / "waits", tmp_path / "results"
    logs.mkdir()
    results.mkdir()
    clock = (1000 * MS, 1700000000000 * MS)  # monotonic, real
    # The positive side sleeps 300 ms in its first test; a counterpart pauses
    # 200 ms overlapping it, then polls 30 steps of 10 ms (300 ms, named as a
    # long loop), and its woken wait set is not counted.
    write_log(str(logs), 10, "/b/src/dds_positive_tests", clock,
              [("sleep", 1100 * MS, 1400 * MS, ["bin+0x8"]), ("woken", 1500 * MS, 1600 * MS, ["lib+0x6", "bin+0x8"])])
    write_log(str(logs), 11, "/b/platform/peer/dds_peer_tests", clock,
              [("sleep", 1300 * MS, 1500 * MS, ["bin+0x1"])] +
              [("sleep", (1600 + 10 * i) * MS, (1610 + 10 * i) * MS, ["bin+0x3", "bin+0x5"]) for i in range(30)])
    write_log(str(logs), 12, "/usr/bin/bash", clock, [("sleep", 1000 * MS, 5000 * MS, ["bin+0x8"])])
    # Tests of 1 s from 1.0 s on and 0.5 s from 2.0 s on (monotonic), as the
    # report writes them (real time, local).
    import datetime
    def stamp(mono_ms):
        real = (mono_ms * MS - clock[0] + clock[1]) / 1e9
        return datetime.datetime.fromtimestamp(real).isoformat(timespec="milliseconds")
    (results / "positive.xml").write_text(
        '<testsuites><testsuite name="S">'
        '<testcase classname="S" name="First" time="1.0" timestamp="%s" result="completed"/>'
        '<testcase classname="S" name="Second" time="0.5" timestamp="%s" result="completed"/>'
        '</testsuite></testsuites>' % (stamp(1000), stamp(2000)))
    floor = suite_floor.analyse(str(logs), results=str(results))
    out = capsys.readouterr().out
    assert floor == pytest.approx(0.4)  # 1.1 s to 1.5 s, the two sides' waits counted once
    assert "long polling loop, counted as polling: 0.30 s at %s:82 < %s:40" % (SKELETON_STEPS, OTHER) in out
    assert "    1.00     0.40     0.60  S.First" in out
    assert "    0.50     0.00     0.50  S.Second" in out
    assert "    1.50     0.40     1.10  all tests" in out
    assert out.index("S.First") < out.index("S.Second")  # by the rest, most first
