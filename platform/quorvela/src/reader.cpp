#include "reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "faults/fault.h"
#include "filter/filter.h"
#include "qos_rules.h"
#include "faults/fault.h"
#include "wire/codec.h"
#include "wire/runtime.h"

namespace QUORVELA::detail {

namespace {

constexpr uint8_t kEntityKindReader = 0x04;

InstanceStateKind from_cyclone_state(uint32_t ist) {
  if (ist & DDS_IST_NOT_ALIVE_DISPOSED) return NOT_ALIVE_DISPOSED_INSTANCE_STATE;
  if (ist & DDS_IST_NOT_ALIVE_NO_WRITERS) return NOT_ALIVE_NO_WRITERS_INSTANCE_STATE;
  return ALIVE_INSTANCE_STATE;
}

void delete_sample_info(void* e, void*) { delete static_cast<SampleInfo*>(e); }
void delete_user_sample(void* e, void* ctx) { static_cast<TypeSupport*>(ctx)->delete_data(e); }

}  // namespace

// ------------------------------------------------------------- lifecycle

DataReaderImpl* DataReaderImpl::create(SubscriberImpl* subscriber, const ReaderTopic& topic,
                                       const DataReaderQos& qos, DataReaderListener* listener, StatusMask mask) {
  if (subscriber == nullptr || topic.topic == nullptr || topic.topic->type_support() == nullptr) return nullptr;
  if (check_qos(qos) != RETCODE_OK) return nullptr;
  return new DataReaderImpl(subscriber, topic, qos, listener, mask);
}

DataReaderImpl::DataReaderImpl(SubscriberImpl* subscriber, const ReaderTopic& topic, const DataReaderQos& qos,
                               DataReaderListener* listener, StatusMask mask)
    : EndpointBase(subscriber->participant_impl(), topic.topic, qos, kEntityKindReader),
      subscriber_(subscriber),
      cft_(topic.cft),
      filter_(topic.cft ? topic.cft->filter() : nullptr),
      statuses_(this, listener, mask) {}

DataReaderImpl::~DataReaderImpl() { close(); }

ReturnCode_t DataReaderImpl::enable() {
  if (auto refused = enable_refused(*subscriber_)) return *refused;
  std::lock_guard<std::mutex> wl(wire_mtx_);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (enabled_) return RETCODE_OK;
    // Enabled before the Cyclone reader exists: its first arrivals (historical
    // data) come in during creation.
    enabled_ = true;
  }
  ReturnCode_t rc = create_wire();
  std::lock_guard<std::mutex> lk(mtx_);
  if (rc != RETCODE_OK) enabled_ = false;
  return rc;
}

ReturnCode_t DataReaderImpl::create_wire() {
  SubscriberQos sq = subscriber_->qos();
  TopicQos tq = topic_->qos();
  DataReaderQos rq;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    rq = qos_;
  }
  const wire::ReaderQos eq{rq, sq, tq};
  dds_entity_t t = participant_wire_->topic(topic_->name(), topic_->type_name(), keyed_, tq);
  if (t < 0) return wire::to_retcode(t);
  wire::ReaderEvents ev;
  ev.data_available = [this] { on_data(); };
  ev.match_changed = [this] {
    apply_matches_after(0, owner_, wire_, statuses_, SUBSCRIPTION_MATCHED_STATUS, matched_,
                        &DataReaderListener::on_subscription_matched,
                        [this](const wire::IncompatibleEvent& e) { apply_incompatible(e); });
  };
  ev.incompatible = [this](const wire::IncompatibleEvent& e) {
    wire::Runtime::instance().post(owner_, [this, e] { apply_incompatible(e); });
  };
  ev.liveliness = [this](const dds_liveliness_changed_status_t& st, const wire::Guid& last) {
    wire::Runtime::instance().post(owner_, [this, st, last] {
      statuses_.raise(LIVELINESS_CHANGED_STATUS, liveliness_, &DataReaderListener::on_liveliness_changed,
                      [&](LivelinessChangedStatus& s) {
                        s.alive_count = static_cast<int32_t>(st.alive_count);
                        s.not_alive_count = static_cast<int32_t>(st.not_alive_count);
                        s.alive_count_change += st.alive_count_change;
                        s.not_alive_count_change += st.not_alive_count_change;
                        if (!last.is_nil()) s.last_publication_handle = handle_from_guid(last);
                      });
    });
  };
  ev.sample_lost = [this](const dds_sample_lost_status_t& st) {
    wire::Runtime::instance().post(owner_, [this, st] {
      statuses_.raise(SAMPLE_LOST_STATUS, lost_, &DataReaderListener::on_sample_lost, [&](SampleLostStatus& s) {
        s.total_count = static_cast<int32_t>(st.total_count);
        s.total_count_change += st.total_count_change;
      });
    });
  };
  dds_return_t rc = wire_.create(participant_wire_->entity(), t, keyed_, eq, std::move(ev));
  if (rc != DDS_RETCODE_OK) return wire::to_retcode(rc);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    handle_ = handle_from_guid(wire_.guid());
  }
  apply_creation_matches(owner_, wire_, statuses_, SUBSCRIPTION_MATCHED_STATUS, REQUESTED_INCOMPATIBLE_QOS_STATUS,
                         matched_, &DataReaderListener::on_subscription_matched,
                         [this](const wire::IncompatibleEvent& e) { apply_incompatible(e); });
  return RETCODE_OK;
}

