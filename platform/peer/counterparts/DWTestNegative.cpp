// Reading side of the data-writer tests: a reader whose handle and discovery
// data the positive writer looks up, and readers that see what the positive
// writer's instance operations deliver: the samples written, and the instance
// states that unregistering and disposing leave; the calls the library
// refuses must deliver nothing and change no state.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "counterpart.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// The positive side polls its matched subscriptions for up to 5 s after it
// has the handle, and may first wait 10 s for the handle.
constexpr int kDiscoveredMs = 20000;

// The source timestamp the keyed test unregisters and disposes with.
constexpr Time kNow = {123, 456};

// One instance state change as the reader sees it: takes until a sample of
// `handle` shows it not alive and disposed, then listens a grace for more.
// Every sample taken must belong to that instance, carry no data and show
// that state; `timestamp`, when given, is the source timestamp each carries.
bool expect_state_change(DataReader* reader, const InstanceHandle_t& handle, const std::string& what,
                         const Time* timestamp = nullptr) {
    const auto disposed = [&](const cp::Sample<KeyedType>& s) {
        return s.info.instance_handle == handle && s.info.instance_state == NOT_ALIVE_DISPOSED_INSTANCE_STATE;
    };
    const cp::Samples<KeyedType> got = cp::collect<KeyedType>(
        reader, [&](const cp::Samples<KeyedType>& so_far) { return std::any_of(so_far.begin(), so_far.end(), disposed); },
        cp::kStageMs);
    bool ok = !got.empty();
    EXPECT_FALSE(got.empty()) << what << ": no sample showed the instance disposed";
    for (const cp::Sample<KeyedType>& s : got) {
        const bool right = disposed(s) && !s.info.valid_data &&
                           (timestamp == nullptr || s.info.source_timestamp == *timestamp);
        EXPECT_TRUE(right) << what << ": unexpected sample: valid " << s.info.valid_data << ", instance state "
                           << s.info.instance_state << ", source timestamp " << s.info.source_timestamp.sec << " s "
                           << s.info.source_timestamp.nanosec << " ns, "
                           << (s.info.instance_handle == handle ? "this" : "another") << " instance";
        ok = ok && right;
    }
    return ok;
}

}  // namespace

PEER_TEST(DWTestNegative, ENABLED_DataWriterMatchedManagementNegative, "DataWriterMatchedManagement") {
    cp::Entities e;
    const std::string topic = "example_topic_name";
    // The reader whose handle the positive writer looks up, with the user
    // and group data it checks.
    SubscriberQos subscriber_qos = SUBSCRIBER_QOS_DEFAULT;
    subscriber_qos.group_data.value = cp::octets("hello_group");
    DataReaderQos reader_qos = cp::reliable_reader();
    reader_qos.user_data.value = cp::octets("hello_user");
    DataReader* reader = e.reader(topic, reader_qos, e.subscriber(subscriber_qos));
    // Decoys with other data: a second reader for the positive writer's
    // lookup, and a writer of this side beside the positive one for this
    // reader's, so that a lookup which ignores its handle returns the wrong
    // record whichever endpoint the library lists first.
    SubscriberQos decoy_subscriber_qos = SUBSCRIBER_QOS_DEFAULT;
    decoy_subscriber_qos.group_data.value = cp::octets("decoy_group");
    DataReaderQos decoy_reader_qos = cp::reliable_reader();
    decoy_reader_qos.user_data.value = cp::octets("decoy_user");
    e.reader(topic, decoy_reader_qos, e.subscriber(decoy_subscriber_qos));
    PublisherQos decoy_publisher_qos = PUBLISHER_QOS_DEFAULT;
    decoy_publisher_qos.group_data.value = cp::octets("decoy_writer_group");
    DataWriterQos decoy_writer_qos = DATAWRITER_QOS_DEFAULT;
    decoy_writer_qos.user_data.value = cp::octets("decoy_writer_user");
    DataWriter* decoy = e.writer(topic, decoy_writer_qos, e.publisher(decoy_publisher_qos));
    ASSERT_TRUE(cp::ready());
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(decoy, nullptr);

    // The handle goes out once this side has matched exactly the positive
    // writer (and its own decoy) and found each one's discovery data right:
    // the positive writer announces the defaults on its topic. It waits for
    // the handle, so it is still there to be looked up.
    cp::Verdict v("matched publications");
    cp::Matches matches(reader);
    const InstanceHandle_t decoy_handle = decoy->get_instance_handle();
    cp::expect_matched(v, matches, reader, {cp::announced_writer(topic, "FlatRecord")},
                       {{decoy_handle, cp::announced_writer(topic, "FlatRecord", decoy_writer_qos, decoy_publisher_qos)}},
                       "the reader on " + topic);
    if (!cp::report("reader_handle", v, cp::handle_bytes(reader->get_instance_handle()))) return;

    // The positive side deletes its participant right after its lookup: its
    // writer must leave this reader's matches, the decoy stays.
    cp::await("reader_discovered_manage", kDiscoveredMs);
    cp::Verdict gone("after the positive side's deletion");
    matches.gone(gone, {decoy_handle});
    e.release();
}

