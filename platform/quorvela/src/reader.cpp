#include "reader.h"

#include <algorithm>
#include <set>

#include "conditions/condition_impl.h"
#include "filter/filter.h"
#include "qos_rules.h"
#include "wire/codec.h"
#include "wire/runtime.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

namespace {

constexpr uint8_t kEntityKindReader = 0x04;

std::chrono::nanoseconds ns(int64_t v) { return std::chrono::nanoseconds(v); }

InstanceStateKind from_cyclone_state(uint32_t ist) {
  if (ist & DDS_IST_NOT_ALIVE_DISPOSED) return NOT_ALIVE_DISPOSED_INSTANCE_STATE;
  if (ist & DDS_IST_NOT_ALIVE_NO_WRITERS) return NOT_ALIVE_NO_WRITERS_INSTANCE_STATE;
  return ALIVE_INSTANCE_STATE;
}

void add_policy(QosPolicyCountSeq& seq, QosPolicyId_t id, int32_t n) {
  for (auto& p : seq)
    if (p.policy_id == id) {
      p.count += n;
      return;
    }
  seq.push_back(QosPolicyCount{id, n});
}

void delete_sample_info(void* e, void*) { delete static_cast<SampleInfo*>(e); }
void delete_user_sample(void* e, void* ctx) { static_cast<TypeSupport*>(ctx)->delete_data(e); }

}  // namespace

// ------------------------------------------------------------- conditions

class ReaderConditionBase {
 public:
  ReaderConditionBase(DataReaderImpl* r, SampleStateMask s, ViewStateMask v, InstanceStateMask i)
      : reader(r), sample_states(s), view_states(v), instance_states(i) {}
  virtual ~ReaderConditionBase() = default;
  virtual ReadCondition* self() = 0;
  virtual const ContentFilter* query() const { return nullptr; }
  bool triggered() { return reader->has_matching(sample_states, view_states, instance_states, query()); }

  DataReaderImpl* reader;
  SampleStateMask sample_states;
  ViewStateMask view_states;
  InstanceStateMask instance_states;
};

namespace {

class ReadConditionImpl final : public ReadCondition, public ReaderConditionBase {
 public:
  using ReaderConditionBase::ReaderConditionBase;
  ~ReadConditionImpl() override { unlink_condition(*this); }
  ReadCondition* self() override { return this; }
  bool get_trigger_value() override { return triggered(); }
  SampleStateMask get_sample_state_mask() override { return sample_states; }
  ViewStateMask get_view_state_mask() override { return view_states; }
  InstanceStateMask get_instance_state_mask() override { return instance_states; }
  DataReader* get_datareader() override { return reader; }
};

class QueryConditionImpl final : public QueryCondition, public ReaderConditionBase {
 public:
  QueryConditionImpl(DataReaderImpl* r, SampleStateMask s, ViewStateMask v, InstanceStateMask i,
                     std::unique_ptr<ContentFilter> f)
      : ReaderConditionBase(r, s, v, i), filter_(std::move(f)) {}
  ~QueryConditionImpl() override { unlink_condition(*this); }
  ReadCondition* self() override { return this; }
  const ContentFilter* query() const override { return filter_.get(); }
  bool get_trigger_value() override { return triggered(); }
  SampleStateMask get_sample_state_mask() override { return sample_states; }
  ViewStateMask get_view_state_mask() override { return view_states; }
  InstanceStateMask get_instance_state_mask() override { return instance_states; }
  DataReader* get_datareader() override { return reader; }
  std::string get_query_expression() override { return filter_->expression(); }
  ReturnCode_t get_query_parameters(StringSeq& parameters) override {
    parameters = filter_->parameters();
    return RETCODE_OK;
  }
  ReturnCode_t set_query_parameters(const StringSeq& parameters) override {
    if (!filter_->set_parameters(parameters, nullptr)) return RETCODE_BAD_PARAMETER;
    notify_condition(*this);
    return RETCODE_OK;
  }

