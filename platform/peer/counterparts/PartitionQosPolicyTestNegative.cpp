// Counterpart of the partition test. The positive side has writer1 on
// "partition_topic_name_1" in the partition "partition_topic_name_1" and
// writer2 on "partition_topic_name_2" in "partition_topic_name_2". This side's
// readers, each in a subscriber of its own partitions, must match exactly the
// writer of their topic and partition, and nothing where the partitions do
// not meet: there they report no incompatible QoS either, since partitions
// that do not meet are no match, not an incompatibility. "check_finish" only
// when all of it holds.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>
#include <string>
#include <vector>

#include "counterpart.h"
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
};

std::string describe(const StringSeq& names) {
    std::string out = "{";
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", \"" : "\"") + names[i] + "\"";
    return out + "}";
}

// Exactly the expected writers, each on the reader's topic and in exactly the
// reader's partitions, and no incompatible QoS.
bool check(const PartitionReader& r) {
    bool ok = true;
    const std::vector<cp::Matched<PublicationBuiltinTopicData>> writers = cp::matched_publications(r.reader);
    EXPECT_EQ(writers.size(), r.writers) << r.what << ": matched " << writers.size() << " writer(s)";
    ok = ok && writers.size() == r.writers;
    for (const cp::Matched<PublicationBuiltinTopicData>& m : writers) {
        const PublicationBuiltinTopicData& w = m.data;
        EXPECT_EQ(w.topic_name, r.topic) << r.what;
        EXPECT_EQ(w.partition.name, r.partitions)
            << r.what << ": a writer in the partitions " << describe(w.partition.name);
        ok = ok && w.topic_name == r.topic && w.partition.name == r.partitions;
    }
    RequestedIncompatibleQosStatus incompatible;
    EXPECT_EQ(r.reader->get_requested_incompatible_qos_status(incompatible), RETCODE_OK);
    EXPECT_EQ(incompatible.total_count, 0) << r.what << ": incompatible QoS reported, last policy id "
                                           << incompatible.last_policy_id;
    ok = ok && incompatible.total_count == 0;
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
    for (const PartitionReader& r : readers) ok = check(r) && ok;
    e.release();
    cp::report("check_finish", ok);
}
