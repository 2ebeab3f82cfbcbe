// Durability: a transient-local writer writes one sample at once, before any
// reader exists; the peer's late-joining readers judge what they are given.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>
#include <string>

#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class DurabilityQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "DurabilityQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "DurabilityQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(DurabilityQosPolicyTestPositive, ENABLED_DurabilityQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DurabilityQosPolicyTestNegative.ENABLED_DurabilityQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("DurabilityQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DurabilityQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic = participant->create_topic("durability_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataWriter* writer = publisher->create_datawriter(topic, writer_qos, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    // Written straight away: no reader has matched yet.
    FlatRecord sample;
    sample.lVal = 1;
    EXPECT_EQ(writer->write(&sample, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().sendData("DurabilityQosPolicy","write_finish"));
    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DurabilityQosPolicy", "reader_check_finish", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("DurabilityQosPolicy");
}
