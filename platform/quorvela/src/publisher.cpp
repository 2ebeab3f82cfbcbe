// Publishers and subscribers: their writers and readers, QoS and defaults.
#include <algorithm>
#include <chrono>

#include "impl.h"
#include "qos_rules.h"
#include "reader.h"
#include "writer.h"
#include "model_util.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

namespace {

void copy_topic_policies(const TopicQos& t, DataWriterQos& w) {
  w.durability = t.durability;
  w.durability_service = t.durability_service;
  w.deadline = t.deadline;
  w.latency_budget = t.latency_budget;
  w.liveliness = t.liveliness;
  w.reliability = t.reliability;
  w.destination_order = t.destination_order;
  w.history = t.history;
  w.resource_limits = t.resource_limits;
  w.transport_priority = t.transport_priority;
  w.lifespan = t.lifespan;
  w.ownership = t.ownership;
}

void copy_topic_policies(const TopicQos& t, DataReaderQos& r) {
  r.durability = t.durability;
  r.deadline = t.deadline;
  r.latency_budget = t.latency_budget;
  r.liveliness = t.liveliness;
  r.reliability = t.reliability;
  r.destination_order = t.destination_order;
  r.history = t.history;
  r.resource_limits = t.resource_limits;
  r.ownership = t.ownership;
}

}  // namespace

// ================================================================ Publisher
PublisherImpl::PublisherImpl(ParticipantImpl* participant, const PublisherQos& qos, PublisherListener* listener,
                             StatusMask mask, const InstanceHandle_t& handle)
    : participant_(participant), qos_(qos), listener_(listener), mask_(mask), handle_(handle) {}

ReturnCode_t PublisherImpl::enable() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (enabled_) return RETCODE_OK;
  if (!participant_->is_enabled()) return RETCODE_PRECONDITION_NOT_MET;
  enabled_ = true;
  return RETCODE_OK;
}

PublisherQos PublisherImpl::qos() const {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return qos_;
}

bool PublisherImpl::contains(const InstanceHandle_t& h) const {
  for (DataWriterImpl* w : writers_)
    if (w->get_instance_handle() == h) return true;
  return false;
}

std::vector<DataWriterImpl*> PublisherImpl::unlink_all_writers() {
  std::vector<DataWriterImpl*> out;
  out.swap(writers_);
  for (DataWriterImpl* w : out) w->topic_impl()->remove_user();
  return out;
}

DataWriter* PublisherImpl::create_writer_locked(Topic* topic, const DataWriterQos& qos,
                                                DataWriterListener* listener, StatusMask mask) {
  TopicImpl* t = participant_->find_topic_impl(topic);
  if (t == nullptr) return nullptr;
  const DataWriterQos q = (&qos == &DATAWRITER_QOS_DEFAULT) ? default_writer_qos_ : qos;
  if (check_qos(q) != RETCODE_OK) return nullptr;
  DataWriterImpl* w = DataWriterImpl::create(this, t, q, listener, mask);
  if (w == nullptr) return nullptr;
  writers_.push_back(w);
  t->add_user();
  if (enabled_ && qos_.entity_factory.autoenable_created_entities) w->enable();
  return w;
}

DataWriter* PublisherImpl::create_datawriter(Topic* topic, const DataWriterQos& qos, DataWriterListener* listener,
                                             StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return create_writer_locked(topic, qos, listener, mask);
}

DataWriter* PublisherImpl::create_datawriter_with_profile(Topic* topic, const char* l, const char* p,
                                                          const char* n, DataWriterListener* listener,
                                                          StatusMask mask) {
  DataWriterQos q;
  if (profiles::find(l, p, n, q) != RETCODE_OK) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return create_writer_locked(topic, q, listener, mask);
}

ReturnCode_t PublisherImpl::delete_datawriter(DataWriter*& writer) {
  DataWriterImpl* victim = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (writer == nullptr) return RETCODE_BAD_PARAMETER;
    victim = unlink_member(writers_, writer);
    if (victim == nullptr) return RETCODE_PRECONDITION_NOT_MET;
    victim->topic_impl()->remove_user();
  }
  victim->close();
  delete victim;
  writer = nullptr;
  return RETCODE_OK;
}

