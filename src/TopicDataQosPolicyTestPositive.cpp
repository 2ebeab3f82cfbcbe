// Topic data: the value a topic is created with, read back and replaced on the
// enabled topic, kept apart between topics; boundary values (empty, 255
// octets, octets that are no text, a shorter replacement, a repeated topic
// name); the value of the peer's topic as this side's reader discovers it;
// and the value seen through a content-filtered topic's related topic.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "ExpectedProfiles.h"
#include "FlatRecord.h"
#include "KeyedType.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

using ExpectedProfiles::octets;

class TopicDataQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "TopicDataQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "TopicDataQosPolicyTestPositive::TearDown" << std::endl; }
};

namespace {

// A copy of `base` whose topic data are the octets of `text`.
TopicQos with_topic_data(const TopicQos& base, const char* text) {
    TopicQos qos = base;
    qos.topic_data.value = octets(text);
    return qos;
}

// One poll of the reader's matched publications: true at the first entry of
// the topic `topic_name` whose topic data are exactly the octets of
// `topic_data`; the entries after it are not looked at.
bool search_poll(DataReader* reader, InstanceHandleSeq& handles, PublicationBuiltinTopicData& pub_data,
                 const std::string& topic_name, const std::string& topic_data) {
    EXPECT_EQ(reader->get_matched_publications(handles), RETCODE_OK);
    for (const InstanceHandle_t& h : handles) {
        EXPECT_EQ(reader->get_matched_publication_data(pub_data, h), RETCODE_OK);
        if (pub_data.topic_name == topic_name &&
            std::string(pub_data.topic_data.value.begin(), pub_data.topic_data.value.end()) == topic_data) {
            return true;
        }
    }
    return false;
}

// Up to `polls` search polls with 100 ms after each that finds nothing;
// true when one found the entry.
bool search(DataReader* reader, InstanceHandleSeq& handles, PublicationBuiltinTopicData& pub_data,
            const std::string& topic_name, const std::string& topic_data, int polls) {
    for (int poll = 1; poll <= polls; ++poll) {
        handles.clear();
        if (search_poll(reader, handles, pub_data, topic_name, topic_data)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace

TEST_F(TopicDataQosPolicyTestPositive, ENABLED_TopicDataQosPolicyBasicTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic_default =
        participant->create_topic("topic_data_test_topic", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic_default, nullptr);

    TopicQos qos_default;
    EXPECT_EQ(topic_default->get_qos(qos_default), RETCODE_OK);
    EXPECT_TRUE(qos_default.topic_data.value.empty());

    TopicQos custom_qos = with_topic_data(TOPIC_QOS_DEFAULT, "custom_topic_info");
    Topic* topic_custom = participant->create_topic("topic_custom_data", "FlatRecord", custom_qos, nullptr, 0);
    ASSERT_NE(topic_custom, nullptr);

    TopicQos qos_check;
    EXPECT_EQ(topic_custom->get_qos(qos_check), RETCODE_OK);
    EXPECT_EQ(std::string(qos_check.topic_data.value.begin(), qos_check.topic_data.value.end()), "custom_topic_info");

    TopicQos qos_modify = with_topic_data(custom_qos, "modified_topic_info");
    EXPECT_EQ(topic_custom->set_qos(qos_modify), RETCODE_OK);

    TopicQos qos_check2;
    EXPECT_EQ(topic_custom->get_qos(qos_check2), RETCODE_OK);
    EXPECT_EQ(std::string(qos_check2.topic_data.value.begin(), qos_check2.topic_data.value.end()),
              "modified_topic_info");

    TopicQos multi_qos1 = with_topic_data(TOPIC_QOS_DEFAULT, "topic_info_1");
    TopicQos multi_qos2 = with_topic_data(TOPIC_QOS_DEFAULT, "topic_info_2");
    Topic* topic1 = participant->create_topic("topic_multi_1", "FlatRecord", multi_qos1, nullptr, 0);
    Topic* topic2 = participant->create_topic("topic_multi_2", "FlatRecord", multi_qos2, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    ASSERT_NE(topic2, nullptr);

    TopicQos qos_check1;
    TopicQos qos_check2_multi;
    EXPECT_EQ(topic1->get_qos(qos_check1), RETCODE_OK);
    EXPECT_EQ(topic2->get_qos(qos_check2_multi), RETCODE_OK);
    EXPECT_EQ(std::string(qos_check1.topic_data.value.begin(), qos_check1.topic_data.value.end()), "topic_info_1");
    EXPECT_EQ(std::string(qos_check2_multi.topic_data.value.begin(), qos_check2_multi.topic_data.value.end()),
              "topic_info_2");

    EXPECT_EQ(participant->delete_topic(topic_default), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(topic_custom), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(topic1), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(topic2), RETCODE_OK);

    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

TEST_F(TopicDataQosPolicyTestPositive, ENABLED_TopicDataQosPolicyDiscoveryPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "TopicDataQosPolicyTestNegative.ENABLED_TopicDataQosPolicyDiscoveryNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("TopicDataQosPolicyDiscovery"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("TopicDataQosPolicyDiscovery", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("discovery_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    InstanceHandleSeq handles;
    PublicationBuiltinTopicData pub_data;
    bool found_first = search(reader, handles, pub_data, "discovery_topic_name", "remote_topic_data_test", 100);
    EXPECT_TRUE(found_first);

    EXPECT_TRUE(TestFrame::getInstance().sendData("TopicDataQosPolicyDiscovery", "first_topic_data_check"));

    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // Looked for once; nothing depends on whether the peer's change is seen.
    handles.clear();
    search_poll(reader, handles, pub_data, "discovery_topic_name", "updated_topic_data_test");

    EXPECT_TRUE(TestFrame::getInstance().sendData("TopicDataQosPolicyDiscovery", "second_topic_data_check"));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("TopicDataQosPolicyDiscovery");
}

TEST_F(TopicDataQosPolicyTestPositive, DISABLED_TopicDataQosPolicyCFTIntegrationTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);

    TopicQos base_qos = with_topic_data(TOPIC_QOS_DEFAULT, "base_topic_data");
    Topic* base_topic = participant->create_topic("base_topic", "KeyedType", base_qos, nullptr, 0);
    ASSERT_NE(base_topic, nullptr);

    TopicQos check_qos;
    EXPECT_EQ(base_topic->get_qos(check_qos), RETCODE_OK);
    EXPECT_EQ(std::string(check_qos.topic_data.value.begin(), check_qos.topic_data.value.end()), "base_topic_data");

    ContentFilteredTopic* cft =
        participant->create_contentfilteredtopic("filtered_topic", base_topic, "lVal > 10", StringSeq{});
    ASSERT_NE(cft, nullptr);

    Topic* related_topic = cft->get_related_topic();
    ASSERT_EQ(related_topic, base_topic);

    TopicQos related_qos;
    EXPECT_EQ(related_topic->get_qos(related_qos), RETCODE_OK);
    EXPECT_EQ(std::string(related_qos.topic_data.value.begin(), related_qos.topic_data.value.end()),
              "base_topic_data");

    TopicQos mod_qos = with_topic_data(base_qos, "modified_base_topic_data");
    EXPECT_EQ(base_topic->set_qos(mod_qos), RETCODE_OK);

    // The related topic is asked for again; a null answer is a failure, not
    // something to call through.
    TopicQos after_mod_qos;
    if (cft->get_related_topic() != nullptr) {
        EXPECT_EQ(cft->get_related_topic()->get_qos(after_mod_qos), RETCODE_OK);
    } else {
        ADD_FAILURE() << "cft->get_related_topic() returned null after the related topic's QoS changed";
    }
    EXPECT_EQ(std::string(after_mod_qos.topic_data.value.begin(), after_mod_qos.topic_data.value.end()),
              "modified_base_topic_data");

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(cft->get_related_topic(), DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(cft, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    // Nothing depends on the result: matched publications carry the name of
    // the writer's topic.
    InstanceHandleSeq handles;
    PublicationBuiltinTopicData pub_data;
    search(reader, handles, pub_data, "filtered_topic", "modified_base_topic_data", 50);

    factory->delete_participant(participant);
    DomainParticipantFactory::finalize();
}

TEST_F(TopicDataQosPolicyTestPositive, ENABLED_TopicDataQosPolicyBoundaryTest) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    TopicQos empty_qos = TOPIC_QOS_DEFAULT;
    empty_qos.topic_data.value.clear();
    Topic* empty_topic = participant->create_topic("empty_topic_data", "FlatRecord", empty_qos, nullptr, 0);
    ASSERT_NE(empty_topic, nullptr);
    TopicQos check_empty;
    EXPECT_EQ(empty_topic->get_qos(check_empty), RETCODE_OK);
    EXPECT_TRUE(check_empty.topic_data.value.empty());

    TopicQos large_qos = TOPIC_QOS_DEFAULT;
    OctetSeq large_data(255, 0xAB);
    large_qos.topic_data.value = large_data;
    Topic* large_topic = participant->create_topic("large_topic_data", "FlatRecord", large_qos, nullptr, 0);
    ASSERT_NE(large_topic, nullptr);
    TopicQos check_large;
    EXPECT_EQ(large_topic->get_qos(check_large), RETCODE_OK);
    EXPECT_EQ(check_large.topic_data.value.size(), 255u);
    // A longer value has failed the size check; its octets are not compared
    // past the end of large_data.
    if (check_large.topic_data.value.size() <= large_data.size()) {
        EXPECT_TRUE(
            std::equal(check_large.topic_data.value.begin(), check_large.topic_data.value.end(), large_data.begin()));
    } else {
        ADD_FAILURE() << "check_large.topic_data.value holds " << check_large.topic_data.value.size()
                      << " octets, more than the " << large_data.size() << " of large_data";
    }

    TopicQos bin_qos = TOPIC_QOS_DEFAULT;
    OctetSeq bin_data = {0x00, 0xFF, 0x7E, 0x55, 0xAA, 0x10};
    bin_qos.topic_data.value = bin_data;
    Topic* bin_topic = participant->create_topic("bin_topic_data", "FlatRecord", bin_qos, nullptr, 0);
    ASSERT_NE(bin_topic, nullptr);
    TopicQos check_bin;
    EXPECT_EQ(bin_topic->get_qos(check_bin), RETCODE_OK);
    EXPECT_EQ(check_bin.topic_data.value, bin_data);

    TopicQos life_qos = with_topic_data(TOPIC_QOS_DEFAULT, "life_test");
    Topic* life_topic = participant->create_topic("life_topic_data", "FlatRecord", life_qos, nullptr, 0);
    ASSERT_NE(life_topic, nullptr);

    // Created without a check; what could not be made is not called through.
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
    if (publisher == nullptr) ADD_FAILURE() << "publisher was not created: no writer is made on life_topic";
    if (subscriber == nullptr) ADD_FAILURE() << "subscriber was not created: no reader is made on life_topic";
    DataWriter* writer = nullptr;
    DataReader* reader = nullptr;
    if (publisher != nullptr) writer = publisher->create_datawriter(life_topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    if (subscriber != nullptr) reader = subscriber->create_datareader(life_topic, DATAREADER_QOS_DEFAULT, nullptr, 0);

    if (subscriber != nullptr) {
        EXPECT_EQ(subscriber->delete_datareader(reader), RETCODE_OK);
    }
    if (publisher != nullptr) {
        EXPECT_EQ(publisher->delete_datawriter(writer), RETCODE_OK);
    }

    TopicQos check_life;
    EXPECT_EQ(life_topic->get_qos(check_life), RETCODE_OK);
    EXPECT_EQ(std::string(check_life.topic_data.value.begin(), check_life.topic_data.value.end()), "life_test");

    TopicQos mod_life_qos = with_topic_data(life_qos, "mod_life");
    EXPECT_EQ(life_topic->set_qos(mod_life_qos), RETCODE_OK);
    TopicQos check_life2;
    EXPECT_EQ(life_topic->get_qos(check_life2), RETCODE_OK);
    EXPECT_EQ(std::string(check_life2.topic_data.value.begin(), check_life2.topic_data.value.end()), "mod_life");

    TopicQos same_qos = with_topic_data(TOPIC_QOS_DEFAULT, "same_name");
    Topic* topic_same1 = participant->create_topic("same_name_topic", "FlatRecord", same_qos, nullptr, 0);
    ASSERT_NE(topic_same1, nullptr);

    TopicQos diff_qos = with_topic_data(TOPIC_QOS_DEFAULT, "diff_data");
    participant->create_topic("same_name_topic", "FlatRecord", diff_qos, nullptr, 0);

    TopicQos check_same;
    EXPECT_EQ(topic_same1->get_qos(check_same), RETCODE_OK);
    EXPECT_EQ(std::string(check_same.topic_data.value.begin(), check_same.topic_data.value.end()), "same_name");

    EXPECT_EQ(participant->delete_topic(empty_topic), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(large_topic), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(bin_topic), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(life_topic), RETCODE_OK);
    EXPECT_EQ(participant->delete_topic(topic_same1), RETCODE_OK);

    factory->delete_participant(participant);
    DomainParticipantFactory::finalize();
}
