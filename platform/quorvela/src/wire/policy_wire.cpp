#include "wire/policy_wire.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "duration.h"
#include "faults/fault.h"
#include "faults/variant.h"
#include "policy_table.h"
#include "wire/domain.h"

namespace QUORVELA::wire {

namespace {

using detail::to_duration;
using detail::to_ns;

// ------------------------------------------------------ the entity name
// What Cyclone's QoS cannot hold as the library means it travels in the
// entity name of the Cyclone entity: "qv:" and fields "<key>=<value>",
// separated by ';'. Endpoints of other origin have none of these fields.
constexpr const char* kNamePrefix = "qv:";

// A Cyclone QoS being made.
struct ToWire {
  explicit ToWire(bool writer_entity = false) : qos(dds_create_qos()), writer(writer_entity) {}
  dds_qos_t* qos;
  bool writer;  // of a Cyclone data writer
  std::string fields;

  void field(const char* key, const std::string& value) {
    if (!fields.empty()) fields += ';';
    fields += key;
    fields += '=';
    fields += value;
  }
  // The QoS made, with the name fields set.
  CycloneQos done() {
    if (!fields.empty()) dds_qset_entity_name(qos, (kNamePrefix + fields).c_str());
    return CycloneQos(qos);
  }
};

// The QoS of discovery data Cyclone received.
struct FromWire {
  const dds_qos_t* qos;
  std::map<std::string, std::string> fields;

