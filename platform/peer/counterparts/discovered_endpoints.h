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
#include <string>
#include <thread>
#include <vector>

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

}  // namespace discovered