 private:
  std::unique_ptr<ContentFilter> filter_;
};

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
    : subscriber_(subscriber),
      topic_(topic.topic),
      cft_(topic.cft),
      filter_(topic.cft ? topic.cft->filter() : nullptr),
      ts_(topic.topic->type_support()),
      keyed_(topic.topic->keyed()),
      participant_wire_(&subscriber->participant_impl()->wire()),
      owner_(wire::Runtime::instance().new_owner()),
      qos_(qos),
      handle_(subscriber->participant_impl()->mint_handle(kEntityKindReader)),
      listener_(listener),
      mask_(mask),
      status_condition_(this, [this] { return get_status_changes(); }) {}

DataReaderImpl::~DataReaderImpl() { close(); }

ReturnCode_t DataReaderImpl::enable() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (closed_) return RETCODE_ALREADY_DELETED;
    if (enabled_) return RETCODE_OK;
  }
  if (!subscriber_->is_enabled() || !participant_wire_->created()) return RETCODE_PRECONDITION_NOT_MET;
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
  wire::EndpointQos eq = wire::endpoint_qos(rq, sq, tq);
  dds_entity_t t = participant_wire_->topic(topic_->name(), topic_->type_name(), keyed_, tq.topic_data.value);
  if (t < 0) return wire::to_retcode(t);
  wire::ReaderEvents ev;
  ev.data_available = [this] { on_data(); };
  ev.match_changed = [this] {
    wire::Runtime::instance().schedule(owner_, Clock::now() + ns(wire::kMatchSettleNs), [this] {
      const wire::MatchDelta m = wire_.refresh_matches();
      if (m.refused > 0) apply_incompatible(wire::IncompatibleEvent{m.refused, DURABILITY_QOS_POLICY_ID});
      if (m.total_change == 0 && m.current_change == 0) return;
      std::lock_guard<std::recursive_mutex> sl(status_mtx_);
      matched_.total_count += m.total_change;
      matched_.total_count_change += m.total_change;
      matched_.current_count += m.current_change;
      matched_.current_count_change += m.current_change;
      if (!m.last.is_nil()) matched_.last_publication_handle = handle_from_guid(m.last);
      DataReaderListener* l = nullptr;
      if (listener_for(SUBSCRIPTION_MATCHED_STATUS, l)) {
        l->on_subscription_matched(this, matched_);
        matched_.total_count_change = 0;
        matched_.current_count_change = 0;
      } else {
        notify_status(SUBSCRIPTION_MATCHED_STATUS);
      }
    });
  };
  ev.incompatible = [this](const wire::IncompatibleEvent& e) {
    wire::Runtime::instance().post(owner_, [this, e] { apply_incompatible(e); });
  };
  ev.liveliness = [this](const dds_liveliness_changed_status_t& st, const wire::Guid& last) {
    wire::Runtime::instance().post(owner_, [this, st, last] {
      std::lock_guard<std::recursive_mutex> sl(status_mtx_);
      liveliness_.alive_count = static_cast<int32_t>(st.alive_count);
      liveliness_.not_alive_count = static_cast<int32_t>(st.not_alive_count);
      liveliness_.alive_count_change += st.alive_count_change;
      liveliness_.not_alive_count_change += st.not_alive_count_change;
      if (!last.is_nil()) liveliness_.last_publication_handle = handle_from_guid(last);
      DataReaderListener* l = nullptr;
      if (listener_for(LIVELINESS_CHANGED_STATUS, l)) {
        l->on_liveliness_changed(this, liveliness_);
        liveliness_.alive_count_change = 0;
        liveliness_.not_alive_count_change = 0;
      } else {
        notify_status(LIVELINESS_CHANGED_STATUS);
      }
    });
  };
  ev.sample_lost = [this](const dds_sample_lost_status_t& st) {
    wire::Runtime::instance().post(owner_, [this, st] {
      std::lock_guard<std::recursive_mutex> sl(status_mtx_);
      lost_.total_count = static_cast<int32_t>(st.total_count);
      lost_.total_count_change += st.total_count_change;
      DataReaderListener* l = nullptr;
      if (listener_for(SAMPLE_LOST_STATUS, l)) {
        l->on_sample_lost(this, lost_);
        lost_.total_count_change = 0;
      } else {
        notify_status(SAMPLE_LOST_STATUS);
      }
    });
  };
  dds_return_t rc = wire_.create(participant_wire_->entity(), t, keyed_, eq, std::move(ev));
  if (rc != DDS_RETCODE_OK) return wire::to_retcode(rc);
  std::lock_guard<std::mutex> lk(mtx_);
  handle_ = handle_from_guid(wire_.guid());
  return RETCODE_OK;
}

