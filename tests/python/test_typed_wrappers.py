"""Typed writer and reader wrappers of _FlatRecord over library writers and
readers with scripted answers: what reaches the library, and what comes back."""
import pytest

import _FlatRecord as M
import quorvela as Q
import qv_doubles as D
from FlatRecord import FlatRecord, FlatRecordDataReader, FlatRecordDataWriter
from conftest import raises_exactly

W = "TypedDataWriter< FlatRecord > *"
R = "TypedDataReader< FlatRecord > *"
NIL = "handle=16,0," + "00" * 16


def sample(l=0, s=0, sb=""):
    r = FlatRecord()
    r.lVal, r.sVal, r.sbVal = l, s, sb
    return r


@pytest.fixture
def writer():
    w = D.scripted_writer()
    return w, FlatRecordDataWriter(w)


@pytest.fixture
def reader():
    r = D.scripted_reader()
    return r, FlatRecordDataReader(r)


def handle(length, trailing, hex_value):
    h = Q.InstanceHandle()
    h.length, h.trailing = length, trailing
    h.value = bytes.fromhex(hex_value)
    return h


H = "handle=16,9,0a0b" + "00" * 14
T = "time=7,8"

# (function, arguments after the writer, what the library saw)
WRITER_CALLS = [
    ("register_instance", lambda: (sample(1, 2, "a"),), "register_instance sample=1,2,61"),
    ("register_instance_w_timestamp", lambda: (sample(1, 2, "a"), Q.Time(7, 8)),
     "register_instance_w_timestamp sample=1,2,61 " + T),
    ("unregister_instance", lambda: (sample(-3, 4, ""), handle(16, 9, "0a0b")),
     "unregister_instance sample=-3,4, " + H),
    ("unregister_instance_w_timestamp", lambda: (sample(-3, 4, ""), handle(16, 9, "0a0b"), Q.Time(7, 8)),
     "unregister_instance_w_timestamp sample=-3,4, " + H + " " + T),
    ("get_key_value", lambda: (sample(), handle(16, 9, "0a0b")), "get_key_value " + H),
    ("lookup_instance", lambda: (sample(5, 6, "\u00e9"),), "lookup_instance sample=5,6,c3a9"),
    ("write", lambda: (sample(2147483647, -32768, "a\x00b"), Q.InstanceHandle()),
     "write sample=2147483647,-32768,610062 " + NIL),
    ("write_w_timestamp", lambda: (sample(1, 1, "x"), Q.InstanceHandle(), Q.Time(7, 8)),
     "write_w_timestamp sample=1,1,78 " + NIL + " " + T),
    ("dispose", lambda: (sample(0, 0, "d"), handle(16, 9, "0a0b")), "dispose sample=0,0,64 " + H),
    ("dispose_w_timestamp", lambda: (sample(0, 0, "d"), handle(16, 9, "0a0b"), Q.Time(7, 8)),
     "dispose_w_timestamp sample=0,0,64 " + H + " " + T),
]
HANDLE_RESULTS = {"register_instance", "register_instance_w_timestamp", "lookup_instance"}


@pytest.mark.parametrize("op,args,seen", WRITER_CALLS, ids=[c[0] for c in WRITER_CALLS])
def test_writer_forwards_to_the_library(writer, op, args, seen):
    w, fw = writer
    D.set_writer_rc(w, 4)
    D.set_writer_handle(w, 16, 1, "ff")
    result = getattr(fw, op)(*args())
    assert D.writer_last_call(w) == seen
    if op in HANDLE_RESULTS:
        assert type(result) is Q.InstanceHandle
        assert (result.length, result.trailing, result.value) == (16, 1, b"\xff" + bytes(15))
    else:
        assert result == 4


@pytest.mark.parametrize("rc,expected", [(0, 0), (1, 1), (11, 11), (12, 12), (13, 1), (-1, 1),
                                         (2 ** 31 - 1, 1), (-(2 ** 31), 1)])