void DataReaderImpl::apply_incompatible(const wire::IncompatibleEvent& e) {
  wire::IncompatibleEvent ev = e;
  // Fault: each incompatible writer counted twice.
  if (QV_FAULT(reader_incompatible_counted_twice)) ev.change *= 2;
  statuses_.raise(REQUESTED_INCOMPATIBLE_QOS_STATUS, incompatible_, &DataReaderListener::on_requested_incompatible_qos,
                  [&](RequestedIncompatibleQosStatus& s) {
                    count_incompatible(s, ev);
                    // Fault: the counts per policy never listed.
                    if (QV_FAULT(requested_policies_unlisted)) s.policies.clear();
                  });
}

ReturnCode_t DataReaderImpl::remake_wire() {
  // The cache is kept. What the writers matched so far wrote before the old
  // Cyclone reader went has reached it: the history they keep for late
  // joiners, which they deliver again to the new one, is left out.
  const std::vector<wire::Guid> matched = wire_.matched();
  end_matches_of_remade(owner_, matched, statuses_, SUBSCRIPTION_MATCHED_STATUS, matched_,
                        &DataReaderListener::on_subscription_matched);
  wire_.destroy();
  {
    std::lock_guard<std::mutex> lk(mtx_);
    const int64_t gone_at = dds_time();
    for (const wire::Guid& g : matched) delivered_before_[g] = gone_at;
  }
  return create_wire();
}

void DataReaderImpl::close() {
  std::lock_guard<std::mutex> wl(wire_mtx_);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (closed_) return;
    closed_ = true;
  }
  wire_.destroy();  // no arrival or Cyclone status callback after this
  wire::Runtime::instance().cancel_owner(owner_);
  delete_contained_entities();
  std::lock_guard<std::mutex> lk(mtx_);
  enabled_ = false;
  deadline_timer_.fired();
  purge_timer_.fired();
  variant_timer_.fired();
}

StatusMask DataReaderImpl::get_status_changes() {
  const StatusMask m = statuses_.changes();
  std::lock_guard<std::mutex> lk(mtx_);
  return cache_.unread_count() > 0 ? m | DATA_AVAILABLE_STATUS : m;
}

TopicDescription* DataReaderImpl::get_topicdescription() {
  if (cft_ != nullptr) return cft_;
  return topic_;
}

// ----------------------------------------------------------------- arrival

void DataReaderImpl::reject_locked(SampleRejectedStatusKind why, const InstanceHandle_t& h) {
  wire::Runtime::instance().post(owner_, [this, why, h] {
    statuses_.raise(SAMPLE_REJECTED_STATUS, rejected_, &DataReaderListener::on_sample_rejected,
                    [&](SampleRejectedStatus& s) {
                      ++s.total_count;
                      ++s.total_count_change;
                      s.last_reason = why;
                      // Fault: the status names the reader, not the instance.
                      s.last_instance_handle = QV_FAULT(status_instance_of_reader) ? handle_ : h;
                    });
  });
}

void DataReaderImpl::on_data() {
  bool accepted = false;
  wire_.take_all([&](std::vector<wire::WireSample>& batch) {
    if (filter_) batch.erase(std::remove_if(batch.begin(), batch.end(),
                                            [this](const wire::WireSample& s) { return !passes_content_filter(s); }),
                             batch.end());
    std::lock_guard<std::mutex> lk(mtx_);
    if (!enabled_ || closed_) return;
    for (auto& s : batch) {
      if (delivered_before_locked(s) || held_back_locked(s)) continue;
      // Fault: a notice (dispose, unregister) is stored but wakes nothing.
      accepted = (ingest_locked(s) && (s.valid || !QV_FAULT(notice_wakes_nothing))) || accepted;
      purge_at_once_locked();
    }
  });
  if (accepted) announce_data();
}

void DataReaderImpl::announce_data() {
  notify_conditions();
  statuses_.condition().notify();
  if (!statuses_.listens_for(DATA_AVAILABLE_STATUS) || data_call_pending_.exchange(true)) return;
  wire::Runtime::instance().post(owner_, [this] {
    data_call_pending_.store(false);  // what arrives during the call posts the next one
    statuses_.call(DATA_AVAILABLE_STATUS, &DataReaderListener::on_data_available);
  });
}

bool DataReaderImpl::delivered_before_locked(const wire::WireSample& s) const {
  // Fault: a reader made again takes the history of its writers once more.
  if (QV_FAULT(remade_reader_takes_history_again)) return false;
  auto it = delivered_before_.find(s.publication);
  return it != delivered_before_.end() && s.source_ts_ns < it->second;
}

// Content filter of a filtered topic, before anything else: a rejected
// sample makes no instance (so it takes no instance slot, and a later state
// change of that instance is one of an instance we never had).
bool DataReaderImpl::passes_content_filter(const wire::WireSample& s) const {
  return !s.valid ||
         filter_->matches(wire::cdr_bytes(s.payload), wire::cdr_size(s.payload), wire::cdr_little_endian(s.payload));
}

bool DataReaderImpl::ingest_locked(wire::WireSample& s) {
  // A state change comes after the sample its instance's window holds.
  const bool closed = !s.valid && close_window_locked(keyed_ ? s.key : wire::KeyHash{});
  Instance* inst = instance_for_locked(s);
  if (inst == nullptr) return closed;
  if (!s.valid) return note_state_change_locked(*inst, s) || closed;
  if (QV_VARIANT(time_filter_newest) && windowed_locked(*inst, s)) return false;
  if (!passes_time_filter_locked(*inst, s) || !make_room_locked(*inst)) return false;
  store_sample_locked(*inst, s);
  restart_deadline_locked(*inst);
  return true;
}

