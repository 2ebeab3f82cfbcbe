"""Reading JUnit and googletest XML reports of any size, a piece at a time.

A report may be larger than any single parse call accepts (expat refuses a
buffer past 2^30 bytes) and hold texts or attribute values of hundreds of
megabytes (a failure line per extra sample). The file is read in chunks of
CHUNK bytes and fed to expat; what is kept of it is bounded:

- an attribute value keeps its first ATTRIBUTE_LIMIT bytes, and says how many
  it had (the cut is made before expat sees the value, so that a start tag of
  any length costs no more memory than that);
- the text of an element inside a testcase (failure, error, skipped,
  system-out, ...) keeps its first TEXT_LIMIT characters, and once the
  report's kept texts reach TOTAL_TEXT_LIMIT, only SMALL_TEXT_LIMIT of each
  further one; the element records how long the whole text was.

  read(path_or_binary_file, escape=False) -> Report
      raises ReportError when the document is not well-formed. With escape,
      bytes that XML cannot hold (not UTF-8, control characters) are first
      turned into visible escapes, as the report writer does with them.

Report.suites lists every testsuite in document order (a report whose root is
a testsuite has that one); each holds its properties and its own testcases
(those of a nested testsuite belong to that one). A testcase and its child
elements answer get(), find(), findall() and .text like ElementTree's
elements.
"""

import codecs
import io
import os
import re
import xml.parsers.expat

CHUNK = 1 << 20
ATTRIBUTE_LIMIT = 64 * 1024
TEXT_LIMIT = 1 << 20
TOTAL_TEXT_LIMIT = 256 << 20
SMALL_TEXT_LIMIT = 16 * 1024


class ReportError(Exception):
    pass


class Element:
    """A child element of a testcase: its tag, attributes and (bounded) text."""

    def __init__(self, tag, attrs):
        self.tag, self.attrib = tag, attrs
        self._parts, self._kept, self.text_length = [], 0, 0
        self.limit = TEXT_LIMIT

    def get(self, name, default=None):
        return self.attrib.get(name, default)

    @property
    def text(self):
        return "".join(self._parts) if self._parts else None

    @property
    def text_cut(self):
        """Characters of the text that were not kept (0: the whole text is)."""
        return self.text_length - self._kept

    def _add(self, data):
        self.text_length += len(data)
        room = self.limit - self._kept
        if room > 0:
            piece = data[:room]
            self._parts.append(piece)
            self._kept += len(piece)
            return len(piece)
        return 0


class Case:
    """A testcase: its attributes and child elements."""

    def __init__(self, attrs):
        self.attrib = attrs
        self.children = []

    def get(self, name, default=None):
        return self.attrib.get(name, default)

    def find(self, tag):
        return next((c for c in self.children if c.tag == tag), None)

    def findall(self, tag):
        return [c for c in self.children if c.tag == tag]


class Suite:
    """A testsuite: its attributes, properties (name -> value, in order) and testcases."""

    def __init__(self, attrs):
        self.attrib = attrs
        self.properties = {}
        self.cases = []

    def get(self, name, default=None):
        return self.attrib.get(name, default)


class Report:
    def __init__(self):
        self.root_tag = None
        self.root = {}
        self.suites = []

    def cases(self):
        for suite in self.suites:
            for case in suite.cases:
                yield suite, case


# ---------------------------------------------------------------- attribute values

_TAG_STOP = re.compile(rb"[\"'>]")
_CUT_NOTE = b" ... [%d bytes not kept]"


