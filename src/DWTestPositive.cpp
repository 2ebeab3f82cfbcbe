// Data writers: the QoS a writer is created with, takes from its publisher's
// default and is changed to; its topic and publisher; instance management for
// a keyless and a keyed type, with the codes for foreign and invalid handles;
// and the subscription it matches on the peer's side.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <cstring>
#include <iostream>
#include <string>

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

class DWTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "DWTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "DWTestPositive::TearDown" << std::endl; }
};

TEST_F(DWTestPositive, DISABLED_DataWriterQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    EXPECT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer1 = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer1, nullptr);

    DataWriterQos retrieved_qos;
    EXPECT_EQ(writer1->get_qos(retrieved_qos), RETCODE_OK);
    DataWriterQos default_qos;
    datawriter_qos_reset(default_qos);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, default_qos));

    DataWriterQos custom_qos1;
    datawriter_qos_reset(custom_qos1);
    custom_qos1.user_data.value = octets("abcd");
    DataWriter* writer2 = publisher->create_datawriter(topic, custom_qos1, nullptr, 0);
    ASSERT_NE(writer2, nullptr);
    EXPECT_EQ(writer2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, custom_qos1));

    DataWriterQos custom_qos2;
    datawriter_qos_reset(custom_qos2);
    custom_qos2.user_data.value = octets("xyz");
    EXPECT_EQ(publisher->set_default_datawriter_qos(custom_qos2), RETCODE_OK);
    DataWriter* writer3 = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer3, nullptr);
    EXPECT_EQ(writer3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, custom_qos2));

    DataWriterQos custom_qos3;
    datawriter_qos_reset(custom_qos3);
    custom_qos3.user_data.value = octets("1234");
    EXPECT_EQ(writer3->set_qos(custom_qos3), RETCODE_OK);
    EXPECT_EQ(writer3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, custom_qos3));

    standard_ending(factory, participant);
}

TEST_F(DWTestPositive, ENABLED_DataWriterMatchedManagementPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DWTestNegative.ENABLED_DataWriterMatchedManagementNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("DataWriterMatchedManagement"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DataWriterMatchedManagement", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string reader_handle_str = "";
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DataWriterMatchedManagement", "reader_handle",
                                                     reader_handle_str, 10000));
    InstanceHandle_t reader_handle = handle_from_peer_value(reader_handle_str);

    InstanceHandleSeq handles;
    poll_matched_subscriptions(writer, handles);
    EXPECT_FALSE(handles.empty());

    bool found = false;
    for (const InstanceHandle_t& h : handles) {
        SubscriptionBuiltinTopicData data;
        EXPECT_EQ(writer->get_matched_subscription_data(data, h), RETCODE_OK);
        if (same_handle_bytes(h, reader_handle)) {
            EXPECT_EQ(memcmp(&data.key, &reader_handle, sizeof(data.key)), 0);
            expect_peer_endpoint_data(data);
            found = true;
        }
    }
    EXPECT_TRUE(found);

    EXPECT_TRUE(TestFrame::getInstance().sendData("DataWriterMatchedManagement", "reader_discovered_manage"));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("DataWriterMatchedManagement");
}

TEST_F(DWTestPositive, ENABLED_DataWriterEntityManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    Topic* got_topic = writer->get_topic();
    EXPECT_EQ(got_topic, topic);

    Publisher* got_publisher = writer->get_publisher();
    EXPECT_EQ(got_publisher, publisher);

    standard_ending(factory, participant);
}

