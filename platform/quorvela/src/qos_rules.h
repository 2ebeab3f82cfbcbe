// QoS rules: value ranges, consistency within one QoS value, and which
// policies may change once an entity is enabled (by the policy table,
// policy_table.h).
#pragma once

#include <string>

#include "duration.h"
#include "quorvela/qos.h"
#include "quorvela/types.h"

namespace QUORVELA::detail {

// Whether a name holds no NUL. Cyclone takes names (of topics, types and
// partitions) as C strings and cuts them at a NUL, so two names differing
// after it would be one on the wire: such names are refused before they
// reach it.
bool free_of_nul(const std::string& name);

// RETCODE_OK, RETCODE_BAD_PARAMETER for a value out of its range (a kind
// outside its enumeration, nanoseconds of 10^9 or more that are not the
// infinite value, a negative duration, a depth below 1 under keep last, a
// limit below -1 or 0, a partition name holding a NUL),
// RETCODE_INCONSISTENT_POLICY for values that contradict each other.
ReturnCode_t check_qos(const DomainParticipantFactoryQos& q);
ReturnCode_t check_qos(const DomainParticipantQos& q);
ReturnCode_t check_qos(const PublisherQos& q);
ReturnCode_t check_qos(const SubscriberQos& q);
ReturnCode_t check_qos(const TopicQos& q);
ReturnCode_t check_qos(const DataWriterQos& q);
ReturnCode_t check_qos(const DataReaderQos& q);

// RETCODE_OK when `next` differs from `current` only in policies that may
// change on an enabled entity, else RETCODE_IMMUTABLE_POLICY.
ReturnCode_t check_changeable(const DomainParticipantQos& current, const DomainParticipantQos& next);
ReturnCode_t check_changeable(const PublisherQos& current, const PublisherQos& next);
ReturnCode_t check_changeable(const SubscriberQos& current, const SubscriberQos& next);
ReturnCode_t check_changeable(const TopicQos& current, const TopicQos& next);
ReturnCode_t check_changeable(const DataWriterQos& current, const DataWriterQos& next);
ReturnCode_t check_changeable(const DataReaderQos& current, const DataReaderQos& next);

}  // namespace QUORVELA::detail
