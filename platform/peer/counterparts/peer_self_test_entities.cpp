// Counterparts of the project's own framework tests (not the suite's) that
// hold DDS entities, for the tests of a positive side that goes away.
#include <chrono>
#include <string>
#include <thread>

#include "counterpart.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

// Waits, on the counterparts' skeleton, for a writer that never comes: with
// entities in domain 0 (its participant's user data "peer_selftest_linger"),
// it must stop and delete them as soon as the positive side has gone.
PEER_TEST(PeerSelfTestNegative, ENABLED_LingerNegative, "PeerSelfTestLinger") {
    DomainParticipantQos qos = PARTICIPANT_QOS_DEFAULT;
    const std::string tag = "peer_selftest_linger";
    qos.user_data.value.assign(tag.begin(), tag.end());
    cp::Entities e(qos);
    DataReader* reader = e.reader("peer_selftest_linger_topic", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    EXPECT_TRUE(cp::wait_matched(reader, 1, 60000));
}

// A counterpart stuck where no wait of the skeleton sees the connection: it
// ignores its positive side for 30 s. The dispatcher must stop it once that
// side has gone.
PEER_TEST(PeerSelfTestNegative, ENABLED_DeafNegative, "PeerSelfTestDeaf") {
    ASSERT_TRUE(peer::link().ready());
    std::this_thread::sleep_for(std::chrono::seconds(30));
}
