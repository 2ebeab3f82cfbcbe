// DataReaderImpl: the data reader over a Cyclone reader.
//
// The Cyclone reader is drained on every arrival into this reader's own
// cache (reader_cache.h), where the time-based filter, the content filter of a filtered
// topic, the history and resource limits, lifespan expiry, the sample, view
// and instance states, the requested deadline and the autopurge of not-alive
// instances (reader data lifecycle) are handled.
//
// What the entity model calls (see impl.h for the locking rules):
//
//   static DataReaderImpl* create(SubscriberImpl* subscriber, const ReaderTopic& topic,
//                                 const DataReaderQos& qos, DataReaderListener* listener, StatusMask mask);
//       Null when the QoS is refused. Created disabled; it does not touch the
//       user counts of the topic or the filtered topic. Call with
//       model_mutex() held.
//   ReturnCode_t enable();
//       RETCODE_PRECONDITION_NOT_MET while the subscriber is disabled or the
//       participant's Cyclone side is not created; otherwise creates the
//       Cyclone reader. The topic's enabled state does not matter.
//   ReturnCode_t group_qos_changed(const SubscriberQos& old, const SubscriberQos& next);
//   ReturnCode_t topic_qos_changed(const TopicQos& old, const TopicQos& next);
//                                    as for DataWriterImpl (the reader made
//                                    again keeps its cache)
//   void close();                    as DataWriterImpl::close(); also deletes the
//                                    reader's conditions
//   TopicImpl* topic_impl();                 the topic read (the related one for a filtered topic)
//   ContentFilteredTopicImpl* cft_impl();    the filtered topic, or null
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "conditions/read_condition_impl.h"
#include "endpoint_common.h"
#include "reader_cache.h"
#include "impl.h"
#include "wire/endpoint.h"

namespace QUORVELA::detail {

class DataReaderImpl : public EndpointBase<DataReader, DataReaderQos>, private ReadConditionOwner {
 public:
  static DataReaderImpl* create(SubscriberImpl* subscriber, const ReaderTopic& topic, const DataReaderQos& qos,
                                DataReaderListener* listener, StatusMask mask);
  ~DataReaderImpl() override;

  ReturnCode_t enable() override;
  void close();
  ContentFilteredTopicImpl* cft_impl() { return cft_; }

  // Entity
  StatusCondition& get_statuscondition() override { return statuses_.condition(); }
  StatusMask get_status_changes() override;

