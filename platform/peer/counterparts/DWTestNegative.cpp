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

// The one notice of a stage of the keyed test: after `instance` was
// unregistered (which disposes it, the writer disposing what it unregisters)
// or disposed, exactly one sample without data that shows it disposed, from
// the positive writer, in a view that is not new (its first sample was
// taken), stamped with `timestamp` when the positive side gave one and with
// the writer's current time otherwise; nothing else within a grace after it.
bool expect_disposal(cp::Verdict& v, DataReader* reader, const InstanceHandle_t& instance,
                     const InstanceHandle_t& writer, const Time* timestamp) {
    const cp::Samples<KeyedType> got = cp::collect<KeyedType>(v, reader, cp::sample_count<KeyedType>(1), cp::kStageMs);
    cp::Want want =
        cp::Want::notice(NOT_ALIVE_DISPOSED_INSTANCE_STATE).in(instance).from(writer).view(NOT_NEW_VIEW_STATE);
    if (timestamp != nullptr) want.at(*timestamp);
    return cp::expect_samples(v, got, {want}, v.name());
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
    const std::string topic = "nokeyed_topic_name";
    DataReader* reader = e.reader(topic, cp::reliable_reader());
    ASSERT_TRUE(cp::ready());
    cp::Verdict matched("match");
    cp::Matches matches(reader);
    const auto writers = cp::expect_matched(matched, matches, reader, {cp::announced_writer(topic, "FlatRecord")}, {},
                                            "the reader on " + topic);
    if (!cp::report_before_writes("reader_matched", matched) || writers.empty()) return;

    // The positive side writes one sample and deletes its writer at once,
    // without a key: take until the writer has gone, since the sample may
    // still be on its way when the connection closes. Nothing promises that
    // a sample written right before its writer's deletion arrives (the
    // writer does not wait for it to be acknowledged): it may be missing,
    // and the log says so; when it came, it comes from that writer, in the
    // nil instance, with an empty sbVal and the writer's current time. The
    // deletion leaves the instance not alive, told by one notice at most,
    // from that writer, stamped with its time when it shows a dispose.
    // Whether the refused disposes took effect cannot be seen here: deleting
    // the writer disposes the instance anyway.
    cp::Verdict v("keyless write");
    const cp::Samples<FlatRecord> got = cp::collect_until_unmatched<FlatRecord>(v, reader, cp::kGoneMs);
    cp::Samples<FlatRecord> data;
    cp::Samples<FlatRecord> notices;
    for (const cp::Sample<FlatRecord>& s : got) (s.info.valid_data ? data : notices).push_back(s);
    // Taken after the deletion, the sample shows its instance's state then.
    const cp::Want written = cp::Want::data(1).in(HANDLE_NIL).from(writers[0].handle).text("").state(ANY_INSTANCE_STATE);
    cp::expect_samples(v, data, data.empty() ? std::vector<cp::Want>{} : std::vector<cp::Want>{written}, "the write");
    // (Its view is new when it was taken with the sample.)
    const cp::Want notice = cp::Want::notice(NOT_ALIVE_INSTANCE_STATE)
                                .in(HANDLE_NIL)
                                .from(writers[0].handle)
                                .view(ANY_VIEW_STATE)
                                .time_if_disposed();
    cp::expect_samples(v, notices, notices.empty() ? std::vector<cp::Want>{} : std::vector<cp::Want>{notice},
                       "the writer's deletion");
    cp::log_line("keyless write: " + std::to_string(data.size()) + " sample(s), " + std::to_string(notices.size()) +
                 " notice(s)" + (data.empty() ? " (the sample written right before the deletion did not come)" : ""));
    matches.gone(v);
    e.release();
}

PEER_TEST(DWTestNegative, ENABLED_KeyedInstanceManagementNegative, "KeyedInstanceManagement") {
    cp::Entities e;
    const std::string topic = "keyed_topic_name";
    DataReader* reader = e.reader(topic, cp::reliable_reader(), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    cp::Verdict matched("match");
    cp::Matches matches(reader);
    const auto writers = cp::expect_matched(matched, matches, reader, {cp::announced_writer(topic, "KeyedType")}, {},
                                            "the reader on " + topic);
    if (!cp::report_before_writes("reader_matched", matched) || writers.empty()) return;
    const InstanceHandle_t writer = writers[0].handle;

    // 1. One sample of each instance, the first of four new instances, from
    //    the positive writer with an empty sbVal; the refused writes (another
    //    instance's handle, the writer's own handle) deliver nothing. Each
    //    instance's handle is its key's.
    cp::Verdict v1("writes of instances 1 to 4");
    const cp::Samples<KeyedType> written =
        cp::collect<KeyedType>(v1, reader, cp::sample_count<KeyedType>(4), cp::kStageMs);
    std::vector<cp::Want> first;
    for (int32_t lVal : {1, 2, 3, 4}) first.push_back(cp::Want::data(lVal).from(writer).text(""));
    cp::expect_samples(v1, written, first, v1.name());
    cp::expect_first_samples(v1, written, {1, 2, 3, 4}, v1.name());
    cp::expect_instances(v1, reader, written, v1.name());
    // Without the four instances the later stages cannot be told apart.
    if (!cp::report("reader_check_finish_1", v1)) return;
    std::map<int32_t, InstanceHandle_t> handle_of;
    for (int32_t lVal : {1, 2, 3, 4}) handle_of[lVal] = cp::handle_of(written, lVal);

    // 2. Instance 1 unregistered (and so disposed) with the current time; the
    //    refused unregisters leave instances 2 to 4 alone.
    cp::Verdict v2("unregister of instance 1");
    expect_disposal(v2, reader, handle_of[1], writer, nullptr);
    if (!cp::report("reader_check_finish_2", v2)) return;

    // 3. Instance 2 unregistered with the source timestamp {123 s, 456 ns}.
    cp::Verdict v3("unregister of instance 2 with a timestamp");
    expect_disposal(v3, reader, handle_of[2], writer, &kNow);
    if (!cp::report("reader_check_finish_3", v3)) return;

    // 4. Instance 3 disposed without a timestamp: the writer's current time,
    //    not the one given to the unregister before; the dispose refused for
    //    instance 4's handle leaves instance 4 alive.
    cp::Verdict v4("dispose of instance 3");
    expect_disposal(v4, reader, handle_of[3], writer, nullptr);
    if (!cp::report("reader_check_finish_4", v4)) return;

    // 5. Instance 4 disposed with the source timestamp.
    cp::Verdict v5("dispose of instance 4 with a timestamp");
    expect_disposal(v5, reader, handle_of[4], writer, &kNow);
    if (!cp::report("reader_check_finish_5", v5)) return;

    // The positive side deletes its writer: its match ends.
    cp::Verdict gone("after the positive side's deletion");
    matches.gone(gone);
    e.release();
}
