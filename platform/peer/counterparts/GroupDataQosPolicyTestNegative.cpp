// Counterpart of the group-data test: a publisher carrying the group data
// "pubgroup" with a writer, and a subscriber carrying "subgroup" with a reader,
// on "example_topic_name", which the positive side must find among its
// matched endpoints. The positive reader lives only until it has found this
// side's writer, the positive writer only until it has found this side's
// reader, which may be at once: whether this side lists such an endpoint
// before it goes depends on how discovery runs in two processes, and its
// data (the default QoS, empty group data) are not checked here. What is certain: neither can go before this side
// has made the endpoint it waits for. So each of them is first made known
// here by a probe it refuses (an exclusive-ownership endpoint, which the
// shared positive one does not match; a refusal is counted when the
// endpoint's announcement arrives), and the endpoint it waits for is made only then.
//
// Checked here:
//   - each probe counts exactly one incompatible positive endpoint, naming
//     ownership, and its status's policies only ownership, once: the
//     positive reader, then the positive writer;
//   - both were announced by the one participant discovered then;
//   - after the first key, when the positive side has deleted its reader,
//     this side's writer matches nothing; once the positive side has closed,
//     this side's reader matches nothing.
// This side sends no key of its own.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include "counterpart.h"
#include "discovered_endpoints.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// The positive side polls each direction for about 5 s, after its start-up.
constexpr int kDirectionMs = 30000;
// A probe learns of the positive endpoint at its discovery; under the 5 s the
// positive side waits for a match.
constexpr int kProbeMs = 3000;

DataWriterQos exclusive_writer() {
    DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
    qos.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    return qos;
}
DataReaderQos exclusive_reader() {
    DataReaderQos qos = DATAREADER_QOS_DEFAULT;
    qos.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    return qos;
}

}  // namespace

PEER_TEST(GroupDataQosPolicyTestNegative, ENABLED_GroupDataQosPolicyNegative, "GroupDataQosPolicy") {
    cp::Entities e;
    PublisherQos publisher_qos = PUBLISHER_QOS_DEFAULT;
    publisher_qos.group_data.value = cp::octets("pubgroup");
    SubscriberQos subscriber_qos = SUBSCRIBER_QOS_DEFAULT;
    subscriber_qos.group_data.value = cp::octets("subgroup");
    DataWriter* probe_writer = e.writer("example_topic_name", exclusive_writer());
    ASSERT_TRUE(cp::ready());
    ASSERT_NE(probe_writer, nullptr);

    // The positive reader.
    cp::Verdict v("group data");
    v.check(discovered::wait_refused(probe_writer, OWNERSHIP_QOS_POLICY_ID, kProbeMs, "the probe writer"))
        << "the positive reader was not refused by the probe writer";
    // Its participant (a library may list it a little after the endpoint):
    // the positive reader waits for this side's writer, so it is there.
    InstanceHandleSeq participants;
    discovered::wait_for([&] { return !(participants = discovered::participants(e.participant())).empty(); },
                         kProbeMs);
    v.equal(participants.size(), 1u) << "participants discovered when the positive reader was";
    DataWriter* writer = e.writer("example_topic_name", DATAWRITER_QOS_DEFAULT, e.publisher(publisher_qos));
    ASSERT_NE(writer, nullptr);
    v.equal(probe_writer->get_publisher()->delete_datawriter(probe_writer), RETCODE_OK) << "the probe writer deleted";
    if (!cp::await("first_pub_group_data_check", kDirectionMs)) return;
    // After the first key the positive side deletes its reader.
    v.check(discovered::wait_for([&] { return cp::matched_count(writer) == 0; }, discovered::kEndMs))
        << "the deleted positive reader is still matched with this side's writer";
    v.equal(writer->get_publisher()->delete_datawriter(writer), RETCODE_OK) << "this side's writer deleted";

    // The positive writer, which it creates next.
    DataReader* probe_reader = e.reader("example_topic_name", exclusive_reader());
    ASSERT_NE(probe_reader, nullptr);
    v.check(discovered::wait_refused(probe_reader, OWNERSHIP_QOS_POLICY_ID, kProbeMs, "the probe reader"))
        << "the positive writer was not refused by the probe reader";
    v.equal(discovered::participants(e.participant()), participants)
        << "participants discovered when the positive writer was";
    DataReader* reader = e.reader("example_topic_name", DATAREADER_QOS_DEFAULT, e.subscriber(subscriber_qos));
    ASSERT_NE(reader, nullptr);
    if (cp::await("first_sub_group_data_check", kDirectionMs)) {
        v.check(peer::link().wait_closed(kDirectionMs)) << "the positive side still held the connection";
        v.check(discovered::wait_for([&] { return cp::matched_count(reader) == 0; }, discovered::kEndMs,
                                     "the positive writer's match ended"))
            << "the positive writer is still matched after the positive side closed";
    }
    e.release();
}
