// Cyclone data writers and readers carrying the generic envelopes. Each of our
// writers (readers) has its own Cyclone publisher (subscriber) holding the
// partition and group data of its parent, so a partition change only needs
// that endpoint's Cyclone entities to be made again.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <dds/dds.h>

#include "quorvela/qos.h"
#include "wire/domain.h"
#include "wire/policy_wire.h"

namespace QUORVELA::wire {

using KeyHash = std::array<uint8_t, 16>;

// The envelopes' `channel` (envelope.idl): the user's samples, or a writer's
// liveliness assertions.
constexpr uint8_t kChannelData = 0;
constexpr uint8_t kChannelLiveliness = 1;

// How long after Cyclone made it a new or ended match of a writer
// (is_writer) or a reader becomes visible to the user (matched lists,
// matched statuses, listeners): none, matches are shown as Cyclone makes
// them. Each match counts on its own. The variants writer_matches_late and
// reader_matches_late (faults/variant.h) show one side's kLateMatchNs later,
// writer_discovers_late a writer's readers of other participants that it
// matched after its creation.
int64_t match_delay_ns(bool is_writer);
constexpr int64_t kLateMatchNs = 200000000;

// What a Cyclone writer (reader) is made from: its QoS and those of its
// publisher (subscriber) and topic.
template <typename Q, typename GroupQ>
struct EndpointQos {
  Q endpoint;
  GroupQ group;
  TopicQos topic;
};
using WriterQos = EndpointQos<DataWriterQos, PublisherQos>;
using ReaderQos = EndpointQos<DataReaderQos, SubscriberQos>;

// The change of the matched status found by refresh_matches(): deltas, as
// the Cyclone entity may be made again, which restarts Cyclone's own counts.
struct MatchDelta {
  int32_t total_change = 0;
  int32_t current_change = 0;
  Guid last;             // the endpoint that (un)matched last
  int32_t refused = 0;   // endpoints Cyclone matched but the durability rule refuses
  // New or ended matches not yet shown (match_delay_ns()): refresh again
  // this much later, when the first of them is due; -1 when none waits or a
  // refresh is already due by then.
  int64_t again_in_ns = -1;
};
struct IncompatibleEvent {
  int32_t change = 0;
  int32_t policy_id = 0;  // DDS policy id of the last incompatibility
};

// Status callbacks, called on Cyclone threads (match_changed never while
// Cyclone creates the entity; incompatible also then): keep them short and never call destroy() of the same endpoint
// from them. match_changed only says that refresh_matches() has news; call
// it (off Cyclone's thread), and again after the delay it returns in
// again_in_ns.
struct EndpointEvents {
  std::function<void()> match_changed;
  std::function<void(const IncompatibleEvent&)> incompatible;
};
using WriterEvents = EndpointEvents;
struct ReaderEvents : EndpointEvents {
  std::function<void()> data_available;
  std::function<void(const dds_liveliness_changed_status_t&, const Guid& last)> liveliness;
  std::function<void(const dds_sample_lost_status_t&)> sample_lost;
};

// The matches of one Cyclone writer or reader as this library reports them:
// without the endpoints refused by the durability rule for transient and
// persistent (Cyclone sees those as transient local).
class MatchTable {
 public:
  // Compares Cyclone's matches with the known ones. A new (ended) match is
  // taken in (out) once match_delay_ns() passed since it was first seen so
  // (here or in note_matches()); one that ends (comes back) before is never
  // reported.
  MatchDelta refresh(dds_entity_t e, bool is_writer, DurabilityQosPolicyKind own_durability);
  std::vector<Guid> accepted();
  bool is_accepted(const Guid& g);
  // Notes when each endpoint Cyclone now matches was first seen matched, and
  // each known one it no longer matches first seen gone, for
  // match_delay_ns() and (readers) for admit(). Called from Cyclone's match
  // callback, as it happens, and (creating) right after Cyclone created the
  // entity, for the matches it made meanwhile: those of endpoints its
  // participant already knew.
  void note_matches(dds_entity_t e, bool is_writer, bool creating = false);
  // Readers: whether a sample of that publication, written at source_ts_ns,
  // is kept, with the writer's GUID in `writer` (nil when unknown). Refused
  // are samples of a publication that the durability rule refuses and, for a
  // volatile reader, history kept for late joiners:
  // written before this reader matched the publication, by a writer that
  // keeps such history. Cyclone hands that history to a volatile reader in
  // another process too; the reader leaves it out. (Judged on the writer's
  // source time, so it relies on the hosts' clocks agreeing.)
  bool admit(dds_entity_t reader, dds_instance_handle_t publication, DurabilityQosPolicyKind own_durability,
             int64_t source_ts_ns, Guid& writer);
  Guid guid_of(dds_entity_t e, bool is_writer, dds_instance_handle_t ih);
  // What an accepted match announced as last read from Cyclone: its data
  // while it is still shown after Cyclone dropped it; null when g is not
  // shown.
  std::shared_ptr<const dds_builtintopic_endpoint_t> last_data(const Guid& g);
  void remember_data(const Guid& g, std::shared_ptr<const dds_builtintopic_endpoint_t> d);
  void clear();

