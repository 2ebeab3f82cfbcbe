#include "writer.h"

#include <algorithm>
#include <cstring>

#include "faults/fault.h"
#include "qos_rules.h"
#include "faults/fault.h"
#include "wire/codec.h"
#include "wire/runtime.h"

namespace QUORVELA::detail {

namespace {

constexpr uint8_t kEntityKindWriter = 0x03;
// Bound on how long deleting a reliable writer waits for its last samples to
// be acknowledged (Cyclone keeps delivering in the background after that).
constexpr int64_t kFlushOnCloseNs = 500000000;

// Manual-by-participant writers per participant, for the shared lease.
std::mutex& mbp_mutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::multimap<wire::ParticipantWire*, DataWriterImpl*>& mbp_writers() {
  static auto* m = new std::multimap<wire::ParticipantWire*, DataWriterImpl*>();
  return *m;
}

}  // namespace

DataWriterImpl* DataWriterImpl::create(PublisherImpl* publisher, TopicImpl* topic, const DataWriterQos& qos,
                                       DataWriterListener* listener, StatusMask mask) {
  if (publisher == nullptr || topic == nullptr || topic->type_support() == nullptr) return nullptr;
  if (check_qos(qos) != RETCODE_OK) return nullptr;
  return new DataWriterImpl(publisher, topic, qos, listener, mask);
}

DataWriterImpl::DataWriterImpl(PublisherImpl* publisher, TopicImpl* topic, const DataWriterQos& qos,
                               DataWriterListener* listener, StatusMask mask)
    : EndpointBase(publisher->participant_impl(), topic, qos, kEntityKindWriter),
      publisher_(publisher),
      statuses_(this, listener, mask) {}

DataWriterImpl::~DataWriterImpl() { close(); }

// ------------------------------------------------------------- lifecycle

ReturnCode_t DataWriterImpl::enable() {
  if (auto refused = enable_refused(*publisher_)) return *refused;
  std::lock_guard<std::mutex> wl(wire_mtx_);
  std::unique_lock<std::mutex> lk(mtx_);
  if (enabled_) return RETCODE_OK;
  ReturnCode_t rc = create_wire_locked();
  if (rc != RETCODE_OK) return rc;
  enabled_ = true;
  enabled_at_ = Clock::now();
  bool refused = false;
  // The one instance of a keyless type exists from the start, and so does
  // its deadline clock; so do the clocks of instances registered before.
  if (!keyed_) add_instance_locked(wire::KeyHash{}, {}, refused);
  if (!is_infinite(qos_.deadline.period) && !instances_.empty()) {
    const auto due = Clock::now() + to_chrono(qos_.deadline.period);
    for (auto& [k, inst] : instances_) inst.deadline_due = due;
    schedule_deadline_locked(due);
  }
  const bool mbp = qos_.liveliness.kind == MANUAL_BY_PARTICIPANT_LIVELINESS_QOS;
  lk.unlock();
  if (mbp) {
    std::lock_guard<std::mutex> g(mbp_mutex());
    mbp_writers().emplace(participant_wire_, this);
  }
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::create_wire_locked() {
  // Called with mtx_ held; the QoS of the parents come from the model under
  // its own (recursive) mutex, which is never taken the other way round.
  PublisherQos pq = publisher_->qos();
  TopicQos tq = topic_->qos();
  const wire::WriterQos eq{qos_, pq, tq};
  dds_entity_t t = participant_wire_->topic(topic_->name(), topic_->type_name(), keyed_, tq);
  if (t < 0) return wire::to_retcode(t);
  wire::WriterEvents ev;
  ev.match_changed = [this] { on_match_changed(); };
  ev.incompatible = [this](const wire::IncompatibleEvent& e) { on_incompatible(e); };
  dds_return_t rc = wire_.create(participant_wire_->entity(), t, keyed_, eq, std::move(ev));
  if (rc != DDS_RETCODE_OK) return wire::to_retcode(rc);
  handle_ = handle_from_guid(wire_.guid());
  apply_creation_matches(owner_, wire_, statuses_, PUBLICATION_MATCHED_STATUS, OFFERED_INCOMPATIBLE_QOS_STATUS, matched_,
                         &DataWriterListener::on_publication_matched,
                         [this](const wire::IncompatibleEvent& e) { apply_incompatible(e); });
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::remake_wire() {
  // Writes wait meanwhile; what was written stays in this writer's own state.
  std::lock_guard<std::mutex> lk(mtx_);
  end_matches_of_remade(owner_, wire_.matched(), statuses_, PUBLICATION_MATCHED_STATUS, matched_,
                        &DataWriterListener::on_publication_matched);
  wire_.destroy();
  return create_wire_locked();
}

void DataWriterImpl::close() {
  std::lock_guard<std::mutex> wl(wire_mtx_);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (closed_) return;
    closed_ = true;
  }
  {
    std::lock_guard<std::mutex> g(mbp_mutex());
    auto range = mbp_writers().equal_range(participant_wire_);
    for (auto it = range.first; it != range.second;) {
      if (it->second == this)
        it = mbp_writers().erase(it);
      else
        ++it;
    }
  }
  if (wire_.created() && qos_.reliability.kind == RELIABLE_RELIABILITY_QOS) wire_.wait_for_acks(kFlushOnCloseNs);
  wire_.destroy();
  wire::Runtime::instance().cancel_owner(owner_);
  std::lock_guard<std::mutex> lk(mtx_);
  enabled_ = false;
  deadline_timer_.fired();
  lease_timer_ = 0;
}

StatusMask DataWriterImpl::get_status_changes() { return statuses_.changes(); }

// ------------------------------------------------------------- instances

DataWriterImpl::Instance* DataWriterImpl::add_instance_locked(const wire::KeyHash& key,
                                                              const std::vector<uint8_t>& payload, bool& refused) {
  refused = false;
  auto it = instances_.find(key);
  if (it != instances_.end()) {
    if (!payload.empty()) it->second.last_payload = payload;
    return &it->second;
  }
  const int32_t max_instances = qos_.resource_limits.max_instances;
  if (max_instances > 0 && static_cast<int32_t>(instances_.size()) >= max_instances) {
    refused = true;
    return nullptr;
  }
  Instance inst;
  inst.handle = keyed_ ? wire::instance_handle_of(key) : HANDLE_NIL;
  inst.last_payload = payload;
  return &instances_.emplace(key, std::move(inst)).first->second;
}

ReturnCode_t DataWriterImpl::resolve(const void* data, const InstanceHandle_t& handle, wire::KeyHash& key,
                                     std::vector<uint8_t>* payload) {
  if (data == nullptr) return RETCODE_BAD_PARAMETER;
  if (payload && !wire::encode_sample(ts_, data, *payload)) return RETCODE_BAD_PARAMETER;
  key = wire::KeyHash{};
  if (keyed_ && !wire::key_of(ts_, data, key)) return RETCODE_BAD_PARAMETER;
  if (handle == HANDLE_NIL) return RETCODE_OK;
  if (!keyed_) return RETCODE_BAD_PARAMETER;  // a keyless type has only the nil instance
  if (handle.length != 16 || handle.trailing != 0) return RETCODE_BAD_PARAMETER;
  wire::KeyHash named = wire::key_of_handle(handle);
  if (instances_.find(named) == instances_.end()) return RETCODE_BAD_PARAMETER;
  if (named != key) return RETCODE_PRECONDITION_NOT_MET;
  return RETCODE_OK;
}

InstanceHandle_t DataWriterImpl::register_instance(const void* instance) {
  return register_instance_w_timestamp(instance, to_time(dds_time()));
}

InstanceHandle_t DataWriterImpl::register_instance_w_timestamp(const void* instance, const Time& timestamp) {
  // Registration sends nothing; the timestamp is only checked.
  if (!is_valid(timestamp)) return HANDLE_NIL;
  std::lock_guard<std::mutex> lk(mtx_);
  if (closed_ || instance == nullptr) return HANDLE_NIL;
  wire::KeyHash key;
  std::vector<uint8_t> payload;
  if (resolve(instance, HANDLE_NIL, key, &payload) != RETCODE_OK) return HANDLE_NIL;
  bool refused = false;
  const bool known = instances_.count(key) != 0;
  Instance* inst = add_instance_locked(key, payload, refused);
  if (!inst) return HANDLE_NIL;
  if (!known && enabled_ && !is_infinite(qos_.deadline.period)) {
    inst->deadline_due = Clock::now() + to_chrono(qos_.deadline.period);
    schedule_deadline_locked(inst->deadline_due);
  }
  return inst->handle;
}

InstanceHandle_t DataWriterImpl::lookup_instance(const void* instance) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!keyed_ || instance == nullptr) return HANDLE_NIL;
  wire::KeyHash key;
  if (!wire::key_of(ts_, instance, key)) return HANDLE_NIL;
  auto it = instances_.find(key);
  return it == instances_.end() ? HANDLE_NIL : it->second.handle;
}

