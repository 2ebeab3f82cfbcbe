// Steps the suite tests share: the factory QoS restored however a test body
// that turned autoenable off is left.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "SuiteSteps.h"

using namespace QUORVELA;

namespace {

DomainParticipantFactoryQos autoenable_off() {
    DomainParticipantFactoryQos qos;
    qos.entity_factory.autoenable_created_entities = false;
    return qos;
}

// A body that turns autoenable off and then ends at a fatal check, before
// any finalize().
void body_ending_at_a_fatal_check(DomainParticipantFactory* factory) {
    const SuiteSteps::FactoryQosRestorer restore_factory_qos;
    ASSERT_EQ(factory->set_qos(autoenable_off()), RETCODE_OK);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    EXPECT_FALSE(participant->is_enabled());
    ASSERT_TRUE(false) << "the body ends here";
}

}  // namespace

TEST(FactoryQosRestorer, LaterParticipantsAreEnabledAfterABodyEndedAtAFatalCheck) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    EXPECT_FATAL_FAILURE(body_ending_at_a_fatal_check(DomainParticipantFactory::get_instance()), "the body ends here");

    DomainParticipantFactoryQos qos = autoenable_off();
    EXPECT_EQ(factory->get_qos(qos), RETCODE_OK);
    EXPECT_TRUE(qos.entity_factory.autoenable_created_entities);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    EXPECT_TRUE(participant->is_enabled());
    DomainParticipantFactory::finalize();
}
