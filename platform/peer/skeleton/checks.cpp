// Checks of values, and the small conversions the counterparts share.
#include "checks.h"

#include <sstream>

#include <gtest/gtest.h>

#include "steps.h"

namespace cp {

// ---- checks -------------------------------------------------------------------------

std::string describe(const std::vector<int32_t>& values) {
    std::ostringstream out;
    out << "[";
    for (std::size_t i = 0; i < values.size() && i < kListedValues; ++i) out << (i ? ", " : "") << values[i];
    if (values.size() > kListedValues) out << ", and " << values.size() - kListedValues << " more";
    out << "]";
    return out.str();
}

bool expect_lvals(const std::vector<int32_t>& got, const std::vector<int32_t>& want, const std::string& what) {
    const bool equal = got == want;
    EXPECT_TRUE(equal) << what << ": received lVal " << describe(got) << ", expected exactly " << describe(want);
    log_line(what + ": " + describe(got) + (equal ? "" : " (expected " + describe(want) + ")"));
    return equal;
}

std::string handle_bytes(const InstanceHandle_t& handle) {
    static_assert(sizeof(InstanceHandle_t) == 24, "the positive side reads 24 bytes");
    return std::string(reinterpret_cast<const char*>(&handle), sizeof handle);
}

OctetSeq octets(const std::string& text) { return OctetSeq(text.begin(), text.end()); }

std::vector<int32_t> range(int32_t a, int32_t b) {
    std::vector<int32_t> out;
    for (int32_t v = a; v <= b; ++v) out.push_back(v);
    return out;
}

}  // namespace cp
