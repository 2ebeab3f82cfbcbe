// Data readers: the QoS a reader is created with, takes from its subscriber's
// default, is changed to and reads from an XML profile; its topic and
// subscriber; the publication it matches on the peer's side; instances and
// sample infos as the peer's reader sees them; sample, view and instance
// states in one participant; read and query conditions.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "ExpectedProfiles.h"
#include "FlatRecord.h"
#include "KeyedType.h"
#include "MatchSteps.h"
#include "SuiteSteps.h"
#include "TestFrame.h"
#include "TestHelper.h"

using namespace QUORVELA;
using namespace SuiteSteps;
using namespace MatchSteps;

using ExpectedProfiles::octets;

class DRTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "DRTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "DRTestPositive::TearDown" << std::endl; }
};

namespace {

// Writes, then gives the in-process delivery a second before the next step.
void write_then_pause(DataWriter* writer, const KeyedType& instance, const InstanceHandle_t& handle) {
    EXPECT_EQ(writer->write(&instance, handle), RETCODE_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}

}  // namespace

TEST_F(DRTestPositive, ENABLED_DataReaderQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);

    DataReader* reader1 = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader1, nullptr);
    DataReaderQos retrieved_qos;

    EXPECT_EQ(reader1->get_qos(retrieved_qos), RETCODE_OK);
    DataReaderQos default_qos;
    EXPECT_EQ(TestHelper::datareader_qos_compare(retrieved_qos, default_qos), true);

    DataReaderQos custom_qos1;
    custom_qos1.user_data.value = octets("abcd");
    DataReader* reader2 = subscriber->create_datareader(topic, custom_qos1, nullptr, 0);
    ASSERT_NE(reader2, nullptr);
    EXPECT_EQ(reader2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_EQ(TestHelper::datareader_qos_compare(retrieved_qos, custom_qos1), true);

    DataReaderQos custom_qos2;
    custom_qos2.user_data.value = octets("xyz");
    EXPECT_EQ(subscriber->set_default_datareader_qos(custom_qos2), RETCODE_OK);

    DataReader* reader3 = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader3, nullptr);
    EXPECT_EQ(reader3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_EQ(TestHelper::datareader_qos_compare(retrieved_qos, custom_qos2), true);

    DataReaderQos custom_qos3;
    custom_qos3.user_data.value = octets("1234");
    EXPECT_EQ(reader3->set_qos(custom_qos3), RETCODE_OK);
    EXPECT_EQ(reader3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_EQ(TestHelper::datareader_qos_compare(retrieved_qos, custom_qos3), true);

    standard_ending(factory, participant);
}

TEST_F(DRTestPositive, ENABLED_DataReaderMatchedManagementPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DRTestNegative.ENABLED_DataReaderMatchedManagementNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("DataReaderMatchedManagement"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DataReaderMatchedManagement", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    std::string writer_handle_str = "";
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DataReaderMatchedManagement", "writer_handle",
                                                     writer_handle_str, 10000));
    InstanceHandle_t writer_handle = handle_from_peer_value(writer_handle_str);

    InstanceHandleSeq handles;
    poll_matched_publications(reader, handles);
    EXPECT_FALSE(handles.empty());

    bool found = false;
    for (const InstanceHandle_t& h : handles) {
        PublicationBuiltinTopicData data;
        EXPECT_EQ(reader->get_matched_publication_data(data, h), RETCODE_OK);
        if (same_handle_bytes(h, writer_handle)) {
            EXPECT_EQ(memcmp(&data.key, &writer_handle, sizeof(data.key)), 0);
            expect_peer_endpoint_data(data);
            found = true;
        }
    }
    EXPECT_TRUE(found);

    EXPECT_TRUE(TestFrame::getInstance().sendData("DataReaderMatchedManagement", "writer_discovered_manage"));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("DataReaderMatchedManagement");
}

TEST_F(DRTestPositive, ENABLED_DataReaderEntityManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    TopicDescription* desc = reader->get_topicdescription();
    ASSERT_NE(desc, nullptr);

    Topic* got_topic = dynamic_cast<Topic*>(desc);
    EXPECT_EQ(got_topic, topic);

    Subscriber* got_subscriber = reader->get_subscriber();
    EXPECT_EQ(got_subscriber, subscriber);

    standard_ending(factory, participant);
}

