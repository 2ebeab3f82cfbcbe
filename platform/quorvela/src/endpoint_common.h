// What DataWriterImpl and DataReaderImpl share: the base EndpointBase (topic,
// QoS, enabled state and handle), their statuses together with the listener
// and the status condition, the deadline timer and the miss count, the
// matched-status step after a match change, and the discovery data handed to
// the application.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <type_traits>
#include <vector>

#include "faults/fault.h"
#include "conditions/status_condition_impl.h"
#include "impl.h"
#include "qos_rules.h"
#include "wire/codec.h"
#include "wire/endpoint.h"
#include "wire/runtime.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

// ------------------------------------------------------------ the base

// The part of a writer (Api DataWriter, Qos DataWriterQos) or a reader
// (DataReader, DataReaderQos) that does not depend on the direction. mtx_
// guards qos_, enabled_, closed_ and handle_ (and the derived class's data
// path state). wire_mtx_, taken before mtx_, keeps the making, changing and
// deleting of the Cyclone endpoint to one at a time.
template <typename Api, typename Qos>
class EndpointBase : public Api {
 public:
  bool is_enabled() override {
    std::lock_guard<std::mutex> lk(mtx_);
    return enabled_;
  }
  InstanceHandle_t get_instance_handle() override {
    std::lock_guard<std::mutex> lk(mtx_);
    return handle_;
  }
  ReturnCode_t get_qos(Qos& qos) override {
    std::lock_guard<std::mutex> lk(mtx_);
    qos = qos_;
    return RETCODE_OK;
  }
  ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                    const char* qos_name) override {
    Qos q;
    ReturnCode_t rc = profiles::find(library_name, profile_name, qos_name, q);
    if (rc != RETCODE_OK) return rc;
    return this->set_qos(q);
  }

  // The QoS of the (related) topic, or of the publisher (subscriber),
  // changed from `old` to `next`: what the endpoint holds of it on the wire
  // changes too. RETCODE_OK, or the code of what Cyclone refused.
  ReturnCode_t topic_qos_changed(const TopicQos& old, const TopicQos& next) {
    std::lock_guard<std::mutex> wl(wire_mtx_);
    if constexpr (std::is_same_v<Qos, DataWriterQos>) return reannounce(wire::writer_change(old, next), Part::entity);
    else return reannounce(wire::reader_change(old, next), Part::entity);
  }
  template <typename GroupQos>
  ReturnCode_t group_qos_changed(const GroupQos& old, const GroupQos& next) {
    std::lock_guard<std::mutex> wl(wire_mtx_);
    return reannounce(wire::group_change(old, next), Part::group);
  }
  TopicImpl* topic_impl() { return topic_; }

 protected:
  EndpointBase(ParticipantImpl* participant, TopicImpl* topic, const Qos& qos, uint8_t entity_kind)
      : topic_(topic),
        ts_(topic->type_support()),
        keyed_(topic->keyed()),
        participant_wire_(&participant->wire()),
        owner_(wire::Runtime::instance().new_owner()),
        qos_(qos),
        handle_(participant->mint_handle(entity_kind)) {}

  // The start of enable(): the result when there is nothing to do
  // (RETCODE_OK when enabled already, RETCODE_ALREADY_DELETED once closed)
  // or it cannot be done yet (RETCODE_PRECONDITION_NOT_MET while `parent` is
  // disabled or the participant's Cyclone side is not created); nothing when
  // the endpoint may be enabled now.
  std::optional<ReturnCode_t> enable_refused(Entity& parent) {
    {
      std::lock_guard<std::mutex> lk(mtx_);
      if (closed_) return RETCODE_ALREADY_DELETED;
      if (enabled_) return RETCODE_OK;
    }
    if (!parent.is_enabled() || !participant_wire_->created()) return RETCODE_PRECONDITION_NOT_MET;
    return std::nullopt;
  }

  // set_qos: refused QoS are refused; a disabled endpoint takes any other;
  // an enabled one takes it when only changeable policies differ, the
  // changes go to the wire (reannounce()), and then apply(old) runs with
  // mtx_ held to put into effect what the endpoint does itself. When Cyclone
  // refuses the change, the old QoS stays (on the wire too) and Cyclone's
  // code is the result.
  template <typename Apply>
  ReturnCode_t change_qos(const Qos& qos, Apply&& apply) {
    ReturnCode_t rc = check_qos(qos);
    if (rc != RETCODE_OK) return rc;
    std::lock_guard<std::mutex> wl(wire_mtx_);
    Qos old;
    {
      std::lock_guard<std::mutex> lk(mtx_);
      if (closed_) return RETCODE_ALREADY_DELETED;
      if (!enabled_) {
        qos_ = qos;
        return RETCODE_OK;
      }
      rc = check_changeable(qos_, qos);
      if (rc != RETCODE_OK) return rc;
      old = qos_;
      qos_ = qos;  // what a Cyclone endpoint made again is made from
    }
    wire::WireChange change;
    if constexpr (std::is_same_v<Qos, DataWriterQos>) change = wire::writer_change(old, qos);
    else change = wire::reader_change(old, qos);
    rc = reannounce(change, Part::entity);
    if (rc != RETCODE_OK) {
      {
        std::lock_guard<std::mutex> lk(mtx_);
        qos_ = old;
      }
      // Made again from the old QoS when it could not be made from the new.
      if (change.remake && !wire_endpoint().created()) remake_wire();
      return rc;
    }
    std::lock_guard<std::mutex> lk(mtx_);
    return apply(old);
  }

  using Part = wire::WireEndpoint::Part;

  // The one way a QoS change reaches the wire, for the endpoint's own QoS,
  // its topic's and its group's: nothing while the endpoint is not enabled
  // (it is made from the QoS as it is then), else the Cyclone endpoint made
  // again from the current QoS when a changed policy needs it, or the
  // changed policies handed to the Cyclone entity that holds them. With
  // wire_mtx_ held.
  ReturnCode_t reannounce(const wire::WireChange& change, Part at) {
    {
      std::lock_guard<std::mutex> lk(mtx_);
      if (!enabled_ || closed_) return RETCODE_OK;
    }
    if (change.remake) return remake_wire();
    if (!change.in_place) return RETCODE_OK;
    return wire::to_retcode(wire_endpoint().set_qos(at, change.in_place));
  }

  // The Cyclone endpoint, and making it again from the current QoS (its
  // own, its group's and its topic's); with wire_mtx_ held, mtx_ not.
  virtual wire::WireEndpoint& wire_endpoint() = 0;
  virtual ReturnCode_t remake_wire() = 0;

  TopicImpl* topic_;  // the topic written or read (the related one of a filtered topic)
  TypeSupport* ts_;
  bool keyed_;
  wire::ParticipantWire* participant_wire_;
  uint64_t owner_;  // runtime owner id of timers and dispatched callbacks

  std::mutex wire_mtx_;
  std::mutex mtx_;
  Qos qos_;
  bool enabled_ = false;
  bool closed_ = false;
  InstanceHandle_t handle_;
};

