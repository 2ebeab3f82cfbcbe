// Publishers and subscribers: their writers and readers, QoS and defaults.
#include <algorithm>
#include <chrono>

#include "impl.h"
#include "qos_rules.h"
#include "reader.h"
#include "writer.h"
#include "model_util.h"
#include "policy_table.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

namespace {

// copy_from_topic_qos: every policy the topic and the endpoint both have.
template <typename Q>
void copy_topic_policies(const TopicQos& t, Q& endpoint) {
  for_each_policy_of<Q>([&](const auto& row, auto member) {
    if (auto from = row.template in<TopicQos>()) endpoint.*member = t.*from;
  });
}

// What a writer or reader holds on topics while it belongs to its group: a
// user count on its topic and, for a reader, on its content-filtered topic.
void hold_topics(DataWriterImpl* w) { w->topic_impl()->add_user(); }
void release_topics(DataWriterImpl* w) { w->topic_impl()->remove_user(); }

void hold_topics(DataReaderImpl* r) {
  r->topic_impl()->add_user();
  if (ContentFilteredTopicImpl* c = r->cft_impl()) c->add_user();
}
void release_topics(DataReaderImpl* r) {
  r->topic_impl()->remove_user();
  if (ContentFilteredTopicImpl* c = r->cft_impl()) c->remove_user();
}

// The end of a create call, with the model lock held in `lock`: links `e`
// into its group and enables it when the group autoenables what it creates.
// When that fails (Cyclone refused the endpoint) the creation fails: `e` is
// unlinked, closed outside the lock and freed.
template <typename Endpoint>
Endpoint* link_new_endpoint(std::unique_lock<std::recursive_mutex>& lock, std::vector<Endpoint*>& endpoints,
                            Endpoint* e, bool enable) {
  endpoints.push_back(e);
  hold_topics(e);
  if (!enable || e->enable() == RETCODE_OK) return e;
  endpoints.pop_back();
  release_topics(e);
  lock.unlock();
  e->close();
  delete e;
  return nullptr;
}

ReturnCode_t group_qos_changed(DataWriterImpl* w) { return w->publisher_qos_changed(); }
ReturnCode_t group_qos_changed(DataReaderImpl* r) { return r->subscriber_qos_changed(); }

void participant_default(ParticipantImpl* participant, PublisherQos& q) {
  participant->get_default_publisher_qos(q);
}
void participant_default(ParticipantImpl* participant, SubscriberQos& q) {
  participant->get_default_subscriber_qos(q);
}

template <typename Endpoint>
bool holds_handle(const std::vector<Endpoint*>& endpoints, const InstanceHandle_t& h) {
  for (Endpoint* e : endpoints)
    if (e->get_instance_handle() == h) return true;
  return false;
}

// Unlinks every endpoint of a group; they are to be closed outside the lock.
template <typename Endpoint>
std::vector<Endpoint*> unlink_all(std::vector<Endpoint*>& endpoints) {
  std::vector<Endpoint*> out;
  out.swap(endpoints);
  for (Endpoint* e : out) release_topics(e);
  return out;
}

// Deletes one endpoint of a group: unlinked under the model lock, closed
// (which waits for its callbacks) after releasing it.
template <typename Endpoint, typename Api>
ReturnCode_t delete_endpoint(std::vector<Endpoint*>& endpoints, Api*& endpoint) {
  Endpoint* victim = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (endpoint == nullptr) return RETCODE_BAD_PARAMETER;
    victim = unlink_member(endpoints, endpoint);
    if (victim == nullptr) return RETCODE_PRECONDITION_NOT_MET;
    release_topics(victim);
  }
  victim->close();
  delete victim;
  endpoint = nullptr;
  return RETCODE_OK;
}

template <typename Endpoint>
ReturnCode_t delete_all_endpoints(std::vector<Endpoint*>& endpoints) {
  std::vector<Endpoint*> victims;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    victims = unlink_all(endpoints);
  }
  close_all(victims);
  return RETCODE_OK;
}