void DataReaderImpl::apply_incompatible(const wire::IncompatibleEvent& e) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  incompatible_.total_count += e.change;
  incompatible_.total_count_change += e.change;
  incompatible_.last_policy_id = static_cast<QosPolicyId_t>(e.policy_id);
  add_policy(incompatible_.policies, incompatible_.last_policy_id, e.change);
  DataReaderListener* l = nullptr;
  if (listener_for(REQUESTED_INCOMPATIBLE_QOS_STATUS, l)) {
    l->on_requested_incompatible_qos(this, incompatible_);
    incompatible_.total_count_change = 0;
  } else {
    notify_status(REQUESTED_INCOMPATIBLE_QOS_STATUS);
  }
}

void DataReaderImpl::subscriber_qos_changed() {
  std::lock_guard<std::mutex> wl(wire_mtx_);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!enabled_ || closed_) return;
  }
  SubscriberQos sq = subscriber_->qos();
  dds_entity_t sub = dds_get_parent(wire_.entity());
  dds_qos_t* cur = dds_create_qos();
  bool same_partition = false;
  if (dds_get_qos(sub, cur) == DDS_RETCODE_OK) {
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
    same_partition = have == sq.partition.name;
  }
  dds_delete_qos(cur);
  if (same_partition) {
    dds_qos_t* q = dds_create_qos();
    const auto& gd = sq.group_data.value;
    dds_qset_groupdata(q, gd.empty() ? nullptr : gd.data(), gd.size());
    dds_return_t rc = dds_set_qos(sub, q);
    dds_delete_qos(q);
    if (rc == DDS_RETCODE_OK) return;
  }
  // Cyclone cannot change a subscriber's partition: make the reader again
  // (the cache is kept).
  wire_.destroy();
  create_wire();
}

void DataReaderImpl::topic_qos_changed() {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_ || closed_) return;
  TopicQos tq = topic_->qos();
  participant_wire_->set_topic_data(topic_->name(), topic_->type_name(), keyed_, tq.topic_data.value);
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
  std::vector<std::unique_ptr<ReaderConditionBase>> conds;
  {
    std::lock_guard<std::mutex> cl(cond_mtx_);
    conds.swap(conditions_);
  }
  conds.clear();
  std::lock_guard<std::mutex> lk(mtx_);
  enabled_ = false;
  deadline_timer_ = 0;
}

bool DataReaderImpl::is_enabled() {
  std::lock_guard<std::mutex> lk(mtx_);
  return enabled_;
}

InstanceHandle_t DataReaderImpl::get_instance_handle() {
  std::lock_guard<std::mutex> lk(mtx_);
  return handle_;
}

StatusMask DataReaderImpl::get_status_changes() {
  StatusMask m;
  {
    std::lock_guard<std::recursive_mutex> sl(status_mtx_);
    m = changes_;
  }
  std::lock_guard<std::mutex> lk(mtx_);
  for (auto& [k, inst] : instances_)
    for (auto& s : inst.samples)
      if (!s.read) return m | DATA_AVAILABLE_STATUS;
  return m;
}

TopicDescription* DataReaderImpl::get_topicdescription() {
  if (cft_ != nullptr) return cft_;
  return topic_;
}

// ----------------------------------------------------------------- arrival

int64_t DataReaderImpl::lifespan_of_locked(const wire::Guid& writer) {
  auto it = writer_lifespan_.find(writer);
  if (it != writer_lifespan_.end()) return it->second;
  wire::EndpointData ed;
  int64_t ls = DDS_INFINITY;
  if (!writer.is_nil() && wire_.matched_data(writer, ed)) {
    ls = ed.lifespan_ns;
    writer_lifespan_[writer] = ls;
  }
  return ls;
}

void DataReaderImpl::reject_locked(SampleRejectedStatusKind why, const InstanceHandle_t& h) {
  wire::Runtime::instance().post(owner_, [this, why, h] {
    std::lock_guard<std::recursive_mutex> sl(status_mtx_);
    ++rejected_.total_count;
    ++rejected_.total_count_change;
    rejected_.last_reason = why;
    rejected_.last_instance_handle = h;
    DataReaderListener* l = nullptr;
    if (listener_for(SAMPLE_REJECTED_STATUS, l)) {
      l->on_sample_rejected(this, rejected_);
      rejected_.total_count_change = 0;
    } else {
      notify_status(SAMPLE_REJECTED_STATUS);
    }
  });
}

