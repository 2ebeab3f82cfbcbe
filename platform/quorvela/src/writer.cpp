#include "writer.h"

#include <algorithm>
#include <set>

#include "qos_rules.h"
#include "wire/codec.h"
#include "wire/runtime.h"
#include "xml/profiles.h"

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

std::chrono::nanoseconds ns(int64_t v) { return std::chrono::nanoseconds(v); }

void add_policy(QosPolicyCountSeq& seq, QosPolicyId_t id, int32_t n) {
  for (auto& p : seq)
    if (p.policy_id == id) {
      p.count += n;
      return;
    }
  seq.push_back(QosPolicyCount{id, n});
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
    : publisher_(publisher),
      topic_(topic),
      ts_(topic->type_support()),
      keyed_(topic->keyed()),
      participant_wire_(&publisher->participant_impl()->wire()),
      owner_(wire::Runtime::instance().new_owner()),
      qos_(qos),
      handle_(publisher->participant_impl()->mint_handle(kEntityKindWriter)),
      listener_(listener),
      mask_(mask),
      status_condition_(this, [this] { return get_status_changes(); }) {}

DataWriterImpl::~DataWriterImpl() { close(); }

// ------------------------------------------------------------- lifecycle

ReturnCode_t DataWriterImpl::enable() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (closed_) return RETCODE_ALREADY_DELETED;
    if (enabled_) return RETCODE_OK;
  }
  if (!publisher_->is_enabled() || !participant_wire_->created()) return RETCODE_PRECONDITION_NOT_MET;
  std::unique_lock<std::mutex> lk(mtx_);
  if (enabled_) return RETCODE_OK;
  ReturnCode_t rc = create_wire_locked();
  if (rc != RETCODE_OK) return rc;
  enabled_ = true;
  if (!keyed_) {
    // The one instance of a keyless type exists from the start, and so does
    // its deadline clock.
    bool refused = false;
    Instance* inst = add_instance_locked(wire::KeyHash{}, {}, refused);
    if (inst && !is_infinite(qos_.deadline.period)) {
      inst->deadline_due = Clock::now() + ns(wire::to_ns(qos_.deadline.period));
      schedule_deadline_locked(inst->deadline_due);
    }
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
  wire::EndpointQos eq = wire::endpoint_qos(qos_, pq, tq);
  dds_entity_t t = participant_wire_->topic(topic_->name(), topic_->type_name(), keyed_, tq.topic_data.value);
  if (t < 0) return wire::to_retcode(t);
  wire::WriterEvents ev;
  ev.match_changed = [this] { on_match_changed(); };
  ev.incompatible = [this](const wire::IncompatibleEvent& e) { on_incompatible(e); };
  dds_return_t rc = wire_.create(participant_wire_->entity(), t, keyed_, eq, std::move(ev));
  if (rc != DDS_RETCODE_OK) return wire::to_retcode(rc);
  handle_ = handle_from_guid(wire_.guid());
  return RETCODE_OK;
}

void DataWriterImpl::publisher_qos_changed() {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_ || closed_) return;
  PublisherQos pq = publisher_->qos();
  dds_entity_t pub = dds_get_parent(wire_.entity());
  dds_qos_t* cur = dds_create_qos();
  bool same_partition = false;
  if (dds_get_qos(pub, cur) == DDS_RETCODE_OK) {
    uint32_t n = 0;
    char** names = nullptr;
    std::vector<std::string> have;
    if (dds_qget_partition(cur, &n, &names)) {
      for (uint32_t i = 0; i < n; ++i) {
        have.emplace_back(names[i]);
        dds_free(names[i]);
      }
      dds_free(names);
    }
    same_partition = have == pq.partition.name;
  }
  dds_delete_qos(cur);
  if (same_partition) {
    dds_qos_t* q = dds_create_qos();
    const auto& gd = pq.group_data.value;
    dds_qset_groupdata(q, gd.empty() ? nullptr : gd.data(), gd.size());
    dds_return_t rc = dds_set_qos(pub, q);
    dds_delete_qos(q);
    if (rc == DDS_RETCODE_OK) return;
  }
  // Cyclone cannot change a publisher's partition: make the writer again.
  wire_.destroy();
  create_wire_locked();
}

