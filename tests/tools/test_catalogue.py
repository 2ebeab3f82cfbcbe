"""The catalogue (src/catalogue.tsv) and the checks built on it: its own rules,
and the peer registry against it."""

import os
import shutil
import subprocess
import sys

import pytest

import catalogue


@pytest.fixture(scope="module")
def tests():
    return catalogue.load()


def test_the_catalogue_keeps_its_rules(tests):
    assert catalogue.problems(tests) == []
    first, last = tests[0], tests[-1]
    assert first.full_name == "WaitSetTestPositive.ENABLED_WaitSetBasicFunctionality"
    assert last.full_name == "ContentFilteredTPTestPositive.ENABLED_ContentFilteredTopicComplexExpression"


def replace(tests, index, **fields):
    changed = list(tests)
    changed[index] = changed[index]._replace(**fields)
    return changed


# Each wrong edit of the file must show; a rule that passes everything guards nothing.
@pytest.mark.parametrize("what, edit", [
    ("two suites swapped", lambda t: [x for x in t if x.suite == "UserDataQosPolicyTestPositive"]
     + [x for x in t if x.suite != "UserDataQosPolicyTestPositive"]),
    ("a test dropped", lambda t: t[:-1]),
    ("a state that contradicts the name", lambda t: replace(t, 0, enabled=False)),
    ("a counterpart of another suite", lambda t: replace(t, 1, negative_test="DWTestNegative.ENABLED_XNegative")),
    ("a connection id used twice", lambda t: replace(
        t, [i for i, x in enumerate(t) if x.connection_id][1],
        connection_id=[x for x in t if x.connection_id][0].connection_id)),
    ("a suite split in two", lambda t: t[1:2] + t[:1] + t[2:]),
])
def test_wrong_edits_are_caught(tests, what, edit):
    assert catalogue.problems(edit(tests)), what


@pytest.mark.parametrize("text, says", [
    ("suite\ttest\n", "header"),
    ("suite\ttest\tstate\tnegative_test\tconnection_id\nA\tENABLED_B\tenabled\t-\n", "fields"),
    ("suite\ttest\tstate\tnegative_test\tconnection_id\nA\tENABLED_B\ton\t-\t-\n", "state"),
    ("suite\ttest\tstate\tnegative_test\tconnection_id\nA\tENABLED_B\tenabled\tN.ENABLED_X\t-\n", "both"),
])
def test_malformed_lines_are_refused(text, says):
    with pytest.raises(catalogue.CatalogueError, match=says):
        catalogue.parse(text)


def test_registry_check(tests):
    dw = next(t for t in tests if t.negative_test == "DWTestNegative.ENABLED_KeyedInstanceManagementNegative")
    good = [(dw.negative_test, dw.connection_id),
            ("PeerSelfTestNegative.ENABLED_EchoNegative", "PeerSelfTestEcho")]
    everything = [(t.negative_test, t.connection_id) for t in tests if t.negative_test] + good[1:]
    # The framework's own counterparts are not the suite's.
    assert catalogue.registry_problems(tests, everything) == []
    # A counterpart without its registration is a fault, not one still to come.
    missing = catalogue.registry_problems(tests, good)
    assert len(missing) == 31 and all("does not register" in m for m in missing)
    assert len(catalogue.registry_problems(tests, [])) == 32
    others = [e for e in everything if e[0] != dw.negative_test]
    wrong_id = catalogue.registry_problems(tests, others + [(dw.negative_test, "KeyedInstance")])
    assert len(wrong_id) == 1 and "'KeyedInstanceManagement'" in wrong_id[0]
    unknown = catalogue.registry_problems(tests, everything + [("DWTestNegative.ENABLED_InventedNegative", "Invented")])
    assert len(unknown) == 1 and "no test of the catalogue names" in unknown[0]
    twice = catalogue.registry_problems(tests, everything + good[:1])
    assert len(twice) == 1 and "more than once" in twice[0]


