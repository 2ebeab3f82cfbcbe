// Partitions: two publishers, each in a partition named after the topic its
// writer writes; the peer's readers in and out of those partitions tell which
// writer reaches them.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class PartitionQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "PartitionQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "PartitionQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(PartitionQosPolicyTestPositive, ENABLED_PartitionQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "PartitionQosPolicyTestNegative.ENABLED_PartitionQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("PartitionQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("PartitionQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic1 = participant->create_topic("partition_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 = participant->create_topic("partition_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);

    PublisherQos publisher_qos1 = PUBLISHER_QOS_DEFAULT;
    publisher_qos1.partition.name = {"partition_topic_name_1"};
    PublisherQos publisher_qos2 = PUBLISHER_QOS_DEFAULT;
    publisher_qos2.partition.name = {"partition_topic_name_2"};

    Publisher* publisher1 = participant->create_publisher(publisher_qos1, nullptr, 0);
    ASSERT_NE(publisher1, nullptr);
    Publisher* publisher2 = participant->create_publisher(publisher_qos2, nullptr, 0);
    ASSERT_NE(publisher2, nullptr);
    DataWriter* writer1 = publisher1->create_datawriter(topic1, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer1, nullptr);
    DataWriter* writer2 = publisher2->create_datawriter(topic2, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer2, nullptr);

    std::this_thread::sleep_for(std::chrono::milliseconds(1000));

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().sendData("PartitionQosPolicy", "create_finish"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("PartitionQosPolicy", "check_finish", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("PartitionQosPolicy");
}