def test_return_codes_outside_the_library_range_become_error(writer, reader, rc, expected):
    w, fw = writer
    r, fr = reader
    D.set_writer_rc(w, rc)
    D.set_reader_rc(r, rc)
    results = [fw.write(sample(), Q.InstanceHandle()), fw.dispose_w_timestamp(sample(), Q.InstanceHandle(), Q.Time()),
               fw.get_key_value(sample(), Q.InstanceHandle()),
               fr.read_next_sample(sample(), Q.SampleInfo()), fr.take_next_sample(sample(), Q.SampleInfo()),
               fr.get_key_value(sample(), Q.InstanceHandle())]
    assert results == [expected] * len(results)
    assert all(type(x) is int for x in results)


@pytest.mark.parametrize("length,trailing,value,expected_value", [
    (16, -5, "00112233445566778899aabbccddeeff", "00112233445566778899aabbccddeeff"),
    (4, 7, "aabbccddeeff0011", "aabbccdd" + "00" * 12),     # only the bytes the length covers
    (0, 0, "ffff", "00" * 16),
    (20, 2, "0102030405060708090a0b0c0d0e0f10", "0102030405060708090a0b0c0d0e0f10"),  # clamped at 16
])
def test_returned_handles_copy_length_trailing_and_covered_bytes(writer, reader, length, trailing, value,
                                                                 expected_value):
    w, fw = writer
    r, fr = reader
    D.set_writer_handle(w, length, trailing, value)
    D.set_reader_handle(r, length, trailing, value)
    for h in (fw.register_instance(sample()), fw.register_instance_w_timestamp(sample(), Q.Time()),
              fw.lookup_instance(sample()), fr.lookup_instance(sample())):
        assert type(h) is Q.InstanceHandle and h.this.own()
        assert (h.length, h.trailing, h.value.hex()) == (length, trailing, expected_value)


def test_returned_handle_goes_back_to_the_library_unchanged(writer):
    w, fw = writer
    D.set_writer_handle(w, 16, 42, "cafe")
    h = fw.register_instance(sample(1))
    D.set_writer_handle(w, 16, 0, "")                 # the library's own value has changed since
    assert fw.write(sample(2), h) == 0
    assert D.writer_last_call(w) == "write sample=2,0, handle=16,42,cafe" + "00" * 14
    assert fw.unregister_instance(sample(1), h) == 0
    assert D.writer_last_call(w) == "unregister_instance sample=1,0, handle=16,42,cafe" + "00" * 14


def test_get_key_value_fills_the_sample(writer, reader):
    w, fw = writer
    r, fr = reader
    D.set_writer_sample(w, 11, -12, "6b6579")
    D.set_reader_sample(r, 13, 14, "")
    s = sample(1, 1, "old")
    assert fw.get_key_value(s, Q.InstanceHandle()) == 0
    assert (s.lVal, s.sVal, s.sbVal) == (11, -12, "key")
    assert fr.get_key_value(s, Q.InstanceHandle()) == 0
    assert (s.lVal, s.sVal, s.sbVal) == (13, 14, "")


@pytest.mark.parametrize("op", ["read_next_sample", "take_next_sample"])
def test_read_and_take_fill_sample_and_info(reader, op):
    r, fr = reader
    D.set_reader_rc(r, 0)
    D.set_reader_handle(r, 16, 3, "01")
    D.set_reader_sample(r, -1, 2, "ff61")              # not UTF-8: decoded with surrogateescape
    s, info = sample(), Q.SampleInfo()
    assert getattr(fr, op)(s, info) == 0
    assert D.reader_last_call(r) == op
    assert (s.lVal, s.sVal, s.sbVal) == (-1, 2, "\udcffa")
    assert (info.valid_data, info.sample_state, info.instance_state, info.sample_rank) == (
        True, Q.READ_SAMPLE_STATE, Q.NOT_ALIVE_DISPOSED_INSTANCE_STATE, 5)
    assert (info.source_timestamp.sec, info.source_timestamp.nanosec) == (12, 34)
    assert info.instance_handle == handle(16, 3, "01")
    raises_exactly(TypeError, "in method 'FlatRecord_sbVal_set', argument 2 of type 'std::string const &'",
                   M.FlatRecord_sbVal_set, s, s.sbVal)  # the escaped text cannot go back