// The instance of the sample, made for a valid sample when the instance
// limit leaves room; null for a state change of an instance we never had.
DataReaderImpl::Instance* DataReaderImpl::instance_for_locked(const wire::WireSample& s) {
  const wire::KeyHash key = keyed_ ? s.key : wire::KeyHash{};
  if (Instance* inst = cache_.find(key)) return inst;
  if (!s.valid) return nullptr;
  const InstanceHandle_t ih = keyed_ ? wire::instance_handle_of(key) : HANDLE_NIL;
  const int32_t max_instances = qos_.resource_limits.max_instances;
  if (max_instances > 0 && static_cast<int32_t>(cache_.instance_count()) >= max_instances) {
    reject_locked(REJECTED_BY_INSTANCES_LIMIT, ih);
    return nullptr;
  }
  return &cache_.add_instance(key, ih);
}

// A dispose or the loss of the last writer: one pending state-change marker
// per instance is enough.
bool DataReaderImpl::note_state_change_locked(Instance& inst, const wire::WireSample& s) {
  const InstanceStateKind after = from_cyclone_state(s.instance_state);
  if (inst.state == after || after == ALIVE_INSTANCE_STATE) return false;
  inst.state = after;
  for (Sample* x = inst.oldest(); x != nullptr;) {
    Sample* next = x->next_in_instance();
    if (!x->valid && !x->read) cache_.remove(x);
    x = next;
  }
  auto* marker = new Sample;
  marker->seq = next_seq_++;
  marker->valid = false;
  marker->source_ts = s.source_ts_ns;
  marker->publication = handle_from_guid(s.publication);
  marker->disposed_gen = inst.disposed_gen;
  marker->no_writers_gen = inst.no_writers_gen;
  cache_.append(inst, marker);
  start_purge_clock_locked(inst);
  return true;
}

// Time-based filter, per instance, on source timestamps.
bool DataReaderImpl::passes_time_filter_locked(const Instance& inst, const wire::WireSample& s) const {
  // Fault: the separation measured from the last sample of any instance.
  if (QV_FAULT(time_filter_across_instances)) {
    if (!any_accepted_) return true;
    const int64_t sep = to_ns(qos_.time_based_filter.minimum_separation);
    return sep <= 0 || s.source_ts_ns - last_accepted_any_ts_ >= sep;
  }
  // Fault: the minimum separation is not applied at all.
  if (QV_FAULT(time_filter_ignored)) return true;
  if (!inst.has_accepted) return true;
  const int64_t sep =
      stale_separation_ns_ >= 0 ? stale_separation_ns_ : to_ns(qos_.time_based_filter.minimum_separation);
  if (sep == kInfiniteNs) return false;
  return sep <= 0 || s.source_ts_ns - inst.last_accepted_ts >= sep;
}

// ------------------------------------------------------------- variants

// Variant writers_reordered: samples of two writers may arrive in any order
// (only each writer's own order is kept), and with the destination order by
// reception they are delivered in the order they arrived. The reader holds
// back, by kHeldBackNs, every sample and notice of the first writer it got
// one from, so that another writer's samples written shortly after come
// first. True when s was held back.
constexpr int64_t kHeldBackNs = 150000000;

bool DataReaderImpl::held_back_locked(wire::WireSample& s) {
  if (!QV_VARIANT(writers_reordered) || s.publication.is_nil() ||
      qos_.destination_order.kind != BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS)
    return false;
  if (held_writer_.is_nil()) held_writer_ = s.publication;
  if (s.publication != held_writer_) return false;
  const int64_t due = dds_time() + kHeldBackNs;
  held_.emplace_back(due, std::move(s));
  arm_variant_timer_locked(due);
  return true;
}

// Variant time_filter_newest: the time-based filter passes at most one
// sample per minimum separation, but which one is open. This one opens a
// window with the first sample that passes the separation from the last one
// delivered, keeps the newest sample (by source time) written in that
// window, and delivers it when the window has passed (or before a state
// change of the instance): still at most one per separation, each a sample
// the writer wrote in its window, and the last of a burst arrives. True when
// s went into a window or was filtered out.
bool DataReaderImpl::windowed_locked(Instance& inst, wire::WireSample& s) {
  const int64_t sep = to_ns(qos_.time_based_filter.minimum_separation);
  if (sep <= 0 || sep == kInfiniteNs) return false;
  auto w = windows_.find(inst.key);
  if (w != windows_.end() && s.source_ts_ns < w->second.end) {
    if (s.source_ts_ns >= w->second.newest.source_ts_ns) w->second.newest = std::move(s);
    return true;
  }
  if (w != windows_.end()) close_window_locked(inst.key);
  if (inst.has_accepted && s.source_ts_ns - inst.last_accepted_ts < sep) return true;
  FilterWindow& opened = windows_[inst.key];
  opened.end = s.source_ts_ns + sep;
  opened.newest = std::move(s);
  arm_variant_timer_locked(opened.end);
  return true;
}

// Delivers what the window of the instance holds; true when it stored it.
bool DataReaderImpl::close_window_locked(const wire::KeyHash& key) {
  auto w = windows_.find(key);
  if (w == windows_.end()) return false;
  wire::WireSample s = std::move(w->second.newest);
  windows_.erase(w);
  Instance* inst = instance_for_locked(s);
  if (inst == nullptr || !make_room_locked(*inst)) return false;
  store_sample_locked(*inst, s);
  restart_deadline_locked(*inst);
  return true;
}

