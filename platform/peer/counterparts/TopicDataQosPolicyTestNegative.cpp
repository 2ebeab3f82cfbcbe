// Counterpart of the topic-data discovery test: a writer on
// "discovery_topic_name" whose topic carries the topic data
// "remote_topic_data_test", which the positive reader must find in the
// writer's matched-publication data. After the first key the topic data of
// the enabled topic change to "updated_topic_data_test", to be announced
// again. On this side the writer must discover the positive reader, exactly
// one, with empty topic data (the positive topic uses the default QoS). This
// side sends no key of its own.
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
    discovered::Sightings seen(writer, nullptr, discovered::handles_of(writer));
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(topic != nullptr && writer != nullptr);

    if (cp::await("first_topic_data_check", kSearchMs)) {
        // At once: the positive side looks once more 500 ms after its key.
        TopicQos updated = topic_qos;
        updated.topic_data.value = cp::octets("updated_topic_data_test");
        EXPECT_EQ(topic->set_qos(updated), RETCODE_OK);
        TopicQos read_back;
        EXPECT_EQ(topic->get_qos(read_back), RETCODE_OK);
        EXPECT_EQ(read_back.topic_data.value, updated.topic_data.value)
            << "topic data read back: " << discovered::printable(read_back.topic_data.value);
        cp::await("second_topic_data_check", kSecondKeyMs);
    }
    seen.stop();
    e.release();

    discovered::expect_seen<SubscriptionBuiltinTopicData>(
        seen.readers(), [](const SubscriptionBuiltinTopicData& d) { return d.topic_data.value; }, OctetSeq{}, true, 1,
        "topic data of the positive reader");
}