void DataReaderImpl::ingest_locked(wire::WireSample& s, bool& accepted_any) {
  const wire::KeyHash key = keyed_ ? s.key : wire::KeyHash{};
  auto it = instances_.find(key);
  const InstanceHandle_t ih = keyed_ ? wire::instance_handle_of(key) : HANDLE_NIL;
  if (it == instances_.end()) {
    if (!s.valid) return;  // a state change of an instance we never had
    const int32_t max_instances = qos_.resource_limits.max_instances;
    if (max_instances > 0 && static_cast<int32_t>(instances_.size()) >= max_instances) {
      reject_locked(REJECTED_BY_INSTANCES_LIMIT, ih);
      return;
    }
    Instance inst;
    inst.handle = ih;
    it = instances_.emplace(key, std::move(inst)).first;
  }
  Instance& inst = it->second;
  const InstanceStateKind after = from_cyclone_state(s.instance_state);
  if (!s.valid) {
    if (inst.state == after || after == ALIVE_INSTANCE_STATE) return;
    inst.state = after;
    Sample marker;
    marker.seq = next_seq_++;
    marker.valid = false;
    marker.source_ts = s.source_ts_ns;
    marker.publication = handle_from_guid(s.publication);
    marker.disposed_gen = inst.disposed_gen;
    marker.no_writers_gen = inst.no_writers_gen;
    // One pending state-change marker per instance is enough.
    inst.samples.erase(std::remove_if(inst.samples.begin(), inst.samples.end(),
                                      [](const Sample& x) { return !x.valid && !x.read; }),
                       inst.samples.end());
    inst.samples.push_back(std::move(marker));
    accepted_any = true;
    return;
  }
  // Content filter of a filtered topic.
  if (filter_ && !filter_->matches(wire::cdr_bytes(s.payload), wire::cdr_size(s.payload),
                                   wire::cdr_little_endian(s.payload)))
    return;
  // Time-based filter, per instance, on source timestamps.
  const int64_t sep = wire::to_ns(qos_.time_based_filter.minimum_separation);
  if (sep > 0 && sep != DDS_INFINITY && inst.has_accepted && s.source_ts_ns - inst.last_accepted_ts < sep) return;
  if (sep == DDS_INFINITY && inst.has_accepted) return;
  // Resource limits (keep all) and history depth (keep last).
  int32_t valid_count = 0;
  for (auto& x : inst.samples)
    if (x.valid) ++valid_count;
  const auto& rl = qos_.resource_limits;
  if (qos_.history.kind == KEEP_ALL_HISTORY_QOS) {
    if (rl.max_samples_per_instance > 0 && valid_count >= rl.max_samples_per_instance) {
      reject_locked(REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT, ih);
      return;
    }
    if (rl.max_samples > 0 && total_samples_ >= rl.max_samples) {
      reject_locked(REJECTED_BY_SAMPLES_LIMIT, ih);
      return;
    }
  } else {
    const int32_t depth = qos_.history.depth > 0 ? qos_.history.depth : 1;
    while (valid_count >= depth) {
      auto oldest = std::find_if(inst.samples.begin(), inst.samples.end(), [](const Sample& x) { return x.valid; });
      if (oldest == inst.samples.end()) break;
      inst.samples.erase(oldest);
      --valid_count;
      --total_samples_;
    }
    if (rl.max_samples > 0 && total_samples_ >= rl.max_samples) {
      reject_locked(REJECTED_BY_SAMPLES_LIMIT, ih);
      return;
    }
  }
  // Rebirth of a not-alive instance.
  if (inst.state == NOT_ALIVE_DISPOSED_INSTANCE_STATE) {
    ++inst.disposed_gen;
    inst.new_view = true;
  } else if (inst.state == NOT_ALIVE_NO_WRITERS_INSTANCE_STATE) {
    ++inst.no_writers_gen;
    inst.new_view = true;
  }
  inst.state = after;  // Cyclone reports the state as of the take
  inst.has_accepted = true;
  inst.last_accepted_ts = s.source_ts_ns;
  inst.key_payload = s.payload;
  Sample smp;
  smp.seq = next_seq_++;
  smp.valid = true;
  smp.source_ts = s.source_ts_ns;
  const int64_t ls = lifespan_of_locked(s.publication);
  if (ls != DDS_INFINITY) smp.expiry = s.source_ts_ns + ls;
  smp.publication = handle_from_guid(s.publication);
  smp.disposed_gen = inst.disposed_gen;
  smp.no_writers_gen = inst.no_writers_gen;
  smp.payload = std::move(s.payload);
  inst.samples.push_back(std::move(smp));
  ++total_samples_;
  accepted_any = true;
  if (!is_infinite(qos_.deadline.period)) {
    inst.deadline_due = Clock::now() + ns(wire::to_ns(qos_.deadline.period));
    if (deadline_timer_ == 0) schedule_deadline_locked(inst.deadline_due);
  }
}

