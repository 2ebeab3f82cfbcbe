// Small building blocks shared by the entity model's QoS operations.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "impl.h"
#include "qos_rules.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

// Copies a value out under the model lock.
template <typename T>
T copy_locked(const T& source) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return source;
}

template <typename T>
ReturnCode_t get_locked(const T& source, T& out) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  out = source;
  return RETCODE_OK;
}

// Replaces an entity's listener and its status mask under the model lock.
template <typename Listener>
ReturnCode_t set_listener_locked(Listener*& listener_slot, StatusMask& mask_slot, Listener* listener,
                                 StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  listener_slot = listener;
  mask_slot = mask;
  return RETCODE_OK;
}

// Enables a child of a participant (publisher, subscriber, topic); refused
// while the participant itself is not enabled. A group that autoenables what
// it creates then enables the members it created while it was disabled.
template <typename Member = Entity>
ReturnCode_t enable_child_locked(std::atomic<bool>& enabled, ParticipantImpl* participant, bool autoenable = false,
                                 const std::vector<Member*>& members = {}) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (enabled) return RETCODE_OK;
  if (!participant->is_enabled()) return RETCODE_PRECONDITION_NOT_MET;
  enabled = true;
  if (autoenable) {
    for (Member* m : members) m->enable();
  }
  return RETCODE_OK;
}

// The QoS a create call asks for: the default object (recognised by address)
// stands for the parent's current default. Call with model_mutex() held.
template <typename Q>
const Q& resolve_default(const Q& qos, const Q& default_object, const Q& current_default) {
  return (&qos == &default_object) ? current_default : qos;
}

// Stores a new default QoS: the default object itself (recognised by
// address) stands for the built-in defaults; anything else must be valid.
template <typename Q>
ReturnCode_t set_default_locked(Q& slot, const Q& qos, const Q& default_object) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  const Q q = (&qos == &default_object) ? Q() : qos;
  ReturnCode_t rc = check_qos(q);
  if (rc != RETCODE_OK) return rc;
  slot = q;
  return RETCODE_OK;
}

// Looks a QoS of type Q up in the loaded profiles and hands it to apply.
template <typename Q, typename Apply>
ReturnCode_t with_profile(const char* library, const char* profile, const char* name, Apply apply) {
  Q q;
  ReturnCode_t rc = profiles::find(library, profile, name, q);
  if (rc != RETCODE_OK) return rc;
  return apply(q);
}

// The same for a create call: null when the profile has no such QoS.
template <typename Q, typename Create>
auto create_with_profile(const char* library, const char* profile, const char* name, Create create)
    -> decltype(create(std::declval<const Q&>())) {
  Q q;
  if (profiles::find(library, profile, name, q) != RETCODE_OK) return nullptr;
  return create(q);
}

// Replaces the QoS of a publisher or subscriber. On success `affected` holds
// the members to tell of the change (all of them when anything changed), to
// be told outside the model lock.
template <typename Q, typename Member>
ReturnCode_t replace_group_qos(Q& current, bool enabled, const Q& next, const std::vector<Member*>& members,
                               std::vector<Member*>& affected) {
  ReturnCode_t rc = check_qos(next);
  if (rc != RETCODE_OK) return rc;
  if (enabled) {
    rc = check_changeable(current, next);
    if (rc != RETCODE_OK) return rc;
  }
  if (!(next == current)) affected = members;
  current = next;
  return RETCODE_OK;
}

// Tells every one of `endpoints` about a change (tell(e) returns a code);
// the result is the first code other than RETCODE_OK, or RETCODE_OK.
template <typename Endpoint, typename Tell>
ReturnCode_t tell_all(const std::vector<Endpoint*>& endpoints, Tell tell) {
  ReturnCode_t result = RETCODE_OK;
  for (Endpoint* e : endpoints) {
    const ReturnCode_t rc = tell(e);
    if (result == RETCODE_OK) result = rc;
  }
  return result;
}

// Finds `victim` among `members`, removes it and returns it; null when the
// pointer is not one of them.
template <typename Impl, typename Api>
Impl* unlink_member(std::vector<Impl*>& members, Api* victim) {
  for (auto it = members.begin(); it != members.end(); ++it) {
    if (static_cast<Api*>(*it) == victim) {
      Impl* found = *it;
      members.erase(it);
      return found;
    }
  }
  return nullptr;
}

// Closes and frees endpoints (writers or readers) that were unlinked from the
// tree. Call without model_mutex() held.
template <typename Endpoint>
void close_all(std::vector<Endpoint*>& endpoints) {
  for (Endpoint* e : endpoints) {
    e->close();
    delete e;
  }
  endpoints.clear();
}

}  // namespace QUORVELA::detail
