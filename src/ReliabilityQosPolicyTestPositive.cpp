// Reliability: a reliable keep-last-20 writer writes one hundred samples 1 ms
// apart to the peer's reliable reader, which must receive every one of them.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <string>
#include <thread>

#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class ReliabilityQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(ReliabilityQosPolicyTestPositive, DISABLED_ReliabilityQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "ReliabilityQosPolicyTestNegative.ENABLED_ReliabilityQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("ReliabilityQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ReliabilityQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic = participant->create_topic("reliability_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    writer_qos.reliability.max_blocking_time = {2, 0};
    writer_qos.history.depth = 20;
    DataWriter* writer = publisher->create_datawriter(topic, writer_qos, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ReliabilityQosPolicy", "reader_match_finish", dummy, 10000));

    for (int i = 0; i < 100; ++i) {
        FlatRecord sample;
        sample.lVal = i;
        EXPECT_EQ(writer->write(&sample, HANDLE_NIL), RETCODE_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(5000));

    EXPECT_TRUE(TestFrame::getInstance().sendData("ReliabilityQosPolicy","write_finish"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ReliabilityQosPolicy", "reader_take_finish", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("ReliabilityQosPolicy");
}