class _AttributeCap:
    """Passes XML bytes on with every attribute value cut after `limit`
    bytes; keeps its state across chunks. The cut never splits an entity
    reference or a UTF-8 sequence."""

    def __init__(self, limit):
        self.limit = limit
        self.state = "text"
        self.pending = b""
        self.quote = b""
        self.kept = self.total = self.need = 0
        self.tail = b""
        self.in_entity = False

    def feed(self, data, final=False):
        data = self.pending + data
        self.pending = b""
        out = []
        i, n = 0, len(data)
        while i < n:
            if self.state == "text":
                j = data.find(b"<", i)
                if j < 0:
                    out.append(data[i:])
                    break
                out.append(data[i:j])
                if n - j < 9 and not final:  # too few bytes to tell a CDATA section or comment
                    self.pending = data[j:]
                    break
                for opening, state in ((b"<![CDATA[", "]]>"), (b"<!--", "-->"), (b"<?", "?>")):
                    if data.startswith(opening, j):
                        self.state = state
                        out.append(opening)
                        i = j + len(opening)
                        break
                else:
                    self.state = "tag"
                    out.append(b"<")
                    i = j + 1
            elif self.state in ("]]>", "-->", "?>"):
                end = self.state.encode()
                j = data.find(end, i)
                if j < 0:
                    stop = n if final else max(i, n - len(end) + 1)
                    out.append(data[i:stop])
                    self.pending = data[stop:]
                    break
                out.append(data[i:j + len(end)])
                i = j + len(end)
                self.state = "text"
            elif self.state == "tag":
                m = _TAG_STOP.search(data, i)
                if not m:
                    out.append(data[i:])
                    break
                out.append(data[i:m.end()])
                i = m.end()
                if m.group() == b">":
                    self.state = "text"
                else:
                    self.state, self.quote = "value", m.group()
                    self.kept = self.total = self.need = 0
                    self.tail = b""
                    self.in_entity = False
            else:  # inside an attribute value
                j = data.find(self.quote, i)
                stop = n if j < 0 else j
                self._value(data[i:stop], out)
                if j < 0:
                    break
                if self.total > self.kept:
                    out.append(_CUT_NOTE % (self.total - self.kept))
                out.append(self.quote)
                i = j + 1
                self.state = "tag"
        return b"".join(out)

    def _value(self, piece, out):
        self.total += len(piece)
        if self.kept < self.limit:
            take = piece[:self.limit - self.kept]
            out.append(take)
            self.kept += len(take)
            self._track(take)
            piece = piece[len(take):]
        # Past the limit: finish an entity reference or a UTF-8 sequence the
        # kept bytes left open, then drop the rest.
        while piece and (self.in_entity or self.need):
            if self.in_entity:
                k = piece.find(b";", 0, 32)
                take = piece[:k + 1] if k >= 0 else piece[:32]
            else:
                take = piece[:1] if 0x80 <= piece[0] < 0xC0 else b""
            if not take:
                self.need = 0
                break
            out.append(take)
            self.kept += len(take)
            self._track(take)
            if self.in_entity and len(take) >= 32:  # no entity is that long: the value is not XML
                self.in_entity = False
            piece = piece[len(take):]

    def _track(self, kept):
        """Whether the bytes kept so far end inside an entity reference or a
        UTF-8 sequence."""
        amp, semi = kept.rfind(b"&"), kept.rfind(b";")
        if amp > semi:
            self.in_entity = True
        elif semi >= 0:
            self.in_entity = False
        self.tail = (self.tail + kept)[-4:]
        self.need = 0
        for back in range(1, len(self.tail) + 1):
            b = self.tail[-back]
            if b < 0x80:
                break
            if b >= 0xC0:  # a lead byte: how many bytes its sequence has
                length = 2 if b < 0xE0 else 3 if b < 0xF0 else 4
                self.need = max(0, length - back)
                break


# ---------------------------------------------------------------- bytes XML cannot hold

_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ud800-\udfff\ufffe\uffff]")


def _escape_char(match):
    c = ord(match.group())
    if 0xDC80 <= c <= 0xDCFF:  # an undecodable byte
        return "\\x%02x" % (c - 0xDC00)
    return "\\x%02x" % c if c < 0x100 else "\\u%04x" % c


def clean(text):
    """Text that any XML reader accepts; bad bytes and control characters
    become visible escapes."""
    return _NOT_XML.sub(_escape_char, text or "")


