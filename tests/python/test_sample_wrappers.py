"""The sample, type-support and module-level functions of _FlatRecord."""
import ctypes
import sys
import types

import pytest

import _FlatRecord as M
from FlatRecord import FlatRecord, FlatRecordTypeSupport
from conftest import check_python, raises_exactly

METHOD_TABLE = [
    "SWIG_PyInstanceMethod_New",
    "FlatRecordTypeSupport_get_instance",
    "delete_FlatRecordTypeSupport",
    "FlatRecordTypeSupport_swigregister",
    "new_FlatRecordDataWriter",
    "FlatRecordDataWriter_register_instance",
    "FlatRecordDataWriter_register_instance_w_timestamp",
    "FlatRecordDataWriter_unregister_instance",
    "FlatRecordDataWriter_unregister_instance_w_timestamp",
    "FlatRecordDataWriter_get_key_value",
    "FlatRecordDataWriter_lookup_instance",
    "FlatRecordDataWriter_write",
    "FlatRecordDataWriter_write_w_timestamp",
    "FlatRecordDataWriter_dispose",
    "FlatRecordDataWriter_dispose_w_timestamp",
    "delete_FlatRecordDataWriter",
    "FlatRecordDataWriter_swigregister",
    "FlatRecordDataWriter_swiginit",
    "new_FlatRecordDataReader",
    "FlatRecordDataReader_lookup_instance",
    "FlatRecordDataReader_get_key_value",
    "FlatRecordDataReader_read_next_sample",
    "FlatRecordDataReader_take_next_sample",
    "delete_FlatRecordDataReader",
    "FlatRecordDataReader_swigregister",
    "FlatRecordDataReader_swiginit",
    "FlatRecord___lt__",
    "FlatRecord_lVal_set",
    "FlatRecord_lVal_get",
    "FlatRecord_sVal_set",
    "FlatRecord_sVal_get",
    "FlatRecord_sbVal_set",
    "FlatRecord_sbVal_get",
    "new_FlatRecord",
    "delete_FlatRecord",
    "FlatRecord_swigregister",
    "FlatRecord_swiginit",
]

# Argument count of every function that takes an argument tuple.
TUPLE_ARITY = {
    "FlatRecordDataWriter_register_instance": 2,
    "FlatRecordDataWriter_register_instance_w_timestamp": 3,
    "FlatRecordDataWriter_unregister_instance": 3,
    "FlatRecordDataWriter_unregister_instance_w_timestamp": 4,
    "FlatRecordDataWriter_get_key_value": 3,
    "FlatRecordDataWriter_lookup_instance": 2,
    "FlatRecordDataWriter_write": 3,
    "FlatRecordDataWriter_write_w_timestamp": 4,
    "FlatRecordDataWriter_dispose": 3,
    "FlatRecordDataWriter_dispose_w_timestamp": 4,
    "FlatRecordDataReader_lookup_instance": 2,
    "FlatRecordDataReader_get_key_value": 3,
    "FlatRecordDataReader_read_next_sample": 3,
    "FlatRecordDataReader_take_next_sample": 3,
    "FlatRecord_lVal_set": 2,
    "FlatRecord_sVal_set": 2,
    "FlatRecord_sbVal_set": 2,
}
SWIGINIT = ["FlatRecordDataWriter_swiginit", "FlatRecordDataReader_swiginit", "FlatRecord_swiginit"]
SWIGREGISTER = ["FlatRecordTypeSupport_swigregister", "FlatRecordDataWriter_swigregister",
                "FlatRecordDataReader_swigregister", "FlatRecord_swigregister"]
NO_ARGS = ["FlatRecordTypeSupport_get_instance", "new_FlatRecord"]


def test_module_holds_exactly_the_method_table_in_order():
    names = [k for k in M.__dict__ if not (k.startswith("__") and k.endswith("__"))]
    assert names == METHOD_TABLE
    assert all(isinstance(M.__dict__[n], types.BuiltinFunctionType) for n in names)
    assert all(M.__dict__[n].__doc__ is None for n in names)
    assert M.__doc__ is None


