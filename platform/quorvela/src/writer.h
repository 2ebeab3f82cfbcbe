// DataWriterImpl: the data writer over a Cyclone writer.
//
// What the entity model calls (see impl.h for the locking rules):
//
//   static DataWriterImpl* create(PublisherImpl* publisher, TopicImpl* topic, const DataWriterQos& qos,
//                                 DataWriterListener* listener, StatusMask mask);
//       Checks the QoS (check_qos); null when refused. The writer is created
//       disabled; it does not touch the topic's user count. Call with
//       model_mutex() held.
//   ReturnCode_t enable();
//       RETCODE_PRECONDITION_NOT_MET while the publisher is disabled or the
//       participant's Cyclone side is not created yet; otherwise creates the
//       Cyclone writer (announcing and matching start here). The topic's own
//       enabled state does not matter. Idempotent.
//   ReturnCode_t group_qos_changed(const PublisherQos& old, const PublisherQos& next);
//   ReturnCode_t topic_qos_changed(const TopicQos& old, const TopicQos& next);
//       The publisher's (topic's) QoS changed: what the Cyclone writer holds
//       of it changes in place, or the Cyclone writer is made again (a
//       partition); see EndpointBase::reannounce(). Both return RETCODE_OK
//       or the code of what Cyclone refused.
//   void close();
//       Deletes the Cyclone writer (flushing what was written to matched
//       reliable readers), stops the writer's timers and waits for a listener
//       callback of it in progress; no callback afterwards. Idempotent; the
//       destructor calls it. Call without model_mutex() held.
//   static ReturnCode_t assert_participant_liveliness(wire::ParticipantWire* participant,
//                                                     DataWriterImpl* wrote = nullptr);
//       DomainParticipant::assert_liveliness(): renews every manual-by-
//       participant writer of that participant, each at its own readers
//       (`wrote` just wrote, which told its readers already).
//   TopicImpl* topic_impl();
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "endpoint_common.h"
#include "impl.h"
#include "wire/endpoint.h"

namespace QUORVELA::detail {

class DataWriterImpl : public EndpointBase<DataWriter, DataWriterQos> {
 public:
  static DataWriterImpl* create(PublisherImpl* publisher, TopicImpl* topic, const DataWriterQos& qos,
                                DataWriterListener* listener, StatusMask mask);
  ~DataWriterImpl() override;

  ReturnCode_t enable() override;
  void close();
  static ReturnCode_t assert_participant_liveliness(wire::ParticipantWire* participant,
                                                    DataWriterImpl* wrote = nullptr);

  // Entity
  StatusCondition& get_statuscondition() override { return statuses_.condition(); }
  StatusMask get_status_changes() override;

  // DataWriter
  InstanceHandle_t register_instance(const void* instance) override;
  InstanceHandle_t register_instance_w_timestamp(const void* instance, const Time& timestamp) override;
  ReturnCode_t unregister_instance(const void* instance, const InstanceHandle_t& handle) override;
  ReturnCode_t unregister_instance_w_timestamp(const void* instance, const InstanceHandle_t& handle,
                                               const Time& timestamp) override;
  ReturnCode_t get_key_value(void* key_holder, const InstanceHandle_t& handle) override;
  InstanceHandle_t lookup_instance(const void* instance) override;
  ReturnCode_t write(const void* data, const InstanceHandle_t& handle) override;
  ReturnCode_t write_w_timestamp(const void* data, const InstanceHandle_t& handle, const Time& timestamp) override;
  ReturnCode_t dispose(const void* data, const InstanceHandle_t& handle) override;
  ReturnCode_t dispose_w_timestamp(const void* data, const InstanceHandle_t& handle, const Time& timestamp) override;
  ReturnCode_t wait_for_acknowledgments(const Duration_t& max_wait) override;

  ReturnCode_t get_liveliness_lost_status(LivelinessLostStatus& status) override;
  ReturnCode_t get_offered_deadline_missed_status(OfferedDeadlineMissedStatus& status) override;
  ReturnCode_t get_offered_incompatible_qos_status(OfferedIncompatibleQosStatus& status) override;
  ReturnCode_t get_publication_matched_status(PublicationMatchedStatus& status) override;
  ReturnCode_t assert_liveliness() override;

  ReturnCode_t get_matched_subscriptions(InstanceHandleSeq& handles) override;
  ReturnCode_t get_matched_subscription_data(SubscriptionBuiltinTopicData& data,
                                             const InstanceHandle_t& handle) override;

  Topic* get_topic() override { return topic_; }
  Publisher* get_publisher() override { return publisher_; }

  ReturnCode_t set_qos(const DataWriterQos& qos) override;
  ReturnCode_t set_listener(DataWriterListener* listener, StatusMask mask) override;
  DataWriterListener* get_listener() override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Instance {
    InstanceHandle_t handle;
    std::vector<uint8_t> last_payload;  // for get_key_value
    Clock::time_point deadline_due{};
    int32_t unacked = 0;                // samples counted against the limits
  };

  DataWriterImpl(PublisherImpl* publisher, TopicImpl* topic, const DataWriterQos& qos, DataWriterListener* listener,
                 StatusMask mask);

  ReturnCode_t create_wire_locked();
  wire::WireEndpoint& wire_endpoint() override { return wire_; }
  ReturnCode_t remake_wire() override;
  // Finds the instance of `data` (and checks `handle` against it).
  ReturnCode_t resolve(const void* data, const InstanceHandle_t& handle, wire::KeyHash& key,
                       std::vector<uint8_t>* payload);
  ReturnCode_t write_locked(const void* data, const InstanceHandle_t& handle, int64_t ts_ns);
  ReturnCode_t unregister_or_dispose(const void* data, const InstanceHandle_t& handle, int64_t ts_ns,
                                     bool dispose);
  Instance* add_instance_locked(const wire::KeyHash& key, const std::vector<uint8_t>& payload, bool& refused);
  ReturnCode_t make_room_locked(std::unique_lock<std::mutex>& lk, Instance* inst);
  // An assertion (wrote: a write, which told the readers already).
  ReturnCode_t renew_liveliness(bool wrote);
  void schedule_deadline_locked(Clock::time_point due);
  void on_deadline_timer();
  void on_lease_timer();
  void on_match_changed();
  void on_incompatible(const wire::IncompatibleEvent& e);
  void apply_incompatible(const wire::IncompatibleEvent& e);  // on the event thread

  PublisherImpl* publisher_;

  // Data path (under mtx_): instances, Cyclone writer.
  wire::WireWriter wire_;
  std::map<wire::KeyHash, Instance> instances_;
  int32_t unacked_total_ = 0;
  DeadlineTimer deadline_timer_;
  // Liveliness (manual kinds): alive from the first assertion on.
  bool alive_ = false;
  Clock::time_point last_assert_{};
  uint64_t lease_timer_ = 0;
  int64_t last_given_ts_ns_ = 0;  // kept only by the fault untimed_dispose_stale_timestamp
  Clock::time_point enabled_at_{};

  // Statuses (guarded by statuses_), the listener and the status condition;
  // last, so that the condition unlinks before the state it reads goes away.
  LivelinessLostStatus liveliness_lost_;
  OfferedDeadlineMissedStatus deadline_missed_;
  OfferedIncompatibleQosStatus incompatible_;
  PublicationMatchedStatus matched_;
  EndpointStatuses<DataWriter, DataWriterListener> statuses_;
};

}  // namespace QUORVELA::detail
