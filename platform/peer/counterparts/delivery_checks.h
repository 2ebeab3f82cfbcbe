// What the counterparts of the data-delivery policies share beyond the
// skeleton: times on the clock that source timestamps are taken from, the
// samples one writer wrote as the skeleton's wanted samples, what reliable
// delivery promises from a writer's keep-last history, the samples of several
// writers in the order they came, and the reader statuses that count samples.
#pragma once

#include <quorvela/quorvela.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
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

// For a message about a sample that did not come: when this side waited
// for the writers' discovery before its key, how long (the suite's one
// timing assumption), since a first sample missing may mean it was short.
inline std::string discovery_note() {
    if (!cp::waited_for_writer_discovery()) return "";
    return " (before its key this side let cp::kWriterDiscoveryMs = " + std::to_string(cp::kWriterDiscoveryMs) +
           " ms pass since it saw the match)";
}

// What a reliable writer promises a reader matched before it wrote:
// `written` in its order, of which the samples still in the writer's history
// once it stops writing (its last `kept`) must all arrive, while earlier ones
// may have been replaced in that history before they were delivered. So
// `got` (lVal in the order received) is an increasing run of `written` that
// ends with its last `kept`, each once. True when it is.
inline bool kept_tail(cp::Verdict& v, const std::vector<int32_t>& got, const std::vector<int32_t>& written,
                      std::size_t kept, const std::string& what) {
    std::size_t at = 0;
    bool in_order = true;
    for (int32_t value : got) {
        while (at < written.size() && written[at] != value) ++at;
        if (at == written.size()) {
            in_order = false;
            break;
        }
        ++at;
    }
    bool ok = v.check(in_order) << what << ": received lVal " << cp::describe(got)
                                << ", not a run of what the writer wrote, in its order, each once";
    const std::size_t from = written.size() > kept ? written.size() - kept : 0;
    const std::vector<int32_t> tail(written.begin() + static_cast<std::ptrdiff_t>(from), written.end());
    const bool has_tail = got.size() >= tail.size() &&
                          std::equal(tail.begin(), tail.end(), got.end() - static_cast<std::ptrdiff_t>(tail.size()));
    ok = (v.check(has_tail) << what << ": received lVal " << cp::describe(got) << ", which does not end with "
                            << cp::describe(tail) << ", what the writer's history of depth " << kept
                            << " still holds once it stops writing") &&
         ok;
    return ok;
}

// The samples of several writers in the order a reader may show them: each
// writer's own samples in its order, those of different writers in whatever
// order they came. Returns `want` reordered to follow `got` where it can
// (a wanted sample is placed when it matches the sample that came and is
// the next one wanted of its writer, its `publication`; one of no given
// writer may be placed whenever it matches), the rest after it in their
// order: the skeleton's expect_samples then fixes the order within each
// writer only.
template <class T>
std::vector<cp::Want> in_arrival_order(const cp::Samples<T>& got, const std::vector<cp::Want>& want) {
    std::vector<bool> placed(want.size(), false);
    std::vector<cp::Want> out;
    for (const cp::Sample<T>& s : got) {
        std::vector<InstanceHandle_t> passed;  // writers whose next wanted sample is not this one
        for (std::size_t i = 0; i < want.size(); ++i) {
            const cp::Want& w = want[i];
            if (placed[i] || (w.publication && std::find(passed.begin(), passed.end(), *w.publication) != passed.end()))
                continue;
            const bool same = w.valid == s.info.valid_data && (!w.valid || w.lval == s.data.lVal) &&
                              (!w.publication || *w.publication == s.info.publication_handle) &&
                              (!w.instance || *w.instance == s.info.instance_handle);
            if (same) {
                placed[i] = true;
                out.push_back(w);
                break;
            }
            if (w.publication) passed.push_back(*w.publication);
        }
    }
    for (std::size_t i = 0; i < want.size(); ++i)
        if (!placed[i]) out.push_back(want[i]);
    return out;
}

// Samples lost: never received. A sample the reader received is not lost,
// whatever it did with it later (replaced it in its keep-last history,
// rejected it, filtered it out): at most `missing` (those of the writers'
// samples that did not come) are counted. True when the status says so.
inline bool lost_at_most(cp::Verdict& v, DataReader* reader, int32_t missing, const std::string& what) {
    if (reader == nullptr) return false;
    SampleLostStatus lost;
    const ReturnCode_t rc = reader->get_sample_lost_status(lost);
    bool ok = v.equal(rc, RETCODE_OK) << what << ": get_sample_lost_status";
    ok = (v.check(lost.total_count >= 0 && lost.total_count <= missing)
          << what << ": the sample-lost status counts " << lost.total_count << " lost sample(s), but only " << missing
          << " of what the positive side wrote did not come") &&
         ok;
    return ok;
}

// What one keep-last writer of depth `kept` that wrote `wrote` left this
// side's reader (see kept_tail), each sample with its sample info, and no
// sample that came counted lost. True when all held.
template <class T>
bool expect_kept(cp::Verdict& v, DataReader* reader, const cp::Samples<T>& got, const std::vector<int32_t>& wrote,
                 std::size_t kept, const InstanceHandle_t& writer, const std::string& what) {
    const std::vector<int32_t> came = cp::lvals(got);
    cp::log_line(what + ": " + std::to_string(came.size()) + " of " + std::to_string(wrote.size()) + " samples came");
    bool ok = kept_tail(v, came, wrote, kept, what) && cp::expect_samples(v, got, written(came, writer), what);
    ok = lost_at_most(v, reader, static_cast<int32_t>(wrote.size() - came.size()), what) && ok;
    return ok;
}

// The lVal of the samples with data that `writer` wrote, in the order received.
template <class T>
std::vector<int32_t> from_writer(const cp::Samples<T>& got, const InstanceHandle_t& writer) {
    std::vector<int32_t> out;
    for (const auto& s : got)
        if (s.info.valid_data && s.info.publication_handle == writer) out.push_back(s.data.lVal);
    return out;
}

}  // namespace delivery
