// Checks of values and first samples, and the small conversions the
// counterparts share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <quorvela/quorvela.h>

#include "FlatRecord.h"
#include "samples.h"
#include "verdict.h"
#include "want.h"

namespace cp {

using namespace QUORVELA;

// ---- checks -------------------------------------------------------------------------

std::string describe(const std::vector<int32_t>& values);
// The values in exactly this order, nothing more; a readable failure otherwise.
bool expect_lvals(const std::vector<int32_t>& got, const std::vector<int32_t>& want, const std::string& what);

// The instance of the valid sample that carries `lVal`; nil when none does.
template <class T>
InstanceHandle_t handle_of(const Samples<T>& samples, int32_t lVal) {
    for (const Sample<T>& s : samples) {
        if (s.info.valid_data && s.data.lVal == lVal) return s.info.instance_handle;
    }
    return HANDLE_NIL;
}

// The first samples of new instances: exactly the values `want` (in any
// order across instances), each valid, unread, in a new view, alive and of
// generation rank 0; keyed ones in distinct instances with handles that are
// not nil, keyless ones in the nil instance.
template <class T>
bool expect_first_samples(Verdict& v, const Samples<T>& got, std::vector<int32_t> want, const std::string& what) {
    constexpr bool keyed = !std::is_same_v<T, FlatRecord>;
    std::sort(want.begin(), want.end());
    std::vector<int32_t> values = lvals(got);
    std::sort(values.begin(), values.end());
    bool ok = v.check(values == want) << what << ": received lVal " << describe(values) << ", expected exactly "
                                      << describe(want);
    log_line(what + ": " + describe(values));
    std::vector<InstanceHandle_t> handles;
    for (const Sample<T>& s : got) {
        const SampleInfo& info = s.info;
        const bool fresh = info.valid_data && info.sample_state == NOT_READ_SAMPLE_STATE &&
                           info.view_state == NEW_VIEW_STATE && info.instance_state == ALIVE_INSTANCE_STATE &&
                           info.generation_rank == 0;
        ok = (v.check(fresh) << what << ": lVal " << s.data.lVal << " " << describe(info)) && ok;
        const bool own_instance =
            keyed ? info.instance_handle != HANDLE_NIL &&
                        std::find(handles.begin(), handles.end(), info.instance_handle) == handles.end()
                  : info.instance_handle == HANDLE_NIL;
        ok = (v.check(own_instance) << what << ": lVal " << s.data.lVal
                                    << (keyed ? " has the nil handle or shares its instance with an earlier sample"
                                              : " is not in the nil instance of its keyless type")) &&
             ok;
        handles.push_back(info.instance_handle);
    }
    return ok;
}
template <class T>
bool expect_first_samples(const Samples<T>& got, std::vector<int32_t> want, const std::string& what) {
    Verdict v;
    return expect_first_samples(v, got, std::move(want), what);
}

// The 24 bytes of a handle as they lie in memory, as the positive side reads them.
std::string handle_bytes(const InstanceHandle_t& handle);
// The bytes of a text, without a terminating zero (user, group and topic data).
OctetSeq octets(const std::string& text);
// a, a+1, ..., b
std::vector<int32_t> range(int32_t a, int32_t b);

}  // namespace cp
