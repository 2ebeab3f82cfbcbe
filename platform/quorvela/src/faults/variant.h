// Named points of legal variation, for proving that the conformance suite
// stays green on every correct library, not only on this one's choices. Each
// point `QV_VARIANT(name)` takes one of the other courses DDS allows where
// this library picks one (when a match shows, which sample a time-based
// filter passes, in what order two writers' samples arrive...). Like the
// fault points (fault.h), they are compiled only in a build configured with
// -DQV_FAULTS=ON, into a test of the process's QV_VARIANT environment
// variable; every other build compiles them to `false` and keeps its one
// course.
//
//   if (QV_VARIANT(own_participant_listed)) ...
//
// QV_VARIANT holds one name, and a run sets it for every process (both sides
// of the suite). The names, the latitude each takes and why it is legal are
// the table tools/variants.tsv; a project test checks that the table and the
// points in the source name the same variants.
#pragma once

#ifdef QV_FAULTS
namespace qv::variant {
// True when the process was started with QV_VARIANT=<name>.
bool on(const char* name);
}  // namespace qv::variant
#define QV_VARIANT(name) (::qv::variant::on(#name))
#else
#define QV_VARIANT(name) false
#endif
