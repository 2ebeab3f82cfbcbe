#include "conditions/read_condition_impl.h"

namespace QUORVELA::detail {

ReadConditionSelector* selector_of(ReadCondition* condition) {
  return dynamic_cast<ReadConditionSelector*>(condition);
}

// ---------------------------------------------------------- ReadConditionImpl

std::unique_ptr<ReadConditionImpl> ReadConditionImpl::create(DataReader* reader, ReadConditionOwner* owner,
                                                             SampleStateMask sample_states,
                                                             ViewStateMask view_states,
                                                             InstanceStateMask instance_states) {
  if (owner == nullptr) return nullptr;
  return std::unique_ptr<ReadConditionImpl>(
      new ReadConditionImpl(reader, owner, sample_states, view_states, instance_states));
}

// --------------------------------------------------------- QueryConditionImpl

std::unique_ptr<QueryConditionImpl> QueryConditionImpl::create(
    DataReader* reader, ReadConditionOwner* owner, SampleStateMask sample_states, ViewStateMask view_states,
    InstanceStateMask instance_states, const std::string& type_name, const std::string& query_expression,
    const StringSeq& query_parameters, std::string* error) {
  if (owner == nullptr) {
    if (error) *error = "a query condition needs its reader";
    return nullptr;
  }
  auto query = ContentFilter::create(type_name, query_expression, query_parameters, error);
  if (!query) return nullptr;
  std::unique_ptr<QueryConditionImpl> c(
      new QueryConditionImpl(reader, owner, sample_states, view_states, instance_states));
  c->query_ = std::move(query);
  return c;
}

std::string QueryConditionImpl::get_query_expression() { return query_->expression(); }

ReturnCode_t QueryConditionImpl::get_query_parameters(StringSeq& parameters) {
  parameters = query_->parameters();
  return RETCODE_OK;
}

ReturnCode_t QueryConditionImpl::set_query_parameters(const StringSeq& parameters) {
  if (!query_->set_parameters(parameters, nullptr)) return RETCODE_BAD_PARAMETER;
  notify_condition(*this);
  return RETCODE_OK;
}

}  // namespace QUORVELA::detail
