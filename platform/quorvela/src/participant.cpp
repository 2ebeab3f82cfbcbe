// Domain participants: containment, registrations, topics and defaults.
#include <algorithm>
#include <chrono>
#include <condition_variable>

#include "filter/filter.h"
#include "impl.h"
#include "faults/fault.h"
#include "qos_rules.h"
#include "reader.h"
#include "writer.h"
#include "model_util.h"
#include "xml/profiles.h"

namespace QUORVELA::detail {

namespace {

// Signalled whenever a topic is created, for find_topic.
std::condition_variable_any& topic_created() {
  static std::condition_variable_any cv;
  return cv;
}

constexpr uint8_t kEntityKindTopic = 0x0a;

// Stores a new child of a participant and returns it, enabled first when the
// participant autoenables what it creates.
template <typename Child>
Child* adopt(std::vector<std::unique_ptr<Child>>& children, std::unique_ptr<Child> child, bool enable) {
  if (enable) child->enable();
  children.push_back(std::move(child));
  return children.back().get();
}

// Deletes `entity`, one of the participant's `owned` children, under the model
// lock: null is RETCODE_BAD_PARAMETER; one that is not among them, or is
// still in use, RETCODE_PRECONDITION_NOT_MET. `release` gives back what the
// child holds just before it is freed.
template <typename Impl, typename Api, typename InUse, typename Release>
ReturnCode_t delete_owned(std::vector<std::unique_ptr<Impl>>& owned, Api*& entity, InUse in_use, Release release) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (entity == nullptr) return RETCODE_BAD_PARAMETER;
  auto it = std::find_if(owned.begin(), owned.end(),
                         [&](const std::unique_ptr<Impl>& e) { return static_cast<Api*>(e.get()) == entity; });
  if (it == owned.end()) return RETCODE_PRECONDITION_NOT_MET;
  if (in_use(**it)) return RETCODE_PRECONDITION_NOT_MET;
  release(**it);
  owned.erase(it);
  entity = nullptr;
  return RETCODE_OK;
}

template <typename Impl, typename Api, typename InUse>
ReturnCode_t delete_owned(std::vector<std::unique_ptr<Impl>>& owned, Api*& entity, InUse in_use) {
  return delete_owned(owned, entity, in_use, [](Impl&) {});
}

}  // namespace

void close_endpoints(std::vector<DataWriterImpl*>& writers, std::vector<DataReaderImpl*>& readers) {
  close_all(readers);
  close_all(writers);
}

ParticipantImpl::ParticipantImpl(DomainId_t domain_id, const DomainParticipantQos& qos,
                                 DomainParticipantListener* listener, StatusMask mask)
    : domain_id_(domain_id), qos_(qos), listener_(listener), mask_(mask) {}

ParticipantImpl::~ParticipantImpl() { wire_.destroy(); }

bool ParticipantImpl::start(bool enabled) {
  const uint32_t domain = static_cast<uint32_t>(domain_id_);
  // Fault: a participant created disabled is put on the wire at once.
  const dds_return_t rc = enabled || QV_FAULT(disabled_participant_announced) ? wire_.create(domain, qos_)
                                                                             : wire_.reserve(domain, qos_.transport_mode);
  if (rc != DDS_RETCODE_OK) return false;
  handle_ = handle_from_guid(wire_.guid());
  return true;
}

ReturnCode_t ParticipantImpl::enable() {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (enabled_) return RETCODE_OK;
  if (!wire_.created() &&
      wire_.create(static_cast<uint32_t>(domain_id_), qos_) != DDS_RETCODE_OK)
    return RETCODE_ERROR;
  enabled_ = true;
  // What was created while the participant was disabled follows it when it
  // autoenables what it creates (and so on down, by each group's own QoS).
  if (qos_.entity_factory.autoenable_created_entities) {
    for (auto& t : topics_) t->enable();
    for (auto& p : publishers_) p->enable();
    for (auto& s : subscribers_) s->enable();
  }
  return RETCODE_OK;
}

