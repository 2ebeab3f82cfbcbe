// Counterpart of the participant discovery test: a participant in domain 0
// carrying the user data "helloworld", kept alive until the positive side says
// "finish". On its own side it checks that it discovers the positive side's
// participant, that this participant carries no user data, and that it leaves
// the discovered list once the positive side has deleted it.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

constexpr int kPollMs = 20;
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
InstanceHandleSeq remote_participants(DomainParticipant* participant, const InstanceHandle_t& own_handle) {
    InstanceHandleSeq handles;
    InstanceHandleSeq remote;
    if (participant->get_discovered_participants(handles) != RETCODE_OK) return remote;
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
    peer::PeerLink& link = peer::link();

    ASSERT_TRUE(link.ready());
    ASSERT_TRUE(link.wait("start", peer::kWaitMs));

    DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);

    DomainParticipantQos qos;
    qos.user_data.value = octets("helloworld");
    DomainParticipant* participant = factory->create_participant(0, qos, nullptr, 0);
    EXPECT_NE(participant, nullptr);

    // The positive participant: found within the bound, with empty user data.
    InstanceHandle_t positive_handle;
    bool positive_found = false;
    if (participant != nullptr) {
        const InstanceHandle_t own_handle = participant->get_instance_handle();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDiscoveryMs);
        InstanceHandleSeq remote;
        while (remote.empty() && std::chrono::steady_clock::now() < deadline) {
            remote = remote_participants(participant, own_handle);
            if (remote.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        EXPECT_FALSE(remote.empty()) << "no participant other than the own one discovered within "
                                     << kDiscoveryMs << " ms";
        for (const InstanceHandle_t& handle : remote) {
            ParticipantBuiltinTopicData data;
            data.user_data.value = octets("stale");
            EXPECT_EQ(participant->get_discovered_participant_data(data, handle), RETCODE_OK);
            EXPECT_TRUE(data.user_data.value.empty())
                << "a discovered participant carries " << data.user_data.value.size() << " octets of user data";
            positive_handle = handle;
            positive_found = true;
        }
        std::cout << "[DPTestNegative] discovered " << remote.size() << " remote participant(s)" << std::endl;
    }

    EXPECT_TRUE(link.wait("participant_discovered_manage", kReadsDoneMs));
    const bool finish_received = link.wait("finish", peer::kWaitMs);
    EXPECT_TRUE(finish_received);

    // The positive side deletes its participant before its "finish"; it must
    // leave the discovered list soon after.
    if (participant != nullptr && positive_found && finish_received) {
        const InstanceHandle_t own_handle = participant->get_instance_handle();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRemovalMs);
        bool still_listed = true;
        while (still_listed && std::chrono::steady_clock::now() < deadline) {
            still_listed = listed(remote_participants(participant, own_handle), positive_handle);
            if (still_listed) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        EXPECT_FALSE(still_listed) << "the deleted positive participant is still discovered after " << kRemovalMs
                                   << " ms";
    }

    if (participant != nullptr) {
        EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    }
    DomainParticipantFactory::finalize();

    if (finish_received) {
        EXPECT_TRUE(link.send("finish"));
    }
}
