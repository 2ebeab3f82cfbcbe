// Reading side of the resource-limits test: one reliable keep-all reader with
// no limits of its own on "reliability_topic_name". It acknowledges whatever
// arrives at once, so the positive side's keep-all writers, limited to 10 and
// 100 unacknowledged samples, never have to block: writer1 writes lVal 0 to 9,
// 100 ("timeout_finish") and 101; writer2 writes 1000 to 1049
// ("write_finish2") and the writers are deleted straight away.
// - Both writers announce reliable delivery (their limits and history are not
//   announced); they are told apart by their handles.
// - At "timeout_finish", 0..9 and 100 are here, from one writer, in order
//   (a write that timed out on a full history never arrives).
// - Once the positive side has deleted its writers and gone, all 62 samples
//   are still readable: writer1's twelve, then writer2's fifty from a second
//   writer, each in order, unread, and nothing else; none was rejected by
//   this reader, which has no limits of its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

// The samples of one writer, in the order received.
std::vector<int32_t> from_writer(const cp::Samples<FlatRecord>& got, const InstanceHandle_t& publication) {
    std::vector<int32_t> out;
    for (const auto& s : got)
        if (s.info.valid_data && s.info.publication_handle == publication) out.push_back(s.data.lVal);
    return out;
}

std::vector<int32_t> concat(std::vector<int32_t> a, const std::vector<int32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

PEER_TEST(ResourceLimitsQosPolicyTestNegative, ENABLED_ResourceLimitsQosPolicyNegative, "ResourceLimitsQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("reliability_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    bool ok = cp::wait_matched(reader, 2);
    const auto pubs = cp::matched_publications(reader);
    EXPECT_EQ(pubs.size(), 2u) << "matched writers";
    ok = pubs.size() == 2 && ok;
    for (const auto& p : pubs)
        ok = delivery::expect_announced(p, "reliability_topic_name", DATAWRITER_QOS_DEFAULT, "writer") && ok;
    cp::report("reader_match_finish", ok);
    if (!cp::await("timeout_finish", 15000)) return;

    cp::settle<FlatRecord>(reader, cp::has_lval<FlatRecord>(100), 2000);
    const cp::Samples<FlatRecord> first = cp::read<FlatRecord>(reader);
    InstanceHandle_t writer1 = HANDLE_NIL;
    if (!first.empty()) writer1 = first.front().info.publication_handle;
    std::vector<int32_t> w1 = from_writer(first, writer1);
    if (!w1.empty() && w1.back() == 101) w1.pop_back();  // written right after the key
    // writer2 may have begun too.
    cp::expect_lvals(w1, concat(cp::range(0, 9), {100}), "writer1 at \"timeout_finish\"");
    const bool known = pubs.size() == 2 && (writer1 == pubs[0].handle || writer1 == pubs[1].handle);
    EXPECT_TRUE(known) << "the first sample does not come from a matched writer";

    if (!cp::await("write_finish2", 15000)) return;
    // The positive side deletes its writers and closes the connection; what
    // arrived stays readable after that.
    peer::link().wait_closed(15000);
    const cp::Samples<FlatRecord> all = cp::take<FlatRecord>(reader);
    InstanceHandle_t writer2 = HANDLE_NIL;
    for (const auto& s : all)
        if (s.info.valid_data && !(s.info.publication_handle == writer1)) {
            writer2 = s.info.publication_handle;
            break;
        }
    cp::expect_lvals(from_writer(all, writer1), concat(cp::range(0, 9), {100, 101}), "writer1");
    cp::expect_lvals(from_writer(all, writer2), cp::range(1000, 1049), "writer2");
    EXPECT_TRUE(pubs.size() == 2 && (writer2 == pubs[0].handle || writer2 == pubs[1].handle) && !(writer2 == writer1))
        << "writer2's samples do not come from the other matched writer";
    EXPECT_EQ(cp::lvals(all).size(), 62u) << "samples in all: " << cp::describe(cp::lvals(all));
    // What was read at "timeout_finish" is now read; the rest is not.
    std::size_t read_before = 0;
    for (const auto& s : all)
        if (s.info.sample_state == READ_SAMPLE_STATE) ++read_before;
    EXPECT_EQ(read_before, first.size()) << "samples marked read";
    SampleRejectedStatus rejected;
    EXPECT_EQ(reader->get_sample_rejected_status(rejected), RETCODE_OK);
    EXPECT_EQ(rejected.total_count, 0) << "samples rejected by a reader without limits";
    e.release();
}
