// Small building blocks shared by the entity model's QoS operations.
#pragma once

#include <mutex>

#include "impl.h"
#include "qos_rules.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

// Copies a value out under the model lock.
template <typename T>
ReturnCode_t get_locked(const T& source, T& out) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  out = source;
  return RETCODE_OK;
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

// Replaces the QoS of a publisher or subscriber. On success `affected` holds
// the members that must announce the change (partition or group data moved),
// to be told outside the model lock.
template <typename Q, typename Member>
ReturnCode_t replace_group_qos(Q& current, bool enabled, const Q& next, const std::vector<Member*>& members,
                               std::vector<Member*>& affected) {
  ReturnCode_t rc = check_qos(next);
  if (rc != RETCODE_OK) return rc;
  if (enabled) {
    rc = check_changeable(current, next);
    if (rc != RETCODE_OK) return rc;
  }
  const bool announced = next.partition.name != current.partition.name ||
                         next.group_data.value != current.group_data.value;
  current = next;
  if (announced) affected = members;
  return RETCODE_OK;
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

}  // namespace QUORVELA::detail