def test_init_creates_the_shared_table_when_alone():
    check_python("""
        import sys
        assert "swig_runtime_data4" not in sys.modules
        import _FlatRecord
        table = sys.modules["swig_runtime_data4"]
        assert type(table.type_pointer_capsule).__name__ == "PyCapsule"
    """)


def test_module_exports_its_type_support():
    # The operations, the virtual table and the type information are exported
    # under their linkage names, and they work on the module's own instance.
    lib = ctypes.CDLL(M.__file__)
    for symbol in ["_ZTV21FlatRecordTypeSupport", "_ZTI21FlatRecordTypeSupport",
                   "_ZN21FlatRecordTypeSupport11create_dataEv", "_ZN21FlatRecordTypeSupport7MakeKeyEPKvRN8QUORVELA14InstanceHandleEb",
                   "_ZN21FlatRecordTypeSupport13serialize_keyEPvPN8QUORVELA13CdrSerializerEi"]:
        assert hasattr(lib, symbol), symbol
    get_instance = lib._ZN21FlatRecordTypeSupport12get_instanceEv
    get_instance.restype = ctypes.c_void_p
    address = M.FlatRecordTypeSupport_get_instance()
    assert get_instance() == address
    get_typename = lib._ZN21FlatRecordTypeSupport12get_typenameEv
    get_typename.restype, get_typename.argtypes = ctypes.c_char_p, [ctypes.c_void_p]
    assert get_typename(address) == b"FlatRecord"
    has_key = lib._ZN21FlatRecordTypeSupport7has_keyEv
    has_key.restype, has_key.argtypes = ctypes.c_bool, [ctypes.c_void_p]
    assert has_key(address) is False
    # The instance is a constant-initialised object of that class.
    vtable = ctypes.addressof(ctypes.c_char.in_dll(lib, "_ZTV21FlatRecordTypeSupport"))
    assert ctypes.c_void_p.from_address(address).value == vtable + 2 * ctypes.sizeof(ctypes.c_void_p)


def test_swigregister_records_the_destroy_function():
    result = check_python("""
        import sys
        import _FlatRecord as M
        p = M.new_FlatRecord()
        del p                                  # nothing registered: reported, not freed
        class NoDestroy:
            pass
        assert M.FlatRecord_swigregister(NoDestroy) is None
        assert sys.exc_info() == (None, None, None)
        p = M.new_FlatRecord()
        del p                                  # registered without a destroy function
        class WithDestroy:
            __swig_destroy__ = M.delete_FlatRecord
        assert M.FlatRecord_swigregister((WithDestroy,)) is None   # a 1-tuple registers its element
        p = M.new_FlatRecord()
        del p                                  # freed quietly
    """)
    leak = "swig/python detected a memory leak of type 'FlatRecord *', no destructor found."
    assert result.stdout.splitlines() == [leak, leak]


def test_instance_method_wraps_a_callable():
    def identity(obj):
        return obj
    method = M.SWIG_PyInstanceMethod_New(identity)
    assert type(method).__name__ == "instancemethod"

    class Holder:
        me = method
    holder = Holder()
    assert holder.me() is holder             # bound to the instance
    with pytest.raises(TypeError):
        M.SWIG_PyInstanceMethod_New()


def test_type_support_address_is_stable():
    first = M.FlatRecordTypeSupport_get_instance()
    assert isinstance(first, int) and first != 0
    assert M.FlatRecordTypeSupport_get_instance() == first
    assert FlatRecordTypeSupport.get_instance() == first


@pytest.mark.parametrize("name,n", sorted(TUPLE_ARITY.items()) + [(s, 2) for s in SWIGINIT])
def test_wrong_argument_count(name, n):
    fn = getattr(M, name)
    label = "swiginit" if name in SWIGINIT else name
    for m in (n - 1, n + 1):
        raises_exactly(TypeError, "%s expected %d arguments, got %d" % (label, n, m), fn, *([None] * m))


