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
// data cannot be looked up is a failure (of v, or of the test) and is left out.
std::vector<Matched<PublicationBuiltinTopicData>> matched_publications(Verdict& v, DataReader* reader);
std::vector<Matched<SubscriptionBuiltinTopicData>> matched_subscriptions(Verdict& v, DataWriter* writer);
std::vector<Matched<PublicationBuiltinTopicData>> matched_publications(DataReader* reader);
std::vector<Matched<SubscriptionBuiltinTopicData>> matched_subscriptions(DataWriter* writer);

// ---- participants ---------------------------------------------------------------------

// The participants one of this side's participants has discovered, itself
// left out (a library may list the calling participant or not), with the key
// each announces in its discovery data. That key is what ties an endpoint to
// its participant: the endpoint's participant_key equals it (a participant's
// handle need not hold it).
struct Participants {
    InstanceHandleSeq handles;
    std::vector<BuiltinTopicKey_t> keys;  // of those whose data could be read

    bool announce(const BuiltinTopicKey_t& key) const;
};
Participants discovered_participants(DomainParticipant* participant);
// The participant of this side's endpoint.
DomainParticipant* participant_of(DataReader* reader);
DomainParticipant* participant_of(DataWriter* writer);
// The endpoint's participant key is the key of a participant that
// `participant` discovered, waited for (bounded; the wait ends once the
// positive side has closed) since a library may match an endpoint before it
// lists its participant. True when it is.
bool expect_participant(Verdict& v, DomainParticipant* participant, const BuiltinTopicKey_t& participant_key,
                        const std::string& what);

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
// handle's value. True when all held. (expect_matched also ties each
// positive endpoint to a discovered participant: expect_participant.)
bool expect_announced(Verdict& v, const Matched<PublicationBuiltinTopicData>& got,
                      const PublicationBuiltinTopicData& want, const std::string& what);
bool expect_announced(Verdict& v, const Matched<SubscriptionBuiltinTopicData>& got,
                      const SubscriptionBuiltinTopicData& want, const std::string& what);
// Octets as text, anything unprintable (a zero octet too) as \xNN.
std::string printable(const OctetSeq& value);

}  // namespace cp
