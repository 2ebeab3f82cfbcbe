#include "wire/endpoint.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "duration.h"
#include "envelope.h"
#include "faults/fault.h"
#include "faults/variant.h"
#include "policy_table.h"

namespace QUORVELA::wire {

namespace {

// The discovery data of a matched endpoint, freed with the object.
struct EndpointFree {
  void operator()(dds_builtintopic_endpoint_t* e) const { dds_builtintopic_free_endpoint(e); }
};
using MatchedEndpoint = std::unique_ptr<dds_builtintopic_endpoint_t, EndpointFree>;

// Null when ih is not (or no longer) matched.
MatchedEndpoint matched_endpoint(dds_entity_t e, bool writer, dds_instance_handle_t ih) {
  return MatchedEndpoint(writer ? dds_get_matched_subscription_data(e, ih) : dds_get_matched_publication_data(e, ih));
}

// The endpoints Cyclone now matches with writer (reader) e; false when they
// cannot be read.
bool matched_handles(dds_entity_t e, bool writer, std::vector<dds_instance_handle_t>& ihs) {
  ihs.resize(64);
  for (;;) {
    const dds_return_t n = writer ? dds_get_matched_subscriptions(e, ihs.data(), ihs.size())
                                  : dds_get_matched_publications(e, ihs.data(), ihs.size());
    if (n < 0) return false;
    const bool all = static_cast<size_t>(n) <= ihs.size();
    ihs.resize(static_cast<size_t>(n));
    if (all) return true;
  }
}

// A source time as the wire carries it: whole seconds and a fraction in
// units of 2^-32 s. Cyclone rounds both ways, so that the time comes back
// to the nanosecond; the variant source_time_truncated truncates both ways,
// as a library may (5678 ns come back as 5677 ns).
int64_t on_the_wire(int64_t ts) {
  if (!QV_VARIANT(source_time_truncated) || ts < 0 || ts == DDS_NEVER) return ts;
  const int64_t sec = ts / 1000000000, ns = ts % 1000000000;
  const uint64_t fraction = (static_cast<uint64_t>(ns) << 32) / 1000000000u;
  return sec * 1000000000 + static_cast<int64_t>((fraction * 1000000000u) >> 32);
}

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The partitions a Cyclone QoS names.
std::vector<std::string> partitions_in(const dds_qos_t* q) {
  std::vector<std::string> out;
  uint32_t n = 0;
  char** names = nullptr;
  if (dds_qget_partition(q, &n, &names)) {
    for (uint32_t i = 0; i < n; ++i) {
      out.emplace_back(names[i]);
      dds_free(names[i]);
    }
    dds_free(names);
  }
  return out;
}

// The partitions of a Cyclone publisher or subscriber; nothing when its QoS
// cannot be read.
std::optional<std::vector<std::string>> partitions_of(dds_entity_t group) {
  dds_qos_t* q = dds_create_qos();
  std::optional<std::vector<std::string>> out;
  if (dds_get_qos(group, q) == DDS_RETCODE_OK) out = partitions_in(q);
  dds_delete_qos(q);
  return out;
}

}  // namespace

// ------------------------------------------------------------ match table

int64_t match_delay_ns(bool is_writer) {
  if (is_writer ? QV_VARIANT(writer_matches_late) || QV_VARIANT(writer_discovers_late) : QV_VARIANT(reader_matches_late))
    return kLateMatchNs;
  return 0;
}

namespace {
// Variant writer_discovers_late. A writer sends a reader nothing before it
// has discovered that reader. It learns at its creation of every reader its
// participant already knows (Cyclone matches those inside dds_create_writer),
// and within one participant the two sides know each other at once; only a
// reader of another participant that the writer matched after its creation,
// one its participant discovered later, reaches it after a discovery lag. The
// variant shows such a reader among the writer's matches kLateMatchNs after
// Cyclone matched them (match_delay_ns()), while the reader shows the writer
// at once: what the writer writes in between is legally lost to a volatile
// reader. Cyclone sends to every reader it matched, so the reader drops it:
// the writer leaves a note, a file named for the two endpoints, before it
// shows the reader (for a reader matched at its creation, before the creation
// returns); a volatile reader keeps a writer's samples once it finds the
// note, and drops those it takes before. A sample written after the writer
// showed the match is taken after the note was made, so the emulation never
// loses it, whatever time the writer stamps on it and however far apart the
// two processes' Cyclone matches are; a sample written before may still
// arrive (it reached the reader after the note), which is legal too. The
// notes go to $QV_VARIANT_DIR, the directory of one run, shared by its
// processes and by no other run, which whoever made it removes with the run;
// the variant refuses to run without it. A note stays there for the run (a
// sample written just before its writer's deletion finds it, and a match
// that ends and comes back loses nothing).
bool same_participant(const Guid& a, const Guid& b) { return std::equal(a.v.begin(), a.v.begin() + 12, b.v.begin()); }

const std::string& note_dir() {
  static const std::string dir = [] {
    const char* d = std::getenv("QV_VARIANT_DIR");
    struct stat st {};
    if (d == nullptr || *d == '\0' || ::stat(d, &st) != 0 || !S_ISDIR(st.st_mode)) {
      std::fprintf(stderr,
                   "quorvela: variant writer_discovers_late needs QV_VARIANT_DIR, an existing directory of this "
                   "run's own (%s)\n",
                   d == nullptr || *d == '\0' ? "not set" : d);
      std::abort();
    }
    return std::string(d);
  }();
  return dir;
}

std::string shown_note_path(const Guid& writer, const Guid& reader) {
  std::string path = note_dir() + "/qv_shown_";
  char hex[3];
  for (const Guid* g : {&writer, &reader}) {
    for (uint8_t b : g->v) {
      std::snprintf(hex, sizeof hex, "%02x", b);
      path += hex;
    }
    path += g == &writer ? "_" : "";
  }
  return path;
}
void note_shown(const Guid& writer, const Guid& reader) {
  const int fd = ::open(shown_note_path(writer, reader).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}
bool shown(const Guid& writer, const Guid& reader) { return ::access(shown_note_path(writer, reader).c_str(), F_OK) == 0; }
// The readers of other participants that a writer matched at its creation
// get their notes before the creation returns.
void note_known_readers(dds_entity_t writer, const std::vector<dds_instance_handle_t>& readers) {
  const Guid self = entity_guid(writer);
  note_dir();  // refused without its directory, at once
  for (dds_instance_handle_t ih : readers)
    if (const MatchedEndpoint d = matched_endpoint(writer, true, ih); d && !same_participant(self, to_guid(d->key)))
      note_shown(self, to_guid(d->key));
}
}  // namespace

bool MatchTable::verdict_locked(dds_entity_t e, bool is_writer, dds_instance_handle_t ih, DurabilityQosPolicyKind own,
                                Guid& g) {
  auto it = verdicts_.find(ih);
  if (it != verdicts_.end()) {
    g = it->second.guid;
    return it->second.accepted;
  }
  MatchedEndpoint d = matched_endpoint(e, is_writer, ih);
  if (!d) return false;  // not (or no longer) matched
  g = to_guid(d->key);
  // The durability rule, with transient and persistent told apart.
  const auto& rule = detail::policy_row<DurabilityQosPolicy>();
  const DurabilityQosPolicy mine{own}, theirs{announced_durability(*d)};
  bool ok = is_writer ? detail::compatible(rule, mine, theirs) : detail::compatible(rule, theirs, mine);
  // Fault: partitions meet only when the two lists are equal, not when they share a name.
  if (ok && QV_FAULT(partition_equal_lists)) ok = partitions_of(dds_get_parent(e)) == partitions_in(d->qos);
  verdicts_[ih] = Known{g, ok, theirs.kind};
  if (ok) data_[g] = std::shared_ptr<const dds_builtintopic_endpoint_t>(std::move(d));
  return ok;
}

MatchDelta MatchTable::refresh(dds_entity_t e, bool is_writer, DurabilityQosPolicyKind own) {
  MatchDelta delta;
  std::vector<dds_instance_handle_t> ihs;
  if (e <= 0 || !matched_handles(e, is_writer, ihs)) return delta;
  const int64_t t = steady_ns(), delay = match_delay_ns(is_writer);
  std::lock_guard<std::mutex> lk(mtx_);
  if (own_.is_nil()) own_ = entity_guid(e);
  const std::set<dds_instance_handle_t> now(ihs.begin(), ihs.end());
  // A writer that discovers its readers late does so for readers of other
  // participants that it matched after its creation.
  const auto delay_for = [&](dds_instance_handle_t ih, const Guid& remote) {
    const bool known_at_once = same_participant(own_, remote) || at_creation_.count(ih) != 0;
    return is_writer && QV_VARIANT(writer_discovers_late) && known_at_once ? 0 : delay;
  };
  // A new match that ended, or an ended one that came back, before it was
  // shown was never reported.
  forget_undone_locked(now);
  int64_t next_due = INT64_MAX;
  for (auto it = known_.begin(); it != known_.end();) {
    // Fault: a match that ended stays listed and counted.
    if (now.count(it->first) != 0 || QV_FAULT(match_end_ignored)) {
      ++it;
      continue;
    }
    const auto ending = ending_.emplace(it->first, t).first;
    const int64_t due = ending->second + delay_for(it->first, it->second.guid);
    if (due > t) {
      next_due = std::min(next_due, due);
      ++it;
      continue;
    }
    ending_.erase(ending);
    at_creation_.erase(it->first);
    shown_by_.erase(it->first);
    data_.erase(it->second.guid);
    if (it->second.accepted) {
      --delta.current_change;
      delta.last = it->second.guid;
    }
    it = known_.erase(it);
  }
  for (dds_instance_handle_t ih : ihs) {
    if (known_.count(ih)) continue;
    const auto pending = pending_.emplace(ih, t).first;
    Guid g;
    if (verdicts_.count(ih) == 0 && !matched_endpoint(e, is_writer, ih)) continue;
    const bool ok = verdict_locked(e, is_writer, ih, own, g);
    const int64_t due = pending->second + delay_for(ih, g);
    if (due > t) {
      next_due = std::min(next_due, due);
      continue;
    }
    pending_.erase(pending);
    known_[ih] = Known{g, ok, VOLATILE_DURABILITY_QOS, ++taken_in_};
    if (ok && is_writer && QV_VARIANT(writer_discovers_late) && at_creation_.count(ih) == 0) note_shown(own_, g);
    if (ok) {
      ++delta.total_change;
      ++delta.current_change;
      delta.last = g;
    } else {
      ++delta.refused;
    }
  }
  // One follow-up at a time: a refresh asked for earlier and not yet run
  // reschedules itself.
  if (next_due != INT64_MAX && (follow_up_ns_ <= t || follow_up_ns_ > next_due)) {
    follow_up_ns_ = next_due;
    delta.again_in_ns = next_due - t;
  }
  return delta;
}

std::vector<Guid> MatchTable::accepted() {
  std::lock_guard<std::mutex> lk(mtx_);
  std::vector<const Known*> shown;
  for (auto& [ih, k] : known_)
    if (k.accepted) shown.push_back(&k);
  // Variant: the newest match first (the order of a list is open).
  if (QV_VARIANT(matched_lists_newest_first))
    std::sort(shown.begin(), shown.end(), [](const Known* a, const Known* b) { return a->order > b->order; });
  std::vector<Guid> out;
  for (const Known* k : shown) out.push_back(k->guid);
  return out;
}

bool MatchTable::is_accepted(const Guid& g) {
  std::lock_guard<std::mutex> lk(mtx_);
  for (auto& [ih, k] : known_)
    if (k.accepted && k.guid == g) return true;
  return false;
}

void MatchTable::forget_undone_locked(const std::set<dds_instance_handle_t>& now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (now.count(it->first)) {
      ++it;
      continue;
    }
    at_creation_.erase(it->first);
    it = pending_.erase(it);
  }
  for (auto it = ending_.begin(); it != ending_.end();) it = now.count(it->first) ? ending_.erase(it) : std::next(it);
}

void MatchTable::note_matches(dds_entity_t e, bool is_writer, bool creating) {
  std::vector<dds_instance_handle_t> ihs;
  if (e <= 0 || !matched_handles(e, is_writer, ihs)) return;
  const int64_t wall = dds_time(), t = steady_ns();
  const std::set<dds_instance_handle_t> now(ihs.begin(), ihs.end());
  if (creating && is_writer && QV_VARIANT(writer_discovers_late)) note_known_readers(e, ihs);
  std::lock_guard<std::mutex> lk(mtx_);
  // A match that ended and came back counts its delay again from its return.
  forget_undone_locked(now);
  for (dds_instance_handle_t ih : ihs) {
    if (!is_writer) first_matched_.emplace(ih, wall);
    if (known_.count(ih) == 0) pending_.emplace(ih, t);
    if (creating) at_creation_.insert(ih);
  }
  for (auto& [ih, k] : known_)
    if (now.count(ih) == 0) ending_.emplace(ih, t);
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
  if (QV_VARIANT(writer_discovers_late) && own == VOLATILE_DURABILITY_QOS &&
      !shown_by_writer_locked(reader, publication, writer))
    return false;
  // A volatile reader leaves out what a writer that keeps history wrote
  // before the match. A sample that came before its match was noted (the
  // match callback still running): the match is no later than now.
  if (own != VOLATILE_DURABILITY_QOS || v->second.durability == VOLATILE_DURABILITY_QOS) return true;
  const int64_t matched = first_matched_.emplace(publication, dds_time()).first->second;
  return source_ts_ns >= matched;
}

bool MatchTable::shown_by_writer_locked(dds_entity_t reader, dds_instance_handle_t publication, const Guid& writer) {
  if (own_.is_nil()) own_ = entity_guid(reader);
  if (same_participant(own_, writer) || shown_by_.count(publication) != 0) return true;
  if (!shown(writer, own_)) return false;  // taken before the writer showed this reader
  shown_by_.insert(publication);
  return true;
}

Guid MatchTable::guid_of(dds_entity_t e, bool is_writer, dds_instance_handle_t ih) {
  if (ih == 0) return Guid{};
  {
    std::lock_guard<std::mutex> lk(mtx_);
    auto it = verdicts_.find(ih);
    if (it != verdicts_.end()) return it->second.guid;
  }
  const MatchedEndpoint d = matched_endpoint(e, is_writer, ih);
  return d ? to_guid(d->key) : Guid{};
}

std::shared_ptr<const dds_builtintopic_endpoint_t> MatchTable::last_data(const Guid& g) {
  std::lock_guard<std::mutex> lk(mtx_);
  for (auto& [ih, k] : known_)
    if (k.accepted && k.guid == g) {
      auto it = data_.find(g);
      return it == data_.end() ? nullptr : it->second;
    }
  return nullptr;
}

void MatchTable::remember_data(const Guid& g, std::shared_ptr<const dds_builtintopic_endpoint_t> d) {
  std::lock_guard<std::mutex> lk(mtx_);
  data_[g] = std::move(d);
}

void MatchTable::clear() {
  std::lock_guard<std::mutex> lk(mtx_);
  data_.clear();
  shown_by_.clear();
  at_creation_.clear();
  own_ = Guid{};
  known_.clear();
  verdicts_.clear();
  first_matched_.clear();
  pending_.clear();
  ending_.clear();
  follow_up_ns_ = 0;
}

// -------------------------------------------------------------- endpoint

dds_return_t WireEndpoint::open(dds_entity_t participant, dds_entity_t topic, bool keyed, const CycloneQos& group_q,
                                const CycloneQos& entity_q, DurabilityQosPolicyKind durability, EndpointEvents ev) {
  if (entity_ > 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  keyed_ = keyed;
  durability_ = durability;
  events_ = std::move(ev);
  dds_entity_t group = is_writer_ ? dds_create_publisher(participant, group_q.get(), nullptr)
                                  : dds_create_subscriber(participant, group_q.get(), nullptr);
  if (group < 0) return group;
  // Incompatibilities are taken one by one from the start: counted up while
  // the entity is made, their policies could no longer be told apart.
  dds_listener_t* l = incompatible_listener();
  dds_entity_t e = is_writer_ ? dds_create_writer(group, topic, entity_q.get(), l)
                              : dds_create_reader(group, topic, entity_q.get(), l);
  dds_delete_listener(l);
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
  self->matches_.note_matches(e, self->is_writer_);
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

dds_return_t WireEndpoint::set_qos(Part part, const CycloneQos& q) {
  dds_entity_t e;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    e = part == Part::entity ? entity_ : group_;
  }
  if (e <= 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  return dds_set_qos(e, q.get());
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

template <typename Data>
bool WireEndpoint::matched_data_of(const Guid& g, Data& out) {
  if (entity_ <= 0 || !matches_.is_accepted(g)) return false;
  std::vector<dds_instance_handle_t> ihs(256);
  dds_return_t n = is_writer_ ? dds_get_matched_subscriptions(entity_, ihs.data(), ihs.size())
                              : dds_get_matched_publications(entity_, ihs.data(), ihs.size());
  for (dds_return_t i = 0; i < n && i < 256; ++i) {
    MatchedEndpoint d = matched_endpoint(entity_, is_writer_, ihs[i]);
    if (d && to_guid(d->key) == g) {
      from_cyclone(*d, out);
      matches_.remember_data(g, std::shared_ptr<const dds_builtintopic_endpoint_t>(std::move(d)));
      return true;
    }
  }
  // A match still shown after Cyclone ended it: what it announced last.
  if (const auto d = matches_.last_data(g)) {
    from_cyclone(*d, out);
    return true;
  }
  return false;
}

bool WireEndpoint::matched_data(const Guid& g, SubscriptionBuiltinTopicData& out) {
  return is_writer_ && matched_data_of(g, out);
}
bool WireEndpoint::matched_data(const Guid& g, PublicationBuiltinTopicData& out) {
  return !is_writer_ && matched_data_of(g, out);
}

// ---------------------------------------------------------------- writer

dds_return_t WireWriter::create(dds_entity_t participant, dds_entity_t topic, bool keyed, const WriterQos& q,
                                WriterEvents ev) {
  dds_return_t rc = open(participant, topic, keyed, group_qos(q.group), writer_qos(q.endpoint, q.topic),
                         q.endpoint.durability.kind, std::move(ev));
  if (rc != DDS_RETCODE_OK) return rc;
  matches_.note_matches(entity_, true, true);  // those made while Cyclone created the writer
  {
    std::lock_guard<std::mutex> lk(mtx_);
    lifespan_ns_ = detail::to_ns(q.endpoint.lifespan.duration);
    flush_ = detail::to_ns(q.endpoint.latency_budget.duration) != 0;
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

dds_return_t WireWriter::sent(dds_entity_t w, dds_return_t rc) {
  // Fault: what a writer with a latency budget sends waits in Cyclone.
  if (flush_ && !QV_FAULT(latency_budget_holds_samples)) dds_write_flush(w);
  return rc;
}

void WireWriter::destroy() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    entity_ = 0;
  }
  WireEndpoint::destroy();
}

dds_return_t WireWriter::write(const KeyHash& key, const uint8_t* data, size_t len, int64_t ts) {
  ts = on_the_wire(ts);
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
    s.channel = kChannelData;
    s.payload = dds_sequence_octet{static_cast<uint32_t>(len), static_cast<uint32_t>(len),
                                   const_cast<uint8_t*>(data), false};
    return sent(w, dds_write_ts(w, &s, ts));
  }
  qvwire_KeylessEnvelope s;
  s.lifespan = lifespan;
  s.channel = kChannelData;
  s.payload = dds_sequence_octet{static_cast<uint32_t>(len), static_cast<uint32_t>(len), const_cast<uint8_t*>(data),
                                 false};
  return sent(w, dds_write_ts(w, &s, ts));
}

void WireWriter::set_lifespan(int64_t lifespan_ns) {
  std::lock_guard<std::mutex> lk(mtx_);
  lifespan_ns_ = lifespan_ns;
}

dds_return_t WireWriter::dispose(const KeyHash& key, int64_t ts) {
  ts = on_the_wire(ts);
  if (!keyed_ && QV_FAULT(keyless_dispose_acts)) {
    qvwire_KeylessEnvelope s{};
    return dds_dispose_ts(entity_, &s, ts);
  }
  if (!keyed_) return DDS_RETCODE_ILLEGAL_OPERATION;
  qvwire_KeyedEnvelope s{};
  std::memcpy(s.key, key.data(), 16);
  return sent(entity_, dds_dispose_ts(entity_, &s, ts));
}

dds_return_t WireWriter::unregister(const KeyHash& key, int64_t ts) {
  ts = on_the_wire(ts);
  if (!keyed_) return DDS_RETCODE_ILLEGAL_OPERATION;
  qvwire_KeyedEnvelope s{};
  std::memcpy(s.key, key.data(), 16);
  return sent(entity_, dds_unregister_instance_ts(entity_, &s, ts));
}

dds_return_t WireWriter::wait_for_acks(int64_t timeout_ns) {
  if (entity_ <= 0) return DDS_RETCODE_OK;
  return dds_wait_for_acks(entity_, timeout_ns);
}

dds_return_t WireWriter::assert_liveliness() {
  dds_entity_t w;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    w = entity_;
  }
  if (w <= 0) return DDS_RETCODE_OK;
  if (QV_FAULT(liveliness_assert_not_sent)) return DDS_RETCODE_OK;
  // Cyclone brings back a writer whose lease ran out at a reader only when
  // data of it arrives, whatever dds_assert_liveliness sends: the assertion
  // is a sample on the liveliness channel, which renews the lease (of the
  // writer, or of its participant for manual by participant) where the
  // writer is alive and revives it where it was lost. Readers drop it.
  const int64_t now = dds_time();
  if (keyed_) {
    qvwire_KeyedEnvelope s{};
    s.lifespan = DDS_INFINITY;
    s.channel = kChannelLiveliness;
    return sent(w, dds_write_ts(w, &s, now));
  }
  qvwire_KeylessEnvelope s{};
  s.lifespan = DDS_INFINITY;
  s.channel = kChannelLiveliness;
  return sent(w, dds_write_ts(w, &s, now));
}

// ---------------------------------------------------------------- reader

dds_return_t WireReader::create(dds_entity_t participant, dds_entity_t topic, bool keyed, const ReaderQos& q,
                                ReaderEvents ev) {
  if (entity_ > 0) return DDS_RETCODE_PRECONDITION_NOT_MET;
  data_available_ = std::move(ev.data_available);
  liveliness_ = std::move(ev.liveliness);
  sample_lost_ = std::move(ev.sample_lost);
  dds_return_t rc = open(participant, topic, keyed, group_qos(q.group), reader_qos(q.endpoint, q.topic),
                         q.endpoint.durability.kind, std::move(ev));
  if (rc != DDS_RETCODE_OK) return rc;
  matches_.note_matches(entity_, false, true);  // those made while Cyclone created the reader
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
      (lc.alive_count_change != 0 || lc.not_alive_count_change != 0) && liveliness_) {
    if (QV_VARIANT(writer_unasserted_not_alive))
      liveliness_seen(entity_, lc);
    else
      liveliness_(lc, matches_.guid_of(entity_, false, lc.last_publication_handle));
  }
  if (events_.match_changed) events_.match_changed();
  if (data_available_) data_available_();
  return DDS_RETCODE_OK;
}

void WireReader::on_data(dds_entity_t, void* arg) {
  if (self(arg)->data_available_) self(arg)->data_available_();
}
void WireReader::on_liveliness(dds_entity_t e, const dds_liveliness_changed_status_t st, void* arg) {
  WireReader* r = self(arg);
  if (QV_VARIANT(writer_unasserted_not_alive)) return r->liveliness_seen(e, st);
  if (r->liveliness_) r->liveliness_(st, r->matches_.guid_of(e, false, st.last_publication_handle));
}

namespace {
bool manual_by_topic(dds_entity_t reader, dds_instance_handle_t publication) {
  const MatchedEndpoint d = matched_endpoint(reader, false, publication);
  dds_liveliness_kind_t kind;
  return d && dds_qget_liveliness(d->qos, &kind, nullptr) && kind == DDS_LIVELINESS_MANUAL_BY_TOPIC;
}
}  // namespace

void WireReader::liveliness_seen(dds_entity_t e, dds_liveliness_changed_status_t st) {
  const dds_instance_handle_t w = st.last_publication_handle;
  {
    std::lock_guard<std::mutex> lk(live_mtx_);
    alive_ = st.alive_count;
    not_alive_ = st.not_alive_count;
    const bool unasserted = unasserted_.count(w) != 0;
    if (st.alive_count_change > 0 && !unasserted && heard_.count(w) == 0 && manual_by_topic(e, w)) {
      // Alive in Cyclone from its match on: shown not alive.
      unasserted_.insert(w);
      st.alive_count_change -= 1;
      st.not_alive_count_change += 1;
    } else if (st.alive_count_change < 0 && unasserted) {
      // Lost or gone in Cyclone: shown not alive already.
      unasserted_.erase(w);
      st.alive_count_change += 1;
      st.not_alive_count_change -= 1;
    }
    st.alive_count -= static_cast<uint32_t>(unasserted_.size());
    st.not_alive_count += static_cast<uint32_t>(unasserted_.size());
  }
  if ((st.alive_count_change != 0 || st.not_alive_count_change != 0) && liveliness_)
    liveliness_(st, matches_.guid_of(e, false, w));
}

void WireReader::heard_from(dds_entity_t e, dds_instance_handle_t publication) {
  dds_liveliness_changed_status_t st{};
  {
    std::lock_guard<std::mutex> lk(live_mtx_);
    heard_.insert(publication);
    if (unasserted_.erase(publication) == 0) return;
    st.alive_count = alive_ - static_cast<uint32_t>(unasserted_.size());
    st.not_alive_count = not_alive_ + static_cast<uint32_t>(unasserted_.size());
    st.alive_count_change = 1;
    st.not_alive_count_change = -1;
    st.last_publication_handle = publication;
  }
  if (liveliness_) liveliness_(st, matches_.guid_of(e, false, publication));
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
      const uint8_t channel = keyed_ ? t.keyed[i].channel : t.keyless[i].channel;
      if (QV_VARIANT(writer_unasserted_not_alive) && info.publication_handle != 0) heard_from(r, info.publication_handle);
      Guid publication;
      // Liveliness assertions (and the state changes of their instance) did
      // their work in Cyclone on arrival.
      if (channel == kChannelData &&
          matches_.admit(r, info.publication_handle, durability_, info.source_timestamp, publication)) {
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
