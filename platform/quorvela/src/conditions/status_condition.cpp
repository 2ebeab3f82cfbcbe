#include "conditions/status_condition_impl.h"

#include "faults/fault.h"

namespace QUORVELA::detail {

StatusConditionImpl::~StatusConditionImpl() { unlink_condition(*this); }

bool StatusConditionImpl::get_trigger_value() {
  // Fault: triggered whatever the entity's status changes.
  if (QV_FAULT(status_condition_always_triggered)) return true;
  const StatusMask enabled = enabled_.load();
  if (changes_) return (changes_() & enabled) != 0;
  return entity_ != nullptr && (entity_->get_status_changes() & enabled) != 0;
}

StatusMask StatusConditionImpl::get_enabled_statuses() { return enabled_.load(); }

ReturnCode_t StatusConditionImpl::set_enabled_statuses(StatusMask mask) {
  enabled_.store(mask);
  notify_condition(*this);
  return RETCODE_OK;
}

}  // namespace QUORVELA::detail
