#include "wire/endpoint.h"

#include <cstring>
#include <map>
#include <optional>

#include "envelope.h"
#include "faults/fault.h"
#include "policy_table.h"

namespace QUORVELA::wire {

namespace {

bool endpoint_of_handle(dds_entity_t e, bool writer, dds_instance_handle_t ih, EndpointData& out);

// ------------------------------------------------ kinds to and from Cyclone

// Transient and persistent are served from the writer's own history, like
// transient local; the kind itself travels in the endpoint name.
dds_durability_kind_t to_cyclone(DurabilityQosPolicyKind k) {
  return k == VOLATILE_DURABILITY_QOS ? DDS_DURABILITY_VOLATILE : DDS_DURABILITY_TRANSIENT_LOCAL;
}
dds_reliability_kind_t to_cyclone_reliability(ReliabilityQosPolicyKind k) {
  return k == RELIABLE_RELIABILITY_QOS ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT;
}
dds_history_kind_t to_cyclone_history(HistoryQosPolicyKind k) {
  return k == KEEP_ALL_HISTORY_QOS ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST;
}
dds_liveliness_kind_t to_cyclone_liveliness(LivelinessQosPolicyKind k) {
  return k == MANUAL_BY_TOPIC_LIVELINESS_QOS         ? DDS_LIVELINESS_MANUAL_BY_TOPIC
         : k == MANUAL_BY_PARTICIPANT_LIVELINESS_QOS ? DDS_LIVELINESS_MANUAL_BY_PARTICIPANT
                                                     : DDS_LIVELINESS_AUTOMATIC;
}
dds_ownership_kind_t to_cyclone_ownership(OwnershipQosPolicyKind k) {
  return k == EXCLUSIVE_OWNERSHIP_QOS ? DDS_OWNERSHIP_EXCLUSIVE : DDS_OWNERSHIP_SHARED;
}
dds_destination_order_kind_t to_cyclone_order(DestinationOrderQosPolicyKind k) {
  return k == BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS ? DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP
                                                       : DDS_DESTINATIONORDER_BY_RECEPTION_TIMESTAMP;
}
dds_presentation_access_scope_kind_t to_cyclone_scope(PresentationQosPolicyAccessScopeKind k) {
  return k == GROUP_PRESENTATION_QOS   ? DDS_PRESENTATION_GROUP
         : k == TOPIC_PRESENTATION_QOS ? DDS_PRESENTATION_TOPIC
                                       : DDS_PRESENTATION_INSTANCE;
}

DurabilityQosPolicyKind from_cyclone(dds_durability_kind_t k) {
  switch (k) {
    case DDS_DURABILITY_TRANSIENT_LOCAL: return TRANSIENT_LOCAL_DURABILITY_QOS;
    case DDS_DURABILITY_TRANSIENT: return TRANSIENT_DURABILITY_QOS;
    case DDS_DURABILITY_PERSISTENT: return PERSISTENT_DURABILITY_QOS;
    default: return VOLATILE_DURABILITY_QOS;
  }
}
ReliabilityQosPolicyKind from_cyclone(dds_reliability_kind_t k) {
  return k == DDS_RELIABILITY_RELIABLE ? RELIABLE_RELIABILITY_QOS : BEST_EFFORT_RELIABILITY_QOS;
}
OwnershipQosPolicyKind from_cyclone(dds_ownership_kind_t k) {
  return k == DDS_OWNERSHIP_EXCLUSIVE ? EXCLUSIVE_OWNERSHIP_QOS : SHARED_OWNERSHIP_QOS;
}
LivelinessQosPolicyKind from_cyclone(dds_liveliness_kind_t k) {
  return k == DDS_LIVELINESS_MANUAL_BY_TOPIC         ? MANUAL_BY_TOPIC_LIVELINESS_QOS
         : k == DDS_LIVELINESS_MANUAL_BY_PARTICIPANT ? MANUAL_BY_PARTICIPANT_LIVELINESS_QOS
                                                     : AUTOMATIC_LIVELINESS_QOS;
}
DestinationOrderQosPolicyKind from_cyclone(dds_destination_order_kind_t k) {
  return k == DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP ? BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS
                                                       : BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS;
}

void set_common(dds_qos_t* d, const EndpointQos& q) {
  dds_qset_entity_name(d, endpoint_name(q.durability).c_str());
  dds_qset_durability(d, to_cyclone(q.durability));
  dds_qset_reliability(d, to_cyclone_reliability(q.reliability), q.max_blocking_ns);
  dds_qset_deadline(d, q.deadline_ns);
  dds_qset_latency_budget(d, q.latency_budget_ns);
  dds_qset_liveliness(d, to_cyclone_liveliness(q.liveliness), q.lease_ns);
  dds_qset_ownership(d, to_cyclone_ownership(q.ownership));
  dds_qset_destination_order(d, to_cyclone_order(q.destination_order));
  dds_qset_userdata(d, q.user_data.empty() ? nullptr : q.user_data.data(), q.user_data.size());
  dds_qset_topicdata(d, q.topic_data.empty() ? nullptr : q.topic_data.data(), q.topic_data.size());
  // Cyclone wants an integral number of chars; history depth >= 1.
  int32_t depth = q.history_depth > 0 ? q.history_depth : 1;
  dds_qset_history(d, to_cyclone_history(q.history_kind), depth);
}

std::vector<uint8_t> blob(bool ok, void* v, size_t sz) {
  std::vector<uint8_t> out;
  if (ok && v) out.assign(static_cast<uint8_t*>(v), static_cast<uint8_t*>(v) + sz);
  dds_free(v);
  return out;
}

void fill_endpoint(const dds_builtintopic_endpoint_t* e, EndpointData& out) {
  out.guid = to_guid(e->key);
  out.participant = to_guid(e->participant_key);
  out.topic_name = e->topic_name ? e->topic_name : "";
  out.type_name = e->type_name ? e->type_name : "";
  void* v = nullptr;
  size_t sz = 0;
  bool ok = dds_qget_userdata(e->qos, &v, &sz);
  out.user_data = blob(ok, v, sz);
  v = nullptr;
  ok = dds_qget_groupdata(e->qos, &v, &sz);
  out.group_data = blob(ok, v, sz);
  v = nullptr;
  ok = dds_qget_topicdata(e->qos, &v, &sz);
  out.topic_data = blob(ok, v, sz);
  dds_duration_t ls = DDS_INFINITY;
  out.lifespan_ns = dds_qget_lifespan(e->qos, &ls) ? ls : DDS_INFINITY;
  int32_t st = 0;
  out.strength = dds_qget_ownership_strength(e->qos, &st) ? st : 0;
  dds_durability_kind_t dk;
  if (dds_qget_durability(e->qos, &dk)) out.durability = from_cyclone(dk);
  char* name = nullptr;
  if (dds_qget_entity_name(e->qos, &name)) {
    out.durability = durability_from_name(name, out.durability);
    dds_free(name);
  }
  dds_reliability_kind_t rk;
  dds_duration_t mbt;
  if (dds_qget_reliability(e->qos, &rk, &mbt)) out.reliability = from_cyclone(rk);
  dds_ownership_kind_t ok2;
  if (dds_qget_ownership(e->qos, &ok2)) out.ownership = from_cyclone(ok2);
  dds_liveliness_kind_t lk;
  dds_duration_t lease;
  if (dds_qget_liveliness(e->qos, &lk, &lease)) {
    out.liveliness = from_cyclone(lk);
    out.lease_ns = lease;
  }
  dds_duration_t dl;
  if (dds_qget_deadline(e->qos, &dl)) out.deadline_ns = dl;
  dds_destination_order_kind_t dok;
  if (dds_qget_destination_order(e->qos, &dok)) out.destination_order = from_cyclone(dok);
  uint32_t n = 0;
  char** names = nullptr;
  if (dds_qget_partition(e->qos, &n, &names)) {
    for (uint32_t i = 0; i < n; ++i) {
      out.partitions.emplace_back(names[i]);
      dds_free(names[i]);
    }
    dds_free(names);
  }
}

// The partitions of a Cyclone publisher or subscriber; nothing when its QoS
// cannot be read.
std::optional<std::vector<std::string>> partitions_of(dds_entity_t group) {
  dds_qos_t* q = dds_create_qos();
  std::optional<std::vector<std::string>> out;
  if (dds_get_qos(group, q) == DDS_RETCODE_OK) {
    out.emplace();
    uint32_t n = 0;
    char** names = nullptr;
    if (dds_qget_partition(q, &n, &names)) {
      for (uint32_t i = 0; i < n; ++i) {
        out->emplace_back(names[i]);
        dds_free(names[i]);
      }
      dds_free(names);
    }
  }
  dds_delete_qos(q);
  return out;
}

bool endpoint_of_handle(dds_entity_t e, bool writer, dds_instance_handle_t ih, EndpointData& out) {
  dds_builtintopic_endpoint_t* ep =
      writer ? dds_get_matched_subscription_data(e, ih) : dds_get_matched_publication_data(e, ih);
  if (ep == nullptr) return false;
  fill_endpoint(ep, out);
  dds_builtintopic_free_endpoint(ep);
  return true;
}

}  // namespace

std::string endpoint_name(DurabilityQosPolicyKind durability) { return "qv:d=" + std::to_string(durability); }

DurabilityQosPolicyKind durability_from_name(const char* name, DurabilityQosPolicyKind fallback) {
  if (name == nullptr || std::strncmp(name, "qv:d=", 5) != 0 || name[6] != '\0') return fallback;
  const int kind = name[5] - '0';
  return kind >= VOLATILE_DURABILITY_QOS && kind <= PERSISTENT_DURABILITY_QOS
             ? static_cast<DurabilityQosPolicyKind>(kind)
             : fallback;
}

dds_qos_t* make_writer_qos(const EndpointQos& q) {
  dds_qos_t* d = dds_create_qos();
  set_common(d, q);
  dds_qset_ownership_strength(d, q.strength);
  dds_qset_lifespan(d, q.lifespan_ns);
  dds_qset_writer_data_lifecycle(d, q.autodispose);
  // Writer resource limits are enforced by the library, not by Cyclone.
  dds_qset_resource_limits(d, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  if (q.durability != VOLATILE_DURABILITY_QOS) {
    // Cyclone serves late joiners from the durability service history.
    int32_t depth = q.history_depth > 0 ? q.history_depth : 1;
    dds_qset_durability_service(d, 0, to_cyclone_history(q.history_kind), depth, DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  }
  return d;
}

dds_qos_t* make_reader_qos(const EndpointQos& q) {
  dds_qos_t* d = dds_create_qos();
  set_common(d, q);
  // The library keeps its own reader cache with the requested limits; the
  // Cyclone reader is drained on every arrival and must not drop anything.
  dds_qset_resource_limits(d, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  return d;
}

dds_qos_t* make_group_qos(const EndpointQos& q) {
  dds_qos_t* d = dds_create_qos();
  dds_qset_groupdata(d, q.group_data.empty() ? nullptr : q.group_data.data(), q.group_data.size());
  // Cyclone compares the presentation of publisher and subscriber.
  dds_qset_presentation(d, to_cyclone_scope(q.presentation.access_scope), q.presentation.coherent_access,
                        q.presentation.ordered_access);
  if (!q.partitions.empty()) {
    std::vector<const char*> names;
    for (auto& p : q.partitions) names.push_back(p.c_str());
    dds_qset_partition(d, static_cast<uint32_t>(names.size()), names.data());
  }
  return d;
}

// ------------------------------------------------------------ match table

bool MatchTable::verdict_locked(dds_entity_t e, bool is_writer, dds_instance_handle_t ih, DurabilityQosPolicyKind own,
                                Guid& g) {
  auto it = verdicts_.find(ih);
  if (it != verdicts_.end()) {
    g = it->second.guid;
    return it->second.accepted;
  }
  EndpointData d;
  if (!endpoint_of_handle(e, is_writer, ih, d)) return false;  // not (or no longer) matched
  g = d.guid;
  // The durability rule, with transient and persistent told apart.
  const auto& rule = detail::policy_row<DurabilityQosPolicy>();
  const DurabilityQosPolicy mine{own}, theirs{d.durability};
  bool ok = is_writer ? detail::compatible(rule, mine, theirs) : detail::compatible(rule, theirs, mine);
  // Fault: partitions meet only when the two lists are equal, not when they share a name.
  if (ok && QV_FAULT(partition_equal_lists)) ok = partitions_of(dds_get_parent(e)) == d.partitions;
  verdicts_[ih] = Known{g, ok, d.durability};
  return ok;
}

MatchDelta MatchTable::refresh(dds_entity_t e, bool is_writer, DurabilityQosPolicyKind own) {
  MatchDelta delta;
  if (e <= 0) return delta;
  std::vector<dds_instance_handle_t> ihs(64);
  for (;;) {
    dds_return_t n = is_writer ? dds_get_matched_subscriptions(e, ihs.data(), ihs.size())
                               : dds_get_matched_publications(e, ihs.data(), ihs.size());
    if (n < 0) return delta;
    if (static_cast<size_t>(n) <= ihs.size()) {
      ihs.resize(static_cast<size_t>(n));
      break;
    }
    ihs.resize(static_cast<size_t>(n));
  }
  std::lock_guard<std::mutex> lk(mtx_);
  std::set<dds_instance_handle_t> now(ihs.begin(), ihs.end());
  for (auto it = known_.begin(); it != known_.end();) {
    // Fault: a match that ended stays listed and counted.
    if (now.count(it->first) == 0 && !QV_FAULT(match_end_ignored)) {
      if (it->second.accepted) {
        --delta.current_change;
        delta.last = it->second.guid;
      }
      it = known_.erase(it);
    } else {
      ++it;
    }
  }
  for (dds_instance_handle_t ih : ihs) {
    if (known_.count(ih)) continue;
    Guid g;
    EndpointData probe;
    if (verdicts_.count(ih) == 0 && !endpoint_of_handle(e, is_writer, ih, probe)) continue;
    const bool ok = verdict_locked(e, is_writer, ih, own, g);
    known_[ih] = Known{g, ok};
    if (ok) {
      ++delta.total_change;
      ++delta.current_change;
      delta.last = g;
    } else {
      ++delta.refused;
    }
  }
  return delta;
}

std::vector<Guid> MatchTable::accepted() {
  std::lock_guard<std::mutex> lk(mtx_);
  std::vector<Guid> out;
  for (auto& [ih, k] : known_)
    if (k.accepted) out.push_back(k.guid);
  return out;
}

bool MatchTable::is_accepted(const Guid& g) {
  std::lock_guard<std::mutex> lk(mtx_);
  for (auto& [ih, k] : known_)
    if (k.accepted && k.guid == g) return true;
  return false;
}

void MatchTable::stamp_matches(dds_entity_t reader) {
  if (reader <= 0) return;
  dds_instance_handle_t ihs[256];
  const dds_return_t n = dds_get_matched_publications(reader, ihs, 256);
  const int64_t now = dds_time();
  std::lock_guard<std::mutex> lk(mtx_);
  for (dds_return_t i = 0; i < n && i < 256; ++i) first_matched_.emplace(ihs[i], now);
}

bool MatchTable::admit(dds_entity_t reader, dds_instance_handle_t publication, DurabilityQosPolicyKind own,
                       int64_t source_ts_ns, Guid& writer) {
  writer = Guid{};
  if (publication == 0) return true;
  std::lock_guard<std::mutex> lk(mtx_);
  auto v = verdicts_.find(publication);
  if (v == verdicts_.end()) {
    Guid g;
    verdict_locked(reader, false, publication, own, g);
    v = verdicts_.find(publication);
    if (v == verdicts_.end()) return true;  // not (or no longer) matched: nothing to judge it by
  }
  if (!v->second.accepted) return false;
  writer = v->second.guid;
  // A volatile reader leaves out what a writer that keeps history wrote
  // before the match. A sample that came before its match was noted (the
  // match callback still running): the match is no later than now.
  if (own != VOLATILE_DURABILITY_QOS || v->second.durability == VOLATILE_DURABILITY_QOS) return true;
  const int64_t matched = first_matched_.emplace(publication, dds_time()).first->second;
  return source_ts_ns >= matched;
}

Guid MatchTable::guid_of(dds_entity_t e, bool is_writer, dds_instance_handle_t ih) {
  if (ih == 0) return Guid{};
  {
    std::lock_guard<std::mutex> lk(mtx_);
    auto it = verdicts_.find(ih);
    if (it != verdicts_.end()) return it->second.guid;
  }
  EndpointData d;
  return endpoint_of_handle(e, is_writer, ih, d) ? d.guid : Guid{};
}

void MatchTable::clear() {
  std::lock_guard<std::mutex> lk(mtx_);
  known_.clear();
  verdicts_.clear();
  first_matched_.clear();
}

// -------------------------------------------------------------- endpoint

dds_return_t WireEndpoint::open(dds_entity_t participant, dds_entity_t topic, bool keyed, const EndpointQos& q,
                                EndpointEvents ev) {
  if (entity_ > 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  keyed_ = keyed;
  durability_ = q.durability;
  events_ = std::move(ev);
  dds_qos_t* gq = make_group_qos(q);
  dds_entity_t group = is_writer_ ? dds_create_publisher(participant, gq, nullptr)
                                  : dds_create_subscriber(participant, gq, nullptr);
  dds_delete_qos(gq);
  if (group < 0) return group;
  dds_qos_t* eq = is_writer_ ? make_writer_qos(q) : make_reader_qos(q);
  // Incompatibilities are taken one by one from the start: counted up while
  // the entity is made, their policies could no longer be told apart.
  dds_listener_t* l = incompatible_listener();
  dds_entity_t e = is_writer_ ? dds_create_writer(group, topic, eq, l) : dds_create_reader(group, topic, eq, l);
  dds_delete_listener(l);
  dds_delete_qos(eq);
  if (e < 0) {
    dds_delete(group);
    return e;
  }
  std::lock_guard<std::mutex> lk(mtx_);
  group_ = group;
  entity_ = e;
  guid_ = entity_guid(e);
  return DDS_RETCODE_OK;
}

template <typename Status>
void WireEndpoint::on_matched(dds_entity_t e, const Status, void* arg) {
  auto* self = static_cast<WireEndpoint*>(arg);
  if (!self->is_writer_) self->matches_.stamp_matches(e);
  if (self->events_.match_changed) self->events_.match_changed();
}

template <typename Status>
void WireEndpoint::on_incompatible(dds_entity_t, const Status st, void* arg) {
  static_cast<WireEndpoint*>(arg)->report_incompatible(DDS_RETCODE_OK, st);
}

dds_listener_t* WireEndpoint::incompatible_listener() {
  dds_listener_t* l = dds_create_listener(this);
  if (is_writer_)
    dds_lset_offered_incompatible_qos(l, &WireEndpoint::on_incompatible<dds_offered_incompatible_qos_status_t>);
  else
    dds_lset_requested_incompatible_qos(l, &WireEndpoint::on_incompatible<dds_requested_incompatible_qos_status_t>);
  return l;
}

dds_listener_t* WireEndpoint::new_listener() {
  dds_listener_t* l = incompatible_listener();
  if (is_writer_)
    dds_lset_publication_matched(l, &WireEndpoint::on_matched<dds_publication_matched_status_t>);
  else
    dds_lset_subscription_matched(l, &WireEndpoint::on_matched<dds_subscription_matched_status_t>);
  return l;
}

dds_return_t WireEndpoint::install(dds_listener_t* l) {
  const dds_return_t rc = dds_set_listener(entity_, l);
  dds_delete_listener(l);
  return rc;
}

template <typename Status>
void WireEndpoint::report_incompatible(dds_return_t got, const Status& st) {
  // Cyclone counts partitions that do not meet as an incompatibility. By the
  // partition's rule such a writer and reader are simply no match (no
  // requested/offered policy); Cyclone compares every other policy before
  // the partitions, so an event with this id is a partition mismatch only.
  if (!detail::reports_incompatibility(static_cast<QosPolicyId_t>(st.last_policy_id))) return;
  if (got == DDS_RETCODE_OK && st.total_count_change > 0 && events_.incompatible)
    events_.incompatible(IncompatibleEvent{static_cast<int32_t>(st.total_count_change),
                                           static_cast<int32_t>(st.last_policy_id)});
}

void WireEndpoint::report_early_incompatible() {
  if (is_writer_) {
    dds_offered_incompatible_qos_status_t st;
    report_incompatible(dds_get_offered_incompatible_qos_status(entity_, &st), st);
  } else {
    dds_requested_incompatible_qos_status_t st;
    report_incompatible(dds_get_requested_incompatible_qos_status(entity_, &st), st);
  }
}

void WireEndpoint::destroy() {
  dds_entity_t group;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    group = group_;
    group_ = 0;
  }
  // Deleting waits for listener callbacks in progress.
  if (group > 0) dds_delete(group);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    entity_ = 0;
  }
  matches_.clear();
}

bool WireEndpoint::update_group(const std::vector<std::string>& partitions, const std::vector<uint8_t>& group_data) {
  dds_entity_t group;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    group = group_;
  }
  const std::optional<std::vector<std::string>> have = partitions_of(group);
  if (!have || *have != partitions) return false;
  dds_qos_t* q = dds_create_qos();
  dds_qset_groupdata(q, group_data.empty() ? nullptr : group_data.data(), group_data.size());
  dds_return_t rc = dds_set_qos(group, q);
  dds_delete_qos(q);
  return rc == DDS_RETCODE_OK;
}

template <typename Set>
dds_return_t WireEndpoint::set_entity_qos(Set&& set) {
  dds_entity_t e;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    e = entity_;
  }
  if (e <= 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  dds_qos_t* q = dds_create_qos();
  set(q);
  const dds_return_t rc = dds_set_qos(e, q);
  dds_delete_qos(q);
  return rc;
}

dds_return_t WireEndpoint::set_user_data(const std::vector<uint8_t>& user_data) {
  return set_entity_qos([&](dds_qos_t* q) {
    dds_qset_userdata(q, user_data.empty() ? nullptr : user_data.data(), user_data.size());
  });
}

MatchDelta WireEndpoint::refresh_matches() {
  dds_entity_t e;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    e = entity_;
  }
  return matches_.refresh(e, is_writer_, durability_);
}

std::vector<Guid> WireEndpoint::matched() { return matches_.accepted(); }

bool WireEndpoint::matched_data(const Guid& g, EndpointData& out) {
  if (entity_ <= 0 || !matches_.is_accepted(g)) return false;
  std::vector<dds_instance_handle_t> ihs(256);
  dds_return_t n = is_writer_ ? dds_get_matched_subscriptions(entity_, ihs.data(), ihs.size())
                              : dds_get_matched_publications(entity_, ihs.data(), ihs.size());
  for (dds_return_t i = 0; i < n && i < 256; ++i)
    if (endpoint_of_handle(entity_, is_writer_, ihs[i], out) && out.guid == g) return true;
  return false;
}

// ---------------------------------------------------------------- writer

dds_return_t WireWriter::create(dds_entity_t participant, dds_entity_t topic, bool keyed, const EndpointQos& q,
                                WriterEvents ev) {
  dds_return_t rc = open(participant, topic, keyed, q, std::move(ev));
  if (rc != DDS_RETCODE_OK) return rc;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    lifespan_ns_ = q.lifespan_ns;
  }
  // Listeners only once the writer exists, so that callbacks can use it.
  rc = install(new_listener());
  if (rc != DDS_RETCODE_OK) {
    destroy();
    return rc;
  }
  // What happened in between.
  report_early_incompatible();
  if (events_.match_changed) events_.match_changed();
  return DDS_RETCODE_OK;
}