InstanceHandle_t ParticipantImpl::mint_handle(uint8_t entity_kind) {
  return handle_from_guid(wire_.mint_guid(entity_kind));
}

DomainParticipantQos ParticipantImpl::qos() const { return copy_locked(qos_); }

bool ParticipantImpl::empty() const {
  return publishers_.empty() && subscribers_.empty() && topics_.empty() && cfts_.empty();
}

TopicImpl* ParticipantImpl::find_topic_impl(Topic* topic) const {
  if (topic == nullptr) return nullptr;
  for (auto& t : topics_)
    if (static_cast<Topic*>(t.get()) == topic) return t.get();
  return nullptr;
}

TopicImpl* ParticipantImpl::find_topic_by_description(TopicDescription* description) const {
  if (description == nullptr) return nullptr;
  for (auto& t : topics_)
    if (static_cast<TopicDescription*>(t.get()) == description) return t.get();
  return nullptr;
}

void ParticipantImpl::endpoints_on(const TopicImpl* t, std::vector<DataWriterImpl*>& writers,
                                   std::vector<DataReaderImpl*>& readers) const {
  for (auto& p : publishers_)
    for (DataWriterImpl* w : p->writers())
      if (w->topic_impl() == t) writers.push_back(w);
  for (auto& s : subscribers_)
    for (DataReaderImpl* r : s->readers())
      if (r->topic_impl() == t) readers.push_back(r);
}

ContentFilteredTopicImpl* ParticipantImpl::find_cft_impl(TopicDescription* d) const {
  if (d == nullptr) return nullptr;
  for (auto& c : cfts_)
    if (static_cast<TopicDescription*>(c.get()) == d) return c.get();
  return nullptr;
}

ReaderTopic resolve_reader_topic(ParticipantImpl* participant, TopicDescription* description) {
  ReaderTopic rt;
  if (participant == nullptr || description == nullptr) return rt;
  if (ContentFilteredTopicImpl* c = participant->find_cft_impl(description)) {
    rt.topic = c->related_impl();
    rt.cft = c;
    return rt;
  }
  rt.topic = participant->find_topic_by_description(description);
  return rt;
}

// ------------------------------------------------------------ publishers
Publisher* ParticipantImpl::create_publisher(const PublisherQos& qos, PublisherListener* listener,
                                             StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  const PublisherQos q = resolve_default(qos, PUBLISHER_QOS_DEFAULT, default_publisher_qos_);
  if (check_qos(q) != RETCODE_OK) return nullptr;
  return adopt(publishers_,
               std::make_unique<PublisherImpl>(this, q, listener, mask, mint_handle(wire::kEntityKindPublisher)),
               autoenables());
}

Publisher* ParticipantImpl::create_publisher_with_profile(const char* l, const char* p, const char* n,
                                                          PublisherListener* listener, StatusMask mask) {
  return create_with_profile<PublisherQos>(
      l, p, n, [&](const PublisherQos& q) { return create_publisher(q, listener, mask); });
}

ReturnCode_t ParticipantImpl::delete_publisher(Publisher*& publisher) {
  return delete_owned(publishers_, publisher, [](const PublisherImpl& p) { return p.has_writers(); });
}

// ----------------------------------------------------------- subscribers
Subscriber* ParticipantImpl::create_subscriber(const SubscriberQos& qos, SubscriberListener* listener,
                                               StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  const SubscriberQos q = resolve_default(qos, SUBSCRIBER_QOS_DEFAULT, default_subscriber_qos_);
  if (check_qos(q) != RETCODE_OK) return nullptr;
  return adopt(subscribers_,
               std::make_unique<SubscriberImpl>(this, q, listener, mask, mint_handle(wire::kEntityKindSubscriber)),
               autoenables());
}

Subscriber* ParticipantImpl::create_subscriber_with_profile(const char* l, const char* p, const char* n,
                                                            SubscriberListener* listener, StatusMask mask) {
  return create_with_profile<SubscriberQos>(
      l, p, n, [&](const SubscriberQos& q) { return create_subscriber(q, listener, mask); });
}