void DataReaderImpl::on_data() {
  std::vector<wire::WireSample> batch;
  wire_.take_all(batch);
  if (batch.empty()) return;
  bool accepted = false;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!enabled_ || closed_) return;
    for (auto& s : batch) ingest_locked(s, accepted);
  }
  if (!accepted) return;
  notify_conditions();
  status_condition_.notify();
  wire::Runtime::instance().post(owner_, [this] {
    std::lock_guard<std::recursive_mutex> sl(status_mtx_);
    DataReaderListener* l = nullptr;
    if (listener_for(DATA_AVAILABLE_STATUS, l)) l->on_data_available(this);
  });
}

void DataReaderImpl::purge_expired_locked() {
  const int64_t now = dds_time();
  for (auto& [k, inst] : instances_) {
    const size_t before = inst.samples.size();
    inst.samples.erase(std::remove_if(inst.samples.begin(), inst.samples.end(),
                                      [&](const Sample& x) { return x.valid && x.expiry <= now; }),
                       inst.samples.end());
    total_samples_ -= static_cast<int32_t>(before - inst.samples.size());
  }
}

// ------------------------------------------------------------ read / take

bool DataReaderImpl::sample_matches(const Instance& inst, const Sample& smp, SampleStateMask s, ViewStateMask v,
                                    InstanceStateMask i, const ContentFilter* query) const {
  if (!((smp.read ? READ_SAMPLE_STATE : NOT_READ_SAMPLE_STATE) & s)) return false;
  if (!((inst.new_view ? NEW_VIEW_STATE : NOT_NEW_VIEW_STATE) & v)) return false;
  if (!(inst.state & i)) return false;
  if (query != nullptr) {
    if (!smp.valid) return false;
    if (!query->matches(wire::cdr_bytes(smp.payload), wire::cdr_size(smp.payload),
                        wire::cdr_little_endian(smp.payload)))
      return false;
  }
  return true;
}

bool DataReaderImpl::has_matching(SampleStateMask s, ViewStateMask v, InstanceStateMask i,
                                  const ContentFilter* query) {
  std::lock_guard<std::mutex> lk(mtx_);
  purge_expired_locked();
  for (auto& [k, inst] : instances_)
    for (auto& smp : inst.samples)
      if (sample_matches(inst, smp, s, v, i, query)) return true;
  return false;
}

