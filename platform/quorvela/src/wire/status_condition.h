// The status condition of a writer or reader: triggered while a status in
// its enabled set has a change not yet read.
#pragma once

#include <atomic>
#include <functional>

#include "conditions/condition_impl.h"
#include "quorvela/entities.h"

namespace QUORVELA::wire {

class EntityStatusCondition : public StatusCondition {
 public:
  // `changes` returns the entity's statuses with unread changes; it may take
  // the entity's locks.
  EntityStatusCondition(Entity* entity, std::function<StatusMask()> changes)
      : entity_(entity), changes_(std::move(changes)) {}
  ~EntityStatusCondition() override { detail::unlink_condition(*this); }

  bool get_trigger_value() override { return (changes_() & enabled_.load()) != 0; }
  StatusMask get_enabled_statuses() override { return enabled_.load(); }
  ReturnCode_t set_enabled_statuses(StatusMask mask) override {
    enabled_.store(mask);
    detail::notify_condition(*this);
    return RETCODE_OK;
  }
  Entity* get_entity() override { return entity_; }
  void notify() { detail::notify_condition(*this); }

 private:
  Entity* entity_;
  std::function<StatusMask()> changes_;
  std::atomic<StatusMask> enabled_{STATUS_MASK_ALL};
};

}  // namespace QUORVELA::wire