ReturnCode_t DataWriterImpl::get_key_value(void* key_holder, const InstanceHandle_t& handle) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (key_holder == nullptr) return RETCODE_BAD_PARAMETER;
  if (!keyed_) return RETCODE_ILLEGAL_OPERATION;
  if (handle == HANDLE_NIL || handle.length != 16 || handle.trailing != 0) return RETCODE_BAD_PARAMETER;
  auto it = instances_.find(wire::key_of_handle(handle));
  if (it == instances_.end()) return RETCODE_BAD_PARAMETER;
  const auto& p = it->second.last_payload;
  if (!wire::decode_into(ts_, p.data(), p.size(), key_holder)) return RETCODE_ERROR;
  return RETCODE_OK;
}

// ------------------------------------------------------------------ write

ReturnCode_t DataWriterImpl::write(const void* data, const InstanceHandle_t& handle) {
  return write_locked(data, handle, dds_time());
}

ReturnCode_t DataWriterImpl::write_w_timestamp(const void* data, const InstanceHandle_t& handle,
                                               const Time& timestamp) {
  if (!is_valid(timestamp)) return RETCODE_BAD_PARAMETER;
  if (QV_FAULT(untimed_dispose_stale_timestamp)) last_given_ts_ns_ = to_ns(timestamp);
  return write_locked(data, handle, to_ns(timestamp));
}

