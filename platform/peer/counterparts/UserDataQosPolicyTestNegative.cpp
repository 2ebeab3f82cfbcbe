// Counterpart of the user-data test: a writer carrying the user data
// "writeruser" and a reader carrying "readeruser" on "example_topic_name",
// which the positive side must find among its matched endpoints.
//
// The positive reader lives through the whole test: this side's writer must
// discover it, exactly one, of the one participant discovered, with empty
// user data (the positive side uses the default QoS), until the positive side
// closes, beside this side's probe and reader (decoys of other QoS). The
// positive writer lives only until it has found this side's reader: the
// library lists a match at its first look after it settled, so whether this
// side lists it before it goes depends on two timers of two processes, and
// its data are not checked here. What is certain: its announcement reaches
// this side before the announcement of its deletion. So a probe it cannot
// satisfy (a reader requesting transient-local durability, which the volatile
// positive writer does not offer; this side's writer offers it) must count
// exactly one incompatible writer, naming durability. Once the positive side
// has closed, its reader's match has ended.
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
// A probe learns of the positive writer at its discovery.
constexpr int kProbeMs = cp::kMatchMs;

}  // namespace

PEER_TEST(UserDataQosPolicyTestNegative, ENABLED_UserDataQosPolicyNegative, "UserDataQosPolicy") {
    cp::Entities e;
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.user_data.value = cp::octets("writeruser");
    writer_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;  // what the probe requests
    DataReaderQos probe_qos = DATAREADER_QOS_DEFAULT;
    probe_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReaderQos reader_qos = DATAREADER_QOS_DEFAULT;
    reader_qos.user_data.value = cp::octets("readeruser");
    const std::string topic = "example_topic_name";
    DataWriter* writer = e.writer(topic, writer_qos);
    DataReader* probe = e.reader(topic, probe_qos);
    DataReader* reader = e.reader(topic, reader_qos);
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(writer != nullptr && probe != nullptr && reader != nullptr);

    // The positive reader has found this side's writer; it stays. Beside it
    // this side's probe and reader, of other QoS.
    if (!cp::await("first_writer_user_data_check", kDirectionMs)) return;
    cp::Verdict v("user data");
    const InstanceHandleSeq participants = discovered::participants(e.participant());
    v.equal(participants.size(), 1u) << "participants discovered";
    cp::Matches matches(writer);
    const InstanceHandleSeq stay{probe->get_instance_handle(), reader->get_instance_handle()};
    cp::expect_matched(v, matches, writer, {cp::announced_reader(topic, "FlatRecord")},
                       {{stay[0], cp::announced_reader(topic, "FlatRecord", probe_qos)},
                        {stay[1], cp::announced_reader(topic, "FlatRecord", reader_qos)}},
                       "the positive reader");

    // Then it makes its writer, which the probe refuses (the refusal comes
    // with its announcement, before any announcement of its deletion).
    discovered::wait_refused(probe, DURABILITY_QOS_POLICY_ID, kProbeMs, "the probe reader");
    // After its second key it deletes everything at once.
    if (!cp::await("first_reader_user_data_check", kDirectionMs)) return;

    v.check(peer::link().wait_closed(kDirectionMs)) << "the positive side still held the connection";
    discovered::wait_for([&] { return matches.list().size() == stay.size(); }, discovered::kEndMs,
                         "the positive reader's match ended");
    matches.gone(v, stay, 0);
    e.release();
}
