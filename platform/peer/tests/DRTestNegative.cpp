// The peer's side of the data-reader tests: a writer whose handle and
// discovery data the positive reader looks up, and readers that check the
// instances and sample infos of what the positive writer sends.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <iostream>
#include <string>
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

// Each valid sample is unread, in a new instance view and alive, and the
// instances are distinct and not nil; generation rank 0 when `first_generation`.
template <class T>
bool expect_fresh_instances(const cp::Samples<T>& got, bool first_generation, const std::string& what) {
    bool ok = true;
    std::vector<InstanceHandle_t> handles;
    for (const cp::Sample<T>& s : got) {
        const SampleInfo& info = s.info;
        const bool fresh = info.valid_data && info.sample_state == NOT_READ_SAMPLE_STATE &&
                           info.view_state == NEW_VIEW_STATE && info.instance_state == ALIVE_INSTANCE_STATE &&
                           (!first_generation || info.generation_rank == 0);
        EXPECT_TRUE(fresh) << what << ": lVal " << s.data.lVal << " valid " << info.valid_data << ", sample state "
                           << info.sample_state << ", view state " << info.view_state << ", instance state "
                           << info.instance_state << ", generation rank " << info.generation_rank;
        const bool distinct = std::find(handles.begin(), handles.end(), info.instance_handle) == handles.end();
        EXPECT_TRUE(distinct) << what << ": lVal " << s.data.lVal << " shares its instance with an earlier sample";
        ok = ok && fresh && distinct;
        handles.push_back(info.instance_handle);
    }
    return ok;
}

// The handle of the instance whose sample carries `lVal`, or nil.
InstanceHandle_t handle_of(const cp::Samples<KeyedType>& got, int32_t lVal) {
    for (const cp::Sample<KeyedType>& s : got) {
        if (s.info.valid_data && s.data.lVal == lVal) return s.info.instance_handle;
    }
    return HANDLE_NIL;
}

std::vector<int32_t> sorted(std::vector<int32_t> values) {
    std::sort(values.begin(), values.end());
    return values;
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
    cp::Entities e;
    DataReader* reader = e.reader("nokeyed_reader_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    if (!cp::report("reader_matched", cp::wait_matched(reader, 1))) return;

    const cp::Samples<FlatRecord> got = cp::collect<FlatRecord>(reader, cp::valid_count<FlatRecord>(1), cp::kStageMs);
    bool ok = cp::expect_lvals(cp::lvals(got), {100}, "keyless write");
    ok = expect_fresh_instances(got, true, "keyless write") && ok;
    for (const cp::Sample<FlatRecord>& s : got) {
        EXPECT_EQ(s.info.instance_handle, HANDLE_NIL) << "a keyless sample belongs to the nil instance";
        ok = ok && s.info.instance_handle == HANDLE_NIL;
    }
    e.release();
    cp::report("reader_finish_nokey", ok);
}

PEER_TEST(DRTestNegative, ENABLED_KeyedTypeInstanceManagementNegative, "KeyedTypeInstanceManagement") {
    cp::Entities e;
    DataReader* reader = e.reader("keyed_reader_topic_name", cp::reliable_reader(), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    if (!cp::report("reader_matched", cp::wait_matched(reader, 1))) return;

    const cp::Samples<KeyedType> got = cp::collect<KeyedType>(reader, cp::valid_count<KeyedType>(3), cp::kStageMs);
    bool ok = cp::expect_lvals(sorted(cp::lvals(got)), {10, 20, 30}, "keyed writes");
    ok = expect_fresh_instances(got, true, "keyed writes") && ok;
    for (const cp::Sample<KeyedType>& s : got) {
        EXPECT_NE(s.info.instance_handle, HANDLE_NIL) << "lVal " << s.data.lVal;
        ok = ok && s.info.instance_handle != HANDLE_NIL;
    }
    e.release();
    cp::report("reader_finish_keyed", ok);
}

PEER_TEST(DRTestNegative, ENABLED_SampleInfoBasicTestNegative, "SampleInfoBasicTest") {
    cp::Entities e;
    DataReader* reader = e.reader("sampleinfo_topic_name", cp::reliable_reader(), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    if (!cp::report("reader_matched", cp::wait_matched(reader, 1))) return;

    // 1. One sample of each instance, first of its instance.
    const cp::Samples<KeyedType> first = cp::collect<KeyedType>(reader, cp::valid_count<KeyedType>(2), cp::kStageMs);
    bool ok1 = cp::expect_lvals(sorted(cp::lvals(first)), {1001, 1002}, "plain writes");
    ok1 = expect_fresh_instances(first, true, "plain writes") && ok1;
    const InstanceHandle_t handle1 = handle_of(first, 1001);
    const InstanceHandle_t handle2 = handle_of(first, 1002);
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