void DataWriterImpl::topic_qos_changed() {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_ || closed_) return;
  TopicQos tq = topic_->qos();
  participant_wire_->set_topic_data(topic_->name(), topic_->type_name(), keyed_, tq.topic_data.value);
}

void DataWriterImpl::close() {
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
  deadline_timer_ = lease_timer_ = 0;
}

bool DataWriterImpl::is_enabled() {
  std::lock_guard<std::mutex> lk(mtx_);
  return enabled_;
}

InstanceHandle_t DataWriterImpl::get_instance_handle() {
  std::lock_guard<std::mutex> lk(mtx_);
  return handle_;
}

StatusMask DataWriterImpl::get_status_changes() {
  std::lock_guard<std::recursive_mutex> lk(status_mtx_);
  return changes_;
}

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
  return register_instance_w_timestamp(instance, wire::to_time(dds_time()));
}

InstanceHandle_t DataWriterImpl::register_instance_w_timestamp(const void* instance, const Time& timestamp) {
  (void)timestamp;  // registration sends nothing; the timestamp has no effect here
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
    inst->deadline_due = Clock::now() + ns(wire::to_ns(qos_.deadline.period));
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
  return write_locked(data, handle, wire::to_ns(timestamp));
}

ReturnCode_t DataWriterImpl::make_room_locked(std::unique_lock<std::mutex>& lk, Instance* inst) {
  if (qos_.history.kind != KEEP_ALL_HISTORY_QOS) return RETCODE_OK;  // keep last never blocks
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
  const int64_t block = wire::to_ns(qos_.reliability.max_blocking_time);
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
  std::vector<uint8_t> payload;
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
  dds_return_t drc = wire_.write(key, payload.data(), payload.size(), ts_ns);
  if (drc != DDS_RETCODE_OK) return wire::to_retcode(drc);
  if (qos_.history.kind == KEEP_ALL_HISTORY_QOS) {
    ++unacked_total_;
    ++inst->unacked;
  }
  if (!is_infinite(qos_.deadline.period)) {
    inst->deadline_due = Clock::now() + ns(wire::to_ns(qos_.deadline.period));
    if (!known || deadline_timer_ == 0) schedule_deadline_locked(inst->deadline_due);
  }
  const bool manual = qos_.liveliness.kind != AUTOMATIC_LIVELINESS_QOS;
  lk.unlock();
  if (manual) renew_liveliness();
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::unregister_or_dispose(const void* data, const InstanceHandle_t& handle, int64_t ts_ns,
                                                   bool dispose) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!keyed_) return RETCODE_ILLEGAL_OPERATION;
  if (closed_) return RETCODE_ALREADY_DELETED;
  if (!enabled_) return RETCODE_NOT_ENABLED;
  wire::KeyHash key;
  ReturnCode_t rc = resolve(data, handle, key, nullptr);
  if (rc != RETCODE_OK) return rc;
  auto it = instances_.find(key);
  if (it == instances_.end() && !dispose) return RETCODE_PRECONDITION_NOT_MET;  // never registered
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
  return unregister_or_dispose(instance, handle, wire::to_ns(timestamp), false);
}
ReturnCode_t DataWriterImpl::dispose(const void* data, const InstanceHandle_t& handle) {
  return unregister_or_dispose(data, handle, dds_time(), true);
}
ReturnCode_t DataWriterImpl::dispose_w_timestamp(const void* data, const InstanceHandle_t& handle,
                                                 const Time& timestamp) {
  return unregister_or_dispose(data, handle, wire::to_ns(timestamp), true);
}

ReturnCode_t DataWriterImpl::wait_for_acknowledgments(const Duration_t& max_wait) {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!enabled_) return RETCODE_NOT_ENABLED;
  }
  dds_return_t rc = wire_.wait_for_acks(wire::to_ns(max_wait));
  return rc == DDS_RETCODE_OK ? RETCODE_OK : rc == DDS_RETCODE_TIMEOUT ? RETCODE_TIMEOUT : wire::to_retcode(rc);
}

// ---------------------------------------------------------------- deadline