// ------------------------------------------------------- status arithmetic

// Resets the *_change fields of a status once the application has seen it
// (listener call or get_*_status).
template <typename Status>
void clear_changes(Status& s) {
  s.total_count_change = 0;
}
inline void clear_changes(LivelinessChangedStatus& s) {
  s.alive_count_change = 0;
  s.not_alive_count_change = 0;
}
inline void clear_changes(PublicationMatchedStatus& s) {
  // Fault: a read leaves the total count's change as it was.
  if (!QV_FAULT(matched_total_change_kept)) s.total_count_change = 0;
  s.current_count_change = 0;
}
inline void clear_changes(SubscriptionMatchedStatus& s) {
  if (!QV_FAULT(matched_total_change_kept)) s.total_count_change = 0;
  s.current_count_change = 0;
}

// The handle of the remote endpoint that (un)matched last.
inline InstanceHandle_t& last_peer(PublicationMatchedStatus& s) { return s.last_subscription_handle; }
inline InstanceHandle_t& last_peer(SubscriptionMatchedStatus& s) { return s.last_publication_handle; }

// Publication or subscription matched status.
template <typename Status>
void count_matches(Status& s, const wire::MatchDelta& m) {
  s.total_count += m.total_change;
  s.total_count_change += m.total_change;
  s.current_count += m.current_change;
  s.current_count_change += m.current_change;
  // Fault: the handle of the endpoint that matched last never recorded.
  if (!m.last.is_nil() && !QV_FAULT(matched_last_handle_unset)) last_peer(s) = handle_from_guid(m.last);
}