PEER_TEST(DWTestNegative, ENABLED_NoKeyInstanceManagementNegative, "NoKeyInstanceManagement") {
    cp::Entities e;
    DataReader* reader = e.reader("nokeyed_topic_name", cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    cp::report("reader_matched", cp::wait_matched(reader, 1));

    // The positive side writes one sample and deletes its writer at once,
    // without a key: take until the writer has gone, since the sample may
    // still be on its way when the connection closes. Whether the refused
    // disposes took effect cannot be seen here: deleting the writer disposes
    // the instance anyway.
    const cp::Samples<FlatRecord> got = cp::collect_until_unmatched<FlatRecord>(reader, cp::kStageMs);
    e.release();
    cp::expect_lvals(cp::lvals(got), {1}, "keyless write");
    for (const cp::Sample<FlatRecord>& s : got) {
        EXPECT_EQ(s.info.instance_handle, HANDLE_NIL) << "a keyless sample belongs to the nil instance";
        if (s.info.valid_data) {
            EXPECT_EQ(s.data.sbVal, "");
        }
    }
}

PEER_TEST(DWTestNegative, ENABLED_KeyedInstanceManagementNegative, "KeyedInstanceManagement") {
    cp::Entities e;
    DataReader* reader = e.reader("keyed_topic_name", cp::reliable_reader(), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    cp::report("reader_matched", cp::wait_matched(reader, 1));

    // 1. One sample of each instance, the first of four new instances; the
    //    refused writes (another instance's handle, the writer's own handle)
    //    deliver nothing.
    const cp::Samples<KeyedType> written =
        cp::collect<KeyedType>(reader, cp::valid_count<KeyedType>(4), cp::kStageMs);
    const bool ok1 = cp::expect_first_samples(written, {1, 2, 3, 4}, "writes of instances 1 to 4");
    // Without the four instances the later stages cannot be told apart.
    if (!cp::report("reader_check_finish_1", ok1)) return;
    std::map<int32_t, InstanceHandle_t> handle_of;
    for (int32_t lVal : {1, 2, 3, 4}) handle_of[lVal] = cp::handle_of(written, lVal);

    // 2. Instance 1 unregistered: disposed with it (the writer disposes what
    //    it unregisters); the refused unregisters leave instances 2 to 4 alone.
    if (!cp::report("reader_check_finish_2", expect_state_change(reader, handle_of[1], "unregister of instance 1")))
        return;

    // 3. Instance 2 unregistered with the source timestamp {123 s, 456 ns}.
    if (!cp::report("reader_check_finish_3",
                    expect_state_change(reader, handle_of[2], "unregister of instance 2 with a timestamp", &kNow)))
        return;

    // 4. Instance 3 disposed; the dispose refused for instance 4's handle
    //    leaves instance 4 alive.
    if (!cp::report("reader_check_finish_4", expect_state_change(reader, handle_of[3], "dispose of instance 3")))
        return;

    // 5. Instance 4 disposed with the source timestamp.
    const bool ok5 = expect_state_change(reader, handle_of[4], "dispose of instance 4 with a timestamp", &kNow);
    e.release();
    cp::report("reader_check_finish_5", ok5);
}
