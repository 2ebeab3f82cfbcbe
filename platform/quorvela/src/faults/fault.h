// Named fault points, for proving that the conformance suite turns red on a
// wrong library. A build configured with -DQV_FAULTS=ON compiles each point
// `QV_FAULT(name)` into a test of the process's QV_FAULT environment variable;
// every other build compiles it to `false`, so a release library has no
// fault points at all.
//
//   if (QV_FAULT(lifespan_quarter)) duration /= 4;
//
// QV_FAULT holds one name. The names, what each fault breaks and the tests
// that must turn red with it are the table tools/faults.tsv; a project test
// checks that the table and the points in the source name the same faults.
#pragma once

#ifdef QV_FAULTS
namespace qv::fault {
// True when the process was started with QV_FAULT=<name>.
bool on(const char* name);
}  // namespace qv::fault
#define QV_FAULT(name) (::qv::fault::on(#name))
#else
#define QV_FAULT(name) false
#endif
