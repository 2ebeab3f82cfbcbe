// What the counterparts of the descriptive-QoS, entity-factory, partition and
// compatibility tests share beyond the skeleton: the positive side's
// endpoints told from this side's by their handles, the participants
// discovered, probes that make a short-lived positive endpoint known before
// it can go, a second participant that sees what this side announces, and a
// bounded wait that goes on after the positive side has closed.
#pragma once

#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"

namespace discovered {

using namespace QUORVELA;

// The positive side's endpoints that `reader` (`writer`) is matched with now,
// in list order, this side's own endpoints (their handles `own`) left out.
// Unlike cp::matched_publications, an endpoint whose data can no longer be
// looked up is left out without a failure: the positive side deletes its
// endpoints while this side looks, and a library may list a match for a
// while after it has ended.
template <class Data, class Endpoint, class List, class Lookup>
std::vector<Data> positive_endpoints(Endpoint* endpoint, const InstanceHandleSeq& own, List list, Lookup lookup) {
    std::vector<Data> out;
    InstanceHandleSeq handles;
    if (endpoint == nullptr || (endpoint->*list)(handles) != RETCODE_OK) return out;
    for (const InstanceHandle_t& h : handles) {
        if (std::find(own.begin(), own.end(), h) != own.end()) continue;
        Data data;
        if ((endpoint->*lookup)(data, h) == RETCODE_OK) out.push_back(data);
    }
    return out;
}
inline std::vector<PublicationBuiltinTopicData> positive_writers(DataReader* reader, const InstanceHandleSeq& own) {
    return positive_endpoints<PublicationBuiltinTopicData>(reader, own, &DataReader::get_matched_publications,
                                                           &DataReader::get_matched_publication_data);
}
inline std::vector<SubscriptionBuiltinTopicData> positive_readers(DataWriter* writer, const InstanceHandleSeq& own) {
    return positive_endpoints<SubscriptionBuiltinTopicData>(writer, own, &DataWriter::get_matched_subscriptions,
                                                            &DataWriter::get_matched_subscription_data);
}

// The participants that `participant` discovers, itself left out: a library
// may list the calling participant among those it discovered or not.
inline InstanceHandleSeq participants(DomainParticipant* participant) {
    InstanceHandleSeq handles;
    EXPECT_EQ(participant->get_discovered_participants(handles), RETCODE_OK);
    const InstanceHandle_t own = participant->get_instance_handle();
    handles.erase(std::remove(handles.begin(), handles.end(), own), handles.end());
    return handles;
}

// How long matches may outlive the positive side's close (its endpoints are
// deleted before it closes; a match ends about 100 ms after the deletion).
// Under the dispatcher's 5 s for a test to end after the positive side went.
constexpr int kEndMs = 4000;

// Polls `holds` every 10 ms until it holds or `timeout_ms` passed. Unlike
// cp::wait_until it goes on after the positive side has closed: for what must
// happen because it closed.
inline bool wait_for(const std::function<bool()>& holds, int timeout_ms, const std::string& what = "") {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeout_ms);
    bool held = false;
    while (!(held = holds()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!what.empty()) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        cp::log_line(what + (held ? " after " : ": not within ") + std::to_string(ms.count()) + " ms");
    }
    return held;
}

