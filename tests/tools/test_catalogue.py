"""The catalogue (src/catalogue.tsv) and the checks built on it: its own rules,
and the peer registry against it."""

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
    # Counterparts not written yet are no fault; the framework's own are not the suite's.
    assert catalogue.registry_problems(tests, good) == []
    assert catalogue.registry_problems(tests, []) == []
    wrong_id = catalogue.registry_problems(tests, [(dw.negative_test, "KeyedInstance")])
    assert len(wrong_id) == 1 and "'KeyedInstanceManagement'" in wrong_id[0]
    unknown = catalogue.registry_problems(tests, [("DWTestNegative.ENABLED_InventedNegative", "Invented")])
    assert len(unknown) == 1 and "no test of the catalogue names" in unknown[0]
    twice = catalogue.registry_problems(tests, good + good[:1])
    assert len(twice) == 1 and "more than once" in twice[0]


def test_registry_lines_are_parsed_strictly():
    assert catalogue.parse_registry("A.B\tC\n\nD.E\tF\n") == [("A.B", "C"), ("D.E", "F")]
    with pytest.raises(catalogue.CatalogueError):
        catalogue.parse_registry("A.B C\n")


def test_written_suites_follow_the_sources(tests, tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "DWTestPositive.cpp").write_text("")
    (tmp_path / "src" / "WaitSetTestPositive.cpp").write_text("")
    # In catalogue order, whatever the order of the files.
    assert catalogue.written_suites(tests, str(tmp_path)) == ["WaitSetTestPositive", "DWTestPositive"]
    text = catalogue.summary(tests, str(tmp_path))
    assert "written: 6 tests in 2 suites" in text
    assert "not written yet: UserDataQosPolicyTestPositive" in text
