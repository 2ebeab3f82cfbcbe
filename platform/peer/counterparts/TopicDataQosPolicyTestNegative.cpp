// Counterpart of the topic-data discovery test: a writer on
// "discovery_topic_name" whose topic carries the topic data
// "remote_topic_data_test", which the positive reader must find in the
// writer's matched-publication data. After the first key the topic data of
// the enabled topic change to "updated_topic_data_test".
//
// Checked here:
//   - the writer discovers the positive reader, exactly one, which announces
//     every field of the default QoS, with empty topic data (the positive
//     topic uses the default QoS), beside the watcher's reader (a decoy of
//     other user data);
//   - the change is announced again: a second participant of this side (the
//     watcher) finds this side's writer with the first topic data, then with
//     the new ones; the positive side's own look at it is not checked there;
//   - the positive reader's match ends once the positive side has closed.
// This side sends no key of its own.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include "counterpart.h"
#include "discovered_endpoints.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// The positive side searches for about 10 s at most, after its start-up.
constexpr int kSearchMs = 30000;
// It sends its second key about 500 ms after the first.
constexpr int kSecondKeyMs = 10000;

}  // namespace

PEER_TEST(TopicDataQosPolicyTestNegative, ENABLED_TopicDataQosPolicyDiscoveryNegative, "TopicDataQosPolicyDiscovery") {
    cp::Entities e;
    TopicQos topic_qos = TOPIC_QOS_DEFAULT;
    topic_qos.topic_data.value = cp::octets("remote_topic_data_test");
    Topic* topic = e.topic("discovery_topic_name", "FlatRecord", topic_qos);
    DataWriter* writer = e.writer("discovery_topic_name", DATAWRITER_QOS_DEFAULT);
    DataReaderQos watcher_qos = DATAREADER_QOS_DEFAULT;
    watcher_qos.user_data.value = cp::octets("watcher");
    discovered::Watcher watcher("discovery_topic_name", watcher_qos.user_data.value);
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(topic != nullptr && writer != nullptr && watcher.reader() != nullptr);
    const InstanceHandle_t own = writer->get_instance_handle();

    // This side's writer as another participant finds it, before the change.
    cp::Verdict v("topic data");
    const bool announced = watcher.wait_topic_data(own, topic_qos.topic_data.value, cp::kMatchMs);
    v.check(announced) << "the watcher never found this side's writer with "
                           << cp::printable(topic_qos.topic_data.value);

    // The positive reader, beside the watcher's (another user data).
    cp::Matches matches(writer);
    const InstanceHandle_t watching = watcher.reader()->get_instance_handle();
    cp::expect_matched(v, matches, writer, {cp::announced_reader("discovery_topic_name", "FlatRecord")},
                       {{watching, cp::announced_reader("discovery_topic_name", "FlatRecord", watcher_qos)}},
                       "the positive reader");
    bool first = cp::await("first_topic_data_check", kSearchMs);
    if (first) {
        // At once: the positive side looks once more 500 ms after its key.
        TopicQos updated = topic_qos;
        updated.topic_data.value = cp::octets("updated_topic_data_test");
        v.equal(topic->set_qos(updated), RETCODE_OK);
        TopicQos read_back;
        v.equal(topic->get_qos(read_back), RETCODE_OK);
        v.equal(read_back.topic_data.value, updated.topic_data.value)
            << "topic data read back: " << cp::printable(read_back.topic_data.value);
        const bool reannounced = watcher.wait_topic_data(own, updated.topic_data.value, cp::kMatchMs);
        v.check(reannounced) << "the changed topic data were never announced again: the watcher still finds "
                                 << cp::printable(watcher.topic_data(own).value_or(OctetSeq{}));
        cp::log_line(std::string("changed topic data ") + (reannounced ? "" : "not ") + "announced again");
        cp::await("second_topic_data_check", kSecondKeyMs);
    }
    v.check(peer::link().wait_closed(kSearchMs)) << "the positive side still held the connection";
    discovered::wait_for([&] { return matches.list().size() == 1; }, discovered::kEndMs,
                         "the positive reader's match ended");
    matches.gone(v, {watching}, 0);
    watcher.close();
    e.release();
}
