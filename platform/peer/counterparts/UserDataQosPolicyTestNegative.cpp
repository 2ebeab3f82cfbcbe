// Counterpart of the user-data test: a writer carrying the user data
// "writeruser" and a reader carrying "readeruser" on "example_topic_name",
// which the positive side must find among its matched endpoints.
//
// The positive reader lives through the whole test: this side's writer must
// discover it, exactly one, of the one participant discovered, with empty
// user data (the positive side uses the default QoS), until the positive side
// closes. The positive writer lives only until it has found this side's
// reader: the library lists a match at its first look after it settled, so
// whether this side lists it before it goes depends on two timers of two
// processes, and its data are not checked here. What is certain: it cannot
// go before this side has made the reader it waits for. So it is first made
// known here by a probe it cannot satisfy (a reader requesting
// transient-local durability, which the volatile positive writer does not
// offer; this side's writer offers it), which must count exactly one
// incompatible writer, naming durability; this side's reader is made only
// then. Once the positive side has closed, its reader's match has ended.
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

}  // namespace

PEER_TEST(UserDataQosPolicyTestNegative, ENABLED_UserDataQosPolicyNegative, "UserDataQosPolicy") {
    cp::Entities e;
    const InstanceHandleSeq own{e.participant()->get_instance_handle()};
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.user_data.value = cp::octets("writeruser");
    writer_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;  // what the probe requests
    DataReaderQos probe_qos = DATAREADER_QOS_DEFAULT;
    probe_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReaderQos reader_qos = DATAREADER_QOS_DEFAULT;
    reader_qos.user_data.value = cp::octets("readeruser");
    DataWriter* writer = e.writer("example_topic_name", writer_qos);
    ASSERT_TRUE(cp::ready());
    ASSERT_NE(writer, nullptr);

    // The positive reader has found this side's writer; it stays.
    if (!cp::await("first_writer_user_data_check", kDirectionMs)) return;
    const InstanceHandleSeq participants = discovered::participants(e.participant());
    EXPECT_EQ(participants.size(), 1u) << "participants discovered";
    cp::Verdict v("user data");
    cp::Matches matches(writer);
    for (const auto& r : cp::expect_matched(v, matches, writer, {cp::announced_reader("example_topic_name", "FlatRecord")},
                                            {}, "the positive reader")) {
        discovered::of_participant(r.data, participants);
    }

    // Then it makes its writer.
    DataReader* probe = e.reader("example_topic_name", probe_qos);
    ASSERT_NE(probe, nullptr);
    discovered::wait_refused(probe, DURABILITY_QOS_POLICY_ID, kProbeMs, "the probe reader");
    DataReader* reader = e.reader("example_topic_name", reader_qos);
    ASSERT_NE(reader, nullptr);
    if (!cp::await("first_reader_user_data_check", kDirectionMs)) return;
    v.equal(discovered::positive_readers(writer, own).size(), 1u) << "positive readers matched at the second key";

    EXPECT_TRUE(peer::link().wait_closed(kDirectionMs)) << "the positive side still held the connection";
    // This side's probe and reader stay matched with this side's writer.
    const InstanceHandleSeq stay{probe->get_instance_handle(), reader->get_instance_handle()};
    discovered::wait_for([&] { return matches.list().size() == stay.size(); }, discovered::kEndMs,
                         "the positive reader's match ended");
    matches.gone(v, stay, 0);
    e.release();
}
