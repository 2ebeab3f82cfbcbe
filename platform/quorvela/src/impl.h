// The local entity model: factory, participants, publishers, subscribers,
// topics and content-filtered topics.
//
// Locking: one process-wide recursive mutex, model_mutex(), guards the entity
// tree (parent/child links, QoS values, defaults, registrations). Writers and
// readers keep their data-path state under their own locks. A deletion unlinks
// the victims from the tree under model_mutex() and closes them (which waits
// for their callbacks) after releasing it, so a listener that calls back into
// the model cannot deadlock against a deletion.
//
// Contract with writer.h / reader.h (DataWriterImpl / DataReaderImpl):
//   DataWriterImpl* DataWriterImpl::create(PublisherImpl*, TopicImpl*, const DataWriterQos&,
//                                          DataWriterListener*, StatusMask);
//       null when the QoS is refused; not enabled yet. Called with model_mutex() held.
//   ReturnCode_t enable();         the publisher calls it for autoenable
//   ReturnCode_t group_qos_changed(const PublisherQos& old, const PublisherQos& next);
//   ReturnCode_t topic_qos_changed(const TopicQos& old, const TopicQos& next);
//       the publisher's (topic's) QoS changed: the writer's Cyclone side follows
//       (both RETCODE_OK, or the code of what Cyclone refused)
//   void close();                  stops timers, waits for running callbacks, deletes the
//                                  Cyclone entities; no callback afterwards. Called without
//                                  model_mutex() held, after the writer was unlinked.
//   TopicImpl* topic_impl();
// and the same for DataReaderImpl:
//   DataReaderImpl* DataReaderImpl::create(SubscriberImpl*, const ReaderTopic&, const DataReaderQos&,
//                                          DataReaderListener*, StatusMask);
//   enable(), group_qos_changed() (of SubscriberQos), topic_qos_changed(), close(),
//   TopicImpl* topic_impl(), ContentFilteredTopicImpl* cft_impl() (null unless created on one).
// The publisher (subscriber) keeps the topic's user count; the writer and reader
// never touch it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "conditions/status_condition_impl.h"
#include "faults/fault.h"
#include "qos_rules.h"
#include "faults/variant.h"
#include "quorvela/quorvela.h"
#include "wire/participant_wire.h"

namespace QUORVELA {
namespace detail {

class ContentFilter;
class FactoryImpl;
class ParticipantImpl;
class PublisherImpl;
class SubscriberImpl;
class TopicImpl;
class ContentFilteredTopicImpl;
class DataWriterImpl;
class DataReaderImpl;

std::recursive_mutex& model_mutex();

// Topic names (of content-filtered topics too) and type names are 1 to
// kMaxNameBytes bytes long and hold no NUL (free_of_nul()); others are
// refused before they reach Cyclone. (Cyclone keeps every other byte of a
// type name; a topic name it does not accept is refused by the first writer
// or reader of the topic.)
constexpr size_t kMaxNameBytes = 256;
inline bool valid_name(const std::string& name) {
  return !name.empty() && name.size() <= kMaxNameBytes && free_of_nul(name);
}

// Entity handles: 12-octet prefix + 4-octet entity id, length 16, trailing 0.
InstanceHandle_t handle_from_guid(const wire::Guid& g);
wire::Guid guid_from_handle(const InstanceHandle_t& h);
// The key of a participant in discovery data (its own, and the participant
// key of its endpoints' data): its GUID's octets, the bytes of its handle.
// DDS ties a key to a handle only for matched endpoints; the variant
// participant_key_not_handle gives the GUID's octets in reverse order.
void set_participant_key(BuiltinTopicKey_t& key, const wire::Guid& participant);

// ------------------------------------------------------------------ topics
class TopicImpl : public Topic {
 public:
  TopicImpl(ParticipantImpl* participant, const std::string& name, const std::string& type_name,
            TypeSupport* type_support, const TopicQos& qos, TopicListener* listener, StatusMask mask,
            const InstanceHandle_t& handle);

