// Publishers: their writers, QoS and defaults.
#include <chrono>

#include "faults/fault.h"
#include "group_common.h"
#include "qos_rules.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

PublisherImpl::PublisherImpl(ParticipantImpl* participant, const PublisherQos& qos, PublisherListener* listener,
                             StatusMask mask, const InstanceHandle_t& handle)
    : participant_(participant), qos_(qos), listener_(listener), mask_(mask), handle_(handle) {}

ReturnCode_t PublisherImpl::enable() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  const bool autoenable = qos_.entity_factory.autoenable_created_entities || QV_FAULT(publisher_enable_cascades);
  return enable_child_locked(enabled_, participant_, autoenable, writers_);
}

PublisherQos PublisherImpl::qos() const { return copy_locked(qos_); }

bool PublisherImpl::contains(const InstanceHandle_t& h) const { return holds_handle(writers_, h); }

std::vector<DataWriterImpl*> PublisherImpl::unlink_all_writers() { return unlink_all(writers_); }

DataWriter* PublisherImpl::create_datawriter(Topic* topic, const DataWriterQos& qos, DataWriterListener* listener,
                                             StatusMask mask) {
  std::unique_lock<std::recursive_mutex> lock(model_mutex());
  TopicImpl* t = participant_->find_topic_impl(topic);
  if (t == nullptr) return nullptr;
  const DataWriterQos q = resolve_default(qos, DATAWRITER_QOS_DEFAULT, default_writer_qos_);
  if (check_qos(q) != RETCODE_OK) return nullptr;
  DataWriterImpl* w = DataWriterImpl::create(this, t, q, listener, mask);
  if (w == nullptr) return nullptr;
  return link_new_endpoint(lock, writers_, w, enabled_ && qos_.entity_factory.autoenable_created_entities);
}

DataWriter* PublisherImpl::create_datawriter_with_profile(Topic* topic, const char* l, const char* p,
                                                          const char* n, DataWriterListener* listener,
                                                          StatusMask mask) {
  return create_with_profile<DataWriterQos>(
      l, p, n, [&](const DataWriterQos& q) { return create_datawriter(topic, q, listener, mask); });
}

ReturnCode_t PublisherImpl::delete_datawriter(DataWriter*& writer) { return delete_endpoint(writers_, writer); }

DataWriter* PublisherImpl::lookup_datawriter(const std::string& topic_name) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  for (DataWriterImpl* w : writers_)
    if (w->topic_impl()->name() == topic_name) return w;
  return nullptr;
}

ReturnCode_t PublisherImpl::delete_contained_entities() { return delete_all_endpoints(writers_); }

ReturnCode_t PublisherImpl::wait_for_acknowledgments(const Duration_t& max_wait) {
  std::vector<DataWriterImpl*> writers;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (!enabled_) return RETCODE_NOT_ENABLED;
    writers = writers_;
  }
  if (!is_valid(max_wait)) return RETCODE_BAD_PARAMETER;
  // One deadline for all writers.
  const auto start = std::chrono::steady_clock::now();
  for (DataWriterImpl* w : writers) {
    const int64_t spent =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    ReturnCode_t rc = w->wait_for_acknowledgments(remaining(max_wait, spent));
    if (rc != RETCODE_OK) return rc;
  }
  return RETCODE_OK;
}

ReturnCode_t PublisherImpl::get_qos(PublisherQos& qos) { return get_locked(qos_, qos); }

ReturnCode_t PublisherImpl::set_qos(const PublisherQos& qos) {
  return set_group_qos(participant_, qos_, enabled_, qos, PUBLISHER_QOS_DEFAULT, writers_);
}

ReturnCode_t PublisherImpl::set_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<PublisherQos>(l, p, n, [this](const PublisherQos& q) { return set_qos(q); });
}

ReturnCode_t PublisherImpl::set_listener(PublisherListener* listener, StatusMask mask) {
  return set_listener_locked(listener_, mask_, listener, mask);
}

PublisherListener* PublisherImpl::get_listener() { return copy_locked(listener_); }

DomainParticipant* PublisherImpl::get_participant() { return participant_; }

ReturnCode_t PublisherImpl::set_default_datawriter_qos(const DataWriterQos& qos) {
  return set_default_locked(default_writer_qos_, qos, DATAWRITER_QOS_DEFAULT);
}

ReturnCode_t PublisherImpl::get_default_datawriter_qos(DataWriterQos& qos) { return get_locked(default_writer_qos_, qos); }

ReturnCode_t PublisherImpl::set_default_datawriter_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<DataWriterQos>(l, p, n, [this](const DataWriterQos& q) { return set_default_datawriter_qos(q); });
}

ReturnCode_t PublisherImpl::copy_from_topic_qos(DataWriterQos& writer_qos, const TopicQos& topic_qos) {
  copy_topic_policies(topic_qos, writer_qos);
  return RETCODE_OK;
}

}  // namespace QUORVELA::detail
