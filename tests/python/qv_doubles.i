// Test doubles for the Python tests: library writers and readers with
// scripted answers, handed out as the binding's DataWriter/DataReader objects
// (same type records, same layout).
%module qv_doubles

%{
#include <string>

#include "quorvela_py_types.h"
#include "scripted_endpoints.h"

namespace {

qv_doubles::ScriptedWriter* scripted(DataWriter* w) {
  return static_cast<qv_doubles::ScriptedWriter*>(quorvela_py::library_writer(w));
}
qv_doubles::ScriptedReader* scripted(DataReader* r) {
  return static_cast<qv_doubles::ScriptedReader*>(quorvela_py::library_reader(r));
}

// Bytes from hexadecimal text ("61c3a962").
std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

QUORVELA::InstanceHandle_t make_handle(unsigned int length, int trailing, const std::string& hex) {
  const std::string value = from_hex(hex);
  QUORVELA::InstanceHandle_t h;
  h.length = length;
  h.trailing = trailing;
  for (std::size_t i = 0; i < sizeof h.value; ++i) h.value[i] = i < value.size() ? value[i] : 0;
  return h;
}

FlatRecord make_sample(int l, short s, const std::string& hex) {
  FlatRecord r;
  r.lVal = l;
  r.sVal = s;
  r.sbVal = from_hex(hex);
  return r;
}

}  // namespace
%}

%include <std_string.i>

class DataWriter;
class DataReader;

// The doubles live for the whole process: nothing owns them from Python.
%inline %{
DataWriter* scripted_writer() { return new DataWriter{new qv_doubles::ScriptedWriter()}; }
DataReader* scripted_reader() { return new DataReader{new qv_doubles::ScriptedReader()}; }
// Binding objects that stand for no library entity.
DataWriter* null_writer() { return new DataWriter{nullptr}; }
DataReader* null_reader() { return new DataReader{nullptr}; }
// Makes a binding or typed object stand for no library entity, as the
// binding's delete_datawriter/delete_datareader do with the object they get.
void forget_writer(DataWriter* w) { *reinterpret_cast<void**>(w) = nullptr; }
void forget_reader(DataReader* r) { *reinterpret_cast<void**>(r) = nullptr; }

void set_writer_rc(DataWriter* w, int rc) { scripted(w)->script.rc = rc; }
void set_reader_rc(DataReader* r, int rc) { scripted(r)->script.rc = rc; }
// Byte values are given as hexadecimal text; a handle takes up to 16 bytes.
void set_writer_handle(DataWriter* w, unsigned int length, int trailing, const std::string& hex) {
  scripted(w)->script.handle = make_handle(length, trailing, hex);
}
void set_reader_handle(DataReader* r, unsigned int length, int trailing, const std::string& hex) {
  scripted(r)->script.handle = make_handle(length, trailing, hex);
}
void set_writer_sample(DataWriter* w, int l, short s, const std::string& hex) {
  scripted(w)->script.sample = make_sample(l, s, hex);
}
void set_reader_sample(DataReader* r, int l, short s, const std::string& hex) {
  scripted(r)->script.sample = make_sample(l, s, hex);
}
std::string writer_last_call(DataWriter* w) { return scripted(w)->last; }
std::string reader_last_call(DataReader* r) { return scripted(r)->last; }
// Address of the library writer/reader a binding or typed object stands for.
long long writer_address(DataWriter* w) { return reinterpret_cast<long long>(quorvela_py::library_writer(w)); }
long long reader_address(DataReader* r) { return reinterpret_cast<long long>(quorvela_py::library_reader(r)); }
%}
