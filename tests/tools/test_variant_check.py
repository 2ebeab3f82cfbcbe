"""The variants checker (tools/variant_check.py): the table against the
source, and what it reads of a red run: the red tests of a suite.xml the
runner's own report writes, and the failure lines of googletest's output."""

import os

import pytest

import catalogue
import fault_check
import suite_report
import variant_check
from test_fault_check import CATALOGUE, COUNTERPARTS, LATER, PAIRED, gtest_xml, peer_xml


def table(*rows):
    return "# a comment\nvariant\ttests\tlatitude\tlegal\n" + "".join("\t".join(r) + "\n" for r in rows)


def test_rows_are_read_with_their_tests_split():
    rows = variant_check.parse_table(table(("one", "x_test.S.A, x_test.S.B", "what is open", "why it is legal")))
    assert [(r.variant, r.tests, r.line) for r in rows] == [("one", ("x_test.S.A", "x_test.S.B"), 3)]


@pytest.mark.parametrize("text, complaint", [
    (table(("one", "x_test.S.A", "open")), "3 fields, expected 4"),
    (table(("one", " , ", "open", "legal")), "no project test tells one"),
    (table(("one", "x_test.S.A", "", "legal")), "no latitude"),
    (table(("one", "x_test.S.A", "open", "")), "no reason why one is legal"),
    (table(("two words", "x_test.S.A", "open", "legal")), "not a variant name"),
])
def test_malformed_tables_are_refused(text, complaint):
    with pytest.raises(variant_check.TableError, match=complaint):
        variant_check.parse_table(text)


def test_variant_points_are_told_from_fault_points_comments_and_strings():
    source = '''#define QV_VARIANT(name) (::qv::variant::on(#name))
// QV_VARIANT(in_a_comment)
const char* s = "QV_VARIANT(in_a_string)";
if (QV_VARIANT(first) || QV_FAULT(a_fault)) x = 1;
'''
    assert fault_check.fault_points(source, variant_check.POINT) == ["first"]
    assert fault_check.fault_points(source) == ["a_fault"]


@pytest.mark.parametrize("rows, points, complaint", [
    ([("one", "x_test.S.A", "o", "l")], {"one": ["a.cpp"], "new": ["b.cpp"]}, "variant point new (b.cpp) has no row"),
    ([("gone", "x_test.S.A", "o", "l")], {}, "variant gone has no QV_VARIANT(gone)"),
    ([("one", "x_test.S.A", "o", "l"), ("one", "x_test.S.A", "o", "l")], {"one": ["a.cpp"]},
     "variant one has a row already (line 3)"),
    ([("one", "x_test.S.Gone", "o", "l")], {"one": ["a.cpp"]}, "no project test x_test.S.Gone"),
])
def test_disagreements_are_named(rows, points, complaint):
    problems = variant_check.check_table(variant_check.parse_table(table(*rows)), points,
                                         lambda name: not name.endswith("Gone"))
    assert len(problems) == 1 and complaint in problems[0], problems


def test_the_project_table_agrees_with_the_project_source(source_dir):
    rows = variant_check.load_table(os.path.join(source_dir, "tools", "variants.tsv"))
    problems = variant_check.check_table(
        rows, fault_check.source_points(os.path.join(source_dir, "platform", "quorvela", "src"), variant_check.POINT),
        lambda name: fault_check.project_case_known(name, os.path.join(source_dir, "tests")))
    assert problems == []


GTEST_LOG = """[ RUN      ] ATestPositive.ENABLED_Paired
x.cpp:10: Failure
Failed
history: keep last 10: 9 sample(s) taken, expected 10
x.cpp:11: Failure
Value of: got
history: keep last 10: 9 sample(s) taken, expected 10
x.cpp:12: Failure
Failed
the sample lVal 0 is missing
[  FAILED  ] ATestPositive.ENABLED_Paired (10 ms)
[ RUN      ] ATestPositive.DISABLED_Later
x.cpp:20: Failure
Failed
not this test's
[       OK ] ATestPositive.DISABLED_Later (1 ms)
"""


def test_failure_lines_are_the_messages_of_one_test_without_repeats():
    sections = variant_check.test_sections(GTEST_LOG)
    assert variant_check.failure_lines(sections[PAIRED]) == [
        "history: keep last 10: 9 sample(s) taken, expected 10", "Value of: got", "the sample lVal 0 is missing"]
    assert variant_check.failure_lines(sections[PAIRED], limit=1) == [
        "history: keep last 10: 9 sample(s) taken, expected 10"]


def test_the_excerpt_names_every_red_test_on_its_side_with_its_failure(tmp_path):
    (tmp_path / "catalogue.tsv").write_text(CATALOGUE)
    (tmp_path / "positive.xml").write_text(gtest_xml([(PAIRED, "failed"), (LATER, "passed")]))
    (tmp_path / "positive.log").write_text(GTEST_LOG)
    (tmp_path / "peer.xml").write_text(peer_xml([(COUNTERPARTS[PAIRED], "FAILED"), (COUNTERPARTS[LATER], "PASSED")]))
    (tmp_path / "peer.log").write_text("[ RUN      ] %s\ny.cpp:1: Failure\nFailed\nfirst sample missing\n"
                                       "[  FAILED  ] %s (5 ms)\n" % (COUNTERPARTS[PAIRED], COUNTERPARTS[PAIRED]))
    suite_report.main(["suite_report.py", "--results", str(tmp_path), "--positive-status", "1",
                       "--peer-status", "0", "--catalogue", str(tmp_path / "catalogue.tsv")])
    run = fault_check.read_suite_xml(str(tmp_path / "suite.xml"))
    counterparts = {t.full_name: t.negative_test for t in catalogue.parse(CATALOGUE)}
    assert variant_check.red_tests(run, counterparts) == [("positive", PAIRED), ("peer", COUNTERPARTS[PAIRED])]
    excerpt = variant_check.suite_excerpt(str(tmp_path), run, counterparts)
    assert excerpt[:2] == ["positive " + PAIRED, "      history: keep last 10: 9 sample(s) taken, expected 10"]
    assert "peer " + COUNTERPARTS[PAIRED] in excerpt and "      first sample missing" in excerpt
    assert len(excerpt) <= variant_check.LINES_PER_RUN
