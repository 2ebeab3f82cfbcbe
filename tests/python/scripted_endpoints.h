// Library writers and readers that do no DDS work: each call is recorded and
// answered from a script (a return code, a handle, a sample), so that tests
// can see exactly what a wrapper passed to the library and what it made of
// the answer.
#ifndef QV_TESTS_SCRIPTED_ENDPOINTS_H
#define QV_TESTS_SCRIPTED_ENDPOINTS_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FlatRecord.h"
#include "quorvela/quorvela.h"

namespace qv_doubles {

struct Script {
  QUORVELA::ReturnCode_t rc = QUORVELA::RETCODE_OK;
  QUORVELA::InstanceHandle_t handle;  // what handle-returning calls return
  FlatRecord sample;                  // what filling calls write
};

inline std::string describe(const FlatRecord* s) {
  if (s == nullptr) return "sample=null";
  std::string text = "sample=" + std::to_string(s->lVal) + "," + std::to_string(s->sVal) + ",";
  for (unsigned char c : s->sbVal) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", c);
    text += hex;
  }
  return text;
}

inline std::string describe(const QUORVELA::InstanceHandle_t& h) {
  std::string text = "handle=" + std::to_string(h.length) + "," + std::to_string(h.trailing) + ",";
  for (unsigned char c : h.value) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", c);
    text += hex;
  }
  return text;
}

inline std::string describe(const QUORVELA::Time& t) {
  return "time=" + std::to_string(t.sec) + "," + std::to_string(t.nanosec);
}

[[noreturn]] inline void not_scripted() {
  std::fputs("scripted endpoint: operation not scripted\n", stderr);
  std::abort();
}

class ScriptedWriter : public QUORVELA::DataWriter {
 public:
  Script script;
  std::string last;  // the last call: operation and arguments

  QUORVELA::ReturnCode_t enable() override { return script.rc; }
  bool is_enabled() override { return true; }
  QUORVELA::StatusCondition& get_statuscondition() override { not_scripted(); }
  QUORVELA::StatusMask get_status_changes() override { return 0; }
  QUORVELA::InstanceHandle_t get_instance_handle() override { return script.handle; }

