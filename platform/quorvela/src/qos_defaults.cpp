// The default QoS objects. Create and set calls recognise them by address.
#include "quorvela/qos.h"

namespace QUORVELA {

const DomainParticipantFactoryQos PARTICIPANT_FACTORY_QOS_DEFAULT{};
const DomainParticipantQos PARTICIPANT_QOS_DEFAULT{};
const PublisherQos PUBLISHER_QOS_DEFAULT{};
const SubscriberQos SUBSCRIBER_QOS_DEFAULT{};
const TopicQos TOPIC_QOS_DEFAULT{};
const DataWriterQos DATAWRITER_QOS_DEFAULT{};
const DataReaderQos DATAREADER_QOS_DEFAULT{};

}  // namespace QUORVELA
