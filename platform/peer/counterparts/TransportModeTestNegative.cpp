// Receiving side of the transport test: one reader, on a participant that
// uses every transport, takes the one sample of each of the positive side's
// five writers, each on a participant with one more transport flag. In each
// cycle exactly that cycle's writer is matched (the one before, deleted with
// its participant, must have gone) and the sample comes from it.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

constexpr int kCycles = 5;
// Bounds of this side's waits in a cycle. The positive side's writer exists
// 1 s before it waits 10 s for "reader_ready" (this side's match waits up to
// cp::kMatchMs); a cycle that fails here still ends before the positive side
// gives up on "take_finish" (1 + 10 + 10 s), so that both sides start the
// next cycle together.
constexpr int kWriteFinishMs = 15000;
constexpr int kTakeMs = 5000;

}  // namespace

PEER_TEST(TransportModeTestNegative, ENABLED_TransportModeReceiveAcrossTransports, "TransportModeTest") {
    DomainParticipantQos qos;
    ASSERT_EQ(DomainParticipantFactory::get_instance()->get_default_participant_qos(qos), RETCODE_OK);
    qos.transport_mode = static_cast<TransportMode>(qos.transport_mode | 0x1F);
    cp::Entities e(qos);
    const std::string topic = "transport_mode_topic";
    DataReader* reader = e.reader(topic, cp::reliable_reader());
    ASSERT_TRUE(cp::ready());

    cp::Matches matches(reader);
    InstanceHandleSeq seen_writers;
    InstanceHandle_t previous = HANDLE_NIL;
    bool previous_ok = true;
    // The notice of the earlier writer's deletion, taken as it comes: the
    // keyless instance is left not alive, told by one sample without data
    // from that writer, in a view that is not new (its sample was taken). A
    // notice that shows it disposed came from the writer's dispose and is
    // stamped with the writer's current time; one that shows it without
    // writers (the dispose did not reach this side before the writer went,
    // which nothing promises) is the reader's own. A withheld key has kept
    // the positive side waiting before it deleted.
    const auto expect_deletion = [&](cp::Verdict& v) {
        const int bound = cp::kGoneMs + (previous_ok ? 0 : peer::kWaitMs);
        // Past the close: after the last cycle the positive side deletes its
        // writer and closes at once, before the notice has arrived.
        const cp::Samples<FlatRecord> got =
            cp::collect_past_close<FlatRecord>(v, reader, cp::sample_count<FlatRecord>(1), bound);
        cp::expect_samples(v, got,
                           {cp::Want::notice(NOT_ALIVE_INSTANCE_STATE)
                                .in(HANDLE_NIL)
                                .from(previous)
                                .view(NOT_NEW_VIEW_STATE)
                                .any_generations()
                                .time_if_disposed()},
                           "the earlier writer's deletion");
        matches.left(v, {previous}, bound);
    };
    for (int32_t cycle = 1; cycle <= kCycles && !cp::positive_gone(); ++cycle) {
        // Before "reader_ready": the writer of the cycle before, deleted with
        // its participant, has gone, and exactly the cycle's new writer is
        // matched, announcing the defaults.
        cp::Verdict ready("cycle " + std::to_string(cycle) + ", match");
        if (previous != HANDLE_NIL) expect_deletion(ready);
        const auto writers = cp::expect_matched(ready, matches, reader, {cp::announced_writer(topic, "FlatRecord")},
                                                {}, "the reader on " + topic);
        InstanceHandle_t writer = HANDLE_NIL;
        if (!writers.empty()) {
            writer = writers[0].handle;
            ready.check(std::find(seen_writers.begin(), seen_writers.end(), writer) == seen_writers.end())
                << "the matched writer is the one of an earlier cycle";
            seen_writers.push_back(writer);
        }
        // The positive side writes the cycle's sample after it.
        cp::report_before_writes("reader_ready", ready);
        if (!cp::await("write_finish", kWriteFinishMs)) continue;
        // Exactly the cycle's sample, from the cycle's writer, none of an
        // earlier cycle again. Whether it starts a next generation of the
        // keyless instance or a new instance depends on whether the reader
        // kept the instance after the notice was taken.
        cp::Verdict v("cycle " + std::to_string(cycle));
        const cp::Samples<FlatRecord> got = cp::collect<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(cycle), kTakeMs);
        cp::expect_samples(v, got, {cp::Want::data(cycle).in(HANDLE_NIL).from(writer).text("").any_generations()},
                           v.name());
        cp::log_line(v.name() + ": " + cp::describe(cp::lvals(got)));
        previous_ok = cp::report("take_finish", v) && ready.ok();
        previous = writer;
    }
    // The last writer leaves too, and its match ends.
    cp::Verdict gone("after the last cycle");
    if (previous != HANDLE_NIL) expect_deletion(gone);
    matches.gone(gone);
    e.release();
}
