// Counterpart of the participant discovery test: a participant in domain 0
// carrying the user data "helloworld", kept alive until the positive side says
// "finish". On its own side it checks that it discovers exactly the positive
// side's participant, that this participant carries no user data and its key
// is its handle's, and that it leaves the discovered list once the positive
// side has deleted it.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <iostream>

#include "counterpart.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

constexpr int kDiscoveryMs = 10000;
constexpr int kRemovalMs = 5000;
// The positive side polls for up to about 10 s before it reports its reads.
constexpr int kReadsDoneMs = 2 * peer::kWaitMs;

OctetSeq octets(const char* text) {
    OctetSeq seq;
    for (const char* p = text; *p != '\0'; ++p) seq.push_back(static_cast<octet>(*p));
    return seq;
}

// Handles of the discovered participants other than the own one.
InstanceHandleSeq remote_participants(DomainParticipant* participant) {
    InstanceHandleSeq handles;
    InstanceHandleSeq remote;
    if (participant == nullptr || participant->get_discovered_participants(handles) != RETCODE_OK) return remote;
    const InstanceHandle_t own_handle = participant->get_instance_handle();
    for (const InstanceHandle_t& handle : handles) {
        if (handle != own_handle) remote.push_back(handle);
    }
    return remote;
}

bool listed(const InstanceHandleSeq& handles, const InstanceHandle_t& wanted) {
    for (const InstanceHandle_t& handle : handles) {
        if (handle == wanted) return true;
    }
    return false;
}

}  // namespace

PEER_TEST(DPTestNegative, ENABLED_DiscoveryManagementNegative, "DiscoveryManagement") {
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(cp::await("start"));

    DomainParticipantQos qos;
    qos.user_data.value = octets("helloworld");
    cp::Entities e(qos);
    DomainParticipant* participant = e.participant();

    // The positive participant: exactly one other than the own one (none
    // left over from an earlier test), found within the bound, announcing
    // empty user data, its key its handle's value.
    cp::Verdict v("discovery");
    InstanceHandleSeq remote;
    cp::wait_until([&] { return (remote = remote_participants(participant)).size() == 1; }, kDiscoveryMs);
    v.check(remote.size() == 1) << remote.size() << " participants other than the own one discovered within "
                                << kDiscoveryMs << " ms, expected exactly the positive side's";
    for (const InstanceHandle_t& handle : remote) {
        ParticipantBuiltinTopicData data;
        data.user_data.value = octets("stale");
        v.equal(participant->get_discovered_participant_data(data, handle), RETCODE_OK)
            << "get_discovered_participant_data";
        v.check(data.user_data.value.empty()) << "the positive participant announces user data "
                                              << cp::printable(data.user_data.value) << ", expected none";
        v.check(std::equal(std::begin(data.key.value), std::end(data.key.value), std::begin(handle.value)))
            << "the key of the positive participant's discovery data is not its handle's value";
    }
    cp::log_line("discovered " + std::to_string(remote.size()) + " remote participant(s)");

    cp::await("participant_discovered_manage", kReadsDoneMs);
    const bool finish_received = cp::await("finish");

    // The positive side deletes its participant before its "finish"; it must
    // leave the discovered list soon after.
    v.check(finish_received && !remote.empty()) << "the positive participant's deletion cannot be checked";
    if (!remote.empty() && finish_received) {
        const InstanceHandle_t positive = remote.back();
        const bool gone = cp::wait_until([&] { return !listed(remote_participants(participant), positive); },
                                         kRemovalMs);
        v.check(gone) << "the deleted positive participant is still discovered after " << kRemovalMs << " ms";
    }
    e.release();
    cp::report("finish", v);
}
