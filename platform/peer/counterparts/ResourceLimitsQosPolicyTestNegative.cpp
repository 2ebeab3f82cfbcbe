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

#include <algorithm>
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
    cp::Verdict v("resource limits");
    cp::Matches m(reader);
    // Both alike as announced: their limits and history are not announced.
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    writer_qos.reliability.max_blocking_time = {2, 0};
    const auto announced = cp::announced_writer("reliability_topic_name", "FlatRecord", writer_qos);
    const auto pubs = cp::expect_matched(v, m, reader, {announced, announced}, {}, "the writers");
    const auto matched = [&](const InstanceHandle_t& h) {
        return std::any_of(pubs.begin(), pubs.end(), [&](const auto& p) { return p.handle == h; });
    };
    cp::report("reader_match_finish", v);
    if (!cp::await("timeout_finish", 15000)) return;

    const cp::Samples<FlatRecord> first = cp::gather<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(100), 2000, 0);
    InstanceHandle_t writer1 = HANDLE_NIL;
    if (!first.empty()) writer1 = first.front().info.publication_handle;
    std::vector<int32_t> w1 = from_writer(first, writer1);
    if (!w1.empty() && w1.back() == 101) w1.pop_back();  // written right after the key
    // writer2 may have begun too.
    v.check(w1 == concat(cp::range(0, 9), {100})) << "writer1 at \"timeout_finish\": " << cp::describe(w1);
    v.check(matched(writer1)) << "the first sample does not come from a matched writer";

    if (!cp::await("write_finish2", 15000)) return;
    // The positive side deletes its writers and closes the connection; what
    // arrived stays readable after that.
    peer::link().wait_closed(15000);
    m.gone(v);
    const cp::Samples<FlatRecord> all = cp::take<FlatRecord>(reader);
    InstanceHandle_t writer2 = HANDLE_NIL;
    for (const auto& s : all)
        if (s.info.valid_data && !(s.info.publication_handle == writer1)) {
            writer2 = s.info.publication_handle;
            break;
        }
    const auto of1 = from_writer(all, writer1), of2 = from_writer(all, writer2);
    v.check(of1 == concat(cp::range(0, 9), {100, 101})) << "writer1's samples: " << cp::describe(of1);
    v.check(of2 == cp::range(1000, 1049)) << "writer2's samples: " << cp::describe(of2);
    v.check(matched(writer2) && !(writer2 == writer1)) << "writer2's samples do not come from the other matched writer";
    v.equal(cp::lvals(all).size(), 62u) << "samples with data in all: " << cp::describe(cp::lvals(all));
    // What was read at "timeout_finish" is now read; the rest is not.
    std::size_t read_before = 0;
    for (const auto& s : all)
        if (s.info.valid_data && s.info.sample_state == READ_SAMPLE_STATE) ++read_before;
    v.equal(read_before, first.size()) << "samples marked read";
    SampleRejectedStatus rejected;
    v.equal(reader->get_sample_rejected_status(rejected), RETCODE_OK) << "the sample-rejected status";
    v.equal(rejected.total_count, 0) << "samples rejected by a reader without limits";
    e.release();
}
