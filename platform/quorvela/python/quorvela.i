// Python binding of the QUORVELA DDS API: enough of it to create entities,
// register types by the address of their type support, and hand writers and
// readers to typed wrappers of other modules (which share this module's
// type records for DataWriter, DataReader, InstanceHandle, Time and
// SampleInfo through the SWIG runtime's type table).
%module quorvela

%{
#include <cstring>
#include <string>

#include "quorvela_py_types.h"

using QUORVELA::ReturnCode_t;

namespace {

// True for the name of a destructor wrapper ("delete_<Class>").
constexpr bool is_delete_name(const char* name) {
  const char prefix[] = "delete_";
  for (std::size_t i = 0; i + 1 < sizeof prefix; ++i) {
    if (name[i] != prefix[i]) return false;
  }
  return true;
}

void clear_library_pointer(void* object) {
  void* null_pointer = nullptr;
  std::memcpy(object, &null_pointer, sizeof null_pointer);
}

}  // namespace
%}

%include <std_string.i>

%typemap(out) ReturnCode_t %{
  $result = PyLong_FromLong((long)$1);
%}

// Values of the library, returned as new objects owned by Python.
%typemap(out) InstanceHandle %{
  $result = SWIG_NewPointerObj(quorvela_py::new_handle_copy($1), $descriptor(InstanceHandle *), SWIG_POINTER_OWN);
%}

