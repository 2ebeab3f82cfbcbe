// Receiving side of the transport test: one reader, on a participant that
// uses every transport, takes the one sample of each of the positive side's
// five writers, each on a participant with one more transport flag.
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
// 1 s before it waits 10 s for "reader_ready"; a cycle that fails here still
// ends before the positive side gives up on "take_finish" (1 + 10 + 10 s),
// so that both sides start the next cycle together.
constexpr int kNewWriterMs = 10000;
constexpr int kWriteFinishMs = 15000;
constexpr int kTakeMs = 5000;

// A matched publication this reader has not seen in an earlier cycle.
bool new_writer_matched(DataReader* reader, const std::vector<InstanceHandle_t>& seen,
                        InstanceHandle_t& found) {
    InstanceHandleSeq handles;
    if (reader == nullptr || reader->get_matched_publications(handles) != RETCODE_OK) return false;
    for (const InstanceHandle_t& h : handles) {
        if (std::find(seen.begin(), seen.end(), h) == seen.end()) {
            found = h;
            return true;
        }
    }
    return false;
}

}  // namespace

PEER_TEST(TransportModeTestNegative, ENABLED_TransportModeReceiveAcrossTransports, "TransportModeTest") {
    DomainParticipantQos qos;
    ASSERT_EQ(DomainParticipantFactory::get_instance()->get_default_participant_qos(qos), RETCODE_OK);
    qos.transport_mode = static_cast<TransportMode>(qos.transport_mode | 0x1F);
    cp::Entities e(qos);
    DataReader* reader = e.reader("transport_mode_topic", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());

    std::vector<InstanceHandle_t> seen_writers;
    for (int32_t cycle = 1; cycle <= kCycles && !cp::positive_gone(); ++cycle) {
        const std::string what = "cycle " + std::to_string(cycle);
        InstanceHandle_t writer;
        const bool matched =
            cp::wait_until([&] { return new_writer_matched(reader, seen_writers, writer); }, kNewWriterMs);
        EXPECT_TRUE(matched) << what << ": no new writer matched within " << kNewWriterMs << " ms";
        if (matched) {
            seen_writers.push_back(writer);
            EXPECT_TRUE(peer::link().send("reader_ready"));
        }
        if (!cp::await("write_finish", kWriteFinishMs)) continue;
        // Exactly the cycle's sample: none of an earlier cycle comes again.
        const std::vector<int32_t> got =
            cp::lvals(cp::collect<FlatRecord>(reader, cp::has_lval<FlatRecord>(cycle), kTakeMs));
        const bool ok = cp::expect_lvals(got, {cycle}, what);
        if (cycle == kCycles) e.release();
        cp::report("take_finish", ok);
    }
}