void DataWriterImpl::schedule_deadline_locked(Clock::time_point due) {
  if (deadline_timer_ != 0 && deadline_timer_at_ <= due) return;
  auto& rt = wire::Runtime::instance();
  if (deadline_timer_ != 0) rt.cancel(deadline_timer_);
  deadline_timer_at_ = due;
  deadline_timer_ = rt.schedule(owner_, due, [this] { on_deadline_timer(); });
}

void DataWriterImpl::on_deadline_timer() {
  int32_t missed = 0;
  InstanceHandle_t last;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    deadline_timer_ = 0;
    if (!enabled_ || closed_ || is_infinite(qos_.deadline.period)) return;
    const auto period = ns(wire::to_ns(qos_.deadline.period));
    const auto now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (auto& [k, inst] : instances_) {
      if (inst.deadline_due == Clock::time_point{}) continue;
      while (inst.deadline_due <= now) {  // one miss per elapsed period
        ++missed;
        last = inst.handle;
        inst.deadline_due += period;
      }
      next = std::min(next, inst.deadline_due);
    }
    if (next != Clock::time_point::max()) schedule_deadline_locked(next);
  }
  if (missed == 0) return;
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  deadline_missed_.total_count += missed;
  deadline_missed_.total_count_change += missed;
  deadline_missed_.last_instance_handle = last;
  DataWriterListener* l = nullptr;
  if (listener_for(OFFERED_DEADLINE_MISSED_STATUS, l)) {
    l->on_offered_deadline_missed(this, deadline_missed_);
    deadline_missed_.total_count_change = 0;
  } else {
    notify_status(OFFERED_DEADLINE_MISSED_STATUS);
  }
}

// -------------------------------------------------------------- liveliness

void DataWriterImpl::renew_liveliness() {
  if (qos_.liveliness.kind == MANUAL_BY_PARTICIPANT_LIVELINESS_QOS) {
    assert_participant_liveliness(participant_wire_);
    return;
  }
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_ || closed_) return;
  wire_.assert_liveliness();
  if (qos_.liveliness.kind == AUTOMATIC_LIVELINESS_QOS) return;
  alive_ = true;
  last_assert_ = Clock::now();
  if (lease_timer_ == 0 && !is_infinite(qos_.liveliness.lease_duration)) {
    auto at = last_assert_ + ns(wire::to_ns(qos_.liveliness.lease_duration));
    lease_timer_ = wire::Runtime::instance().schedule(owner_, at, [this] { on_lease_timer(); });
  }
}

void DataWriterImpl::assert_participant_liveliness(wire::ParticipantWire* participant) {
  std::vector<DataWriterImpl*> writers;
  {
    std::lock_guard<std::mutex> g(mbp_mutex());
    auto range = mbp_writers().equal_range(participant);
    for (auto it = range.first; it != range.second; ++it) writers.push_back(it->second);
    // Renew under the registry lock so that none of them is closed meanwhile.
    const auto now = Clock::now();
    for (DataWriterImpl* w : writers) {
      std::lock_guard<std::mutex> lk(w->mtx_);
      if (!w->enabled_ || w->closed_) continue;
      w->alive_ = true;
      w->last_assert_ = now;
      if (w->lease_timer_ == 0 && !is_infinite(w->qos_.liveliness.lease_duration)) {
        auto at = now + ns(wire::to_ns(w->qos_.liveliness.lease_duration));
        w->lease_timer_ = wire::Runtime::instance().schedule(w->owner_, at, [w] { w->on_lease_timer(); });
      }
    }
  }
  if (participant) participant->assert_liveliness();
}

void DataWriterImpl::on_lease_timer() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    lease_timer_ = 0;
    if (!enabled_ || closed_ || !alive_) return;
    const auto lease = ns(wire::to_ns(qos_.liveliness.lease_duration));
    const auto expiry = last_assert_ + lease;
    if (Clock::now() < expiry) {
      lease_timer_ = wire::Runtime::instance().schedule(owner_, expiry, [this] { on_lease_timer(); });
      return;
    }
    alive_ = false;  // counted once per alive -> not alive transition
  }
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  ++liveliness_lost_.total_count;
  ++liveliness_lost_.total_count_change;
  DataWriterListener* l = nullptr;
  if (listener_for(LIVELINESS_LOST_STATUS, l)) {
    l->on_liveliness_lost(this, liveliness_lost_);
    liveliness_lost_.total_count_change = 0;
  } else {
    notify_status(LIVELINESS_LOST_STATUS);
  }
}

