// The entities of the QUORVELA API. Every operation is virtual; the library
// creates the objects and hands out pointers to them.
#ifndef QUORVELA_ENTITIES_H
#define QUORVELA_ENTITIES_H

#include <string>
#include <vector>

#include "quorvela/conditions.h"
#include "quorvela/listeners.h"
#include "quorvela/qos.h"
#include "quorvela/sequence.h"
#include "quorvela/type_support.h"
#include "quorvela/types.h"

namespace QUORVELA {

class DomainParticipant;
class Publisher;
class Subscriber;
class Topic;
class ContentFilteredTopic;
class DataWriter;
class DataReader;

class Entity {
 public:
  virtual ~Entity() = default;
  // RETCODE_PRECONDITION_NOT_MET while the parent is disabled. An entity whose
  // entity_factory QoS autoenables what it creates also enables the children
  // it created while it was disabled.
  virtual ReturnCode_t enable() = 0;
  virtual bool is_enabled() = 0;
  virtual StatusCondition& get_statuscondition() = 0;
  virtual StatusMask get_status_changes() = 0;
  virtual InstanceHandle_t get_instance_handle() = 0;
};

class TopicDescription {
 public:
  virtual ~TopicDescription() = default;
  virtual std::string get_type_name() = 0;
  virtual std::string get_name() = 0;
  virtual DomainParticipant* get_participant() = 0;
};

class Topic : public virtual TopicDescription, public Entity {
 protected:
  Topic();  // known to entity_exists() from here
 public:
  ~Topic() override;  // to here
  Topic(const Topic&) = delete;
  Topic& operator=(const Topic&) = delete;

  virtual ReturnCode_t get_qos(TopicQos& qos) = 0;
  virtual ReturnCode_t set_qos(const TopicQos& qos) = 0;
  virtual ReturnCode_t set_listener(TopicListener* listener, StatusMask mask) = 0;
  virtual TopicListener* get_listener() = 0;
  virtual ReturnCode_t get_inconsistent_topic_status(InconsistentTopicStatus& status) = 0;
};

class ContentFilteredTopic : public virtual TopicDescription {
 public:
  virtual std::string get_filter_expression() = 0;
  virtual ReturnCode_t get_expression_parameters(StringSeq& parameters) = 0;
  virtual ReturnCode_t set_expression_parameters(const StringSeq& parameters) = 0;
  virtual Topic* get_related_topic() = 0;
};

class DataWriter : public Entity {
 protected:
  DataWriter();  // known to entity_exists() from here
 public:
  ~DataWriter() override;  // to here
  DataWriter(const DataWriter&) = delete;
  DataWriter& operator=(const DataWriter&) = delete;

  virtual InstanceHandle_t register_instance(const void* instance) = 0;
  virtual InstanceHandle_t register_instance_w_timestamp(const void* instance, const Time& timestamp) = 0;
  virtual ReturnCode_t unregister_instance(const void* instance, const InstanceHandle_t& handle) = 0;
  virtual ReturnCode_t unregister_instance_w_timestamp(const void* instance, const InstanceHandle_t& handle,
                                                       const Time& timestamp) = 0;
  virtual ReturnCode_t get_key_value(void* key_holder, const InstanceHandle_t& handle) = 0;
  virtual InstanceHandle_t lookup_instance(const void* instance) = 0;
  virtual ReturnCode_t write(const void* data, const InstanceHandle_t& handle) = 0;
  virtual ReturnCode_t write_w_timestamp(const void* data, const InstanceHandle_t& handle,
                                         const Time& timestamp) = 0;
  virtual ReturnCode_t dispose(const void* data, const InstanceHandle_t& handle) = 0;
  virtual ReturnCode_t dispose_w_timestamp(const void* data, const InstanceHandle_t& handle,
                                           const Time& timestamp) = 0;
  virtual ReturnCode_t wait_for_acknowledgments(const Duration_t& max_wait) = 0;

  virtual ReturnCode_t get_liveliness_lost_status(LivelinessLostStatus& status) = 0;
  virtual ReturnCode_t get_offered_deadline_missed_status(OfferedDeadlineMissedStatus& status) = 0;
  virtual ReturnCode_t get_offered_incompatible_qos_status(OfferedIncompatibleQosStatus& status) = 0;
  virtual ReturnCode_t get_publication_matched_status(PublicationMatchedStatus& status) = 0;
  virtual ReturnCode_t assert_liveliness() = 0;

