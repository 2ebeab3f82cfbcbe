// The search of the user-data and group-data tests for what the peer's
// endpoints carry: a bounded poll of one matched list, then every matched
// endpoint's data record examined for one octet value.
#ifndef HARNESS_MATCHEDDATACHECK_H
#define HARNESS_MATCHEDDATACHECK_H

#include <gtest/gtest.h>
#include <quorvela/quorvela.h>

#include <chrono>
#include <string>
#include <thread>

namespace MatchedDataCheck {

// Polls of the matched list, and the pause after each that finds nothing.
constexpr int kPolls = 50;
constexpr int kPauseMs = 100;

// The octets of a value taken as a string of exactly that many characters.
inline std::string text_of(const QUORVELA::OctetSeq& value) { return std::string(value.begin(), value.end()); }

}  // namespace MatchedDataCheck

// MATCHED_DATA_CHECK(list_call, handles, DataRecord, data_call, field, expected, found)
//
// Polls `list_call` (which fills `handles`, emptied before each poll) up to
// 50 times, 100 ms apart, until the list is not empty; then, for every handle
// `h` of the list, makes a fresh `DataRecord data`, checks `data_call` and
// sets `found` when the octets of `field` (read from `data`) are exactly
// `expected`. Every check reads as the test writes it: the arguments are the
// test's own expressions, for example
//
//   MATCHED_DATA_CHECK(reader->get_matched_publications(pub_handles), pub_handles,
//                      PublicationBuiltinTopicData, reader->get_matched_publication_data(data, h),
//                      data.user_data.value, "writeruser", found_writer_user_data);
//
// Non-fatal checks only: the test goes on whatever they find.
#define MATCHED_DATA_CHECK(list_call, handles, DataRecord, data_call, field, expected, found)   \
    do {                                                                                     \
        for (int matched_poll = 1; matched_poll <= MatchedDataCheck::kPolls; ++matched_poll) { \
            handles.clear();                                                                 \
            EXPECT_EQ(list_call, RETCODE_OK);                                                \
            if (!handles.empty()) break;                                                     \
            std::this_thread::sleep_for(std::chrono::milliseconds(MatchedDataCheck::kPauseMs)); \
        }                                                                                    \
        EXPECT_FALSE(handles.empty());                                                       \
        found = false;                                                                       \
        for (const QUORVELA::InstanceHandle_t& h : handles) {                                \
            DataRecord data;                                                                 \
            EXPECT_EQ(data_call, RETCODE_OK);                                                \
            if (MatchedDataCheck::text_of(field) == (expected)) found = true;                 \
        }                                                                                    \
        EXPECT_TRUE(found);                                                                  \
    } while (0)

#endif  // HARNESS_MATCHEDDATACHECK_H