ReturnCode_t DataReaderImpl::collect(SequenceBase* data_values, SampleInfoSeq* sample_infos, void* single,
                                     SampleInfo* single_info, int32_t max_samples, SampleStateMask s,
                                     ViewStateMask v, InstanceStateMask i, const InstanceHandle_t* only,
                                     const ContentFilter* query, bool take) {
  if (max_samples == 0 || max_samples < LENGTH_UNLIMITED) return RETCODE_BAD_PARAMETER;
  std::unique_lock<std::mutex> lk(mtx_);
  if (closed_) return RETCODE_ALREADY_DELETED;
  if (!enabled_) return RETCODE_NOT_ENABLED;
  purge_expired_locked();
  std::vector<Selected> sel;
  for (auto& [k, inst] : instances_) {
    if (only != nullptr && !(inst.handle == *only)) continue;
    for (size_t n = 0; n < inst.samples.size(); ++n)
      if (sample_matches(inst, inst.samples[n], s, v, i, query)) sel.push_back(Selected{&inst, n, inst.samples[n].seq});
  }
  if (only != nullptr && sel.empty()) {
    bool known = false;
    for (auto& [k, inst] : instances_) known = known || inst.handle == *only;
    if (!known) return RETCODE_BAD_PARAMETER;
  }
  std::sort(sel.begin(), sel.end(), [](const Selected& a, const Selected& b) { return a.seq < b.seq; });
  if (max_samples != LENGTH_UNLIMITED && sel.size() > static_cast<size_t>(max_samples)) sel.resize(max_samples);
  if (sel.empty()) return RETCODE_NO_DATA;

  if (data_values) data_values->release();
  if (sample_infos) sample_infos->release();
  // Ranks: samples of the same instance that follow in this collection, and
  // generations relative to the most recent sample of the instance in it.
  std::map<Instance*, std::pair<int32_t, int32_t>> last_gen;  // inst -> gen of most recent sample in the set
  std::map<Instance*, int32_t> remaining;
  for (auto& x : sel) {
    const Sample& smp = x.inst->samples[x.index];
    last_gen[x.inst] = {smp.disposed_gen, smp.no_writers_gen};
    ++remaining[x.inst];
  }
  for (auto& x : sel) {
    Instance& inst = *x.inst;
    Sample& smp = inst.samples[x.index];
    SampleInfo info;
    info.sample_state = smp.read ? READ_SAMPLE_STATE : NOT_READ_SAMPLE_STATE;
    info.view_state = inst.new_view ? NEW_VIEW_STATE : NOT_NEW_VIEW_STATE;
    info.instance_state = inst.state;
    info.source_timestamp = wire::to_time(smp.source_ts);
    info.instance_handle = inst.handle;
    info.publication_handle = smp.publication;
    info.disposed_generation_count = smp.disposed_gen;
    info.no_writers_generation_count = smp.no_writers_gen;
    info.sample_rank = --remaining[x.inst];
    const auto& mr = last_gen[x.inst];
    info.generation_rank = (mr.first + mr.second) - (smp.disposed_gen + smp.no_writers_gen);
    info.absolute_generation_rank = (inst.disposed_gen + inst.no_writers_gen) - (smp.disposed_gen + smp.no_writers_gen);
    info.valid_data = smp.valid;
    const std::vector<uint8_t>& bytes = smp.valid ? smp.payload : inst.key_payload;
    if (single != nullptr) {
      if (!bytes.empty()) wire::decode_into(ts_, bytes.data(), bytes.size(), single);
      *single_info = info;
    } else {
      void* d = ts_->create_data();
      if (!bytes.empty()) wire::decode_into(ts_, bytes.data(), bytes.size(), d);
      data_values->append(d, &delete_user_sample, ts_);
      sample_infos->append(new SampleInfo(info), &delete_sample_info, nullptr);
    }
    smp.read = true;
  }
  for (auto& x : sel) x.inst->new_view = false;
  if (take) {
    // Remove from the back of each deque so that indices stay valid.
    std::sort(sel.begin(), sel.end(), [](const Selected& a, const Selected& b) {
      return a.inst != b.inst ? a.inst < b.inst : a.index > b.index;
    });
    for (auto& x : sel) {
      if (x.inst->samples[x.index].valid) --total_samples_;
      x.inst->samples.erase(x.inst->samples.begin() + static_cast<std::ptrdiff_t>(x.index));
    }
    for (auto it = instances_.begin(); it != instances_.end();) {
      if (it->second.samples.empty() && it->second.state != ALIVE_INSTANCE_STATE)
        it = instances_.erase(it);
      else
        ++it;
    }
  }
  lk.unlock();
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

ReturnCode_t DataReaderImpl::read_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                              int32_t max_samples, ReadCondition* condition) {
  ReaderConditionBase* c = nullptr;
  {
    std::lock_guard<std::mutex> cl(cond_mtx_);
    for (auto& x : conditions_)
      if (x->self() == condition) c = x.get();
  }
  if (c == nullptr) return RETCODE_PRECONDITION_NOT_MET;
  return collect(&data_values, &sample_infos, nullptr, nullptr, max_samples, c->sample_states, c->view_states,
                 c->instance_states, nullptr, c->query(), false);
}

ReturnCode_t DataReaderImpl::take_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                              int32_t max_samples, ReadCondition* condition) {
  ReaderConditionBase* c = nullptr;
  {
    std::lock_guard<std::mutex> cl(cond_mtx_);
    for (auto& x : conditions_)
      if (x->self() == condition) c = x.get();
  }
  if (c == nullptr) return RETCODE_PRECONDITION_NOT_MET;
  return collect(&data_values, &sample_infos, nullptr, nullptr, max_samples, c->sample_states, c->view_states,
                 c->instance_states, nullptr, c->query(), true);
}

InstanceHandle_t DataReaderImpl::lookup_instance(const void* instance) {
  if (instance == nullptr || !keyed_) return HANDLE_NIL;
  wire::KeyHash key;
  if (!wire::key_of(ts_, instance, key)) return HANDLE_NIL;
  std::lock_guard<std::mutex> lk(mtx_);
  auto it = instances_.find(key);
  return it == instances_.end() ? HANDLE_NIL : it->second.handle;
}

