// QoS comparison: each function walks a fixed list of fields, prints one line
// per difference on standard output and returns whether nothing differed.
// The reset routines store the defaults of exactly the compared fields.
#ifndef HARNESS_TESTHELPER_H
#define HARNESS_TESTHELPER_H

#include <quorvela/quorvela.h>

namespace TestHelper {

bool dpf_qos_compare(const QUORVELA::DomainParticipantFactoryQos& a,
                     const QUORVELA::DomainParticipantFactoryQos& b);
bool dp_qos_compare(const QUORVELA::DomainParticipantQos& a, const QUORVELA::DomainParticipantQos& b);
bool publisher_qos_compare(const QUORVELA::PublisherQos& a, const QUORVELA::PublisherQos& b);
bool subscriber_qos_compare(const QUORVELA::SubscriberQos& a, const QUORVELA::SubscriberQos& b);
bool topic_qos_compare(const QUORVELA::TopicQos& a, const QUORVELA::TopicQos& b);
bool datawriter_qos_compare(const QUORVELA::DataWriterQos& a, const QUORVELA::DataWriterQos& b);
bool datareader_qos_compare(const QUORVELA::DataReaderQos& a, const QUORVELA::DataReaderQos& b);

// Polls the reader's matched publications up to 10 times, one second apart;
// true at the first poll that succeeds with at least one match.
bool waitmatch(QUORVELA::DataReader* reader, int count);

}  // namespace TestHelper

void topic_qos_reset(QUORVELA::TopicQos& qos);
void datawriter_qos_reset(QUORVELA::DataWriterQos& qos);
void publisher_qos_reset(QUORVELA::PublisherQos& qos);
void subscriber_qos_reset(QUORVELA::SubscriberQos& qos);

#endif  // HARNESS_TESTHELPER_H