  // DataReader
  ReturnCode_t read(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                    SampleStateMask sample_states, ViewStateMask view_states,
                    InstanceStateMask instance_states) override;
  ReturnCode_t take(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                    SampleStateMask sample_states, ViewStateMask view_states,
                    InstanceStateMask instance_states) override;
  ReturnCode_t read_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                                ReadCondition* condition) override;
  ReturnCode_t take_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                                ReadCondition* condition) override;
  ReturnCode_t read_instance(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                             const InstanceHandle_t& handle, SampleStateMask sample_states,
                             ViewStateMask view_states, InstanceStateMask instance_states) override;
  ReturnCode_t take_instance(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                             const InstanceHandle_t& handle, SampleStateMask sample_states,
                             ViewStateMask view_states, InstanceStateMask instance_states) override;
  ReturnCode_t read_next_sample(void* data_value, SampleInfo& sample_info) override;
  ReturnCode_t take_next_sample(void* data_value, SampleInfo& sample_info) override;

  InstanceHandle_t lookup_instance(const void* instance) override;
  ReturnCode_t get_key_value(void* key_holder, const InstanceHandle_t& handle) override;

  ReadCondition* create_readcondition(SampleStateMask sample_states, ViewStateMask view_states,
                                      InstanceStateMask instance_states) override;
  QueryCondition* create_querycondition(SampleStateMask sample_states, ViewStateMask view_states,
                                        InstanceStateMask instance_states, const std::string& query_expression,
                                        const StringSeq& query_parameters) override;
  ReturnCode_t delete_readcondition(ReadCondition* condition) override;
  ReturnCode_t delete_contained_entities() override;

  ReturnCode_t get_liveliness_changed_status(LivelinessChangedStatus& status) override;
  ReturnCode_t get_requested_deadline_missed_status(RequestedDeadlineMissedStatus& status) override;
  ReturnCode_t get_requested_incompatible_qos_status(RequestedIncompatibleQosStatus& status) override;
  ReturnCode_t get_sample_lost_status(SampleLostStatus& status) override;
  ReturnCode_t get_sample_rejected_status(SampleRejectedStatus& status) override;
  ReturnCode_t get_subscription_matched_status(SubscriptionMatchedStatus& status) override;

  ReturnCode_t get_matched_publications(InstanceHandleSeq& handles) override;
  ReturnCode_t get_matched_publication_data(PublicationBuiltinTopicData& data,
                                            const InstanceHandle_t& handle) override;
  ReturnCode_t wait_for_historical_data(const Duration_t& max_wait) override;

  TopicDescription* get_topicdescription() override;
  Subscriber* get_subscriber() override { return subscriber_; }

  ReturnCode_t set_qos(const DataReaderQos& qos) override;
  ReturnCode_t set_listener(DataReaderListener* listener, StatusMask mask) override;
  DataReaderListener* get_listener() override;

 private:
  using Clock = std::chrono::steady_clock;
  using Instance = CachedInstance;
  using Sample = CachedSample;

  DataReaderImpl(SubscriberImpl* subscriber, const ReaderTopic& topic, const DataReaderQos& qos,
                 DataReaderListener* listener, StatusMask mask);
  // Makes the Cyclone reader; called without mtx_ held, because Cyclone may
  // deliver historical data on the calling thread while it creates it.
  ReturnCode_t create_wire();
  wire::WireEndpoint& wire_endpoint() override { return wire_; }
  ReturnCode_t remake_wire() override;
  // Arrival, on a Cyclone thread: takes what Cyclone holds into the cache.
  void on_data();
  void apply_incompatible(const wire::IncompatibleEvent& e);  // on the event thread
  // The steps of an arrival: the content filter (without the lock), then,
  // under mtx_, ingest_locked: the instance, an instance-state change, the
  // time-based filter, room by history and resource limits, the new sample,
  // the deadline. Each step that refuses a sample returns false.
  bool passes_content_filter(const wire::WireSample& s) const;
  // A sample of a writer this reader was matched with before its Cyclone
  // reader was made again, written before that: delivered already, left out
  // (judged by the writer's source time).
  bool delivered_before_locked(const wire::WireSample& s) const;
  bool ingest_locked(wire::WireSample& s);
  Instance* instance_for_locked(const wire::WireSample& s);
  bool note_state_change_locked(Instance& inst, const wire::WireSample& s);
  bool passes_time_filter_locked(const Instance& inst, const wire::WireSample& s) const;
  bool make_room_locked(Instance& inst);
  void store_sample_locked(Instance& inst, wire::WireSample& s);
  void restart_deadline_locked(Instance& inst);
  // Wakes what waits for data: conditions, the status condition, and the
  // listener (one call pending at most, only when one is installed).
  void announce_data();
  void purge_expired_locked();
  // Selects by the three masks and, when `condition` is a query condition,
  // by its query (valid samples only).
  ReturnCode_t collect(SequenceBase* data_values, SampleInfoSeq* sample_infos, void* single, SampleInfo* single_info,
                       int32_t max_samples, SampleStateMask s, ViewStateMask v, InstanceStateMask i,
                       const InstanceHandle_t* only, const ReadConditionSelector* condition, bool take);
  // The steps of collect: the samples picked (in arrival order, at most
  // max_samples, into picked_), what each gives the caller, and the removal
  // of those taken.
  ReturnCode_t pick_locked(int32_t max_samples, SampleStateMask s, ViewStateMask v, InstanceStateMask i,
                           const InstanceHandle_t* only, const ReadConditionSelector* condition);
  SampleInfo sample_info_locked(const Sample& smp) const;
  // One sample as collect hands it out: its bytes (the key's for a state
  // change) and its info.
  struct Collected {
    wire::Payload bytes;
    SampleInfo info;
  };
  void remove_taken_locked();
  ReturnCode_t collect_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                                   ReadCondition* condition, bool take);
  bool sample_matches(const Instance& inst, const Sample& smp, SampleStateMask s, ViewStateMask v,
                      InstanceStateMask i, const ReadConditionSelector* condition) const;
  // ReadConditionOwner: the trigger value of the reader's conditions.
  bool holds_matching_sample(const ReadConditionSelector& condition) override;
  void schedule_deadline_locked(Clock::time_point due);
  void on_deadline_timer();
  // Reader data lifecycle: an instance that stays not alive for the
  // autopurge delay of its state goes with all its samples. Its clock starts
  // anew whenever it becomes not alive (start_purge_clock_locked, on each
  // state change), and a reborn instance has none; one timer for the
  // earliest purge. A zero delay purges at once, at the end of the arrival
  // (purge_at_once_). Purging only takes samples away: no condition can turn
  // true through it, so it notifies none.
  std::optional<Clock::duration> purge_delay_locked(InstanceStateKind state) const;
  void start_purge_clock_locked(Instance& inst);
  void purge_at_once_locked();
  void purge_due_locked();
  void on_purge_timer();
  void notify_conditions();
  // Variants (faults/variant.h) that hand samples to the cache later than
  // they came: time_filter_newest and writers_reordered.
  bool held_back_locked(wire::WireSample& s);
  bool windowed_locked(Instance& inst, wire::WireSample& s);
  bool close_window_locked(const wire::KeyHash& key);
  void arm_variant_timer_locked(int64_t due_wall_ns);
  void on_variant_timer();
  void reject_locked(SampleRejectedStatusKind why, const InstanceHandle_t& h);

  SubscriberImpl* subscriber_;
  ContentFilteredTopicImpl* cft_;
  std::shared_ptr<ContentFilter> filter_;

  // Under mtx_: the Cyclone reader and the cache.
  wire::WireReader wire_;
  ReaderCache cache_;
  std::map<wire::KeyHash, Instance>& instances_ = cache_.instances();
  uint64_t next_seq_ = 1;
  bool any_accepted_ = false;         // the last sample stored, of any instance (fault builds only read it)
  int64_t last_accepted_any_ts_ = 0;
  int64_t stale_separation_ns_ = -1;  // fault builds only: the separation before a set_qos
  // Writers matched when the Cyclone reader was last made again, and when
  // the old one went (dds_time).
  std::map<wire::Guid, int64_t> delivered_before_;
  bool sweep_pending_ = false;     // an instance may be empty and not alive (after a lifespan purge)
  std::vector<Sample*> picked_;    // scratch of collect
  DeadlineTimer deadline_timer_;
  DeadlineTimer purge_timer_;               // the earliest autopurge
  Instance* purge_at_once_ = nullptr;       // reached a state whose autopurge delay is zero
  std::atomic<bool> data_call_pending_{false};  // a data-available listener call is posted
  // Variant time_filter_newest: per instance, the window opened by the first
  // sample that passed the minimum separation, and the newest sample in it.
  struct FilterWindow {
    int64_t end = 0;  // source time
    wire::WireSample newest;
  };
  std::map<wire::KeyHash, FilterWindow> windows_;
  // Variant writers_reordered: the writer whose samples are held back, and
  // they with the wall-clock time each is due.
  wire::Guid held_writer_;
  std::vector<std::pair<int64_t, wire::WireSample>> held_;
  DeadlineTimer variant_timer_;

  std::mutex cond_mtx_;  // the reader's read and query conditions
  std::vector<std::unique_ptr<ReadCondition>> conditions_;

  // Statuses (guarded by statuses_), the listener and the status condition;
  // last, so that the condition unlinks before the state it reads goes away.
  LivelinessChangedStatus liveliness_;
  RequestedDeadlineMissedStatus deadline_missed_;
  RequestedIncompatibleQosStatus incompatible_;
  SampleLostStatus lost_;
  SampleRejectedStatus rejected_;
  SubscriptionMatchedStatus matched_;
  EndpointStatuses<DataReader, DataReaderListener> statuses_;
};

}  // namespace QUORVELA::detail
