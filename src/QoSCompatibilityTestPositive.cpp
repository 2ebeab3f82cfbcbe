// Matching of offered and requested QoS: writers whose durability,
// reliability, deadline, ownership or liveliness differ, each on a topic of its
// own with a listener of its own, against the peer's readers. A writer whose
// offer satisfies its reader's request is matched and reports no
// incompatibility; the one whose offer falls short is reported incompatible
// and never matched.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "BaseDataWriterListener.h"
#include "FlatRecord.h"
#include "SuiteSteps.h"
#include "TestFrame.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;
using namespace SuiteSteps;

class QoSCompatibilityTestPositive : public testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

// Peer opening and standard start: the "sync" for the negative test, the
// test's connection, the peer's "wait_for_completion", then factory,
// participant and the registered FlatRecord type. Declares factory,
// participant and type_support in the test body.
#define OPEN_PEER_AND_START(connection_id, negative_test)                                                  \
    ASSERT_TRUE(TestFrame::getInstance().sendData("active_connection", "sync", negative_test));             \
    ASSERT_TRUE(TestFrame::getInstance().createConnection(connection_id));                                  \
    EXPECT_TRUE(TestFrame::getInstance().waitForData(connection_id, "wait_for_completion"));                \
    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();                           \
    ASSERT_NE(factory, nullptr);                                                                            \
    DomainParticipant* participant = factory->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);   \
    ASSERT_NE(participant, nullptr);                                                                        \
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();                                      \
    ASSERT_NE(type_support, nullptr);                                                                       \
    EXPECT_EQ(participant->registe_type("FlatRecord", type_support), RETCODE_OK)