  virtual ReturnCode_t get_matched_subscriptions(InstanceHandleSeq& handles) = 0;
  virtual ReturnCode_t get_matched_subscription_data(SubscriptionBuiltinTopicData& data,
                                                     const InstanceHandle_t& handle) = 0;

  virtual Topic* get_topic() = 0;
  virtual Publisher* get_publisher() = 0;

  virtual ReturnCode_t get_qos(DataWriterQos& qos) = 0;
  virtual ReturnCode_t set_qos(const DataWriterQos& qos) = 0;
  virtual ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                            const char* qos_name) = 0;
  virtual ReturnCode_t set_listener(DataWriterListener* listener, StatusMask mask) = 0;
  virtual DataWriterListener* get_listener() = 0;
};

class DataReader : public Entity {
 protected:
  DataReader();  // known to entity_exists() from here
 public:
  ~DataReader() override;  // to here
  DataReader(const DataReader&) = delete;
  DataReader& operator=(const DataReader&) = delete;

  virtual ReturnCode_t read(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                            SampleStateMask sample_states, ViewStateMask view_states,
                            InstanceStateMask instance_states) = 0;
  virtual ReturnCode_t take(SequenceBase& data_values, SampleInfoSeq& sample_infos, int32_t max_samples,
                            SampleStateMask sample_states, ViewStateMask view_states,
                            InstanceStateMask instance_states) = 0;
  virtual ReturnCode_t read_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                        int32_t max_samples, ReadCondition* condition) = 0;
  virtual ReturnCode_t take_w_condition(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                        int32_t max_samples, ReadCondition* condition) = 0;
  virtual ReturnCode_t read_instance(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                     int32_t max_samples, const InstanceHandle_t& handle,
                                     SampleStateMask sample_states, ViewStateMask view_states,
                                     InstanceStateMask instance_states) = 0;
  virtual ReturnCode_t take_instance(SequenceBase& data_values, SampleInfoSeq& sample_infos,
                                     int32_t max_samples, const InstanceHandle_t& handle,
                                     SampleStateMask sample_states, ViewStateMask view_states,
                                     InstanceStateMask instance_states) = 0;
  virtual ReturnCode_t read_next_sample(void* data_value, SampleInfo& sample_info) = 0;
  virtual ReturnCode_t take_next_sample(void* data_value, SampleInfo& sample_info) = 0;

  virtual InstanceHandle_t lookup_instance(const void* instance) = 0;
  virtual ReturnCode_t get_key_value(void* key_holder, const InstanceHandle_t& handle) = 0;

  virtual ReadCondition* create_readcondition(SampleStateMask sample_states, ViewStateMask view_states,
                                              InstanceStateMask instance_states) = 0;
  virtual QueryCondition* create_querycondition(SampleStateMask sample_states, ViewStateMask view_states,
                                                InstanceStateMask instance_states,
                                                const std::string& query_expression,
                                                const StringSeq& query_parameters) = 0;
  virtual ReturnCode_t delete_readcondition(ReadCondition* condition) = 0;
  virtual ReturnCode_t delete_contained_entities() = 0;

  virtual ReturnCode_t get_liveliness_changed_status(LivelinessChangedStatus& status) = 0;
  virtual ReturnCode_t get_requested_deadline_missed_status(RequestedDeadlineMissedStatus& status) = 0;
  virtual ReturnCode_t get_requested_incompatible_qos_status(RequestedIncompatibleQosStatus& status) = 0;
  virtual ReturnCode_t get_sample_lost_status(SampleLostStatus& status) = 0;
  virtual ReturnCode_t get_sample_rejected_status(SampleRejectedStatus& status) = 0;
  virtual ReturnCode_t get_subscription_matched_status(SubscriptionMatchedStatus& status) = 0;

  virtual ReturnCode_t get_matched_publications(InstanceHandleSeq& handles) = 0;
  virtual ReturnCode_t get_matched_publication_data(PublicationBuiltinTopicData& data,
                                                    const InstanceHandle_t& handle) = 0;
  virtual ReturnCode_t wait_for_historical_data(const Duration_t& max_wait) = 0;

  virtual TopicDescription* get_topicdescription() = 0;
  virtual Subscriber* get_subscriber() = 0;

  virtual ReturnCode_t get_qos(DataReaderQos& qos) = 0;
  virtual ReturnCode_t set_qos(const DataReaderQos& qos) = 0;
  virtual ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                            const char* qos_name) = 0;
  virtual ReturnCode_t set_listener(DataReaderListener* listener, StatusMask mask) = 0;
  virtual DataReaderListener* get_listener() = 0;
};

