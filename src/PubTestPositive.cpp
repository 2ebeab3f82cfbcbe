// Publishers: their QoS at creation, through the participant's default and
// through set_qos; the data writers they contain; QoS from XML profiles.
#include <gtest/gtest.h>

#include <vector>

#include "ExpectedProfiles.h"
#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestHelper.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class PubTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(PubTestPositive, ENABLED_PublisherQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    PublisherQos retrieved_qos;

    Publisher* publisher1 = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher1, nullptr);
    EXPECT_EQ(publisher1->get_qos(retrieved_qos), RETCODE_OK);
    PublisherQos default_qos;
    publisher_qos_reset(default_qos);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, default_qos));

    PublisherQos custom_qos1;
    custom_qos1.group_data.value = {0x61, 0x62, 0x63, 0x64};  // "abcd"
    Publisher* publisher2 = participant->create_publisher(custom_qos1, nullptr, 0);
    ASSERT_NE(publisher2, nullptr);
    EXPECT_EQ(publisher2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, custom_qos1));

    PublisherQos custom_qos2;
    custom_qos2.group_data.value = {0x78, 0x79, 0x7a};  // "xyz"
    EXPECT_EQ(participant->set_default_publisher_qos(custom_qos2), RETCODE_OK);

    Publisher* publisher3 = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher3, nullptr);
    EXPECT_EQ(publisher3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, custom_qos2));

    PublisherQos custom_qos3;
    custom_qos3.group_data.value = {0x31, 0x32, 0x33, 0x34};  // "1234"
    EXPECT_EQ(publisher3->set_qos(custom_qos3), RETCODE_OK);
    EXPECT_EQ(publisher3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, custom_qos3));

    EXPECT_EQ(participant->delete_publisher(publisher1), RETCODE_OK);
    EXPECT_EQ(participant->delete_publisher(publisher2), RETCODE_OK);
    EXPECT_EQ(participant->delete_publisher(publisher3), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(PubTestPositive, ENABLED_DataWriterManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    std::vector<Topic*> topics = create_numbered_topics(participant, 100);

    std::vector<DataWriter*> datawriters;
    for (int i = 0; i < 100; ++i) {
        DataWriter* writer = publisher->create_datawriter(topics[i], DATAWRITER_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(writer, nullptr);
        datawriters.push_back(writer);
    }

    for (int i = 0; i < 100; ++i) {
        DataWriter* writer = publisher->lookup_datawriter(numbered_topic_name(i));
        EXPECT_EQ(writer, datawriters[i]);
    }

    for (int i = 0; i < 100; ++i) {
        DataWriter* writer = publisher->create_datawriter(topics[i], DATAWRITER_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(writer, nullptr);
    }

    EXPECT_EQ(publisher->delete_contained_entities(), RETCODE_OK);

    for (int i = 0; i < 100; ++i) {
        DataWriter* writer = publisher->lookup_datawriter(numbered_topic_name(i));
        EXPECT_EQ(writer, nullptr);
    }

    EXPECT_EQ(publisher->get_participant(), participant);

    EXPECT_TRUE(participant->delete_contained_entities() == RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(PubTestPositive, ENABLED_XMLPublisherQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    PublisherQos retrieved_qos;
    PublisherQos default_qos = ExpectedProfiles::default_pub_qos();
    PublisherQos named_qos = ExpectedProfiles::named_pub_qos();

    EXPECT_EQ(publisher->set_qos_with_profile("example_lib", "example_profile", "default_pub"), RETCODE_OK);
    EXPECT_EQ(publisher->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(publisher->set_qos_with_profile("example_lib", "example_profile", "named_pub"), RETCODE_OK);
    EXPECT_EQ(publisher->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(participant->delete_publisher(publisher), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(PubTestPositive, ENABLED_XMLDataWriterQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos retrieved_qos;
    DataWriterQos default_qos = ExpectedProfiles::default_dw_qos();
    DataWriterQos named_qos = ExpectedProfiles::named_dw_qos();

    EXPECT_EQ(publisher->set_default_datawriter_qos_with_profile("example_lib", "example_profile", "default_dw"),
              RETCODE_OK);
    EXPECT_EQ(publisher->get_default_datawriter_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(publisher->set_default_datawriter_qos_with_profile("example_lib", "example_profile", "named_dw"),
              RETCODE_OK);
    EXPECT_EQ(publisher->get_default_datawriter_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, named_qos));

    Topic* topic = create_test_topic(participant);

    // Created while the publisher's default writer QoS is "named_dw".
    DataWriter* writer1 =
        publisher->create_datawriter_with_profile(topic, "example_lib", "example_profile", "default_dw", nullptr, 0);
    ASSERT_NE(writer1, nullptr);
    EXPECT_EQ(writer1->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, default_qos));

    DataWriter* writer2 =
        publisher->create_datawriter_with_profile(topic, "example_lib", "example_profile", "named_dw", nullptr, 0);
    ASSERT_NE(writer2, nullptr);
    EXPECT_EQ(writer2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::datawriter_qos_compare(retrieved_qos, named_qos));

    standard_ending(factory, participant);
}
