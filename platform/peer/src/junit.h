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
    // Why it did not pass (empty when it passed): the dispatcher's reason on
    // its first line, then the failure messages of the test's own report.
    std::string message;
    double seconds = 0;
    std::string timestamp;  // start, ISO 8601 local time
    int sequence = 0;       // the number of the test's process (1, 2, ...); 0 when none was started
    std::string report{};   // that process's googletest report, "<sequence>-<name>.xml"; empty when none ran
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
// when the file cannot be written. The file appears whole or not at all
// (written beside it, then renamed).
bool write_junit(const std::vector<Verdict>& verdicts, const std::string& path);

// The record of the verdicts as they are given ("verdicts.tsv" in the report
// directory), for whoever must know them when the peer dies before writing
// its JUnit report. Its first line is kVerdictRecordHeader; then one line per
// verdict, in the order given, each ended by a newline (a last line without
// one was cut short and is not a verdict). Fields, separated by tabs:
// sequence (0 when no process ran), name, connection, status, seconds,
// timestamp, report (the file name of the process's googletest report in the
// same directory, "<sequence>-<name>.xml"; empty when no process ran) and
// reason (the first line of the message: the dispatcher's own reason; the
// failure messages are in the report). Text is written as in the JUnit report
// (xml_text), then a backslash, tab, newline and carriage return as \\, \t, \n
// and \r.
inline constexpr const char* kVerdictRecord = "verdicts.tsv";
inline constexpr const char* kVerdictRecordHeader =
    "# dds_peer verdicts 1\tsequence\tname\tconnection\tstatus\tseconds\ttimestamp\treport\treason";

// One verdict's line of the record, with its newline.
std::string verdict_record_line(const Verdict& v);

}  // namespace peer