ReturnCode_t DataWriterImpl::assert_liveliness() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (closed_) return RETCODE_ALREADY_DELETED;
    if (!enabled_) return RETCODE_NOT_ENABLED;
  }
  renew_liveliness();
  return RETCODE_OK;
}

// ---------------------------------------------------------------- statuses

bool DataWriterImpl::listener_for(StatusMask bit, DataWriterListener*& l) {
  if (listener_ != nullptr && (mask_ & bit) != 0) {
    l = listener_;
    return true;
  }
  return false;
}

void DataWriterImpl::notify_status(StatusMask bit) {
  changes_ |= bit;
  status_condition_.notify();
}

void DataWriterImpl::on_match_changed() {
  // Cyclone thread: the event thread looks at the matches once they settled;
  // there the update, the listener call and the reset form one step.
  wire::Runtime::instance().schedule(owner_, Clock::now() + ns(wire::kMatchSettleNs), [this] {
    const wire::MatchDelta m = wire_.refresh_matches();
    if (m.refused > 0) apply_incompatible(wire::IncompatibleEvent{m.refused, DURABILITY_QOS_POLICY_ID});
    if (m.total_change == 0 && m.current_change == 0) return;
    std::lock_guard<std::recursive_mutex> sl(status_mtx_);
    matched_.total_count += m.total_change;
    matched_.total_count_change += m.total_change;
    matched_.current_count += m.current_change;
    matched_.current_count_change += m.current_change;
    if (!m.last.is_nil()) matched_.last_subscription_handle = handle_from_guid(m.last);
    DataWriterListener* l = nullptr;
    if (listener_for(PUBLICATION_MATCHED_STATUS, l)) {
      l->on_publication_matched(this, matched_);
      matched_.total_count_change = 0;
      matched_.current_count_change = 0;
    } else {
      notify_status(PUBLICATION_MATCHED_STATUS);
    }
  });
}

void DataWriterImpl::on_incompatible(const wire::IncompatibleEvent& e) {
  wire::Runtime::instance().post(owner_, [this, e] { apply_incompatible(e); });
}

void DataWriterImpl::apply_incompatible(const wire::IncompatibleEvent& e) {
  {
    std::lock_guard<std::recursive_mutex> sl(status_mtx_);
    incompatible_.total_count += e.change;
    incompatible_.total_count_change += e.change;
    incompatible_.last_policy_id = static_cast<QosPolicyId_t>(e.policy_id);
    add_policy(incompatible_.policies, incompatible_.last_policy_id, e.change);
    DataWriterListener* l = nullptr;
    if (listener_for(OFFERED_INCOMPATIBLE_QOS_STATUS, l)) {
      l->on_offered_incompatible_qos(this, incompatible_);
      incompatible_.total_count_change = 0;
    } else {
      notify_status(OFFERED_INCOMPATIBLE_QOS_STATUS);
    }
  }
}