  // TopicDescription
  std::string get_type_name() override { return type_name_; }
  std::string get_name() override { return name_; }
  DomainParticipant* get_participant() override;
  // Entity
  ReturnCode_t enable() override;
  bool is_enabled() override { return enabled_; }
  StatusCondition& get_statuscondition() override { return status_condition_; }
  StatusMask get_status_changes() override { return 0; }
  InstanceHandle_t get_instance_handle() override { return handle_; }
  // Topic
  ReturnCode_t get_qos(TopicQos& qos) override;
  ReturnCode_t set_qos(const TopicQos& qos) override;
  ReturnCode_t set_listener(TopicListener* listener, StatusMask mask) override;
  TopicListener* get_listener() override;
  ReturnCode_t get_inconsistent_topic_status(InconsistentTopicStatus& status) override;

  // Internal
  ParticipantImpl* participant_impl() const { return participant_; }
  TypeSupport* type_support() const { return type_support_; }
  bool keyed() const { return keyed_; }
  TopicQos qos() const;  // copy, under model_mutex()
  const std::string& name() const { return name_; }
  const std::string& type_name() const { return type_name_; }
  int users() const { return users_; }  // writers, readers and content-filtered topics
  void add_user() { ++users_; }
  void remove_user() { --users_; }

 private:
  ParticipantImpl* participant_;
  std::string name_;
  std::string type_name_;
  TypeSupport* type_support_;
  bool keyed_;
  TopicQos qos_;
  TopicListener* listener_;
  StatusMask mask_;
  InstanceHandle_t handle_;
  std::atomic<bool> enabled_{false};
  int users_ = 0;
  StatusConditionImpl status_condition_{this};
};

class ContentFilteredTopicImpl : public ContentFilteredTopic {
 public:
  ContentFilteredTopicImpl(ParticipantImpl* participant, const std::string& name, TopicImpl* related,
                           std::unique_ptr<ContentFilter> filter);
  ~ContentFilteredTopicImpl() override;

  std::string get_type_name() override;
  std::string get_name() override { return name_; }
  DomainParticipant* get_participant() override;
  std::string get_filter_expression() override;
  ReturnCode_t get_expression_parameters(StringSeq& parameters) override;
  ReturnCode_t set_expression_parameters(const StringSeq& parameters) override;
  Topic* get_related_topic() override { return related_; }

  TopicImpl* related_impl() const { return related_; }
  // Shared with the readers created on this topic; evaluated on arrival.
  std::shared_ptr<ContentFilter> filter() const { return filter_; }
  int users() const { return users_; }
  void add_user() { ++users_; }
  void remove_user() { --users_; }

 private:
  ParticipantImpl* participant_;
  std::string name_;
  TopicImpl* related_;
  std::shared_ptr<ContentFilter> filter_;
  int users_ = 0;
};

// Resolves what create_datareader was given: the topic it reads and, for a
// content-filtered topic, that topic. Null topic when `description` is not an
// entity of `participant`. Call with model_mutex() held.
struct ReaderTopic {
  TopicImpl* topic = nullptr;
  ContentFilteredTopicImpl* cft = nullptr;
};
ReaderTopic resolve_reader_topic(ParticipantImpl* participant, TopicDescription* description);

// ------------------------------------------------------ publisher/subscriber
class PublisherImpl : public Publisher {
 public:
  PublisherImpl(ParticipantImpl* participant, const PublisherQos& qos, PublisherListener* listener,
                StatusMask mask, const InstanceHandle_t& handle);

  ReturnCode_t enable() override;
  bool is_enabled() override { return enabled_; }
  StatusCondition& get_statuscondition() override { return status_condition_; }
  StatusMask get_status_changes() override { return 0; }
  InstanceHandle_t get_instance_handle() override { return handle_; }

