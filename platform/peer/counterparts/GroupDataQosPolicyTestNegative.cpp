// Counterpart of the group-data test: a publisher carrying the group data
// "pubgroup" with a writer, and a subscriber carrying "subgroup" with a reader,
// on "example_topic_name". On this side the writer must discover the positive
// reader, exactly one, with empty group data (the positive subscriber uses the
// default QoS), and lose it after the first key, when the positive side
// deletes it; the positive writer, when seen at all, carries no group data
// either. This side sends no key of its own.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include "counterpart.h"
#include "discovered_endpoints.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// The positive side polls each direction for about 5 s, after its start-up.
constexpr int kDirectionMs = 30000;

}  // namespace

PEER_TEST(GroupDataQosPolicyTestNegative, ENABLED_GroupDataQosPolicyNegative, "GroupDataQosPolicy") {
    cp::Entities e;
    PublisherQos publisher_qos = PUBLISHER_QOS_DEFAULT;
    publisher_qos.group_data.value = cp::octets("pubgroup");
    SubscriberQos subscriber_qos = SUBSCRIBER_QOS_DEFAULT;
    subscriber_qos.group_data.value = cp::octets("subgroup");
    DataWriter* writer = e.writer("example_topic_name", DATAWRITER_QOS_DEFAULT, e.publisher(publisher_qos));
    DataReader* reader = e.reader("example_topic_name", DATAREADER_QOS_DEFAULT, e.subscriber(subscriber_qos));
    discovered::Sightings seen(writer, reader, discovered::handles_of(writer, reader));
    ASSERT_TRUE(cp::ready());

    // After the first key the positive side deletes its reader, which must
    // then leave this side's writer (matched with this side's reader only),
    // and creates its writer.
    if (cp::await("first_pub_group_data_check", kDirectionMs)) {
        // Counted by handle: a listed endpoint that is gone has no data any more.
        const bool reader_gone = cp::wait_until([&] { return cp::matched_count(writer) == 1; }, cp::kMatchMs);
        EXPECT_TRUE(reader_gone) << "the deleted positive reader is still matched with this side's writer";
        cp::await("first_sub_group_data_check", kDirectionMs);
    }
    seen.stop();
    e.release();

    // The positive reader lives until the first key; the positive writer may
    // be deleted before its match has settled here.
    discovered::expect_seen<SubscriptionBuiltinTopicData>(
        seen.readers(), [](const SubscriptionBuiltinTopicData& d) { return d.group_data.value; }, OctetSeq{}, true, 1,
        "group data of the positive reader");
    discovered::expect_seen<PublicationBuiltinTopicData>(
        seen.writers(), [](const PublicationBuiltinTopicData& d) { return d.group_data.value; }, OctetSeq{}, false, 1,
        "group data of the positive writer");
}