DataWriter* PublisherImpl::lookup_datawriter(const std::string& topic_name) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  for (DataWriterImpl* w : writers_)
    if (w->topic_impl()->name() == topic_name) return w;
  return nullptr;
}

ReturnCode_t PublisherImpl::delete_contained_entities() {
  std::vector<DataWriterImpl*> writers;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    writers = unlink_all_writers();
  }
  std::vector<DataReaderImpl*> none;
  close_endpoints(writers, none);
  return RETCODE_OK;
}

ReturnCode_t PublisherImpl::wait_for_acknowledgments(const Duration_t& max_wait) {
  std::vector<DataWriterImpl*> writers;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (!enabled_) return RETCODE_NOT_ENABLED;
    writers = writers_;
  }
  // One deadline for all writers.
  const auto start = std::chrono::steady_clock::now();
  for (DataWriterImpl* w : writers) {
    Duration_t left = max_wait;
    if (!is_infinite(max_wait)) {
      const int64_t spent = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now() - start).count();
      int64_t rest = to_nanoseconds(max_wait) - spent;
      if (rest < 0) rest = 0;
      left.sec = static_cast<int32_t>(rest / 1000000000LL);
      left.nanosec = static_cast<uint32_t>(rest % 1000000000LL);
    }
    ReturnCode_t rc = w->wait_for_acknowledgments(left);
    if (rc != RETCODE_OK) return rc;
  }
  return RETCODE_OK;
}

ReturnCode_t PublisherImpl::get_qos(PublisherQos& qos) { return get_locked(qos_, qos); }

ReturnCode_t PublisherImpl::set_qos(const PublisherQos& qos) {
  std::vector<DataWriterImpl*> affected;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    PublisherQos q = qos;
    if (&qos == &PUBLISHER_QOS_DEFAULT) participant_->get_default_publisher_qos(q);
    ReturnCode_t rc = replace_group_qos(qos_, enabled_, q, writers_, affected);
    if (rc != RETCODE_OK) return rc;
  }
  for (DataWriterImpl* e : affected) e->publisher_qos_changed();
  return RETCODE_OK;
}

ReturnCode_t PublisherImpl::set_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<PublisherQos>(l, p, n, [this](const PublisherQos& q) { return set_qos(q); });
}

ReturnCode_t PublisherImpl::set_listener(PublisherListener* listener, StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  listener_ = listener;
  mask_ = mask;
  return RETCODE_OK;
}

PublisherListener* PublisherImpl::get_listener() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return listener_;
}

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

// =============================================================== Subscriber
SubscriberImpl::SubscriberImpl(ParticipantImpl* participant, const SubscriberQos& qos,
                               SubscriberListener* listener, StatusMask mask, const InstanceHandle_t& handle)
    : participant_(participant), qos_(qos), listener_(listener), mask_(mask), handle_(handle) {}

ReturnCode_t SubscriberImpl::enable() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (enabled_) return RETCODE_OK;
  if (!participant_->is_enabled()) return RETCODE_PRECONDITION_NOT_MET;
  enabled_ = true;
  return RETCODE_OK;
}

SubscriberQos SubscriberImpl::qos() const {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return qos_;
}

bool SubscriberImpl::contains(const InstanceHandle_t& h) const {
  for (DataReaderImpl* r : readers_)
    if (r->get_instance_handle() == h) return true;
  return false;
}

std::vector<DataReaderImpl*> SubscriberImpl::unlink_all_readers() {
  std::vector<DataReaderImpl*> out;
  out.swap(readers_);
  for (DataReaderImpl* r : out) {
    r->topic_impl()->remove_user();
    if (ContentFilteredTopicImpl* c = r->cft_impl()) c->remove_user();
  }
  return out;
}

