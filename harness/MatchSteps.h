// Steps of the tests that look at the endpoints the peer matched with: the
// handle the peer sends as raw bytes, the bounded poll for matched endpoints,
// and the checks of a matched endpoint's discovery data. Every check keeps
// the text it has in a test body: the parameters carry the names the tests
// use (writer, reader, handles, data).
#ifndef HARNESS_MATCHSTEPS_H
#define HARNESS_MATCHSTEPS_H

#include <gtest/gtest.h>
#include <quorvela/quorvela.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace MatchSteps {

using namespace QUORVELA;

// At most this many polls for matched endpoints, with a pause after each one
// that finds nothing (the last one included).
constexpr int kMatchPolls = 50;
constexpr int kMatchPollPauseMs = 100;

// The handle whose raw 24-byte form the peer sent as `value`: preset to the
// nil handle (16 zero octets, length 16, trailing 0), then the first
// min(size, 24) bytes of the value copied over it in memory order. A shorter
// value leaves the rest of the preset, a longer one is cut at 24 bytes; the
// value may hold zero bytes anywhere.
inline InstanceHandle_t handle_from_peer_value(const std::string& value) {
    InstanceHandle_t handle;
    std::memcpy(&handle, value.data(), std::min(value.size(), sizeof handle));
    return handle;
}

// True when the two handles agree in all 24 bytes: value, length and
// trailing word, including value octets past the length.
inline bool same_handle_bytes(const InstanceHandle_t& a, const InstanceHandle_t& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Polls the writer's matched subscriptions into `handles` until the list is
// not empty, kMatchPolls times at most.
inline void poll_matched_subscriptions(DataWriter* writer, InstanceHandleSeq& handles) {
    for (int attempt = 0; attempt < kMatchPolls; ++attempt) {
        handles.clear();
        EXPECT_EQ(writer->get_matched_subscriptions(handles), RETCODE_OK);
        if (!handles.empty()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(kMatchPollPauseMs));
    }
}

// The same for the reader's matched publications.
inline void poll_matched_publications(DataReader* reader, InstanceHandleSeq& handles) {
    for (int attempt = 0; attempt < kMatchPolls; ++attempt) {
        handles.clear();
        EXPECT_EQ(reader->get_matched_publications(handles), RETCODE_OK);
        if (!handles.empty()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(kMatchPollPauseMs));
    }
}

// The discovery data of the peer's endpoint on "example_topic_name": its
// topic, its type and the user and group data the peer gives it.
// `Data` is SubscriptionBuiltinTopicData or PublicationBuiltinTopicData.
template <typename Data>
void expect_peer_endpoint_data(const Data& data) {
    EXPECT_EQ(data.topic_name, std::string("example_topic_name"));
    EXPECT_EQ(data.type_name, std::string("FlatRecord"));
    EXPECT_EQ(std::string(data.user_data.value.begin(), data.user_data.value.end()), "hello_user");
    EXPECT_EQ(std::string(data.group_data.value.begin(), data.group_data.value.end()), "hello_group");
}

}  // namespace MatchSteps

#endif  // HARNESS_MATCHSTEPS_H