def test_swigregister_unpacks_its_single_object():
    for name in SWIGREGISTER:
        fn = getattr(M, name)
        raises_exactly(TypeError, "swigregister expected 1 arguments, got 2", fn, (object, object))
        raises_exactly(TypeError, "swigregister expected 1 arguments, got 0", fn, ())
    with pytest.raises(TypeError):
        M.FlatRecord_swigregister()          # one object, checked by the interpreter
    with pytest.raises(TypeError):
        M.new_FlatRecord(1)                  # no arguments
    with pytest.raises(TypeError):
        M.FlatRecord_lVal_get(1, 2)


def test_new_sample_defaults_and_explicit_delete():
    bare = M.new_FlatRecord()
    assert type(bare).__name__ == "SwigPyObject"
    assert (M.FlatRecord_lVal_get(bare), M.FlatRecord_sVal_get(bare), M.FlatRecord_sbVal_get(bare)) == (0, 0, "")
    assert bare.own()
    assert M.delete_FlatRecord(bare) is None
    assert not bare.own()
    assert M.delete_FlatRecord(None) is None
    assert M.delete_FlatRecordTypeSupport(None) is None

    r = FlatRecord()
    assert (r.lVal, r.sVal, r.sbVal) == (0, 0, "")


LVAL = "in method 'FlatRecord_lVal_set', argument 2 of type 'int'"
SVAL = "in method 'FlatRecord_sVal_set', argument 2 of type 'short'"


class MyInt(int):
    pass


# (field, value, stored value or (exception, text))
SETTER_CASES = [
    ("lVal", 2147483647, 2147483647),
    ("lVal", -2147483648, -2147483648),
    ("lVal", 2147483648, (OverflowError, LVAL)),
    ("lVal", -2147483649, (OverflowError, LVAL)),
    ("lVal", 2 ** 70, (OverflowError, LVAL)),
    ("lVal", -(2 ** 70), (OverflowError, LVAL)),
    ("lVal", True, 1),
    ("lVal", MyInt(-5), -5),
    ("lVal", 1.5, (TypeError, LVAL)),
    ("lVal", "1", (TypeError, LVAL)),
    ("lVal", None, (TypeError, LVAL)),
    ("sVal", 32767, 32767),
    ("sVal", -32768, -32768),
    ("sVal", 32768, (OverflowError, SVAL)),
    ("sVal", -32769, (OverflowError, SVAL)),
    ("sVal", 2 ** 70, (OverflowError, SVAL)),
    ("sVal", 2.0, (TypeError, SVAL)),
    ("sVal", b"1", (TypeError, SVAL)),
]


@pytest.mark.parametrize("field,value,expected", SETTER_CASES)
def test_integer_setters(field, value, expected):
    sample = M.new_FlatRecord()
    setter = getattr(M, "FlatRecord_%s_set" % field)
    getter = getattr(M, "FlatRecord_%s_get" % field)
    setter(sample, 77)
    if isinstance(expected, tuple):
        raises_exactly(expected[0], expected[1], setter, sample, value)
        assert getter(sample) == 77              # a failed setter leaves the field alone
        raises_exactly(expected[0], expected[1], setter, None, value)   # checked even without a sample
    else:
        assert setter(sample, value) is None
        assert getter(sample) == expected
        assert type(getter(sample)) is int
        assert setter(None, value) is None       # no sample: nothing stored, no error


SBVAL = "in method 'FlatRecord_sbVal_set', argument 2 of type 'std::string const &'"


class MyStr(str):
    pass


