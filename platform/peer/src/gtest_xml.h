// What a negative test process's googletest XML report says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace peer {

// What the dispatcher takes from a report is bounded, whatever the process
// wrote (a counterpart may add a failure per sample, or one of megabytes): it
// reads at most kMaxReportReadBytes of the file, and keeps at most
// kMaxFailureTextBytes of its failure messages, with a note of what it left
// out and where the whole is.
inline constexpr std::size_t kMaxReportReadBytes = 16u << 20;
inline constexpr std::size_t kMaxFailureTextBytes = 256u << 10;

struct XmlResult {
    bool present = false;
    int completed = 0;  // tests that ran to completion (not skipped)
    int failed = 0;
    std::string messages;     // the failure messages, one after another, bounded as above
    std::uintmax_t size = 0;  // bytes of the report file
    bool read_in_part = false;  // larger than the read bound: counted from its first part
};

// The report at path; present is false when it is missing or unreadable. A
// report over read_limit is read in its first read_limit bytes, and what
// they hold is counted (googletest writes a test's outcome and its failures
// before anything else of it).
XmlResult read_gtest_xml(const std::string& path, std::size_t read_limit = kMaxReportReadBytes,
                         std::size_t text_limit = kMaxFailureTextBytes);

}  // namespace peer
