// XML QoS profiles: reading and validating the QoS file, and the store.
#include "xml/profiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <pugixml.hpp>

#include "policy_table.h"

namespace QUORVELA::detail::profiles {
namespace {

constexpr size_t kMaxFileBytes = 4u << 20;
constexpr size_t kMaxOctets = 64u << 10;
constexpr size_t kMaxItems = 1024;

using AnyQos = std::variant<DomainParticipantFactoryQos, DomainParticipantQos, PublisherQos, SubscriberQos,
                            TopicQos, DataWriterQos, DataReaderQos>;

// library -> profile -> qos name -> value
using Profile = std::map<std::string, AnyQos, std::less<>>;
using Library = std::map<std::string, Profile, std::less<>>;
using Store = std::map<std::string, Library, std::less<>>;

struct State {
  std::mutex mutex;
  Store store;
  std::string last_error;
};

// Never destroyed, so that code running during static destruction (an
// unload at exit) still finds it.
State& state() {
  static State* const s = new State;
  return *s;
}

// Thrown inside the parser only; load() turns it into RETCODE_ERROR.
struct Invalid {
  std::string why;
};

[[noreturn]] void fail(const pugi::xml_node& at, const std::string& why) {
  std::string where;
  for (pugi::xml_node n = at; n && n.type() == pugi::node_element; n = n.parent()) {
    std::string step = n.name();
    if (pugi::xml_attribute a = n.attribute("name")) step += "[" + std::string(a.value()) + "]";
    if (pugi::xml_attribute a = n.attribute("path")) step += "[" + std::string(a.value()) + "]";
    where = where.empty() ? step : step + "/" + where;
  }
  throw Invalid{where.empty() ? why : where + ": " + why};
}

// ------------------------------------------------------------ node checks

void only_attributes(const pugi::xml_node& n, std::initializer_list<std::string_view> allowed) {
  for (pugi::xml_attribute a : n.attributes()) {
    bool ok = false;
    for (std::string_view name : allowed) ok = ok || name == a.name();
    if (!ok) fail(n, std::string("unknown attribute '") + a.name() + "'");
  }
}

bool is_text(const pugi::xml_node& n) { return n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata; }

// Element children only (no text), each named `child`.
void only_children(const pugi::xml_node& n, const char* child) {
  for (pugi::xml_node c : n.children()) {
    if (c.type() == pugi::node_element && std::strcmp(c.name(), child) == 0) continue;
    if (is_text(c)) fail(n, "unexpected text");
    if (c.type() == pugi::node_element) fail(n, std::string("unexpected element <") + c.name() + ">");
    fail(n, "unexpected node");
  }
}

// The text of an element that holds at most one text node and nothing else.
std::string simple_text(const pugi::xml_node& n) {
  std::string text;
  int count = 0;
  for (pugi::xml_node c : n.children()) {
    if (!is_text(c)) fail(n, "a value element holds only text");
    if (++count > 1) fail(n, "a value element holds one piece of text");
    text = c.value();
  }
  return text;
}

std::string_view trim(std::string_view s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string required_name(const pugi::xml_node& n) {
  pugi::xml_attribute a = n.attribute("name");
  if (!a) fail(n, "missing attribute 'name'");
  if (a.value()[0] == '\0') fail(n, "empty 'name'");
  return a.value();
}

// ------------------------------------------------------------ scalar values

// Strict integer: optional sign, decimal digits or 0x hex digits, nothing else.
bool parse_integer(std::string_view s, int64_t& out) {
  s = trim(s);
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  if (magnitude > (uint64_t{1} << 40)) return false;  // far beyond every field's range
  out = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

int64_t integer_text(const pugi::xml_node& n, int64_t lo, int64_t hi) {
  only_attributes(n, {"path"});
  const std::string text = simple_text(n);
  int64_t v = 0;
  if (!parse_integer(text, v)) fail(n, "'" + text + "' is not an integer");
  if (v < lo || v > hi) {
    fail(n, std::to_string(v) + " is out of range [" + std::to_string(lo) + ", " + std::to_string(hi) + "]");
  }
  return v;
}

void parse_bool(const pugi::xml_node& n, bool& out) {
  only_attributes(n, {"path"});
  const std::string text = simple_text(n);
  const std::string_view t = trim(text);
  if (t == "true" || t == "1") {
    out = true;
  } else if (t == "false" || t == "0") {
    out = false;
  } else {
    fail(n, "'" + text + "' is not a bool (true, false, 1, 0)");
  }
}

void parse_int32(const pugi::xml_node& n, int32_t& out) {
  out = static_cast<int32_t>(
      integer_text(n, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

// -1 (unlimited) or a positive count.
void parse_limit(const pugi::xml_node& n, int32_t& out) {
  const int64_t v = integer_text(n, -1, std::numeric_limits<int32_t>::max());
  if (v == 0) fail(n, "a limit is -1 (unlimited) or positive");
  out = static_cast<int32_t>(v);
}

void parse_depth(const pugi::xml_node& n, int32_t& out) {
  out = static_cast<int32_t>(integer_text(n, 1, std::numeric_limits<int32_t>::max()));
}

void parse_transport_mode(const pugi::xml_node& n, uint8_t& out) {
  out = static_cast<uint8_t>(integer_text(n, 1, 0x1f));
}

struct KindName {
  const char* name;
  uint8_t value;
};
struct KindSet {
  const char* what;
  const char* suffix;  // the full constant name is name + suffix
  std::vector<KindName> names;
};

const KindSet kDurability{"durability kind",
                          "_DURABILITY_QOS",
                          {{"VOLATILE", VOLATILE_DURABILITY_QOS},
                           {"TRANSIENT_LOCAL", TRANSIENT_LOCAL_DURABILITY_QOS},
                           {"TRANSIENT", TRANSIENT_DURABILITY_QOS},
                           {"PERSISTENT", PERSISTENT_DURABILITY_QOS}}};
const KindSet kReliability{"reliability kind",
                           "_RELIABILITY_QOS",
                           {{"BEST_EFFORT", BEST_EFFORT_RELIABILITY_QOS}, {"RELIABLE", RELIABLE_RELIABILITY_QOS}}};
const KindSet kHistory{"history kind",
                       "_HISTORY_QOS",
                       {{"KEEP_LAST", KEEP_LAST_HISTORY_QOS}, {"KEEP_ALL", KEEP_ALL_HISTORY_QOS}}};
const KindSet kLiveliness{"liveliness kind",
                          "_LIVELINESS_QOS",
                          {{"AUTOMATIC", AUTOMATIC_LIVELINESS_QOS},
                           {"MANUAL_BY_PARTICIPANT", MANUAL_BY_PARTICIPANT_LIVELINESS_QOS},
                           {"MANUAL_BY_TOPIC", MANUAL_BY_TOPIC_LIVELINESS_QOS}}};
const KindSet kOwnership{"ownership kind",
                         "_OWNERSHIP_QOS",
                         {{"SHARED", SHARED_OWNERSHIP_QOS}, {"EXCLUSIVE", EXCLUSIVE_OWNERSHIP_QOS}}};
const KindSet kDestinationOrder{"destination order kind",
                                "_DESTINATIONORDER_QOS",
                                {{"BY_RECEPTION_TIMESTAMP", BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS},
                                 {"BY_SOURCE_TIMESTAMP", BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS}}};
const KindSet kAccessScope{"access scope",
                           "_PRESENTATION_QOS",
                           {{"INSTANCE", INSTANCE_PRESENTATION_QOS},
                            {"TOPIC", TOPIC_PRESENTATION_QOS},
                            {"GROUP", GROUP_PRESENTATION_QOS}}};

void parse_kind(const pugi::xml_node& n, const KindSet& set, uint8_t& out) {
  only_attributes(n, {"path"});
  const std::string text = simple_text(n);
  const std::string_view t = trim(text);
  int64_t number = 0;
  const bool numeric = parse_integer(t, number);
  for (const KindName& k : set.names) {
    if (numeric ? number == k.value : (t == k.name || t == std::string(k.name) + set.suffix)) {
      out = k.value;
      return;
    }
  }
  fail(n, "'" + text + "' is not a " + set.what);
}

void parse_duration(const pugi::xml_node& n, Duration_t& out) {
  only_attributes(n, {"path", "sec", "nanosec"});
  pugi::xml_attribute sec = n.attribute("sec");
  pugi::xml_attribute nanosec = n.attribute("nanosec");
  const std::string text = simple_text(n);
  if (!sec && !nanosec) {
    if (trim(text) != "INFINITE") fail(n, "a duration needs sec and nanosec, or the text INFINITE");
    out = DURATION_INFINITE;
    return;
  }
  if (!sec || !nanosec) fail(n, "a duration needs both sec and nanosec");
  if (!trim(text).empty()) fail(n, "a duration given by sec and nanosec has no text");
  int64_t s = 0;
  int64_t ns = 0;
  if (!parse_integer(sec.value(), s) || s < 0 || s > std::numeric_limits<int32_t>::max()) {
    fail(n, std::string("sec '") + sec.value() + "' is not in [0, 2147483647]");
  }
  if (!parse_integer(nanosec.value(), ns) || ns < 0 || (ns >= 1000000000 && ns != DURATION_INFINITE_NSEC)) {
    fail(n, std::string("nanosec '") + nanosec.value() + "' is neither below 1000000000 nor 4294967295 (infinite)");
  }
  if (ns == DURATION_INFINITE_NSEC && s != DURATION_INFINITE_SEC) {
    fail(n, "nanosec 4294967295 (infinite) goes only with sec 2147483647");
  }
  out = Duration_t{static_cast<int32_t>(s), static_cast<uint32_t>(ns)};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void parse_octets(const pugi::xml_node& n, OctetSeq& out) {
  only_attributes(n, {"path", "text", "hex"});
  if (!trim(simple_text(n)).empty()) fail(n, "octets are given by the attribute text or hex");
  pugi::xml_attribute text = n.attribute("text");
  pugi::xml_attribute hex = n.attribute("hex");
  if (text && hex) fail(n, "octets are given by text or by hex, not both");
  OctetSeq bytes;
  if (text) {
    const std::string_view v = text.value();
    bytes.assign(v.begin(), v.end());
  } else if (hex) {
    std::string_view v = hex.value();
    while (true) {
      v = trim(v);
      if (v.empty()) break;
      size_t len = v.find_first_of(" \t\r\n");
      if (len == std::string_view::npos) len = v.size();
      const std::string_view token = v.substr(0, len);
      if (token.size() != 2 || hex_digit(token[0]) < 0 || hex_digit(token[1]) < 0) {
        fail(n, "hex bytes are two hex digits each, separated by white space: '" + std::string(token) + "'");
      }
      bytes.push_back(static_cast<octet>(hex_digit(token[0]) * 16 + hex_digit(token[1])));
      v.remove_prefix(len);
    }
  }
  if (bytes.size() > kMaxOctets) fail(n, "too many octets");
  out = std::move(bytes);
}

void parse_strings(const pugi::xml_node& n, StringSeq& out) {
  only_attributes(n, {"path"});
  only_children(n, "item");
  StringSeq items;
  for (pugi::xml_node item : n.children("item")) {
    only_attributes(item, {});
    if (items.size() == kMaxItems) fail(n, "too many items");
    items.push_back(simple_text(item));
  }
  out = std::move(items);
}

void parse_properties(const pugi::xml_node& n, std::vector<Property>& out) {
  only_attributes(n, {"path"});
  only_children(n, "property");
  std::vector<Property> props;
  for (pugi::xml_node p : n.children("property")) {
    only_attributes(p, {"name", "value"});
    if (!trim(simple_text(p)).empty()) fail(p, "a property has no text");
    if (props.size() == kMaxItems) fail(n, "too many properties");
    pugi::xml_attribute value = p.attribute("value");
    if (!value) fail(p, "missing attribute 'value'");
    props.push_back(Property{required_name(p), value.value()});
  }
  out = std::move(props);
}

// ------------------------------------------------------------ field tables

// The members of each policy with their parsers; the path of a field is the
// policy's member name in the QoS type (from the policy table), a point and
// the member's name.
template <class P>
struct Member {
  const char* name;
  std::function<void(P&, const pugi::xml_node&)> set;
};

template <class P, class V, class Parse>
Member<P> member(const char* name, V P::*m, Parse parse) {
  return {name, [=](P& p, const pugi::xml_node& n) { parse(n, p.*m); }};
}

template <class P>
Member<P> kind_member(const char* name, uint8_t P::*m, const KindSet& set) {
  return {name, [m, &set](P& p, const pugi::xml_node& n) { parse_kind(n, set, p.*m); }};
}

std::vector<Member<UserDataQosPolicy>> members(const UserDataQosPolicy*) {
  return {member("value", &UserDataQosPolicy::value, parse_octets)};
}
std::vector<Member<TopicDataQosPolicy>> members(const TopicDataQosPolicy*) {
  return {member("value", &TopicDataQosPolicy::value, parse_octets)};
}
std::vector<Member<GroupDataQosPolicy>> members(const GroupDataQosPolicy*) {
  return {member("value", &GroupDataQosPolicy::value, parse_octets)};
}
std::vector<Member<PartitionQosPolicy>> members(const PartitionQosPolicy*) {
  return {member("name", &PartitionQosPolicy::name, parse_strings)};
}
std::vector<Member<PresentationQosPolicy>> members(const PresentationQosPolicy*) {
  using P = PresentationQosPolicy;
  return {kind_member("access_scope", &P::access_scope, kAccessScope),
          member("coherent_access", &P::coherent_access, parse_bool),
          member("ordered_access", &P::ordered_access, parse_bool)};
}
std::vector<Member<EntityFactoryQosPolicy>> members(const EntityFactoryQosPolicy*) {
  return {member("autoenable_created_entities", &EntityFactoryQosPolicy::autoenable_created_entities, parse_bool)};
}
std::vector<Member<DurabilityQosPolicy>> members(const DurabilityQosPolicy*) {
  return {kind_member("kind", &DurabilityQosPolicy::kind, kDurability)};
}
std::vector<Member<DurabilityServiceQosPolicy>> members(const DurabilityServiceQosPolicy*) {
  using P = DurabilityServiceQosPolicy;
  return {member("service_cleanup_delay", &P::service_cleanup_delay, parse_duration),
          kind_member("history_kind", &P::history_kind, kHistory),
          member("history_depth", &P::history_depth, parse_depth),
          member("max_samples", &P::max_samples, parse_limit),
          member("max_instances", &P::max_instances, parse_limit),
          member("max_samples_per_instance", &P::max_samples_per_instance, parse_limit)};
}
std::vector<Member<DeadlineQosPolicy>> members(const DeadlineQosPolicy*) {
  return {member("period", &DeadlineQosPolicy::period, parse_duration)};
}
std::vector<Member<LatencyBudgetQosPolicy>> members(const LatencyBudgetQosPolicy*) {
  return {member("duration", &LatencyBudgetQosPolicy::duration, parse_duration)};
}
std::vector<Member<LivelinessQosPolicy>> members(const LivelinessQosPolicy*) {
  return {kind_member("kind", &LivelinessQosPolicy::kind, kLiveliness),
          member("lease_duration", &LivelinessQosPolicy::lease_duration, parse_duration)};
}
std::vector<Member<ReliabilityQosPolicy>> members(const ReliabilityQosPolicy*) {
  return {kind_member("kind", &ReliabilityQosPolicy::kind, kReliability),
          member("max_blocking_time", &ReliabilityQosPolicy::max_blocking_time, parse_duration)};
}
std::vector<Member<DestinationOrderQosPolicy>> members(const DestinationOrderQosPolicy*) {
  return {kind_member("kind", &DestinationOrderQosPolicy::kind, kDestinationOrder)};
}
std::vector<Member<HistoryQosPolicy>> members(const HistoryQosPolicy*) {
  return {kind_member("kind", &HistoryQosPolicy::kind, kHistory), member("depth", &HistoryQosPolicy::depth, parse_depth)};
}
std::vector<Member<ResourceLimitsQosPolicy>> members(const ResourceLimitsQosPolicy*) {
  using P = ResourceLimitsQosPolicy;
  return {member("max_samples", &P::max_samples, parse_limit), member("max_instances", &P::max_instances, parse_limit),
          member("max_samples_per_instance", &P::max_samples_per_instance, parse_limit)};
}
std::vector<Member<TransportPriorityQosPolicy>> members(const TransportPriorityQosPolicy*) {
  return {member("value", &TransportPriorityQosPolicy::value, parse_int32)};
}
std::vector<Member<LifespanQosPolicy>> members(const LifespanQosPolicy*) {
  return {member("duration", &LifespanQosPolicy::duration, parse_duration)};
}
std::vector<Member<OwnershipQosPolicy>> members(const OwnershipQosPolicy*) {
  return {kind_member("kind", &OwnershipQosPolicy::kind, kOwnership)};
}
std::vector<Member<OwnershipStrengthQosPolicy>> members(const OwnershipStrengthQosPolicy*) {
  return {member("value", &OwnershipStrengthQosPolicy::value, parse_int32)};
}
std::vector<Member<WriterDataLifecycleQosPolicy>> members(const WriterDataLifecycleQosPolicy*) {
  return {member("autodispose_unregistered_instances",
                 &WriterDataLifecycleQosPolicy::autodispose_unregistered_instances, parse_bool)};
}
std::vector<Member<TimeBasedFilterQosPolicy>> members(const TimeBasedFilterQosPolicy*) {
  return {member("minimum_separation", &TimeBasedFilterQosPolicy::minimum_separation, parse_duration)};
}
std::vector<Member<ReaderDataLifecycleQosPolicy>> members(const ReaderDataLifecycleQosPolicy*) {
  using P = ReaderDataLifecycleQosPolicy;
  return {member("autopurge_nowriter_samples_delay", &P::autopurge_nowriter_samples_delay, parse_duration),
          member("autopurge_disposed_samples_delay", &P::autopurge_disposed_samples_delay, parse_duration)};
}
std::vector<Member<PropertyQosPolicy>> members(const PropertyQosPolicy*) {
  return {member("value", &PropertyQosPolicy::value, parse_properties)};
}
// A plain number, no members: the path is the policy's member name alone.
std::vector<Member<TransportMode>> members(const TransportMode*) {
  return {{nullptr, [](TransportMode& mode, const pugi::xml_node& n) { parse_transport_mode(n, mode); }}};
}

template <class Q>
struct Field {
  std::string path;
  std::function<void(Q&, const pugi::xml_node&)> set;
};

// The fields a QoS type has: the members of every policy it holds.
template <class Q>
std::vector<Field<Q>> build_fields() {
  std::vector<Field<Q>> f;
  for_each_policy_of<Q>([&](const auto& row, auto policy) {
    using P = typename std::decay_t<decltype(row)>::Policy;
    for (Member<P>& m : members(static_cast<const P*>(nullptr))) {
      std::string path = row.field;
      if (m.name != nullptr) path = path + "." + m.name;
      f.push_back({std::move(path), [policy, set = std::move(m.set)](Q& q, const pugi::xml_node& n) {
                     set(q.*policy, n);
                   }});
    }
  });
  return f;
}

template <class Q>
const std::vector<Field<Q>>& fields() {
  static const std::vector<Field<Q>> table = build_fields<Q>();
  return table;
}

template <class Q>
AnyQos parse_entry(const pugi::xml_node& qos) {
  Q value{};
  std::vector<std::string_view> seen;
  for (pugi::xml_node field : qos.children("field")) {
    pugi::xml_attribute path = field.attribute("path");
    if (!path) fail(field, "missing attribute 'path'");
    const std::string_view p = path.value();
    for (std::string_view s : seen) {
      if (s == p) fail(field, "field set twice");
    }
    const Field<Q>* match = nullptr;
    for (const Field<Q>& f : fields<Q>()) {
      if (f.path == p) match = &f;
    }
    if (match == nullptr) fail(field, "this QoS kind has no field '" + std::string(p) + "'");
    match->set(value, field);
    seen.push_back(match->path);
  }
  return AnyQos{std::move(value)};
}

struct QosKind {
  const char* name;
  AnyQos (*parse)(const pugi::xml_node&);
};
const QosKind kQosKinds[] = {
    {"participant_factory", parse_entry<DomainParticipantFactoryQos>},
    {"participant", parse_entry<DomainParticipantQos>},
    {"publisher", parse_entry<PublisherQos>},
    {"subscriber", parse_entry<SubscriberQos>},
    {"topic", parse_entry<TopicQos>},
    {"datawriter", parse_entry<DataWriterQos>},
    {"datareader", parse_entry<DataReaderQos>},
};

// ------------------------------------------------------------ document

Store parse_document(const pugi::xml_document& doc) {
  pugi::xml_node root;
  for (pugi::xml_node n : doc.children()) {
    if (n.type() == pugi::node_doctype) throw Invalid{"a DOCTYPE is not allowed"};
    if (n.type() != pugi::node_element) throw Invalid{"unexpected content outside the root element"};
    if (root) throw Invalid{"more than one root element"};
    root = n;
  }
  if (!root || std::strcmp(root.name(), "qos_config") != 0) throw Invalid{"the root element is not <qos_config>"};
  only_attributes(root, {});
  only_children(root, "library");

  Store store;
  for (pugi::xml_node lib : root.children("library")) {
    only_attributes(lib, {"name"});
    only_children(lib, "profile");
    auto [lib_it, lib_new] = store.try_emplace(required_name(lib));
    if (!lib_new) fail(lib, "library defined twice");
    for (pugi::xml_node prof : lib.children("profile")) {
      only_attributes(prof, {"name"});
      only_children(prof, "qos");
      auto [prof_it, prof_new] = lib_it->second.try_emplace(required_name(prof));
      if (!prof_new) fail(prof, "profile defined twice");
      for (pugi::xml_node qos : prof.children("qos")) {
        only_attributes(qos, {"name", "kind"});
        only_children(qos, "field");
        std::string name = required_name(qos);
        if (prof_it->second.count(name) != 0) fail(qos, "QoS name defined twice in this profile");
        pugi::xml_attribute kind = qos.attribute("kind");
        if (!kind) fail(qos, "missing attribute 'kind'");
        const QosKind* match = nullptr;
        for (const QosKind& k : kQosKinds) {
          if (std::strcmp(k.name, kind.value()) == 0) match = &k;
        }
        if (match == nullptr) fail(qos, std::string("unknown QoS kind '") + kind.value() + "'");
        prof_it->second.emplace(std::move(name), match->parse(qos));
      }
    }
  }
  return store;
}

// Reads a regular file of bounded size. Opening does not block on a FIFO.
bool read_file(const char* file, std::string& data, std::string& why) {
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    why = std::string("cannot open '") + file + "': " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) {
    why = std::string("cannot stat '") + file + "': " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = std::string("'") + file + "' is not a regular file";
    ok = false;
  } else if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
    why = std::string("'") + file + "' is larger than 4 MiB";
    ok = false;
  }
  if (ok) {
    data.assign(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < data.size()) {
      const ssize_t r = ::read(fd, data.data() + got, data.size() - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    if (got != data.size()) {
      why = std::string("cannot read '") + file + "'";
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

// Whether text, as written (references not expanded), holds a character
// reference to U+0000 ("&#0;", "&#x00;"). XML has no such character; the
// parser would expand it and hand on every value cut there, so that a
// partition "p&#0;A" became "p".
bool holds_nul_reference(std::string_view s) {
  for (size_t at = s.find("&#"); at != std::string_view::npos; at = s.find("&#", at + 2)) {
    size_t i = at + 2;
    if (i < s.size() && s[i] == 'x') ++i;
    const size_t digits = i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i > digits && i < s.size() && s[i] == ';') return true;
  }
  return false;
}

// The first element whose text or attributes hold a reference to U+0000, in
// the document parsed without expanding references; an empty node when none
// does.
pugi::xml_node nul_reference_in(const pugi::xml_node& n) {
  for (pugi::xml_attribute a : n.attributes())
    if (holds_nul_reference(a.value())) return n;
  for (pugi::xml_node c : n.children()) {
    if (c.type() == pugi::node_pcdata && holds_nul_reference(c.value())) return n;
    if (c.type() == pugi::node_element)
      if (pugi::xml_node found = nul_reference_in(c)) return found;
  }
  return {};
}

template <class Q>
ReturnCode_t find_entry(const char* library, const char* profile, const char* qos_name, Q& out) {
  if (library == nullptr || profile == nullptr || qos_name == nullptr) return RETCODE_BAD_PARAMETER;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto lib = s.store.find(std::string_view(library));
  if (lib == s.store.end()) return RETCODE_ERROR;
  auto prof = lib->second.find(std::string_view(profile));
  if (prof == lib->second.end()) return RETCODE_ERROR;
  auto entry = prof->second.find(std::string_view(qos_name));
  if (entry == prof->second.end()) return RETCODE_ERROR;
  const Q* value = std::get_if<Q>(&entry->second);
  if (value == nullptr) return RETCODE_ERROR;
  out = *value;
  return RETCODE_OK;
}

}  // namespace

ReturnCode_t load(const char* file) {
  if (file == nullptr) return RETCODE_BAD_PARAMETER;
  std::string why;
  Store parsed;
  bool ok = false;
  std::string data;
  if (read_file(file, data, why)) {
    pugi::xml_document doc;
    const pugi::xml_parse_result r =
        doc.load_buffer(data.data(), data.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_auto);
    pugi::xml_document unexpanded;
    pugi::xml_node nul;
    if (r && unexpanded.load_buffer(data.data(), data.size(),
                                    (pugi::parse_default | pugi::parse_doctype) & ~pugi::parse_escapes,
                                    pugi::encoding_auto))
      nul = nul_reference_in(unexpanded);
    if (!r) {
      why = std::string("'") + file + "' is not well-formed XML at offset " + std::to_string(r.offset) + ": " +
            r.description();
    } else if (nul) {
      why = std::string("'") + file + "' is not well-formed XML: <" + nul.name() +
            "> holds a character reference to NUL";
    } else {
      try {
        parsed = parse_document(doc);
        ok = true;
      } catch (const Invalid& e) {
        why = std::string("'") + file + "': " + e.why;
      }
    }
  }
  if (!ok) {
    // The reason on one line of standard error, so that a caller who sees
    // only RETCODE_ERROR can find out why.
    std::string line = why;
    for (char& c : line)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    std::fprintf(stderr, "quorvela: QoS file refused: %s\n", line.c_str());
  }
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!ok) {
    s.last_error = why;
    return RETCODE_ERROR;
  }
  s.store = std::move(parsed);
  s.last_error.clear();
  return RETCODE_OK;
}

ReturnCode_t unload() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.store.clear();
  return RETCODE_OK;
}

std::string last_error() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.last_error;
}

ReturnCode_t find(const char* l, const char* p, const char* n, DomainParticipantFactoryQos& out) {
  return find_entry(l, p, n, out);
}
ReturnCode_t find(const char* l, const char* p, const char* n, DomainParticipantQos& out) {
  return find_entry(l, p, n, out);
}
ReturnCode_t find(const char* l, const char* p, const char* n, PublisherQos& out) { return find_entry(l, p, n, out); }
ReturnCode_t find(const char* l, const char* p, const char* n, SubscriberQos& out) { return find_entry(l, p, n, out); }
ReturnCode_t find(const char* l, const char* p, const char* n, TopicQos& out) { return find_entry(l, p, n, out); }
ReturnCode_t find(const char* l, const char* p, const char* n, DataWriterQos& out) { return find_entry(l, p, n, out); }
ReturnCode_t find(const char* l, const char* p, const char* n, DataReaderQos& out) { return find_entry(l, p, n, out); }

}  // namespace QUORVELA::detail::profiles
