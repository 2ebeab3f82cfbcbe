// Counterpart of the partition test. The positive side has writer1 on
// "partition_topic_name_1" in the partition "partition_topic_name_1" and
// writer2 on "partition_topic_name_2" in "partition_topic_name_2". This side's
// readers, each in a subscriber of its own partitions, must match exactly the
// writer of their topic whose partition one of theirs names (two names, one of
// them the writer's, match; a name that matches as a pattern does too), and
// nothing where the partitions do not meet (another name, the default
// partition, a prefix of the writer's name, the name in another case, the
// name with more after it): there they report no incompatible QoS either,
// since partitions that do not meet are no match, not an incompatibility.
// Each matched writer announces its own partition. "check_finish" only when
// all of it holds; then, once the positive side has closed, every match must
// end, counted as ended.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>
#include <string>
#include <vector>

#include "counterpart.h"
#include "discovered_endpoints.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// The positive side sends "create_finish" right after its writers exist for 1 s.
constexpr int kKeyMs = 30000;
// Listening on for matches that must not come, once the expected ones are there.
constexpr int kSettleMs = 500;

struct PartitionReader {
    const char* what;
    const char* topic;
    StringSeq partitions;      // of its subscriber
    std::size_t writers;       // positive writers it must match
    DataReader* reader = nullptr;
    SubscriptionMatchedStatus matched{};  // as of the check
};

std::string describe(const StringSeq& names) {
    std::string out = "{";
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", \"" : "\"") + names[i] + "\"";
    return out + "}";
}

// Exactly the expected writers, each on the reader's topic and in exactly the
// reader's partitions, and no incompatible QoS.
bool check(PartitionReader& r) {
    bool ok = true;
    const std::vector<cp::Matched<PublicationBuiltinTopicData>> writers = cp::matched_publications(r.reader);
    EXPECT_EQ(writers.size(), r.writers) << r.what << ": matched " << writers.size() << " writer(s)";
    ok = ok && writers.size() == r.writers;
    for (const cp::Matched<PublicationBuiltinTopicData>& m : writers) {
        const PublicationBuiltinTopicData& w = m.data;
        EXPECT_EQ(w.topic_name, r.topic) << r.what;
        // Each positive writer is in the partition named like its topic.
        const StringSeq own_partition{r.topic};
        EXPECT_EQ(w.partition.name, own_partition)
            << r.what << ": a writer in the partitions " << describe(w.partition.name);
        ok = ok && w.topic_name == r.topic && w.partition.name == own_partition;
    }
    RequestedIncompatibleQosStatus incompatible;
    EXPECT_EQ(r.reader->get_requested_incompatible_qos_status(incompatible), RETCODE_OK);
    EXPECT_EQ(incompatible.total_count, 0) << r.what << ": incompatible QoS reported, last policy id "
                                           << incompatible.last_policy_id;
    ok = ok && incompatible.total_count == 0;
    EXPECT_EQ(r.reader->get_subscription_matched_status(r.matched), RETCODE_OK);
    EXPECT_EQ(r.matched.current_count, static_cast<int32_t>(r.writers)) << r.what << ": matched now";
    EXPECT_EQ(r.matched.total_count, static_cast<int32_t>(r.writers)) << r.what << ": matched in all";
    ok = ok && r.matched.current_count == static_cast<int32_t>(r.writers) &&
         r.matched.total_count == static_cast<int32_t>(r.writers);
    std::cout << "[peer] " << r.what << ": " << writers.size() << " writer(s), " << incompatible.total_count
              << " incompatible" << std::endl;
    return ok;
}

}  // namespace

PEER_TEST(PartitionQosPolicyTestNegative, ENABLED_PartitionQosPolicyNegative, "PartitionQosPolicy") {
    std::vector<PartitionReader> readers = {
        {"reader in partition_topic_name_1 on topic 1", "partition_topic_name_1", {"partition_topic_name_1"}, 1},
        {"reader in partition_topic_name_2 on topic 2", "partition_topic_name_2", {"partition_topic_name_2"}, 1},
        {"reader in partition_topic_name_2 on topic 1", "partition_topic_name_1", {"partition_topic_name_2"}, 0},
        {"reader in the default partition on topic 1", "partition_topic_name_1", {}, 0},
        {"reader in another partition and partition_topic_name_1 on topic 1", "partition_topic_name_1",
         {"partition_elsewhere", "partition_topic_name_1"}, 1},
        {"reader in the pattern partition_*_2 on topic 2", "partition_topic_name_2", {"partition_*_2"}, 1},
        {"reader in a prefix of partition_topic_name_1 on topic 1", "partition_topic_name_1", {"partition_topic_name_"}, 0},
        {"reader in PARTITION_TOPIC_NAME_1 on topic 1", "partition_topic_name_1", {"PARTITION_TOPIC_NAME_1"}, 0},
        {"reader in partition_topic_name_10 on topic 1", "partition_topic_name_1", {"partition_topic_name_10"}, 0},
    };
    cp::Entities e;
    bool created = true;
    for (PartitionReader& r : readers) {
        SubscriberQos qos = SUBSCRIBER_QOS_DEFAULT;
        qos.partition.name = r.partitions;
        r.reader = e.reader(r.topic, DATAREADER_QOS_DEFAULT, e.subscriber(qos));
        created = created && r.reader != nullptr;
    }
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(created);

    if (!cp::await("create_finish", kKeyMs)) return;
    cp::wait_until(
        [&] {
            for (const PartitionReader& r : readers) {
                if (cp::matched_count(r.reader) < r.writers) return false;
            }
            return true;
        },
        cp::kMatchMs);
    if (!cp::positive_gone()) std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    bool ok = true;
    for (PartitionReader& r : readers) ok = check(r) && ok;
    cp::report("check_finish", ok);

    // The positive side deletes its writers and closes: every match ends.
    EXPECT_TRUE(peer::link().wait_closed(kKeyMs)) << "the positive side still held the connection";
    discovered::wait_for(
        [&] {
            for (const PartitionReader& r : readers) {
                if (cp::matched_count(r.reader) != 0) return false;
            }
            return true;
        },
        discovered::kEndMs, "matches ended");
    for (const PartitionReader& r : readers) {
        SubscriptionMatchedStatus now;
        EXPECT_EQ(r.reader->get_subscription_matched_status(now), RETCODE_OK);
        EXPECT_EQ(now.current_count, 0) << r.what << ": still matched after the positive side closed";
        EXPECT_EQ(now.current_count_change, -r.matched.current_count) << r.what << ": ended matches counted";
        EXPECT_EQ(now.total_count, r.matched.total_count) << r.what << ": matched in all";
        EXPECT_EQ(cp::matched_count(r.reader), 0u) << r.what << ": listed as matched after the positive side closed";
    }
    e.release();
}