ReturnCode_t DataReaderImpl::get_key_value(void* key_holder, const InstanceHandle_t& handle) {
  if (key_holder == nullptr) return RETCODE_BAD_PARAMETER;
  if (!keyed_) return RETCODE_ILLEGAL_OPERATION;
  std::lock_guard<std::mutex> lk(mtx_);
  auto it = instances_.find(wire::key_of_handle(handle));
  if (it == instances_.end() || !(it->second.handle == handle)) return RETCODE_BAD_PARAMETER;
  const auto& p = it->second.key_payload;
  if (p.empty() || !wire::decode_into(ts_, p.data(), p.size(), key_holder)) return RETCODE_ERROR;
  return RETCODE_OK;
}

// ------------------------------------------------------------- conditions

void DataReaderImpl::notify_conditions() {
  std::lock_guard<std::mutex> cl(cond_mtx_);
  for (auto& c : conditions_) notify_condition(*c->self());
}

ReadCondition* DataReaderImpl::create_readcondition(SampleStateMask s, ViewStateMask v, InstanceStateMask i) {
  auto c = std::make_unique<ReadConditionImpl>(this, s, v, i);
  ReadCondition* out = c.get();
  std::lock_guard<std::mutex> cl(cond_mtx_);
  if (closed_) return nullptr;
  conditions_.push_back(std::move(c));
  return out;
}

QueryCondition* DataReaderImpl::create_querycondition(SampleStateMask s, ViewStateMask v, InstanceStateMask i,
                                                      const std::string& query_expression,
                                                      const StringSeq& query_parameters) {
  std::unique_ptr<ContentFilter> f = ContentFilter::create(topic_->type_name(), query_expression, query_parameters,
                                                           nullptr);
  if (!f) return nullptr;
  auto c = std::make_unique<QueryConditionImpl>(this, s, v, i, std::move(f));
  QueryCondition* out = c.get();
  std::lock_guard<std::mutex> cl(cond_mtx_);
  if (closed_) return nullptr;
  conditions_.push_back(std::move(c));
  return out;
}

