// Reading side of the ownership test: a shared reader r1 on
// "ownership_topic_name_1" and an exclusive reader r2 on
// "ownership_topic_name_2", both reliable and keeping all. The positive side
// writes 1 and 2 from two shared writers on topic 1, then 3 from the exclusive
// writer of strength 100 and 4 from the one of strength 50 on topic 2.
// - The shared writers announce shared ownership (strength 0), the exclusive
//   ones exclusive ownership with strengths 100 and 50.
// - r1 gets both shared samples, {1, 2}, in either order;
// - r2 gets only the strongest writer's sample, [3]: writer3 owns the one
//   instance of the keyless type when writer4 writes, so 4 is rejected.
// - This side's own exclusive writer on topic 2 then writes 5 with strength
//   75, which writer3 (100, alive, with no deadline) still outranks: rejected;
//   with its strength raised to 150 (and r2 seeing 150) it writes 6, which
//   takes the instance over: accepted. So r2 holds [3, 6] in all.
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

// The matched writers other than `own`, each announcing one of `want` (in any order).
bool expect_positive_writers(DataReader* reader, const std::string& topic, const InstanceHandle_t& own,
                             std::vector<DataWriterQos> want, std::vector<InstanceHandle_t>& handles) {
    bool ok = true;
    for (const auto& p : cp::matched_publications(reader)) {
        if (p.handle == own) continue;
        // The strengths tell the positive writers apart.
        auto it = std::find_if(want.begin(), want.end(), [&](const DataWriterQos& w) {
            return w.ownership_strength.value == p.data.ownership_strength.value;
        });
        const DataWriterQos expected = it != want.end() ? *it : want.front();
        ok = delivery::expect_announced(p, topic, expected, topic + " writer") && ok;
        if (it != want.end()) want.erase(it);
        handles.push_back(p.handle);
    }
    EXPECT_TRUE(want.empty()) << topic << ": " << want.size() << " of the positive side's writers not seen";
    return ok && want.empty();
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

    bool ok = cp::wait_matched(r1, 2) && cp::wait_matched(r2, 3);
    EXPECT_TRUE(ok) << "matched writers: " << cp::matched_count(r1) << " shared, " << cp::matched_count(r2)
                    << " exclusive (with this side's own)";
    std::vector<InstanceHandle_t> shared_writers, exclusive_writers;
    ok = expect_positive_writers(r1, "ownership_topic_name_1", HANDLE_NIL,
                                 {ownership_writer(SHARED_OWNERSHIP_QOS, 0), ownership_writer(SHARED_OWNERSHIP_QOS, 0)},
                                 shared_writers) &&
         ok;
    ok = expect_positive_writers(r2, "ownership_topic_name_2", own_handle,
                                 {ownership_writer(EXCLUSIVE_OWNERSHIP_QOS, 100),
                                  ownership_writer(EXCLUSIVE_OWNERSHIP_QOS, 50)},
                                 exclusive_writers) &&
         ok;
    cp::report("reader_match_finish", ok);
    if (!cp::await("write_finish")) return;

    cp::Samples<FlatRecord> shared = cp::collect<FlatRecord>(r1, cp::valid_count<FlatRecord>(2), 2000);
    cp::Samples<FlatRecord> exclusive = cp::collect<FlatRecord>(r2, cp::valid_count<FlatRecord>(1), 2000);
    std::vector<int32_t> shared_values = cp::lvals(shared);
    std::sort(shared_values.begin(), shared_values.end());
    ok = cp::expect_lvals(shared_values, {1, 2}, "shared ownership (sorted)") && ok;
    ok = cp::expect_lvals(cp::lvals(exclusive), {3}, "exclusive ownership, the positive side's writers") && ok;

    // This side's writer: weaker than the owner, then stronger.
    FlatRecord sample;
    sample.lVal = 5;
    EXPECT_EQ(own->write(&sample, HANDLE_NIL), RETCODE_OK);
    ok = cp::expect_lvals(cp::lvals(cp::collect<FlatRecord>(r2, cp::valid_count<FlatRecord>(1), cp::kGraceMs, 0)), {},
                          "strength 75 against the owner's 100") &&
         ok;
    DataWriterQos stronger;
    EXPECT_EQ(own->get_qos(stronger), RETCODE_OK);
    stronger.ownership_strength.value = 150;
    EXPECT_EQ(own->set_qos(stronger), RETCODE_OK);
    const bool seen = cp::wait_until(
        [&] {
            PublicationBuiltinTopicData d;
            return r2->get_matched_publication_data(d, own_handle) == RETCODE_OK && d.ownership_strength.value == 150;
        },
        cp::kMatchMs);
    EXPECT_TRUE(seen) << "the reader does not see this side's writer at strength 150";
    sample.lVal = 6;
    EXPECT_EQ(own->write(&sample, HANDLE_NIL), RETCODE_OK);
    const cp::Samples<FlatRecord> taken_over = cp::collect<FlatRecord>(r2, cp::has_lval<FlatRecord>(6), 2000);
    ok = cp::expect_lvals(cp::lvals(taken_over), {6}, "strength 150 against the owner's 100") && seen && ok;

    // Who wrote what: 3 from the writer of strength 100, 6 from this side's.
    const InstanceHandle_t strongest = [&] {
        for (const auto& p : cp::matched_publications(r2))
            if (p.data.ownership_strength.value == 100) return p.handle;
        return HANDLE_NIL;
    }();
    const bool sources = exclusive.size() == 1 && exclusive[0].info.publication_handle == strongest &&
                         taken_over.size() == 1 && taken_over[0].info.publication_handle == own_handle;
    EXPECT_TRUE(sources) << "3 must come from the writer of strength 100 and 6 from this side's writer";
    ok = sources && ok;
    ok = delivery::expect_fresh_from(exclusive, strongest, delivery::now_ns() - 10000000000LL, "sample 3") && ok;
    e.release();
    cp::report("check_finish", ok);
}