@pytest.mark.parametrize("value,expected", [
    ("a\u00e9b", "a\u00e9b"),
    ("nul\x00inside", "nul\x00inside"),
    (MyStr("sub"), "sub"),
    ("", ""),
    ("x" * 1000, "x" * 1000),                    # no length check
    ("\udcff", (TypeError, SBVAL)),              # lone surrogate: not encodable
    (b"bytes", (TypeError, SBVAL)),
    (5, (TypeError, SBVAL)),
    (None, (ValueError, "invalid null reference " + SBVAL)),
])
def test_text_setter(value, expected):
    sample = M.new_FlatRecord()
    M.FlatRecord_sbVal_set(sample, "before")
    if isinstance(expected, tuple):
        raises_exactly(expected[0], expected[1], M.FlatRecord_sbVal_set, sample, value)
        assert M.FlatRecord_sbVal_get(sample) == "before"
        raises_exactly(expected[0], expected[1], M.FlatRecord_sbVal_set, None, value)
    else:
        assert M.FlatRecord_sbVal_set(sample, value) is None
        assert M.FlatRecord_sbVal_get(sample) == expected
        assert type(M.FlatRecord_sbVal_get(sample)) is str
        assert M.FlatRecord_sbVal_set(None, value) is None


@pytest.mark.parametrize("field,printed", [("lVal", "FlatRecord *"), ("sVal", "FlatRecord *"),
                                           ("sbVal", "FlatRecord *")])
def test_getters_refuse_a_null_sample(field, printed):
    name = "FlatRecord_%s_get" % field
    raises_exactly(ValueError, "invalid null reference in method '%s', argument 1 of type '%s'" % (name, printed),
                   getattr(M, name), None)


def test_object_arguments_follow_this():
    sample = FlatRecord()
    sample.lVal = 9

    class Wrapper:
        pass
    outer = Wrapper()
    outer.this = sample                      # proxy -> proxy -> wrapped pointer
    assert M.FlatRecord_lVal_get(outer) == 9

    bad = "in method 'FlatRecord_lVal_get', argument 1 of type 'FlatRecord *'"
    raises_exactly(TypeError, bad, M.FlatRecord_lVal_get, Wrapper())          # no "this"
    raises_exactly(TypeError, bad, M.FlatRecord_lVal_get, 5)
    raises_exactly(TypeError, bad, M.FlatRecord_lVal_get, FlatRecordTypeSupport)
    raises_exactly(TypeError, "in method 'FlatRecord_lVal_set', argument 1 of type 'FlatRecord *'",
                   M.FlatRecord_lVal_set, "text", 1)


def test_swiginit_attaches_or_chains():
    class Plain:
        pass
    holder = Plain()
    first = M.new_FlatRecord()
    assert M.FlatRecord_swiginit(holder, first) is None
    assert holder.this is first

    second = M.new_FlatRecord()
    M.FlatRecord_lVal_set(second, 5)
    M.FlatRecord_swiginit(holder, second)    # already has a wrapped pointer: chained after it
    assert holder.this is first
    assert first.next() is second
    assert M.FlatRecord_lVal_get(holder) == 0   # the first match of the chain

    with pytest.raises(AttributeError):
        M.FlatRecord_swiginit(object(), M.new_FlatRecord())   # "this" cannot be set


def test_less_than():
    a, b = FlatRecord(), FlatRecord()
    b.lVal = 1
    assert M.FlatRecord___lt__(a, b) is False
    assert M.FlatRecord___lt__(b, a) is False
    assert M.FlatRecord___lt__(a, a) is False
    assert M.FlatRecord___lt__(None, a) is False     # a null left side is not read
    assert (a < b, b < a) == (False, False)
    for args in [(a, None), (a, 5), (a,), (a, b, b), (5, a), (None, None)]:
        assert M.FlatRecord___lt__(*args) is NotImplemented
        assert sys.exc_info() == (None, None, None)


def test_proxy_classes():
    r = FlatRecord()
    r.lVal, r.sVal, r.sbVal = -1, -2, "txt"
    assert (r.lVal, r.sVal, r.sbVal) == (-1, -2, "txt")
    assert FlatRecord.__swig_destroy__ is M.delete_FlatRecord
    with pytest.raises(AttributeError):
        FlatRecordTypeSupport()              # no constructor