ReturnCode_t ParticipantImpl::delete_subscriber(Subscriber*& subscriber) {
  return delete_owned(subscribers_, subscriber, [](const SubscriberImpl& s) { return s.has_readers(); });
}

// ----------------------------------------------------------------- types
ReturnCode_t ParticipantImpl::registe_type(const std::string& type_name, TypeSupport* type_support) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (type_support == nullptr || !valid_name(type_name)) return RETCODE_BAD_PARAMETER;
  auto it = types_.find(type_name);
  if (it != types_.end()) return it->second == type_support ? RETCODE_OK : RETCODE_PRECONDITION_NOT_MET;
  types_.emplace(type_name, type_support);
  return RETCODE_OK;
}

// ---------------------------------------------------------------- topics
Topic* ParticipantImpl::create_topic(const std::string& topic_name, const std::string& type_name,
                                     const TopicQos& qos, TopicListener* listener, StatusMask mask) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (!valid_name(topic_name)) return nullptr;
  auto type = types_.find(type_name);
  if (type == types_.end()) return nullptr;
  if (lookup_topicdescription(topic_name) != nullptr) return nullptr;
  const TopicQos q = resolve_default(qos, TOPIC_QOS_DEFAULT, default_topic_qos_);
  if (check_qos(q) != RETCODE_OK) return nullptr;
  Topic* t = adopt(topics_,
                   std::make_unique<TopicImpl>(this, topic_name, type_name, type->second, q, listener, mask,
                                               mint_handle(kEntityKindTopic)),
                   autoenables());
  topic_created().notify_all();
  return t;
}

Topic* ParticipantImpl::create_topic_with_profile(const std::string& topic_name, const std::string& type_name,
                                                  const char* l, const char* p, const char* n,
                                                  TopicListener* listener, StatusMask mask) {
  return create_with_profile<TopicQos>(
      l, p, n, [&](const TopicQos& q) { return create_topic(topic_name, type_name, q, listener, mask); });
}

ReturnCode_t ParticipantImpl::delete_topic(Topic*& topic) {
  return delete_owned(topics_, topic, [](const TopicImpl& t) { return t.users() > 0; });
}

Topic* ParticipantImpl::find_topic(const std::string& topic_name, const Duration_t& timeout) {
  std::unique_lock<std::recursive_mutex> lock(model_mutex());
  auto lookup = [&]() -> Topic* {
    for (auto& t : topics_)
      if (t->name() == topic_name) return t.get();
    return nullptr;
  };
  if (Topic* t = lookup()) return t;
  // No topic of a name beyond the bound ever exists.
  if (!is_valid(timeout) || !valid_name(topic_name)) return nullptr;
  // Waits for the topic to be created by another thread, up to the time-out.
  const auto deadline = std::chrono::steady_clock::now() +
                        (is_infinite(timeout) ? std::chrono::hours(24 * 365) : to_chrono(timeout));
  while (true) {
    if (topic_created().wait_until(lock, deadline) == std::cv_status::timeout) return lookup();
    if (Topic* t = lookup()) return t;
  }
}

TopicDescription* ParticipantImpl::lookup_topicdescription(const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  for (auto& t : topics_)
    if (t->name() == name) return t.get();
  for (auto& c : cfts_)
    if (c->get_name() == name) return c.get();
  return nullptr;
}

ContentFilteredTopic* ParticipantImpl::create_contentfilteredtopic(const std::string& name, Topic* related_topic,
                                                                   const std::string& filter_expression,
                                                                   const StringSeq& expression_parameters) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (!valid_name(name)) return nullptr;
  TopicImpl* related = find_topic_impl(related_topic);
  if (related == nullptr) return nullptr;
  if (lookup_topicdescription(name) != nullptr) return nullptr;
  std::string error;
  std::unique_ptr<ContentFilter> filter =
      ContentFilter::create(related->type_name(), filter_expression, expression_parameters, &error);
  if (!filter) return nullptr;
  cfts_.push_back(std::make_unique<ContentFilteredTopicImpl>(this, name, related, std::move(filter)));
  related->add_user();
  return cfts_.back().get();
}

