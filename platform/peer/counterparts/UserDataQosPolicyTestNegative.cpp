// Counterpart of the user-data test: a writer carrying the user data
// "writeruser" and a reader carrying "readeruser" on "example_topic_name",
// which the positive side must find among its matched endpoints.
//
// The positive side makes its reader, which waits for a matched writer; then,
// after its first key, its writer, which finds its own reader at once beside
// this side's; then it deletes everything. Nothing in between waits for this
// side: its reader may be gone a few milliseconds after that first key (so it
// is with a library that shows the positive writer its matches at once). So
// the positive reader is made known here before it can go: a probe writer it
// refuses (of exclusive ownership; the positive reader is shared) counts it
// at its discovery, while the positive participant is surely there; only then
// is this side's writer made, which then matches a reader it already knows,
// while the positive reader still waits for it.
//
// Checked here:
//   - the probe writer counts exactly one incompatible positive reader,
//     naming ownership, beside this side's two readers (shared too), which
//     it counts before "wait_for_completion", its status's policies only
//     ownership, 3 times; exactly one participant is discovered then (this
//     side's own left out);
//   - this side's writer ("writeruser", transient local) matches exactly the
//     positive reader, announcing every field of the default QoS (empty user
//     data), of that participant, beside this side's probe reader and reader
//     (decoys of other QoS);
//   - the positive writer lives only until it has found this side's reader:
//     its data are not checked (whether this side lists it before it goes
//     depends on the two sides' timing). A probe reader it cannot satisfy
//     (requesting transient-local durability, which the volatile positive
//     writer does not offer) counts exactly one incompatible positive writer,
//     naming durability, beside this side's probe writer (ownership), its
//     status's policies those two once each: the positive writer's
//     announcement reaches this side before the announcement of its deletion;
//   - once the positive side has closed, its reader's match has ended.
// This side sends no key of its own. Its reader must exist from the start:
// the positive writer matches its own reader too, and a list with only that
// one fails the positive test.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include "counterpart.h"
#include "discovered_endpoints.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// The positive side polls each direction for about 5 s, after its start-up.
constexpr int kDirectionMs = 30000;
// A probe learns of a positive endpoint at its discovery; the positive reader
// waits about 5 s for a matched writer.
constexpr int kProbeMs = cp::kMatchMs;

}  // namespace

PEER_TEST(UserDataQosPolicyTestNegative, ENABLED_UserDataQosPolicyNegative, "UserDataQosPolicy") {
    cp::Entities e;
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.user_data.value = cp::octets("writeruser");
    writer_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;  // what the probe reader requests
    DataWriterQos probe_writer_qos = DATAWRITER_QOS_DEFAULT;
    probe_writer_qos.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    // Refused by this side's probe reader for its ownership only.
    probe_writer_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReaderQos probe_qos = DATAREADER_QOS_DEFAULT;
    probe_qos.durability.kind = TRANSIENT_LOCAL_DURABILITY_QOS;
    DataReaderQos reader_qos = DATAREADER_QOS_DEFAULT;
    reader_qos.user_data.value = cp::octets("readeruser");
    const std::string topic = "example_topic_name";
    DataWriter* probe_writer = e.writer(topic, probe_writer_qos);
    DataReader* probe = e.reader(topic, probe_qos);
    DataReader* reader = e.reader(topic, reader_qos);
    cp::Verdict v("user data");
    // The probe writer refuses this side's readers first.
    v.check(probe_writer != nullptr && probe != nullptr && reader != nullptr &&
            discovered::wait_refused(probe_writer, OWNERSHIP_QOS_POLICY_ID, kProbeMs, "the probe writer, alone", 2))
        << "this side's readers were not refused by its probe writer";
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(probe_writer != nullptr && probe != nullptr && reader != nullptr);

    // The positive reader, discovered; its participant, the only one.
    v.check(discovered::wait_refused(probe_writer, OWNERSHIP_QOS_POLICY_ID, kProbeMs, "the probe writer", 3))
        << "the positive reader was not refused by the probe writer";
    InstanceHandleSeq participants;
    discovered::wait_for([&] { return !(participants = discovered::participants(e.participant())).empty(); },
                         kProbeMs);
    v.equal(participants.size(), 1u) << "participants discovered when the positive reader was";

    // This side's writer, which the positive reader waits for, beside this
    // side's probe and reader.
    DataWriter* writer = e.writer(topic, writer_qos);
    ASSERT_NE(writer, nullptr);
    cp::Matches matches(writer);
    const InstanceHandleSeq stay{probe->get_instance_handle(), reader->get_instance_handle()};
    cp::expect_matched(v, matches, writer, {cp::announced_reader(topic, "FlatRecord")},
                       {{stay[0], cp::announced_reader(topic, "FlatRecord", probe_qos)},
                        {stay[1], cp::announced_reader(topic, "FlatRecord", reader_qos)}},
                       "the positive reader");

    // Then the positive writer, which the probe reader refuses (the refusal
    // comes with its announcement, before any announcement of its deletion).
    // (It refused this side's probe writer before, for its ownership.)
    v.check(discovered::wait_refused(probe, DURABILITY_QOS_POLICY_ID, kProbeMs, "the probe reader", 2,
                                     {{OWNERSHIP_QOS_POLICY_ID, 1}, {DURABILITY_QOS_POLICY_ID, 1}}))
        << "the positive writer was not refused by the probe reader";
    cp::await("first_writer_user_data_check", kDirectionMs);
    // After its second key it deletes everything at once.
    cp::await("first_reader_user_data_check", kDirectionMs);

    v.check(peer::link().wait_closed(kDirectionMs)) << "the positive side still held the connection";
    discovered::wait_for([&] { return matches.list().size() == stay.size(); }, discovered::kEndMs,
                         "the positive reader's match ended");
    matches.gone(v, stay, 0);
    e.release();
}