class _Escaper:
    def __init__(self):
        self.decoder = codecs.getincrementaldecoder("utf-8")("surrogateescape")

    def feed(self, data, final=False):
        return clean(self.decoder.decode(data, final)).encode("utf-8")


# ---------------------------------------------------------------- the parse


class _Builder:
    def __init__(self, report):
        self.report = report
        self.stack = []      # tags of the open elements
        self.suites = []     # open testsuites
        self.case = None
        self.case_depth = -1
        self.element = None  # the child of the testcase whose text is kept
        self.kept_text = 0
        self.orphans = None  # testcases outside any testsuite

    def start(self, tag, attrs):
        depth = len(self.stack)
        self.stack.append(tag)
        if depth == 0:
            self.report.root_tag, self.report.root = tag, attrs
        if tag == "testsuite":
            suite = Suite(attrs)
            self.report.suites.append(suite)
            self.suites.append(suite)
        elif tag == "testcase" and self.case is None:
            self.case, self.case_depth = Case(attrs), depth
        elif self.case is not None and depth == self.case_depth + 1:
            self.element = Element(tag, attrs)
            if self.kept_text >= TOTAL_TEXT_LIMIT:
                self.element.limit = SMALL_TEXT_LIMIT
            self.case.children.append(self.element)
        elif tag == "property" and self.case is None and self.suites and depth >= 2 \
                and self.stack[-2] == "properties" and self.stack[-3] == "testsuite":
            self.suites[-1].properties[attrs.get("name", "")] = attrs.get("value", "")

    def end(self, tag):
        self.stack.pop()
        depth = len(self.stack)
        if self.element is not None and depth == self.case_depth + 1:
            self.element = None
        elif tag == "testcase" and self.case is not None and depth == self.case_depth:
            if self.suites:
                self.suites[-1].cases.append(self.case)
            else:
                if self.orphans is None:
                    self.orphans = Suite({})
                    self.report.suites.append(self.orphans)
                self.orphans.cases.append(self.case)
            self.case, self.case_depth = None, -1
        elif tag == "testsuite" and self.suites:
            self.suites.pop()

    def data(self, text):
        if self.element is not None:
            self.kept_text += self.element._add(text)


def read(source, escape=False):
    """The report in a file (a path or a binary file object)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as f:
            return _read(f, escape)
    return _read(source, escape)


def parse(text, escape=False):
    """The report in a string or bytes."""
    return _read(io.BytesIO(text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text), escape)


def _read(f, escape):
    report = Report()
    builder = _Builder(report)
    parser = xml.parsers.expat.ParserCreate()
    parser.buffer_text = True
    parser.buffer_size = 1 << 16
    parser.StartElementHandler = builder.start
    parser.EndElementHandler = builder.end
    parser.CharacterDataHandler = builder.data
    steps = ([_Escaper()] if escape else []) + [_AttributeCap(ATTRIBUTE_LIMIT)]
    try:
        while True:
            data = f.read(CHUNK)
            final = not data
            for step in steps:
                data = step.feed(data, final)
            parser.Parse(data, final)
            if final:
                break
    except xml.parsers.expat.ExpatError as e:
        raise ReportError(str(e)) from None
    if report.root_tag is None:
        raise ReportError("no element found")
    return report


def bounded_lines(path, limit=64 * 1024):
    """The lines of a text file (a log), each cut after `limit` bytes, read a
    piece at a time whatever the file's size or its lines' length."""
    with open(path, "rb") as f:
        while True:
            line = f.readline(limit)
            if not line:
                return
            if not line.endswith(b"\n") and len(line) >= limit:
                skipped = 0
                while True:
                    rest = f.readline(limit)
                    skipped += len(rest)
                    if not rest or rest.endswith(b"\n"):
                        break
                line += b" ... [%d bytes of this line not kept]\n" % skipped
            yield clean(line.decode("utf-8", "surrogateescape").rstrip("\n"))