 private:
  // Drops the pending new matches that are not among `now`, and the pending
  // ends of those that are.
  void forget_undone_locked(const std::set<dds_instance_handle_t>& now);
  bool verdict_locked(dds_entity_t e, bool is_writer, dds_instance_handle_t ih, DurabilityQosPolicyKind own_durability,
                      Guid& g);
  // Variant writer_discovers_late: the reader's side of what writers showed.
  bool shown_by_writer_locked(dds_entity_t reader, dds_instance_handle_t publication, const Guid& writer);
  struct Known {
    Guid guid;
    bool accepted = false;
    DurabilityQosPolicyKind durability = VOLATILE_DURABILITY_QOS;  // the remote endpoint's
    uint64_t order = 0;  // when it was taken in, counted
  };
  uint64_t taken_in_ = 0;
  Guid own_;  // the Cyclone entity's, once refreshed (variant writer_discovers_late)
  std::set<dds_instance_handle_t> shown_by_;      // readers: the writers that showed this reader
  std::set<dds_instance_handle_t> at_creation_;  // matched while Cyclone created the entity
  std::map<Guid, std::shared_ptr<const dds_builtintopic_endpoint_t>> data_;  // of shown matches
  std::mutex mtx_;
  std::map<dds_instance_handle_t, Known> known_;      // current matches
  std::map<dds_instance_handle_t, Known> verdicts_;   // every endpoint judged so far
  std::map<dds_instance_handle_t, int64_t> first_matched_;  // readers: dds_time of the first match
  // Matches not yet taken in (out): steady-clock ns when each was first seen
  // (seen gone).
  std::map<dds_instance_handle_t, int64_t> pending_, ending_;
  int64_t follow_up_ns_ = 0;  // steady-clock ns of the refresh last asked for in again_in_ns
};

// What a Cyclone writer and a Cyclone reader of ours share: the Cyclone
// publisher (subscriber) of its own above it, the match table, and the
// callbacks for match changes and incompatible QoS.
class WireEndpoint {
 public:
  WireEndpoint(const WireEndpoint&) = delete;
  WireEndpoint& operator=(const WireEndpoint&) = delete;

  bool created() const { return entity_ > 0; }
  dds_entity_t entity() const { return entity_; }
  const Guid& guid() const { return guid_; }

  // Deletes the Cyclone entities; waits for running status callbacks, none
  // come afterwards. The endpoint stays usable by callbacks still running
  // while it is deleted.
  void destroy();

  // A Cyclone entity of the endpoint: the writer (reader) itself, or the
  // publisher (subscriber) made for it.
  enum class Part { entity, group };
  // Hands changed policies (see wire::WireChange) to that Cyclone entity,
  // which announces them again.
  dds_return_t set_qos(Part part, const CycloneQos& q);

