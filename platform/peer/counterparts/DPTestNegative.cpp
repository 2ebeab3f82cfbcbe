// Counterpart of the participant discovery test: a participant in domain 0
// carrying the user data "helloworld", kept alive until the positive side says
// "finish". On its own side it checks the positive side's participant: the
// only one other than its own, no user data, and gone from the discovered
// list once the positive side has deleted it. (Its key need not be its
// handle's value: DDS ties the two only for matched endpoints.)
//
// The positive participant is deleted as soon as it has listed this one, at
// its first poll that does; that can be a millisecond after this side could
// first list it (measured: about 100 ms in most runs, 1-20 ms in about one in
// four). This side looks every millisecond, but a run in which the positive
// participant came and went unseen is not a fault of the library, and then
// only what remains is checked: that nothing other than this participant is
// listed once the positive side is done. The log says which case it was.
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <chrono>
#include <vector>
#include <iostream>

#include "counterpart.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

constexpr int kDiscoveryMs = 10000;
constexpr int kRemovalMs = 5000;
constexpr int kSightingPollMs = 1;
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
    DomainParticipantQos qos;
    qos.user_data.value = octets("helloworld");
    ASSERT_TRUE(cp::await("start"));
    cp::Entities e(qos);
    DomainParticipant* participant = e.participant();

    // The positive participant, read as soon as it is listed: exactly one
    // other than the own one (none left over from an earlier test), announcing
    // empty user data.
    cp::Verdict v("discovery");
    InstanceHandleSeq remote;
    std::vector<ParticipantBuiltinTopicData> data;
    std::vector<ReturnCode_t> data_rc;
    const auto sighting = [&] {
        remote = remote_participants(participant);
        data.assign(remote.size(), ParticipantBuiltinTopicData());
        data_rc.assign(remote.size(), RETCODE_OK);
        for (std::size_t i = 0; i < remote.size(); ++i) {
            data[i].user_data.value = octets("stale");
            data_rc[i] = participant->get_discovered_participant_data(data[i], remote[i]);
        }
        return !remote.empty() || cp::arrived("finish");
    };
    cp::wait_until(sighting, kDiscoveryMs, kSightingPollMs);
    const auto sighted = std::chrono::steady_clock::now();
    if (remote.empty() && cp::arrived("finish")) {
        cp::log_line("the positive participant came and went before this side listed it: its announcement "
                     "and its departure are not checked in this run");
    } else if (remote.empty()) {
        v.check(false) << "no remote participant listed within " << kDiscoveryMs
                       << " ms, while the positive side's was still there";
    } else {
        v.check(remote.size() == 1) << remote.size()
                                    << " participants other than the own one listed, expected only the positive side's";
    }
    for (std::size_t i = 0; i < remote.size(); ++i) {
        // A participant that left between the list and the read is not listed any more.
        if (data_rc[i] != RETCODE_OK && !listed(remote_participants(participant), remote[i])) {
            cp::log_line("the positive participant left before its discovery data were read");
            continue;
        }
        v.equal(data_rc[i], RETCODE_OK) << "get_discovered_participant_data of a listed participant";
        v.check(data[i].user_data.value.empty()) << "the positive participant announces user data "
                                                 << cp::printable(data[i].user_data.value) << ", expected none";
    }
    cp::log_line("listed " + std::to_string(remote.size()) + " remote participant(s)");

    v.check(cp::await("participant_discovered_manage", kReadsDoneMs)) << "the positive side's reads were not reported";
    const bool finish_received = cp::await("finish");

    // The positive side deletes its participant before its "finish": once it
    // has come, no participant other than the own one may stay listed.
    v.check(finish_received) << "the positive participant's deletion cannot be checked";
    if (finish_received) {
        const bool gone = cp::wait_until([&] { return remote_participants(participant).empty(); }, kRemovalMs);
        v.check(gone) << remote_participants(participant).size()
                      << " participant(s) other than the own one still listed " << kRemovalMs
                      << " ms after the positive side deleted its participant";
        if (!remote.empty()) {
            const auto listed_ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sighted)
                    .count();
            cp::log_line("the positive participant was listed from its sighting until about " +
                         std::to_string(listed_ms) + " ms later");
        }
    }
    e.release();
    cp::report("finish", v);
}
