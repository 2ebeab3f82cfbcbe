"""Reading JUnit and googletest reports a piece at a time (tools/report_xml.py):
the same suites, cases, properties and texts whatever the chunks, with long
attribute values and texts cut where they would cost memory, never where the
rest of the document would no longer parse."""

import pytest

import report_xml

DOC = '''<?xml version="1.0"?><!-- a <testcase> in a comment --><?pi <x>?>
<testsuites name="x"><testsuite name="S" tests="2">
<properties><property name="side" value="positive"/></properties>
<testcase name="a" classname="S" status="run"><properties><property name="in_case" value="1"/></properties>
<failure message="m&#x0A;&amp;line \u00e9\u20ac\U0001d11ex" type=""><![CDATA[text <with> ]] stuff \u00e9]]></failure>
<system-out>out &lt;put&gt;</system-out></testcase>
<testsuite name="inner"><testcase name="b"/></testsuite>
<testcase name="c"><skipped message="s"/></testcase></testsuite></testsuites>'''
MESSAGE = "m\n&line \u00e9\u20ac\U0001d11ex"


@pytest.mark.parametrize("chunk", [1, 2, 3, 5, 7, 4096])
def test_the_report_is_the_same_whatever_the_chunks(monkeypatch, chunk):
    monkeypatch.setattr(report_xml, "CHUNK", chunk)
    r = report_xml.parse(DOC)
    assert r.root_tag == "testsuites" and r.root["name"] == "x"
    assert [s.get("name") for s in r.suites] == ["S", "inner"]
    assert r.suites[0].properties == {"side": "positive"}
    assert [(s.get("name"), c.get("name")) for s, c in r.cases()] == [("S", "a"), ("S", "c"), ("inner", "b")]
    a = r.suites[0].cases[0]
    assert a.find("failure").get("message") == MESSAGE
    assert a.find("failure").text == "text <with> ]] stuff \u00e9"
    assert a.find("system-out").text == "out <put>"
    assert r.suites[0].cases[1].find("skipped").get("message") == "s"
    assert a.find("error") is None and a.findall("failure") == [a.find("failure")]


@pytest.mark.parametrize("chunk", [1, 3, 4096])
def test_a_long_attribute_value_is_cut_whole_characters_and_entities(monkeypatch, chunk):
    monkeypatch.setattr(report_xml, "CHUNK", chunk)
    for limit in range(1, 40):
        monkeypatch.setattr(report_xml, "ATTRIBUTE_LIMIT", limit)
        message = report_xml.parse(DOC).suites[0].cases[0].find("failure").get("message")
        if message != MESSAGE:
            kept, _, note = message.partition(" ... [")
            assert MESSAGE.startswith(kept) and kept, (limit, message)
            assert note.endswith("bytes not kept]"), (limit, message)


def test_texts_are_kept_up_to_their_limits_and_say_how_long_they_were(monkeypatch):
    monkeypatch.setattr(report_xml, "TEXT_LIMIT", 10)
    monkeypatch.setattr(report_xml, "TOTAL_TEXT_LIMIT", 25)
    monkeypatch.setattr(report_xml, "SMALL_TEXT_LIMIT", 3)
    cases = "".join('<testcase name="t%d"><failure>%s</failure></testcase>' % (i, "x" * 100) for i in range(5))
    r = report_xml.parse("<testsuite name='s'>%s</testsuite>" % cases)
    kept = [len(c.find("failure").text) for _, c in r.cases()]
    # 10 + 10 + 10 reach the report's total: the rest keep 3 each.
    assert kept == [10, 10, 10, 3, 3]
    assert all(c.find("failure").text_cut == 100 - k for (_, c), k in zip(r.cases(), kept))


def test_a_testsuite_root_and_cases_outside_any_suite():
    r = report_xml.parse('<testsuite name="Linux"><testcase name="x_test.A.B" status="fail"><failure/></testcase>'
                         '</testsuite>')
    assert r.root_tag == "testsuite" and [c.get("name") for _, c in r.cases()] == ["x_test.A.B"]
    r = report_xml.parse('<root><testcase name="loose"/></root>')
    assert [c.get("name") for _, c in r.cases()] == ["loose"]


@pytest.mark.parametrize("text", ["", "<testsuites><testsuite name=", "<a></b>", "not xml"])
def test_what_is_not_xml_is_refused(text):
    with pytest.raises(report_xml.ReportError):
        report_xml.parse(text)


def test_bytes_xml_cannot_hold_are_read_as_escapes():
    raw = b'<testsuites><testsuite name="Bad\xff\x01Suite"><testcase name="t"><failure>\x07 \xfe</failure>' \
          b'</testcase></testsuite></testsuites>'
    with pytest.raises(report_xml.ReportError):
        report_xml.parse(raw)
    r = report_xml.parse(raw, escape=True)
    assert r.suites[0].get("name") == "Bad\\xff\\x01Suite"
    assert r.suites[0].cases[0].find("failure").text == "\\x07 \\xfe"


def test_a_log_is_read_in_lines_of_bounded_length(tmp_path):
    path = tmp_path / "log"
    path.write_bytes(b"first\n" + b"x" * 300000 + b"\nbad \xff\x01\nlast")
    lines = list(report_xml.bounded_lines(str(path), limit=1000))
    assert lines[0] == "first" and lines[2] == "bad \\xff\\x01" and lines[3] == "last"
    assert lines[1].startswith("x" * 1000) and lines[1].endswith("bytes of this line not kept]") and len(lines[1]) < 1100