// Replaces the QoS of a publisher or subscriber; the default object stands
// for the participant's current default. The endpoints that must announce
// the change are told outside the model lock; the first code of one that
// could not (Cyclone refused it) is the result.
template <typename Q, typename Endpoint>
ReturnCode_t set_group_qos(ParticipantImpl* participant, Q& current, const std::atomic<bool>& enabled, const Q& qos,
                           const Q& default_object, const std::vector<Endpoint*>& endpoints) {
  std::vector<Endpoint*> affected;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    Q next = qos;
    if (&qos == &default_object) participant_default(participant, next);
    ReturnCode_t rc = replace_group_qos(current, enabled.load(), next, endpoints, affected);
    if (rc != RETCODE_OK) return rc;
  }
  return tell_all(affected, [](Endpoint* e) { return group_qos_changed(e); });
}

}  // namespace

// ================================================================ Publisher
PublisherImpl::PublisherImpl(ParticipantImpl* participant, const PublisherQos& qos, PublisherListener* listener,
                             StatusMask mask, const InstanceHandle_t& handle)
    : participant_(participant), qos_(qos), listener_(listener), mask_(mask), handle_(handle) {}

ReturnCode_t PublisherImpl::enable() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return enable_child_locked(enabled_, participant_, qos_.entity_factory.autoenable_created_entities, writers_);
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

// =============================================================== Subscriber
SubscriberImpl::SubscriberImpl(ParticipantImpl* participant, const SubscriberQos& qos,
                               SubscriberListener* listener, StatusMask mask, const InstanceHandle_t& handle)
    : participant_(participant), qos_(qos), listener_(listener), mask_(mask), handle_(handle) {}

ReturnCode_t SubscriberImpl::enable() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  return enable_child_locked(enabled_, participant_, qos_.entity_factory.autoenable_created_entities, readers_);
}

SubscriberQos SubscriberImpl::qos() const { return copy_locked(qos_); }

bool SubscriberImpl::contains(const InstanceHandle_t& h) const { return holds_handle(readers_, h); }

std::vector<DataReaderImpl*> SubscriberImpl::unlink_all_readers() { return unlink_all(readers_); }

DataReader* SubscriberImpl::create_datareader(TopicDescription* topic, const DataReaderQos& qos,
                                              DataReaderListener* listener, StatusMask mask) {
  std::unique_lock<std::recursive_mutex> lock(model_mutex());
  ReaderTopic rt = resolve_reader_topic(participant_, topic);
  if (rt.topic == nullptr) return nullptr;
  const DataReaderQos q = resolve_default(qos, DATAREADER_QOS_DEFAULT, default_reader_qos_);
  if (check_qos(q) != RETCODE_OK) return nullptr;
  DataReaderImpl* r = DataReaderImpl::create(this, rt, q, listener, mask);
  if (r == nullptr) return nullptr;
  return link_new_endpoint(lock, readers_, r, enabled_ && qos_.entity_factory.autoenable_created_entities);
}

DataReader* SubscriberImpl::create_datareader_with_profile(TopicDescription* topic, const char* l, const char* p,
                                                           const char* n, DataReaderListener* listener,
                                                           StatusMask mask) {
  return create_with_profile<DataReaderQos>(
      l, p, n, [&](const DataReaderQos& q) { return create_datareader(topic, q, listener, mask); });
}

ReturnCode_t SubscriberImpl::delete_datareader(DataReader*& reader) { return delete_endpoint(readers_, reader); }

DataReader* SubscriberImpl::lookup_datareader(const std::string& topic_name) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  for (DataReaderImpl* r : readers_) {
    const std::string name = r->cft_impl() != nullptr ? r->cft_impl()->get_name() : r->topic_impl()->name();
    if (name == topic_name) return r;
  }
  return nullptr;
}

ReturnCode_t SubscriberImpl::delete_contained_entities() { return delete_all_endpoints(readers_); }

ReturnCode_t SubscriberImpl::get_qos(SubscriberQos& qos) { return get_locked(qos_, qos); }

ReturnCode_t SubscriberImpl::set_qos(const SubscriberQos& qos) {
  return set_group_qos(participant_, qos_, enabled_, qos, SUBSCRIBER_QOS_DEFAULT, readers_);
}

ReturnCode_t SubscriberImpl::set_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<SubscriberQos>(l, p, n, [this](const SubscriberQos& q) { return set_qos(q); });
}

ReturnCode_t SubscriberImpl::set_listener(SubscriberListener* listener, StatusMask mask) {
  return set_listener_locked(listener_, mask_, listener, mask);
}

SubscriberListener* SubscriberImpl::get_listener() { return copy_locked(listener_); }

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
