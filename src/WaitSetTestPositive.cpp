// Wait sets: the conditions attached to a wait set are the ones it lists,
// before and after one is detached; a wait set may be destroyed while a
// status condition is still attached.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>

#include "FlatRecord.h"
#include "SuiteSteps.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class WaitSetTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "WaitSetTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "WaitSetTestPositive::TearDown" << std::endl; }
};

TEST_F(WaitSetTestPositive, ENABLED_WaitSetBasicFunctionality) {
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);

    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("waitset_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    WaitSet* waitset = new WaitSet;
    GuardCondition* guard = new GuardCondition;

    EXPECT_EQ(waitset->attach_condition(*guard), RETCODE_OK);

    StatusCondition& status_cond = writer->get_statuscondition();
    EXPECT_EQ(waitset->attach_condition(status_cond), RETCODE_OK);

    ConditionSeq conditions;
    EXPECT_EQ(waitset->get_conditions(conditions), RETCODE_OK);

    ASSERT_NE(conditions.size(), 0);

    EXPECT_EQ(conditions.size(), 2u);

    // Both entries are read only when both exist; the size check above has
    // reported a shorter list already.
    if (conditions.size() >= 2) {
        EXPECT_TRUE((conditions[0] == guard && conditions[1] == &status_cond) ||
                    (conditions[1] == guard && conditions[0] == &status_cond));
    } else {
        ADD_FAILURE() << "conditions holds " << conditions.size()
                      << " entry: the guard and the status condition cannot both be listed";
    }

    EXPECT_EQ(waitset->detach_condition(*guard), RETCODE_OK);

    conditions.clear();
    EXPECT_EQ(waitset->get_conditions(conditions), RETCODE_OK);
    EXPECT_EQ(conditions.size(), 1u);
    EXPECT_ELEMENT_EQ(conditions, 0, &status_cond);

    delete guard;
    delete waitset;

    standard_ending(factory, participant);
}
