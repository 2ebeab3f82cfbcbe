// The peer's side of the data-reader tests: a writer whose handle and
// discovery data the positive reader looks up, and readers that check the
// instances and sample infos of what the positive writer sends.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <type_traits>
#include <vector>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "counterpart.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// The positive side polls its matched publications for up to 5 s after it
// has the handle, and may first wait 10 s for the handle.
constexpr int kDiscoveredMs = 20000;

// A reader of the positive writer's first samples on `topic`: "reader_matched"
// once it has matched exactly the positive writer, then `key` once exactly
// the values `want` came, each the first sample of its instance, from that
// writer, with a current source timestamp and an empty sbVal; reading them
// again shows them read and not new, and each instance's handle is its key's.
// The positive writer's match must end after its deletion.
template <class T>
void check_first_samples(const std::string& topic, const std::vector<int32_t>& want, const std::string& key) {
    cp::Entities e;
    const std::string type = std::is_same_v<T, KeyedType> ? "KeyedType" : "FlatRecord";
    DataReader* reader = e.reader(topic, cp::reliable_reader(), nullptr, type);
    ASSERT_TRUE(cp::ready());
    cp::Verdict matched("matches");
    cp::Matches matches(reader);
    const auto writers = cp::expect_matched(matched, matches, reader, {cp::announced_writer(topic, type)}, {}, topic);
    if (!cp::report("reader_matched", matched) || writers.empty()) return;

    cp::Verdict v(topic);
    std::vector<cp::Want> samples;
    for (int32_t lVal : want) samples.push_back(cp::Want::data(lVal).from(writers[0].handle).text(""));
    const cp::Samples<T> got = cp::gather<T>(v, reader, cp::sample_count<T>(want.size()), cp::kStageMs);
    cp::expect_samples(v, got, samples, "first samples");
    cp::expect_first_samples(v, got, want, topic);
    cp::expect_instances(v, reader, got, "instances");
    cp::expect_reread(v, reader, got, "reading again");
    cp::report(key, v);

    cp::Verdict gone("after the positive side's deletion");
    matches.gone(gone);
    e.release();
}
}  // namespace

PEER_TEST(DRTestNegative, ENABLED_DataReaderMatchedManagementNegative, "DataReaderMatchedManagement") {
    cp::Entities e;
    PublisherQos publisher_qos = PUBLISHER_QOS_DEFAULT;
    publisher_qos.group_data.value = cp::octets("hello_group");
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.user_data.value = cp::octets("hello_user");
    DataWriter* writer = e.writer("example_topic_name", writer_qos, e.publisher(publisher_qos));
    ASSERT_TRUE(cp::ready());
    ASSERT_NE(writer, nullptr);

    // The handle goes out once this side has matched the positive reader and
    // found its discovery data right (see the writer tests' counterpart).
    const bool matched = cp::wait_matched(writer, 1);
    const auto readers = cp::matched_subscriptions(writer);
    EXPECT_EQ(readers.size(), 1u) << "matched subscriptions on example_topic_name";
    bool seen = matched && readers.size() == 1;
    for (const auto& r : readers) {
        seen = cp::expect_endpoint(r, "example_topic_name", "FlatRecord", "", "", "the positive reader") && seen;
    }
    if (!cp::report("writer_handle", seen, cp::handle_bytes(writer->get_instance_handle()))) return;

    cp::await("writer_discovered_manage", kDiscoveredMs);
    e.release();
}

PEER_TEST(DRTestNegative, ENABLED_FlatRecordInstanceManagementNegative, "FlatRecordInstanceManagement") {
    check_first_samples<FlatRecord>("nokeyed_reader_topic_name", {100}, "reader_finish_nokey");
}

PEER_TEST(DRTestNegative, ENABLED_KeyedTypeInstanceManagementNegative, "KeyedTypeInstanceManagement") {
    check_first_samples<KeyedType>("keyed_reader_topic_name", {10, 20, 30}, "reader_finish_keyed");
}

