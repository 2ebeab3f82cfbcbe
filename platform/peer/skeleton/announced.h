// The endpoints of the other side as this side has matched them, and what a
// positive endpoint must announce.
#pragma once

#include <string>
#include <vector>

#include <quorvela/quorvela.h>

#include "verdict.h"

namespace cp {

using namespace QUORVELA;

// ---- matched endpoints ------------------------------------------------------------

// One endpoint of the other side as this side has matched it: its handle and
// its discovery data.
template <class Data>
struct Matched {
    InstanceHandle_t handle;
    Data data;
};
// What the reader (writer) has matched now, in list order. A handle whose
// data cannot be looked up is a failure of the test and is left out.
std::vector<Matched<PublicationBuiltinTopicData>> matched_publications(DataReader* reader);
std::vector<Matched<SubscriptionBuiltinTopicData>> matched_subscriptions(DataWriter* writer);

// ---- announced QoS ------------------------------------------------------------------

// What a positive endpoint must announce: its topic and type names, and
// every field of the built-in topic data from the QoS its test set (the
// defaults where it sets nothing): the writer's (reader's) own policies, its
// publisher's (subscriber's) presentation, partition and group data, and its
// topic's topic data.
PublicationBuiltinTopicData announced_writer(const std::string& topic, const std::string& type,
                                             const DataWriterQos& writer = DATAWRITER_QOS_DEFAULT,
                                             const PublisherQos& publisher = PUBLISHER_QOS_DEFAULT,
                                             const TopicQos& topic_qos = TOPIC_QOS_DEFAULT);
SubscriptionBuiltinTopicData announced_reader(const std::string& topic, const std::string& type,
                                              const DataReaderQos& reader = DATAREADER_QOS_DEFAULT,
                                              const SubscriberQos& subscriber = SUBSCRIBER_QOS_DEFAULT,
                                              const TopicQos& topic_qos = TOPIC_QOS_DEFAULT);
// Every field of a matched endpoint's discovery data against `want` (one
// check per field, each named in its failure), and its key against its
// handle's value. True when all held.
bool expect_announced(Verdict& v, const Matched<PublicationBuiltinTopicData>& got,
                      const PublicationBuiltinTopicData& want, const std::string& what);
bool expect_announced(Verdict& v, const Matched<SubscriptionBuiltinTopicData>& got,
                      const SubscriptionBuiltinTopicData& want, const std::string& what);
// Octets as text, anything unprintable (a zero octet too) as \xNN.
std::string printable(const OctetSeq& value);

}  // namespace cp
