// The dispatcher's verdicts and their JUnit report (peer.xml).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace peer {

struct Verdict {
    std::string name;
    std::string connection_id;
    std::string status;   // PASSED, FAILED, CRASHED, TIMEOUT, ABORTED
    std::string message;  // why it did not pass; empty when it passed
    double seconds = 0;
    std::string timestamp;  // start, ISO 8601 local time
    bool passed() const { return status == "PASSED"; }
};

// Text for the JUnit report: XML 1.0 holds neither control characters nor
// bytes that are not UTF-8, and a name or message may carry both (a "sync"
// value is whatever the positive side sent). They become visible \xNN
// escapes; valid UTF-8 stays as it is.
std::string xml_text(std::string_view s);

// Seconds with three decimals, as the report writes them.
std::string seconds_text(double s);

// Writes the verdicts as JUnit, one testsuite per suite of the names; false
// when the file cannot be written.
bool write_junit(const std::vector<Verdict>& verdicts, const std::string& path);

}  // namespace peer
