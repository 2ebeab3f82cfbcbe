// Status conditions: a writer with a 2 s deadline that never writes wakes a
// wait set through its status condition, without a listener; the condition
// names the writer as its entity.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include "FlatRecord.h"
#include "SuiteSteps.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class StatusConditionTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(StatusConditionTestPositive, ENABLED_StatusConditionBasicFunctionality) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic =
        participant->create_topic("status_condition_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.deadline.period = {2, 0};
    DataWriter* writer = publisher->create_datawriter(topic, writer_qos, nullptr, 0xffffffff);
    ASSERT_NE(writer, nullptr);

    WaitSet* waitset = new WaitSet;
    StatusCondition& status_cond = writer->get_statuscondition();

    EXPECT_EQ(waitset->attach_condition(status_cond), RETCODE_OK);

    ConditionSeq active_conditions;
    Duration_t timeout = {5, 0};
    EXPECT_EQ(waitset->wait(active_conditions, timeout), RETCODE_OK);

    StatusMask mask = status_cond.get_enabled_statuses();
    EXPECT_TRUE(mask & OFFERED_DEADLINE_MISSED_STATUS);

    status_cond.set_enabled_statuses(0);

    Entity* entity = status_cond.get_entity();
    EXPECT_EQ(entity, writer);

    delete waitset;

    standard_ending(factory, participant);
}