// Offered or requested incompatible QoS status.
template <typename Status>
void count_incompatible(Status& s, const wire::IncompatibleEvent& e) {
  s.total_count += e.change;
  s.total_count_change += e.change;
  s.last_policy_id = static_cast<QosPolicyId_t>(e.policy_id);
  for (auto& p : s.policies)
    if (p.policy_id == s.last_policy_id) {
      p.count += e.change;
      return;
    }
  s.policies.push_back(QosPolicyCount{s.last_policy_id, e.change});
}

// ------------------------------------------------------------- statuses

// The statuses of one writer or reader (Api: DataWriter or DataReader), its
// listener and its status condition. A change of a status is one step under
// one recursive mutex: the status is updated, then either handed to the
// listener when one is installed for it (and its change counts are reset),
// or marked as an unread change, which wakes the status condition's wait
// sets. The listener may read statuses (get_*_status) from its callback.
//
// The status values themselves are members of the entity, guarded by this
// object's mutex: touch them only through raise() and read().
template <typename Api, typename Listener>
class EndpointStatuses {
 public:
  EndpointStatuses(Api* entity, Listener* listener, StatusMask mask)
      : entity_(entity), listener_(listener), mask_(mask), listening_(listener ? mask : 0), condition_(entity) {}

  // Triggered by entity->get_status_changes() (see status_condition_impl.h).
  StatusConditionImpl& condition() { return condition_; }

  // update(status), then the listener's `on` or the status condition.
  template <typename Status, typename Update>
  void raise(StatusMask bit, Status& status, void (Listener::*on)(Api*, const Status&), Update&& update) {
    std::lock_guard<std::recursive_mutex> lk(mtx_);
    update(status);
    if (installed_for(bit)) {
      (listener_->*on)(entity_, status);
      clear_changes(status);
    } else {
      changes_ |= bit;
      condition_.notify();
    }
  }

  // f() under the mutex of the statuses: a change made of several raise()
  // calls is one step.
  template <typename F>
  void locked(F&& f) {
    std::lock_guard<std::recursive_mutex> lk(mtx_);
    f();
  }
  // f() under the mutex when it is free at once and no listener is installed
  // for any status of mask (so that f's raise() calls no user code); false,
  // and nothing done, otherwise.
  template <typename F>
  bool locked_if_quiet(StatusMask mask, F&& f) {
    std::unique_lock<std::recursive_mutex> lk(mtx_, std::try_to_lock);
    if (!lk.owns_lock() || installed_for(mask)) return false;
    f();
    return true;
  }

  // A listener call that carries no status (data available); nothing when
  // no listener is installed for bit.
  void call(StatusMask bit, void (Listener::*on)(Api*)) {
    std::lock_guard<std::recursive_mutex> lk(mtx_);
    if (installed_for(bit)) (listener_->*on)(entity_);
  }

  // get_*_status: a copy of status into out; then its change counts and its
  // unread change are reset.
  template <typename Status>
  ReturnCode_t read(StatusMask bit, Status& status, Status& out) {
    std::lock_guard<std::recursive_mutex> lk(mtx_);
    out = status;
    clear_changes(status);
    changes_ &= ~bit;
    return RETCODE_OK;
  }

  // The statuses with an unread change.
  StatusMask changes() {
    std::lock_guard<std::recursive_mutex> lk(mtx_);
    return changes_;
  }

  void set_listener(Listener* listener, StatusMask mask) {
    std::lock_guard<std::recursive_mutex> lk(mtx_);
    listener_ = listener;
    mask_ = mask;
    listening_.store(listener ? mask : 0);
  }
  // Whether a listener is installed for bit now, without waiting for a
  // listener call in progress (a hint for the data path: call() decides).
  bool listens_for(StatusMask bit) const { return (listening_.load(std::memory_order_relaxed) & bit) != 0; }
  Listener* listener() {
    std::lock_guard<std::recursive_mutex> lk(mtx_);
    return listener_;
  }

 private:
  bool installed_for(StatusMask bit) const { return listener_ != nullptr && (mask_ & bit) != 0; }

  Api* entity_;
  std::recursive_mutex mtx_;
  Listener* listener_;
  StatusMask mask_;
  std::atomic<StatusMask> listening_;  // mask_ while listener_ is set, else 0
  StatusMask changes_ = 0;
  StatusConditionImpl condition_;  // last, so it unlinks before the rest goes away
};

