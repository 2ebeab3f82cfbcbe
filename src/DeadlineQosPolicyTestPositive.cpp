// Deadline on the offering side: a writer with a 500 ms period that writes
// about every 120 ms misses nothing; after 800 ms of silence it has missed
// exactly one deadline, and its listener has been told.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "BaseDataWriterListener.h"
#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class DeadlineQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "DeadlineQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "DeadlineQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(DeadlineQosPolicyTestPositive, ENABLED_DeadlineQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DeadlineQosPolicyTestNegative.ENABLED_DeadlineQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("DeadlineQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DeadlineQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic = participant->create_topic("deadline_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.deadline.period = {0, 500000000};

    DeadlineQosPolicyDataWriterListener* listener = new DeadlineQosPolicyDataWriterListener;
    DataWriter* writer = publisher->create_datawriter(topic, writer_qos, listener, 0xffffffff);
    ASSERT_NE(writer, nullptr);

    EXPECT_TRUE(TestFrame::getInstance().sendData("DeadlineQosPolicy", "writer_created_finish"));

    for (int i = 0; i < 10; ++i) {
        FlatRecord sample;
        sample.lVal = i;
        EXPECT_EQ(writer->write(&sample, HANDLE_NIL), RETCODE_OK);

        OfferedDeadlineMissedStatus status;
        EXPECT_EQ(writer->get_offered_deadline_missed_status(status), RETCODE_OK);
        EXPECT_EQ(status.total_count, 0);
        EXPECT_EQ(status.total_count_change, 0);

        EXPECT_EQ(listener->wait_offered_deadline_missed(100), 1);

        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(800));

    {
        FlatRecord sample;
        sample.lVal = 100;
        EXPECT_EQ(writer->write(&sample, HANDLE_NIL), RETCODE_OK);
    }
    {
        OfferedDeadlineMissedStatus status;
        EXPECT_EQ(writer->get_offered_deadline_missed_status(status), RETCODE_OK);
        EXPECT_EQ(status.total_count, 1);
        EXPECT_EQ(status.total_count_change, 0);
    }

    EXPECT_EQ(listener->wait_offered_deadline_missed(1000), 0);

    EXPECT_TRUE(TestFrame::getInstance().sendData("DeadlineQosPolicy", "write_finish"));

    standard_ending(factory, participant);

    delete listener;

    TestFrame::getInstance().destroyConnection("DeadlineQosPolicy");
}
