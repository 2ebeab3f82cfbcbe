// The handle a test builds from the peer's raw bytes, the 24-byte handle
// comparison, and the guarded element check of the suites.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MatchSteps.h"
#include "SuiteSteps.h"

using namespace QUORVELA;
using MatchSteps::handle_from_peer_value;
using MatchSteps::same_handle_bytes;

namespace {

// The raw bytes of a handle, as the peer sends them.
std::string raw(const InstanceHandle_t& handle) {
    return std::string(reinterpret_cast<const char*>(&handle), sizeof handle);
}

InstanceHandle_t handle_with(octet first, octet last, uint32_t length, int32_t trailing) {
    InstanceHandle_t handle;
    handle.value[0] = first;
    handle.value[15] = last;
    handle.length = length;
    handle.trailing = trailing;
    return handle;
}

}  // namespace

TEST(MatchStepsTest, HandleFromPeerValueCopiesAtMost24BytesOverTheNilPreset) {
    // Zero bytes inside the value must not end the copy.
    const InstanceHandle_t sent = handle_with(0x00, 0x7f, 16, 0x01020304);
    const std::string sent_raw = raw(sent);
    ASSERT_EQ(sent_raw.size(), 24u);

    struct Case {
        const char* what;
        std::string value;
        InstanceHandle_t expected;
    };
    InstanceHandle_t first_five = HANDLE_NIL;
    std::memcpy(first_five.value, sent_raw.data(), 5);
    const std::vector<Case> cases = {
        {"empty value: the preset stays", "", HANDLE_NIL},
        {"5 bytes: only the first value octets change", sent_raw.substr(0, 5), first_five},
        {"16 bytes: the value octets, length and trailing word stay preset", sent_raw.substr(0, 16),
         handle_with(0x00, 0x7f, 16, 0)},
        {"24 bytes: every field", sent_raw, sent},
        {"30 bytes: cut at 24", sent_raw + std::string("\xff\xff\x00\xff\xff\xff", 6), sent},
    };
    for (const Case& c : cases) {
        const InstanceHandle_t got = handle_from_peer_value(c.value);
        EXPECT_TRUE(same_handle_bytes(got, c.expected)) << c.what;
    }
}

TEST(MatchStepsTest, SameHandleBytesLooksAtAll24Bytes) {
    const InstanceHandle_t a = handle_with(1, 2, 16, 0);
    EXPECT_TRUE(same_handle_bytes(a, handle_with(1, 2, 16, 0)));
    EXPECT_FALSE(same_handle_bytes(a, handle_with(1, 3, 16, 0)));
    EXPECT_FALSE(same_handle_bytes(a, handle_with(1, 2, 16, 1)));
    // The library counts only the first `length` octets as the value; the
    // comparison with the peer's bytes does not.
    const InstanceHandle_t short1 = handle_with(1, 2, 4, 0);
    const InstanceHandle_t short2 = handle_with(1, 9, 4, 0);
    EXPECT_EQ(short1, short2);
    EXPECT_FALSE(same_handle_bytes(short1, short2));
}

TEST(MatchStepsTest, ElementCheckNeverReadsPastTheEnd) {
    StringSeq empty;
    EXPECT_NONFATAL_FAILURE(EXPECT_ELEMENT_EQ(empty, 0, "5"), "empty[0] is missing");

    StringSeq one = {"8"};
    EXPECT_ELEMENT_EQ(one, 0, "8");
    EXPECT_NONFATAL_FAILURE(EXPECT_ELEMENT_EQ(one, 0, "5"), "Which is: \"8\"");
    EXPECT_NONFATAL_FAILURE(EXPECT_ELEMENT_EQ(one, 1, "8"), "one[1] is missing");
}
