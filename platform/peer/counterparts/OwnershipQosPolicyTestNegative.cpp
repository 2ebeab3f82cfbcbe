// Reading side of the ownership test: a shared reader r1 on
// "ownership_topic_name_1" and an exclusive reader r2 on
// "ownership_topic_name_2", both reliable and keeping all. The positive side
// writes 1 and 2 from two shared writers on topic 1, then 3 from the exclusive
// writer of strength 100 and 4 from the one of strength 50 on topic 2. The
// samples of different writers may arrive in either order.
// - The shared writers announce shared ownership (strength 0), the exclusive
//   ones exclusive ownership with strengths 100 and 50.
// - r1 gets both shared samples, {1, 2}, in either order, each from one of
//   the two shared writers and not the same one; it reads them as they come,
//   so both are in its cache together when the second comes.
// - r2 gets 3 from the strongest writer, and before it perhaps 4 from the
//   writer of strength 50: the one instance of the keyless type has no owner
//   until a sample comes, so 4 is accepted when it arrives first and 3 then
//   takes the instance over; 4 after 3 is rejected, writer3 outranking it.
//   So [3] or [4, 3].
// - This side's own exclusive writer on topic 2 then writes 5 with strength
//   75, which writer3 (100, alive, with no deadline) still outranks: rejected;
//   with its strength raised to 150 (and r2 seeing 150) it writes 6, which
//   takes the instance over: accepted.
// All writers are matched before anything is written, and the readers listen
// 300 ms longer for samples that must not come.
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

DataWriterQos ownership_writer(OwnershipQosPolicyKind kind, int32_t strength) {
    DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
    qos.ownership.kind = kind;
    qos.ownership_strength.value = strength;
    return qos;
}

}  // namespace

PEER_TEST(OwnershipQosPolicyTestNegative, ENABLED_OwnershipQosPolicyNegative, "OwnershipQosPolicy") {
    cp::Entities e;
    DataReaderQos shared_qos = cp::reliable_reader();
    shared_qos.ownership.kind = SHARED_OWNERSHIP_QOS;
    DataReaderQos exclusive_qos = cp::reliable_reader();
    exclusive_qos.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    DataReader* r1 = e.reader("ownership_topic_name_1", shared_qos);
    DataReader* r2 = e.reader("ownership_topic_name_2", exclusive_qos);
    DataWriter* own = e.writer("ownership_topic_name_2", ownership_writer(EXCLUSIVE_OWNERSHIP_QOS, 75));
    ASSERT_NE(own, nullptr);
    const InstanceHandle_t own_handle = own->get_instance_handle();
    ASSERT_TRUE(cp::ready());
    cp::Verdict v("ownership");
    cp::Matches m1(r1), m2(r2);
    const auto writer = [](int topic, OwnershipQosPolicyKind kind, int32_t strength) {
        return cp::announced_writer("ownership_topic_name_" + std::to_string(topic), "FlatRecord",
                                    ownership_writer(kind, strength));
    };
    const auto shared_writers = cp::expect_matched(
        v, m1, r1, {writer(1, SHARED_OWNERSHIP_QOS, 0), writer(1, SHARED_OWNERSHIP_QOS, 0)}, {}, "the shared writers");
    const auto exclusive_writers =
        cp::expect_matched(v, m2, r2, {writer(2, EXCLUSIVE_OWNERSHIP_QOS, 100), writer(2, EXCLUSIVE_OWNERSHIP_QOS, 50)},
                           {{own_handle, writer(2, EXCLUSIVE_OWNERSHIP_QOS, 75)}}, "the exclusive writers");
    InstanceHandle_t strongest = HANDLE_NIL, weaker = HANDLE_NIL;
    for (const auto& w : exclusive_writers) {
        if (w.data.ownership_strength.value == 100) strongest = w.handle;
        if (w.data.ownership_strength.value == 50) weaker = w.handle;
    }
    cp::report_before_writes("reader_match_finish", v.ok());
    if (!cp::await("write_finish")) return;

    // Shared: both samples, in either order, from the two shared writers.
    const cp::Samples<FlatRecord> shared = cp::gather<FlatRecord>(v, r1, cp::valid_count<FlatRecord>(2), 2000);
    std::vector<cp::Want> both{cp::Want::data(1).text("").view(ANY_VIEW_STATE),
                               cp::Want::data(2).text("").view(ANY_VIEW_STATE)};
    cp::expect_samples(v, shared, delivery::in_arrival_order(shared, both), "shared ownership");
    std::vector<InstanceHandle_t> shared_from;
    for (const auto& s : shared) {
        if (!s.info.valid_data) continue;
        const bool known = std::any_of(shared_writers.begin(), shared_writers.end(),
                                       [&](const auto& w) { return w.handle == s.info.publication_handle; });
        v.check(known) << "shared ownership: lVal " << s.data.lVal << " does not come from a matched shared writer";
        shared_from.push_back(s.info.publication_handle);
    }
    v.check(shared_from.size() != 2 || !(shared_from[0] == shared_from[1]))
        << "shared ownership: 1 and 2 carry the same publication handle, though two writers wrote them";
    // Exclusive: the strongest writer's 3, after the weaker one's 4 only
    // when 4 came first.
    const cp::Samples<FlatRecord> exclusive = cp::collect<FlatRecord>(v, r2, cp::has_lval<FlatRecord>(3), 2000);
    const std::vector<int32_t> owned = cp::lvals(exclusive);
    cp::log_line("exclusive ownership, the positive writers: " + cp::describe(owned));
    std::vector<cp::Want> want_exclusive = delivery::written({3}, strongest);
    if (owned.size() == 2 && owned[0] == 4) {
        want_exclusive = delivery::written({4}, weaker);
        want_exclusive.push_back(cp::Want::data(3).from(strongest).text("").view(ANY_VIEW_STATE));
    }
    cp::expect_samples(v, exclusive, want_exclusive, "exclusive ownership, the positive writers ([3] or [4, 3])");

    // This side's writer: weaker than the owner, then stronger.
    FlatRecord sample;
    sample.lVal = 5;
    v.equal(own->write(&sample, HANDLE_NIL), RETCODE_OK) << "this side's write at strength 75";
    cp::expect_samples(v, cp::collect<FlatRecord>(v, r2, cp::valid_count<FlatRecord>(1), cp::kGraceMs, 0), {},
                       "strength 75 against the owner's 100");
    DataWriterQos stronger;
    v.equal(own->get_qos(stronger), RETCODE_OK) << "get_qos of this side's writer";
    stronger.ownership_strength.value = 150;
    v.equal(own->set_qos(stronger), RETCODE_OK) << "set_qos of this side's writer to strength 150";
    v.check(cp::wait_until(
        [&] {
            PublicationBuiltinTopicData d;
            return r2->get_matched_publication_data(d, own_handle) == RETCODE_OK && d.ownership_strength.value == 150;
        },
        cp::kMatchMs))
        << "the reader does not see this side's writer at strength 150";
    sample.lVal = 6;
    v.equal(own->write(&sample, HANDLE_NIL), RETCODE_OK) << "this side's write at strength 150";
    cp::expect_samples(v, cp::collect<FlatRecord>(v, r2, cp::has_lval<FlatRecord>(6), 2000),
                       {cp::Want::data(6).from(own_handle).text("").view(NOT_NEW_VIEW_STATE)},
                       "strength 150 against the owner's 100");
    cp::report("check_finish", v);
    m1.gone(v);
    m2.gone(v, {own_handle});
    e.release();
}