  DataWriter* create_datawriter(Topic* topic, const DataWriterQos& qos, DataWriterListener* listener,
                                StatusMask mask) override;
  DataWriter* create_datawriter_with_profile(Topic* topic, const char* library_name, const char* profile_name,
                                             const char* qos_name, DataWriterListener* listener,
                                             StatusMask mask) override;
  ReturnCode_t delete_datawriter(DataWriter*& writer) override;
  DataWriter* lookup_datawriter(const std::string& topic_name) override;
  ReturnCode_t delete_contained_entities() override;
  ReturnCode_t wait_for_acknowledgments(const Duration_t& max_wait) override;
  ReturnCode_t get_qos(PublisherQos& qos) override;
  ReturnCode_t set_qos(const PublisherQos& qos) override;
  ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                    const char* qos_name) override;
  ReturnCode_t set_listener(PublisherListener* listener, StatusMask mask) override;
  PublisherListener* get_listener() override;
  DomainParticipant* get_participant() override;
  ReturnCode_t set_default_datawriter_qos(const DataWriterQos& qos) override;
  ReturnCode_t get_default_datawriter_qos(DataWriterQos& qos) override;
  ReturnCode_t set_default_datawriter_qos_with_profile(const char* library_name, const char* profile_name,
                                                       const char* qos_name) override;
  ReturnCode_t copy_from_topic_qos(DataWriterQos& writer_qos, const TopicQos& topic_qos) override;

  // Internal
  ParticipantImpl* participant_impl() const { return participant_; }
  PublisherQos qos() const;  // copy, under model_mutex()
  bool has_writers() const { return !writers_.empty(); }
  bool contains(const InstanceHandle_t& h) const;
  // Unlinks every writer and returns them for closing outside the lock.
  std::vector<DataWriterImpl*> unlink_all_writers();
  std::vector<DataWriterImpl*> writers() const { return writers_; }

 private:
  ParticipantImpl* participant_;
  PublisherQos qos_;
  PublisherListener* listener_;
  StatusMask mask_;
  InstanceHandle_t handle_;
  std::atomic<bool> enabled_{false};
  DataWriterQos default_writer_qos_;
  std::vector<DataWriterImpl*> writers_;
  StatusConditionImpl status_condition_{this};
};

class SubscriberImpl : public Subscriber {
 public:
  SubscriberImpl(ParticipantImpl* participant, const SubscriberQos& qos, SubscriberListener* listener,
                 StatusMask mask, const InstanceHandle_t& handle);

  ReturnCode_t enable() override;
  bool is_enabled() override { return enabled_; }
  StatusCondition& get_statuscondition() override { return status_condition_; }
  StatusMask get_status_changes() override { return 0; }
  InstanceHandle_t get_instance_handle() override { return handle_; }

  DataReader* create_datareader(TopicDescription* topic, const DataReaderQos& qos,
                                DataReaderListener* listener, StatusMask mask) override;
  DataReader* create_datareader_with_profile(TopicDescription* topic, const char* library_name,
                                             const char* profile_name, const char* qos_name,
                                             DataReaderListener* listener, StatusMask mask) override;
  ReturnCode_t delete_datareader(DataReader*& reader) override;
  DataReader* lookup_datareader(const std::string& topic_name) override;
  ReturnCode_t delete_contained_entities() override;
  ReturnCode_t get_qos(SubscriberQos& qos) override;
  ReturnCode_t set_qos(const SubscriberQos& qos) override;
  ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                    const char* qos_name) override;
  ReturnCode_t set_listener(SubscriberListener* listener, StatusMask mask) override;
  SubscriberListener* get_listener() override;
  DomainParticipant* get_participant() override;
  ReturnCode_t set_default_datareader_qos(const DataReaderQos& qos) override;
  ReturnCode_t get_default_datareader_qos(DataReaderQos& qos) override;
  ReturnCode_t set_default_datareader_qos_with_profile(const char* library_name, const char* profile_name,
                                                       const char* qos_name) override;
  ReturnCode_t copy_from_topic_qos(DataReaderQos& reader_qos, const TopicQos& topic_qos) override;