void DataReaderImpl::arm_variant_timer_locked(int64_t due_wall_ns) {
  const auto due = Clock::now() + std::chrono::nanoseconds(std::max<int64_t>(0, due_wall_ns - dds_time()));
  variant_timer_.arm(owner_, due, [this] { on_variant_timer(); });
}

void DataReaderImpl::on_variant_timer() {
  bool accepted = false;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    variant_timer_.fired();
    if (!enabled_ || closed_) return;
    const int64_t now = dds_time();
    int64_t next = INT64_MAX;
    size_t n = 0;
    for (; n < held_.size() && held_[n].first <= now; ++n)
      accepted = (ingest_locked(held_[n].second) || accepted);
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
    if (!held_.empty()) next = held_.front().first;
    std::vector<wire::KeyHash> due;
    for (auto& [key, w] : windows_) {
      if (w.end <= now)
        due.push_back(key);
      else
        next = std::min(next, w.end);
    }
    for (const wire::KeyHash& key : due) accepted = close_window_locked(key) || accepted;
    purge_at_once_locked();
    if (next != INT64_MAX) arm_variant_timer_locked(next);
  }
  if (accepted) announce_data();
}

// Resource limits (keep all) and history depth (keep last): room for one
// more valid sample of inst, or a rejection.
bool DataReaderImpl::make_room_locked(Instance& inst) {
  const auto& rl = qos_.resource_limits;
  if (qos_.history.kind == KEEP_ALL_HISTORY_QOS) {
    // Fault: an unlimited keep-all instance capped at a default of 64 samples.
    const int32_t per_instance =
        QV_FAULT(keep_all_reader_capped_at_64) && rl.max_samples_per_instance <= 0 ? 64 : rl.max_samples_per_instance;
    // Fault: the per-instance limit ignored (only max_samples holds).
    if (per_instance > 0 && inst.valid_count() >= per_instance && !QV_FAULT(reader_per_instance_limit_ignored)) {
      reject_locked(REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT, inst.handle);
      return false;
    }
  } else {
    // Fault: keep last n keeps n + 1.
    const int32_t depth = (qos_.history.depth > 0 ? qos_.history.depth : 1) + (QV_FAULT(keep_last_one_more) ? 1 : 0);
    // The oldest valid samples make way.
    for (Sample* x = inst.oldest(); x != nullptr && inst.valid_count() >= depth;) {
      Sample* next = x->next_in_instance();
      // Fault: a sample that makes way in the history counted as lost.
      if (x->valid && QV_FAULT(keep_last_replaced_counted_lost))
        wire::Runtime::instance().post(owner_, [this] {
          statuses_.raise(SAMPLE_LOST_STATUS, lost_, &DataReaderListener::on_sample_lost, [](SampleLostStatus& st) {
            ++st.total_count;
            ++st.total_count_change;
          });
        });
      if (x->valid) cache_.remove(x);
      x = next;
    }
    if (inst.empty()) sweep_pending_ = true;  // when the sample is refused below
  }
  if (rl.max_samples > 0 && cache_.valid_count() >= rl.max_samples) {
    reject_locked(REJECTED_BY_SAMPLES_LIMIT, inst.handle);
    return false;
  }
  return true;
}

void DataReaderImpl::store_sample_locked(Instance& inst, wire::WireSample& s) {
  // Rebirth of a not-alive instance.
  if (inst.state == NOT_ALIVE_DISPOSED_INSTANCE_STATE) {
    ++inst.disposed_gen;
    inst.new_view = true;
  } else if (inst.state == NOT_ALIVE_NO_WRITERS_INSTANCE_STATE) {
    ++inst.no_writers_gen;
    inst.new_view = true;
  }
  inst.state = from_cyclone_state(s.instance_state);  // Cyclone reports the state as of the take
  inst.has_accepted = true;
  inst.last_accepted_ts = s.source_ts_ns;
  any_accepted_ = true;
  last_accepted_any_ts_ = s.source_ts_ns;
  inst.key_payload = s.payload;
  auto* smp = new Sample;
  smp->seq = next_seq_++;
  smp->valid = true;
  smp->source_ts = s.source_ts_ns;
  // The lifespan the writer had when it wrote the sample.
  // Fault: a quarter of the lifespan asked for.
  if (s.lifespan_ns != kInfiniteNs)
    smp->expiry = add_ns(s.source_ts_ns, QV_FAULT(lifespan_quarter) ? s.lifespan_ns / 4 : s.lifespan_ns);
  smp->publication = handle_from_guid(s.publication);
  // Fault: every sample of an instance credited to the writer of its oldest one.
  if (QV_FAULT(sample_publication_of_oldest) && inst.oldest() != nullptr) smp->publication = inst.oldest()->publication;
  smp->disposed_gen = inst.disposed_gen;
  smp->no_writers_gen = inst.no_writers_gen;
  smp->payload = std::move(s.payload);
  cache_.append(inst, smp);
  start_purge_clock_locked(inst);  // when the state as of the take is not alive
}

void DataReaderImpl::restart_deadline_locked(Instance& inst) {
  if (is_infinite(qos_.deadline.period)) return;
  inst.deadline_due = Clock::now() + to_chrono(qos_.deadline.period);
  if (!deadline_timer_.armed()) schedule_deadline_locked(inst.deadline_due);
}

