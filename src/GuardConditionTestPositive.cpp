// Guard conditions: a wait set on an untriggered guard runs into its time-out
// and returns at once once the guard is triggered; a guard may be deleted
// while it is still attached.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>

using namespace QUORVELA;

class GuardConditionTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "GuardConditionTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "GuardConditionTestPositive::TearDown" << std::endl; }
};

TEST_F(GuardConditionTestPositive, ENABLED_GuardConditionBasicFunctionality) {
    WaitSet* waitset = new WaitSet;
    GuardCondition* guard = new GuardCondition;

    EXPECT_EQ(waitset->attach_condition(*guard), RETCODE_OK);

    ConditionSeq active_conditions;
    Duration_t timeout = {5, 0};
    EXPECT_EQ(waitset->wait(active_conditions, timeout), RETCODE_TIMEOUT);

    EXPECT_EQ(guard->set_trigger_value(true), RETCODE_OK);

    EXPECT_EQ(waitset->wait(active_conditions, timeout), RETCODE_OK);

    delete guard;
    delete waitset;
}