// On the event thread, after a match callback (or on the creating thread,
// see apply_creation_matches): endpoints that the durability rule refuses
// count as incompatible (through `incompatible`), the others change the
// matched status, in one step with the look at the matches, so that steps
// apply their changes in the order they saw them. Returns when to look
// again for matches not yet shown (wire::MatchDelta::again_in_ns).
template <typename Statuses, typename Status, typename Listener, typename Api, typename Incompatible>
int64_t apply_matches(wire::WireEndpoint& wire, Statuses& statuses, StatusMask bit, Status& matched,
                      void (Listener::*on)(Api*, const Status&), Incompatible&& incompatible) {
  int64_t again = -1;
  statuses.locked([&] {
    const wire::MatchDelta m = wire.refresh_matches();
    if (m.refused > 0) incompatible(wire::IncompatibleEvent{m.refused, DURABILITY_QOS_POLICY_ID});
    if (m.total_change != 0 || m.current_change != 0)
      statuses.raise(bit, matched, on, [&](Status& s) { count_matches(s, m); });
    again = m.again_in_ns;
  });
  return again;
}

// Applies the matches on the event thread delay_ns from now (at once from a
// match callback), and again as long as some are not yet shown. The update,
// the listener call and the reset form one step there.
template <typename Statuses, typename Status, typename Listener, typename Api, typename Incompatible>
void apply_matches_after(int64_t delay_ns, uint64_t owner, wire::WireEndpoint& wire, Statuses& statuses,
                         StatusMask bit, Status& matched, void (Listener::*on)(Api*, const Status&),
                         Incompatible incompatible) {
  wire::Runtime::instance().schedule(
      owner, wire::Runtime::Clock::now() + std::chrono::nanoseconds(delay_ns),
      [=, &wire, &statuses, &matched] {
        const int64_t again = apply_matches(wire, statuses, bit, matched, on, incompatible);
        if (again >= 0) apply_matches_after(again, owner, wire, statuses, bit, matched, on, incompatible);
      });
}

// When a Cyclone endpoint is deleted to be made again: the matches it had
// end (the statuses count them out, on the event thread), as the new one
// makes its own. Without this the matched status would go on counting them.
template <typename Statuses, typename Status, typename Listener, typename Api>
void end_matches_of_remade(uint64_t owner, const std::vector<wire::Guid>& ended, Statuses& statuses, StatusMask bit,
                           Status& matched, void (Listener::*on)(Api*, const Status&)) {
  // Fault: the matches of a Cyclone endpoint made again are still counted.
  if (ended.empty() || QV_FAULT(remade_matches_still_counted)) return;
  wire::MatchDelta d;
  d.current_change = -static_cast<int32_t>(ended.size());
  d.last = ended.back();
  wire::Runtime::instance().post(owner, [d, bit, on, &statuses, &matched] {
    statuses.raise(bit, matched, on, [&](Status& s) { count_matches(s, d); });
  });
}

// Right after Cyclone created the endpoint, on the creating thread: the
// matches Cyclone made inside the creation (of endpoints its participant
// already knew) are shown when the creation returns, as they were made.
// Done here only when no listener of the entity is installed for the
// matched or the incompatible status (listeners are called on the event
// thread, where the step the creation also asked for shows the matches a
// moment later) and no other step is running.
template <typename Statuses, typename Status, typename Listener, typename Api, typename Incompatible>
void apply_creation_matches(uint64_t owner, wire::WireEndpoint& wire, Statuses& statuses, StatusMask bit,
                            StatusMask incompatible_bit, Status& matched, void (Listener::*on)(Api*, const Status&),
                            Incompatible incompatible) {
  int64_t again = -1;
  const bool applied = statuses.locked_if_quiet(
      bit | incompatible_bit, [&] { again = apply_matches(wire, statuses, bit, matched, on, incompatible); });
  if (applied && again >= 0) apply_matches_after(again, owner, wire, statuses, bit, matched, on, incompatible);
}

// ------------------------------------------------------------- deadlines

using EndpointClock = std::chrono::steady_clock;

// The one timer an endpoint keeps for the deadlines of its instances, armed
// for the earliest due time. Guarded by the endpoint's data lock.
class DeadlineTimer {
 public:
  // Arms it for `due` unless it is armed already for that time or earlier.
  void arm(uint64_t owner, EndpointClock::time_point due, std::function<void()> fire) {
    if (id_ != 0 && at_ <= due) return;
    auto& rt = wire::Runtime::instance();
    if (id_ != 0) rt.cancel(id_);
    at_ = due;
    id_ = rt.schedule(owner, due, std::move(fire));
  }
  // Disarms it.
  void cancel() {
    if (id_ != 0) wire::Runtime::instance().cancel(id_);
    id_ = 0;
  }
  // The timer ran, or all the owner's timers were cancelled.
  void fired() { id_ = 0; }
  bool armed() const { return id_ != 0; }