  // Internal
  ParticipantImpl* participant_impl() const { return participant_; }
  SubscriberQos qos() const;
  bool has_readers() const { return !readers_.empty(); }
  bool contains(const InstanceHandle_t& h) const;
  std::vector<DataReaderImpl*> unlink_all_readers();
  std::vector<DataReaderImpl*> readers() const { return readers_; }

 private:
  ParticipantImpl* participant_;
  SubscriberQos qos_;
  SubscriberListener* listener_;
  StatusMask mask_;
  InstanceHandle_t handle_;
  std::atomic<bool> enabled_{false};
  DataReaderQos default_reader_qos_;
  std::vector<DataReaderImpl*> readers_;
  StatusConditionImpl status_condition_{this};
};

// -------------------------------------------------------------- participant
class ParticipantImpl : public DomainParticipant {
 public:
  ParticipantImpl(DomainId_t domain_id, const DomainParticipantQos& qos, DomainParticipantListener* listener,
                  StatusMask mask);
  ~ParticipantImpl() override;

  // Creates the Cyclone participant, or only reserves its GUID when it is
  // created disabled (the Cyclone participant comes with enable(), so that
  // nothing of it is announced before); false when the domain or QoS is
  // refused.
  bool start(bool enabled);

  ReturnCode_t enable() override;
  bool is_enabled() override { return enabled_; }
  StatusCondition& get_statuscondition() override { return status_condition_; }
  StatusMask get_status_changes() override { return 0; }
  InstanceHandle_t get_instance_handle() override { return handle_; }