ReturnCode_t DataWriterImpl::get_liveliness_lost_status(LivelinessLostStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = liveliness_lost_;
  liveliness_lost_.total_count_change = 0;
  changes_ &= ~LIVELINESS_LOST_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::get_offered_deadline_missed_status(OfferedDeadlineMissedStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = deadline_missed_;
  deadline_missed_.total_count_change = 0;
  changes_ &= ~OFFERED_DEADLINE_MISSED_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::get_offered_incompatible_qos_status(OfferedIncompatibleQosStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = incompatible_;
  incompatible_.total_count_change = 0;
  changes_ &= ~OFFERED_INCOMPATIBLE_QOS_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::get_publication_matched_status(PublicationMatchedStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = matched_;
  matched_.total_count_change = 0;
  matched_.current_count_change = 0;
  changes_ &= ~PUBLICATION_MATCHED_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::set_listener(DataWriterListener* listener, StatusMask mask) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  listener_ = listener;
  mask_ = mask;
  return RETCODE_OK;
}

DataWriterListener* DataWriterImpl::get_listener() {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  return listener_;
}

// ----------------------------------------------------------------- matching

ReturnCode_t DataWriterImpl::get_matched_subscriptions(InstanceHandleSeq& handles) {
  handles.clear();
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_) return RETCODE_OK;
  std::set<wire::Guid> seen;
  for (const wire::Guid& g : wire_.matched())
    if (seen.insert(g).second) handles.push_back(handle_from_guid(g));
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::get_matched_subscription_data(SubscriptionBuiltinTopicData& data,
                                                           const InstanceHandle_t& handle) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_) return RETCODE_BAD_PARAMETER;
  wire::EndpointData ed;
  if (!wire_.matched_data(guid_from_handle(handle), ed)) return RETCODE_BAD_PARAMETER;
  data = SubscriptionBuiltinTopicData{};
  std::copy(ed.guid.v.begin(), ed.guid.v.end(), data.key.value);
  std::copy(ed.participant.v.begin(), ed.participant.v.end(), data.participant_key.value);
  data.topic_name = ed.topic_name;
  data.type_name = ed.type_name;
  data.user_data.value = ed.user_data;
  data.group_data.value = ed.group_data;
  data.topic_data.value = ed.topic_data;
  data.durability.kind = ed.durability;
  data.reliability.kind = ed.reliability;
  data.ownership.kind = ed.ownership;
  data.liveliness.kind = ed.liveliness;
  data.liveliness.lease_duration = wire::to_duration(ed.lease_ns);
  data.deadline.period = wire::to_duration(ed.deadline_ns);
  data.destination_order.kind = ed.destination_order;
  data.partition.name = ed.partitions;
  return RETCODE_OK;
}

// --------------------------------------------------------------------- QoS

ReturnCode_t DataWriterImpl::get_qos(DataWriterQos& qos) {
  std::lock_guard<std::mutex> lk(mtx_);
  qos = qos_;
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::set_qos(const DataWriterQos& qos) {
  ReturnCode_t rc = check_qos(qos);
  if (rc != RETCODE_OK) return rc;
  std::lock_guard<std::mutex> lk(mtx_);
  if (closed_) return RETCODE_ALREADY_DELETED;
  if (!enabled_) {
    qos_ = qos;
    return RETCODE_OK;
  }
  rc = check_changeable(qos_, qos);
  if (rc != RETCODE_OK) return rc;
  const DataWriterQos old = qos_;
  qos_ = qos;
  // Announced policies Cyclone can change in place.
  dds_qos_t* q = dds_create_qos();
  bool any = false;
  if (old.user_data.value != qos.user_data.value) {
    const auto& v = qos.user_data.value;
    dds_qset_userdata(q, v.empty() ? nullptr : v.data(), v.size());
    any = true;
  }
  if (old.ownership_strength.value != qos.ownership_strength.value) {
    dds_qset_ownership_strength(q, qos.ownership_strength.value);
    any = true;
  }
  if (any) dds_set_qos(wire_.entity(), q);
  dds_delete_qos(q);
  // Deadline, latency budget and lifespan are this library's own business
  // from here on: a new deadline period re-arms every instance's clock.
  if (old.deadline.period != qos.deadline.period) {
    if (deadline_timer_ != 0) wire::Runtime::instance().cancel(deadline_timer_);
    deadline_timer_ = 0;
    if (!is_infinite(qos.deadline.period)) {
      const auto due = Clock::now() + ns(wire::to_ns(qos.deadline.period));
      for (auto& [k, inst] : instances_)
        if (inst.deadline_due != Clock::time_point{} || !keyed_) inst.deadline_due = due;
      if (!instances_.empty()) schedule_deadline_locked(due);
    }
  }
  return RETCODE_OK;
}

ReturnCode_t DataWriterImpl::set_qos_with_profile(const char* library_name, const char* profile_name,
                                                  const char* qos_name) {
  DataWriterQos q;
  ReturnCode_t rc = profiles::find(library_name, profile_name, qos_name, q);
  if (rc != RETCODE_OK) return rc;
  return set_qos(q);
}

}  // namespace QUORVELA::detail
