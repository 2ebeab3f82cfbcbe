// Domain participant: creation by domain id, its QoS and the factory default,
// publishers and subscribers with their default QoS, type registration,
// topics and content-filtered topics, containment, XML QoS profiles, and the
// discovery of the peer's participant.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <thread>
#include <vector>

#include "ExpectedProfiles.h"
#include "FlatRecord.h"
#include "KeyedType.h"
#include "TestFrame.h"
#include "TestHelper.h"

using namespace QUORVELA;

using ExpectedProfiles::octets;

class DPTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "DPTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "DPTestPositive::TearDown" << std::endl; }
};

TEST_F(DPTestPositive, ENABLED_DomainParticipantLifecycle) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    DomainParticipant* participant1 = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant1, nullptr);

    DomainParticipantQos retrieved_qos;
    EXPECT_EQ(participant1->get_qos(retrieved_qos), RETCODE_OK);
    DomainParticipantQos default_qos;
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, default_qos));

    DomainParticipantQos custom_qos1;
    custom_qos1.user_data.value = octets("abcd");
    DomainParticipant* participant2 = factory->create_participant(1, custom_qos1, nullptr, 0);
    ASSERT_NE(participant2, nullptr);

    EXPECT_EQ(participant2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, custom_qos1));

    DomainParticipantQos custom_qos2;
    custom_qos2.user_data.value = octets("xyz");
    EXPECT_EQ(factory->set_default_participant_qos(custom_qos2), RETCODE_OK);

    DomainParticipant* participant3 = factory->create_participant(2, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant3, nullptr);

    EXPECT_EQ(participant3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, custom_qos2));

    DomainParticipantQos custom_qos3;
    custom_qos3.user_data.value = octets("1234");
    EXPECT_EQ(participant3->set_qos(custom_qos3), RETCODE_OK);

    EXPECT_EQ(participant3->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, custom_qos3));

    EXPECT_EQ(factory->delete_participant(participant1), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant2), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant3), RETCODE_OK);

    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_DomainIdManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    for (int32_t domain_id = 0; domain_id <= 232; ++domain_id) {
        DomainParticipant* participant = factory->create_participant(domain_id, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
        ASSERT_NE(participant, nullptr);
        EXPECT_EQ(participant->get_domain_id(), domain_id);
        EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    }

    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, DISABLED_DiscoveryManagementPositive) {
    InstanceHandleSeq handles;
    ParticipantBuiltinTopicData data;
    const OctetSeq _value = octets("helloworld");

    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "DPTestNegative.ENABLED_DiscoveryManagementNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("DiscoveryManagement"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DiscoveryManagement", "wait_for_completion"));

    EXPECT_TRUE(TestFrame::getInstance().sendData("DiscoveryManagement", "start"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    const InstanceHandle_t own_handle = participant->get_instance_handle();

    // Our own participant may be listed too; keep polling until some other
    // participant shows up, 100 polls 100 ms apart at most.
    bool remote_listed = false;
    for (int poll = 0; poll < 100 && !remote_listed; ++poll) {
        EXPECT_EQ(participant->get_discovered_participants(handles), RETCODE_OK);
        for (const InstanceHandle_t& handle : handles) {
            if (handle != own_handle) remote_listed = true;
        }
        if (!remote_listed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(handles.empty());

    int remote_participants_checked = 0;
    for (const InstanceHandle_t& handle : handles) {
        if (handle == own_handle) continue;
        data = ParticipantBuiltinTopicData();
        EXPECT_EQ(participant->get_discovered_participant_data(data, handle), RETCODE_OK);
        EXPECT_EQ(data.user_data.value, _value);
        ++remote_participants_checked;
    }
    EXPECT_GT(remote_participants_checked, 0);

    TestFrame::getInstance().sendData("DiscoveryManagement", "participant_discovered_manage");

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().sendData("DiscoveryManagement", "finish"));
    TestFrame::getInstance().waitForData("DiscoveryManagement", "finish", 10000);

    DomainParticipantFactory::finalize();

    TestFrame::getInstance().destroyConnection("DiscoveryManagement");
}

TEST_F(DPTestPositive, ENABLED_PublisherManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    std::vector<Publisher*> publishers;
    for (int i = 0; i < 100; ++i) {
        Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(publisher, nullptr);
        publishers.push_back(publisher);
    }

    for (Publisher*& publisher : publishers) {
        EXPECT_EQ(participant->delete_publisher(publisher), RETCODE_OK);
    }

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_PublisherDefaultQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    PublisherQos default_qos;
    publisher_qos_reset(default_qos);

    PublisherQos retrieved_qos;
    EXPECT_EQ(participant->get_default_publisher_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, default_qos));

    PublisherQos custom_qos;
    custom_qos.partition.name = {"custom_partition"};
    EXPECT_EQ(participant->set_default_publisher_qos(custom_qos), RETCODE_OK);

    EXPECT_EQ(participant->get_default_publisher_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, custom_qos));

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_SubscriberManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    std::vector<Subscriber*> subscribers;
    for (int i = 0; i < 100; ++i) {
        Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(subscriber, nullptr);
        subscribers.push_back(subscriber);
    }

    for (Subscriber*& subscriber : subscribers) {
        EXPECT_EQ(participant->delete_subscriber(subscriber), RETCODE_OK);
    }

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_SubscriberDefaultQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    SubscriberQos default_qos;
    subscriber_qos_reset(default_qos);

    SubscriberQos retrieved_qos;
    EXPECT_EQ(participant->get_default_subscriber_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, default_qos));

    SubscriberQos custom_qos;
    custom_qos.partition.name = {"custom_partition"};
    EXPECT_EQ(participant->set_default_subscriber_qos(custom_qos), RETCODE_OK);

    EXPECT_EQ(participant->get_default_subscriber_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, custom_qos));

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_TypeRegistration) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    TypeSupport* keyed_type_support = KeyedTypeTypeSupport::get_instance();

    EXPECT_EQ(participant->registe_type("example_type_name", type_support), RETCODE_OK);
    EXPECT_EQ(participant->registe_type("example_type_name", type_support), RETCODE_OK);
    EXPECT_EQ(participant->registe_type("example_another_name", type_support), RETCODE_OK);
    EXPECT_EQ(participant->registe_type("example_type_name", keyed_type_support), RETCODE_PRECONDITION_NOT_MET);

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_TopicManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();

    Topic* topic = participant->create_topic("test_topic_name", "test_type_name", TOPIC_QOS_DEFAULT, nullptr, 0);
    EXPECT_EQ(topic, nullptr);

    EXPECT_EQ(participant->registe_type("test_type_name", type_support), RETCODE_OK);

    Topic* topic1 = participant->create_topic("test_topic_name_1", "test_type_name", TOPIC_QOS_DEFAULT, nullptr, 0);
    EXPECT_NE(topic1, nullptr);
    Topic* topic2 = participant->create_topic("test_topic_name_2", "test_type_name", TOPIC_QOS_DEFAULT, nullptr, 0);
    EXPECT_NE(topic2, nullptr);

    Topic* duplicate_topic =
        participant->create_topic("test_topic_name_1", "test_type_name", TOPIC_QOS_DEFAULT, nullptr, 0);
    EXPECT_EQ(duplicate_topic, nullptr);

    TopicDescription* desc1 = participant->lookup_topicdescription("test_topic_name_1");
    EXPECT_NE(desc1, nullptr);
    TopicDescription* desc2 = participant->lookup_topicdescription("test_topic_name_2");
    EXPECT_NE(desc2, nullptr);
    TopicDescription* desc3 = participant->lookup_topicdescription("test_topic_name_3");
    EXPECT_EQ(desc3, nullptr);

    Topic* found_topic1 = participant->find_topic("test_topic_name_1", {1, 0});
    EXPECT_NE(found_topic1, nullptr);
    Topic* found_topic2 = participant->find_topic("test_topic_name_2", {1, 0});
    EXPECT_NE(found_topic2, nullptr);
    Topic* found_topic3 = participant->find_topic("test_topic_name_3", {1, 0});
    EXPECT_EQ(found_topic3, nullptr);

    EXPECT_EQ(participant->delete_topic(topic1), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(topic2), RETCODE_OK);

    Topic* null_topic = nullptr;
    EXPECT_EQ(participant->delete_topic(null_topic), RETCODE_BAD_PARAMETER);

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_ContentFilteredTopicManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("test_type_name", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("test_topic_name_1", "test_type_name", TOPIC_QOS_DEFAULT, nullptr, 0);
    EXPECT_NE(topic, nullptr);

    StringSeq expression_parameters;
    ContentFilteredTopic* cft =
        participant->create_contentfilteredtopic("cft_topic_name", topic, "lVal > 1 AND sVal < 20", expression_parameters);
    EXPECT_EQ(cft, nullptr);

    TopicDescription* cft_desc = participant->lookup_topicdescription("cft_topic_name");
    EXPECT_EQ(cft_desc, nullptr);

    EXPECT_EQ(participant->delete_contentfilteredtopic(cft), RETCODE_BAD_PARAMETER);

    EXPECT_EQ(participant->delete_topic(topic), RETCODE_OK);

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_TopicDefaultQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TopicQos default_qos;
    topic_qos_reset(default_qos);
    TopicQos retrieved_qos;

    EXPECT_EQ(participant->get_default_topic_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, default_qos));

    TopicQos custom_qos;
    custom_qos.topic_data.value = octets("abcd");
    EXPECT_EQ(participant->set_default_topic_qos(custom_qos), RETCODE_OK);

    EXPECT_EQ(participant->get_default_topic_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, custom_qos));

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_EntityManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("test_type", type_support), RETCODE_OK);
    Topic* topic = participant->create_topic("test_topic", "test_type", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);

    InstanceHandle_t publisher_handle = publisher->get_instance_handle();
    EXPECT_TRUE(participant->contains_entity(publisher_handle));
    InstanceHandle_t subscriber_handle = subscriber->get_instance_handle();
    EXPECT_TRUE(participant->contains_entity(subscriber_handle));
    InstanceHandle_t topic_handle = topic->get_instance_handle();
    EXPECT_TRUE(participant->contains_entity(topic_handle));

    EXPECT_EQ(participant->delete_contained_entities(), RETCODE_OK);

    EXPECT_FALSE(participant->contains_entity(publisher_handle));
    EXPECT_FALSE(participant->contains_entity(subscriber_handle));
    EXPECT_FALSE(participant->contains_entity(topic_handle));

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_XMLQosDomainParticipantQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    DomainParticipantQos retrieved_qos;
    DomainParticipantQos default_qos = ExpectedProfiles::default_dp_qos();
    DomainParticipantQos named_qos = ExpectedProfiles::named_dp_qos();

    EXPECT_EQ(participant->set_qos_with_profile("example_lib", "example_profile", "default_dp"), RETCODE_OK);
    EXPECT_EQ(participant->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(participant->set_qos_with_profile("example_lib", "example_profile", "named_dp"), RETCODE_OK);
    EXPECT_EQ(participant->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::dp_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_XMLQosPublisherQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    PublisherQos retrieved_qos;
    PublisherQos default_qos = ExpectedProfiles::default_pub_qos();
    PublisherQos named_qos = ExpectedProfiles::named_pub_qos();

    EXPECT_EQ(participant->set_default_publisher_qos_with_profile("example_lib", "example_profile", "default_pub"),
              RETCODE_OK);
    EXPECT_EQ(participant->get_default_publisher_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(participant->set_default_publisher_qos_with_profile("example_lib", "example_profile", "named_pub"),
              RETCODE_OK);
    EXPECT_EQ(participant->get_default_publisher_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, named_qos));

    Publisher* publisher1 =
        participant->create_publisher_with_profile("example_lib", "example_profile", "default_pub", nullptr, 0);
    ASSERT_NE(publisher1, nullptr);
    EXPECT_EQ(publisher1->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, default_qos));

    Publisher* publisher2 =
        participant->create_publisher_with_profile("example_lib", "example_profile", "named_pub", nullptr, 0);
    ASSERT_NE(publisher2, nullptr);
    EXPECT_EQ(publisher2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::publisher_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(participant->delete_publisher(publisher1), RETCODE_OK);
    EXPECT_EQ(participant->delete_publisher(publisher2), RETCODE_OK);

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_XMLQosSubscriberQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    SubscriberQos retrieved_qos;
    SubscriberQos default_qos = ExpectedProfiles::default_sub_qos();
    SubscriberQos named_qos = ExpectedProfiles::named_sub_qos();

    EXPECT_EQ(participant->set_default_subscriber_qos_with_profile("example_lib", "example_profile", "default_sub"),
              RETCODE_OK);
    EXPECT_EQ(participant->get_default_subscriber_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(participant->set_default_subscriber_qos_with_profile("example_lib", "example_profile", "named_sub"),
              RETCODE_OK);
    EXPECT_EQ(participant->get_default_subscriber_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, named_qos));

    Subscriber* subscriber1 =
        participant->create_subscriber_with_profile("example_lib", "example_profile", "default_sub", nullptr, 0);
    ASSERT_NE(subscriber1, nullptr);
    EXPECT_EQ(subscriber1->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, default_qos));

    Subscriber* subscriber2 =
        participant->create_subscriber_with_profile("example_lib", "example_profile", "named_sub", nullptr, 0);
    ASSERT_NE(subscriber2, nullptr);
    EXPECT_EQ(subscriber2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::subscriber_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(participant->delete_subscriber(subscriber1), RETCODE_OK);
    EXPECT_EQ(participant->delete_subscriber(subscriber2), RETCODE_OK);

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(DPTestPositive, ENABLED_XMLQosTopicQosManagement) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->load_qos_from_xml("test_qos_config.xml"), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TopicQos retrieved_qos;
    TopicQos default_qos = ExpectedProfiles::default_topic_qos();
    TopicQos named_qos = ExpectedProfiles::named_topic_qos();

    EXPECT_EQ(participant->set_default_topic_qos_with_profile("example_lib", "example_profile", "default_topic"),
              RETCODE_OK);
    EXPECT_EQ(participant->get_default_topic_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, default_qos));

    EXPECT_EQ(participant->set_default_topic_qos_with_profile("example_lib", "example_profile", "named_topic"),
              RETCODE_OK);
    EXPECT_EQ(participant->get_default_topic_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, named_qos));

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("test_type", type_support), RETCODE_OK);

    Topic* topic1 = participant->create_topic_with_profile("test_topic_1", "test_type", "example_lib",
                                                           "example_profile", "default_topic", nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    EXPECT_EQ(topic1->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, default_qos));

    Topic* topic2 = participant->create_topic_with_profile("test_topic_2", "test_type", "example_lib",
                                                           "example_profile", "named_topic", nullptr, 0);
    ASSERT_NE(topic2, nullptr);
    EXPECT_EQ(topic2->get_qos(retrieved_qos), RETCODE_OK);
    EXPECT_TRUE(TestHelper::topic_qos_compare(retrieved_qos, named_qos));

    EXPECT_EQ(participant->delete_topic(topic1), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(topic2), RETCODE_OK);

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}