// Writer n (listener n, writer n) of a matched offer: no incompatibility
// within t1 ms, the match within t2 ms, and both statuses already handed to
// the listener: one match, no incompatibility, no change left unread.
#define EXPECT_MATCHED_WRITER(n, t1, t2)                                                    \
    do {                                                                                   \
        EXPECT_EQ(listener##n->wait_offered_incompatible_qos(t1), 1);                       \
        EXPECT_EQ(listener##n->wait_publication_matched(t2), 0);                            \
        PublicationMatchedStatus pub_status##n;                                            \
        EXPECT_EQ(writer##n->get_publication_matched_status(pub_status##n), RETCODE_OK);    \
        EXPECT_EQ(pub_status##n.total_count, 1);                                           \
        EXPECT_EQ(pub_status##n.total_count_change, 0);                                    \
        OfferedIncompatibleQosStatus qos_status##n;                                        \
        EXPECT_EQ(writer##n->get_offered_incompatible_qos_status(qos_status##n), RETCODE_OK); \
        EXPECT_EQ(qos_status##n.total_count, 0);                                           \
        EXPECT_EQ(qos_status##n.total_count_change, 0);                                    \
    } while (0)

// Writer 2, whose offer its reader refuses: the incompatibility within
// 5000 ms, no match within 1000 ms, and both statuses already handed to the
// listener. Leaves qos_status2 in the test body for a check of the policy.
#define EXPECT_INCOMPATIBLE_WRITER2()                                                   \
    EXPECT_EQ(listener2->wait_offered_incompatible_qos(5000), 0);                       \
    EXPECT_EQ(listener2->wait_publication_matched(1000), 1);                            \
    PublicationMatchedStatus pub_status2;                                              \
    EXPECT_EQ(writer2->get_publication_matched_status(pub_status2), RETCODE_OK);        \
    EXPECT_EQ(pub_status2.total_count, 0);                                             \
    EXPECT_EQ(pub_status2.total_count_change, 0);                                      \
    OfferedIncompatibleQosStatus qos_status2;                                          \
    EXPECT_EQ(writer2->get_offered_incompatible_qos_status(qos_status2), RETCODE_OK);   \
    EXPECT_EQ(qos_status2.total_count, 1);                                             \
    EXPECT_EQ(qos_status2.total_count_change, 0)

namespace {

// The number of failures the running test has recorded so far.
int recorded_failures() {
    return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// The standard end. True when the writers are certainly gone: the contained
// entities or the participant itself were deleted (a participant that still
// holds entities cannot be deleted).
bool standard_ending_deletes_writers(DomainParticipantFactory* factory, DomainParticipant* participant) {
    const int before = recorded_failures();
    standard_ending(factory, participant);
    return recorded_failures() - before < 2;
}

// Deletes the listeners, in order, through the base class, once their writers
// are gone. A writer that survived a failed deletion could still call its
// listener, so then the listeners are left alive on purpose.
void delete_listeners(bool writers_deleted, std::initializer_list<BaseDataWriterListener*> listeners) {
    if (!writers_deleted) return;
    for (BaseDataWriterListener* listener : listeners) delete listener;
}

}  // namespace

TEST_F(QoSCompatibilityTestPositive, ENABLED_DurabilityMatchPositive) {
    OPEN_PEER_AND_START("DurabilityMatch", "QoSCompatibilityTestNegative.ENABLED_DurabilityMatchNegative");

    Topic* topic1 =
        participant->create_topic("durability_match_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 =
        participant->create_topic("durability_match_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);
    Topic* topic3 =
        participant->create_topic("durability_match_topic_name_3", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic3, nullptr);
    Topic* topic4 =
        participant->create_topic("durability_match_topic_name_4", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic4, nullptr);

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos volatile_qos = DATAWRITER_QOS_DEFAULT;
    volatile_qos.durability.kind = 0;
    DurabilityMatchDataWriterListener* listener1 = new DurabilityMatchDataWriterListener;
    DataWriter* writer1 = publisher->create_datawriter(topic1, volatile_qos, listener1, 0xffffffff);
    ASSERT_NE(writer1, nullptr);
    DurabilityMatchDataWriterListener* listener2 = new DurabilityMatchDataWriterListener;
    DataWriter* writer2 = publisher->create_datawriter(topic2, volatile_qos, listener2, 0xffffffff);
    ASSERT_NE(writer2, nullptr);

    DataWriterQos transient_local_qos = DATAWRITER_QOS_DEFAULT;
    transient_local_qos.durability.kind = 1;
    DurabilityMatchDataWriterListener* listener3 = new DurabilityMatchDataWriterListener;
    DataWriter* writer3 = publisher->create_datawriter(topic3, transient_local_qos, listener3, 0xffffffff);
    ASSERT_NE(writer3, nullptr);
    DurabilityMatchDataWriterListener* listener4 = new DurabilityMatchDataWriterListener;
    DataWriter* writer4 = publisher->create_datawriter(topic4, transient_local_qos, listener4, 0xffffffff);
    ASSERT_NE(writer4, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DurabilityMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();
    EXPECT_EQ(qos_status2.last_policy_id, DURABILITY_QOS_POLICY_ID);
    EXPECT_MATCHED_WRITER(3, 5000, 1000);
    EXPECT_MATCHED_WRITER(4, 1000, 5000);

    const bool writers_deleted = standard_ending_deletes_writers(factory, participant);
    delete_listeners(writers_deleted, {listener1, listener2, listener3, listener4});

    TestFrame::getInstance().destroyConnection("DurabilityMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_ReliabilityMatchPositive) {
    OPEN_PEER_AND_START("ReliabilityMatch", "QoSCompatibilityTestNegative.ENABLED_ReliabilityMatchNegative");

    Topic* topic1 =
        participant->create_topic("reliability_match_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 =
        participant->create_topic("reliability_match_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);
    Topic* topic3 =
        participant->create_topic("reliability_match_topic_name_3", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic3, nullptr);
    Topic* topic4 =
        participant->create_topic("reliability_match_topic_name_4", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic4, nullptr);

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos best_effort_qos = DATAWRITER_QOS_DEFAULT;
    best_effort_qos.reliability.kind = 1;
    ReliabilityMatchDataWriterListener* listener1 = new ReliabilityMatchDataWriterListener;
    DataWriter* writer1 = publisher->create_datawriter(topic1, best_effort_qos, listener1, 0xffffffff);
    ASSERT_NE(writer1, nullptr);
    ReliabilityMatchDataWriterListener* listener2 = new ReliabilityMatchDataWriterListener;
    DataWriter* writer2 = publisher->create_datawriter(topic2, best_effort_qos, listener2, 0xffffffff);
    ASSERT_NE(writer2, nullptr);

    DataWriterQos reliable_qos = DATAWRITER_QOS_DEFAULT;
    reliable_qos.reliability.kind = 2;
    ReliabilityMatchDataWriterListener* listener3 = new ReliabilityMatchDataWriterListener;
    DataWriter* writer3 = publisher->create_datawriter(topic3, reliable_qos, listener3, 0xffffffff);
    ASSERT_NE(writer3, nullptr);
    ReliabilityMatchDataWriterListener* listener4 = new ReliabilityMatchDataWriterListener;
    DataWriter* writer4 = publisher->create_datawriter(topic4, reliable_qos, listener4, 0xffffffff);
    ASSERT_NE(writer4, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ReliabilityMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();
    EXPECT_EQ(qos_status2.last_policy_id, RELIABILITY_QOS_POLICY_ID);
    EXPECT_MATCHED_WRITER(3, 5000, 1000);
    EXPECT_MATCHED_WRITER(4, 1000, 5000);

    const bool writers_deleted = standard_ending_deletes_writers(factory, participant);
    delete_listeners(writers_deleted, {listener1, listener2, listener3, listener4});

    TestFrame::getInstance().destroyConnection("ReliabilityMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_DeadlineMatchPositive) {
    OPEN_PEER_AND_START("DeadlineMatch", "QoSCompatibilityTestNegative.ENABLED_DeadlineMatchNegative");

    Topic* topic1 =
        participant->create_topic("deadline_match_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 =
        participant->create_topic("deadline_match_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos1 = DATAWRITER_QOS_DEFAULT;
    writer_qos1.deadline.period = {0, 100000000};
    DeadlineMatchDataWriterListener* listener1 = new DeadlineMatchDataWriterListener;
    DataWriter* writer1 = publisher->create_datawriter(topic1, writer_qos1, listener1, 0xffffffff);
    ASSERT_NE(writer1, nullptr);

    DataWriterQos writer_qos2 = DATAWRITER_QOS_DEFAULT;
    writer_qos2.deadline.period = {0, 100000000};
    DeadlineMatchDataWriterListener* listener2 = new DeadlineMatchDataWriterListener;
    DataWriter* writer2 = publisher->create_datawriter(topic2, writer_qos2, listener2, 0xffffffff);
    ASSERT_NE(writer2, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DeadlineMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();

    const bool writers_deleted = standard_ending_deletes_writers(factory, participant);
    delete_listeners(writers_deleted, {listener1, listener2});

    TestFrame::getInstance().destroyConnection("DeadlineMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_OwnershipMatchPositive) {
    OPEN_PEER_AND_START("OwnershipMatch", "QoSCompatibilityTestNegative.ENABLED_OwnershipMatchNegative");

    Topic* topic1 =
        participant->create_topic("ownership_match_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 =
        participant->create_topic("ownership_match_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos1 = DATAWRITER_QOS_DEFAULT;
    writer_qos1.ownership.kind = 0;
    OwnershipMatchDataWriterListener* listener1 = new OwnershipMatchDataWriterListener;
    DataWriter* writer1 = publisher->create_datawriter(topic1, writer_qos1, listener1, 0xffffffff);
    ASSERT_NE(writer1, nullptr);

    DataWriterQos writer_qos2 = DATAWRITER_QOS_DEFAULT;
    writer_qos2.ownership.kind = 0;
    OwnershipMatchDataWriterListener* listener2 = new OwnershipMatchDataWriterListener;
    DataWriter* writer2 = publisher->create_datawriter(topic2, writer_qos2, listener2, 0xffffffff);
    ASSERT_NE(writer2, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("OwnershipMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();

    const bool writers_deleted = standard_ending_deletes_writers(factory, participant);
    delete_listeners(writers_deleted, {listener1, listener2});

    TestFrame::getInstance().destroyConnection("OwnershipMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_LivelinessMatchPositive) {
    OPEN_PEER_AND_START("LivelinessMatch", "QoSCompatibilityTestNegative.ENABLED_LivelinessMatchNegative");

    Topic* topic1 =
        participant->create_topic("liveliness_match_topic_name_1", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic1, nullptr);
    Topic* topic2 =
        participant->create_topic("liveliness_match_topic_name_2", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(topic2, nullptr);

    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos1 = DATAWRITER_QOS_DEFAULT;
    writer_qos1.liveliness.kind = 1;
    LivelinessMatchDataWriterListener* listener1 = new LivelinessMatchDataWriterListener;
    DataWriter* writer1 = publisher->create_datawriter(topic1, writer_qos1, listener1, 0xffffffff);
    ASSERT_NE(writer1, nullptr);

    DataWriterQos writer_qos2 = DATAWRITER_QOS_DEFAULT;
    writer_qos2.liveliness.kind = 0;
    LivelinessMatchDataWriterListener* listener2 = new LivelinessMatchDataWriterListener;
    DataWriter* writer2 = publisher->create_datawriter(topic2, writer_qos2, listener2, 0xffffffff);
    ASSERT_NE(writer2, nullptr);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("LivelinessMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();

    const bool writers_deleted = standard_ending_deletes_writers(factory, participant);
    delete_listeners(writers_deleted, {listener1, listener2});

    TestFrame::getInstance().destroyConnection("LivelinessMatch");
}