ReturnCode_t DataWriterImpl::make_room_locked(std::unique_lock<std::mutex>& lk, Instance* inst) {
  if (qos_.history.kind != KEEP_ALL_HISTORY_QOS) return RETCODE_OK;  // keep last never blocks
  if (QV_FAULT(writer_limits_ignored)) return RETCODE_OK;
  const int32_t max_samples = qos_.resource_limits.max_samples;
  const int32_t max_per_instance = qos_.resource_limits.max_samples_per_instance;
  auto full = [&] {
    return (max_samples > 0 && unacked_total_ >= max_samples) ||
           (max_per_instance > 0 && inst->unacked >= max_per_instance);
  };
  if (!full()) return RETCODE_OK;
  auto release_all = [&] {
    unacked_total_ = 0;
    for (auto& [k, i] : instances_) i.unacked = 0;
  };
  // Samples count only while a matched reliable reader has not acknowledged
  // them: once everything is acknowledged, they are all free.
  if (wire_.wait_for_acks(0) == DDS_RETCODE_OK) {
    release_all();
    return RETCODE_OK;
  }
  const wire::KeyHash key = wire::key_of_handle(inst->handle);
  const int64_t block = to_ns(qos_.reliability.max_blocking_time);
  lk.unlock();
  dds_return_t rc = wire_.wait_for_acks(block);
  lk.lock();
  if (closed_ || !enabled_) return RETCODE_ALREADY_DELETED;
  if (rc != DDS_RETCODE_OK) return RETCODE_TIMEOUT;
  release_all();
  (void)key;
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::write_locked(const void* data, const InstanceHandle_t& handle, int64_t ts_ns) {
  std::unique_lock<std::mutex> lk(mtx_);
  if (closed_) return RETCODE_ALREADY_DELETED;
  if (!enabled_) return RETCODE_NOT_ENABLED;
  wire::KeyHash key;
  // Encoded into a buffer of this thread's that keeps its capacity from one
  // write to the next (the lock may be released while it is in use).
  thread_local std::vector<uint8_t> payload;
  ReturnCode_t rc = resolve(data, handle, key, &payload);
  if (rc != RETCODE_OK) return rc;
  bool refused = false;
  const bool known = instances_.count(key) != 0;
  Instance* inst = add_instance_locked(key, payload, refused);
  if (!inst) return RETCODE_OUT_OF_RESOURCES;
  rc = make_room_locked(lk, inst);
  if (rc != RETCODE_OK) return rc;
  auto it = instances_.find(key);  // the lock may have been released
  if (it == instances_.end()) inst = add_instance_locked(key, payload, refused);
  else inst = &it->second;
  if (!inst) return RETCODE_OUT_OF_RESOURCES;
  // Fault: a writer with a deadline drops what it writes in its first 1500 ms.
  const bool dropped = QV_FAULT(deadline_writer_loses_first_1500ms) && !is_infinite(qos_.deadline.period) &&
                       Clock::now() < enabled_at_ + std::chrono::milliseconds(1500);
  dds_return_t drc = dropped ? DDS_RETCODE_OK : wire_.write(key, payload.data(), payload.size(), ts_ns);
  if (drc != DDS_RETCODE_OK) return wire::to_retcode(drc);
  if (qos_.history.kind == KEEP_ALL_HISTORY_QOS) {
    ++unacked_total_;
    ++inst->unacked;
  }
  if (!is_infinite(qos_.deadline.period)) {
    inst->deadline_due = Clock::now() + to_chrono(qos_.deadline.period);
    if (!known || !deadline_timer_.armed()) schedule_deadline_locked(inst->deadline_due);
  }
  const bool manual = qos_.liveliness.kind != AUTOMATIC_LIVELINESS_QOS;
  lk.unlock();
  // The write itself told the readers that the writer is alive; this is our
  // own lease bookkeeping (and the other manual-by-participant writers).
  if (manual) (void)renew_liveliness(true);
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::unregister_or_dispose(const void* data, const InstanceHandle_t& handle, int64_t ts_ns,
                                                   bool dispose) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!keyed_ && dispose && enabled_ && !closed_ && QV_FAULT(keyless_dispose_acts)) (void)wire_.dispose({}, ts_ns);
  if (!keyed_) return RETCODE_ILLEGAL_OPERATION;
  if (closed_) return RETCODE_ALREADY_DELETED;
  if (!enabled_) return RETCODE_NOT_ENABLED;
  wire::KeyHash key;
  ReturnCode_t rc = resolve(data, handle, key, nullptr);
  // Fault: refused for the handle of another instance, it still acts on that instance.
  if (rc == RETCODE_PRECONDITION_NOT_MET && QV_FAULT(foreign_handle_acts)) {
    const wire::KeyHash named = wire::key_of_handle(handle);
    (void)(dispose ? wire_.dispose(named, ts_ns) : wire_.unregister(named, ts_ns));
  }
  if (rc != RETCODE_OK) return rc;
  auto it = instances_.find(key);
  if (it == instances_.end() && !dispose) return RETCODE_PRECONDITION_NOT_MET;  // never registered
  // Fault: a keyed dispose reports success without sending anything.
  if (dispose && QV_FAULT(keyed_dispose_silent)) return RETCODE_OK;
  dds_return_t drc = dispose ? wire_.dispose(key, ts_ns) : wire_.unregister(key, ts_ns);
  if (drc != DDS_RETCODE_OK) return wire::to_retcode(drc);
  if (!dispose && it != instances_.end()) {
    unacked_total_ -= it->second.unacked;
    instances_.erase(it);
  }
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::unregister_instance(const void* instance, const InstanceHandle_t& handle) {
  return unregister_or_dispose(instance, handle, dds_time(), false);
}
ReturnCode_t DataWriterImpl::unregister_instance_w_timestamp(const void* instance, const InstanceHandle_t& handle,
                                                             const Time& timestamp) {
  if (!is_valid(timestamp)) return RETCODE_BAD_PARAMETER;
  if (QV_FAULT(untimed_dispose_stale_timestamp)) last_given_ts_ns_ = to_ns(timestamp);
  return unregister_or_dispose(instance, handle, to_ns(timestamp), false);
}
ReturnCode_t DataWriterImpl::dispose(const void* data, const InstanceHandle_t& handle) {
  // Fault: an untimed dispose reuses the last timestamp the caller gave.
  if (QV_FAULT(untimed_dispose_stale_timestamp) && last_given_ts_ns_ != 0)
    return unregister_or_dispose(data, handle, last_given_ts_ns_, true);
  return unregister_or_dispose(data, handle, dds_time(), true);
}
ReturnCode_t DataWriterImpl::dispose_w_timestamp(const void* data, const InstanceHandle_t& handle,
                                                 const Time& timestamp) {
  if (!is_valid(timestamp)) return RETCODE_BAD_PARAMETER;
  if (QV_FAULT(untimed_dispose_stale_timestamp)) last_given_ts_ns_ = to_ns(timestamp);
  return unregister_or_dispose(data, handle, to_ns(timestamp), true);
}

ReturnCode_t DataWriterImpl::wait_for_acknowledgments(const Duration_t& max_wait) {
  if (!is_valid(max_wait)) return RETCODE_BAD_PARAMETER;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!enabled_) return RETCODE_NOT_ENABLED;
  }
  dds_return_t rc = wire_.wait_for_acks(to_ns(max_wait));
  return rc == DDS_RETCODE_OK ? RETCODE_OK : rc == DDS_RETCODE_TIMEOUT ? RETCODE_TIMEOUT : wire::to_retcode(rc);
}