void DataReaderImpl::purge_expired_locked() {
  if (cache_.purge_expired(dds_time())) sweep_pending_ = true;
}

// ------------------------------------------------------------ read / take

bool DataReaderImpl::sample_matches(const Instance& inst, const Sample& smp, SampleStateMask s, ViewStateMask v,
                                    InstanceStateMask i, const ReadConditionSelector* condition) const {
  if (!((smp.read ? READ_SAMPLE_STATE : NOT_READ_SAMPLE_STATE) & s)) return false;
  if (!((inst.new_view ? NEW_VIEW_STATE : NOT_NEW_VIEW_STATE) & v)) return false;
  if (!(inst.state & i)) return false;
  if (condition != nullptr && condition->has_query()) {
    if (!smp.valid) return false;
    if (!condition->selects_data(wire::cdr_bytes(smp.payload), wire::cdr_size(smp.payload),
                                 wire::cdr_little_endian(smp.payload)))
      return false;
  }
  return true;
}

bool DataReaderImpl::holds_matching_sample(const ReadConditionSelector& c) {
  std::lock_guard<std::mutex> lk(mtx_);
  purge_expired_locked();
  if (c.sample_state_mask() == NOT_READ_SAMPLE_STATE && cache_.unread_count() == 0) return false;
  for (Sample* smp = cache_.oldest(); smp != nullptr; smp = smp->next())
    if (sample_matches(*smp->instance, *smp, c.sample_state_mask(), c.view_state_mask(), c.instance_state_mask(), &c))
      return true;
  return false;
}

ReturnCode_t DataReaderImpl::pick_locked(int32_t max_samples, SampleStateMask s, ViewStateMask v,
                                         InstanceStateMask i, const InstanceHandle_t* only,
                                         const ReadConditionSelector* condition) {
  picked_.clear();
  const size_t limit = max_samples == LENGTH_UNLIMITED ? SIZE_MAX : static_cast<size_t>(max_samples);
  auto consider = [&](Sample* smp) {
    if (sample_matches(*smp->instance, *smp, s, v, i, condition)) picked_.push_back(smp);
    return picked_.size() < limit;
  };
  if (only != nullptr) {
    Instance* inst = cache_.find(keyed_ ? wire::key_of_handle(*only) : wire::KeyHash{});
    if (inst == nullptr || !(inst->handle == *only)) return RETCODE_BAD_PARAMETER;
    for (Sample* smp = inst->oldest(); smp != nullptr && consider(smp); smp = smp->next_in_instance()) {
    }
  } else {
    for (Sample* smp = cache_.oldest(); smp != nullptr && consider(smp); smp = smp->next()) {
    }
  }
  return picked_.empty() ? RETCODE_NO_DATA : RETCODE_OK;
}

// Ranks: samples of the same instance that follow in this collection, and
// generations relative to the most recent sample of the instance in it
// (Instance::picked and picked_generation, set by collect).
SampleInfo DataReaderImpl::sample_info_locked(const Sample& smp) const {
  const Instance& inst = *smp.instance;
  const int32_t generation = smp.disposed_gen + smp.no_writers_gen;
  SampleInfo info;
  info.sample_state = smp.read ? READ_SAMPLE_STATE : NOT_READ_SAMPLE_STATE;
  info.view_state = inst.new_view ? NEW_VIEW_STATE : NOT_NEW_VIEW_STATE;
  info.instance_state = inst.state;
  info.source_timestamp = to_time(smp.source_ts);
  info.instance_handle = inst.handle;
  info.publication_handle = smp.publication;
  // Fault: the sample's instance handle given as its publication handle.
  if (QV_FAULT(sample_publication_handle_of_instance)) info.publication_handle = inst.handle;
  info.disposed_generation_count = smp.disposed_gen;
  info.no_writers_generation_count = smp.no_writers_gen;
  info.sample_rank = inst.picked;
  // Fault: sample_rank left 0 whatever follows the sample in the collection.
  if (QV_FAULT(sample_rank_zero)) info.sample_rank = 0;
  info.generation_rank = inst.picked_generation - generation;
  info.absolute_generation_rank = (inst.disposed_gen + inst.no_writers_gen) - generation;
  info.valid_data = smp.valid;
  if (!smp.valid) {
    // Faults of notices: shown in a new view; without the time of the
    // dispose or unregister; without the writer that sent it.
    if (QV_FAULT(notice_view_new)) info.view_state = NEW_VIEW_STATE;
    if (QV_FAULT(notice_time_zero)) info.source_timestamp = Time{0, 0};
    if (QV_FAULT(notice_publication_nil)) info.publication_handle = HANDLE_NIL;
  }
  return info;
}

// Removes what collect picked; an instance that is left empty and is no
// longer alive goes with its last sample.
void DataReaderImpl::remove_taken_locked() {
  for (Sample* smp : picked_) {
    Instance& inst = *smp->instance;
    cache_.remove(smp);
    if (inst.empty() && inst.state != ALIVE_INSTANCE_STATE) cache_.erase_instance(inst);
  }
  picked_.clear();
  if (!sweep_pending_) return;
  sweep_pending_ = false;
  for (auto it = instances_.begin(); it != instances_.end();) {
    if (it->second.empty() && it->second.state != ALIVE_INSTANCE_STATE)
      it = instances_.erase(it);
    else
      ++it;
  }
}

