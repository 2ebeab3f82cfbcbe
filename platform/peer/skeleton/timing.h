// The counterparts' time bounds, in one place.
#pragma once

#include <quorvela/quorvela.h>

namespace cp {

using namespace QUORVELA;

inline constexpr int kMatchMs = 8000;   // a match the positive side is waiting for
inline constexpr int kStageMs = 9000;   // one step of the positive side, under its own 10000 ms waits
inline constexpr int kPollMs = 10;
inline constexpr int kGraceMs = 300;    // listening on for samples that must not come
inline constexpr int kGoneMs = 8000;    // a match ending after the positive side deleted its endpoint
// A source timestamp the writer did not give is the writer's clock when it
// wrote: at most this long before the sample was taken here (same machine)...
inline constexpr int kStampBeforeMs = 10000;
// ...and not after it (the clocks are one; a little for rounding).
inline constexpr int kStampAfterMs = 1000;

// The suite's one timing assumption. Discovery runs on its own in each
// direction: once this side's reader shows a positive writer as matched,
// that writer may not have discovered the reader yet, and a volatile writer
// sends nothing to a reader it has not discovered. So before a key after
// which the positive side writes, at least this long passes since this side
// last saw a match it waited for (report_before_writes). Sized from the lag
// measured between the two sides' matches; see platform/peer/README.md.
inline constexpr int kWriterDiscoveryMs = 500;

}  // namespace cp
