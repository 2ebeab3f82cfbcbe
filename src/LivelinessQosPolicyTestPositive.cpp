// Liveliness on the offering side: an automatic writer, two manual-by-
// participant writers sharing one listener, and a manual-by-topic writer, all
// with a 2 s lease. A manual writer asserted every second keeps its
// liveliness; after 5 s without assertions it has lost it exactly once. The
// emptied participant is left to the factory's finalize.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "BaseDataWriterListener.h"
#include "FlatRecord.h"
#include "TestFrame.h"

using namespace QUORVELA;

class LivelinessQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "LivelinessQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "LivelinessQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(LivelinessQosPolicyTestPositive, ENABLED_LivelinessQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "LivelinessQosPolicyTestNegative.ENABLED_LivelinessQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("LivelinessQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("LivelinessQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic1 = participant->create_topic("liveliness_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 = participant->create_topic("liveliness_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);
    Topic* topic3 = participant->create_topic("liveliness_topic_name_3", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic3, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer1_qos = DATAWRITER_QOS_DEFAULT;
    writer1_qos.liveliness.kind = AUTOMATIC_LIVELINESS_QOS;
    writer1_qos.liveliness.lease_duration = {2, 0};
    LivelinessQosPolicyDataWriterListener* listener1 = new LivelinessQosPolicyDataWriterListener;
    DataWriter* writer1 = publisher->create_datawriter(topic1, writer1_qos, listener1, 0xffffffff);
    ASSERT_NE(writer1, nullptr);

    DataWriterQos writer2_qos = DATAWRITER_QOS_DEFAULT;
    writer2_qos.liveliness.kind = MANUAL_BY_PARTICIPANT_LIVELINESS_QOS;
    writer2_qos.liveliness.lease_duration = {2, 0};
    LivelinessQosPolicyDataWriterListener* listener2 = new LivelinessQosPolicyDataWriterListener;
    DataWriter* writer2 = publisher->create_datawriter(topic2, writer2_qos, listener2, 0xffffffff);
    ASSERT_NE(writer2, nullptr);
    DataWriter* writer2dup = publisher->create_datawriter(topic2, writer2_qos, listener2, 0xffffffff);
    ASSERT_NE(writer2dup, nullptr);

    DataWriterQos writer3_qos = DATAWRITER_QOS_DEFAULT;
    writer3_qos.liveliness.kind = MANUAL_BY_TOPIC_LIVELINESS_QOS;
    writer3_qos.liveliness.lease_duration = {2, 0};
    LivelinessQosPolicyDataWriterListener* listener3 = new LivelinessQosPolicyDataWriterListener;
    DataWriter* writer3 = publisher->create_datawriter(topic3, writer3_qos, listener3, 0xffffffff);
    ASSERT_NE(writer3, nullptr);

    LivelinessLostStatus lost_status;

    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(writer2->assert_liveliness(), RETCODE_OK);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    EXPECT_EQ(writer2->get_liveliness_lost_status(lost_status), RETCODE_OK);
    EXPECT_EQ(lost_status.total_count, 0);
    EXPECT_EQ(lost_status.total_count_change, 0);
    EXPECT_EQ(writer2dup->get_liveliness_lost_status(lost_status), RETCODE_OK);
    EXPECT_EQ(lost_status.total_count, 0);
    EXPECT_EQ(lost_status.total_count_change, 0);
    EXPECT_EQ(listener2->wait_liveliness_lost(900), 1);

    std::this_thread::sleep_for(std::chrono::milliseconds(5000));

    EXPECT_EQ(writer2->get_liveliness_lost_status(lost_status), RETCODE_OK);
    EXPECT_EQ(lost_status.total_count, 1);
    EXPECT_EQ(lost_status.total_count_change, 0);
    EXPECT_EQ(writer2dup->get_liveliness_lost_status(lost_status), RETCODE_OK);
    EXPECT_EQ(lost_status.total_count, 1);
    EXPECT_EQ(lost_status.total_count_change, 0);
    EXPECT_EQ(listener2->wait_liveliness_lost(1000), 0);

    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(writer3->assert_liveliness(), RETCODE_OK);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    EXPECT_EQ(writer3->get_liveliness_lost_status(lost_status), RETCODE_OK);
    EXPECT_EQ(lost_status.total_count, 0);
    EXPECT_EQ(lost_status.total_count_change, 0);
    EXPECT_EQ(listener3->wait_liveliness_lost(900), 1);

    std::this_thread::sleep_for(std::chrono::milliseconds(5000));

    EXPECT_EQ(writer3->get_liveliness_lost_status(lost_status), RETCODE_OK);
    EXPECT_EQ(lost_status.total_count, 1);
    EXPECT_EQ(lost_status.total_count_change, 0);
    EXPECT_EQ(listener3->wait_liveliness_lost(1000), 0);

    EXPECT_TRUE(TestFrame::getInstance().sendData("LivelinessQosPolicy","write_finish"));
    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("LivelinessQosPolicy", "reader_check_finish", dummy, 10000));

    EXPECT_EQ(participant->delete_contained_entities(), RETCODE_OK);
    EXPECT_TRUE(TestFrame::getInstance().sendData("LivelinessQosPolicy","dp_deleted"));

    // No delete_participant: finalize disposes of the emptied participant.
    DomainParticipantFactory::finalize();

    delete listener1;
    delete listener2;
    delete listener3;

    TestFrame::getInstance().destroyConnection("LivelinessQosPolicy");
}