PEER_TEST(DRTestNegative, ENABLED_SampleInfoBasicTestNegative, "SampleInfoBasicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("sampleinfo_topic_name", cp::reliable_reader(), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    if (!cp::report("reader_matched", cp::wait_matched(reader, 1))) return;

    // 1. One sample of each instance, first of its instance.
    const cp::Samples<KeyedType> first = cp::collect<KeyedType>(reader, cp::valid_count<KeyedType>(2), cp::kStageMs);
    const bool ok1 = cp::expect_first_samples(first, {1001, 1002}, "plain writes");
    const InstanceHandle_t handle1 = cp::handle_of(first, 1001);
    const InstanceHandle_t handle2 = cp::handle_of(first, 1002);
    if (!cp::report("normal_write_check", ok1)) return;

    // 2. Instance 1001 again, with the writer's source timestamp; its instance
    //    is no longer new to the reader.
    const cp::Samples<KeyedType> stamped =
        cp::collect<KeyedType>(reader, cp::valid_count<KeyedType>(1), cp::kStageMs);
    bool ok2 = cp::expect_lvals(cp::lvals(stamped), {1001}, "write with a source timestamp");
    for (const cp::Sample<KeyedType>& s : stamped) {
        const SampleInfo& info = s.info;
        const bool right = info.valid_data && info.instance_handle == handle1 &&
                           info.source_timestamp == Time{1234, 5678} && info.sample_state == NOT_READ_SAMPLE_STATE &&
                           info.view_state == NOT_NEW_VIEW_STATE && info.instance_state == ALIVE_INSTANCE_STATE;
        EXPECT_TRUE(right) << "write with a source timestamp: source timestamp " << info.source_timestamp.sec
                           << " s " << info.source_timestamp.nanosec << " ns, sample state " << info.sample_state
                           << ", view state " << info.view_state << ", instance state " << info.instance_state;
        ok2 = ok2 && right;
    }
    if (!cp::report("timestamp_write_check", ok2)) return;

    // 3. Instance 1001 unregistered, and with it disposed; 1002 untouched.
    const cp::Samples<KeyedType> unregistered = cp::collect<KeyedType>(
        reader,
        [&](const cp::Samples<KeyedType>& got) {
            return std::any_of(got.begin(), got.end(), [&](const cp::Sample<KeyedType>& s) {
                return s.info.instance_handle == handle1 &&
                       s.info.instance_state == NOT_ALIVE_DISPOSED_INSTANCE_STATE;
            });
        },
        cp::kStageMs);
    bool ok3 = !unregistered.empty();
    EXPECT_FALSE(unregistered.empty()) << "unregister: no sample showed instance 1001 disposed";
    for (const cp::Sample<KeyedType>& s : unregistered) {
        const bool right = !s.info.valid_data && s.info.instance_handle == handle1 &&
                           s.info.instance_state == NOT_ALIVE_DISPOSED_INSTANCE_STATE;
        EXPECT_TRUE(right) << "unregister: valid " << s.info.valid_data << ", instance state "
                           << s.info.instance_state << ", instance "
                           << (s.info.instance_handle == handle1 ? "1001" : "other than 1001");
        ok3 = ok3 && right;
    }
    if (!cp::report("unregister_check", ok3)) return;

    // 4. The positive side disposes 1002 and deletes its writer at once, with
    //    no key to report it: seen or not, it only shows in the log.
    const cp::Samples<KeyedType> last = cp::collect_until_unmatched<KeyedType>(reader, cp::kStageMs);
    e.release();
    const bool disposed = std::any_of(last.begin(), last.end(), [&](const cp::Sample<KeyedType>& s) {
        return s.info.instance_handle == handle2 && s.info.instance_state == NOT_ALIVE_DISPOSED_INSTANCE_STATE;
    });
    std::cout << "[DRTestNegative] dispose of 1002 " << (disposed ? "seen" : "not seen (warning only)")
              << " before the writer went away" << std::endl;
    for (const cp::Sample<KeyedType>& s : last) {
        EXPECT_FALSE(s.info.valid_data) << "a sample with data after the last write: lVal " << s.data.lVal;
    }
}
