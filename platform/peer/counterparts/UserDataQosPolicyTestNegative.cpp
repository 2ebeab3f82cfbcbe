// Counterpart of the user-data test: a writer carrying the user data
// "writeruser" and a reader carrying "readeruser" on "example_topic_name",
// which the positive side must find among its matched endpoints. On this side
// the writer must discover the positive reader, exactly one, with empty user
// data (the positive side uses the default QoS); the positive writer, when
// seen at all, carries none either. This side sends no key of its own.
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

PEER_TEST(UserDataQosPolicyTestNegative, ENABLED_UserDataQosPolicyNegative, "UserDataQosPolicy") {
    cp::Entities e;
    DataWriterQos writer_qos = DATAWRITER_QOS_DEFAULT;
    writer_qos.user_data.value = cp::octets("writeruser");
    DataReaderQos reader_qos = DATAREADER_QOS_DEFAULT;
    reader_qos.user_data.value = cp::octets("readeruser");
    DataWriter* writer = e.writer("example_topic_name", writer_qos);
    DataReader* reader = e.reader("example_topic_name", reader_qos);
    discovered::Sightings seen(writer, reader, discovered::handles_of(writer, reader));
    ASSERT_TRUE(cp::ready());

    // The writer stays until the positive side has looked for it, the reader
    // until the positive side's writer has looked for it.
    const bool first = cp::await("first_writer_user_data_check", kDirectionMs);
    if (first) cp::await("first_reader_user_data_check", kDirectionMs);
    seen.stop();
    e.release();

    // The positive reader lives through the whole test; the positive writer
    // may be deleted before its match has settled here.
    discovered::expect_seen<SubscriptionBuiltinTopicData>(
        seen.readers(), [](const SubscriptionBuiltinTopicData& d) { return d.user_data.value; }, OctetSeq{}, true, 1,
        "user data of the positive reader");
    discovered::expect_seen<PublicationBuiltinTopicData>(
        seen.writers(), [](const PublicationBuiltinTopicData& d) { return d.user_data.value; }, OctetSeq{}, false, 1,
        "user data of the positive writer");
}
