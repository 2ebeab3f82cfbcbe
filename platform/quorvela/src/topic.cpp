// Topics and content-filtered topics.
#include "faults/fault.h"
#include "filter/filter.h"
#include "impl.h"
#include "faults/fault.h"
#include "model_util.h"
#include "qos_rules.h"
#include "reader.h"
#include "writer.h"

namespace QUORVELA::detail {

TopicImpl::TopicImpl(ParticipantImpl* participant, const std::string& name, const std::string& type_name,
                     TypeSupport* type_support, const TopicQos& qos, TopicListener* listener, StatusMask mask,
                     const InstanceHandle_t& handle)
    : participant_(participant),
      name_(name),
      type_name_(type_name),
      type_support_(type_support),
      keyed_(type_support->has_key()),
      qos_(qos),
      listener_(listener),
      mask_(mask),
      handle_(handle) {}

DomainParticipant* TopicImpl::get_participant() { return participant_; }

ReturnCode_t TopicImpl::enable() { return enable_child_locked(enabled_, participant_); }

TopicQos TopicImpl::qos() const {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return qos_;
}

ReturnCode_t TopicImpl::get_qos(TopicQos& qos) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  qos = qos_;
  return RETCODE_OK;
}

ReturnCode_t TopicImpl::set_qos(const TopicQos& qos) {
  std::vector<DataWriterImpl*> writers;
  std::vector<DataReaderImpl*> readers;
  TopicQos old, q;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (&qos == &TOPIC_QOS_DEFAULT)
      participant_->get_default_topic_qos(q);
    else
      q = qos;
    ReturnCode_t rc = check_qos(q);
    if (rc != RETCODE_OK) return rc;
    if (enabled_) {
      rc = check_changeable(qos_, q);
      if (rc != RETCODE_OK) return rc;
    }
    old = qos_;
    qos_ = q;
    // Fault: new topic data are kept but never announced.
    if (QV_FAULT(topic_data_not_reannounced) && old.topic_data != q.topic_data) return RETCODE_OK;
    if (!(old == q)) participant_->endpoints_on(this, writers, readers);
  }
  // The Cyclone topic, then every endpoint on this topic, take what they
  // hold of the change; the first code of one that Cyclone refused.
  const wire::WireChange own = wire::topic_change(old, q);
  ReturnCode_t rc = RETCODE_OK;
  if (own.in_place) rc = wire::to_retcode(participant_->wire().set_topic_qos(name_, type_name_, keyed_, own.in_place));
  const ReturnCode_t rw = tell_all(writers, [&](DataWriterImpl* w) { return w->topic_qos_changed(old, q); });
  const ReturnCode_t rr = tell_all(readers, [&](DataReaderImpl* r) { return r->topic_qos_changed(old, q); });
  return rc != RETCODE_OK ? rc : rw != RETCODE_OK ? rw : rr;
}

ReturnCode_t TopicImpl::set_listener(TopicListener* listener, StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  listener_ = listener;
  mask_ = mask;
  return RETCODE_OK;
}

TopicListener* TopicImpl::get_listener() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return listener_;
}

ReturnCode_t TopicImpl::get_inconsistent_topic_status(InconsistentTopicStatus& status) {
  // Endpoints match by topic and type name, so a topic of the same name and
  // another type is never matched; the library does not count such topics.
  status = InconsistentTopicStatus();
  return RETCODE_OK;
}

// ------------------------------------------------------- content filtered
ContentFilteredTopicImpl::ContentFilteredTopicImpl(ParticipantImpl* participant, const std::string& name,
                                                   TopicImpl* related, std::unique_ptr<ContentFilter> filter)
    : participant_(participant), name_(name), related_(related), filter_(std::move(filter)) {}

ContentFilteredTopicImpl::~ContentFilteredTopicImpl() = default;

std::string ContentFilteredTopicImpl::get_type_name() { return related_->type_name(); }

DomainParticipant* ContentFilteredTopicImpl::get_participant() { return participant_; }

std::string ContentFilteredTopicImpl::get_filter_expression() { return filter_->expression(); }

ReturnCode_t ContentFilteredTopicImpl::get_expression_parameters(StringSeq& parameters) {
  parameters = filter_->parameters();
  return RETCODE_OK;
}

ReturnCode_t ContentFilteredTopicImpl::set_expression_parameters(const StringSeq& parameters) {
  std::string error;
  // Fault: new parameters reported accepted but never stored.
  if (QV_FAULT(cft_parameters_not_stored)) return RETCODE_OK;
  return filter_->set_parameters(parameters, &error) ? RETCODE_OK : RETCODE_BAD_PARAMETER;
}

}  // namespace QUORVELA::detail
