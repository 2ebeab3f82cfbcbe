// Participant factory: the singleton, participants across many domains, the
// factory QoS and default participant QoS, and QoS profiles from the XML file.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <vector>

#include "ExpectedProfiles.h"
#include "TestHelper.h"

using namespace QUORVELA;

class DPFTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(DPFTestPositive, ENABLED_SingletonAndFinalize) {
    DomainParticipantFactory* instance1 = DomainParticipantFactory::get_instance();
    EXPECT_NE(instance1, nullptr);

    DomainParticipantFactory* instance2 = DomainParticipantFactory::get_instance();
    EXPECT_EQ(instance1, instance2);
}

TEST_F(DPFTestPositive, ENABLED_DomainParticipantManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    std::vector<DomainParticipant*> participants(128, nullptr);

    for (DomainId_t domain_id = 0; domain_id <= 127; ++domain_id) {
        participants[domain_id] = factory->create_participant(domain_id, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(participants[domain_id], nullptr);
    }

    for (DomainId_t domain_id = 0; domain_id <= 127; ++domain_id) {
        DomainParticipant* looked_up = factory->lookup_participant(domain_id);
        EXPECT_EQ(looked_up, participants[domain_id]);
    }

    for (DomainId_t domain_id = 0; domain_id <= 127; ++domain_id) {
        EXPECT_EQ(factory->delete_participant(participants[domain_id]), RETCODE_OK);
    }

    DomainParticipant* null_dp = nullptr;
    EXPECT_EQ(factory->delete_participant(null_dp), RETCODE_BAD_PARAMETER);
}

TEST_F(DPFTestPositive, ENABLED_FactoryQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    DomainParticipantFactoryQos default_qos;
    DomainParticipantFactoryQos retrieved_qos;
    EXPECT_EQ(factory->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dpf_qos_compare(retrieved_qos, default_qos));

    DomainParticipantFactoryQos custom_qos;
    EXPECT_EQ(factory->set_qos(custom_qos), RETCODE_OK);

    EXPECT_EQ(factory->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dpf_qos_compare(retrieved_qos, custom_qos));

    DomainParticipantFactory::finalize();
}

TEST_F(DPFTestPositive, ENABLED_DefaultParticipantQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    DomainParticipantQos retrieved_qos;
    DomainParticipantQos default_qos;
    EXPECT_EQ(factory->get_default_participant_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, default_qos));

    DomainParticipantQos custom_qos;
    custom_qos.user_data.value = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(factory->set_default_participant_qos(custom_qos), RETCODE_OK);

    EXPECT_EQ(factory->get_default_participant_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, custom_qos));

    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    DomainParticipantQos participant_qos;
    EXPECT_EQ(participant->get_qos(participant_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(participant_qos, custom_qos));

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);

    DomainParticipantFactory::finalize();
}

TEST_F(DPFTestPositive, ENABLED_XMLQosFactoryQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    DomainParticipantFactoryQos retrieved_qos;
    DomainParticipantFactoryQos default_qos = ExpectedProfiles::default_dpf_qos();
    DomainParticipantFactoryQos named_qos = ExpectedProfiles::named_dpf_qos();

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    EXPECT_EQ(factory->set_qos_with_profile("example_lib", "example_profile", "default_dpf"), RETCODE_OK);
    EXPECT_EQ(factory->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dpf_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(factory->set_qos_with_profile("example_lib", "example_profile", "named_dpf"), RETCODE_OK);
    EXPECT_EQ(factory->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dpf_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(factory->get_participant_factory_qos_from_profile(retrieved_qos, "example_lib", "example_profile",
                                                                "default_dpf"),
              RETCODE_OK);
    EXPECT_TRUE(TestHelper::dpf_qos_compare(default_qos, retrieved_qos));

    EXPECT_EQ(factory->get_participant_factory_qos_from_profile(retrieved_qos, "example_lib", "example_profile",
                                                                "named_dpf"),
              RETCODE_OK);
    EXPECT_TRUE(TestHelper::dpf_qos_compare(named_qos, retrieved_qos));

    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);

    DomainParticipantFactory::finalize();
}

TEST_F(DPFTestPositive, ENABLED_XMLQosDomainParticipantQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    DomainParticipantQos retrieved_qos;
    DomainParticipantQos default_qos = ExpectedProfiles::default_dp_qos();
    DomainParticipantQos named_qos = ExpectedProfiles::named_dp_qos();

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    EXPECT_EQ(factory->set_default_participant_qos_with_profile("example_lib", "example_profile", "default_dp"),
              RETCODE_OK);
    EXPECT_EQ(factory->get_default_participant_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(factory->set_default_participant_qos_with_profile("example_lib", "example_profile", "named_dp"),
              RETCODE_OK);
    EXPECT_EQ(factory->get_default_participant_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(factory->get_participant_qos_from_profile(retrieved_qos, "example_lib", "example_profile",
                                                        "default_dp"),
              RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(default_qos, retrieved_qos));

    EXPECT_EQ(factory->get_participant_qos_from_profile(retrieved_qos, "example_lib", "example_profile",
                                                        "named_dp"),
              RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(named_qos, retrieved_qos));

    DomainParticipant* participant_default = factory->create_participant_with_profile(
        0, "example_lib", "example_profile", "default_dp", nullptr, 0);
    EXPECT_NE(participant_default, nullptr);

    DomainParticipant* participant_named = factory->create_participant_with_profile(
        1, "example_lib", "example_profile", "named_dp", nullptr, 0);
    EXPECT_NE(participant_named, nullptr);

    EXPECT_EQ(factory->delete_participant(participant_default), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant_named), RETCODE_OK);

    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);
}

// The two steps with which the tests below check one QoS name of
// "example_lib"/"example_profile": the factory's get_qos_from_profile reads it
// into retrieved_qos and returns RETCODE_OK, and qos_compare finds it equal to
// expected. A macro, so that both checks keep the texts they have when written
// out in a test.
#define EXPECT_PROFILE_QOS(get_qos_from_profile, qos_name, qos_compare, expected)                          \
    do {                                                                                                    \
        EXPECT_EQ(factory->get_qos_from_profile(retrieved_qos, "example_lib", "example_profile", qos_name), \
                  RETCODE_OK);                                                                            \
        EXPECT_TRUE(TestHelper::qos_compare(retrieved_qos, expected));                                      \
    } while (0)

TEST_F(DPFTestPositive, ENABLED_XMLQosPublisherQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    PublisherQos retrieved_qos;
    PublisherQos default_qos = ExpectedProfiles::default_pub_qos();
    PublisherQos named_qos = ExpectedProfiles::named_pub_qos();
    EXPECT_PROFILE_QOS(get_publisher_qos_from_profile, "default_pub", publisher_qos_compare, default_qos);
    EXPECT_PROFILE_QOS(get_publisher_qos_from_profile, "named_pub", publisher_qos_compare, named_qos);

    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);
}

