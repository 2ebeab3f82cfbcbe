// Changing the QoS of enabled entities: one entity of each kind, created from
// copies of the default QoS (and so enabled from the start), whose user data,
// topic data or group data then change.
#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class QoSVariabilityTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

namespace {

// Creates a participant, topic, publisher, subscriber, writer and reader from
// copies of the defaults and deletes them again. With change_mutable each
// entity's changeable octets are set right after its creation; without it,
// each entity gets a second QoS with an unchangeable policy altered, which is
// never applied.
void create_entities_and_change(bool change_mutable) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    DomainParticipantQos dp_qos = PARTICIPANT_QOS_DEFAULT;
    DomainParticipant* participant = factory->create_participant(0, dp_qos, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    if (change_mutable) {
        DomainParticipantQos dp_qos2 = dp_qos;
        dp_qos2.user_data.value = {0x61, 0x62, 0x63};
        EXPECT_EQ(participant->set_qos(dp_qos2), RETCODE_OK);
    }

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    if (!change_mutable) {
        DomainParticipantQos dp_qos2 = dp_qos;
        dp_qos2.entity_factory.autoenable_created_entities = !dp_qos.entity_factory.autoenable_created_entities;
    }

    TopicQos topic_qos = TOPIC_QOS_DEFAULT;
    Topic* topic = participant->create_topic("example_topic_name", "FlatRecord", topic_qos, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    {
        TopicQos topic_qos2 = topic_qos;
        if (change_mutable) {
            topic_qos2.topic_data.value = {0x78, 0x79};
            EXPECT_EQ(topic->set_qos(topic_qos2), RETCODE_OK);
        } else {
            topic_qos2.durability.kind = 3;
        }
    }

    PublisherQos pub_qos = PUBLISHER_QOS_DEFAULT;
    Publisher* publisher = participant->create_publisher(pub_qos, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    {
        PublisherQos pub_qos2 = pub_qos;
        if (change_mutable) {
            pub_qos2.group_data.value = {0x67, 0x72, 0x70};
            EXPECT_EQ(publisher->set_qos(pub_qos2), RETCODE_OK);
        } else {
            pub_qos2.presentation.access_scope = 2;
        }
    }

    SubscriberQos sub_qos = SUBSCRIBER_QOS_DEFAULT;
    Subscriber* subscriber = participant->create_subscriber(sub_qos, nullptr, 0);
    ASSERT_NE(subscriber, nullptr);
    {
        SubscriberQos sub_qos2 = sub_qos;
        if (change_mutable) {
            sub_qos2.group_data.value = {0x73, 0x75, 0x62};
            EXPECT_EQ(subscriber->set_qos(sub_qos2), RETCODE_OK);
        } else {
            sub_qos2.presentation.access_scope = 2;
        }
    }

    DataWriterQos dw_qos = DATAWRITER_QOS_DEFAULT;
    DataWriter* writer = publisher->create_datawriter(topic, dw_qos, nullptr, 0);
    ASSERT_NE(writer, nullptr);
    {
        DataWriterQos dw_qos2 = dw_qos;
        if (change_mutable) {
            dw_qos2.user_data.value = {0x64, 0x77};
            EXPECT_EQ(writer->set_qos(dw_qos2), RETCODE_OK);
        } else {
            dw_qos2.durability.kind = 3;
        }
    }

    DataReaderQos dr_qos = DATAREADER_QOS_DEFAULT;
    DataReader* reader = subscriber->create_datareader(topic, dr_qos, nullptr, 0);
    ASSERT_NE(reader, nullptr);
    {
        DataReaderQos dr_qos2 = dr_qos;
        if (change_mutable) {
            dr_qos2.user_data.value = {0x64, 0x72};
            EXPECT_EQ(reader->set_qos(dr_qos2), RETCODE_OK);
        } else {
            dr_qos2.durability.kind = 3;
        }
    }

    standard_ending(factory, participant);
}

}  // namespace

TEST_F(QoSVariabilityTestPositive, DISABLED_ChangeEnabledEntitiesMutableQoS) { create_entities_and_change(true); }

TEST_F(QoSVariabilityTestPositive, ENABLED_ChangeEnabledEntitiesImmutableQoS) { create_entities_and_change(false); }
