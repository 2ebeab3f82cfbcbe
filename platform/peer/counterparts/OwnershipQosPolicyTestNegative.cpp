// Reading side of the ownership test: a shared reader r1 on
// "ownership_topic_name_1" and an exclusive reader r2 on
// "ownership_topic_name_2", both reliable and keeping all. The positive side
// writes 1 and 2 from two shared writers on topic 1, then 3 from the exclusive
// writer of strength 100 and 4 from the one of strength 50 on topic 2.
// - r1 gets both shared samples, {1, 2}, in either order;
// - r2 gets only the strongest writer's sample, [3]: writer3 owns the one
//   instance of the keyless type when writer4 writes, so 4 is rejected.
// Both exclusive writers are matched before anything is written, and the
// readers listen 300 ms longer for samples that must not come.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

PEER_TEST(OwnershipQosPolicyTestNegative, ENABLED_OwnershipQosPolicyNegative, "OwnershipQosPolicy") {
    cp::Entities e;
    DataReaderQos shared_qos = cp::reliable_reader();
    shared_qos.ownership.kind = SHARED_OWNERSHIP_QOS;
    DataReaderQos exclusive_qos = cp::reliable_reader();
    exclusive_qos.ownership.kind = EXCLUSIVE_OWNERSHIP_QOS;
    DataReader* r1 = e.reader("ownership_topic_name_1", shared_qos);
    DataReader* r2 = e.reader("ownership_topic_name_2", exclusive_qos);
    ASSERT_TRUE(cp::ready());
    cp::report("reader_match_finish", cp::wait_matched(r1, 2) && cp::wait_matched(r2, 2));
    if (!cp::await("write_finish")) return;

    cp::settle<FlatRecord>(r1, cp::valid_count<FlatRecord>(2), 2000);
    cp::settle<FlatRecord>(r2, cp::valid_count<FlatRecord>(1), 2000);
    cp::pause(cp::kGraceMs);
    std::vector<int32_t> shared = cp::lvals(cp::take<FlatRecord>(r1));
    std::sort(shared.begin(), shared.end());
    const bool shared_ok = cp::expect_lvals(shared, {1, 2}, "shared ownership (sorted)");
    const bool exclusive_ok = cp::expect_lvals(cp::lvals(cp::take<FlatRecord>(r2)), {3}, "exclusive ownership");
    e.release();
    cp::report("check_finish", shared_ok && exclusive_ok);
}