  MatchDelta refresh_matches();
  // Matched readers (writers) as of the last refresh_matches().
  std::vector<Guid> matched();
  // What a matched reader (of a writer) or writer (of a reader) announced;
  // false when g is not matched.
  bool matched_data(const Guid& g, SubscriptionBuiltinTopicData& out);
  bool matched_data(const Guid& g, PublicationBuiltinTopicData& out);

 protected:
  explicit WireEndpoint(bool is_writer) : is_writer_(is_writer) {}
  ~WireEndpoint() { destroy(); }

  // Makes the group entity and the writer (reader) under it.
  dds_return_t open(dds_entity_t participant, dds_entity_t topic, bool keyed, const CycloneQos& group_q,
                    const CycloneQos& entity_q, DurabilityQosPolicyKind durability, EndpointEvents ev);
  // A Cyclone listener for this endpoint with the incompatible-QoS callback
  // set, given to the entity at its creation.
  dds_listener_t* incompatible_listener();
  // A Cyclone listener for this endpoint with the match and incompatible-QoS
  // callbacks set; install() sets it on the entity and deletes it.
  dds_listener_t* new_listener();
  dds_return_t install(dds_listener_t* l);
  // Reports the incompatible offers (requests) Cyclone counted before the
  // listener was installed.
  void report_early_incompatible();

  std::mutex mtx_;  // Cyclone handles
  dds_entity_t group_ = 0, entity_ = 0;
  bool keyed_ = false;
  DurabilityQosPolicyKind durability_ = VOLATILE_DURABILITY_QOS;
  Guid guid_;
  EndpointEvents events_;
  MatchTable matches_;

 private:
  template <typename Status>
  static void on_matched(dds_entity_t, const Status, void* arg);
  template <typename Status>
  static void on_incompatible(dds_entity_t, const Status st, void* arg);
  template <typename Status>
  void report_incompatible(dds_return_t got, const Status& st);
  template <typename Data>
  bool matched_data_of(const Guid& g, Data& out);

  const bool is_writer_;
};

class WireWriter : public WireEndpoint {
 public:
  WireWriter() : WireEndpoint(true) {}
  ~WireWriter() { destroy(); }

  dds_return_t create(dds_entity_t participant, dds_entity_t topic, bool keyed, const WriterQos& q, WriterEvents ev);
  // As WireEndpoint::destroy(), but writes are refused from its start on.
  void destroy();

  dds_return_t write(const KeyHash& key, const uint8_t* data, size_t len, int64_t source_ts_ns);
  // A new lifespan (ns, DDS_INFINITY for none) for the samples written from
  // now on, carried with each sample for the readers (Cyclone is handed the
  // changed policy, for the history it keeps for late joiners, with the
  // writer's other changes: set_qos()).
  void set_lifespan(int64_t lifespan_ns);
  dds_return_t dispose(const KeyHash& key, int64_t source_ts_ns);
  dds_return_t unregister(const KeyHash& key, int64_t source_ts_ns);
  // DDS_RETCODE_OK once every matched reliable reader acknowledged everything.
  dds_return_t wait_for_acks(int64_t timeout_ns);
  // Asserts the writer's liveliness at its matched readers, also where its
  // lease had run out: a message on the envelope's liveliness channel, which
  // readers of this library take out of what they deliver.
  dds_return_t assert_liveliness();

 private:
  // What a send returned (rc), after sending at once what the writer queued:
  // Cyclone holds the messages of a writer with a latency budget to send
  // them together, and a best-effort writer's last ones would wait for
  // ever.
  dds_return_t sent(dds_entity_t w, dds_return_t rc);

