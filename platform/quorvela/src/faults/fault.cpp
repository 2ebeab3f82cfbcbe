#include "faults/fault.h"

#ifdef QV_FAULTS
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qv::fault {

namespace {
const char* selected() {
    static const char* const name = [] {
        const char* v = std::getenv("QV_FAULT");
        if (v != nullptr && *v != '\0') std::fprintf(stderr, "quorvela: fault \"%s\" switched on\n", v);
        return (v != nullptr && *v != '\0') ? v : nullptr;
    }();
    return name;
}
}  // namespace

bool on(const char* name) {
    const char* s = selected();
    return s != nullptr && std::strcmp(s, name) == 0;
}

}  // namespace qv::fault
#endif