 private:
  uint64_t id_ = 0;
  EndpointClock::time_point at_{};
};

// What a deadline check found: one miss per elapsed period, the instance that
// missed last, and the next due time (max when no clock runs).
struct DeadlineMisses {
  int32_t missed = 0;
  InstanceHandle_t last;
  EndpointClock::time_point next = EndpointClock::time_point::max();
};

// Moves the due time of each instance whose clock runs (deadline_due set)
// and for which watched(instance) holds past now, counting the periods.
template <typename Instances, typename Watched>
DeadlineMisses check_deadlines(Instances& instances, std::chrono::nanoseconds period, Watched&& watched) {
  DeadlineMisses d;
  const auto now = EndpointClock::now();
  for (auto& [k, inst] : instances) {
    if (inst.deadline_due == EndpointClock::time_point{} || !watched(inst)) continue;
    while (inst.deadline_due <= now) {
      ++d.missed;
      d.last = inst.handle;
      inst.deadline_due += period;
    }
    d.next = std::min(d.next, inst.deadline_due);
  }
  return d;
}

// After a change of the deadline period: every instance's clock starts anew
// from now, also of those that came while the period was infinite; an
// infinite period stops them all. The due time to arm the timer for, if any.
template <typename Instances>
std::optional<EndpointClock::time_point> restart_deadlines(Instances& instances, const Duration_t& period) {
  const bool runs = !is_infinite(period) && !instances.empty();
  const auto due = runs ? EndpointClock::now() + to_chrono(period)
                        : EndpointClock::time_point{};
  for (auto& [k, inst] : instances) inst.deadline_due = due;
  if (!runs) return std::nullopt;
  return due;
}

// Offered or requested deadline missed status.
template <typename Status>
void count_deadline_misses(Status& s, const DeadlineMisses& d) {
  s.total_count += d.missed;
  s.total_count_change += d.missed;
  s.last_instance_handle = d.last;
}

// ------------------------------------------------------ discovery data

// get_matched_publications / get_matched_subscriptions: each matched
// endpoint once.
inline void append_matched_handles(wire::WireEndpoint& wire, InstanceHandleSeq& handles) {
  std::set<wire::Guid> seen;
  for (const wire::Guid& g : wire.matched())
    if (seen.insert(g).second) handles.push_back(handle_from_guid(g));
}

// get_matched_publication_data / get_matched_subscription_data: what the
// matched endpoint announced; RETCODE_BAD_PARAMETER when handle is not a
// matched endpoint.
template <typename Data>
ReturnCode_t copy_matched_data(wire::WireEndpoint& wire, wire::ParticipantWire& participants,
                               const InstanceHandle_t& handle, Data& data) {
  wire::Guid wanted = guid_from_handle(handle);
  // Fault: the lookup ignores its handle and answers with the first match.
  if (QV_FAULT(matched_data_ignores_handle)) {
    const std::vector<wire::Guid> all = wire.matched();
    if (!all.empty()) wanted = all.front();
  }
  Data found;
  if (!wire.matched_data(wanted, found)) return RETCODE_BAD_PARAMETER;
  // Fault: the key is filled from the participant's GUID, not the endpoint's.
  if (QV_FAULT(matched_key_of_participant)) std::copy(std::begin(found.participant_key.value), std::end(found.participant_key.value), found.key.value);
  // Fault: the participant key of matched endpoints left zero.
  if (QV_FAULT(matched_participant_key_lost)) std::fill(std::begin(found.participant_key.value), std::end(found.participant_key.value), 0);
  // The participant as others know it (one created disabled: the GUID it was given then).
  wire::Guid cyclone;
  std::memcpy(cyclone.v.data(), found.participant_key.value, 16);
  set_participant_key(found.participant_key, participants.participant_guid(cyclone));
  // Fault: the participant key is the local participant's, not the endpoint's.
  if (QV_FAULT(matched_participant_key_local)) set_participant_key(found.participant_key, participants.guid());
  data = std::move(found);
  return RETCODE_OK;
}

}  // namespace QUORVELA::detail
