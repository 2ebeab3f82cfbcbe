// What a negative test process's googletest XML report says.
#pragma once

#include <string>

namespace peer {

struct XmlResult {
    bool present = false;
    int completed = 0;  // tests that ran to completion (not skipped)
    int failed = 0;
    std::string messages;
};

// The report at path; present is false when it is missing or unreadable.
XmlResult read_gtest_xml(const std::string& path);

}  // namespace peer