// No method is called on None: the object a method or field belongs to must
// exist (deleting None does nothing).
%typemap(check, noblock=1) SWIGTYPE *self {
  if (!$1 && !is_delete_name("$symname")) {
    SWIG_exception_fail(SWIG_ValueError, "invalid null reference in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
}

// The error of a library entity that no longer exists (deleted by its
// parent, by delete_contained_entities or by finalize).
%define %deleted_entity_error
SWIG_exception_fail(SWIG_ValueError, "deleted library entity in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'")
%enddef

// Library objects behind DataWriter/DataReader arguments must exist: None,
// an object whose library pointer was cleared, or one whose library entity
// was deleted, is refused (the destructor of the binding object accepts
// them all).
%define %library_object(TYPE, ACCESSOR, COND)
%typemap(in, noblock=1) TYPE (void *argp = 0, int res = 0) {
  res = SWIG_ConvertPtr($input, &argp, $descriptor, $disown | 0);
  if (!SWIG_IsOK(res)) {
    SWIG_exception_fail(SWIG_ArgError(res), "in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
  if (COND) {
    if (!quorvela_py::ACCESSOR(argp)) {
      SWIG_exception_fail(SWIG_ValueError, "invalid null reference in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
    }
    if (!QUORVELA::entity_exists(quorvela_py::ACCESSOR(argp))) {
      %deleted_entity_error;
    }
  }
  $1 = reinterpret_cast< $ltype >(argp);
}
%enddef
%library_object(DataWriter *self, library_writer, !(($disown) & SWIG_POINTER_DISOWN))
%library_object(DataReader *self, library_reader, !(($disown) & SWIG_POINTER_DISOWN))
%library_object(DataWriter *writer, library_writer, true)
%library_object(DataReader *reader, library_reader, true)

// The other library entities: the object a method is called on must exist;
// an entity argument may be None (the library refuses it) but must not be
// deleted.
%define %live_entity(NAME)
%typemap(check, noblock=1) QUORVELA::NAME *self {
  if (!$1) {
    SWIG_exception_fail(SWIG_ValueError, "invalid null reference in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
  if (!QUORVELA::entity_exists($1)) {
    %deleted_entity_error;
  }
}
%typemap(check, noblock=1) QUORVELA::NAME * {
  if ($1 && !QUORVELA::entity_exists($1)) {
    %deleted_entity_error;
  }
}
%enddef
%live_entity(DomainParticipant)
%live_entity(Publisher)
%live_entity(Subscriber)
%live_entity(Topic)

// A type support is passed as the number its get_instance() returned; any
// other number is refused without being followed.
%typemap(in, noblock=1, fragment=SWIG_AsVal_frag(long long)) QUORVELA::TypeSupport* type_support (long long address = 0, int res = 0) {
  res = SWIG_AsVal(long long)($input, &address);
  if (!SWIG_IsOK(res)) {
    SWIG_exception_fail(SWIG_ArgError(res), "in method '" "$symname" "', argument " "$argnum" " of type 'long long'");
  }
  $1 = QUORVELA::type_support_at(address);
  if (!$1) {
    SWIG_exception_fail(SWIG_ValueError, "in method '" "$symname" "', argument " "$argnum" ": not the address of a type support (get_instance())");
  }
}

// Entities that the library owns: never created or freed from Python.
%define %library_entity(NAME)
%nodefaultctor QUORVELA::NAME;
%nodefaultdtor QUORVELA::NAME;
%enddef
%library_entity(DomainParticipantFactory)
%library_entity(DomainParticipant)
%library_entity(Publisher)
%library_entity(Subscriber)
%library_entity(Topic)
%nodefaultctor DataWriter;
%nodefaultctor DataReader;

// ------------------------------------------------------------------- values
class InstanceHandle {
 public:
  InstanceHandle();  // HANDLE_NIL
  unsigned int length;
  int trailing;
};
%extend InstanceHandle {
  // The 16 value bytes.
  PyObject* get_value() {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>($self->value), sizeof $self->value);
  }
  // Sets the value bytes from at most 16 bytes; the rest become zero.
  PyObject* set_value(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return nullptr;
    if (size > static_cast<Py_ssize_t>(sizeof $self->value)) {
      PyErr_SetString(PyExc_ValueError, "an instance handle holds at most 16 value bytes");
      return nullptr;
    }
    std::memset($self->value, 0, sizeof $self->value);
    std::memcpy($self->value, data, static_cast<std::size_t>(size));
    Py_RETURN_NONE;
  }
  bool is_nil() const { return *$self == QUORVELA::HANDLE_NIL; }
  bool __eq__(const InstanceHandle& other) const { return *$self == other; }
  bool __ne__(const InstanceHandle& other) const { return *$self != other; }
  %pythoncode %{
    value = property(get_value, set_value)
    __hash__ = None
    def __repr__(self):
        return "InstanceHandle(length=%d, trailing=%d, value=%s)" % (self.length, self.trailing, self.value.hex())
  %}
}

class Time {
 public:
  int sec;
  unsigned int nanosec;
};
%extend Time {
  Time(int sec = 0, unsigned int nanosec = 0) {
    Time* t = new Time();
    t->sec = sec;
    t->nanosec = nanosec;
    return t;
  }
  bool __eq__(const Time& other) const { return *$self == other; }
  %pythoncode %{
    __hash__ = None
    def __repr__(self):
        return "Time(%d, %d)" % (self.sec, self.nanosec)
  %}
}

class SampleInfo {
 public:
  SampleInfo();
  unsigned short sample_state;
  unsigned short view_state;
  unsigned short instance_state;
  int disposed_generation_count;
  int no_writers_generation_count;
  int sample_rank;
  int generation_rank;
  int absolute_generation_rank;
  bool valid_data;
};
%extend SampleInfo {
  %newobject get_source_timestamp;
  Time* get_source_timestamp() const { return new Time($self->source_timestamp); }
  %newobject get_instance_handle;
  InstanceHandle* get_instance_handle() const { return quorvela_py::new_handle_copy($self->instance_handle); }
  %newobject get_publication_handle;
  InstanceHandle* get_publication_handle() const { return quorvela_py::new_handle_copy($self->publication_handle); }
  %pythoncode %{
    source_timestamp = property(get_source_timestamp)
    instance_handle = property(get_instance_handle)
    publication_handle = property(get_publication_handle)
  %}
}

// ---------------------------------------------------------------------- QoS
namespace QUORVELA {
struct Duration_t {
  int sec;
  unsigned int nanosec;
};
struct DurabilityQosPolicy { unsigned char kind; };
struct ReliabilityQosPolicy {
  unsigned char kind;
  Duration_t max_blocking_time;
};
struct HistoryQosPolicy {
  unsigned char kind;
  int depth;
};
struct ResourceLimitsQosPolicy {
  int max_samples;
  int max_instances;
  int max_samples_per_instance;
};
struct DataWriterQos {
  DurabilityQosPolicy durability;
  ReliabilityQosPolicy reliability;
  HistoryQosPolicy history;
  ResourceLimitsQosPolicy resource_limits;
};
struct DataReaderQos {
  DurabilityQosPolicy durability;
  ReliabilityQosPolicy reliability;
  HistoryQosPolicy history;
  ResourceLimitsQosPolicy resource_limits;
};
// The partitions of a publisher or subscriber: `name` is a list of str (or
// bytes); every name goes to the library byte for byte, so that the library
// refuses one holding a NUL.
struct PartitionQosPolicy {};
struct PublisherQos {
  PartitionQosPolicy partition;
};
struct SubscriberQos {
  PartitionQosPolicy partition;
};
struct PublicationMatchedStatus {
  int total_count;
  int total_count_change;
  int current_count;
  int current_count_change;
};
struct SubscriptionMatchedStatus {
  int total_count;
  int total_count_change;
  int current_count;
  int current_count_change;
};
}  // namespace QUORVELA

%extend QUORVELA::PartitionQosPolicy {
  // The names as a list of str (bytes that are not UTF-8 come back as
  // surrogate escapes, as os.fsdecode does).
  PyObject* get_name() const {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>($self->name.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < $self->name.size(); ++i) {
      const std::string& n = $self->name[i];
      PyObject* item = PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "surrogateescape");
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  }
  // Replaces the names by those of a sequence of str or bytes; anything else
  // is a TypeError and leaves the names as they were.
  PyObject* set_name(PyObject* names) {
    PyObject* seq = PySequence_Fast(names, "partition names must be a sequence of str or bytes");
    if (seq == nullptr) return nullptr;
    QUORVELA::StringSeq out;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
      PyObject* bytes = nullptr;
      if (PyUnicode_Check(item)) {
        bytes = PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape");
      } else if (PyBytes_Check(item)) {
        bytes = item;
        Py_INCREF(bytes);
      } else {
        PyErr_SetString(PyExc_TypeError, "partition names must be a sequence of str or bytes");
      }
      if (bytes == nullptr) {
        Py_DECREF(seq);
        return nullptr;
      }
      out.emplace_back(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
      Py_DECREF(bytes);
    }
    Py_DECREF(seq);
    $self->name = std::move(out);
    Py_RETURN_NONE;
  }
  %pythoncode %{
    name = property(get_name, set_name)
  %}
}

// ----------------------------------------------------------------- entities
class DataWriter {
 public:
  ~DataWriter();  // frees this object only; the library writer stays
};
%extend DataWriter {
  ReturnCode_t enable() { return quorvela_py::library_writer($self)->enable(); }
  InstanceHandle get_instance_handle() { return quorvela_py::library_writer($self)->get_instance_handle(); }
  ReturnCode_t get_qos(QUORVELA::DataWriterQos& qos) { return quorvela_py::library_writer($self)->get_qos(qos); }
  ReturnCode_t set_qos(const QUORVELA::DataWriterQos& qos) { return quorvela_py::library_writer($self)->set_qos(qos); }
  ReturnCode_t get_publication_matched_status(QUORVELA::PublicationMatchedStatus& status) {
    return quorvela_py::library_writer($self)->get_publication_matched_status(status);
  }
  ReturnCode_t wait_for_acknowledgments(int sec, unsigned int nanosec) {
    return quorvela_py::library_writer($self)->wait_for_acknowledgments(QUORVELA::Duration_t{sec, nanosec});
  }
  // True while the object (binding or typed writer) stands for a library
  // writer that exists.
  static bool is_valid(const DataWriter* object) {
    return QUORVELA::entity_exists(quorvela_py::library_writer(object));
  }
}

class DataReader {
 public:
  ~DataReader();  // frees this object only; the library reader stays
};
%extend DataReader {
  ReturnCode_t enable() { return quorvela_py::library_reader($self)->enable(); }
  InstanceHandle get_instance_handle() { return quorvela_py::library_reader($self)->get_instance_handle(); }
  ReturnCode_t get_qos(QUORVELA::DataReaderQos& qos) { return quorvela_py::library_reader($self)->get_qos(qos); }
  ReturnCode_t set_qos(const QUORVELA::DataReaderQos& qos) { return quorvela_py::library_reader($self)->set_qos(qos); }
  ReturnCode_t get_subscription_matched_status(QUORVELA::SubscriptionMatchedStatus& status) {
    return quorvela_py::library_reader($self)->get_subscription_matched_status(status);
  }
  static bool is_valid(const DataReader* object) {
    return QUORVELA::entity_exists(quorvela_py::library_reader(object));
  }
}

namespace QUORVELA {

class Topic {
 public:
  %extend {
    std::string get_name() { return $self->get_name(); }
    std::string get_type_name() { return $self->get_type_name(); }
  }
};

class Publisher {
 public:
  %extend {
    %newobject create_datawriter;
    // The library writer, or None when the library refuses.
    DataWriter* create_datawriter(Topic* topic, const DataWriterQos* qos = nullptr) {
      QUORVELA::DataWriter* w =
          $self->create_datawriter(topic, qos ? *qos : QUORVELA::DATAWRITER_QOS_DEFAULT, nullptr, 0);
      return w ? new ::DataWriter{w} : nullptr;
    }
    // On success the object (binding or typed writer) no longer stands for
    // the deleted writer.
    ReturnCode_t delete_datawriter(DataWriter* writer) {
      QUORVELA::DataWriter* w = quorvela_py::library_writer(writer);
      const ReturnCode_t rc = $self->delete_datawriter(w);
      if (rc == QUORVELA::RETCODE_OK) clear_library_pointer(writer);
      return rc;
    }
    %newobject lookup_datawriter;
    DataWriter* lookup_datawriter(const std::string& topic_name) {
      QUORVELA::DataWriter* w = $self->lookup_datawriter(topic_name);
      return w ? new ::DataWriter{w} : nullptr;
    }
    ReturnCode_t get_default_datawriter_qos(DataWriterQos& qos) { return $self->get_default_datawriter_qos(qos); }
    ReturnCode_t set_default_datawriter_qos(const DataWriterQos& qos) { return $self->set_default_datawriter_qos(qos); }
    ReturnCode_t delete_contained_entities() { return $self->delete_contained_entities(); }
    ReturnCode_t get_qos(PublisherQos& qos) { return $self->get_qos(qos); }
    ReturnCode_t set_qos(const PublisherQos& qos) { return $self->set_qos(qos); }
  }
};

class Subscriber {
 public:
  %extend {
    %newobject create_datareader;
    DataReader* create_datareader(Topic* topic, const DataReaderQos* qos = nullptr) {
      QUORVELA::DataReader* r =
          $self->create_datareader(topic, qos ? *qos : QUORVELA::DATAREADER_QOS_DEFAULT, nullptr, 0);
      return r ? new ::DataReader{r} : nullptr;
    }
    ReturnCode_t delete_datareader(DataReader* reader) {
      QUORVELA::DataReader* r = quorvela_py::library_reader(reader);
      const ReturnCode_t rc = $self->delete_datareader(r);
      if (rc == QUORVELA::RETCODE_OK) clear_library_pointer(reader);
      return rc;
    }
    %newobject lookup_datareader;
    DataReader* lookup_datareader(const std::string& topic_name) {
      QUORVELA::DataReader* r = $self->lookup_datareader(topic_name);
      return r ? new ::DataReader{r} : nullptr;
    }
    ReturnCode_t get_default_datareader_qos(DataReaderQos& qos) { return $self->get_default_datareader_qos(qos); }
    ReturnCode_t set_default_datareader_qos(const DataReaderQos& qos) { return $self->set_default_datareader_qos(qos); }
    ReturnCode_t delete_contained_entities() { return $self->delete_contained_entities(); }
    ReturnCode_t get_qos(SubscriberQos& qos) { return $self->get_qos(qos); }
    ReturnCode_t set_qos(const SubscriberQos& qos) { return $self->set_qos(qos); }
  }
};

class DomainParticipant {
 public:
  %extend {
    // type_support: the address of a TypeSupport, as the type modules hand
    // it out (for example FlatRecordTypeSupport.get_instance()).
    ReturnCode_t registe_type(const std::string& type_name, QUORVELA::TypeSupport* type_support) {
      return $self->registe_type(type_name, type_support);
    }
    Topic* create_topic(const std::string& topic_name, const std::string& type_name) {
      return $self->create_topic(topic_name, type_name, QUORVELA::TOPIC_QOS_DEFAULT, nullptr, 0);
    }
    ReturnCode_t delete_topic(Topic* topic) { return $self->delete_topic(topic); }
    // The publisher (subscriber), or None when the library refuses its QoS;
    // without one, the participant's default.
    Publisher* create_publisher(const PublisherQos* qos = nullptr) {
      return $self->create_publisher(qos ? *qos : QUORVELA::PUBLISHER_QOS_DEFAULT, nullptr, 0);
    }
    ReturnCode_t delete_publisher(Publisher* publisher) { return $self->delete_publisher(publisher); }
    Subscriber* create_subscriber(const SubscriberQos* qos = nullptr) {
      return $self->create_subscriber(qos ? *qos : QUORVELA::SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    }
    ReturnCode_t get_default_publisher_qos(PublisherQos& qos) { return $self->get_default_publisher_qos(qos); }
    ReturnCode_t set_default_publisher_qos(const PublisherQos& qos) { return $self->set_default_publisher_qos(qos); }
    ReturnCode_t get_default_subscriber_qos(SubscriberQos& qos) { return $self->get_default_subscriber_qos(qos); }
    ReturnCode_t set_default_subscriber_qos(const SubscriberQos& qos) { return $self->set_default_subscriber_qos(qos); }
    ReturnCode_t delete_subscriber(Subscriber* subscriber) { return $self->delete_subscriber(subscriber); }
    ReturnCode_t delete_contained_entities() { return $self->delete_contained_entities(); }
    int get_domain_id() { return $self->get_domain_id(); }
    ReturnCode_t get_current_time(Time& current_time) { return $self->get_current_time(current_time); }
    InstanceHandle get_instance_handle() { return $self->get_instance_handle(); }
  }
};

class DomainParticipantFactory {
 public:
  static DomainParticipantFactory* get_instance();
  static ReturnCode_t finalize();
  %extend {
    DomainParticipant* create_participant(int domain_id) {
      return $self->create_participant(domain_id, QUORVELA::PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    }
    ReturnCode_t delete_participant(DomainParticipant* participant) { return $self->delete_participant(participant); }
    DomainParticipant* lookup_participant(int domain_id) { return $self->lookup_participant(domain_id); }
  }
};

}  // namespace QUORVELA

// ---------------------------------------------------------------- constants
%constant int RETCODE_OK = QUORVELA::RETCODE_OK;
%constant int RETCODE_ERROR = QUORVELA::RETCODE_ERROR;
%constant int RETCODE_UNSUPPORTED = QUORVELA::RETCODE_UNSUPPORTED;
%constant int RETCODE_BAD_PARAMETER = QUORVELA::RETCODE_BAD_PARAMETER;
%constant int RETCODE_PRECONDITION_NOT_MET = QUORVELA::RETCODE_PRECONDITION_NOT_MET;
%constant int RETCODE_OUT_OF_RESOURCES = QUORVELA::RETCODE_OUT_OF_RESOURCES;
%constant int RETCODE_NOT_ENABLED = QUORVELA::RETCODE_NOT_ENABLED;
%constant int RETCODE_IMMUTABLE_POLICY = QUORVELA::RETCODE_IMMUTABLE_POLICY;
%constant int RETCODE_INCONSISTENT_POLICY = QUORVELA::RETCODE_INCONSISTENT_POLICY;
%constant int RETCODE_ALREADY_DELETED = QUORVELA::RETCODE_ALREADY_DELETED;
%constant int RETCODE_TIMEOUT = QUORVELA::RETCODE_TIMEOUT;
%constant int RETCODE_NO_DATA = QUORVELA::RETCODE_NO_DATA;
%constant int RETCODE_ILLEGAL_OPERATION = QUORVELA::RETCODE_ILLEGAL_OPERATION;

%constant int VOLATILE_DURABILITY_QOS = QUORVELA::VOLATILE_DURABILITY_QOS;
%constant int TRANSIENT_LOCAL_DURABILITY_QOS = QUORVELA::TRANSIENT_LOCAL_DURABILITY_QOS;
%constant int BEST_EFFORT_RELIABILITY_QOS = QUORVELA::BEST_EFFORT_RELIABILITY_QOS;
%constant int RELIABLE_RELIABILITY_QOS = QUORVELA::RELIABLE_RELIABILITY_QOS;
%constant int KEEP_LAST_HISTORY_QOS = QUORVELA::KEEP_LAST_HISTORY_QOS;
%constant int KEEP_ALL_HISTORY_QOS = QUORVELA::KEEP_ALL_HISTORY_QOS;
%constant int LENGTH_UNLIMITED = QUORVELA::LENGTH_UNLIMITED;

%constant int READ_SAMPLE_STATE = QUORVELA::READ_SAMPLE_STATE;
%constant int NOT_READ_SAMPLE_STATE = QUORVELA::NOT_READ_SAMPLE_STATE;
%constant int NEW_VIEW_STATE = QUORVELA::NEW_VIEW_STATE;
%constant int NOT_NEW_VIEW_STATE = QUORVELA::NOT_NEW_VIEW_STATE;
%constant int ALIVE_INSTANCE_STATE = QUORVELA::ALIVE_INSTANCE_STATE;
%constant int NOT_ALIVE_DISPOSED_INSTANCE_STATE = QUORVELA::NOT_ALIVE_DISPOSED_INSTANCE_STATE;
%constant int NOT_ALIVE_NO_WRITERS_INSTANCE_STATE = QUORVELA::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE;
