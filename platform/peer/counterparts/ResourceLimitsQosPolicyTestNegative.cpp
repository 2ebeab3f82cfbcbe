// Reading side of the resource-limits test: two reliable keep-all readers on
// "reliability_topic_name", rA with no limits of its own and rL keeping at
// most kPerInstance samples per instance, which this side never takes until
// the end. The positive side's keep-all writers, limited to 10 and 100
// samples, write to the one instance of the keyless type: writer1 lVal 0 to
// 9, 100 ("timeout_finish") and 101; writer2 1000 to 1049 ("write_finish2");
// the writers are deleted straight away. rA acknowledges whatever arrives at
// once, and rL leaves writer1 at most 7 and writer2 at most 50 samples
// unacknowledged, so neither writer ever has to block, however the library
// keeps rL at its limit (rejecting what does not fit, or holding it back).
// - Both writers announce reliable delivery (their limits and history are not
//   announced); they are told apart by their handles.
// - At "timeout_finish", 0..9 and 100 are at rA, from one writer, in order
//   (a write that timed out on a full history never arrives).
// - Once the positive side has deleted its writers and gone, and the
//   instance is not alive at either reader: rA still holds writer1's 0..9
//   and 100, then what came of the samples written after the key (nothing
//   synchronises them with the deletion, so each writer's are a run from its
//   first one: 101, and 1000 on), each from its own matched writer, in its
//   writer's order (the two writers' samples in any order between them),
//   with every field of its sample info: read if it was read at
//   "timeout_finish", else not; a view that is not new; not alive; of
//   generation 0; written after this side's "reader_match_finish" and before
//   the take. No sample is rejected, none that came counted lost. Any
//   notice of the instance's end is not alive.
// - rL holds exactly kPerInstance samples: each writer's a run from its
//   first one (writer1's 0..9 come first, so 0..4), unread, in a new view,
//   not alive; it rejected at least one sample (writer1's eleven reached it),
//   and its sample-rejected status names the per-instance limit and the
//   instance.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"
#include "delivery_checks.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

constexpr int32_t kPerInstance = 5;
constexpr int64_t kClockSlackNs = 1000000;  // rounding of source times

