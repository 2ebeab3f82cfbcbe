// The status condition every entity owns.
//
// Usage by an entity implementation:
//
//   class WriterImpl : public DataWriter {
//     detail::StatusConditionImpl status_condition_{this};
//     StatusCondition& get_statuscondition() override { return status_condition_; }
//     // whenever a status gains an unread change (the bit is set in what
//     // get_status_changes() returns):
//     //   status_condition_.notify();
//   };
//
// The trigger value is (changes & enabled statuses) != 0, where changes is
// what entity->get_status_changes() returns, or what the function given at
// construction returns (for entities that keep their unread changes in an
// internal place). It is read when a wait set asks; the enabled statuses start as all statuses. The
// entity's get_status_changes() is called from waiting threads, without any
// lock of the condition machinery held. Destroy the condition (or call
// unlink()) before the entity's status state goes away: members are destroyed
// after the destructor body, so an entity that tears its state down in its
// destructor body calls status_condition_.unlink() first.
#pragma once

#include <atomic>
#include <functional>

#include "conditions/condition_impl.h"
#include "quorvela/entities.h"

namespace QUORVELA::detail {

class StatusConditionImpl final : public StatusCondition {
 public:
  explicit StatusConditionImpl(Entity* entity) : entity_(entity) {}
  // changes returns the statuses with unread changes; it may take the
  // entity's locks.
  StatusConditionImpl(Entity* entity, std::function<StatusMask()> changes)
      : entity_(entity), changes_(std::move(changes)) {}
  ~StatusConditionImpl() override;

  bool get_trigger_value() override;
  StatusMask get_enabled_statuses() override;
  // Any mask is accepted; wait sets re-check the trigger value.
  ReturnCode_t set_enabled_statuses(StatusMask mask) override;
  Entity* get_entity() override { return entity_; }

  // The entity's statuses changed: wake the wait sets this is attached to.
  void notify() { notify_condition(*this); }
  // Detach from every wait set now (idempotent; the destructor does it too).
  void unlink() { unlink_condition(*this); }

 private:
  Entity* entity_;
  std::function<StatusMask()> changes_;
  std::atomic<StatusMask> enabled_{STATUS_MASK_ALL};
};

}  // namespace QUORVELA::detail
