// Subscribers: their QoS at creation; the data readers they contain; QoS from
// XML profiles.
#include <gtest/gtest.h>

#include <vector>

#include "ExpectedProfiles.h"
#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestHelper.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class SubTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(SubTestPositive, ENABLED_SubscriberQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    SubscriberQos retrieved_qos;

    Subscriber* subscriber1 = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber1, nullptr);
    EXPECT_EQ(subscriber1->get_qos(retrieved_qos), RETCODE_OK);
    SubscriberQos default_qos;
    subscriber_qos_reset(default_qos);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, default_qos));

    SubscriberQos custom_qos1;
    custom_qos1.partition.name = {"partition1", "partition2"};
    Subscriber* subscriber2 = participant->create_subscriber(custom_qos1, nullptr, 0);
    ASSERT_NE(subscriber2, nullptr);
    EXPECT_EQ(subscriber2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, custom_qos1));

    EXPECT_EQ(participant->delete_subscriber(subscriber1), RETCODE_OK);
    EXPECT_EQ(participant->delete_subscriber(subscriber2), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(SubTestPositive, ENABLED_DataReaderManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    std::vector<Topic*> topics = create_numbered_topics(participant, 100);

    std::vector<DataReader*> datareaders;
    for (int i = 0; i < 100; ++i) {
        TopicDescription* description = topics[i];  // a null topic stays null
        DataReader* reader = subscriber->create_datareader(description, DATAREADER_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(reader, nullptr);
        datareaders.push_back(reader);
    }

    for (int i = 0; i < 100; ++i) {
        DataReader* reader = subscriber->lookup_datareader(numbered_topic_name(i));
        EXPECT_EQ(reader, datareaders[i]);
    }

    EXPECT_EQ(subscriber->delete_contained_entities(), RETCODE_OK);

    for (int i = 0; i < 100; ++i) {
        DataReader* reader = subscriber->lookup_datareader(numbered_topic_name(i));
        EXPECT_EQ(reader, nullptr);
    }

    for (Topic* topic : topics) {
        EXPECT_EQ(participant->delete_topic(topic), RETCODE_OK);
    }

    standard_ending(factory, participant);
}

TEST_F(SubTestPositive, ENABLED_XMLSubscriberQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);

    SubscriberQos retrieved_qos;
    SubscriberQos default_qos = ExpectedProfiles::default_sub_qos();
    SubscriberQos named_qos = ExpectedProfiles::named_sub_qos();

    EXPECT_EQ(subscriber->set_qos_with_profile("example_lib", "example_profile", "default_sub"), RETCODE_OK);
    EXPECT_EQ(subscriber->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(subscriber->set_qos_with_profile("example_lib", "example_profile", "named_sub"), RETCODE_OK);
    EXPECT_EQ(subscriber->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(participant->delete_subscriber(subscriber), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(SubTestPositive, ENABLED_XMLDataReaderQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);

    DataReaderQos retrieved_qos;
    DataReaderQos default_qos = ExpectedProfiles::default_dr_qos();
    DataReaderQos named_qos = ExpectedProfiles::named_dr_qos();

    EXPECT_EQ(subscriber->set_default_datareader_qos_with_profile("example_lib", "example_profile", "default_dr"),
              RETCODE_OK);
    EXPECT_EQ(subscriber->get_default_datareader_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datareader_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(subscriber->set_default_datareader_qos_with_profile("example_lib", "example_profile", "named_dr"),
              RETCODE_OK);
    EXPECT_EQ(subscriber->get_default_datareader_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datareader_qos_compare(retrieved_qos, named_qos));

    Topic* topic = create_test_topic(participant);

    // Created while the subscriber's default reader QoS is "named_dr".
    DataReader* reader1 =
        subscriber->create_datareader_with_profile(topic, "example_lib", "example_profile", "default_dr", nullptr, 0);
    ASSERT_NE(reader1, nullptr);
    EXPECT_EQ(reader1->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datareader_qos_compare(retrieved_qos, default_qos));

    DataReader* reader2 =
        subscriber->create_datareader_with_profile(topic, "example_lib", "example_profile", "named_dr", nullptr, 0);
    ASSERT_NE(reader2, nullptr);
    EXPECT_EQ(reader2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datareader_qos_compare(retrieved_qos, named_qos));

    standard_ending(factory, participant);
}