def test_registry_lines_are_parsed_strictly():
    assert catalogue.parse_registry("A.B\tC\n\nD.E\tF\n") == [("A.B", "C"), ("D.E", "F")]
    with pytest.raises(catalogue.CatalogueError):
        catalogue.parse_registry("A.B C\n")


def test_registrations_are_read_from_the_source():
    text = ('PEER_TEST(DWTestNegative, ENABLED_ANegative, "A") {}\n'
            'PEER_TEST_F( Fixture ,ENABLED_BNegative,\n    "B-1")\n'
            '// PEER_TEST(DWTestNegative, ENABLED_CNegative, kName) names no literal id\n')
    assert catalogue.registrations(text) == [("DWTestNegative.ENABLED_ANegative", "A"),
                                             ("Fixture.ENABLED_BNegative", "B-1")]


@pytest.fixture
def tree(tests, tmp_path, source_dir):
    """A copy of the suites' and counterparts' sources."""
    for sub in ("src", os.path.join("platform", "peer", "counterparts")):
        shutil.copytree(os.path.join(source_dir, sub), tmp_path / sub)
    assert catalogue.tree_problems(tests, str(tmp_path)) == []
    return tmp_path


def _edit(path, old, new):
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


@pytest.mark.parametrize("what, damage, says", [
    ("a suite source deleted", lambda t: (t / "src" / "PubTestPositive.cpp").unlink(),
     "PubTestPositive: its source src/PubTestPositive.cpp is missing"),
    ("a counterpart source deleted",
     lambda t: (t / "platform/peer/counterparts/DeadlineQosPolicyTestNegative.cpp").unlink(),
     "counterpart DeadlineQosPolicyTestNegative.ENABLED_DeadlineQosPolicyNegative is not registered"),
    ("a registration removed", lambda t: _edit(t / "platform/peer/counterparts/DPTestNegative.cpp",
                                               "PEER_TEST(DPTestNegative, ENABLED_DiscoveryManagementNegative",
                                               "static void f(DPTestNegative, ENABLED_DiscoveryManagementNegative"),
     "DPTestNegative.ENABLED_DiscoveryManagementNegative is not registered"),
    ("a registration under another connection",
     lambda t: _edit(t / "platform/peer/counterparts/DPTestNegative.cpp", '"DiscoveryManagement")',
                     '"DiscoveryManagementX")'),
     "under connection 'DiscoveryManagementX'"),
])
def test_a_missing_part_fails_the_check(tests, tree, what, damage, says):
    damage(tree)
    found = catalogue.tree_problems(tests, str(tree))
    assert any(says in f for f in found), (what, found)
    run = subprocess.run([sys.executable, os.path.join(os.path.dirname(catalogue.__file__), "catalogue.py"),
                          "--root", str(tree), "check"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 1 and says in run.stdout, (what, run.stdout)


def test_list_prints_the_table(tests):
    run = subprocess.run([sys.executable, os.path.join(os.path.dirname(catalogue.__file__), "catalogue.py"), "list"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0
    lines = run.stdout.splitlines()
    assert lines[0].split() == ["suite", "test", "state", "counterpart", "connection"]
    rows = [line.split() for line in lines[2:2 + len(tests)]]
    assert rows == [[t.suite, t.name, "enabled" if t.enabled else "disabled", t.negative_test or "-",
                     t.connection_id or "-"] for t in tests]
    assert lines[-1] == "88 tests in 28 suites (10 disabled, 32 with the peer)"


def test_a_deleted_suite_source_fails_the_configure(tmp_path, source_dir):
    """The whole tree copied, one suite's source deleted: CMake refuses it."""
    copy = tmp_path / "tree"
    shutil.copytree(source_dir, copy, symlinks=True,
                    ignore=shutil.ignore_patterns(".git", "build", "build-*", "__pycache__"))
    (copy / "src" / "PubTestPositive.cpp").unlink()
    run = subprocess.run(["cmake", "-S", str(copy), "-B", str(tmp_path / "build")], capture_output=True, text=True,
                         timeout=600)
    assert run.returncode != 0
    assert "PubTestPositive.cpp is missing" in run.stdout + run.stderr
