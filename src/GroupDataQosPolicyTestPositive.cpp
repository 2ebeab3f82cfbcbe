// Group data: what the peer's publisher and subscriber carry in their group
// data, as this side's reader finds it on the peer's writer and then, with
// that reader deleted, this side's writer on the peer's reader.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>

#include "FlatRecord.h"
#include "MatchedDataCheck.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class GroupDataQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "GroupDataQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "GroupDataQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(GroupDataQosPolicyTestPositive, ENABLED_GroupDataQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "GroupDataQosPolicyTestNegative.ENABLED_GroupDataQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("GroupDataQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("GroupDataQosPolicy", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    InstanceHandleSeq pub_handles;
    bool found_pub_group_data = false;
    MATCHED_DATA_CHECK(reader->get_matched_publications(pub_handles), pub_handles, PublicationBuiltinTopicData,
                       reader->get_matched_publication_data(data, h), data.group_data.value, "pubgroup",
                       found_pub_group_data);

    EXPECT_TRUE(TestFrame::getInstance().sendData("GroupDataQosPolicy", "first_pub_group_data_check"));

    subscriber->delete_datareader(reader);

    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0xffffffff);
    ASSERT_NE(writer, nullptr);

    InstanceHandleSeq sub_handles;
    bool found_sub_group_data = false;
    MATCHED_DATA_CHECK(writer->get_matched_subscriptions(sub_handles), sub_handles, SubscriptionBuiltinTopicData,
                       writer->get_matched_subscription_data(data, h), data.group_data.value, "subgroup",
                       found_sub_group_data);

    EXPECT_TRUE(TestFrame::getInstance().sendData("GroupDataQosPolicy", "first_sub_group_data_check"));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("GroupDataQosPolicy");
}