void WireWriter::destroy() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    entity_ = 0;
  }
  WireEndpoint::destroy();
}

dds_return_t WireWriter::write(const KeyHash& key, const uint8_t* data, size_t len, int64_t ts) {
  dds_entity_t w;
  int64_t lifespan;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    w = entity_;
    lifespan = lifespan_ns_;
  }
  if (w <= 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  if (keyed_) {
    qvwire_KeyedEnvelope s;
    std::memcpy(s.key, key.data(), 16);
    s.lifespan = lifespan;
    s.payload = dds_sequence_octet{static_cast<uint32_t>(len), static_cast<uint32_t>(len),
                                   const_cast<uint8_t*>(data), false};
    return dds_write_ts(w, &s, ts);
  }
  qvwire_KeylessEnvelope s;
  s.lifespan = lifespan;
  s.payload = dds_sequence_octet{static_cast<uint32_t>(len), static_cast<uint32_t>(len), const_cast<uint8_t*>(data),
                                 false};
  return dds_write_ts(w, &s, ts);
}

dds_return_t WireWriter::set_lifespan(int64_t lifespan_ns) {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    lifespan_ns_ = lifespan_ns;
    if (entity_ <= 0) return DDS_RETCODE_OK;
  }
  return set_entity_qos([&](dds_qos_t* q) { dds_qset_lifespan(q, lifespan_ns); });
}

