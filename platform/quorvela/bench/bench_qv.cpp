// The benchmark through the QUORVELA API: KeyedType with its type support,
// a wait set with a read condition, take into a sequence.
#include "KeyedType.h"
#include "quorvela/quorvela.h"
#include "scenario.h"

namespace {

using namespace QUORVELA;

constexpr int32_t kBatch = 64;

Duration_t ms_duration(int ms) { return Duration_t{ms / 1000, static_cast<uint32_t>(ms % 1000) * 1000000u}; }

class QvAdaptor {
 public:
  using Sample = KeyedType;

  QvAdaptor() = default;
  QvAdaptor(const QvAdaptor&) = delete;
  QvAdaptor& operator=(const QvAdaptor&) = delete;
  ~QvAdaptor() {
    if (cond_) {
      ws_.detach_condition(*cond_);
      reader_->delete_readcondition(cond_);
    }
    if (participant_) {
      participant_->delete_contained_entities();
      factory_->delete_participant(participant_);
    }
    DomainParticipantFactory::finalize();
  }

  bool open(uint32_t domain) {
    participant_ = factory_->create_participant(static_cast<DomainId_t>(domain), PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    if (!participant_) return false;
    if (participant_->registe_type("KeyedType", KeyedTypeTypeSupport::get_instance()) != RETCODE_OK) return false;
    publisher_ = participant_->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    subscriber_ = participant_->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    return publisher_ && subscriber_;
  }

  bool make_writer(const char* topic) {
    Topic* t = participant_->create_topic(topic, "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    if (!t) return false;
    DataWriterQos q = DATAWRITER_QOS_DEFAULT;
    q.reliability.kind = RELIABLE_RELIABILITY_QOS;
    q.reliability.max_blocking_time = ms_duration(100);
    q.history.kind = KEEP_ALL_HISTORY_QOS;
    writer_ = publisher_->create_datawriter(t, q, nullptr, 0);
    return writer_ != nullptr;
  }

  bool make_reader(const char* topic) {
    Topic* t = participant_->create_topic(topic, "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    if (!t) return false;
    DataReaderQos q = DATAREADER_QOS_DEFAULT;
    q.reliability.kind = RELIABLE_RELIABILITY_QOS;
    q.history.kind = KEEP_ALL_HISTORY_QOS;
    reader_ = subscriber_->create_datareader(t, q, nullptr, 0);
    if (!reader_) return false;
    cond_ = reader_->create_readcondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
    return cond_ && ws_.attach_condition(*cond_) == RETCODE_OK;
  }

  bool writer_matched() {
    PublicationMatchedStatus st;
    return writer_->get_publication_matched_status(st) == RETCODE_OK && st.current_count > 0;
  }
  bool reader_matched() {
    SubscriptionMatchedStatus st;
    return reader_->get_subscription_matched_status(st) == RETCODE_OK && st.current_count > 0;
  }

  int write(const Sample& s) {
    const ReturnCode_t rc = writer_->write(&s, HANDLE_NIL);
    return rc == RETCODE_OK ? 0 : rc == RETCODE_TIMEOUT ? 1 : -1;
  }

  template <class F>
  int take(F f) {
    SequenceData<KeyedType> data;
    SampleInfoSeq infos;
    const ReturnCode_t rc = reader_->take(data, infos, kBatch, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
    if (rc == RETCODE_NO_DATA) return 0;
    if (rc != RETCODE_OK) return -1;
    int n = 0;
    for (uint32_t i = 0; i < infos.length(); ++i)
      if (infos[i].valid_data) {
        f(data[i]);
        ++n;
      }
    return n;
  }

  bool wait(int ms) {
    ConditionSeq active;
    return ws_.wait(active, ms_duration(ms)) == RETCODE_OK;
  }

  bool wait_acks(int ms) { return writer_->wait_for_acknowledgments(ms_duration(ms)) == RETCODE_OK; }

  bool cycle_participant(uint32_t domain) {
    DomainParticipant* p =
        factory_->create_participant(static_cast<DomainId_t>(domain), PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    return p != nullptr && factory_->delete_participant(p) == RETCODE_OK;
  }

  static Sample make(int32_t key, int16_t seq, const std::string& text) {
    KeyedType k;
    k.lVal = key;
    k.sVal = seq;
    k.sbVal = text;
    return k;
  }
  static void set(Sample& s, int32_t key, int16_t seq) {
    s.lVal = key;
    s.sVal = seq;
  }
  static int16_t seq_of(const Sample& s) { return s.sVal; }
  static int32_t key_of(const Sample& s) { return s.lVal; }

 private:
  DomainParticipantFactory* factory_ = DomainParticipantFactory::get_instance();
  DomainParticipant* participant_ = nullptr;
  Publisher* publisher_ = nullptr;
  Subscriber* subscriber_ = nullptr;
  DataWriter* writer_ = nullptr;
  DataReader* reader_ = nullptr;
  ReadCondition* cond_ = nullptr;
  WaitSet ws_;
};

}  // namespace

int main(int argc, char** argv) { return bench::main_for<QvAdaptor>(argc, argv, "quorvela"); }