# (function, arguments with the typed object as "T", exception, text)
ERROR_CASES = [
    ("FlatRecordDataWriter_write", ("R", "s", "h"), TypeError,
     "in method 'FlatRecordDataWriter_write', argument 1 of type '%s'" % W),
    ("FlatRecordDataWriter_write", (None, "s", "h"), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_write', argument 1 of type '%s'" % W),
    ("FlatRecordDataWriter_write", ("W", None, "h"), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_write', argument 2 of type 'FlatRecord const &'"),
    ("FlatRecordDataWriter_write", ("W", "s", None), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_write', argument 3 of type 'InstanceHandle const &'"),
    ("FlatRecordDataWriter_write", ("W", "h", "h"), TypeError,
     "in method 'FlatRecordDataWriter_write', argument 2 of type 'FlatRecord const &'"),
    ("FlatRecordDataWriter_write", ("W", "s", "t"), TypeError,
     "in method 'FlatRecordDataWriter_write', argument 3 of type 'InstanceHandle const &'"),
    ("FlatRecordDataWriter_write", ("W", None, 5), ValueError,   # the first failing argument wins
     "invalid null reference in method 'FlatRecordDataWriter_write', argument 2 of type 'FlatRecord const &'"),
    ("FlatRecordDataWriter_unregister_instance_w_timestamp", ("W", "s", "h", None), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_unregister_instance_w_timestamp', "
     "argument 4 of type 'Time const &'"),
    ("FlatRecordDataWriter_write_w_timestamp", ("W", "s", "h", "h"), TypeError,
     "in method 'FlatRecordDataWriter_write_w_timestamp', argument 4 of type 'Time const &'"),
    ("FlatRecordDataWriter_register_instance", ("W", None), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_register_instance', "
     "argument 2 of type 'FlatRecord const &'"),
    ("FlatRecordDataWriter_register_instance_w_timestamp", ("W", "s", None), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_register_instance_w_timestamp', "
     "argument 3 of type 'Time const &'"),
    ("FlatRecordDataWriter_get_key_value", ("W", None, "h"), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_get_key_value', argument 2 of type 'FlatRecord &'"),
    ("FlatRecordDataWriter_lookup_instance", (None, "s"), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_lookup_instance', argument 1 of type '%s'" % W),
    ("FlatRecordDataWriter_write", ("W0", "s", "h"), ValueError,    # stands for no library writer
     "invalid null reference in method 'FlatRecordDataWriter_write', argument 1 of type '%s'" % W),
    ("FlatRecordDataWriter_register_instance", ("W0", "s"), ValueError,
     "invalid null reference in method 'FlatRecordDataWriter_register_instance', argument 1 of type '%s'" % W),
    ("FlatRecordDataWriter_dispose", ("W", "s", "i"), TypeError,
     "in method 'FlatRecordDataWriter_dispose', argument 3 of type 'InstanceHandle const &'"),
    ("FlatRecordDataReader_take_next_sample", ("R", "s", "h"), TypeError,
     "in method 'FlatRecordDataReader_take_next_sample', argument 3 of type 'SampleInfo &'"),
    ("FlatRecordDataReader_take_next_sample", ("R", "s", None), ValueError,
     "invalid null reference in method 'FlatRecordDataReader_take_next_sample', argument 3 of type 'SampleInfo &'"),
    ("FlatRecordDataReader_read_next_sample", ("W", "s", "i"), TypeError,
     "in method 'FlatRecordDataReader_read_next_sample', argument 1 of type '%s'" % R),
    ("FlatRecordDataReader_read_next_sample", (None, "s", "i"), ValueError,
     "invalid null reference in method 'FlatRecordDataReader_read_next_sample', argument 1 of type '%s'" % R),
    ("FlatRecordDataReader_take_next_sample", ("R0", "s", "i"), ValueError,
     "invalid null reference in method 'FlatRecordDataReader_take_next_sample', argument 1 of type '%s'" % R),
    ("FlatRecordDataReader_lookup_instance", ("R0", "s"), ValueError,
     "invalid null reference in method 'FlatRecordDataReader_lookup_instance', argument 1 of type '%s'" % R),
    ("FlatRecordDataReader_get_key_value", ("R", None, "h"), ValueError,
     "invalid null reference in method 'FlatRecordDataReader_get_key_value', argument 2 of type 'FlatRecord &'"),
    ("FlatRecordDataReader_lookup_instance", ("R", 5), TypeError,
     "in method 'FlatRecordDataReader_lookup_instance', argument 2 of type 'FlatRecord const &'"),
]


@pytest.mark.parametrize("fn,args,exc,text", ERROR_CASES)
def test_argument_errors_raise_before_the_library_is_called(writer, reader, fn, args, exc, text):
    w, fw = writer
    r, fr = reader
    fw0, fr0 = FlatRecordDataWriter(w), FlatRecordDataReader(r)
    D.forget_writer(fw0)
    D.forget_reader(fr0)
    objects = {"W": fw, "R": fr, "W0": fw0, "R0": fr0,
               "s": sample(1), "h": Q.InstanceHandle(), "t": Q.Time(), "i": Q.SampleInfo()}
    raises_exactly(exc, text, getattr(M, fn), *[objects.get(a, a) if isinstance(a, str) else a for a in args])
    assert D.writer_last_call(w) == "" and D.reader_last_call(r) == ""
    # A typed object that stands for nothing can still be deleted.
    assert M.delete_FlatRecordDataWriter(fw0) is None and M.delete_FlatRecordDataReader(fr0) is None


def test_typed_objects_are_made_only_over_a_library_object():
    w, r = D.scripted_writer(), D.scripted_reader()
    cases = [
        (M.new_FlatRecordDataWriter, None, ValueError,
         "invalid null reference in method 'new_FlatRecordDataWriter', argument 1 of type 'DataWriter *'"),
        (M.new_FlatRecordDataWriter, D.null_writer(), ValueError,
         "invalid null reference in method 'new_FlatRecordDataWriter', argument 1 of type 'DataWriter *'"),
        (M.new_FlatRecordDataWriter, r, TypeError,
         "in method 'new_FlatRecordDataWriter', argument 1 of type 'DataWriter *'"),
        (M.new_FlatRecordDataWriter, sample(), TypeError,
         "in method 'new_FlatRecordDataWriter', argument 1 of type 'DataWriter *'"),
        (M.new_FlatRecordDataReader, None, ValueError,
         "invalid null reference in method 'new_FlatRecordDataReader', argument 1 of type 'DataReader *'"),
        (M.new_FlatRecordDataReader, D.null_reader(), ValueError,
         "invalid null reference in method 'new_FlatRecordDataReader', argument 1 of type 'DataReader *'"),
        (M.new_FlatRecordDataReader, w, TypeError,
         "in method 'new_FlatRecordDataReader', argument 1 of type 'DataReader *'"),
        (M.new_FlatRecordDataReader, FlatRecordDataWriter(w), TypeError,
         "in method 'new_FlatRecordDataReader', argument 1 of type 'DataReader *'"),
    ]
    for fn, arg, exc, text in cases:
        raises_exactly(exc, text, fn, arg)


def test_typed_objects_share_the_library_object():
    w, r = D.scripted_writer(), D.scripted_reader()
    bare = M.new_FlatRecordDataWriter(w)
    assert type(bare).__name__ == "SwigPyObject" and bare.own()
    M.delete_FlatRecordDataWriter(bare)

    first = FlatRecordDataWriter(w)
    second = FlatRecordDataWriter(first)             # a typed writer stands for its library writer
    assert D.writer_address(second) == D.writer_address(first) == D.writer_address(w)
    second.write(sample(8), Q.InstanceHandle())
    assert D.writer_last_call(w).startswith("write sample=8,")

    # Deleting a typed writer leaves the library writer in service.
    assert M.delete_FlatRecordDataWriter(first) is None
    assert not first.this.own()
    assert M.delete_FlatRecordDataWriter(None) is None
    third = FlatRecordDataWriter(w)
    third.dispose(sample(9), Q.InstanceHandle())
    assert D.writer_last_call(w).startswith("dispose sample=9,")
    assert Q.DataWriter.is_valid(w)

    tr = FlatRecordDataReader(FlatRecordDataReader(r))
    assert D.reader_address(tr) == D.reader_address(r)
    assert M.delete_FlatRecordDataReader(None) is None
