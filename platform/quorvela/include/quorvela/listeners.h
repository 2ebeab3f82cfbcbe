// Listener interfaces. The library keeps a non-owning pointer and calls the
// listener on its own threads.
#ifndef QUORVELA_LISTENERS_H
#define QUORVELA_LISTENERS_H

#include "quorvela/types.h"

namespace QUORVELA {

class DataWriter;
class DataReader;
class Topic;
class Subscriber;

class Listener {
 public:
  virtual ~Listener() = default;
};

class DataWriterListener : public Listener {
 public:
  virtual ~DataWriterListener() = default;
  virtual void on_liveliness_lost(DataWriter* writer, const LivelinessLostStatus& status) {
    (void)writer; (void)status;
  }
  virtual void on_offered_deadline_missed(DataWriter* writer, const OfferedDeadlineMissedStatus& status) {
    (void)writer; (void)status;
  }
  virtual void on_offered_incompatible_qos(DataWriter* writer, const OfferedIncompatibleQosStatus& status) {
    (void)writer; (void)status;
  }
  virtual void on_publication_matched(DataWriter* writer, const PublicationMatchedStatus& status) {
    (void)writer; (void)status;
  }
};

class DataReaderListener : public Listener {
 public:
  virtual ~DataReaderListener() = default;
  virtual void on_requested_deadline_missed(DataReader* reader, const RequestedDeadlineMissedStatus& status) {
    (void)reader; (void)status;
  }
  virtual void on_requested_incompatible_qos(DataReader* reader, const RequestedIncompatibleQosStatus& status) {
    (void)reader; (void)status;
  }
  virtual void on_sample_rejected(DataReader* reader, const SampleRejectedStatus& status) {
    (void)reader; (void)status;
  }
  virtual void on_liveliness_changed(DataReader* reader, const LivelinessChangedStatus& status) {
    (void)reader; (void)status;
  }
  virtual void on_data_available(DataReader* reader) { (void)reader; }
  virtual void on_subscription_matched(DataReader* reader, const SubscriptionMatchedStatus& status) {
    (void)reader; (void)status;
  }
  virtual void on_sample_lost(DataReader* reader, const SampleLostStatus& status) {
    (void)reader; (void)status;
  }
};

class TopicListener : public Listener {
 public:
  virtual ~TopicListener() = default;
  virtual void on_inconsistent_topic(Topic* topic, const InconsistentTopicStatus& status) {
    (void)topic; (void)status;
  }
};

class PublisherListener : public DataWriterListener {
 public:
  virtual ~PublisherListener() = default;
};

class SubscriberListener : public DataReaderListener {
 public:
  virtual ~SubscriberListener() = default;
  virtual void on_data_on_readers(Subscriber* subscriber) { (void)subscriber; }
};

class DomainParticipantListener : public PublisherListener {
 public:
  virtual ~DomainParticipantListener() = default;
};

}  // namespace QUORVELA

#endif
