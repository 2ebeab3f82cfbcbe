// Transport modes: five participants one after another, each with one more
// transport flag over the factory's default, each writing one sample that the
// peer's reader must take.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <string>
#include <thread>

#include "FlatRecord.h"
#include "TestFrame.h"

using namespace QUORVELA;

namespace {

constexpr int kConnTimeoutMs = 10000;

}  // namespace

class TransportModeTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(TransportModeTestPositive, ENABLED_TransportModeSendAcrossTransports) {
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync",
                                                  "TransportModeTestNegative.ENABLED_TransportModeReceiveAcrossTransports"));
    ASSERT_TRUE(TestFrame::getInstance().createConnection("TransportModeTest"));
    EXPECT_TRUE(TestFrame::getInstance().waitForData("TransportModeTest", "wait_for_completion"));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    TypeSupport* ts = FlatRecordTypeSupport::get_instance();

    for (int i = 1; i <= 5; ++i) {
        DomainParticipantQos qos;
        ReturnCode_t ret = factory->get_default_participant_qos(qos);
        ASSERT_EQ(ret, RETCODE_OK);
        // The cycle's flag is added to the default; the other bits stay.
        qos.transport_mode = static_cast<TransportMode>(qos.transport_mode | (1 << (i - 1)));

        DomainParticipant* participant = factory->create_participant(0, qos, nullptr, 0);
        ASSERT_NE(participant, nullptr);

        EXPECT_EQ(participant->registe_type("FlatRecord", ts), RETCODE_OK);

        Topic* topic = participant->create_topic("transport_mode_topic", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
        ASSERT_NE(topic, nullptr);
        Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
        ASSERT_NE(publisher, nullptr);
        DataWriter* writer = publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
        ASSERT_NE(writer, nullptr);

        std::this_thread::sleep_for(std::chrono::milliseconds(1000));

        std::string dummy;
        EXPECT_TRUE(TestFrame::getInstance().waitForData("TransportModeTest", "reader_ready", dummy, kConnTimeoutMs));

        FlatRecord sample;
        sample.lVal = i;
        EXPECT_EQ(writer->write(&sample, HANDLE_NIL), RETCODE_OK);

        EXPECT_TRUE(TestFrame::getInstance().sendData("TransportModeTest", "write_finish"));

        EXPECT_TRUE(TestFrame::getInstance().waitForData("TransportModeTest", "take_finish", dummy, kConnTimeoutMs));

        EXPECT_EQ(participant->delete_contained_entities(), RETCODE_OK);
        EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    }

    DomainParticipantFactory::finalize();

    TestFrame::getInstance().destroyConnection("TransportModeTest");
}
