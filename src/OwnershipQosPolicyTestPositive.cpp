// Ownership: two shared writers on one topic, two exclusive writers of
// strength 100 and 50 on another, one sample each; the peer's readers judge
// which samples they accept.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>
#include <string>

#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class OwnershipQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "OwnershipQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "OwnershipQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(OwnershipQosPolicyTestPositive, ENABLED_OwnershipQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "OwnershipQosPolicyTestNegative.ENABLED_OwnershipQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("OwnershipQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("OwnershipQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic1 = participant->create_topic("ownership_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 = participant->create_topic("ownership_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos shared_qos = DATAWRITER_QOS_DEFAULT;
    shared_qos.ownership.kind = SHARED_OWNERSHIP_QOS;
    DataWriter* writer1 = publisher->create_datawriter(topic1, shared_qos, nullptr, 0);
    ASSERT_NE(writer1, nullptr);
    DataWriter* writer2 = publisher->create_datawriter(topic1, shared_qos, nullptr, 0);
    ASSERT_NE(writer2, nullptr);

    DataWriterQos exclusive_qos1 = DATAWRITER_QOS_DEFAULT;
    exclusive_qos1.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    exclusive_qos1.ownership_strength.value = 100;
    DataWriter* writer3 = publisher->create_datawriter(topic2, exclusive_qos1, nullptr, 0);
    ASSERT_NE(writer3, nullptr);

    DataWriterQos exclusive_qos2 = DATAWRITER_QOS_DEFAULT;
    exclusive_qos2.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    exclusive_qos2.ownership_strength.value = 50;
    DataWriter* writer4 = publisher->create_datawriter(topic2, exclusive_qos2, nullptr, 0);
    ASSERT_NE(writer4, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("OwnershipQosPolicy", "reader_match_finish", dummy, 10000));

    FlatRecord sample;
    sample.lVal = 1;
    EXPECT_EQ(writer1->write(&sample, HANDLE_NIL), RETCODE_OK);
    sample.lVal = 2;
    EXPECT_EQ(writer2->write(&sample, HANDLE_NIL), RETCODE_OK);
    sample.lVal = 3;
    EXPECT_EQ(writer3->write(&sample, HANDLE_NIL), RETCODE_OK);
    sample.lVal = 4;
    EXPECT_EQ(writer4->write(&sample, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().sendData("OwnershipQosPolicy", "write_finish"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("OwnershipQosPolicy", "check_finish", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("OwnershipQosPolicy");
}