class Publisher : public Entity {
 protected:
  Publisher();  // known to entity_exists() from here
 public:
  ~Publisher() override;  // to here
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  virtual DataWriter* create_datawriter(Topic* topic, const DataWriterQos& qos, DataWriterListener* listener,
                                        StatusMask mask) = 0;
  virtual DataWriter* create_datawriter_with_profile(Topic* topic, const char* library_name,
                                                     const char* profile_name, const char* qos_name,
                                                     DataWriterListener* listener, StatusMask mask) = 0;
  virtual ReturnCode_t delete_datawriter(DataWriter*& writer) = 0;
  virtual DataWriter* lookup_datawriter(const std::string& topic_name) = 0;
  virtual ReturnCode_t delete_contained_entities() = 0;
  virtual ReturnCode_t wait_for_acknowledgments(const Duration_t& max_wait) = 0;

  virtual ReturnCode_t get_qos(PublisherQos& qos) = 0;
  virtual ReturnCode_t set_qos(const PublisherQos& qos) = 0;
  virtual ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                            const char* qos_name) = 0;
  virtual ReturnCode_t set_listener(PublisherListener* listener, StatusMask mask) = 0;
  virtual PublisherListener* get_listener() = 0;
  virtual DomainParticipant* get_participant() = 0;

  virtual ReturnCode_t set_default_datawriter_qos(const DataWriterQos& qos) = 0;
  virtual ReturnCode_t get_default_datawriter_qos(DataWriterQos& qos) = 0;
  virtual ReturnCode_t set_default_datawriter_qos_with_profile(const char* library_name,
                                                               const char* profile_name,
                                                               const char* qos_name) = 0;
  virtual ReturnCode_t copy_from_topic_qos(DataWriterQos& writer_qos, const TopicQos& topic_qos) = 0;
};

class Subscriber : public Entity {
 protected:
  Subscriber();  // known to entity_exists() from here
 public:
  ~Subscriber() override;  // to here
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  virtual DataReader* create_datareader(TopicDescription* topic, const DataReaderQos& qos,
                                        DataReaderListener* listener, StatusMask mask) = 0;
  virtual DataReader* create_datareader_with_profile(TopicDescription* topic, const char* library_name,
                                                     const char* profile_name, const char* qos_name,
                                                     DataReaderListener* listener, StatusMask mask) = 0;
  virtual ReturnCode_t delete_datareader(DataReader*& reader) = 0;
  virtual DataReader* lookup_datareader(const std::string& topic_name) = 0;
  virtual ReturnCode_t delete_contained_entities() = 0;

  virtual ReturnCode_t get_qos(SubscriberQos& qos) = 0;
  virtual ReturnCode_t set_qos(const SubscriberQos& qos) = 0;
  virtual ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                            const char* qos_name) = 0;
  virtual ReturnCode_t set_listener(SubscriberListener* listener, StatusMask mask) = 0;
  virtual SubscriberListener* get_listener() = 0;
  virtual DomainParticipant* get_participant() = 0;

  virtual ReturnCode_t set_default_datareader_qos(const DataReaderQos& qos) = 0;
  virtual ReturnCode_t get_default_datareader_qos(DataReaderQos& qos) = 0;
  virtual ReturnCode_t set_default_datareader_qos_with_profile(const char* library_name,
                                                               const char* profile_name,
                                                               const char* qos_name) = 0;
  virtual ReturnCode_t copy_from_topic_qos(DataReaderQos& reader_qos, const TopicQos& topic_qos) = 0;
};

