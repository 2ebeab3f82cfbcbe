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
// Each matched writer announces every field of what the positive side made
// (its own partition too). "check_finish" only when all of it holds; then,
// once the positive side has closed, every match must end, counted as ended.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>
#include <memory>
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
    std::shared_ptr<cp::Matches> matches = nullptr;
};

// Exactly the expected writers, each announcing what the positive side made:
// the default QoS in the partition named like its topic; and no incompatible
// QoS.
void check(cp::Verdict& v, PartitionReader& r) {
    PublisherQos publisher = PUBLISHER_QOS_DEFAULT;
    publisher.partition.name = {r.topic};
    const std::vector<PublicationBuiltinTopicData> want(
        r.writers, cp::announced_writer(r.topic, "FlatRecord", DATAWRITER_QOS_DEFAULT, publisher));
    const auto writers = cp::expect_matched(v, *r.matches, r.reader, want, {}, r.what);
    RequestedIncompatibleQosStatus incompatible;
    v.equal(r.reader->get_requested_incompatible_qos_status(incompatible), RETCODE_OK) << r.what;
    v.equal(incompatible.total_count, 0) << r.what << ": incompatible QoS reported, last policy id "
                                         << incompatible.last_policy_id;
    cp::log_line(std::string(r.what) + ": " + std::to_string(writers.size()) + " writer(s), " +
                 std::to_string(incompatible.total_count) + " incompatible");
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
        r.matches = std::make_shared<cp::Matches>(r.reader);
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
    cp::Verdict v("partitions");
    for (PartitionReader& r : readers) check(v, r);
    cp::report("check_finish", v);

    // The positive side deletes its writers and closes: every match ends.
    discovered::wait_for(
        [&] {
            for (const PartitionReader& r : readers) {
                if (!r.matches->list().empty()) return false;
            }
            return true;
        },
        discovered::kEndMs, "matches ended");
    cp::Verdict gone("after the positive side closed");
    for (PartitionReader& r : readers) r.matches->gone(gone, {}, 0);
    e.release();
}
