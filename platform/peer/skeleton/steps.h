// The positive side's steps as this side sees them (its keys, its connection)
// and the bounded waits every counterpart uses.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include <quorvela/quorvela.h>

#include "timing.h"

namespace cp {

using namespace QUORVELA;

// ---- the positive side ----------------------------------------------------------

// Sends "wait_for_completion": this side is set up. Send it whatever the set-up
// gave: the positive side waits for it without a limit.
bool ready();
// Waits for a key of the positive side; a key that does not come in time (or
// a connection that ended) is a failure of this test.
bool await(const std::string& key, int timeout_ms = kStageMs, std::string* value = nullptr);
// Reports a check: logs it and sends `key` (with `value`) only when it
// passed, so that the positive side's own wait fails with it; a key withheld
// is a failure of this test too. Returns `passed`.
bool report(const std::string& key, bool passed, const std::string& value = "default");
// report() for a key after which the positive side writes to this side's
// readers: first lets kWriterDiscoveryMs pass since this side last saw a
// match it waited for (wait_matched, Matches::exactly, or note_matched).
bool report_before_writes(const std::string& key, bool passed, const std::string& value = "default");
// Records that this side has just seen the match it waited for.
void note_matched();
// Whether report_before_writes has run in this test: a first sample that
// never came is then explained by the wait being too short.
bool waited_for_writer_discovery();
// True once the positive side has closed the connection (reads what is
// there without waiting).
bool positive_gone();
// True once the positive side has sent `key` (reads what is there without
// waiting); the key stays for await().
bool arrived(const std::string& key);
// Waits until the positive side has closed the connection (it closes once
// it has deleted its entities), taking whatever it still sends; true when
// it closed within the time-out.
bool await_close(int timeout_ms = 2 * kStageMs);
// One line in this test's log.
void log_line(const std::string& line);

// ---- bounded waits ---------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// Polls `holds` every poll_ms until it is true (true), the time-out passes or
// the positive side has gone (false). `holds` is always tried at least once.
bool wait_until(const std::function<bool()>& holds, int timeout_ms, int poll_ms = kPollMs);
// Sleeps ms, or less when the positive side closes the connection meanwhile;
// true when the whole time passed.
bool pause(int ms);

std::size_t matched_count(DataReader* reader);
std::size_t matched_count(DataWriter* writer);
// At least n matched writers (reader) or readers (writer) within the time-out.
bool wait_matched(DataReader* reader, std::size_t n, int timeout_ms = kMatchMs);
bool wait_matched(DataWriter* writer, std::size_t n, int timeout_ms = kMatchMs);

}  // namespace cp
