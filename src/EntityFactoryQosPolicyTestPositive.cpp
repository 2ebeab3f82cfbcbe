// Entity factory: with autoenable off in the factory, the participant, the
// publisher and the subscriber, everything is created disabled; the peer
// looks while it is, then the entities are enabled one by one and the peer
// looks again.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>
#include <string>

#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class EntityFactoryQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "EntityFactoryQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "EntityFactoryQosPolicyTestPositive::TearDown" << std::endl; }
};

TEST_F(EntityFactoryQosPolicyTestPositive, ENABLED_EntityFactoryQosPolicyPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "EntityFactoryQosPolicyTestNegative.ENABLED_EntityFactoryQosPolicyNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("EntityFactoryQosPolicy"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("EntityFactoryQosPolicy", "wait_for_completion"));

    DomainParticipantFactoryQos factory_qos;
    factory_qos.entity_factory.autoenable_created_entities = false;
    DomainParticipantQos participant_qos = PARTICIPANT_QOS_DEFAULT;
    participant_qos.entity_factory.autoenable_created_entities = false;
    PublisherQos publisher_qos = PUBLISHER_QOS_DEFAULT;
    publisher_qos.entity_factory.autoenable_created_entities = false;
    SubscriberQos subscriber_qos = SUBSCRIBER_QOS_DEFAULT;
    subscriber_qos.entity_factory.autoenable_created_entities = false;
    std::string dummy;

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    const FactoryQosRestorer restore_factory_qos;

    EXPECT_EQ(factory->set_qos(factory_qos), RETCODE_OK);

    DomainParticipant* participant = factory->create_participant(0, participant_qos, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("entity_factory_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(publisher_qos, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);
    Subscriber* subscriber = participant->create_subscriber(subscriber_qos, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    DataReader* reader = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(reader, nullptr);

    EXPECT_TRUE(TestFrame::getInstance().sendData("EntityFactoryQosPolicy","create_finish"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("EntityFactoryQosPolicy", "match_check_1", dummy, 10000));

    EXPECT_EQ(participant->enable(), RETCODE_OK);
    EXPECT_EQ(publisher->enable(), RETCODE_OK);
    EXPECT_EQ(subscriber->enable(), RETCODE_OK);
    EXPECT_EQ(writer->enable(), RETCODE_OK);
    EXPECT_EQ(reader->enable(), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().sendData("EntityFactoryQosPolicy","enable_finish"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("EntityFactoryQosPolicy", "check_finish", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("EntityFactoryQosPolicy");
}