  int64_t lifespan_ns_ = DDS_INFINITY;  // under mtx_
  bool flush_ = false;                  // a latency budget: set at creation
};

// The serialized payload of a received sample (see codec.h for its layout),
// in the buffer Cyclone allocated when it took the sample: taken over rather
// than copied, shared by whoever holds it, freed with the last holder.
class Payload {
 public:
  Payload() = default;
  // Takes ownership of `buffer` (allocated by Cyclone, freed with dds_free).
  static Payload adopt(uint8_t* buffer, uint32_t size);

  const uint8_t* data() const { return block_ ? block_->data : nullptr; }
  size_t size() const { return block_ ? block_->size : 0; }
  bool empty() const { return size() == 0; }

 private:
  struct Block {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    Block(uint8_t* d, uint32_t n) : data(d), size(n) {}
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { dds_free(data); }
  };
  std::shared_ptr<const Block> block_;
};

// One received sample or instance-state change, taken out of Cyclone.
struct WireSample {
  bool valid = false;
  KeyHash key{};
  Payload payload;
  int64_t source_ts_ns = 0;
  int64_t reception_ts_ns = 0;
  int64_t lifespan_ns = DDS_INFINITY;  // the writer's lifespan when it wrote it
  uint32_t instance_state = DDS_IST_ALIVE;  // Cyclone's DDS_IST_* value
  // Cyclone's counts of the instance's rebirths (from disposed, from no
  // writers) before this sample arrived.
  uint32_t disposed_gen = 0;
  uint32_t no_writers_gen = 0;
  Guid publication;
};

// Cyclone reports one instance state per take: the state as of the take, on
// every sample of the instance in it. Gives each sample of a batch but the
// last of its instance the state the instance had after that sample, before
// the next one of it came: not alive where the rebirth counts show it was
// reborn in between, alive for data otherwise. A state change keeps the
// reported state where nothing was reborn after it.
void settle_instance_states(std::vector<WireSample>& batch);

class WireReader : public WireEndpoint {
 public:
  WireReader();
  ~WireReader();

  // Arrivals during creation stay in Cyclone; data_available is called once
  // the reader exists, so they are taken then.
  dds_return_t create(dds_entity_t participant, dds_entity_t topic, bool keyed, const ReaderQos& q, ReaderEvents ev);

  // Takes everything Cyclone holds, oldest first, in batches, and hands
  // each batch to `sink`, which may move out of it or erase from it. Leaves
  // out samples of refused writers and, for a volatile reader, the history a
  // writer kept for late joiners. One take at a time: the batches of
  // concurrent calls reach their sinks in the order they were taken.
  void take_all(const std::function<void(std::vector<WireSample>&)>& sink);

 private:
  static WireReader* self(void* arg) { return static_cast<WireReader*>(static_cast<WireEndpoint*>(arg)); }
  static void on_data(dds_entity_t, void*);
  static void on_liveliness(dds_entity_t, const dds_liveliness_changed_status_t, void*);
  static void on_lost(dds_entity_t, const dds_sample_lost_status_t, void*);

  // Variant writer_unasserted_not_alive: a manual-by-topic writer that has
  // sent nothing yet (no sample, no assertion) counts as not alive rather
  // than alive; the first thing it sends makes it alive.
  void liveliness_seen(dds_entity_t e, dds_liveliness_changed_status_t st);
  void heard_from(dds_entity_t e, dds_instance_handle_t publication);
  std::mutex live_mtx_;
  std::set<dds_instance_handle_t> heard_, unasserted_;
  uint32_t alive_ = 0, not_alive_ = 0;  // Cyclone's counts, as last reported

  struct TakeSlots;
  std::mutex take_mtx_;  // one take at a time; guards slots_ and batch_
  std::unique_ptr<TakeSlots> slots_;  // Cyclone's samples are taken into these
  std::vector<WireSample> batch_;
  std::function<void()> data_available_;
  std::function<void(const dds_liveliness_changed_status_t&, const Guid& last)> liveliness_;
  std::function<void(const dds_sample_lost_status_t&)> sample_lost_;
};

}  // namespace QUORVELA::wire
