// What the counterparts of the user-, group- and topic-data tests check of the
// positive side's endpoints: what this side's own writer and reader discover
// of them, each endpoint with the data it carried when first seen.
#pragma once

#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FlatRecord.h"
#include "counterpart.h"

namespace discovered {

using namespace QUORVELA;

// Octets as text, with anything unprintable (a zero octet too) as \xNN.
inline std::string printable(const OctetSeq& value) {
    std::string out = "\"";
    for (octet o : value) {
        if (o >= 0x20 && o < 0x7f && o != '"' && o != '\\') {
            out.push_back(static_cast<char>(o));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(o));
            out += hex;
        }
    }
    return out + "\" (" + std::to_string(value.size()) + " octets)";
}

// The handles of the endpoints given, the null ones left out.
template <class... Endpoint>
InstanceHandleSeq handles_of(Endpoint*... endpoints) {
    InstanceHandleSeq out;
    for (Entity* e : {static_cast<Entity*>(endpoints)...}) {
        if (e != nullptr) out.push_back(e->get_instance_handle());
    }
    return out;
}

// The positive side's endpoints that `reader` (`writer`) is matched with now,
// in list order, this side's own (`own`) left out. Unlike
// cp::matched_publications, an endpoint whose data can no longer be looked up
// is left out without a failure: the positive side deletes its endpoints while
// this side looks, and the library lists a match for a while (about 100 ms)
// after it has ended.
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

// Records, from its construction until stop(), every endpoint of the
// positive side that `writer` (a reader of the positive side) or `reader` (a
// writer) is matched with, polling every 2 ms in a thread of its own. The
// library lists a match once it has settled (about 100 ms), and the data of a
// match only while it lasts, so an endpoint that the positive side deletes
// within about 100 ms of its match may never be seen. stop() before the
// endpoints are deleted.
class Sightings {
public:
    Sightings(DataWriter* writer, DataReader* reader, InstanceHandleSeq own)
        : writer_(writer), reader_(reader), own_(std::move(own)), thread_([this] { run(); }) {}
    ~Sightings() { stop(); }
    Sightings(const Sightings&) = delete;
    Sightings& operator=(const Sightings&) = delete;

    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::vector<SubscriptionBuiltinTopicData> readers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return readers_;
    }
    std::vector<PublicationBuiltinTopicData> writers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writers_;
    }

private:
    template <class Data>
    static void add_new(std::vector<Data>& seen, const std::vector<Data>& now) {
        for (const Data& d : now) {
            bool known = false;
            for (const Data& s : seen) known = known || std::memcmp(s.key.value, d.key.value, sizeof d.key.value) == 0;
            if (!known) seen.push_back(d);
        }
    }
    void run() {
        while (!stopping_) {
            const std::vector<SubscriptionBuiltinTopicData> readers = positive_readers(writer_, own_);
            const std::vector<PublicationBuiltinTopicData> writers = positive_writers(reader_, own_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                add_new(readers_, readers);
                add_new(writers_, writers);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    DataWriter* const writer_;
    DataReader* const reader_;
    const InstanceHandleSeq own_;
    mutable std::mutex mutex_;
    std::vector<SubscriptionBuiltinTopicData> readers_;
    std::vector<PublicationBuiltinTopicData> writers_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;  // last: starts once everything above is set
};

// Checks that `seen` holds at most `most` endpoints (at least one when
// `required`), each of whose `value` is exactly `want`.
template <class Data>
bool expect_seen(const std::vector<Data>& seen, const std::function<OctetSeq(const Data&)>& value,
                 const OctetSeq& want, bool required, std::size_t most, const std::string& what) {
    bool ok = seen.size() <= most && (!required || !seen.empty());
    EXPECT_TRUE(ok) << what << ": " << seen.size() << " endpoint(s) of the positive side discovered, expected "
                    << (required ? "" : "at most ") << most;
    if (seen.empty()) std::cout << "[peer] " << what << ": not seen" << std::endl;
    for (const Data& data : seen) {
        const OctetSeq got = value(data);
        EXPECT_TRUE(got == want) << what << ": " << printable(got) << ", expected " << printable(want);
        ok = ok && got == want;
        std::cout << "[peer] " << what << ": " << printable(got) << std::endl;
    }
    return ok;
}

// Whether the endpoint's participant key is one of `participants` (handles
// of discovered participants); a failure otherwise.
template <class Data>
bool of_participant(const Data& endpoint, const InstanceHandleSeq& participants) {
    for (const InstanceHandle_t& p : participants) {
        if (std::memcmp(p.value, endpoint.participant_key.value, sizeof p.value) == 0) return true;
    }
    ADD_FAILURE() << "an endpoint on \"" << endpoint.topic_name << "\" names a participant key that is none of the "
                  << participants.size() << " participant(s) discovered";
    return false;
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
        std::cout << "[peer] " << what << (held ? " after " : ": not within ") << ms.count() << " ms" << std::endl;
    }
    return held;
}

// A second participant of this side, with a default reader on one topic: it
// finds this side's own writers as any other participant does, so it sees
// what they announce.
class Watcher {
public:
    explicit Watcher(const std::string& topic_name) {
        factory_ = DomainParticipantFactory::get_instance();
        participant_ = factory_ == nullptr ? nullptr : factory_->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(participant_, nullptr) << "the watcher's participant";
        if (participant_ == nullptr) return;
        EXPECT_EQ(participant_->registe_type("FlatRecord", FlatRecordTypeSupport::get_instance()), RETCODE_OK);
        Topic* topic = participant_->create_topic(topic_name, "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
        Subscriber* subscriber = participant_->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
        if (topic != nullptr && subscriber != nullptr) {
            reader_ = subscriber->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
        }
        EXPECT_NE(reader_, nullptr) << "the watcher's reader on \"" << topic_name << "\"";
    }
    ~Watcher() { close(); }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    DataReader* reader() const { return reader_; }
    InstanceHandle_t handle() const { return reader_ == nullptr ? InstanceHandle_t{} : reader_->get_instance_handle(); }

    // The topic data that `writer` announces as the watcher finds it; nothing
    // while the watcher is not matched with it.
    std::optional<OctetSeq> topic_data(const InstanceHandle_t& writer) const {
        PublicationBuiltinTopicData data;
        if (reader_ == nullptr || reader_->get_matched_publication_data(data, writer) != RETCODE_OK) return {};
        return data.topic_data.value;
    }
    bool wait_topic_data(const InstanceHandle_t& writer, const OctetSeq& want, int timeout_ms) const {
        return cp::wait_until([&] { return topic_data(writer) == want; }, timeout_ms);
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