TEST_F(DPFTestPositive, ENABLED_XMLQosSubscriberQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    SubscriberQos retrieved_qos;
    SubscriberQos default_qos = ExpectedProfiles::default_sub_qos();
    SubscriberQos named_qos = ExpectedProfiles::named_sub_qos();
    EXPECT_PROFILE_QOS(get_subscriber_qos_from_profile, "default_sub", subscriber_qos_compare, default_qos);
    EXPECT_PROFILE_QOS(get_subscriber_qos_from_profile, "named_sub", subscriber_qos_compare, named_qos);

    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);
}

TEST_F(DPFTestPositive, ENABLED_XMLQosTopicQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    TopicQos retrieved_qos;
    TopicQos default_qos = ExpectedProfiles::default_topic_qos();
    TopicQos named_qos = ExpectedProfiles::named_topic_qos();
    EXPECT_PROFILE_QOS(get_topic_qos_from_profile, "default_topic", topic_qos_compare, default_qos);
    EXPECT_PROFILE_QOS(get_topic_qos_from_profile, "named_topic", topic_qos_compare, named_qos);

    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);
}

TEST_F(DPFTestPositive, ENABLED_XMLQosDataWriterQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    DataWriterQos retrieved_qos;
    DataWriterQos default_qos = ExpectedProfiles::default_dw_qos();
    DataWriterQos named_qos = ExpectedProfiles::named_dw_qos();
    EXPECT_PROFILE_QOS(get_datawriter_qos_from_profile, "default_dw", datawriter_qos_compare, default_qos);
    EXPECT_PROFILE_QOS(get_datawriter_qos_from_profile, "named_dw", datawriter_qos_compare, named_qos);

    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);
}

TEST_F(DPFTestPositive, ENABLED_XMLQosDataReaderQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);

    DataReaderQos retrieved_qos;
    DataReaderQos default_qos = ExpectedProfiles::default_dr_qos();
    DataReaderQos named_qos = ExpectedProfiles::named_dr_qos();
    EXPECT_PROFILE_QOS(get_datareader_qos_from_profile, "default_dr", datareader_qos_compare, default_qos);
    EXPECT_PROFILE_QOS(get_datareader_qos_from_profile, "named_dr", datareader_qos_compare, named_qos);

    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);
}

#undef EXPECT_PROFILE_QOS

TEST_F(DPFTestPositive, ENABLED_UnloadQosInterfaceTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    EXPECT_EQ(factory->unload_qos(), RETCODE_OK);

    DomainParticipantFactoryQos participant_factory_qos;
    EXPECT_EQ(factory->get_participant_factory_qos_from_profile(participant_factory_qos, "example_lib",
                                                                "example_profile", "default_dpf"),
              RETCODE_ERROR);

    PublisherQos publisher_qos;
    EXPECT_EQ(factory->get_publisher_qos_from_profile(publisher_qos, "example_lib", "example_profile",
                                                      "default_pub"),
              RETCODE_ERROR);

    SubscriberQos subscriber_qos;
    EXPECT_EQ(factory->get_subscriber_qos_from_profile(subscriber_qos, "example_lib", "example_profile",
                                                       "default_sub"),
              RETCODE_ERROR);

    TopicQos topic_qos;
    EXPECT_EQ(factory->get_topic_qos_from_profile(topic_qos, "example_lib", "example_profile", "default_topic"),
              RETCODE_ERROR);

    DataWriterQos datawriter_qos;
    EXPECT_EQ(factory->get_datawriter_qos_from_profile(datawriter_qos, "example_lib", "example_profile",
                                                       "default_dw"),
              RETCODE_ERROR);

    DataReaderQos datareader_qos;
    EXPECT_EQ(factory->get_datareader_qos_from_profile(datareader_qos, "example_lib", "example_profile",
                                                       "default_dr"),
              RETCODE_ERROR);

    DomainParticipantFactory::finalize();
}
