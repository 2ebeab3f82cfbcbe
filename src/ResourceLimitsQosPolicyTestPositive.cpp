// Resource limits: two reliable keep-all writers on one topic, limited to 10
// and to 100 samples. With a reader that acknowledges what it receives, no
// write blocks into a time-out: the first writer writes twelve samples, the
// second fifty, and the entities go straight after the last one.
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

class ResourceLimitsQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(ResourceLimitsQosPolicyTestPositive, ENABLED_ResourceLimitsQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "ResourceLimitsQosPolicyTestNegative.ENABLED_ResourceLimitsQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("ResourceLimitsQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ResourceLimitsQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    // The reliability test's topic name, not one of its own.
    Topic* topic = participant->create_topic("reliability_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer1_qos = DATAWRITER_QOS_DEFAULT;
    writer1_qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    writer1_qos.reliability.max_blocking_time = {2, 0};
    writer1_qos.history.kind = KEEP_ALL_HISTORY_QOS;
    writer1_qos.history.depth = 1;
    writer1_qos.resource_limits.max_samples = 10;
    writer1_qos.resource_limits.max_instances = 1;
    writer1_qos.resource_limits.max_samples_per_instance = 10;

    DataWriterQos writer2_qos = DATAWRITER_QOS_DEFAULT;
    writer2_qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    writer2_qos.reliability.max_blocking_time = {2, 0};
    writer2_qos.history.kind = KEEP_ALL_HISTORY_QOS;
    writer2_qos.history.depth = 1;
    writer2_qos.resource_limits.max_samples = 100;
    writer2_qos.resource_limits.max_instances = 1;
    writer2_qos.resource_limits.max_samples_per_instance = 100;

    DataWriter* writer1 = publisher->create_datawriter(topic, writer1_qos, nullptr, 0);
    ASSERT_NE(writer1, nullptr);
    DataWriter* writer2 = publisher->create_datawriter(topic, writer2_qos, nullptr, 0);
    ASSERT_NE(writer2, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ResourceLimitsQosPolicy", "reader_match_finish", dummy, 10000));

    for (int i = 0; i < 10; ++i) {
        FlatRecord sample;
        sample.lVal = i;
        EXPECT_EQ(writer1->write(&sample, HANDLE_NIL), RETCODE_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    FlatRecord sample;
    sample.lVal = 100;
    EXPECT_EQ(writer1->write(&sample, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().sendData("ResourceLimitsQosPolicy","timeout_finish"));

    sample.lVal = 101;
    EXPECT_EQ(writer1->write(&sample, HANDLE_NIL), RETCODE_OK);

    for (int i = 1000; i < 1050; ++i) {
        FlatRecord s;
        s.lVal = i;
        EXPECT_EQ(writer2->write(&s, HANDLE_NIL), RETCODE_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    EXPECT_TRUE(TestFrame::getInstance().sendData("ResourceLimitsQosPolicy","write_finish2"));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("ResourceLimitsQosPolicy");
}