ReturnCode_t DataReaderImpl::collect(SequenceBase* data_values, SampleInfoSeq* sample_infos, void* single,
                                     SampleInfo* single_info, int32_t max_samples, SampleStateMask s,
                                     ViewStateMask v, InstanceStateMask i, const InstanceHandle_t* only,
                                     const ReadConditionSelector* condition, bool take) {
  if (max_samples == 0 || max_samples < LENGTH_UNLIMITED) return RETCODE_BAD_PARAMETER;
  std::unique_lock<std::mutex> lk(mtx_);
  if (closed_) return RETCODE_ALREADY_DELETED;
  if (!enabled_) return RETCODE_NOT_ENABLED;
  purge_expired_locked();
  const ReturnCode_t rc = pick_locked(max_samples, s, v, i, only, condition);
  if (rc != RETCODE_OK) return rc;

  for (Sample* smp : picked_) {
    ++smp->instance->picked;
    smp->instance->picked_generation = smp->disposed_gen + smp->no_writers_gen;  // the most recent one last
  }
  // What the caller gets is noted under the lock and decoded after it: the
  // payloads are shared and never change, and the receive thread is not kept
  // waiting for the decoding. A buffer of this thread's keeps its capacity
  // from one call to the next (moved out while in use, so a nested call on
  // the same thread, from a type support say, gets a fresh one).
  thread_local std::vector<Collected> scratch;
  std::vector<Collected> out = std::move(scratch);
  out.clear();
  for (Sample* smp : picked_) {
    --smp->instance->picked;
    out.push_back(Collected{smp->valid ? smp->payload : smp->instance->key_payload, sample_info_locked(*smp)});
    // Fault: a read leaves its samples not read.
    if (take || !QV_FAULT(read_leaves_not_read)) cache_.mark_read(*smp);
  }
  for (Sample* smp : picked_) smp->instance->new_view = false;
  if (take) remove_taken_locked();
  lk.unlock();

  if (data_values) data_values->release();
  if (sample_infos) sample_infos->release();
  for (Collected& c : out) {
    const wire::Payload& bytes = c.bytes;
    if (single != nullptr) {
      if (!bytes.empty()) wire::decode_into(ts_, bytes.data(), bytes.size(), single);
      *single_info = c.info;
    } else {
      void* d = ts_->create_data();
      if (!bytes.empty()) wire::decode_into(ts_, bytes.data(), bytes.size(), d);
      data_values->append(d, &delete_user_sample, ts_);
      sample_infos->append(new SampleInfo(c.info), &delete_sample_info, nullptr);
    }
  }
  out.clear();  // the payloads go now, the capacity stays
  scratch = std::move(out);
  notify_conditions();
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::read(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                                  SampleStateMask s, ViewStateMask v, InstanceStateMask i) {
  return collect(&data_values, &sample_infos, nullptr, nullptr, max_samples, s, v, i, nullptr, nullptr, false);
}

ReturnCode_t DataReaderImpl::take(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                                  SampleStateMask s, ViewStateMask v, InstanceStateMask i) {
  return collect(&data_values, &sample_infos, nullptr, nullptr, max_samples, s, v, i, nullptr, nullptr, true);
}

ReturnCode_t DataReaderImpl::read_instance(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                           int32_t max_samples, const InstanceHandle_t& handle, SampleStateMask s,
                                           ViewStateMask v, InstanceStateMask i) {
  return collect(&data_values, &sample_infos, nullptr, nullptr, max_samples, s, v, i, &handle, nullptr, false);
}

ReturnCode_t DataReaderImpl::take_instance(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                           int32_t max_samples, const InstanceHandle_t& handle, SampleStateMask s,
                                           ViewStateMask v, InstanceStateMask i) {
  return collect(&data_values, &sample_infos, nullptr, nullptr, max_samples, s, v, i, &handle, nullptr, true);
}

ReturnCode_t DataReaderImpl::read_next_sample(void* data_value, SampleInfo& sample_info) {
  if (data_value == nullptr) return RETCODE_BAD_PARAMETER;
  return collect(nullptr, nullptr, data_value, &sample_info, 1, NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE,
                 ANY_INSTANCE_STATE, nullptr, nullptr, false);
}

ReturnCode_t DataReaderImpl::take_next_sample(void* data_value, SampleInfo& sample_info) {
  if (data_value == nullptr) return RETCODE_BAD_PARAMETER;
  return collect(nullptr, nullptr, data_value, &sample_info, 1, NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE,
                 ANY_INSTANCE_STATE, nullptr, nullptr, true);
}

ReturnCode_t DataReaderImpl::collect_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                                 int32_t max_samples, ReadCondition* condition, bool take) {
  ReadConditionSelector* c = nullptr;
  {
    // Only a condition of this reader (compared before it is looked at).
    std::lock_guard<std::mutex> cl(cond_mtx_);
    for (auto& x : conditions_)
      if (x.get() == condition) c = selector_of(x.get());
  }
  if (c == nullptr) return RETCODE_PRECONDITION_NOT_MET;
  return collect(&data_values, &sample_infos, nullptr, nullptr, max_samples, c->sample_state_mask(),
                 c->view_state_mask(), c->instance_state_mask(), nullptr, c, take);
}

ReturnCode_t DataReaderImpl::read_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                              int32_t max_samples, ReadCondition* condition) {
  return collect_w_condition(data_values, sample_infos, max_samples, condition, false);
}

ReturnCode_t DataReaderImpl::take_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                              int32_t max_samples, ReadCondition* condition) {
  return collect_w_condition(data_values, sample_infos, max_samples, condition, true);
}