  explicit FromWire(const dds_qos_t* q) : qos(q) {
    char* name = nullptr;
    if (q == nullptr || !dds_qget_entity_name(q, &name) || name == nullptr) return;
    const std::string n = name;
    dds_free(name);
    if (n.compare(0, std::strlen(kNamePrefix), kNamePrefix) != 0) return;
    size_t at = std::strlen(kNamePrefix);
    while (at < n.size()) {
      size_t end = n.find(';', at);
      if (end == std::string::npos) end = n.size();
      const size_t eq = n.find('=', at);
      if (eq < end) fields[n.substr(at, eq - at)] = n.substr(eq + 1, end - eq - 1);
      at = end + 1;
    }
  }
  // The numbers of a field, comma separated; false when the field is
  // missing or is not `count` numbers.
  bool numbers(const char* key, size_t count, std::vector<int64_t>& out) const {
    auto it = fields.find(key);
    if (it == fields.end()) return false;
    out.clear();
    const char* p = it->second.c_str();
    for (;;) {
      char* end = nullptr;
      const long long v = std::strtoll(p, &end, 10);
      if (end == p) return false;
      out.push_back(v);
      if (*end == '\0') break;
      if (*end != ',') return false;
      p = end + 1;
    }
    return out.size() == count;
  }
};

// --------------------------------------------------------- kinds and values
dds_durability_kind_t to_cyclone(DurabilityQosPolicyKind k) {
  // Transient and persistent are served from the writer's own history, like
  // transient local.
  return k == VOLATILE_DURABILITY_QOS ? DDS_DURABILITY_VOLATILE : DDS_DURABILITY_TRANSIENT_LOCAL;
}
DurabilityQosPolicyKind from_cyclone(dds_durability_kind_t k) {
  switch (k) {
    case DDS_DURABILITY_TRANSIENT_LOCAL: return TRANSIENT_LOCAL_DURABILITY_QOS;
    case DDS_DURABILITY_TRANSIENT: return TRANSIENT_DURABILITY_QOS;
    case DDS_DURABILITY_PERSISTENT: return PERSISTENT_DURABILITY_QOS;
    default: return VOLATILE_DURABILITY_QOS;
  }
}
dds_history_kind_t to_cyclone_history(HistoryQosPolicyKind k) {
  return k == KEEP_ALL_HISTORY_QOS ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST;
}
HistoryQosPolicyKind from_cyclone(dds_history_kind_t k) {
  return k == DDS_HISTORY_KEEP_ALL ? KEEP_ALL_HISTORY_QOS : KEEP_LAST_HISTORY_QOS;
}

std::vector<uint8_t> blob(bool ok, void* v, size_t sz) {
  std::vector<uint8_t> out;
  if (ok && v) out.assign(static_cast<uint8_t*>(v), static_cast<uint8_t*>(v) + sz);
  dds_free(v);
  return out;
}
const void* bytes(const std::vector<uint8_t>& v) { return v.empty() ? nullptr : v.data(); }

// ------------------------------------------------------ one policy each
// to_wire(): the policy into the Cyclone QoS of an entity it applies to.
// from_wire(): the announced value back, for the policies discovery data
// carry; a policy Cyclone did not receive keeps its default. No fallback:
// a policy without its overloads does not compile.

// User, topic and group data: octets each.
std::vector<uint8_t> octets(const FromWire& w, bool (*get)(const dds_qos_t*, void**, size_t*)) {
  void* v = nullptr;
  size_t sz = 0;
  const bool ok = get(w.qos, &v, &sz);
  return blob(ok, v, sz);
}

void to_wire(ToWire& w, const UserDataQosPolicy& p) { dds_qset_userdata(w.qos, bytes(p.value), p.value.size()); }
void from_wire(const FromWire& w, UserDataQosPolicy& p) { p.value = octets(w, dds_qget_userdata); }

void to_wire(ToWire& w, const TopicDataQosPolicy& p) { dds_qset_topicdata(w.qos, bytes(p.value), p.value.size()); }
void from_wire(const FromWire& w, TopicDataQosPolicy& p) { p.value = octets(w, dds_qget_topicdata); }

void to_wire(ToWire& w, const GroupDataQosPolicy& p) { dds_qset_groupdata(w.qos, bytes(p.value), p.value.size()); }
void from_wire(const FromWire& w, GroupDataQosPolicy& p) { p.value = octets(w, dds_qget_groupdata); }

void to_wire(ToWire& w, const PartitionQosPolicy& p) {
  // Variant: the default partition announced as the one empty name rather
  // than as no name; the two mean the same partition.
  if (p.name.empty() && QV_VARIANT(default_partition_named)) {
    const char* blank = "";
    dds_qset_partition(w.qos, 1, &blank);
    return;
  }
  if (p.name.empty()) return;
  std::vector<const char*> names;
  for (const std::string& n : p.name) names.push_back(n.c_str());
  dds_qset_partition(w.qos, static_cast<uint32_t>(names.size()), names.data());
}
void from_wire(const FromWire& w, PartitionQosPolicy& p) {
  uint32_t n = 0;
  char** names = nullptr;
  if (!dds_qget_partition(w.qos, &n, &names)) return;
  p.name.clear();
  for (uint32_t i = 0; i < n; ++i) {
    p.name.emplace_back(names[i]);
    dds_free(names[i]);
  }
  dds_free(names);
}

void to_wire(ToWire& w, const PresentationQosPolicy& p) {
  const dds_presentation_access_scope_kind_t scope = p.access_scope == GROUP_PRESENTATION_QOS   ? DDS_PRESENTATION_GROUP
                                                     : p.access_scope == TOPIC_PRESENTATION_QOS ? DDS_PRESENTATION_TOPIC
                                                                                                : DDS_PRESENTATION_INSTANCE;
  dds_qset_presentation(w.qos, scope, p.coherent_access, p.ordered_access);
}
void from_wire(const FromWire& w, PresentationQosPolicy& p) {
  dds_presentation_access_scope_kind_t scope;
  bool coherent, ordered;
  if (!dds_qget_presentation(w.qos, &scope, &coherent, &ordered)) return;
  p.access_scope = scope == DDS_PRESENTATION_GROUP   ? GROUP_PRESENTATION_QOS
                   : scope == DDS_PRESENTATION_TOPIC ? TOPIC_PRESENTATION_QOS
                                                     : INSTANCE_PRESENTATION_QOS;
  p.coherent_access = coherent;
  p.ordered_access = ordered;
}

// Cyclone only has transient local for transient and persistent; the kind
// itself travels in the entity name ("d").
void to_wire(ToWire& w, const DurabilityQosPolicy& p) {
  dds_qset_durability(w.qos, to_cyclone(p.kind));
  w.field("d", std::to_string(p.kind));
}
void from_wire(const FromWire& w, DurabilityQosPolicy& p) {
  dds_durability_kind_t k;
  if (dds_qget_durability(w.qos, &k)) p.kind = from_cyclone(k);
  std::vector<int64_t> n;
  if (w.numbers("d", 1, n) && n[0] >= VOLATILE_DURABILITY_QOS && n[0] <= PERSISTENT_DURABILITY_QOS)
    p.kind = static_cast<DurabilityQosPolicyKind>(n[0]);
}

// Cyclone serves late joiners from the history of its durability service,
// which is the writer's history here (see the history's to_wire()): the
// policy as set travels in the entity name ("ds": cleanup delay in ns,
// history kind and depth, the three limits).
void to_wire(ToWire& w, const DurabilityServiceQosPolicy& p) {
  w.field("ds", std::to_string(to_ns(p.service_cleanup_delay)) + "," + std::to_string(p.history_kind) + "," +
                    std::to_string(p.history_depth) + "," + std::to_string(p.max_samples) + "," +
                    std::to_string(p.max_instances) + "," + std::to_string(p.max_samples_per_instance));
}
void from_wire(const FromWire& w, DurabilityServiceQosPolicy& p) {
  std::vector<int64_t> n;
  if (w.numbers("ds", 6, n)) {
    p = DurabilityServiceQosPolicy{to_duration(n[0]), n[1] == KEEP_ALL_HISTORY_QOS ? KEEP_ALL_HISTORY_QOS : KEEP_LAST_HISTORY_QOS,
                                   static_cast<int32_t>(n[2]), static_cast<int32_t>(n[3]), static_cast<int32_t>(n[4]),
                                   static_cast<int32_t>(n[5])};
    return;
  }
  dds_duration_t cleanup;
  dds_history_kind_t kind;
  int32_t depth, ms, mi, mspi;
  if (dds_qget_durability_service(w.qos, &cleanup, &kind, &depth, &ms, &mi, &mspi))
    p = DurabilityServiceQosPolicy{to_duration(cleanup), from_cyclone(kind), depth, ms, mi, mspi};
}

void to_wire(ToWire& w, const DeadlineQosPolicy& p) { dds_qset_deadline(w.qos, to_ns(p.period)); }
void from_wire(const FromWire& w, DeadlineQosPolicy& p) {
  dds_duration_t d;
  if (dds_qget_deadline(w.qos, &d)) p.period = to_duration(d);
}

void to_wire(ToWire& w, const LatencyBudgetQosPolicy& p) { dds_qset_latency_budget(w.qos, to_ns(p.duration)); }
void from_wire(const FromWire& w, LatencyBudgetQosPolicy& p) {
  dds_duration_t d;
  if (dds_qget_latency_budget(w.qos, &d)) p.duration = to_duration(d);
}

void to_wire(ToWire& w, const OwnershipQosPolicy& p) {
  // Fault: the kind never reaches Cyclone, which takes every endpoint as shared.
  if (QV_FAULT(ownership_kind_dropped)) return;
  dds_qset_ownership(w.qos, p.kind == EXCLUSIVE_OWNERSHIP_QOS ? DDS_OWNERSHIP_EXCLUSIVE : DDS_OWNERSHIP_SHARED);
}
void from_wire(const FromWire& w, OwnershipQosPolicy& p) {
  dds_ownership_kind_t k;
  if (dds_qget_ownership(w.qos, &k)) p.kind = k == DDS_OWNERSHIP_EXCLUSIVE ? EXCLUSIVE_OWNERSHIP_QOS : SHARED_OWNERSHIP_QOS;
}

void to_wire(ToWire& w, const OwnershipStrengthQosPolicy& p) {
  // Fault: the strength never reaches the wire (announced and arbitrated as 0).
  dds_qset_ownership_strength(w.qos, QV_FAULT(ownership_strength_unannounced) ? 0 : p.value);
}
void from_wire(const FromWire& w, OwnershipStrengthQosPolicy& p) {
  int32_t v;
  if (dds_qget_ownership_strength(w.qos, &v)) p.value = v;
}

void to_wire(ToWire& w, const LivelinessQosPolicy& p) {
  const dds_liveliness_kind_t k = p.kind == MANUAL_BY_TOPIC_LIVELINESS_QOS         ? DDS_LIVELINESS_MANUAL_BY_TOPIC
                                  : p.kind == MANUAL_BY_PARTICIPANT_LIVELINESS_QOS ? DDS_LIVELINESS_MANUAL_BY_PARTICIPANT
                                                                                   : DDS_LIVELINESS_AUTOMATIC;
  dds_qset_liveliness(w.qos, k, to_ns(p.lease_duration));
}
void from_wire(const FromWire& w, LivelinessQosPolicy& p) {
  dds_liveliness_kind_t k;
  dds_duration_t lease;
  if (!dds_qget_liveliness(w.qos, &k, &lease)) return;
  p.kind = k == DDS_LIVELINESS_MANUAL_BY_TOPIC         ? MANUAL_BY_TOPIC_LIVELINESS_QOS
           : k == DDS_LIVELINESS_MANUAL_BY_PARTICIPANT ? MANUAL_BY_PARTICIPANT_LIVELINESS_QOS
                                                       : AUTOMATIC_LIVELINESS_QOS;
  p.lease_duration = to_duration(lease);
}

// Cyclone announces the separation and filters nothing by it: the library's
// reader cache applies it.
void to_wire(ToWire& w, const TimeBasedFilterQosPolicy& p) {
  dds_qset_time_based_filter(w.qos, to_ns(p.minimum_separation));
}
void from_wire(const FromWire& w, TimeBasedFilterQosPolicy& p) {
  dds_duration_t d;
  if (dds_qget_time_based_filter(w.qos, &d)) p.minimum_separation = to_duration(d);
}

void to_wire(ToWire& w, const ReliabilityQosPolicy& p) {
  // Fault: every endpoint goes to Cyclone as best effort.
  // Fault: a writer goes to Cyclone as reliable, its default, whatever its kind.
  const bool reliable = (p.kind == RELIABLE_RELIABILITY_QOS || (w.writer && QV_FAULT(reliability_writer_kind_default))) &&
                        !QV_FAULT(reliability_best_effort);
  dds_qset_reliability(w.qos, reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                       to_ns(p.max_blocking_time));
}
void from_wire(const FromWire& w, ReliabilityQosPolicy& p) {
  dds_reliability_kind_t k;
  dds_duration_t blocking;
  if (!dds_qget_reliability(w.qos, &k, &blocking)) return;
  p.kind = k == DDS_RELIABILITY_RELIABLE ? RELIABLE_RELIABILITY_QOS : BEST_EFFORT_RELIABILITY_QOS;
  p.max_blocking_time = to_duration(blocking);
}

void to_wire(ToWire& w, const DestinationOrderQosPolicy& p) {
  dds_qset_destination_order(w.qos, p.kind == BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS
                                        ? DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP
                                        : DDS_DESTINATIONORDER_BY_RECEPTION_TIMESTAMP);
}
void from_wire(const FromWire& w, DestinationOrderQosPolicy& p) {
  dds_destination_order_kind_t k;
  if (dds_qget_destination_order(w.qos, &k))
    p.kind = k == DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP ? BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS
                                                           : BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS;
}

// Cyclone wants a depth of at least 1, also under keep all, where the
// library has none. A writer's history is also the history Cyclone keeps for
// late joiners, which it takes from the durability service.
void to_wire(ToWire& w, const HistoryQosPolicy& p) {
  int32_t depth = p.depth > 0 ? p.depth : 1;
  // Fault: a writer's history (and so what late joiners get) is one deep.
  if (w.writer && QV_FAULT(writer_depth_one)) depth = 1;
  dds_qset_history(w.qos, to_cyclone_history(p.kind), depth);
  if (w.writer)
    dds_qset_durability_service(w.qos, 0, to_cyclone_history(p.kind), depth, DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
}

// The library enforces the limits itself: a writer refuses what exceeds
// them, and a reader's cache keeps within them while the Cyclone reader,
// drained on every arrival, must not drop anything.
void to_wire(ToWire& w, const ResourceLimitsQosPolicy&) {
  dds_qset_resource_limits(w.qos, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
}

void to_wire(ToWire& w, const WriterDataLifecycleQosPolicy& p) {
  dds_qset_writer_data_lifecycle(w.qos, p.autodispose_unregistered_instances);
}

// The library's reader cache purges; the Cyclone reader keeps nothing.
void to_wire(ToWire&, const ReaderDataLifecycleQosPolicy&) {}

void to_wire(ToWire& w, const LifespanQosPolicy& p) { dds_qset_lifespan(w.qos, to_ns(p.duration)); }
void from_wire(const FromWire& w, LifespanQosPolicy& p) {
  dds_duration_t d;
  if (dds_qget_lifespan(w.qos, &d)) p.duration = to_duration(d);
}

// Local to this process: entity creation, the transports (one loopback
// socket, nothing to give priority over), and the library's own settings.
void to_wire(ToWire&, const EntityFactoryQosPolicy&) {}
void to_wire(ToWire&, const TransportPriorityQosPolicy&) {}
void to_wire(ToWire&, const PropertyQosPolicy&) {}
void to_wire(ToWire&, const TransportMode&) {}

// ----------------------------------------------------------------- generic
// Which policies of a QoS a Cyclone entity holds: all of its own QoS, and of
// a topic's QoS, those its announcement carries (the topic's own, or what an
// endpoint's discovery data `Announced` carry of its topic and its own QoS
// `Q` does not hold). Creation and change select the policies alike.
struct Every {
  template <typename Row>
  constexpr bool operator()(const Row&) const { return true; }
};
template <typename Announced, typename Q = void>
struct AnnouncedOfTopic {
  template <typename Row>
  constexpr bool operator()(const Row& row) const {
    if constexpr (std::is_void_v<Q>) return row.template in<Announced>() != nullptr;
    else return row.template in<Announced>() != nullptr && row.template in<Q>() == nullptr;
  }
};

// The policies of q that `holds` selects into w.
template <typename Q, typename Holds>
void put(ToWire& w, const Q& q, Holds holds) {
  detail::for_each_policy_of<Q>([&](const auto& row, auto member) {
    if (holds(row)) to_wire(w, q.*member);
  });
}
template <typename Q>
CycloneQos qos_of(const Q& q) {
  ToWire w;
  put(w, q, Every{});
  return w.done();
}

// The one derivation of what a change asks of Cyclone, by the table.
template <typename Q, typename Holds>
WireChange change_of(const Q& old, const Q& next, Holds holds, bool writer_entity = false) {
  WireChange c;
  ToWire w(writer_entity);
  bool any = false;
  detail::for_each_policy_of<Q>([&](const auto& row, auto member) {
    if (!holds(row) || old.*member == next.*member) return;
    // Fault: a changed minimum separation is kept but never announced again.
    if (row.id == TIMEBASEDFILTER_QOS_POLICY_ID && QV_FAULT(time_filter_not_reannounced)) return;
    if (row.change == detail::Change::remake) c.remake = true;
    if (row.change != detail::Change::in_place) return;
    to_wire(w, next.*member);
    any = true;
  });
  // What changes in place needs no field of the entity name, which Cyclone
  // does not change.
  CycloneQos q = w.done();
  if (any) c.in_place = std::move(q);
  return c;
}

template <typename Data>
void get(const dds_qos_t* qos, Data& out) {
  const FromWire w(qos);
  detail::for_each_policy_of<Data>([&](const auto&, auto member) { from_wire(w, out.*member); });
}

template <typename Data>
void endpoint_from_cyclone(const dds_builtintopic_endpoint_t& d, Data& out) {
  out = Data{};
  const Guid g = to_guid(d.key), participant = to_guid(d.participant_key);
  std::memcpy(out.key.value, g.v.data(), 16);
  std::memcpy(out.participant_key.value, participant.v.data(), 16);
  out.topic_name = d.topic_name ? d.topic_name : "";
  out.type_name = d.type_name ? d.type_name : "";
  get(d.qos, out);
}

}  // namespace

using TopicOwn = AnnouncedOfTopic<TopicBuiltinTopicData>;
using TopicOfWriter = AnnouncedOfTopic<PublicationBuiltinTopicData, DataWriterQos>;
using TopicOfReader = AnnouncedOfTopic<SubscriptionBuiltinTopicData, DataReaderQos>;

CycloneQos participant_qos(const DomainParticipantQos& q) { return qos_of(q); }

CycloneQos topic_qos(const TopicQos& q) {
  ToWire w;
  put(w, q, TopicOwn{});
  return w.done();
}

CycloneQos group_qos(const PublisherQos& q) { return qos_of(q); }
CycloneQos group_qos(const SubscriberQos& q) { return qos_of(q); }

CycloneQos writer_qos(const DataWriterQos& q, const TopicQos& t) {
  ToWire w(true);
  put(w, q, Every{});
  put(w, t, TopicOfWriter{});
  return w.done();
}

CycloneQos reader_qos(const DataReaderQos& q, const TopicQos& t) {
  ToWire w;
  put(w, q, Every{});
  put(w, t, TopicOfReader{});
  // Fault: every reader made volatile.
  if (QV_FAULT(reader_durability_dropped)) dds_qset_durability(w.qos, DDS_DURABILITY_VOLATILE);
  return w.done();
}

WireChange participant_change(const DomainParticipantQos& old, const DomainParticipantQos& next) {
  return change_of(old, next, Every{});
}
WireChange topic_change(const TopicQos& old, const TopicQos& next) { return change_of(old, next, TopicOwn{}); }
WireChange group_change(const PublisherQos& old, const PublisherQos& next) { return change_of(old, next, Every{}); }
WireChange group_change(const SubscriberQos& old, const SubscriberQos& next) { return change_of(old, next, Every{}); }
WireChange writer_change(const DataWriterQos& old, const DataWriterQos& next) {
  return change_of(old, next, Every{}, true);
}
WireChange reader_change(const DataReaderQos& old, const DataReaderQos& next) { return change_of(old, next, Every{}); }
WireChange writer_change(const TopicQos& old, const TopicQos& next) {
  return change_of(old, next, TopicOfWriter{}, true);
}
WireChange reader_change(const TopicQos& old, const TopicQos& next) { return change_of(old, next, TopicOfReader{}); }

void from_cyclone(const dds_builtintopic_participant_t& d, ParticipantBuiltinTopicData& out) {
  out = ParticipantBuiltinTopicData{};
  const Guid g = to_guid(d.key);
  std::memcpy(out.key.value, g.v.data(), 16);
  get(d.qos, out);
}

void from_cyclone(const dds_builtintopic_endpoint_t& d, PublicationBuiltinTopicData& out) {
  endpoint_from_cyclone(d, out);
}
void from_cyclone(const dds_builtintopic_endpoint_t& d, SubscriptionBuiltinTopicData& out) {
  endpoint_from_cyclone(d, out);
}

DurabilityQosPolicyKind announced_durability(const dds_builtintopic_endpoint_t& d) {
  DurabilityQosPolicy p;
  from_wire(FromWire(d.qos), p);
  return p.kind;
}

}  // namespace QUORVELA::wire