// ---------------------------------------------------------------- deadline

void DataWriterImpl::schedule_deadline_locked(Clock::time_point due) {
  deadline_timer_.arm(owner_, due, [this] { on_deadline_timer(); });
}

void DataWriterImpl::on_deadline_timer() {
  DeadlineMisses d;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    deadline_timer_.fired();
    if (!enabled_ || closed_ || is_infinite(qos_.deadline.period)) return;
    d = check_deadlines(instances_, to_chrono(qos_.deadline.period), [](const Instance&) { return true; });
    if (d.next != Clock::time_point::max()) schedule_deadline_locked(d.next);
  }
  if (d.missed == 0) return;
  statuses_.raise(OFFERED_DEADLINE_MISSED_STATUS, deadline_missed_, &DataWriterListener::on_offered_deadline_missed,
                  [&](OfferedDeadlineMissedStatus& s) { count_deadline_misses(s, d); });
}

// -------------------------------------------------------------- liveliness

ReturnCode_t DataWriterImpl::renew_liveliness(bool wrote) {
  if (qos_.liveliness.kind == MANUAL_BY_PARTICIPANT_LIVELINESS_QOS)
    return assert_participant_liveliness(participant_wire_, wrote ? this : nullptr);
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_ || closed_ || qos_.liveliness.kind == AUTOMATIC_LIVELINESS_QOS) return RETCODE_OK;
  // Fault: a manual-by-topic assertion renews only this side's own lease.
  if (!wrote && !is_infinite(qos_.liveliness.lease_duration) && !QV_FAULT(topic_assert_local_only)) {
    const dds_return_t rc = wire_.assert_liveliness();
    if (rc != DDS_RETCODE_OK) return wire::to_retcode(rc);
  }
  alive_ = true;
  last_assert_ = Clock::now();
  if (lease_timer_ == 0 && !is_infinite(qos_.liveliness.lease_duration)) {
    auto at = last_assert_ + to_chrono(qos_.liveliness.lease_duration);
    lease_timer_ = wire::Runtime::instance().schedule(owner_, at, [this] { on_lease_timer(); });
  }
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::assert_participant_liveliness(wire::ParticipantWire* participant,
                                                           DataWriterImpl* wrote) {
  std::vector<DataWriterImpl*> writers;
  dds_return_t rc = DDS_RETCODE_OK;
  // Fault: the participant's assertion renews only this side's own leases.
  const bool local_only = QV_FAULT(participant_assert_local_only);
  {
    std::lock_guard<std::mutex> g(mbp_mutex());
    auto range = mbp_writers().equal_range(participant);
    for (auto it = range.first; it != range.second; ++it) writers.push_back(it->second);
    // Renew under the registry lock so that none of them is closed meanwhile.
    const auto now = Clock::now();
    for (DataWriterImpl* w : writers) {
      std::lock_guard<std::mutex> lk(w->mtx_);
      if (!w->enabled_ || w->closed_) continue;
      // Each writer's readers hear of the assertion from that writer: one
      // whose lease ran out at a reader is alive there again only then.
      if (!local_only && w != wrote && !is_infinite(w->qos_.liveliness.lease_duration)) {
        const dds_return_t wrc = w->wire_.assert_liveliness();
        if (rc == DDS_RETCODE_OK) rc = wrc;
      }
      w->alive_ = true;
      w->last_assert_ = now;
      if (w->lease_timer_ == 0 && !is_infinite(w->qos_.liveliness.lease_duration)) {
        auto at = now + to_chrono(w->qos_.liveliness.lease_duration);
        w->lease_timer_ = wire::Runtime::instance().schedule(w->owner_, at, [w] { w->on_lease_timer(); });
      }
    }
  }
  if (participant && !local_only) {
    const dds_return_t prc = participant->assert_liveliness();
    if (rc == DDS_RETCODE_OK) rc = prc;
  }
  return wire::to_retcode(rc);
}

