// Cyclone data writers and readers carrying the generic envelopes. Each of our
// writers (readers) has its own Cyclone publisher (subscriber) holding the
// partition and group data of its parent, so a partition change only needs
// that endpoint's Cyclone entities to be made again.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dds/dds.h>

#include "wire/domain.h"

namespace QUORVELA::wire {

using KeyHash = std::array<uint8_t, 16>;

// QoS as the wire needs it (durations in ns, DDS_INFINITY for infinite).
struct EndpointQos {
  uint8_t durability = 0;        // 0 volatile, 1 transient local, 2 transient, 3 persistent
  uint8_t reliability = 2;       // 1 best effort, 2 reliable
  int64_t max_blocking_ns = 100000000;
  uint8_t history_kind = 0;      // 0 keep last, 1 keep all
  int32_t history_depth = 1;
  int32_t max_samples = -1, max_instances = -1, max_samples_per_instance = -1;  // readers only
  int64_t deadline_ns = DDS_INFINITY;
  int64_t latency_budget_ns = 0;
  uint8_t liveliness = 0;        // 0 automatic, 1 manual by participant, 2 manual by topic
  int64_t lease_ns = DDS_INFINITY;
  uint8_t ownership = 0;         // 0 shared, 1 exclusive
  int32_t strength = 0;
  uint8_t destination_order = 0; // 0 reception, 1 source timestamp
  int64_t lifespan_ns = DDS_INFINITY;
  bool autodispose = true;
  std::vector<uint8_t> user_data, topic_data, group_data;
  std::vector<std::string> partitions;
};

// QoS objects handed to Cyclone (caller deletes with dds_delete_qos).
dds_qos_t* make_writer_qos(const EndpointQos& q);
dds_qos_t* make_reader_qos(const EndpointQos& q);
dds_qos_t* make_group_qos(const EndpointQos& q);

// A matched remote (or local) endpoint as discovery reports it.
struct EndpointData {
  Guid guid;
  Guid participant;
  std::string topic_name, type_name;
  std::vector<uint8_t> user_data, group_data, topic_data;
  int64_t lifespan_ns = DDS_INFINITY;
  int32_t strength = 0;
  uint8_t durability = 0, reliability = 1, ownership = 0, liveliness = 0, destination_order = 0;
  int64_t lease_ns = DDS_INFINITY, deadline_ns = DDS_INFINITY;
  std::vector<std::string> partitions;
};

// Status callbacks, called on Cyclone threads: keep them short and never call
// destroy() of the same endpoint from them.
struct WriterEvents {
  std::function<void(const dds_publication_matched_status_t&, const Guid& last)> matched;
  std::function<void(const dds_offered_incompatible_qos_status_t&)> incompatible;
};
struct ReaderEvents {
  std::function<void()> data_available;
  std::function<void(const dds_subscription_matched_status_t&, const Guid& last)> matched;
  std::function<void(const dds_requested_incompatible_qos_status_t&)> incompatible;
  std::function<void(const dds_liveliness_changed_status_t&, const Guid& last)> liveliness;
  std::function<void(const dds_sample_lost_status_t&)> sample_lost;
  std::function<void(const dds_sample_rejected_status_t&)> sample_rejected;
};

class WireWriter {
 public:
  WireWriter() = default;
  WireWriter(const WireWriter&) = delete;
  WireWriter& operator=(const WireWriter&) = delete;
  ~WireWriter() { destroy(); }

  dds_return_t create(dds_entity_t participant, dds_entity_t topic, bool keyed, const EndpointQos& q, WriterEvents ev);
  // Waits for running status callbacks; none come afterwards.
  void destroy();
  bool created() const { return writer_ > 0; }
  dds_entity_t entity() const { return writer_; }
  const Guid& guid() const { return guid_; }

  dds_return_t write(const KeyHash& key, const uint8_t* data, size_t len, int64_t source_ts_ns);
  dds_return_t dispose(const KeyHash& key, int64_t source_ts_ns);
  dds_return_t unregister(const KeyHash& key, int64_t source_ts_ns);
  // DDS_RETCODE_OK once every matched reliable reader acknowledged everything.
  dds_return_t wait_for_acks(int64_t timeout_ns);
  dds_return_t assert_liveliness();

  std::vector<Guid> matched();
  bool matched_data(const Guid& g, EndpointData& out);

 private:
  static void on_matched(dds_entity_t, const dds_publication_matched_status_t, void*);
  static void on_incompatible(dds_entity_t, const dds_offered_incompatible_qos_status_t, void*);
  Guid guid_for_handle(dds_entity_t e, dds_instance_handle_t ih);

  std::mutex mtx_;
  dds_entity_t publisher_ = 0, writer_ = 0;
  bool keyed_ = false;
  Guid guid_;
  WriterEvents ev_;
  std::map<dds_instance_handle_t, Guid> handle_guid_;
};

// One received sample or instance-state change, copied out of Cyclone.
struct WireSample {
  bool valid = false;
  KeyHash key{};
  std::vector<uint8_t> payload;
  int64_t source_ts_ns = 0;
  int64_t reception_ts_ns = 0;
  uint32_t instance_state = DDS_IST_ALIVE;  // Cyclone's DDS_IST_* value
  Guid publication;
};

class WireReader {
 public:
  WireReader() = default;
  WireReader(const WireReader&) = delete;
  WireReader& operator=(const WireReader&) = delete;
  ~WireReader() { destroy(); }

  dds_return_t create(dds_entity_t participant, dds_entity_t topic, bool keyed, const EndpointQos& q, ReaderEvents ev);
  void destroy();
  bool created() const { return reader_ > 0; }
  dds_entity_t entity() const { return reader_; }
  const Guid& guid() const { return guid_; }

  // Takes everything Cyclone holds, oldest first, into `out`.
  void take_all(std::vector<WireSample>& out);

  std::vector<Guid> matched();
  bool matched_data(const Guid& g, EndpointData& out);
  bool publication_data(dds_instance_handle_t ih, EndpointData& out);

 private:
  static void on_data(dds_entity_t, void*);
  static void on_matched(dds_entity_t, const dds_subscription_matched_status_t, void*);
  static void on_incompatible(dds_entity_t, const dds_requested_incompatible_qos_status_t, void*);
  static void on_liveliness(dds_entity_t, const dds_liveliness_changed_status_t, void*);
  static void on_lost(dds_entity_t, const dds_sample_lost_status_t, void*);
  static void on_rejected(dds_entity_t, const dds_sample_rejected_status_t, void*);
  Guid guid_for_handle(dds_entity_t e, dds_instance_handle_t ih);

  std::mutex mtx_;       // Cyclone handles and the handle map
  std::mutex take_mtx_;  // one take at a time
  dds_entity_t subscriber_ = 0, reader_ = 0;
  bool keyed_ = false;
  Guid guid_;
  ReaderEvents ev_;
  std::map<dds_instance_handle_t, Guid> handle_guid_;
};

}  // namespace QUORVELA::wire
