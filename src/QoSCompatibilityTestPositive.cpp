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

// Topic n of FlatRecord with the default QoS, checked right after its creation.
#define CREATE_TOPIC(n, name)                                                                            \
    Topic* topic##n = participant->create_topic(name, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);     \
    ASSERT_NE(topic##n, nullptr)

// A new listener n of the given class, then writer n on topic n with it and
// every status enabled, checked right after its creation.
#define CREATE_LISTENED_WRITER(n, listener_class, qos)                                              \
    listener_class* listener##n = new listener_class;                                               \
    DataWriter* writer##n = publisher->create_datawriter(topic##n, qos, listener##n, 0xffffffff);   \
    ASSERT_NE(writer##n, nullptr)

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

// The standard end, the deletion of the listeners and the peer closing. The
// listeners are deleted, in order and through the base class, only when the
// writers are certainly gone: the contained entities or the participant itself
// were deleted (a participant that still holds entities cannot be). A writer
// that survived a failed deletion could still call its listener, so then the
// listeners are left alive on purpose.
void end_and_close(DomainParticipantFactory* factory, DomainParticipant* participant,
                   std::initializer_list<BaseDataWriterListener*> listeners, const std::string& connection_id) {
    const int before = recorded_failures();
    standard_ending(factory, participant);
    const bool writers_deleted = recorded_failures() - before < 2;
    if (writers_deleted) {
        for (BaseDataWriterListener* listener : listeners) delete listener;
    }
    TestFrame::getInstance().destroyConnection(connection_id);
}

}  // namespace

TEST_F(QoSCompatibilityTestPositive, ENABLED_DurabilityMatchPositive) {
    OPEN_PEER_AND_START("DurabilityMatch", "QoSCompatibilityTestNegative.ENABLED_DurabilityMatchNegative");
    CREATE_TOPIC(1, "durability_match_topic_name_1");
    CREATE_TOPIC(2, "durability_match_topic_name_2");
    CREATE_TOPIC(3, "durability_match_topic_name_3");
    CREATE_TOPIC(4, "durability_match_topic_name_4");
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos volatile_qos = DATAWRITER_QOS_DEFAULT;
    volatile_qos.durability.kind = 0;
    CREATE_LISTENED_WRITER(1, DurabilityMatchDataWriterListener, volatile_qos);
    CREATE_LISTENED_WRITER(2, DurabilityMatchDataWriterListener, volatile_qos);
    DataWriterQos transient_local_qos = DATAWRITER_QOS_DEFAULT;
    transient_local_qos.durability.kind = 1;
    CREATE_LISTENED_WRITER(3, DurabilityMatchDataWriterListener, transient_local_qos);
    CREATE_LISTENED_WRITER(4, DurabilityMatchDataWriterListener, transient_local_qos);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DurabilityMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();
    EXPECT_EQ(qos_status2.last_policy_id, DURABILITY_QOS_POLICY_ID);
    EXPECT_MATCHED_WRITER(3, 5000, 1000);
    EXPECT_MATCHED_WRITER(4, 1000, 5000);

    end_and_close(factory, participant, {listener1, listener2, listener3, listener4}, "DurabilityMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_ReliabilityMatchPositive) {
    OPEN_PEER_AND_START("ReliabilityMatch", "QoSCompatibilityTestNegative.ENABLED_ReliabilityMatchNegative");
    CREATE_TOPIC(1, "reliability_match_topic_name_1");
    CREATE_TOPIC(2, "reliability_match_topic_name_2");
    CREATE_TOPIC(3, "reliability_match_topic_name_3");
    CREATE_TOPIC(4, "reliability_match_topic_name_4");
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos best_effort_qos = DATAWRITER_QOS_DEFAULT;
    best_effort_qos.reliability.kind = 1;
    CREATE_LISTENED_WRITER(1, ReliabilityMatchDataWriterListener, best_effort_qos);
    CREATE_LISTENED_WRITER(2, ReliabilityMatchDataWriterListener, best_effort_qos);
    DataWriterQos reliable_qos = DATAWRITER_QOS_DEFAULT;
    reliable_qos.reliability.kind = 2;
    CREATE_LISTENED_WRITER(3, ReliabilityMatchDataWriterListener, reliable_qos);
    CREATE_LISTENED_WRITER(4, ReliabilityMatchDataWriterListener, reliable_qos);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("ReliabilityMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();
    EXPECT_EQ(qos_status2.last_policy_id, RELIABILITY_QOS_POLICY_ID);
    EXPECT_MATCHED_WRITER(3, 5000, 1000);
    EXPECT_MATCHED_WRITER(4, 1000, 5000);

    end_and_close(factory, participant, {listener1, listener2, listener3, listener4}, "ReliabilityMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_DeadlineMatchPositive) {
    OPEN_PEER_AND_START("DeadlineMatch", "QoSCompatibilityTestNegative.ENABLED_DeadlineMatchNegative");
    CREATE_TOPIC(1, "deadline_match_topic_name_1");
    CREATE_TOPIC(2, "deadline_match_topic_name_2");
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos1 = DATAWRITER_QOS_DEFAULT;
    writer_qos1.deadline.period = {0, 100000000};
    CREATE_LISTENED_WRITER(1, DeadlineMatchDataWriterListener, writer_qos1);
    DataWriterQos writer_qos2 = DATAWRITER_QOS_DEFAULT;
    writer_qos2.deadline.period = {0, 100000000};
    CREATE_LISTENED_WRITER(2, DeadlineMatchDataWriterListener, writer_qos2);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("DeadlineMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();

    end_and_close(factory, participant, {listener1, listener2}, "DeadlineMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_OwnershipMatchPositive) {
    OPEN_PEER_AND_START("OwnershipMatch", "QoSCompatibilityTestNegative.ENABLED_OwnershipMatchNegative");
    CREATE_TOPIC(1, "ownership_match_topic_name_1");
    CREATE_TOPIC(2, "ownership_match_topic_name_2");
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos1 = DATAWRITER_QOS_DEFAULT;
    writer_qos1.ownership.kind = 0;
    CREATE_LISTENED_WRITER(1, OwnershipMatchDataWriterListener, writer_qos1);
    DataWriterQos writer_qos2 = DATAWRITER_QOS_DEFAULT;
    writer_qos2.ownership.kind = 0;
    CREATE_LISTENED_WRITER(2, OwnershipMatchDataWriterListener, writer_qos2);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("OwnershipMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();

    end_and_close(factory, participant, {listener1, listener2}, "OwnershipMatch");
}

TEST_F(QoSCompatibilityTestPositive, ENABLED_LivelinessMatchPositive) {
    OPEN_PEER_AND_START("LivelinessMatch", "QoSCompatibilityTestNegative.ENABLED_LivelinessMatchNegative");
    CREATE_TOPIC(1, "liveliness_match_topic_name_1");
    CREATE_TOPIC(2, "liveliness_match_topic_name_2");
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(publisher, nullptr);

    DataWriterQos writer_qos1 = DATAWRITER_QOS_DEFAULT;
    writer_qos1.liveliness.kind = 1;
    CREATE_LISTENED_WRITER(1, LivelinessMatchDataWriterListener, writer_qos1);
    DataWriterQos writer_qos2 = DATAWRITER_QOS_DEFAULT;
    writer_qos2.liveliness.kind = 0;
    CREATE_LISTENED_WRITER(2, LivelinessMatchDataWriterListener, writer_qos2);

    std::string dummy;
    EXPECT_TRUE(TestFrame::getInstance().waitForData("LivelinessMatch", "reader_created_finish", dummy, 10000));

    EXPECT_MATCHED_WRITER(1, 1000, 5000);
    EXPECT_INCOMPATIBLE_WRITER2();

    end_and_close(factory, participant, {listener1, listener2}, "LivelinessMatch");
}