ReturnCode_t ParticipantImpl::delete_contentfilteredtopic(ContentFilteredTopic*& topic) {
  return delete_owned(
      cfts_, topic, [](const ContentFilteredTopicImpl& c) { return c.users() > 0; },
      [](ContentFilteredTopicImpl& c) { c.related_impl()->remove_user(); });
}

// ----------------------------------------------------------- containment
void ParticipantImpl::unlink_contents(std::vector<DataWriterImpl*>& writers, std::vector<DataReaderImpl*>& readers,
                                      std::vector<std::unique_ptr<Entity>>& others,
                                      std::vector<std::unique_ptr<ContentFilteredTopicImpl>>& cfts) {
  for (auto& p : publishers_) {
    auto w = p->unlink_all_writers();
    writers.insert(writers.end(), w.begin(), w.end());
  }
  for (auto& s : subscribers_) {
    auto r = s->unlink_all_readers();
    readers.insert(readers.end(), r.begin(), r.end());
  }
  for (auto& c : cfts_) cfts.push_back(std::move(c));
  cfts_.clear();
  for (auto& p : publishers_) others.push_back(std::move(p));
  publishers_.clear();
  for (auto& s : subscribers_) others.push_back(std::move(s));
  subscribers_.clear();
  for (auto& t : topics_) others.push_back(std::move(t));
  topics_.clear();
}

ReturnCode_t ParticipantImpl::delete_contained_entities() {
  std::vector<DataWriterImpl*> writers;
  std::vector<DataReaderImpl*> readers;
  std::vector<std::unique_ptr<Entity>> others;
  std::vector<std::unique_ptr<ContentFilteredTopicImpl>> cfts;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    unlink_contents(writers, readers, others, cfts);
  }
  // Fault: the contents are unlinked but never closed or destroyed, so the
  // endpoints stay matched in the domain.
  if (QV_FAULT(deleted_entities_stay)) {
    for (auto& o : others) (void)o.release();
    for (auto& c : cfts) (void)c.release();
    return RETCODE_OK;
  }
  // Endpoints first: they refer to their publishers, subscribers and topics.
  close_endpoints(writers, readers);
  cfts.clear();
  others.clear();
  return RETCODE_OK;
}

bool ParticipantImpl::contains_entity(const InstanceHandle_t& handle) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  if (handle == HANDLE_NIL || handle == handle_) return false;
  for (auto& p : publishers_)
    if (p->get_instance_handle() == handle || p->contains(handle)) return true;
  for (auto& s : subscribers_)
    if (s->get_instance_handle() == handle || s->contains(handle)) return true;
  for (auto& t : topics_)
    if (t->get_instance_handle() == handle) return true;
  return false;
}

ReturnCode_t ParticipantImpl::assert_liveliness() {
  if (!enabled_) return RETCODE_NOT_ENABLED;
  // Renews the manual-by-participant writers, then asserts the participant.
  return DataWriterImpl::assert_participant_liveliness(&wire_);
}

ReturnCode_t ParticipantImpl::get_current_time(Time& current_time) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  current_time = to_time(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
  return RETCODE_OK;
}

// ------------------------------------------------------------- discovery
ReturnCode_t ParticipantImpl::get_discovered_participants(InstanceHandleSeq& handles) {
  std::vector<wire::DiscoveredParticipant> all;
  const dds_return_t rc = wire_.discovered_participants(all);
  if (rc != DDS_RETCODE_OK) return wire::to_retcode(rc);
  InstanceHandleSeq found;
  for (const wire::DiscoveredParticipant& d : all) found.push_back(handle_from_guid(d.guid));
  // Fault: a participant that left stays listed (a list only ever added to).
  if (QV_FAULT(discovered_participants_keep_departed)) {
    static std::mutex departed_mutex;
    static std::vector<InstanceHandle_t> ever;
    std::lock_guard<std::mutex> lock(departed_mutex);
    for (const InstanceHandle_t& h : found)
      if (std::find(ever.begin(), ever.end(), h) == ever.end()) ever.push_back(h);
    found = ever;
  }
  handles.swap(found);
  return RETCODE_OK;
}