void DataWriterImpl::on_lease_timer() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    lease_timer_ = 0;
    if (!enabled_ || closed_ || !alive_) return;
    const auto lease = to_chrono(qos_.liveliness.lease_duration);
    const auto expiry = last_assert_ + lease;
    if (Clock::now() < expiry) {
      lease_timer_ = wire::Runtime::instance().schedule(owner_, expiry, [this] { on_lease_timer(); });
      return;
    }
    alive_ = false;  // counted once per alive -> not alive transition
  }
  statuses_.raise(LIVELINESS_LOST_STATUS, liveliness_lost_, &DataWriterListener::on_liveliness_lost,
                  [](LivelinessLostStatus& s) {
                    ++s.total_count;
                    ++s.total_count_change;
                  });
}

ReturnCode_t DataWriterImpl::assert_liveliness() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (closed_) return RETCODE_ALREADY_DELETED;
    if (!enabled_) return RETCODE_NOT_ENABLED;
  }
  return renew_liveliness(false);
}

// ---------------------------------------------------------------- statuses

void DataWriterImpl::on_match_changed() {
  // Cyclone thread: the event thread looks at the matches.
  apply_matches_after(0, owner_, wire_, statuses_, PUBLICATION_MATCHED_STATUS, matched_,
                      &DataWriterListener::on_publication_matched,
                      [this](const wire::IncompatibleEvent& e) { apply_incompatible(e); });
}