class DomainParticipant : public Entity {
 protected:
  DomainParticipant();  // known to entity_exists() from here
 public:
  ~DomainParticipant() override;  // to here
  DomainParticipant(const DomainParticipant&) = delete;
  DomainParticipant& operator=(const DomainParticipant&) = delete;

  virtual Publisher* create_publisher(const PublisherQos& qos, PublisherListener* listener,
                                      StatusMask mask) = 0;
  virtual Publisher* create_publisher_with_profile(const char* library_name, const char* profile_name,
                                                   const char* qos_name, PublisherListener* listener,
                                                   StatusMask mask) = 0;
  virtual ReturnCode_t delete_publisher(Publisher*& publisher) = 0;
  virtual Subscriber* create_subscriber(const SubscriberQos& qos, SubscriberListener* listener,
                                        StatusMask mask) = 0;
  virtual Subscriber* create_subscriber_with_profile(const char* library_name, const char* profile_name,
                                                     const char* qos_name, SubscriberListener* listener,
                                                     StatusMask mask) = 0;
  virtual ReturnCode_t delete_subscriber(Subscriber*& subscriber) = 0;

  virtual ReturnCode_t registe_type(const std::string& type_name, TypeSupport* type_support) = 0;

  virtual Topic* create_topic(const std::string& topic_name, const std::string& type_name,
                              const TopicQos& qos, TopicListener* listener, StatusMask mask) = 0;
  virtual Topic* create_topic_with_profile(const std::string& topic_name, const std::string& type_name,
                                           const char* library_name, const char* profile_name,
                                           const char* qos_name, TopicListener* listener,
                                           StatusMask mask) = 0;
  virtual ReturnCode_t delete_topic(Topic*& topic) = 0;
  virtual Topic* find_topic(const std::string& topic_name, const Duration_t& timeout) = 0;
  virtual TopicDescription* lookup_topicdescription(const std::string& name) = 0;
  // Null when the name is in use, the related topic is not this participant's,
  // the expression does not parse or names an unknown member, the parameters
  // are fewer than its highest %n + 1 or not single literals, or the type name
  // of the related topic has no member layout in the library: only types
  // registered as "KeyedType" or "FlatRecord" can be filtered (type supports
  // carry no type object). The language is described in src/filter/filter.h.
  virtual ContentFilteredTopic* create_contentfilteredtopic(const std::string& name, Topic* related_topic,
                                                            const std::string& filter_expression,
                                                            const StringSeq& expression_parameters) = 0;
  virtual ReturnCode_t delete_contentfilteredtopic(ContentFilteredTopic*& topic) = 0;

  virtual ReturnCode_t delete_contained_entities() = 0;
  virtual bool contains_entity(const InstanceHandle_t& handle) = 0;
  virtual ReturnCode_t assert_liveliness() = 0;
  virtual DomainId_t get_domain_id() = 0;
  virtual ReturnCode_t get_current_time(Time& current_time) = 0;

  virtual ReturnCode_t get_discovered_participants(InstanceHandleSeq& handles) = 0;
  virtual ReturnCode_t get_discovered_participant_data(ParticipantBuiltinTopicData& data,
                                                       const InstanceHandle_t& handle) = 0;

  virtual ReturnCode_t get_qos(DomainParticipantQos& qos) = 0;
  virtual ReturnCode_t set_qos(const DomainParticipantQos& qos) = 0;
  virtual ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                            const char* qos_name) = 0;
  virtual ReturnCode_t set_listener(DomainParticipantListener* listener, StatusMask mask) = 0;
  virtual DomainParticipantListener* get_listener() = 0;

  virtual ReturnCode_t set_default_publisher_qos(const PublisherQos& qos) = 0;
  virtual ReturnCode_t get_default_publisher_qos(PublisherQos& qos) = 0;
  virtual ReturnCode_t set_default_publisher_qos_with_profile(const char* library_name,
                                                              const char* profile_name,
                                                              const char* qos_name) = 0;
  virtual ReturnCode_t set_default_subscriber_qos(const SubscriberQos& qos) = 0;
  virtual ReturnCode_t get_default_subscriber_qos(SubscriberQos& qos) = 0;
  virtual ReturnCode_t set_default_subscriber_qos_with_profile(const char* library_name,
                                                               const char* profile_name,
                                                               const char* qos_name) = 0;
  virtual ReturnCode_t set_default_topic_qos(const TopicQos& qos) = 0;
  virtual ReturnCode_t get_default_topic_qos(TopicQos& qos) = 0;
  virtual ReturnCode_t set_default_topic_qos_with_profile(const char* library_name, const char* profile_name,
                                                          const char* qos_name) = 0;
};