TEST_F(DWTestPositive, ENABLED_NoKeyInstanceManagementPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DWTestNegative.ENABLED_NoKeyInstanceManagementNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("NoKeyInstanceManagement"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("NoKeyInstanceManagement", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("nokeyed_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    FlatRecord instance1;
    instance1.lVal = 1;
    InstanceHandle_t handle_nil = writer->register_instance(&instance1);
    EXPECT_EQ(handle_nil, HANDLE_NIL);

    EXPECT_EQ(writer->unregister_instance(&instance1, HANDLE_NIL), RETCODE_ILLEGAL_OPERATION);

    InstanceHandle_t invalid_handle = writer->get_instance_handle();
    EXPECT_EQ(writer->unregister_instance(&instance1, invalid_handle), RETCODE_ILLEGAL_OPERATION);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("NoKeyInstanceManagement", "reader_matched", dummy, 10000));

    EXPECT_EQ(writer->write(&instance1, HANDLE_NIL), RETCODE_OK);

    EXPECT_EQ(writer->dispose(&instance1, HANDLE_NIL), RETCODE_ILLEGAL_OPERATION);
    EXPECT_EQ(writer->dispose(&instance1, invalid_handle), RETCODE_ILLEGAL_OPERATION);

    EXPECT_EQ(participant->delete_contained_entities(), RETCODE_OK);
    EXPECT_EQ(DomainParticipantFactory::get_instance()->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();

    TestFrame::getInstance().destroyConnection("NoKeyInstanceManagement");
}

TEST_F(DWTestPositive, ENABLED_KeyedInstanceManagementPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DWTestNegative.ENABLED_KeyedInstanceManagementNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("KeyedInstanceManagement"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("KeyedInstanceManagement", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("keyed_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    KeyedType instance1;
    instance1.lVal = 1;
    KeyedType instance2;
    instance2.lVal = 2;
    KeyedType instance3;
    instance3.lVal = 3;
    KeyedType instance4;
    instance4.lVal = 4;

    InstanceHandle_t handle1 = writer->register_instance(&instance1);
    EXPECT_NE(handle1, HANDLE_NIL);
    InstanceHandle_t handle2 = writer->register_instance(&instance2);
    EXPECT_NE(handle2, HANDLE_NIL);
    EXPECT_NE(handle2, handle1);
    InstanceHandle_t handle3 = writer->register_instance(&instance3);
    EXPECT_NE(handle3, HANDLE_NIL);
    EXPECT_NE(handle3, handle1);
    EXPECT_NE(handle3, handle2);
    InstanceHandle_t handle4 = writer->register_instance(&instance4);
    EXPECT_NE(handle4, HANDLE_NIL);
    EXPECT_NE(handle4, handle1);
    EXPECT_NE(handle4, handle2);
    EXPECT_NE(handle4, handle3);

    InstanceHandle_t invalid_handle = writer->get_instance_handle();

    KeyedType tmp;
    EXPECT_EQ(writer->get_key_value(&tmp, handle1), RETCODE_OK);
    EXPECT_EQ(tmp.lVal, 1);
    EXPECT_EQ(writer->get_key_value(&tmp, handle2), RETCODE_OK);
    EXPECT_EQ(tmp.lVal, 2);
    EXPECT_EQ(writer->get_key_value(&tmp, invalid_handle), RETCODE_BAD_PARAMETER);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("KeyedInstanceManagement", "reader_matched", dummy, 10000));

    EXPECT_EQ(writer->write(&instance1, handle1), RETCODE_OK);
    EXPECT_EQ(writer->write(&instance2, handle2), RETCODE_OK);
    EXPECT_EQ(writer->write(&instance3, handle3), RETCODE_OK);
    EXPECT_EQ(writer->write(&instance4, handle4), RETCODE_OK);
    EXPECT_EQ(writer->write(&instance1, handle2), RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(writer->write(&instance1, invalid_handle), RETCODE_BAD_PARAMETER);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("KeyedInstanceManagement", "reader_check_finish_1", dummy, 10000));

    EXPECT_EQ(writer->unregister_instance(&instance1, handle2), RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(writer->unregister_instance(&instance1, invalid_handle), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(writer->unregister_instance(&instance1, handle1), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("KeyedInstanceManagement", "reader_check_finish_2", dummy, 10000));

    Time now = {123, 456};
    EXPECT_EQ(writer->unregister_instance_w_timestamp(&instance2, handle2, now), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("KeyedInstanceManagement", "reader_check_finish_3", dummy, 10000));

    EXPECT_EQ(writer->dispose(&instance3, handle4), RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(writer->dispose(&instance3, invalid_handle), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(writer->dispose(&instance3, handle3), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("KeyedInstanceManagement", "reader_check_finish_4", dummy, 10000));

    EXPECT_EQ(writer->dispose_w_timestamp(&instance4, handle4, now), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("KeyedInstanceManagement", "reader_check_finish_5", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("KeyedInstanceManagement");
}