void DataWriterImpl::on_incompatible(const wire::IncompatibleEvent& e) {
  wire::Runtime::instance().post(owner_, [this, e] { apply_incompatible(e); });
}

void DataWriterImpl::apply_incompatible(const wire::IncompatibleEvent& e) {
  wire::IncompatibleEvent event = e;
  if (QV_FAULT(offered_policy_id_durability)) event.policy_id = DURABILITY_QOS_POLICY_ID;
  // Fault: the writer's incompatibility counted without naming its policy.
  if (QV_FAULT(writer_incompatible_policy_unnamed)) event.policy_id = 0;
  statuses_.raise(OFFERED_INCOMPATIBLE_QOS_STATUS, incompatible_, &DataWriterListener::on_offered_incompatible_qos,
                  [&](OfferedIncompatibleQosStatus& s) { count_incompatible(s, event); });
}

ReturnCode_t DataWriterImpl::get_liveliness_lost_status(LivelinessLostStatus& status) {
  return statuses_.read(LIVELINESS_LOST_STATUS, liveliness_lost_, status);
}

ReturnCode_t DataWriterImpl::get_offered_deadline_missed_status(OfferedDeadlineMissedStatus& status) {
  return statuses_.read(OFFERED_DEADLINE_MISSED_STATUS, deadline_missed_, status);
}

ReturnCode_t DataWriterImpl::get_offered_incompatible_qos_status(OfferedIncompatibleQosStatus& status) {
  return statuses_.read(OFFERED_INCOMPATIBLE_QOS_STATUS, incompatible_, status);
}

ReturnCode_t DataWriterImpl::get_publication_matched_status(PublicationMatchedStatus& status) {
  return statuses_.read(PUBLICATION_MATCHED_STATUS, matched_, status);
}

ReturnCode_t DataWriterImpl::set_listener(DataWriterListener* listener, StatusMask mask) {
  statuses_.set_listener(listener, mask);
  return RETCODE_OK;
}

DataWriterListener* DataWriterImpl::get_listener() { return statuses_.listener(); }

// ----------------------------------------------------------------- matching

ReturnCode_t DataWriterImpl::get_matched_subscriptions(InstanceHandleSeq& handles) {
  handles.clear();
  std::lock_guard<std::mutex> lk(mtx_);
  if (enabled_) append_matched_handles(wire_, handles);
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::get_matched_subscription_data(SubscriptionBuiltinTopicData& data,
                                                           const InstanceHandle_t& handle) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_) return RETCODE_BAD_PARAMETER;
  return copy_matched_data(wire_, *participant_wire_, handle, data);
}

// --------------------------------------------------------------------- QoS

ReturnCode_t DataWriterImpl::set_qos(const DataWriterQos& requested) {
  // The default object stands for the publisher's current default.
  DataWriterQos qos = requested;
  if (&requested == &DATAWRITER_QOS_DEFAULT) publisher_->get_default_datawriter_qos(qos);
  return change_qos(qos, [&](const DataWriterQos& old) {
    // The lifespan travels with each sample written from now on.
    if (old.lifespan != qos.lifespan) wire_.set_lifespan(to_ns(qos.lifespan.duration));
    // A new deadline period re-arms the clock of every instance the writer
    // has (each was registered or written, or is the one instance of a
    // keyless type), also of those written while the period was infinite.
    if (old.deadline.period != qos.deadline.period) {
      deadline_timer_.cancel();
      if (auto due = restart_deadlines(instances_, qos.deadline.period)) schedule_deadline_locked(*due);
    }
    return RETCODE_OK;
  });
}

}  // namespace QUORVELA::detail