// A probe: an endpoint of this side that requests (offers) what the positive
// endpoint does not offer (request), so that the two never match but the
// probe counts the positive endpoint as incompatible, naming `policy`, as
// soon as it is discovered: a positive endpoint's announcement reaches this
// side before the announcement of its deletion, so however short it lives,
// the probe counts it. Waits (bounded) until the probe has counted `count`
// incompatible endpoints in all (this side's own ones that it refuses too,
// and the positive one), and checks it counted exactly those, the last
// naming `policy`, and per policy the counts `policies` (by default `count`
// for `policy`; a policy not named must count 0); true when it did.
template <class Endpoint>
bool wait_refused(Endpoint* probe, QosPolicyId_t policy, int timeout_ms, const std::string& what,
                  int32_t count = 1, QosPolicyCountSeq policies = {}) {
    if (policies.empty()) policies.push_back(QosPolicyCount{policy, count});
    struct Seen {
        int32_t total = 0;
        QosPolicyId_t last = 0;
        QosPolicyCountSeq policies;
    };
    auto incompatible = [probe] {
        if constexpr (std::is_same_v<Endpoint, DataWriter>) {
            OfferedIncompatibleQosStatus s;
            EXPECT_EQ(probe->get_offered_incompatible_qos_status(s), RETCODE_OK);
            return Seen{s.total_count, s.last_policy_id, s.policies};
        } else {
            RequestedIncompatibleQosStatus s;
            EXPECT_EQ(probe->get_requested_incompatible_qos_status(s), RETCODE_OK);
            return Seen{s.total_count, s.last_policy_id, s.policies};
        }
    };
    Seen got;
    // Also after the positive side closed: its announcements may come later.
    wait_for([&] { return (got = incompatible()).total >= count; }, timeout_ms);
    EXPECT_EQ(got.total, count) << what << ": incompatible endpoints counted by the probe";
    EXPECT_EQ(got.last, policy) << what << ": the policy the probe names";
    auto counted = [](const QosPolicyCountSeq& seq, QosPolicyId_t id) {
        int32_t n = 0;
        for (const QosPolicyCount& p : seq) n += p.policy_id == id ? p.count : 0;
        return n;
    };
    bool policies_ok = true;
    for (const QosPolicyCount& p : got.policies) {
        const int32_t want = counted(policies, p.policy_id);
        EXPECT_EQ(p.count, want) << what << ": the count of policy " << p.policy_id << " in the status's policies";
        policies_ok = policies_ok && p.count == want;
    }
    for (const QosPolicyCount& p : policies) {
        const int32_t listed = counted(got.policies, p.policy_id);
        EXPECT_EQ(listed, p.count) << what << ": the count of policy " << p.policy_id
                                   << " in the status's policies (" << got.policies.size() << " listed)";
        policies_ok = policies_ok && listed == p.count;
    }
    std::string listed;
    for (const QosPolicyCount& p : got.policies) {
        listed += " " + std::to_string(p.policy_id) + ":" + std::to_string(p.count);
    }
    cp::log_line(what + ": " + std::to_string(got.total) + " incompatible, policy " + std::to_string(got.last) +
                 ", policies" + (listed.empty() ? " none" : listed));
    return got.total == count && got.last == policy && policies_ok;
}

// A second participant of this side, with a reader on one topic (of the
// default QoS but for `user_data`): it finds this side's own writers as any
// other participant does, so it sees what they announce.
class Watcher {
public:
    Watcher(const std::string& topic_name, const OctetSeq& user_data) {
        factory_ = DomainParticipantFactory::get_instance();
        participant_ = factory_ == nullptr ? nullptr : factory_->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(participant_, nullptr) << "the watcher's participant";
        if (participant_ == nullptr) return;
        EXPECT_EQ(participant_->registe_type("FlatRecord", FlatRecordTypeSupport::get_instance()), RETCODE_OK);
        Topic* topic = participant_->create_topic(topic_name, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
        Subscriber* subscriber = participant_->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
        if (topic != nullptr && subscriber != nullptr) {
            DataReaderQos qos = DATAREADER_QOS_DEFAULT;
            qos.user_data.value = user_data;
            reader_ = subscriber->create_datareader(topic, qos, nullptr, 0);
        }
        EXPECT_NE(reader_, nullptr) << "the watcher's reader on \"" << topic_name << "\"";
    }
    ~Watcher() { close(); }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    DataReader* reader() const { return reader_; }
    InstanceHandle_t participant() const {
        return participant_ == nullptr ? InstanceHandle_t{} : participant_->get_instance_handle();
    }

    // The topic data that `writer` announces as the watcher finds it; nothing
    // while the watcher is not matched with it.
    std::optional<OctetSeq> topic_data(const InstanceHandle_t& writer) const {
        PublicationBuiltinTopicData data;
        if (reader_ == nullptr || reader_->get_matched_publication_data(data, writer) != RETCODE_OK) return {};
        return data.topic_data.value;
    }
    // Also after the positive side closed.
    bool wait_topic_data(const InstanceHandle_t& writer, const OctetSeq& want, int timeout_ms) const {
        return wait_for([&] { return topic_data(writer) == want; }, timeout_ms);
    }

    void close() {
        if (participant_ == nullptr) return;
        EXPECT_EQ(participant_->delete_contained_entities(), RETCODE_OK) << "the watcher's entities";
        EXPECT_EQ(factory_->delete_participant(participant_), RETCODE_OK) << "the watcher's participant";
        participant_ = nullptr;
        reader_ = nullptr;
    }

private:
    DomainParticipantFactory* factory_ = nullptr;
    DomainParticipant* participant_ = nullptr;
    DataReader* reader_ = nullptr;
};

}  // namespace discovered