ReturnCode_t ParticipantImpl::get_discovered_participant_data(ParticipantBuiltinTopicData& data,
                                                              const InstanceHandle_t& handle) {
  wire::DiscoveredParticipant d;
  const dds_return_t rc = wire_.discovered_participant(guid_from_handle(handle), d);
  if (rc != DDS_RETCODE_OK) return wire::to_retcode(rc);
  data = std::move(d.data);
  set_participant_key(data.key, d.guid);
  return RETCODE_OK;
}

// ------------------------------------------------------------------- QoS
ReturnCode_t ParticipantImpl::get_qos(DomainParticipantQos& qos) { return get_locked(qos_, qos); }

ReturnCode_t ParticipantImpl::set_qos(const DomainParticipantQos& qos) {
  std::lock_guard<std::recursive_mutex> lock(model_mutex());
  DomainParticipantQos q;
  if (&qos == &PARTICIPANT_QOS_DEFAULT)
    DomainParticipantFactory::get_instance()->get_default_participant_qos(q);
  else
    q = qos;
  ReturnCode_t rc = check_qos(q);
  if (rc != RETCODE_OK) return rc;
  rc = check_changeable(qos_, q);
  if (rc != RETCODE_OK) return rc;
  // A disabled participant announces its QoS when it is enabled.
  const wire::WireChange change = wire::participant_change(qos_, q);
  if (change.in_place && wire_.created()) {
    const dds_return_t set = wire_.set_qos(change.in_place);
    if (set != DDS_RETCODE_OK) return wire::to_retcode(set);
  }
  qos_ = q;
  return RETCODE_OK;
}

ReturnCode_t ParticipantImpl::set_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<DomainParticipantQos>(l, p, n, [this](const DomainParticipantQos& q) { return set_qos(q); });
}

ReturnCode_t ParticipantImpl::set_listener(DomainParticipantListener* listener, StatusMask mask) {
  return set_listener_locked(listener_, mask_, listener, mask);
}

DomainParticipantListener* ParticipantImpl::get_listener() { return copy_locked(listener_); }

ReturnCode_t ParticipantImpl::set_default_publisher_qos(const PublisherQos& qos) {
  return set_default_locked(default_publisher_qos_, qos, PUBLISHER_QOS_DEFAULT);
}

ReturnCode_t ParticipantImpl::get_default_publisher_qos(PublisherQos& qos) { return get_locked(default_publisher_qos_, qos); }

ReturnCode_t ParticipantImpl::set_default_publisher_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<PublisherQos>(l, p, n, [this](const PublisherQos& q) { return set_default_publisher_qos(q); });
}

ReturnCode_t ParticipantImpl::set_default_subscriber_qos(const SubscriberQos& qos) {
  return set_default_locked(default_subscriber_qos_, qos, SUBSCRIBER_QOS_DEFAULT);
}

ReturnCode_t ParticipantImpl::get_default_subscriber_qos(SubscriberQos& qos) { return get_locked(default_subscriber_qos_, qos); }

ReturnCode_t ParticipantImpl::set_default_subscriber_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<SubscriberQos>(l, p, n, [this](const SubscriberQos& q) { return set_default_subscriber_qos(q); });
}

ReturnCode_t ParticipantImpl::set_default_topic_qos(const TopicQos& qos) {
  return set_default_locked(default_topic_qos_, qos, TOPIC_QOS_DEFAULT);
}

ReturnCode_t ParticipantImpl::get_default_topic_qos(TopicQos& qos) { return get_locked(default_topic_qos_, qos); }

ReturnCode_t ParticipantImpl::set_default_topic_qos_with_profile(const char* l, const char* p, const char* n) {
  return with_profile<TopicQos>(l, p, n, [this](const TopicQos& q) { return set_default_topic_qos(q); });
}

}  // namespace QUORVELA::detail
