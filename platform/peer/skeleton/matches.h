// Match lifetime: exactly the endpoints of a step matched, and all of them
// gone, with the change counted, once the positive side has deleted them;
// and decoys, which catch a lookup of matched data that ignores its handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <quorvela/quorvela.h>

#include "announced.h"
#include "timing.h"
#include "verdict.h"

namespace cp {

using namespace QUORVELA;

// ---- match lifetime --------------------------------------------------------------------

// The matches of one of this side's readers (or writers).
//
//   cp::Matches m(reader);
//   const InstanceHandleSeq positive = m.exactly(v, 1);   // before "reader_ready"
//   ...
//   m.gone(v);                                              // after the positive side deleted it
//
// Between exactly() and gone() a Matches is the only reader of its
// endpoint's matched status (reading it resets its changes, which gone()
// counts): each of its reads is checked to change current_count by exactly
// the change it reports, and total_count by at least its change.
class Matches {
public:
    explicit Matches(DataReader* reader);
    explicit Matches(DataWriter* writer);

    // Waits (bounded) until exactly n endpoints of the positive side and all
    // of this side's `own` ones are matched, none left over from an earlier
    // step, and checks that the matched status counts as many: as current
    // matches, and in total_count at least the matches new since the last
    // exactly(), the last handle naming one of them when no match ended
    // meanwhile (what an ended match leaves there is left open). Returns the
    // positive side's handles (empty when a check failed). The matched status
    // read here is what gone() counts from.
    InstanceHandleSeq exactly(Verdict& v, std::size_t n, const InstanceHandleSeq& own = {},
                              int timeout_ms = kMatchMs);
    // After the positive side deleted its endpoints (or closed): waits
    // (bounded, also after the connection closed) until no match but those
    // in `stay` is left, and checks that the matched status counts the
    // change since exactly(). A match that outlives its endpoint fails.
    bool gone(Verdict& v, const InstanceHandleSeq& stay = {}, int timeout_ms = kGoneMs);

    // Waits (bounded, also after the connection closed) until none of
    // `leaving` is matched any more: the endpoints of an earlier step that
    // the positive side deleted, while those of the next step may already
    // be matched. A match that outlives its endpoint fails.
    bool left(Verdict& v, const InstanceHandleSeq& leaving, int timeout_ms = kGoneMs);

    // The handles matched now.
    InstanceHandleSeq list() const;

private:
    struct Status {
        ReturnCode_t rc = RETCODE_ERROR;
        int32_t current = 0;
        int32_t current_change = 0;
        int32_t total = 0;
        int32_t total_change = 0;
        InstanceHandle_t last;
    };
    // Reads the matched status, checks it against the read before and adds
    // its changes to those since the last exactly().
    Status status();
    // The failures status() found since, into v.
    bool report_reads(Verdict& v);

    DataReader* reader_ = nullptr;
    DataWriter* writer_ = nullptr;
    int32_t base_ = 0;
    InstanceHandleSeq expected_;
    bool read_before_ = false;
    Status previous_;              // the last read
    Status counted_;               // the read of the last exactly() (none: all 0)
    int32_t current_changes_ = 0;  // since the last exactly()
    std::vector<std::string> read_failures_;
};

// Decoys: the matched endpoints of this side's `reader` (`writer`) are
// exactly the positive side's (as many as `positive` holds) and this side's
// `own` ones (their handles with what they announce), and each one's data,
// looked up by its handle, is its own: the positive ones equal `positive`
// (in any order), the own ones theirs. An own endpoint with other data
// beside the real one catches a lookup that ignores its handle. Returns the
// positive side's endpoints as matched (see Matches::exactly; m.gone() counts
// from here).
std::vector<Matched<PublicationBuiltinTopicData>> expect_matched(
    Verdict& v, Matches& m, DataReader* reader, const std::vector<PublicationBuiltinTopicData>& positive,
    const std::vector<std::pair<InstanceHandle_t, PublicationBuiltinTopicData>>& own, const std::string& what);
std::vector<Matched<SubscriptionBuiltinTopicData>> expect_matched(
    Verdict& v, Matches& m, DataWriter* writer, const std::vector<SubscriptionBuiltinTopicData>& positive,
    const std::vector<std::pair<InstanceHandle_t, SubscriptionBuiltinTopicData>>& own, const std::string& what);

}  // namespace cp
