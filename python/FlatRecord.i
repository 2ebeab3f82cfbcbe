// Python wrapper of the keyless test type FlatRecord: the sample, the type
// support's address and typed writers/readers over the writers and readers
// of the library's own Python binding.
%module FlatRecord

%{
#include "FlatRecord.h"
#include "quorvela_py_types.h"

using QUORVELA::ReturnCode_t;
using QUORVELA::TypedDataReader;
using QUORVELA::TypedDataWriter;
using QUORVELA::TypedTypeSupport;

namespace {
// True for the name of a field getter ("<Class>_<field>_get").
constexpr bool is_getter_name(const char* name) {
  std::size_t n = 0;
  while (name[n] != '\0') ++n;
  return n >= 4 && name[n - 4] == '_' && name[n - 3] == 'g' && name[n - 2] == 'e' && name[n - 1] == 't';
}
}  // namespace
%}

%include <std_string.i>

// The module's type table also lists these names of the standard string
// support, as other modules of this runtime have them.
%types(allocator_type *, const_reference *, difference_type *, size_type *, value_type *, wchar_t *);

// Library return codes: anything outside 0..12 is reported as RETCODE_ERROR.
%typemap(out) ReturnCode_t %{
  $result = PyLong_FromLong(((unsigned int)$1 <= 12u) ? (long)$1 : 1L);
%}

// Handles come back as new objects of the binding's InstanceHandle type.
%typemap(out) InstanceHandle %{
  $result = SWIG_NewPointerObj(quorvela_py::new_handle_copy($1), $descriptor(InstanceHandle *), SWIG_POINTER_OWN);
%}

// Null checks that plain SWIG leaves out, so that no wrapper calls through a
// null object. REFUSE decides, after the conversion, whether the converted
// pointer (argp) is refused with the null-reference ValueError; GONE, then,
// whether it is refused because its library entity no longer exists.
%define %checked_object(TYPE, REFUSE, GONE)
%typemap(in, noblock=1) TYPE (void *argp = 0, int res = 0) {
  res = SWIG_ConvertPtr($input, &argp, $descriptor, $disown | 0);
  if (!SWIG_IsOK(res)) {
    SWIG_exception_fail(SWIG_ArgError(res), "in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
  if (REFUSE) {
    SWIG_exception_fail(SWIG_ValueError, "invalid null reference in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
  if (GONE) {
    SWIG_exception_fail(SWIG_ValueError, "deleted library entity in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
  $1 = reinterpret_cast< $ltype >(argp);
}
%enddef
// Typed writers and readers as argument 1: None, a typed object that no
// longer stands for a library object (the binding clears it when the library
// object is deleted through it), or one whose library object was deleted
// otherwise (by its parent, delete_contained_entities or finalize), is
// refused; their delete accepts all of them.
%define %typed_self(TYPE, ACCESSOR)
%checked_object(TYPE *self, !quorvela_py::ACCESSOR(argp) && !(($disown) & SWIG_POINTER_DISOWN),
                !QUORVELA::entity_exists(quorvela_py::ACCESSOR(argp)) && !(($disown) & SWIG_POINTER_DISOWN))
%enddef
%typed_self(TypedDataWriter< FlatRecord >, library_writer)
%typed_self(TypedDataReader< FlatRecord >, library_reader)
// The sample of a field getter (setters and delete accept None).
%checked_object(FlatRecord *self, !argp && is_getter_name("$symname"), false)

// No sample orders before another; a null sample on the left is compared
// without being read.
%feature("action") FlatRecord::operator< %{
  result = arg1 ? ((FlatRecord const *)arg1)->operator <((FlatRecord const &)*arg2) : false;
%}

// What a typed writer or reader is made over: None, a binding object whose
// library pointer is null, or one whose library object was deleted, is
// refused.
%checked_object(DataWriter *writer, !quorvela_py::library_writer(argp),
                !QUORVELA::entity_exists(quorvela_py::library_writer(argp)))
%checked_object(DataReader *reader, !quorvela_py::library_reader(argp),
                !QUORVELA::entity_exists(quorvela_py::library_reader(argp)))

// A typed writer or reader holds the library pointer found at the start of
// the binding object (or of another typed object).
%feature("action") TypedDataWriter<FlatRecord>::TypedDataWriter %{
  result = new TypedDataWriter< FlatRecord >(quorvela_py::library_writer(arg1));
%}
%feature("action") TypedDataReader<FlatRecord>::TypedDataReader %{
  result = new TypedDataReader< FlatRecord >(quorvela_py::library_reader(arg1));
%}

// The whole text, whatever its length; bytes that are not UTF-8 become lone
// surrogates.
%typemap(out) const std::string& sbVal %{
  $result = PyUnicode_DecodeUTF8($1->data(), static_cast<Py_ssize_t>($1->size()), "surrogateescape");
%}

// Lets the proxy layer install a module function as a method.
%wrapper %{
SWIGINTERN PyObject *SWIG_PyInstanceMethod_New(PyObject *SWIGUNUSEDPARM(self), PyObject *func) {
  return PyInstanceMethod_New(func);
}
%}

// Opaque here; the binding defines them. As base classes they only give the
// binding's writer and reader records the casts from the typed objects
// (unchanged pointer: both begin with the library pointer).
%ignore DataWriter;
class DataWriter {};
%ignore DataReader;
class DataReader {};
class InstanceHandle;
class Time;
class SampleInfo;

struct FlatRecord;

template <class TS>
class TypedTypeSupport {
 public:
  static long long get_instance();
  ~TypedTypeSupport();
 private:
  TypedTypeSupport();
};

template <class T>
class TypedDataWriter : public DataWriter {
 public:
  TypedDataWriter(DataWriter* writer);
  InstanceHandle register_instance(const T& instance);
  InstanceHandle register_instance_w_timestamp(const T& instance, const Time& timestamp);
  ReturnCode_t unregister_instance(const T& instance, const InstanceHandle& handle);
  ReturnCode_t unregister_instance_w_timestamp(const T& instance, const InstanceHandle& handle, const Time& timestamp);
  ReturnCode_t get_key_value(T& key_holder, const InstanceHandle& handle);
  InstanceHandle lookup_instance(const T& instance);
  ReturnCode_t write(const T& data, const InstanceHandle& handle);
  ReturnCode_t write_w_timestamp(const T& data, const InstanceHandle& handle, const Time& timestamp);
  ReturnCode_t dispose(const T& data, const InstanceHandle& handle);
  ReturnCode_t dispose_w_timestamp(const T& data, const InstanceHandle& handle, const Time& timestamp);
};

template <class T>
class TypedDataReader : public DataReader {
 public:
  TypedDataReader(DataReader* reader);
  InstanceHandle lookup_instance(const T& instance);
  ReturnCode_t get_key_value(T& key_holder, const InstanceHandle& handle);
  ReturnCode_t read_next_sample(T& data, SampleInfo& info);
  ReturnCode_t take_next_sample(T& data, SampleInfo& info);
};

%template(FlatRecordTypeSupport) TypedTypeSupport<FlatRecordTypeSupport>;
%template(FlatRecordDataWriter) TypedDataWriter<FlatRecord>;
%template(FlatRecordDataReader) TypedDataReader<FlatRecord>;

struct FlatRecord {
  bool operator<(const FlatRecord& other) const;
  int lVal;
  short sVal;
  std::string sbVal;
};