// Whether an entity lives at `entity`: every participant, publisher,
// subscriber, topic, data writer and data reader object is known by its
// address and kind from its construction to its destruction (deletion by
// its parent, delete_contained_entities or finalize()). Only the address is
// compared, the pointer is never followed, so any pointer may be passed: the
// Python binding refuses entities deleted behind its back with it. Another
// entity of the same kind made later at the same address counts as alive.
bool entity_exists(const DomainParticipant* entity);
bool entity_exists(const Publisher* entity);
bool entity_exists(const Subscriber* entity);
bool entity_exists(const Topic* entity);
bool entity_exists(const DataWriter* entity);
bool entity_exists(const DataReader* entity);

class DomainParticipantFactory {
 public:
  // The one factory of the process; the same pointer on every call.
  static DomainParticipantFactory* get_instance();
  // Deletes every participant still alive with everything in it and returns
  // the factory to its initial QoS and default participant QoS. Loaded QoS
  // profiles stay loaded until unload_qos.
  static ReturnCode_t finalize();

  virtual DomainParticipant* create_participant(DomainId_t domain_id, const DomainParticipantQos& qos,
                                                DomainParticipantListener* listener, StatusMask mask) = 0;
  virtual DomainParticipant* create_participant_with_profile(DomainId_t domain_id, const char* library_name,
                                                             const char* profile_name, const char* qos_name,
                                                             DomainParticipantListener* listener,
                                                             StatusMask mask) = 0;
  virtual ReturnCode_t delete_participant(DomainParticipant*& participant) = 0;
  virtual DomainParticipant* lookup_participant(DomainId_t domain_id) = 0;

  virtual ReturnCode_t get_qos(DomainParticipantFactoryQos& qos) = 0;
  virtual ReturnCode_t set_qos(const DomainParticipantFactoryQos& qos) = 0;
  virtual ReturnCode_t set_qos_with_profile(const char* library_name, const char* profile_name,
                                            const char* qos_name) = 0;
  virtual ReturnCode_t get_default_participant_qos(DomainParticipantQos& qos) = 0;
  virtual ReturnCode_t set_default_participant_qos(const DomainParticipantQos& qos) = 0;
  virtual ReturnCode_t set_default_participant_qos_with_profile(const char* library_name,
                                                                const char* profile_name,
                                                                const char* qos_name) = 0;

  // QoS profiles.
  virtual ReturnCode_t load_qos_from_xml(const char* file_name) = 0;
  virtual ReturnCode_t unload_qos() = 0;
  virtual ReturnCode_t get_participant_factory_qos_from_profile(DomainParticipantFactoryQos& qos,
                                                                const char* library_name,
                                                                const char* profile_name,
                                                                const char* qos_name) = 0;
  virtual ReturnCode_t get_participant_qos_from_profile(DomainParticipantQos& qos, const char* library_name,
                                                        const char* profile_name, const char* qos_name) = 0;
  virtual ReturnCode_t get_publisher_qos_from_profile(PublisherQos& qos, const char* library_name,
                                                      const char* profile_name, const char* qos_name) = 0;
  virtual ReturnCode_t get_subscriber_qos_from_profile(SubscriberQos& qos, const char* library_name,
                                                       const char* profile_name, const char* qos_name) = 0;
  virtual ReturnCode_t get_topic_qos_from_profile(TopicQos& qos, const char* library_name,
                                                  const char* profile_name, const char* qos_name) = 0;
  virtual ReturnCode_t get_datawriter_qos_from_profile(DataWriterQos& qos, const char* library_name,
                                                       const char* profile_name, const char* qos_name) = 0;
  virtual ReturnCode_t get_datareader_qos_from_profile(DataReaderQos& qos, const char* library_name,
                                                       const char* profile_name, const char* qos_name) = 0;

 protected:
  DomainParticipantFactory() = default;
  virtual ~DomainParticipantFactory() = default;
};

}  // namespace QUORVELA

#endif