  QUORVELA::InstanceHandle_t register_instance(const void* instance) override {
    last = "register_instance " + describe(static_cast<const FlatRecord*>(instance));
    return script.handle;
  }
  QUORVELA::InstanceHandle_t register_instance_w_timestamp(const void* instance, const QUORVELA::Time& t) override {
    last = "register_instance_w_timestamp " + describe(static_cast<const FlatRecord*>(instance)) + " " + describe(t);
    return script.handle;
  }
  QUORVELA::ReturnCode_t unregister_instance(const void* instance, const QUORVELA::InstanceHandle_t& h) override {
    last = "unregister_instance " + describe(static_cast<const FlatRecord*>(instance)) + " " + describe(h);
    return script.rc;
  }
  QUORVELA::ReturnCode_t unregister_instance_w_timestamp(const void* instance, const QUORVELA::InstanceHandle_t& h,
                                                         const QUORVELA::Time& t) override {
    last = "unregister_instance_w_timestamp " + describe(static_cast<const FlatRecord*>(instance)) + " " +
           describe(h) + " " + describe(t);
    return script.rc;
  }
  QUORVELA::ReturnCode_t get_key_value(void* key_holder, const QUORVELA::InstanceHandle_t& h) override {
    last = "get_key_value " + describe(h);
    *static_cast<FlatRecord*>(key_holder) = script.sample;
    return script.rc;
  }
  QUORVELA::InstanceHandle_t lookup_instance(const void* instance) override {
    last = "lookup_instance " + describe(static_cast<const FlatRecord*>(instance));
    return script.handle;
  }
  QUORVELA::ReturnCode_t write(const void* data, const QUORVELA::InstanceHandle_t& h) override {
    last = "write " + describe(static_cast<const FlatRecord*>(data)) + " " + describe(h);
    return script.rc;
  }
  QUORVELA::ReturnCode_t write_w_timestamp(const void* data, const QUORVELA::InstanceHandle_t& h,
                                           const QUORVELA::Time& t) override {
    last = "write_w_timestamp " + describe(static_cast<const FlatRecord*>(data)) + " " + describe(h) + " " +
           describe(t);
    return script.rc;
  }
  QUORVELA::ReturnCode_t dispose(const void* data, const QUORVELA::InstanceHandle_t& h) override {
    last = "dispose " + describe(static_cast<const FlatRecord*>(data)) + " " + describe(h);
    return script.rc;
  }
  QUORVELA::ReturnCode_t dispose_w_timestamp(const void* data, const QUORVELA::InstanceHandle_t& h,
                                             const QUORVELA::Time& t) override {
    last = "dispose_w_timestamp " + describe(static_cast<const FlatRecord*>(data)) + " " + describe(h) + " " +
           describe(t);
    return script.rc;
  }
  QUORVELA::ReturnCode_t wait_for_acknowledgments(const QUORVELA::Duration_t&) override { return script.rc; }
  QUORVELA::ReturnCode_t get_liveliness_lost_status(QUORVELA::LivelinessLostStatus&) override { return script.rc; }
  QUORVELA::ReturnCode_t get_offered_deadline_missed_status(QUORVELA::OfferedDeadlineMissedStatus&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t get_offered_incompatible_qos_status(QUORVELA::OfferedIncompatibleQosStatus&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t get_publication_matched_status(QUORVELA::PublicationMatchedStatus&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t assert_liveliness() override { return script.rc; }
  QUORVELA::ReturnCode_t get_matched_subscriptions(QUORVELA::InstanceHandleSeq&) override { return script.rc; }
  QUORVELA::ReturnCode_t get_matched_subscription_data(QUORVELA::SubscriptionBuiltinTopicData&,
                                                       const QUORVELA::InstanceHandle_t&) override {
    return script.rc;
  }
  QUORVELA::Topic* get_topic() override { return nullptr; }
  QUORVELA::Publisher* get_publisher() override { return nullptr; }
  QUORVELA::ReturnCode_t get_qos(QUORVELA::DataWriterQos&) override { return script.rc; }
  QUORVELA::ReturnCode_t set_qos(const QUORVELA::DataWriterQos&) override { return script.rc; }
  QUORVELA::ReturnCode_t set_qos_with_profile(const char*, const char*, const char*) override { return script.rc; }
  QUORVELA::ReturnCode_t set_listener(QUORVELA::DataWriterListener*, QUORVELA::StatusMask) override {
    return script.rc;
  }
  QUORVELA::DataWriterListener* get_listener() override { return nullptr; }
};

class ScriptedReader : public QUORVELA::DataReader {
 public:
  Script script;
  std::string last;

  QUORVELA::ReturnCode_t enable() override { return script.rc; }
  bool is_enabled() override { return true; }
  QUORVELA::StatusCondition& get_statuscondition() override { not_scripted(); }
  QUORVELA::StatusMask get_status_changes() override { return 0; }
  QUORVELA::InstanceHandle_t get_instance_handle() override { return script.handle; }

  QUORVELA::ReturnCode_t read(QUORVELA::SequenceBase&, QUORVELA::SampleInfoSeq&, int32_t, QUORVELA::SampleStateMask,
                              QUORVELA::ViewStateMask, QUORVELA::InstanceStateMask) override {
    not_scripted();
  }
  QUORVELA::ReturnCode_t take(QUORVELA::SequenceBase&, QUORVELA::SampleInfoSeq&, int32_t, QUORVELA::SampleStateMask,
                              QUORVELA::ViewStateMask, QUORVELA::InstanceStateMask) override {
    not_scripted();
  }
  QUORVELA::ReturnCode_t read_w_condition(QUORVELA::SequenceBase&, QUORVELA::SampleInfoSeq&, int32_t,
                                          QUORVELA::ReadCondition*) override {
    not_scripted();
  }
  QUORVELA::ReturnCode_t take_w_condition(QUORVELA::SequenceBase&, QUORVELA::SampleInfoSeq&, int32_t,
                                          QUORVELA::ReadCondition*) override {
    not_scripted();
  }
  QUORVELA::ReturnCode_t read_instance(QUORVELA::SequenceBase&, QUORVELA::SampleInfoSeq&, int32_t,
                                       const QUORVELA::InstanceHandle_t&, QUORVELA::SampleStateMask,
                                       QUORVELA::ViewStateMask, QUORVELA::InstanceStateMask) override {
    not_scripted();
  }
  QUORVELA::ReturnCode_t take_instance(QUORVELA::SequenceBase&, QUORVELA::SampleInfoSeq&, int32_t,
                                       const QUORVELA::InstanceHandle_t&, QUORVELA::SampleStateMask,
                                       QUORVELA::ViewStateMask, QUORVELA::InstanceStateMask) override {
    not_scripted();
  }
  QUORVELA::ReturnCode_t read_next_sample(void* data, QUORVELA::SampleInfo& info) override {
    return fill("read_next_sample", data, info);
  }
  QUORVELA::ReturnCode_t take_next_sample(void* data, QUORVELA::SampleInfo& info) override {
    return fill("take_next_sample", data, info);
  }
  QUORVELA::InstanceHandle_t lookup_instance(const void* instance) override {
    last = "lookup_instance " + describe(static_cast<const FlatRecord*>(instance));
    return script.handle;
  }
  QUORVELA::ReturnCode_t get_key_value(void* key_holder, const QUORVELA::InstanceHandle_t& h) override {
    last = "get_key_value " + describe(h);
    *static_cast<FlatRecord*>(key_holder) = script.sample;
    return script.rc;
  }
  QUORVELA::ReadCondition* create_readcondition(QUORVELA::SampleStateMask, QUORVELA::ViewStateMask,
                                                QUORVELA::InstanceStateMask) override {
    return nullptr;
  }
  QUORVELA::QueryCondition* create_querycondition(QUORVELA::SampleStateMask, QUORVELA::ViewStateMask,
                                                  QUORVELA::InstanceStateMask, const std::string&,
                                                  const QUORVELA::StringSeq&) override {
    return nullptr;
  }
  QUORVELA::ReturnCode_t delete_readcondition(QUORVELA::ReadCondition*) override { return script.rc; }
  QUORVELA::ReturnCode_t delete_contained_entities() override { return script.rc; }
  QUORVELA::ReturnCode_t get_liveliness_changed_status(QUORVELA::LivelinessChangedStatus&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t get_requested_deadline_missed_status(QUORVELA::RequestedDeadlineMissedStatus&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t get_requested_incompatible_qos_status(QUORVELA::RequestedIncompatibleQosStatus&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t get_sample_lost_status(QUORVELA::SampleLostStatus&) override { return script.rc; }
  QUORVELA::ReturnCode_t get_sample_rejected_status(QUORVELA::SampleRejectedStatus&) override { return script.rc; }
  QUORVELA::ReturnCode_t get_subscription_matched_status(QUORVELA::SubscriptionMatchedStatus&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t get_matched_publications(QUORVELA::InstanceHandleSeq&) override { return script.rc; }
  QUORVELA::ReturnCode_t get_matched_publication_data(QUORVELA::PublicationBuiltinTopicData&,
                                                      const QUORVELA::InstanceHandle_t&) override {
    return script.rc;
  }
  QUORVELA::ReturnCode_t wait_for_historical_data(const QUORVELA::Duration_t&) override { return script.rc; }
  QUORVELA::TopicDescription* get_topicdescription() override { return nullptr; }
  QUORVELA::Subscriber* get_subscriber() override { return nullptr; }
  QUORVELA::ReturnCode_t get_qos(QUORVELA::DataReaderQos&) override { return script.rc; }
  QUORVELA::ReturnCode_t set_qos(const QUORVELA::DataReaderQos&) override { return script.rc; }
  QUORVELA::ReturnCode_t set_qos_with_profile(const char*, const char*, const char*) override { return script.rc; }
  QUORVELA::ReturnCode_t set_listener(QUORVELA::DataReaderListener*, QUORVELA::StatusMask) override {
    return script.rc;
  }
  QUORVELA::DataReaderListener* get_listener() override { return nullptr; }

 private:
  QUORVELA::ReturnCode_t fill(const char* op, void* data, QUORVELA::SampleInfo& info) {
    last = op;
    *static_cast<FlatRecord*>(data) = script.sample;
    info = QUORVELA::SampleInfo();
    info.sample_state = QUORVELA::READ_SAMPLE_STATE;
    info.instance_state = QUORVELA::NOT_ALIVE_DISPOSED_INSTANCE_STATE;
    info.source_timestamp = {12, 34};
    info.instance_handle = script.handle;
    info.sample_rank = 5;
    info.valid_data = true;
    return script.rc;
  }
};

}  // namespace qv_doubles

#endif