TEST_F(DRTestPositive, DISABLED_FlatRecordInstanceManagementPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DRTestNegative.ENABLED_FlatRecordInstanceManagementNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("FlatRecordInstanceManagement"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("FlatRecordInstanceManagement", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic =
        participant->create_topic("nokeyed_reader_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    FlatRecord instance;
    instance.lVal = 100;
    std::string dummy;
    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("FlatRecordInstanceManagement", "reader_matched", dummy, 10000));

    EXPECT_EQ(writer->write(&instance, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("FlatRecordInstanceManagement", "reader_finish_nokey", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("FlatRecordInstanceManagement");
}

TEST_F(DRTestPositive, DISABLED_KeyedTypeInstanceManagementPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DRTestNegative.ENABLED_KeyedTypeInstanceManagementNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("KeyedTypeInstanceManagement"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("KeyedTypeInstanceManagement", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("keyed_reader_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    KeyedType instance1;
    instance1.lVal = 10;
    KeyedType instance2;
    instance2.lVal = 20;
    KeyedType instance3;
    instance3.lVal = 30;
    InstanceHandle_t handle1 = writer->register_instance(&instance1);
    InstanceHandle_t handle2 = writer->register_instance(&instance2);
    InstanceHandle_t handle3 = writer->register_instance(&instance3);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("KeyedTypeInstanceManagement", "reader_matched", dummy, 10000));

    EXPECT_EQ(writer->write(&instance1, handle1), RETCODE_OK);
    EXPECT_EQ(writer->write(&instance2, handle2), RETCODE_OK);
    EXPECT_EQ(writer->write(&instance3, handle3), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("KeyedTypeInstanceManagement", "reader_finish_keyed", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("KeyedTypeInstanceManagement");
}

TEST_F(DRTestPositive, ENABLED_ReadConditionBasicTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("condition_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    ReadCondition* cond1 = reader->create_readcondition(NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
    ASSERT_NE(cond1, nullptr);
    ReadCondition* cond2 = reader->create_readcondition(READ_SAMPLE_STATE, ANY_VIEW_STATE, ALIVE_INSTANCE_STATE);
    ASSERT_NE(cond2, nullptr);
    ReadCondition* cond3 =
        reader->create_readcondition(ANY_SAMPLE_STATE, NEW_VIEW_STATE, NOT_ALIVE_DISPOSED_INSTANCE_STATE);
    ASSERT_NE(cond3, nullptr);

    std::vector<ReadCondition*> conditions = {cond1, cond2, cond3};

    for (ReadCondition* cond : conditions) {
        EXPECT_EQ(cond->get_trigger_value(), false);
    }

    EXPECT_EQ(reader->delete_readcondition(conditions[0]), RETCODE_OK);
    EXPECT_EQ(reader->delete_readcondition(conditions[1]), RETCODE_OK);

    standard_ending(factory, participant);
}

TEST_F(DRTestPositive, ENABLED_QueryConditionBasicTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("query_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    QueryCondition* qc1 = reader->create_querycondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE,
                                                        "lVal > %0", StringSeq{"5"});
    ASSERT_NE(qc1, nullptr);
    QueryCondition* qc2 = reader->create_querycondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE,
                                                        "lVal BETWEEN %0 AND %1", StringSeq{"10", "20"});
    ASSERT_NE(qc2, nullptr);

    std::vector<QueryCondition*> conditions = {qc1, qc2};

    EXPECT_EQ(conditions[0]->get_query_expression(), std::string("lVal > %0"));

    StringSeq expr_params;
    EXPECT_EQ(conditions[0]->get_query_parameters(expr_params), RETCODE_OK);
    EXPECT_EQ(expr_params.size(), 1u);
    EXPECT_ELEMENT_EQ(expr_params, 0, "5");

    StringSeq new_params = {"8"};
    EXPECT_EQ(conditions[0]->set_query_parameters(new_params), RETCODE_OK);

    expr_params.clear();
    EXPECT_EQ(conditions[0]->get_query_parameters(expr_params), RETCODE_OK);
    EXPECT_EQ(expr_params.size(), 1u);
    EXPECT_ELEMENT_EQ(expr_params, 0, "8");

    EXPECT_EQ(reader->delete_readcondition(conditions[0]), RETCODE_OK);
    EXPECT_EQ(reader->delete_readcondition(conditions[1]), RETCODE_OK);

    standard_ending(factory, participant);
}

TEST_F(DRTestPositive, DISABLED_SampleInfoBasicTestPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DRTestNegative.ENABLED_SampleInfoBasicTestNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("SampleInfoBasicTest"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("SampleInfoBasicTest", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("sampleinfo_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    KeyedType instance1;
    instance1.lVal = 1001;
    KeyedType instance2;
    instance2.lVal = 1002;
    Time custom_ts = {1234, 5678};

    InstanceHandle_t handle1 = writer->register_instance(&instance1);
    InstanceHandle_t handle2 = writer->register_instance(&instance2);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("SampleInfoBasicTest", "reader_matched", dummy, 10000));

    EXPECT_EQ(writer->write(&instance1, handle1), RETCODE_OK);
    EXPECT_EQ(writer->write(&instance2, handle2), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().waitForData("SampleInfoBasicTest", "normal_write_check", dummy, 10000));

    EXPECT_EQ(writer->write_w_timestamp(&instance1, handle1, custom_ts), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().waitForData("SampleInfoBasicTest", "timestamp_write_check", dummy, 10000));

    EXPECT_EQ(writer->unregister_instance(&instance1, handle1), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().waitForData("SampleInfoBasicTest", "unregister_check", dummy, 10000));

    EXPECT_EQ(writer->dispose(&instance2, handle2), RETCODE_OK);

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("SampleInfoBasicTest");
}

TEST_F(DRTestPositive, DISABLED_SampleInfoStateTransitionTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* topic =
        participant->create_topic("state_transition_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);
    DataReaderQos reader_qos = DATAREADER_QOS_DEFAULT;
    reader_qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    reader_qos.history.depth = 100;
    DataReader* reader = subscriber->create_datareader(topic, reader_qos, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    KeyedType instance;
    instance.lVal = 2001;
    InstanceHandle_t handle = writer->register_instance(&instance);

    EXPECT_TRUE(TestHelper::waitmatch(reader, 1));

    SequenceData<KeyedType> data_vec;
    SequenceData<SampleInfo> info_vec;

    write_then_pause(writer, instance, handle);
    EXPECT_EQ(reader->take(data_vec, info_vec, 100, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE),
              RETCODE_OK);
    ASSERT_EQ(info_vec.length(), 1u);
    EXPECT_EQ(info_vec[0].sample_state, NOT_READ_SAMPLE_STATE);
    EXPECT_EQ(info_vec[0].view_state, NEW_VIEW_STATE);
    EXPECT_EQ(info_vec[0].instance_state, ALIVE_INSTANCE_STATE);

    write_then_pause(writer, instance, handle);
    data_vec.release();
    info_vec.release();
    EXPECT_EQ(reader->read(data_vec, info_vec, 100, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE),
              RETCODE_OK);
    ASSERT_EQ(info_vec.length(), 1u);
    EXPECT_EQ(info_vec[0].sample_state, NOT_READ_SAMPLE_STATE);
    EXPECT_EQ(info_vec[0].view_state, NOT_NEW_VIEW_STATE);

    write_then_pause(writer, instance, handle);
    data_vec.release();
    info_vec.release();
    EXPECT_EQ(reader->take(data_vec, info_vec, 100, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE),
              RETCODE_OK);
    ASSERT_EQ(info_vec.length(), 2u);
    EXPECT_EQ(info_vec[0].sample_state, READ_SAMPLE_STATE);
    EXPECT_EQ(info_vec[0].view_state, NOT_NEW_VIEW_STATE);
    EXPECT_EQ(info_vec[0].generation_rank, 0);

    standard_ending(factory, participant);
}

TEST_F(DRTestPositive, ENABLED_DataReaderQosXmlManagementTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);

    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);
    DataReader* reader1 =
        subscriber->create_datareader_with_profile(topic, "example_lib", "example_profile", "named_dr", nullptr, 0);
    ASSERT_NE(reader1, nullptr);

    EXPECT_EQ(reader->set_qos_with_profile("example_lib", "example_profile", "named_dr"), RETCODE_IMMUTABLE_POLICY);

    DataReaderQos qos;
    EXPECT_EQ(reader->get_qos(qos), RETCODE_OK);
    DataReaderQos default_qos;
    EXPECT_TRUE(TestHelper::datareader_qos_compare(qos, default_qos));

    EXPECT_EQ(reader->set_qos_with_profile("example_lib", "example_profile", "named_dr"), RETCODE_IMMUTABLE_POLICY);

    const DataReaderQos xml_qos = ExpectedProfiles::named_dr_qos();
    EXPECT_EQ(reader1->get_qos(qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datareader_qos_compare(qos, xml_qos));

    standard_ending(factory, participant);
}
