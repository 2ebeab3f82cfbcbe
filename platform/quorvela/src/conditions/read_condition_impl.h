// Read and query conditions of a data reader.
//
// The reader owns its conditions; it creates them with ReadConditionImpl::create
// or QueryConditionImpl::create, keeps the returned objects, destroys them in
// delete_readcondition and in its own deletion (before its sample store goes
// away). The trigger value is the owner's answer to "do you hold a sample that
// this selector selects?", asked through ReadConditionOwner when a wait set
// (or the application) reads it.
//
// Usage by a reader implementation:
//
//   class ReaderImpl : public DataReader, private detail::ReadConditionOwner {
//     bool holds_matching_sample(const detail::ReadConditionSelector& sel) override {
//       lock samples; for each stored sample s:
//         if (sel.selects_states(s.sample_state, s.view_state, s.instance_state) &&
//             sel.selects_data(s.cdr.data(), s.cdr.size(), s.little_endian)) return true;
//       return false;
//     }
//     ReadCondition* create_readcondition(ss, vs, is) override {
//       auto c = detail::ReadConditionImpl::create(this, this, ss, vs, is);
//       ... keep it, return c.get();
//     }
//     QueryCondition* create_querycondition(ss, vs, is, expr, params) override {
//       auto c = detail::QueryConditionImpl::create(this, this, ss, vs, is,
//                    <registered type name of the reader's topic>, expr, params, nullptr);
//       null -> refuse (return null); else keep it and return c.get();
//     }
//     // read_w_condition / take_w_condition:
//     //   only a condition the reader keeps (compare the pointer before
//     //   looking at the object), else RETCODE_PRECONDITION_NOT_MET;
//     //   detail::ReadConditionSelector* sel = detail::selector_of(cond);
//     //   select samples with sel->selects_states(...) && sel->selects_data(...).
//     // After samples arrive, are read or taken, or instance states change:
//     //   for each condition c: c->notify();  (and status_condition_.notify())
//   };
//
// holds_matching_sample is called from waiting threads without any lock of the
// condition machinery held; it may take the reader's own locks. It must not
// be called back into the condition's destruction (see condition_impl.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "conditions/condition_impl.h"
#include "filter/filter.h"
#include "quorvela/entities.h"

namespace QUORVELA::detail {

class ReadConditionSelector;

// Implemented by the reader that owns read and query conditions.
class ReadConditionOwner {
 public:
  // True while the owner holds at least one sample for which
  // selector.selects_states(...) and selector.selects_data(...) both hold.
  virtual bool holds_matching_sample(const ReadConditionSelector& selector) = 0;

 protected:
  ~ReadConditionOwner() = default;
};

// What read and query conditions have in common: the three state masks, the
// optional query, and the owner.
class ReadConditionSelector {
 public:
  SampleStateMask sample_state_mask() const { return sample_states_; }
  ViewStateMask view_state_mask() const { return view_states_; }
  InstanceStateMask instance_state_mask() const { return instance_states_; }
  ReadConditionOwner* owner() const { return owner_; }

  // True when each state is in its mask.
  bool selects_states(SampleStateKind sample_state, ViewStateKind view_state,
                      InstanceStateKind instance_state) const {
    return (sample_state & sample_states_) != 0 && (view_state & view_states_) != 0 &&
           (instance_state & instance_states_) != 0;
  }

  bool has_query() const { return query_ != nullptr; }

  // For a query condition, whether the sample given as plain CDR bytes
  // (alignment from cdr[0], see Filter::evaluate) passes the query with its
  // current parameters; always true for a plain read condition.
  bool selects_data(const uint8_t* cdr, size_t len, bool little_endian) const {
    return query_ == nullptr || query_->matches(cdr, len, little_endian);
  }

  // The condition as the public type, and a wake-up of its wait sets.
  virtual ReadCondition* as_condition() = 0;
  void notify() { notify_condition(*as_condition()); }

 protected:
  ReadConditionSelector(ReadConditionOwner* owner, SampleStateMask ss, ViewStateMask vs, InstanceStateMask is)
      : owner_(owner), sample_states_(ss), view_states_(vs), instance_states_(is) {}
  ~ReadConditionSelector() = default;

  ReadConditionOwner* owner_;
  SampleStateMask sample_states_;
  ViewStateMask view_states_;
  InstanceStateMask instance_states_;
  std::unique_ptr<ContentFilter> query_;  // set by query conditions
};

// The selector of a condition made by this library; null for any other object.
ReadConditionSelector* selector_of(ReadCondition* condition);

// What ReadConditionImpl and QueryConditionImpl share: the masks, the reader,
// the trigger value (the owner's answer) and the unlinking on destruction.
// Public is ReadCondition or QueryCondition.
template <typename Public>
class SelectorCondition : public Public, public ReadConditionSelector {
 public:
  ~SelectorCondition() override { unlink_condition(*this); }

  bool get_trigger_value() override { return owner_->holds_matching_sample(*this); }
  SampleStateMask get_sample_state_mask() override { return sample_states_; }
  ViewStateMask get_view_state_mask() override { return view_states_; }
  InstanceStateMask get_instance_state_mask() override { return instance_states_; }
  DataReader* get_datareader() override { return reader_; }
  ReadCondition* as_condition() override { return this; }

 protected:
  SelectorCondition(DataReader* reader, ReadConditionOwner* owner, SampleStateMask ss, ViewStateMask vs,
                    InstanceStateMask is)
      : ReadConditionSelector(owner, ss, vs, is), reader_(reader) {}

 private:
  DataReader* reader_;
};

class ReadConditionImpl final : public SelectorCondition<ReadCondition> {
 public:
  static std::unique_ptr<ReadConditionImpl> create(DataReader* reader, ReadConditionOwner* owner,
                                                   SampleStateMask sample_states, ViewStateMask view_states,
                                                   InstanceStateMask instance_states);

 private:
  ReadConditionImpl(DataReader* reader, ReadConditionOwner* owner, SampleStateMask ss, ViewStateMask vs,
                    InstanceStateMask is)
      : SelectorCondition(reader, owner, ss, vs, is) {}
};

class QueryConditionImpl final : public SelectorCondition<QueryCondition> {
 public:
  // Refused (null, error set when not null) when type_name has no type
  // description, the expression does not compile or the parameters do not
  // bind (see filter.h). type_name is the name the reader's type was
  // registered under.
  static std::unique_ptr<QueryConditionImpl> create(DataReader* reader, ReadConditionOwner* owner,
                                                    SampleStateMask sample_states, ViewStateMask view_states,
                                                    InstanceStateMask instance_states,
                                                    const std::string& type_name,
                                                    const std::string& query_expression,
                                                    const StringSeq& query_parameters, std::string* error);

  // Verbatim, as given at creation.
  std::string get_query_expression() override;
  // Replaces the whole of parameters with the current list, verbatim.
  ReturnCode_t get_query_parameters(StringSeq& parameters) override;
  // RETCODE_BAD_PARAMETER, old parameters kept, when the list is too short or
  // an entry is not a literal; otherwise RETCODE_OK and later evaluations use
  // the new list.
  ReturnCode_t set_query_parameters(const StringSeq& parameters) override;

 private:
  QueryConditionImpl(DataReader* reader, ReadConditionOwner* owner, SampleStateMask ss, ViewStateMask vs,
                     InstanceStateMask is)
      : SelectorCondition(reader, owner, ss, vs, is) {}
};

}  // namespace QUORVELA::detail