std::vector<int32_t> concat(std::vector<int32_t> a, const std::vector<int32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool starts(const std::vector<int32_t>& whole, const std::vector<int32_t>& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Waits (bounded, also after the connection closed) until the reader's
// instance is not alive; the read condition leaves the sample states as
// they are.
bool wait_not_alive(cp::Verdict& v, DataReader* reader, const std::string& what) {
    if (reader == nullptr) return false;
    ReadCondition* c = reader->create_readcondition(ANY_SAMPLE_STATE, ANY_VIEW_STATE, NOT_ALIVE_INSTANCE_STATE);
    if (!(v.check(c != nullptr) << what << ": create_readcondition returned null")) return false;
    const auto deadline = cp::Clock::now() + std::chrono::milliseconds(cp::kGoneMs);
    while (!c->get_trigger_value() && cp::Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(cp::kPollMs));
    const bool gone = c->get_trigger_value();
    reader->delete_readcondition(c);
    return v.check(gone) << what << ": the instance is still alive " << cp::kGoneMs
                         << " ms after the positive side deleted its writers";
}

// The samples with data; each notice (a sample without data) must tell that
// the instance of the samples is not alive.
cp::Samples<FlatRecord> with_data(cp::Verdict& v, const cp::Samples<FlatRecord>& all, const std::string& what) {
    cp::Samples<FlatRecord> out;
    for (const auto& s : all)
        if (s.info.valid_data) out.push_back(s);
    for (const auto& s : all) {
        if (s.info.valid_data) continue;
        v.check((s.info.instance_state & NOT_ALIVE_INSTANCE_STATE) != 0)
            << what << ": a notice of an alive instance: " << cp::describe(s.info);
        v.check(out.empty() || s.info.instance_handle == out.front().info.instance_handle)
            << what << ": a notice of another instance than the samples'";
    }
    return out;
}

// Whether (writer, lVal) was among `seen`.
bool among(const cp::Samples<FlatRecord>& seen, const InstanceHandle_t& writer, int32_t value) {
    return std::any_of(seen.begin(), seen.end(), [&](const auto& s) {
        return s.info.valid_data && s.info.publication_handle == writer && s.data.lVal == value;
    });
}

}  // namespace

PEER_TEST(ResourceLimitsQosPolicyTestNegative, ENABLED_ResourceLimitsQosPolicyNegative, "ResourceLimitsQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("reliability_topic_name", cp::reliable_reader());
    DataReaderQos limited_qos = cp::reliable_reader();
    limited_qos.resource_limits.max_samples_per_instance = kPerInstance;
    DataReader* limited = e.reader("reliability_topic_name", limited_qos);
    ASSERT_TRUE(cp::ready());
    cp::Verdict v("resource limits");
    cp::Matches m(reader), ml(limited);
    // Both alike as announced: their limits and history are not announced.
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    writer_qos.reliability.max_blocking_time = {2, 0};
    const auto announced = cp::announced_writer("reliability_topic_name", "FlatRecord", writer_qos);
    const auto pubs = cp::expect_matched(v, m, reader, {announced, announced}, {}, "the writers");
    cp::expect_matched(v, ml, limited, {announced, announced}, {}, "the writers, at the limited reader");
    const auto matched = [&](const InstanceHandle_t& h) {
        return std::any_of(pubs.begin(), pubs.end(), [&](const auto& p) { return p.handle == h; });
    };
    const int64_t keyed_ns = delivery::now_ns();
    cp::report_before_writes("reader_match_finish", v.ok());
    if (!cp::await("timeout_finish", 15000)) return;

    const cp::Samples<FlatRecord> first = cp::gather<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(100), 2000, 0);
    InstanceHandle_t writer1 = HANDLE_NIL;
    for (const auto& s : first)
        if (s.info.valid_data && s.data.lVal == 0) writer1 = s.info.publication_handle;
    std::vector<int32_t> w1 = delivery::from_writer(first, writer1);
    if (!w1.empty() && w1.back() == 101) w1.pop_back();  // written right after the key
    // writer2 may have begun too.
    v.check(w1 == concat(cp::range(0, 9), {100})) << "writer1 at \"timeout_finish\": " << cp::describe(w1)
                                                  << ", expected 0..9 and 100" << delivery::discovery_note();
    v.check(matched(writer1)) << "lVal 0 does not come from a matched writer";

    if (!cp::await("write_finish2", 15000)) return;
    // The positive side deletes its writers and closes the connection; what
    // arrived stays readable after that.
    peer::link().wait_closed(15000);
    m.gone(v);
    ml.gone(v);
    wait_not_alive(v, reader, "rA");
    wait_not_alive(v, limited, "rL");
    const int64_t taken_ns = delivery::now_ns();

    // rA: all that came, with its sample infos.
    const cp::Samples<FlatRecord> all = with_data(v, cp::take<FlatRecord>(reader), "rA");
    InstanceHandle_t writer2 = HANDLE_NIL;
    for (const auto& s : all)
        if (!(s.info.publication_handle == writer1)) {
            writer2 = s.info.publication_handle;
            break;
        }
    const auto of1 = delivery::from_writer(all, writer1), of2 = delivery::from_writer(all, writer2);
    const std::vector<int32_t> wrote1 = concat(cp::range(0, 9), {100, 101}), wrote2 = cp::range(1000, 1049);
    cp::log_line("rA after the deletion: writer1 " + cp::describe(of1) + ", writer2 " + std::to_string(of2.size()) +
                 " of 50");
    v.check(starts(wrote1, of1) && of1.size() >= 11) << "writer1's samples at rA: " << cp::describe(of1)
                                                      << ", expected 0..9, 100 and perhaps 101";
    v.check(starts(wrote2, of2)) << "writer2's samples at rA: " << cp::describe(of2)
                                 << ", expected a run of 1000..1049 from 1000";
    v.check(of2.empty() || (matched(writer2) && !(writer2 == writer1)))
        << "writer2's samples do not come from the other matched writer";
    v.equal(of1.size() + of2.size(), all.size()) << "samples at rA that come from neither writer";
    std::vector<cp::Want> want;
    for (const auto& [writer, values] : {std::pair{writer1, of1}, std::pair{writer2, of2}})
        for (int32_t value : values) {
            cp::Want w = cp::Want::data(value).from(writer).text("").view(NOT_NEW_VIEW_STATE)
                             .state(NOT_ALIVE_INSTANCE_STATE).any_time();
            // What was read at "timeout_finish" is now read; the rest is not.
            w.read_state(among(first, writer, value) ? READ_SAMPLE_STATE : NOT_READ_SAMPLE_STATE);
            want.push_back(w);
        }
    cp::expect_samples(v, all, delivery::in_arrival_order(all, want), "rA after the deletion");
    for (const auto& s : all) {
        const int64_t at = delivery::ns(s.info.source_timestamp);
        v.check(at >= keyed_ns - kClockSlackNs && at <= taken_ns + kClockSlackNs)
            << "rA: lVal " << s.data.lVal << " has source time " << cp::describe(s.info.source_timestamp)
            << ", not between \"reader_match_finish\" and the take";
    }
    SampleRejectedStatus rejected;
    v.equal(reader->get_sample_rejected_status(rejected), RETCODE_OK) << "the sample-rejected status of rA";
    v.equal(rejected.total_count, 0) << "samples rejected by a reader without limits";
    delivery::lost_at_most(v, reader, static_cast<int32_t>(wrote1.size() + wrote2.size() - all.size()), "rA");

    // rL: the first kPerInstance that came, each writer's from its first one.
    const cp::Samples<FlatRecord> kept = with_data(v, cp::take<FlatRecord>(limited), "rL");
    const auto kept1 = delivery::from_writer(kept, writer1), kept2 = delivery::from_writer(kept, writer2);
    cp::log_line("rL: writer1 " + cp::describe(kept1) + ", writer2 " + cp::describe(kept2));
    v.equal(kept.size(), static_cast<std::size_t>(kPerInstance))
        << "samples of the one instance kept by a reader limited to " << kPerInstance << " per instance";
    v.check(starts(wrote1, kept1) && starts(wrote2, kept2) && kept1.size() + kept2.size() == kept.size())
        << "rL kept writer1's " << cp::describe(kept1) << " and writer2's " << cp::describe(kept2)
        << ", expected the first that came of each writer";
    std::vector<cp::Want> first_kept;
    for (const auto& [writer, values] : {std::pair{writer1, kept1}, std::pair{writer2, kept2}})
        for (int32_t value : values)
            first_kept.push_back(
                cp::Want::data(value).from(writer).text("").view(NEW_VIEW_STATE).state(NOT_ALIVE_INSTANCE_STATE).any_time());
    cp::expect_samples(v, kept, delivery::in_arrival_order(kept, first_kept), "rL after the deletion");
    SampleRejectedStatus refused;
    v.equal(limited->get_sample_rejected_status(refused), RETCODE_OK) << "the sample-rejected status of rL";
    cp::log_line("rL rejected " + std::to_string(refused.total_count) + " sample(s), last reason " +
                 std::to_string(refused.last_reason));
    // writer1's 5..9 and 100 reached rL (written before "timeout_finish",
    // the writer alive long after) and did not fit.
    v.check(refused.total_count >= 1) << "rL counts no rejected sample, though only " << kPerInstance
                                      << " of writer1's eleven fit";
    v.equal(refused.last_reason, REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT) << "rL: the last rejection's reason";
    if (!kept.empty()) {
        v.check(refused.last_instance_handle == kept.front().info.instance_handle)
            << "rL: the sample-rejected status names another instance than the one at its limit";
    }
    e.release();
}
