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
    if (!cp::report_before_writes("reader_matched", matched) || writers.empty()) return;

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
    const std::string topic = "example_topic_name";
    // The writer whose handle the positive reader looks up, with the user and
    // group data it checks.
    PublisherQos publisher_qos = PUBLISHER_QOS_DEFAULT;
    publisher_qos.group_data.value = cp::octets("hello_group");
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.user_data.value = cp::octets("hello_user");
    DataWriter* writer = e.writer(topic, writer_qos, e.publisher(publisher_qos));
    // Decoys with other data: a second writer for the positive reader's
    // lookup, and a reader of this side beside the positive one for this
    // writer's (see the writer tests' counterpart).
    PublisherQos decoy_publisher_qos = PUBLISHER_QOS_DEFAULT;
    decoy_publisher_qos.group_data.value = cp::octets("decoy_group");
    DataWriterQos decoy_writer_qos = DATAWRITER_QOS_DEFAULT;
    decoy_writer_qos.user_data.value = cp::octets("decoy_user");
    e.writer(topic, decoy_writer_qos, e.publisher(decoy_publisher_qos));
    SubscriberQos decoy_subscriber_qos = SUBSCRIBER_QOS_DEFAULT;
    decoy_subscriber_qos.group_data.value = cp::octets("decoy_reader_group");
    DataReaderQos decoy_reader_qos = cp::reliable_reader();
    decoy_reader_qos.user_data.value = cp::octets("decoy_reader_user");
    DataReader* decoy = e.reader(topic, decoy_reader_qos, e.subscriber(decoy_subscriber_qos));
    ASSERT_TRUE(cp::ready());
    ASSERT_NE(writer, nullptr);
    ASSERT_NE(decoy, nullptr);

    // The handle goes out once this side has matched exactly the positive
    // reader (and its own decoy) and found each one's discovery data right:
    // the positive reader announces the defaults on its topic.
    cp::Verdict v("matched subscriptions");
    cp::Matches matches(writer);
    const InstanceHandle_t decoy_handle = decoy->get_instance_handle();
    cp::expect_matched(v, matches, writer, {cp::announced_reader(topic, "FlatRecord")},
                       {{decoy_handle, cp::announced_reader(topic, "FlatRecord", decoy_reader_qos, decoy_subscriber_qos)}},
                       "the writer on " + topic);
    if (!cp::report("writer_handle", v, cp::handle_bytes(writer->get_instance_handle()))) return;

    // The positive side deletes its participant right after its lookup: its
    // reader must leave this writer's matches, the decoy stays.
    cp::await("writer_discovered_manage", kDiscoveredMs);
    cp::Verdict gone("after the positive side's deletion");
    matches.gone(gone, {decoy_handle});
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
    const std::string topic = "sampleinfo_topic_name";
    DataReader* reader = e.reader(topic, cp::reliable_reader(), nullptr, "KeyedType");
    ASSERT_TRUE(cp::ready());
    cp::Verdict matched("match");
    cp::Matches matches(reader);
    const auto writers =
        cp::expect_matched(matched, matches, reader, {cp::announced_writer(topic, "KeyedType")}, {}, topic);
    if (!cp::report_before_writes("reader_matched", matched) || writers.empty()) return;
    const InstanceHandle_t writer = writers[0].handle;

    // 1. One sample of each instance, first of its instance, from the
    //    positive writer, stamped with its current time, with an empty sbVal;
    //    each instance's handle is its key's. Reading them again shows them
    //    read and not new (and takes them).
    cp::Verdict v1("plain writes");
    const cp::Samples<KeyedType> first = cp::gather<KeyedType>(v1, reader, cp::sample_count<KeyedType>(2), cp::kStageMs);
    cp::expect_samples(v1, first, {cp::Want::data(1001).from(writer).text(""), cp::Want::data(1002).from(writer).text("")},
                       v1.name());
    cp::expect_first_samples(v1, first, {1001, 1002}, v1.name());
    cp::expect_instances(v1, reader, first, v1.name());
    cp::expect_reread(v1, reader, first, v1.name());
    const InstanceHandle_t handle1 = cp::handle_of(first, 1001);
    const InstanceHandle_t handle2 = cp::handle_of(first, 1002);
    if (!cp::report("normal_write_check", v1)) return;

    // 2. Instance 1001 again, with the writer's source timestamp; its instance
    //    is no longer new to the reader.
    cp::Verdict v2("write with a source timestamp");
    const cp::Samples<KeyedType> stamped =
        cp::collect<KeyedType>(v2, reader, cp::sample_count<KeyedType>(1), cp::kStageMs);
    cp::expect_samples(
        v2, stamped,
        {cp::Want::data(1001).in(handle1).from(writer).text("").view(NOT_NEW_VIEW_STATE).at(Time{1234, 5678})},
        v2.name());
    if (!cp::report("timestamp_write_check", v2)) return;

    // 3. Instance 1001 unregistered, and with it disposed: one notice, stamped
    //    with the writer's current time (not the one of the write before);
    //    1002 untouched.
    cp::Verdict v3("unregister");
    const cp::Samples<KeyedType> unregistered =
        cp::collect<KeyedType>(v3, reader, cp::sample_count<KeyedType>(1), cp::kStageMs);
    cp::expect_samples(
        v3, unregistered,
        {cp::Want::notice(NOT_ALIVE_DISPOSED_INSTANCE_STATE).in(handle1).from(writer).view(NOT_NEW_VIEW_STATE)},
        v3.name());
    if (!cp::report("unregister_check", v3)) return;

    // 4. The positive side disposes 1002 and deletes its writer at once,
    //    with no key to report it: what comes is notices of instance 1002
    //    only, at least one of them showing it not alive, each from the
    //    writer, in a view that is not new (1002 was read), those that show
    //    it disposed stamped with the writer's current time. Nothing promises
    //    that the dispose reaches this side before the writer is gone (the
    //    writer does not wait for it to be acknowledged): 1002 may show
    //    without writers instead. Then the writer's match ends; a notice may
    //    still come after that.
    cp::Verdict v4("dispose and deletion");
    const cp::Samples<KeyedType> last = cp::collect_until_unmatched<KeyedType>(
        v4, reader, cp::kGoneMs, [](const cp::Samples<KeyedType>& got) {
            return std::any_of(got.begin(), got.end(), [](const cp::Sample<KeyedType>& s) {
                return (s.info.instance_state & NOT_ALIVE_INSTANCE_STATE) != 0;
            });
        });
    v4.check(!last.empty()) << "no notice showed instance 1002 not alive after the dispose and the deletion";
    std::vector<cp::Want> notices;
    for (const cp::Sample<KeyedType>& s : last) {
        (void)s;
        notices.push_back(cp::Want::notice(NOT_ALIVE_INSTANCE_STATE)
                              .in(handle2)
                              .from(writer)
                              .view(NOT_NEW_VIEW_STATE)
                              .any_generations()
                              .time_if_disposed());
    }
    cp::expect_samples(v4, last, notices, "the notices of 1002");
    cp::log_line("dispose and deletion: " + std::to_string(last.size()) + " notice(s)");
    matches.gone(v4);
    e.release();
}
