// History: a keep-last writer of depth 10 writes ten samples 10 ms apart to
// the peer, whose readers of depth 10 and 3 judge what they keep.
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

class HistoryQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "HistoryQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "HistoryQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(HistoryQosPolicyTestPositive, ENABLED_HistoryQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "HistoryQosPolicyTestNegative.ENABLED_HistoryQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("HistoryQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("HistoryQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic = participant->create_topic("history_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.history.kind = KEEP_LAST_HISTORY_QOS;
    writer_qos.history.depth = 10;
    DataWriter* writer = publisher->create_datawriter(topic, writer_qos, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("HistoryQosPolicy", "reader_match_finish", dummy, 10000));

    for (int i = 0; i < 10; ++i) {
        FlatRecord sample;
        sample.lVal = i;
        EXPECT_EQ(writer->write(&sample, HANDLE_NIL), RETCODE_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    EXPECT_TRUE(TestFrame::getInstance().sendData("HistoryQosPolicy","write_finish"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("HistoryQosPolicy", "reader_take_finish", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("HistoryQosPolicy");
}
