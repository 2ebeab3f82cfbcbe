// Topics: the QoS a topic reports for the library default, an explicit QoS and
// a changed participant default; and what a topic's description reports.
#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestHelper.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class TPTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "TPTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "TPTestPositive::TearDown" << std::endl; }
};

TEST_F(TPTestPositive, ENABLED_TopicQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic1 = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    TopicQos retrieved_qos;
    EXPECT_EQ(topic1->get_qos(retrieved_qos), RETCODE_OK);
    TopicQos default_qos;
    topic_qos_reset(default_qos);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, default_qos));

    TopicQos custom_qos1 = default_qos;
    custom_qos1.history.depth = 1111;
    Topic* topic2 = participant->create_topic("example_topic_name2", "FlatRecord", custom_qos1, nullptr, 0);
    ASSERT_NE(topic2, nullptr);
    EXPECT_EQ(topic2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, custom_qos1));

    TopicQos custom_qos2 = default_qos;
    custom_qos2.history.depth = 2222;
    EXPECT_EQ(participant->set_default_topic_qos(custom_qos2), RETCODE_OK);

    Topic* topic3 = participant->create_topic("example_topic_name3", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic3, nullptr);
    EXPECT_EQ(topic3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, custom_qos2));

    standard_ending(factory, participant);
}

TEST_F(TPTestPositive, ENABLED_TopicDescriptionInfoManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("flat_record", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "flat_record", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    TopicDescription* desc = topic;
    ASSERT_NE(desc, nullptr);

    EXPECT_EQ(desc->get_type_name(), std::string("flat_record"));
    EXPECT_EQ(desc->get_name(), std::string("example_topic_name"));
    EXPECT_EQ(desc->get_participant(), participant);

    standard_ending(factory, participant);
}
