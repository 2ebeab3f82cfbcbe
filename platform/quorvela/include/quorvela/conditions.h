// Conditions and wait sets.
#ifndef QUORVELA_CONDITIONS_H
#define QUORVELA_CONDITIONS_H

#include <string>
#include <vector>

#include "quorvela/types.h"

namespace QUORVELA {

class Entity;
class DataReader;

namespace detail {
class ConditionCore;  // library-internal state shared with wait sets
class WaitSetCore;
}  // namespace detail

class Condition {
 public:
  virtual ~Condition();
  virtual bool get_trigger_value() = 0;

  // Library-internal link to the wait sets the condition is attached to.
  detail::ConditionCore* core() const { return core_; }

 protected:
  Condition();

 private:
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  detail::ConditionCore* core_;
};

typedef std::vector<Condition*> ConditionSeq;

// A condition whose trigger value the application sets. Usable without any
// factory or participant.
class GuardCondition : public Condition {
 public:
  GuardCondition();
  virtual ~GuardCondition();
  bool get_trigger_value() override;
  virtual ReturnCode_t set_trigger_value(bool value);

 private:
  bool trigger_value_;
};

// One per entity, owned by it; triggered while an enabled status has an
// unread change.
class StatusCondition : public Condition {
 public:
  virtual StatusMask get_enabled_statuses() = 0;
  virtual ReturnCode_t set_enabled_statuses(StatusMask mask) = 0;
  virtual Entity* get_entity() = 0;
};

// Triggered while its reader holds a sample that matches the three masks.
class ReadCondition : public Condition {
 public:
  virtual SampleStateMask get_sample_state_mask() = 0;
  virtual ViewStateMask get_view_state_mask() = 0;
  virtual InstanceStateMask get_instance_state_mask() = 0;
  virtual DataReader* get_datareader() = 0;
};

// A read condition that also requires its query to hold.
class QueryCondition : public ReadCondition {
 public:
  virtual std::string get_query_expression() = 0;
  virtual ReturnCode_t get_query_parameters(StringSeq& parameters) = 0;
  virtual ReturnCode_t set_query_parameters(const StringSeq& parameters) = 0;
};

class WaitSet {
 public:
  WaitSet();
  virtual ~WaitSet();
  WaitSet(const WaitSet&) = delete;
  WaitSet& operator=(const WaitSet&) = delete;

  virtual ReturnCode_t attach_condition(Condition& condition);
  virtual ReturnCode_t detach_condition(Condition& condition);
  // Blocks until an attached condition is triggered (RETCODE_OK, `active`
  // holds the triggered ones) or the timeout passes (RETCODE_TIMEOUT).
  virtual ReturnCode_t wait(ConditionSeq& active, const Duration_t& timeout);
  virtual ReturnCode_t get_conditions(ConditionSeq& attached);

  detail::WaitSetCore* core() const { return core_; }

 private:
  detail::WaitSetCore* core_;
};

}  // namespace QUORVELA

#endif