InstanceHandle_t DataReaderImpl::lookup_instance(const void* instance) {
  if (instance == nullptr || !keyed_) return HANDLE_NIL;
  wire::KeyHash key;
  if (!wire::key_of(ts_, instance, key)) return HANDLE_NIL;
  std::lock_guard<std::mutex> lk(mtx_);
  const Instance* inst = cache_.find(key);
  return inst == nullptr ? HANDLE_NIL : inst->handle;
}

ReturnCode_t DataReaderImpl::get_key_value(void* key_holder, const InstanceHandle_t& handle) {
  if (key_holder == nullptr) return RETCODE_BAD_PARAMETER;
  if (!keyed_) return RETCODE_ILLEGAL_OPERATION;
  std::lock_guard<std::mutex> lk(mtx_);
  const Instance* inst = cache_.find(wire::key_of_handle(handle));
  if (inst == nullptr || !(inst->handle == handle)) return RETCODE_BAD_PARAMETER;
  const wire::Payload& p = inst->key_payload;
  if (p.empty() || !wire::decode_into(ts_, p.data(), p.size(), key_holder)) return RETCODE_ERROR;
  return RETCODE_OK;
}

// ------------------------------------------------------------- conditions

void DataReaderImpl::notify_conditions() {
  WaitSetWakeups wakeups;  // after the lock is released
  std::lock_guard<std::mutex> cl(cond_mtx_);
  for (auto& c : conditions_) notify_condition(*c, wakeups);
}

ReadCondition* DataReaderImpl::create_readcondition(SampleStateMask s, ViewStateMask v, InstanceStateMask i) {
  std::unique_ptr<ReadCondition> c = ReadConditionImpl::create(this, this, s, v, i);
  ReadCondition* out = c.get();
  std::lock_guard<std::mutex> cl(cond_mtx_);
  if (closed_) return nullptr;
  conditions_.push_back(std::move(c));
  return out;
}

QueryCondition* DataReaderImpl::create_querycondition(SampleStateMask s, ViewStateMask v, InstanceStateMask i,
                                                      const std::string& query_expression,
                                                      const StringSeq& query_parameters) {
  std::unique_ptr<QueryConditionImpl> c =
      QueryConditionImpl::create(this, this, s, v, i, topic_->type_name(), query_expression, query_parameters, nullptr);
  if (!c) return nullptr;
  QueryCondition* out = c.get();
  std::lock_guard<std::mutex> cl(cond_mtx_);
  if (closed_) return nullptr;
  conditions_.push_back(std::move(c));
  return out;
}

ReturnCode_t DataReaderImpl::delete_readcondition(ReadCondition* condition) {
  std::unique_ptr<ReadCondition> victim;
  {
    std::lock_guard<std::mutex> cl(cond_mtx_);
    for (auto it = conditions_.begin(); it != conditions_.end(); ++it)
      if (it->get() == condition) {
        victim = std::move(*it);
        conditions_.erase(it);
        break;
      }
  }
  if (!victim) return RETCODE_PRECONDITION_NOT_MET;
  victim.reset();  // unlinks from wait sets outside every lock
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::delete_contained_entities() {
  std::vector<std::unique_ptr<ReadCondition>> conds;
  {
    std::lock_guard<std::mutex> cl(cond_mtx_);
    conds.swap(conditions_);
  }
  conds.clear();
  return RETCODE_OK;
}

// ---------------------------------------------------------------- deadline

void DataReaderImpl::schedule_deadline_locked(Clock::time_point due) {
  deadline_timer_.arm(owner_, due, [this] { on_deadline_timer(); });
}

void DataReaderImpl::on_deadline_timer() {
  DeadlineMisses d;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    deadline_timer_.fired();
    if (!enabled_ || closed_ || is_infinite(qos_.deadline.period)) return;
    // Only alive instances are expected to be updated.
    d = check_deadlines(instances_, to_chrono(qos_.deadline.period),
                        [](const Instance& inst) { return inst.state == ALIVE_INSTANCE_STATE; });
    if (d.missed > 0 && QV_FAULT(status_instance_of_reader)) d.last = handle_;
    if (d.next != Clock::time_point::max()) schedule_deadline_locked(d.next);
  }
  if (d.missed == 0) return;
  statuses_.raise(REQUESTED_DEADLINE_MISSED_STATUS, deadline_missed_,
                  &DataReaderListener::on_requested_deadline_missed,
                  [&](RequestedDeadlineMissedStatus& s) { count_deadline_misses(s, d); });
}

// ---------------------------------------------------------------- autopurge

// None for an alive instance, and for an infinite delay.
std::optional<DataReaderImpl::Clock::duration> DataReaderImpl::purge_delay_locked(InstanceStateKind state) const {
  const ReaderDataLifecycleQosPolicy& p = qos_.reader_data_lifecycle;
  if (state == ALIVE_INSTANCE_STATE) return std::nullopt;
  const Duration_t& d =
      state == NOT_ALIVE_DISPOSED_INSTANCE_STATE ? p.autopurge_disposed_samples_delay : p.autopurge_nowriter_samples_delay;
  if (is_infinite(d)) return std::nullopt;
  return to_chrono(d);
}

