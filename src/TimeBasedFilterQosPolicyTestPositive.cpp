// Time-based filter: this side writes in timed phases, fast and slow, while
// the peer's reader filters by a minimum separation: with a fixed separation,
// around a change of the separation on the enabled reader, and per instance
// of a keyed type.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <initializer_list>
#include <iostream>
#include <string>
#include <thread>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "SuiteSteps.h"
#include "TestFrame.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class TimeBasedFilterQosPolicyTestPositive : public testing::Test {
protected:
    void SetUp() override { std::cout << "TimeBasedFilterQosPolicyTestPositive::SetUp" << std::endl; }
    void TearDown() override { std::cout << "TimeBasedFilterQosPolicyTestPositive::TearDown" << std::endl; }
};

namespace {

// A pause after a write; it goes on for the time that remains when a signal
// interrupts it.
void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TEST_F(TimeBasedFilterQosPolicyTestPositive, ENABLED_TimeBasedFilterQosPolicyBasicTestPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "TimeBasedFilterQosPolicyTestNegative.ENABLED_TimeBasedFilterQosPolicyBasicTestNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("TimeBasedFilterQosPolicyBasicTest"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyBasicTest", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic = participant->create_topic("time_filter_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyBasicTest", "reader_ready", dummy, 10000));

    // Fast phase: 50 ms apart.
    FlatRecord inst1;
    inst1.lVal = 100;
    EXPECT_EQ(writer->write(&inst1, HANDLE_NIL), RETCODE_OK);
    pause_ms(50);
    FlatRecord inst2;
    inst2.lVal = 200;
    EXPECT_EQ(writer->write(&inst2, HANDLE_NIL), RETCODE_OK);
    pause_ms(50);
    FlatRecord inst3;
    inst3.lVal = 300;
    EXPECT_EQ(writer->write(&inst3, HANDLE_NIL), RETCODE_OK);
    pause_ms(50);
    FlatRecord inst4;
    inst4.lVal = 400;
    EXPECT_EQ(writer->write(&inst4, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyBasicTest", "fast_send_check", dummy, 10000));

    // Slow phase: 300 ms apart.
    FlatRecord inst5;
    inst5.lVal = 500;
    EXPECT_EQ(writer->write(&inst5, HANDLE_NIL), RETCODE_OK);
    pause_ms(300);
    FlatRecord inst6;
    inst6.lVal = 600;
    EXPECT_EQ(writer->write(&inst6, HANDLE_NIL), RETCODE_OK);
    pause_ms(300);
    FlatRecord inst7;
    inst7.lVal = 700;
    EXPECT_EQ(writer->write(&inst7, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyBasicTest", "slow_send_check", dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("TimeBasedFilterQosPolicyBasicTest");
}

TEST_F(TimeBasedFilterQosPolicyTestPositive, ENABLED_TimeBasedFilterQosPolicyDynamicTestPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "TimeBasedFilterQosPolicyTestNegative.ENABLED_TimeBasedFilterQosPolicyDynamicTestNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("TimeBasedFilterQosPolicyDynamicTest"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyDynamicTest", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    ASSERT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK);
    Topic* topic =
        participant->create_topic("dynamic_time_filter_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyDynamicTest", "reader_ready", dummy, 10000));

    for (int value : {10, 20, 30, 40, 50}) {
        FlatRecord inst;
        inst.lVal = value;
        EXPECT_EQ(writer->write(&inst, HANDLE_NIL), RETCODE_OK);
        pause_ms(100);
    }

    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyDynamicTest", "first_phase_check",
                                                     dummy, 10000));
    // The peer changes its filter between these two keys.
    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyDynamicTest", "filter_param_changed",
                                                     dummy, 10000));

    for (int value : {60, 70, 80, 90, 100}) {
        FlatRecord inst;
        inst.lVal = value;
        EXPECT_EQ(writer->write(&inst, HANDLE_NIL), RETCODE_OK);
        pause_ms(100);
    }

    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyDynamicTest", "second_phase_check",
                                                     dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("TimeBasedFilterQosPolicyDynamicTest");
}

TEST_F(TimeBasedFilterQosPolicyTestPositive, ENABLED_TimeBasedFilterQosPolicyKeyedTypeTestPositive) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "TimeBasedFilterQosPolicyTestNegative.ENABLED_TimeBasedFilterQosPolicyKeyedTypeTestNegative"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("TimeBasedFilterQosPolicyKeyedTypeTest"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyKeyedTypeTest", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(participant, nullptr);
    TypeSupport* type_support = KeyedTypeTypeSupport::get_instance();
    EXPECT_EQ(participant->registe_type("KeyedType", type_support), RETCODE_OK);
    Topic* topic =
        participant->create_topic("keyed_time_filter_topic_name", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic, nullptr);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);
    DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(writer, nullptr);

    std::string dummy;
    EXPECT_TRUE(
        TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyKeyedTypeTest", "reader_ready", dummy, 10000));

    // Two instances: lVal is the key.
    KeyedType instA;
    instA.lVal = 1;
    KeyedType instB;
    instB.lVal = 2;

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(writer->write(&instA, HANDLE_NIL), RETCODE_OK);
        pause_ms(50);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(writer->write(&instB, HANDLE_NIL), RETCODE_OK);
        pause_ms(50);
    }
    // 350 ms after the last write of instB in all.
    pause_ms(300);
    EXPECT_EQ(writer->write(&instA, HANDLE_NIL), RETCODE_OK);
    EXPECT_EQ(writer->write(&instB, HANDLE_NIL), RETCODE_OK);

    EXPECT_TRUE(TestFrame::getInstance().waitForData("TimeBasedFilterQosPolicyKeyedTypeTest", "keyed_filter_check",
                                                     dummy, 10000));

    standard_ending(factory, participant);

    TestFrame::getInstance().destroyConnection("TimeBasedFilterQosPolicyKeyedTypeTest");
}