dds_return_t WireWriter::set_ownership_strength(int32_t strength) {
  return set_entity_qos([&](dds_qos_t* q) { dds_qset_ownership_strength(q, strength); });
}

dds_return_t WireWriter::set_autodispose(bool autodispose) {
  return set_entity_qos([&](dds_qos_t* q) { dds_qset_writer_data_lifecycle(q, autodispose); });
}

dds_return_t WireWriter::dispose(const KeyHash& key, int64_t ts) {
  if (!keyed_) return DDS_RETCODE_ILLEGAL_OPERATION;
  qvwire_KeyedEnvelope s{};
  std::memcpy(s.key, key.data(), 16);
  return dds_dispose_ts(entity_, &s, ts);
}

dds_return_t WireWriter::unregister(const KeyHash& key, int64_t ts) {
  if (!keyed_) return DDS_RETCODE_ILLEGAL_OPERATION;
  qvwire_KeyedEnvelope s{};
  std::memcpy(s.key, key.data(), 16);
  return dds_unregister_instance_ts(entity_, &s, ts);
}

dds_return_t WireWriter::wait_for_acks(int64_t timeout_ns) {
  if (entity_ <= 0) return DDS_RETCODE_OK;
  return dds_wait_for_acks(entity_, timeout_ns);
}

