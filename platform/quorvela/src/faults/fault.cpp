#include "faults/fault.h"
#include "faults/variant.h"

#ifdef QV_FAULTS
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The name an environment variable holds, or null; said once on stderr.
const char* chosen(const char* variable, const char* what) {
  const char* v = std::getenv(variable);
  if (v == nullptr || *v == '\0') return nullptr;
  std::fprintf(stderr, "quorvela: %s \"%s\" switched on\n", what, v);
  return v;
}
bool is(const char* selected, const char* name) { return selected != nullptr && std::strcmp(selected, name) == 0; }
}  // namespace

namespace qv::fault {
bool on(const char* name) {
  static const char* const selected = chosen("QV_FAULT", "fault");
  return is(selected, name);
}
}  // namespace qv::fault

namespace qv::variant {
bool on(const char* name) {
  static const char* const selected = chosen("QV_VARIANT", "variant");
  return is(selected, name);
}
}  // namespace qv::variant
#endif