// On every change of inst's state and on its rebirth: not alive starts its
// clock anew; alive leaves it, as no purge applies to an alive instance.
void DataReaderImpl::start_purge_clock_locked(Instance& inst) {
  if (inst.state == ALIVE_INSTANCE_STATE) return;
  inst.not_alive_since = Clock::now();
  const std::optional<Clock::duration> delay = purge_delay_locked(inst.state);
  if (!delay) return;
  if (delay->count() <= 0)
    purge_at_once_ = &inst;  // once the arrival is done with inst
  else
    purge_timer_.arm(owner_, inst.not_alive_since + *delay, [this] { on_purge_timer(); });
}

void DataReaderImpl::purge_at_once_locked() {
  if (purge_at_once_ == nullptr) return;
  cache_.purge_instance(*std::exchange(purge_at_once_, nullptr));
  picked_.clear();  // may point at what went
}

// Purges the instances whose delay has passed; arms the timer for the next.
void DataReaderImpl::purge_due_locked() {
  const Clock::time_point now = Clock::now();
  Clock::time_point next = Clock::time_point::max();
  for (auto it = instances_.begin(); it != instances_.end();) {
    Instance& inst = (it++)->second;
    const std::optional<Clock::duration> delay = purge_delay_locked(inst.state);
    if (!delay) continue;
    const Clock::time_point due = inst.not_alive_since + *delay;
    if (due <= now) {
      cache_.purge_instance(inst);
      picked_.clear();
    } else {
      next = std::min(next, due);
    }
  }
  if (next != Clock::time_point::max()) purge_timer_.arm(owner_, next, [this] { on_purge_timer(); });
}

void DataReaderImpl::on_purge_timer() {
  std::lock_guard<std::mutex> lk(mtx_);
  purge_timer_.fired();
  if (!enabled_ || closed_) return;
  purge_due_locked();
}

// ---------------------------------------------------------------- statuses

ReturnCode_t DataReaderImpl::get_liveliness_changed_status(LivelinessChangedStatus& status) {
  return statuses_.read(LIVELINESS_CHANGED_STATUS, liveliness_, status);
}

ReturnCode_t DataReaderImpl::get_requested_deadline_missed_status(RequestedDeadlineMissedStatus& status) {
  return statuses_.read(REQUESTED_DEADLINE_MISSED_STATUS, deadline_missed_, status);
}

ReturnCode_t DataReaderImpl::get_requested_incompatible_qos_status(RequestedIncompatibleQosStatus& status) {
  return statuses_.read(REQUESTED_INCOMPATIBLE_QOS_STATUS, incompatible_, status);
}

ReturnCode_t DataReaderImpl::get_sample_lost_status(SampleLostStatus& status) {
  return statuses_.read(SAMPLE_LOST_STATUS, lost_, status);
}

ReturnCode_t DataReaderImpl::get_sample_rejected_status(SampleRejectedStatus& status) {
  return statuses_.read(SAMPLE_REJECTED_STATUS, rejected_, status);
}

ReturnCode_t DataReaderImpl::get_subscription_matched_status(SubscriptionMatchedStatus& status) {
  return statuses_.read(SUBSCRIPTION_MATCHED_STATUS, matched_, status);
}

ReturnCode_t DataReaderImpl::set_listener(DataReaderListener* listener, StatusMask mask) {
  statuses_.set_listener(listener, mask);
  return RETCODE_OK;
}

DataReaderListener* DataReaderImpl::get_listener() { return statuses_.listener(); }

// ----------------------------------------------------------------- matching

ReturnCode_t DataReaderImpl::get_matched_publications(InstanceHandleSeq& handles) {
  handles.clear();
  std::lock_guard<std::mutex> lk(mtx_);
  if (enabled_) append_matched_handles(wire_, handles);
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::get_matched_publication_data(PublicationBuiltinTopicData& data,
                                                          const InstanceHandle_t& handle) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_) return RETCODE_BAD_PARAMETER;
  return copy_matched_data(wire_, *participant_wire_, handle, data);
}

ReturnCode_t DataReaderImpl::wait_for_historical_data(const Duration_t& max_wait) {
  // Historical data is delivered with the match itself: nothing to wait for.
  if (!is_valid(max_wait)) return RETCODE_BAD_PARAMETER;
  std::lock_guard<std::mutex> lk(mtx_);
  return enabled_ ? RETCODE_OK : RETCODE_NOT_ENABLED;
}

// --------------------------------------------------------------------- QoS

ReturnCode_t DataReaderImpl::set_qos(const DataReaderQos& requested) {
  // The default object stands for the subscriber's current default.
  DataReaderQos qos = requested;
  if (&requested == &DATAREADER_QOS_DEFAULT) subscriber_->get_default_datareader_qos(qos);
  // The time-based filter and the deadline apply to what arrives from now on.
  return change_qos(qos, [&](const DataReaderQos& old) {
    // A new deadline period restarts the clock of every instance the reader
    // holds, also of those that arrived while the period was infinite.
    if (old.deadline.period != qos.deadline.period) {
      deadline_timer_.cancel();
      if (auto due = restart_deadlines(instances_, qos.deadline.period)) schedule_deadline_locked(*due);
    }
    // New autopurge delays count from when each instance became not alive,
    // also for those that did so while the delay was infinite.
    if (old.reader_data_lifecycle != qos.reader_data_lifecycle) {
      purge_timer_.cancel();
      purge_due_locked();
    }
    // Fault: a new separation is accepted and reported, but the filter keeps the old one.
    if (QV_FAULT(time_filter_change_ignored) && stale_separation_ns_ < 0)
      stale_separation_ns_ = to_ns(old.time_based_filter.minimum_separation);
    return RETCODE_OK;
  });
}

}  // namespace QUORVELA::detail