ReturnCode_t DataReaderImpl::delete_readcondition(ReadCondition* condition) {
  std::unique_ptr<ReaderConditionBase> victim;
  {
    std::lock_guard<std::mutex> cl(cond_mtx_);
    for (auto it = conditions_.begin(); it != conditions_.end(); ++it)
      if ((*it)->self() == condition) {
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
  std::vector<std::unique_ptr<ReaderConditionBase>> conds;
  {
    std::lock_guard<std::mutex> cl(cond_mtx_);
    conds.swap(conditions_);
  }
  conds.clear();
  return RETCODE_OK;
}

// ---------------------------------------------------------------- deadline

void DataReaderImpl::schedule_deadline_locked(Clock::time_point due) {
  if (deadline_timer_ != 0 && deadline_timer_at_ <= due) return;
  auto& rt = wire::Runtime::instance();
  if (deadline_timer_ != 0) rt.cancel(deadline_timer_);
  deadline_timer_at_ = due;
  deadline_timer_ = rt.schedule(owner_, due, [this] { on_deadline_timer(); });
}

void DataReaderImpl::on_deadline_timer() {
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
      if (inst.deadline_due == Clock::time_point{} || inst.state != ALIVE_INSTANCE_STATE) continue;
      while (inst.deadline_due <= now) {
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
  DataReaderListener* l = nullptr;
  if (listener_for(REQUESTED_DEADLINE_MISSED_STATUS, l)) {
    l->on_requested_deadline_missed(this, deadline_missed_);
    deadline_missed_.total_count_change = 0;
  } else {
    notify_status(REQUESTED_DEADLINE_MISSED_STATUS);
  }
}

// ---------------------------------------------------------------- statuses

bool DataReaderImpl::listener_for(StatusMask bit, DataReaderListener*& l) {
  if (listener_ != nullptr && (mask_ & bit) != 0) {
    l = listener_;
    return true;
  }
  return false;
}

void DataReaderImpl::notify_status(StatusMask bit) {
  changes_ |= bit;
  status_condition_.notify();
}

ReturnCode_t DataReaderImpl::get_liveliness_changed_status(LivelinessChangedStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = liveliness_;
  liveliness_.alive_count_change = 0;
  liveliness_.not_alive_count_change = 0;
  changes_ &= ~LIVELINESS_CHANGED_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::get_requested_deadline_missed_status(RequestedDeadlineMissedStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = deadline_missed_;
  deadline_missed_.total_count_change = 0;
  changes_ &= ~REQUESTED_DEADLINE_MISSED_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::get_requested_incompatible_qos_status(RequestedIncompatibleQosStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = incompatible_;
  incompatible_.total_count_change = 0;
  changes_ &= ~REQUESTED_INCOMPATIBLE_QOS_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::get_sample_lost_status(SampleLostStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = lost_;
  lost_.total_count_change = 0;
  changes_ &= ~SAMPLE_LOST_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::get_sample_rejected_status(SampleRejectedStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = rejected_;
  rejected_.total_count_change = 0;
  changes_ &= ~SAMPLE_REJECTED_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::get_subscription_matched_status(SubscriptionMatchedStatus& status) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  status = matched_;
  matched_.total_count_change = 0;
  matched_.current_count_change = 0;
  changes_ &= ~SUBSCRIPTION_MATCHED_STATUS;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::set_listener(DataReaderListener* listener, StatusMask mask) {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  listener_ = listener;
  mask_ = mask;
  return RETCODE_OK;
}

DataReaderListener* DataReaderImpl::get_listener() {
  std::lock_guard<std::recursive_mutex> sl(status_mtx_);
  return listener_;
}

// ----------------------------------------------------------------- matching

ReturnCode_t DataReaderImpl::get_matched_publications(InstanceHandleSeq& handles) {
  handles.clear();
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_) return RETCODE_OK;
  std::set<wire::Guid> seen;
  for (const wire::Guid& g : wire_.matched())
    if (seen.insert(g).second) handles.push_back(handle_from_guid(g));
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::get_matched_publication_data(PublicationBuiltinTopicData& data,
                                                          const InstanceHandle_t& handle) {
  std::lock_guard<std::mutex> lk(mtx_);
  if (!enabled_) return RETCODE_BAD_PARAMETER;
  wire::EndpointData ed;
  if (!wire_.matched_data(guid_from_handle(handle), ed)) return RETCODE_BAD_PARAMETER;
  data = PublicationBuiltinTopicData{};
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
  data.ownership_strength.value = ed.strength;
  data.liveliness.kind = ed.liveliness;
  data.liveliness.lease_duration = wire::to_duration(ed.lease_ns);
  data.deadline.period = wire::to_duration(ed.deadline_ns);
  data.lifespan.duration = wire::to_duration(ed.lifespan_ns);
  data.destination_order.kind = ed.destination_order;
  data.partition.name = ed.partitions;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::wait_for_historical_data(const Duration_t& max_wait) {
  (void)max_wait;  // historical data is delivered with the match itself
  std::lock_guard<std::mutex> lk(mtx_);
  return enabled_ ? RETCODE_OK : RETCODE_NOT_ENABLED;
}

// --------------------------------------------------------------------- QoS

ReturnCode_t DataReaderImpl::get_qos(DataReaderQos& qos) {
  std::lock_guard<std::mutex> lk(mtx_);
  qos = qos_;
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::set_qos(const DataReaderQos& qos) {
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
  const DataReaderQos old = qos_;
  qos_ = qos;  // time-based filter and deadline apply to what arrives from now on
  if (old.user_data.value != qos.user_data.value) {
    dds_qos_t* q = dds_create_qos();
    const auto& v = qos.user_data.value;
    dds_qset_userdata(q, v.empty() ? nullptr : v.data(), v.size());
    dds_set_qos(wire_.entity(), q);
    dds_delete_qos(q);
  }
  if (old.deadline.period != qos.deadline.period) {
    if (deadline_timer_ != 0) wire::Runtime::instance().cancel(deadline_timer_);
    deadline_timer_ = 0;
    if (!is_infinite(qos.deadline.period)) {
      const auto due = Clock::now() + ns(wire::to_ns(qos.deadline.period));
      bool any = false;
      for (auto& [k, inst] : instances_)
        if (inst.deadline_due != Clock::time_point{}) {
          inst.deadline_due = due;
          any = true;
        }
      if (any) schedule_deadline_locked(due);
    }
  }
  return RETCODE_OK;
}

ReturnCode_t DataReaderImpl::set_qos_with_profile(const char* library_name, const char* profile_name,
                                                  const char* qos_name) {
  DataReaderQos q;
  ReturnCode_t rc = profiles::find(library_name, profile_name, qos_name, q);
  if (rc != RETCODE_OK) return rc;
  return set_qos(q);
}

}  // namespace QUORVELA::detail
