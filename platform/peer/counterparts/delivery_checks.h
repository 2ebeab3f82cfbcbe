// What the counterparts of the data-delivery policies share beyond the
// skeleton: times on the clock that source timestamps are taken from, and
// the samples one writer wrote as the skeleton's wanted samples.
#pragma once

#include <quorvela/quorvela.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "counterpart.h"

namespace delivery {

using namespace QUORVELA;

// Now and source timestamps, in nanoseconds on the system clock.
inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
inline int64_t ns(const Time& t) { return int64_t{t.sec} * 1000000000 + t.nanosec; }
inline int64_t ms_between(int64_t from_ns, int64_t to_ns) { return (to_ns - from_ns) / 1000000; }

// The samples `values` of one keyless instance, written by `writer` with an
// empty sbVal and a current timestamp, alive, not read, the first in the
// view `first_view` (new, unless the instance was accessed before), the
// later ones in whichever view the batch they were taken in had; `read`
// when this side has read them all before (read, the instance's view no
// longer new).
inline std::vector<cp::Want> written(const std::vector<int32_t>& values, const InstanceHandle_t& writer,
                                     bool read = false, ViewStateKind first_view = NEW_VIEW_STATE) {
    std::vector<cp::Want> out;
    for (int32_t value : values) {
        cp::Want w = cp::Want::data(value).from(writer).text("");
        if (read) w.read_state(READ_SAMPLE_STATE).view(NOT_NEW_VIEW_STATE);
        else w.view(out.empty() ? first_view : ANY_VIEW_STATE);
        out.push_back(w);
    }
    return out;
}

// The handle of the one positive endpoint matched (nil when there is none).
template <class Data>
InstanceHandle_t only(const std::vector<cp::Matched<Data>>& matched) {
    return matched.size() == 1 ? matched.front().handle : HANDLE_NIL;
}

// The positive side's one writer on `topic`, matched alone by `reader` and
// announcing what `qos` sets (see cp::expect_matched); its handle.
inline InstanceHandle_t one_writer(cp::Verdict& v, cp::Matches& m, DataReader* reader, const std::string& topic,
                                   const DataWriterQos& qos = DATAWRITER_QOS_DEFAULT,
                                   const std::string& type = "FlatRecord") {
    return only(cp::expect_matched(v, m, reader, {cp::announced_writer(topic, type, qos)}, {}, "the writer"));
}

}  // namespace delivery
