"""Type records shared between _FlatRecord, the quorvela binding and any other
module of the same SWIG runtime, whatever the import order."""
import itertools

import pytest

from conftest import check_python

# Each check runs in a fresh interpreter so that the import order is real.
SHARED_USE = """
{imports}
import FlatRecord, quorvela, qv_doubles

w = qv_doubles.scripted_writer()
r = qv_doubles.scripted_reader()
# Objects of the shared types are the binding's classes ...
assert type(w) is quorvela.DataWriter and type(r) is quorvela.DataReader, (type(w), type(r))
# ... _FlatRecord accepts them and makes the binding's InstanceHandle ...
fw = FlatRecord.FlatRecordDataWriter(w)
fr = FlatRecord.FlatRecordDataReader(r)
qv_doubles.set_writer_handle(w, 16, 3, "0102")
h = fw.register_instance(FlatRecord.FlatRecord())
assert type(h) is quorvela.InstanceHandle, type(h)
assert (h.length, h.trailing, h.value[:3]) == (16, 3, b"\\x01\\x02\\x00")
# ... which the binding's delete frees (no leak report when it goes) ...
del h
# ... and the binding takes typed writers/readers for its own objects.
assert quorvela.DataWriter.is_valid(fw) and quorvela.DataReader.is_valid(fr)
assert qv_doubles.writer_address(fw) == qv_doubles.writer_address(w)
info = quorvela.SampleInfo()
assert fr.take_next_sample(FlatRecord.FlatRecord(), info) == 0 and info.valid_data
print("ok")
"""

ORDERS = list(itertools.permutations(["FlatRecord", "quorvela", "qv_doubles"]))


@pytest.mark.parametrize("order", ORDERS, ids=["-".join(o) for o in ORDERS])
def test_sharing_does_not_depend_on_import_order(order):
    result = check_python(SHARED_USE.format(imports="\n".join("import " + m for m in order)))
    assert result.stdout == "ok\n"


def test_binding_takes_typed_writers_when_flatrecord_joins_later():
    # _FlatRecord joins the table after the binding has used its records: the
    # binding's DataWriter record gains the typed writer's cast, and its
    # DataReader record does not.
    check_python("""
        import quorvela, qv_doubles
        w = qv_doubles.scripted_writer()
        assert quorvela.DataWriter.is_valid(w)
        import FlatRecord
        fw = FlatRecord.FlatRecordDataWriter(w)
        assert quorvela.DataWriter.is_valid(fw)
        try:
            quorvela.DataReader.is_valid(fw)
        except TypeError as e:
            assert str(e) == "in method 'DataReader_is_valid', argument 1 of type 'DataReader const *'", str(e)
        else:
            raise AssertionError("a typed writer passed for a reader")
    """)


def test_handle_without_binding_is_a_bare_pointer_reported_as_leak():
    # Without the binding no class and no destroy function are recorded for
    # "_p_InstanceHandle": the handle comes back bare, and dropping it reports
    # the leak instead of freeing.
    result = check_python("""
        import FlatRecord, qv_doubles
        fw = FlatRecord.FlatRecordDataWriter(qv_doubles.scripted_writer())
        h = fw.register_instance(FlatRecord.FlatRecord())
        assert type(h).__name__ == "SwigPyObject", type(h)
        assert h.own()
        del h
        print("end")
    """)
    # (The runtime prints with C stdio, so the order against Python's own
    # output is not fixed.)
    assert sorted(result.stdout.splitlines()) == [
        "end", "swig/python detected a memory leak of type 'InstanceHandle *', no destructor found."]


def test_registering_a_class_replaces_the_client_data():
    check_python("""
        import _FlatRecord as M, qv_doubles, FlatRecord
        import quorvela
        class Handle:
            def __init__(self):
                raise AssertionError("made without running __init__")
            __swig_destroy__ = quorvela._quorvela.delete_InstanceHandle
        quorvela._quorvela.InstanceHandle_swigregister(Handle)
        fw = FlatRecord.FlatRecordDataWriter(qv_doubles.scripted_writer())
        h = fw.lookup_instance(FlatRecord.FlatRecord())
        assert type(h) is Handle, type(h)
        assert type(h.this).__name__ == "SwigPyObject"
    """)
