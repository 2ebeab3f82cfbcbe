// Lifespan: a writer whose samples live 2 s writes one hundred of them 1 ms
// apart; the peer's reader reads them while they live and finds them gone
// after they expired.
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

class LifeSpanQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "LifeSpanQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "LifeSpanQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(LifeSpanQosPolicyTestPositive, DISABLED_LifeSpanQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "LifeSpanQosPolicyTestNegative.ENABLED_LifeSpanQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("LifeSpanQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("LifeSpanQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic = participant->create_topic("lifespan_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.lifespan.duration = {2, 0};
    DataWriter* writer = publisher->create_datawriter(topic, writer_qos, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("LifeSpanQosPolicy", "reader_match_finish", dummy, 10000));

    for (int i = 0; i < 100; ++i) {
        FlatRecord sample;
        sample.lVal = i;
        EXPECT_EQ(writer->write(&sample, HANDLE_NIL), RETCODE_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    EXPECT_TRUE(TestFrame::getInstance().sendData("LifeSpanQosPolicy","write_finish"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("LifeSpanQosPolicy", "reader_take_finish", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("LifeSpanQosPolicy");
}