  Publisher* create_publisher(const PublisherQos& qos, PublisherListener* listener, StatusMask mask) override;
  Publisher* create_publisher_with_profile(const char* library_name, const char* profile_name,
                                           const char* qos_name, PublisherListener* listener,
                                           StatusMask mask) override;
  ReturnCode_t delete_publisher(Publisher*& publisher) override;
  Subscriber* create_subscriber(const SubscriberQos& qos, SubscriberListener* listener, StatusMask mask) override;
  Subscriber* create_subscriber_with_profile(const char* library_name, const char* profile_name,
                                             const char* qos_name, SubscriberListener* listener,
                                             StatusMask mask) override;
  ReturnCode_t delete_subscriber(Subscriber*& subscriber) override;
  ReturnCode_t registe_type(const std::string& type_name, TypeSupport* type_support) override;
  Topic* create_topic(const std::string& topic_name, const std::string& type_name, const TopicQos& qos,
                      TopicListener* listener, StatusMask mask) override;
  Topic* create_topic_with_profile(const std::string& topic_name, const std::string& type_name,
                                   const char* library_name, const char* profile_name, const char* qos_name,
                                   TopicListener* listener, StatusMask mask) override;
  ReturnCode_t delete_topic(Topic*& topic) override;
  Topic* find_topic(const std::string& topic_name, const Duration_t& timeout) override;
  TopicDescription* lookup_topicdescription(const std::string& name) override;
  ContentFilteredTopic* create_contentfilteredtopic(const std::string& name, Topic* related_topic,
                                                    const std::string& filter_expression,
                                                    const StringSeq& expression_parameters) override;
  ReturnCode_t delete_contentfilteredtopic(ContentFilteredTopic*& topic) override;
  ReturnCode_t delete_contained_entities() override;
  bool contains_entity(const InstanceHandle_t& handle) override;
  ReturnCode_t assert_liveliness() override;
  DomainId_t get_domain_id() override { return domain_id_; }
  ReturnCode_t get_current_time(Time& current_time) override;
  ReturnCode_t get_discovered_participants(InstanceHandleSeq& handles) override;
  ReturnCode_t get_discovered_participant_data(ParticipantBuiltinTopicData& data,
                                               const InstanceHandle_t& handle) override;
  ReturnCode_t get_qos(DomainParticipantQos& qos) override;
  ReturnCode_t set_qos(const DomainParticipantQos& qos) override;
  ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                    const char* qos_name) override;
  ReturnCode_t set_listener(DomainParticipantListener* listener, StatusMask mask) override;
  DomainParticipantListener* get_listener() override;
  ReturnCode_t set_default_publisher_qos(const PublisherQos& qos) override;
  ReturnCode_t get_default_publisher_qos(PublisherQos& qos) override;
  ReturnCode_t set_default_publisher_qos_with_profile(const char* library_name, const char* profile_name,
                                                      const char* qos_name) override;
  ReturnCode_t set_default_subscriber_qos(const SubscriberQos& qos) override;
  ReturnCode_t get_default_subscriber_qos(SubscriberQos& qos) override;
  ReturnCode_t set_default_subscriber_qos_with_profile(const char* library_name, const char* profile_name,
                                                       const char* qos_name) override;
  ReturnCode_t set_default_topic_qos(const TopicQos& qos) override;
  ReturnCode_t get_default_topic_qos(TopicQos& qos) override;
  ReturnCode_t set_default_topic_qos_with_profile(const char* library_name, const char* profile_name,
                                                  const char* qos_name) override;

  // Internal
  wire::ParticipantWire& wire() { return wire_; }
  DomainParticipantQos qos() const;
  bool empty() const;  // no publishers, subscribers, topics or content-filtered topics
  // New entity handle with this participant's prefix.
  InstanceHandle_t mint_handle(uint8_t entity_kind);
  TopicImpl* find_topic_impl(Topic* topic) const;
  // The same for a topic description; compares pointers only, so a stale
  // pointer is never followed.
  TopicImpl* find_topic_by_description(TopicDescription* description) const;
  // The writers and readers of this participant on topic t.
  void endpoints_on(const TopicImpl* t, std::vector<DataWriterImpl*>& writers,
                    std::vector<DataReaderImpl*>& readers) const;
  ContentFilteredTopicImpl* find_cft_impl(TopicDescription* d) const;
  // Unlinks everything inside; returns the writers and readers to close
  // outside the lock and deletes the rest.
  void unlink_contents(std::vector<DataWriterImpl*>& writers, std::vector<DataReaderImpl*>& readers,
                       std::vector<std::unique_ptr<Entity>>& others,
                       std::vector<std::unique_ptr<ContentFilteredTopicImpl>>& cfts);

 private:
  // Whether what this participant creates is enabled at once.
  bool autoenables() const { return enabled_ && qos_.entity_factory.autoenable_created_entities; }

  DomainId_t domain_id_;
  DomainParticipantQos qos_;
  DomainParticipantListener* listener_;
  StatusMask mask_;
  InstanceHandle_t handle_;
  std::atomic<bool> enabled_{false};
  wire::ParticipantWire wire_;

  PublisherQos default_publisher_qos_;
  SubscriberQos default_subscriber_qos_;
  TopicQos default_topic_qos_;
  std::map<std::string, TypeSupport*> types_;
  std::vector<std::unique_ptr<PublisherImpl>> publishers_;
  std::vector<std::unique_ptr<SubscriberImpl>> subscribers_;
  std::vector<std::unique_ptr<TopicImpl>> topics_;
  std::vector<std::unique_ptr<ContentFilteredTopicImpl>> cfts_;
  StatusConditionImpl status_condition_{this};
};

// Closes and frees writers and readers that were unlinked from the tree.
// Call without model_mutex() held.
void close_endpoints(std::vector<DataWriterImpl*>& writers, std::vector<DataReaderImpl*>& readers);

}  // namespace detail
}  // namespace QUORVELA