DataReader* SubscriberImpl::create_reader_locked(TopicDescription* topic, const DataReaderQos& qos,
                                                 DataReaderListener* listener, StatusMask mask) {
  ReaderTopic rt = resolve_reader_topic(participant_, topic);
  if (rt.topic == nullptr) return nullptr;
  const DataReaderQos q = (&qos == &DATAREADER_QOS_DEFAULT) ? default_reader_qos_ : qos;
  if (check_qos(q) != RETCODE_OK) return nullptr;
  DataReaderImpl* r = DataReaderImpl::create(this, rt, q, listener, mask);
  if (r == nullptr) return nullptr;
  readers_.push_back(r);
  rt.topic->add_user();
  if (rt.cft != nullptr) rt.cft->add_user();
  if (enabled_ && qos_.entity_factory.autoenable_created_entities) r->enable();
  return r;
}

DataReader* SubscriberImpl::create_datareader(TopicDescription* topic, const DataReaderQos& qos,
                                              DataReaderListener* listener, StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return create_reader_locked(topic, qos, listener, mask);
}

DataReader* SubscriberImpl::create_datareader_with_profile(TopicDescription* topic, const char* l, const char* p,
                                                           const char* n, DataReaderListener* listener,
                                                           StatusMask mask) {
  DataReaderQos q;
  if (profiles::find(l, p, n, q) != RETCODE_OK) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return create_reader_locked(topic, q, listener, mask);
}

ReturnCode_t SubscriberImpl::delete_datareader(DataReader*& reader) {
  DataReaderImpl* victim = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (reader == nullptr) return RETCODE_BAD_PARAMETER;
    victim = unlink_member(readers_, reader);
    if (victim == nullptr) return RETCODE_PRECONDITION_NOT_MET;
    victim->topic_impl()->remove_user();
    if (ContentFilteredTopicImpl* c = victim->cft_impl()) c->remove_user();
  }
  victim->close();
  delete victim;
  reader = nullptr;
  return RETCODE_OK;
}

DataReader* SubscriberImpl::lookup_datareader(const std::string& topic_name) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  for (DataReaderImpl* r : readers_) {
    const std::string name = r->cft_impl() != nullptr ? r->cft_impl()->get_name() : r->topic_impl()->name();
    if (name == topic_name) return r;
  }
  return nullptr;
}

ReturnCode_t SubscriberImpl::delete_contained_entities() {
  std::vector<DataReaderImpl*> readers;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    readers = unlink_all_readers();
  }
  std::vector<DataWriterImpl*> none;
  close_endpoints(none, readers);
  return RETCODE_OK;
}

ReturnCode_t SubscriberImpl::get_qos(SubscriberQos& qos) { return get_locked(qos_, qos); }

ReturnCode_t SubscriberImpl::set_qos(const SubscriberQos& qos) {
  std::vector<DataReaderImpl*> affected;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    SubscriberQos q = qos;
    if (&qos == &SUBSCRIBER_QOS_DEFAULT) participant_->get_default_subscriber_qos(q);
    ReturnCode_t rc = replace_group_qos(qos_, enabled_, q, readers_, affected);
    if (rc != RETCODE_OK) return rc;
  }
  for (DataReaderImpl* e : affected) e->subscriber_qos_changed();
  return RETCODE_OK;
}

ReturnCode_t SubscriberImpl::set_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<SubscriberQos>(l, p, n, [this](const SubscriberQos& q) { return set_qos(q); });
}

ReturnCode_t SubscriberImpl::set_listener(SubscriberListener* listener, StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  listener_ = listener;
  mask_ = mask;
  return RETCODE_OK;
}

SubscriberListener* SubscriberImpl::get_listener() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return listener_;
}

DomainParticipant* SubscriberImpl::get_participant() { return participant_; }

ReturnCode_t SubscriberImpl::set_default_datareader_qos(const DataReaderQos& qos) {
  return set_default_locked(default_reader_qos_, qos, DATAREADER_QOS_DEFAULT);
}

ReturnCode_t SubscriberImpl::get_default_datareader_qos(DataReaderQos& qos) { return get_locked(default_reader_qos_, qos); }

ReturnCode_t SubscriberImpl::set_default_datareader_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<DataReaderQos>(l, p, n, [this](const DataReaderQos& q) { return set_default_datareader_qos(q); });
}

ReturnCode_t SubscriberImpl::copy_from_topic_qos(DataReaderQos& reader_qos, const TopicQos& topic_qos) {
  copy_topic_policies(topic_qos, reader_qos);
  return RETCODE_OK;
}

}  // namespace QUORVELA::detail