dds_return_t WireWriter::assert_liveliness() {
  if (entity_ <= 0) return DDS_RETCODE_OK;
  return dds_assert_liveliness(entity_);
}

// ---------------------------------------------------------------- reader

dds_return_t WireReader::create(dds_entity_t participant, dds_entity_t topic, bool keyed, const EndpointQos& q,
                                ReaderEvents ev) {
  if (entity_ > 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  data_available_ = std::move(ev.data_available);
  liveliness_ = std::move(ev.liveliness);
  sample_lost_ = std::move(ev.sample_lost);
  dds_return_t rc = open(participant, topic, keyed, q, std::move(ev));
  if (rc != DDS_RETCODE_OK) return rc;
  matches_.stamp_matches(entity_);  // those made while Cyclone created the reader
  dds_listener_t* l = new_listener();
  dds_lset_data_available(l, &WireReader::on_data);
  dds_lset_liveliness_changed(l, &WireReader::on_liveliness);
  dds_lset_sample_lost(l, &WireReader::on_lost);
  rc = install(l);
  if (rc != DDS_RETCODE_OK) {
    destroy();
    return rc;
  }
  // What happened in between: historical data, matches, statuses.
  report_early_incompatible();
  dds_liveliness_changed_status_t lc;
  if (dds_get_liveliness_changed_status(entity_, &lc) == DDS_RETCODE_OK &&
      (lc.alive_count_change != 0 || lc.not_alive_count_change != 0) && liveliness_)
    liveliness_(lc, matches_.guid_of(entity_, false, lc.last_publication_handle));
  if (events_.match_changed) events_.match_changed();
  if (data_available_) data_available_();
  return DDS_RETCODE_OK;
}

void WireReader::on_data(dds_entity_t, void* arg) {
  if (self(arg)->data_available_) self(arg)->data_available_();
}
void WireReader::on_liveliness(dds_entity_t e, const dds_liveliness_changed_status_t st, void* arg) {
  WireReader* r = self(arg);
  if (r->liveliness_) r->liveliness_(st, r->matches_.guid_of(e, false, st.last_publication_handle));
}
void WireReader::on_lost(dds_entity_t, const dds_sample_lost_status_t st, void* arg) {
  if (self(arg)->sample_lost_) self(arg)->sample_lost_(st);
}

// Application-owned sample buffers for dds_take, zeroed between takes, so
// that Cyclone allocates each payload anew and the payload can be taken over.
struct WireReader::TakeSlots {
  static constexpr uint32_t kBatch = 64;
  qvwire_KeyedEnvelope keyed[kBatch];
  qvwire_KeylessEnvelope keyless[kBatch];
  void* ptrs[kBatch];
  dds_sample_info_t infos[kBatch];
  TakeSlots(bool is_keyed) {
    std::memset(keyed, 0, sizeof keyed);
    std::memset(keyless, 0, sizeof keyless);
    for (uint32_t i = 0; i < kBatch; ++i)
      ptrs[i] = is_keyed ? static_cast<void*>(&keyed[i]) : static_cast<void*>(&keyless[i]);
  }
};

WireReader::WireReader() : WireEndpoint(false) {}
WireReader::~WireReader() { destroy(); }

Payload Payload::adopt(uint8_t* buffer, uint32_t size) {
  Payload p;
  p.block_ = std::make_shared<const Block>(buffer, size);
  return p;
}

void WireReader::take_all(const std::function<void(std::vector<WireSample>&)>& sink) {
  std::lock_guard<std::mutex> tl(take_mtx_);
  dds_entity_t r;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    r = entity_;
  }
  if (r <= 0) return;
  if (!slots_) slots_ = std::make_unique<TakeSlots>(keyed_);
  TakeSlots& t = *slots_;
  for (;;) {
    const dds_return_t n = dds_take(r, t.ptrs, t.infos, TakeSlots::kBatch, TakeSlots::kBatch);
    if (n <= 0) break;
    const int64_t now = dds_time();
    batch_.clear();
    for (dds_return_t i = 0; i < n; ++i) {
      const dds_sample_info_t& info = t.infos[i];
      dds_sequence_octet& p = keyed_ ? t.keyed[i].payload : t.keyless[i].payload;
      Guid publication;
      if (matches_.admit(r, info.publication_handle, durability_, info.source_timestamp, publication)) {
        WireSample& s = batch_.emplace_back();
        s.valid = info.valid_data;
        s.source_ts_ns = info.source_timestamp;
        s.reception_ts_ns = now;
        s.instance_state = info.instance_state;
        s.disposed_gen = info.disposed_generation_count;
        s.no_writers_gen = info.no_writers_generation_count;
        s.publication = publication;
        s.lifespan_ns = keyed_ ? t.keyed[i].lifespan : t.keyless[i].lifespan;
        if (keyed_) std::memcpy(s.key.data(), t.keyed[i].key, 16);
        if (s.valid && p._buffer) {
          s.payload = Payload::adopt(p._buffer, p._length);
          p._buffer = nullptr;
        }
      }
      // The payload is the only member Cyclone allocates.
      if (p._buffer && p._release) dds_free(p._buffer);
      p = dds_sequence_octet{0, 0, nullptr, false};
    }
    settle_instance_states(batch_);
    if (!batch_.empty()) sink(batch_);
    if (static_cast<uint32_t>(n) < TakeSlots::kBatch) break;
  }
  batch_.clear();
}

void settle_instance_states(std::vector<WireSample>& batch) {
  if (batch.size() < 2) return;
  // From the newest back: the next sample of each instance seen so far.
  std::map<KeyHash, const WireSample*> next_of;
  for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
    auto [pos, newest] = next_of.try_emplace(it->key, &*it);
    if (newest) continue;
    const WireSample& next = *pos->second;
    if (next.disposed_gen > it->disposed_gen)
      it->instance_state = DDS_IST_NOT_ALIVE_DISPOSED;
    else if (next.no_writers_gen > it->no_writers_gen)
      it->instance_state = DDS_IST_NOT_ALIVE_NO_WRITERS;
    else if (it->valid)
      it->instance_state = DDS_IST_ALIVE;
    pos->second = &*it;
  }
}

}  // namespace QUORVELA::wire
