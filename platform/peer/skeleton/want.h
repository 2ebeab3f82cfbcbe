// Every sample counted: what each sample must be, with every field of its
// sample info, and what reading changes on this side's own reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <quorvela/quorvela.h>

#include "FlatRecord.h"
#include "samples.h"
#include "timing.h"
#include "verdict.h"

namespace cp {

using namespace QUORVELA;

// ---- every sample counted ------------------------------------------------------------

// What one sample must be. Built as
//   cp::Want::data(1001).in(h1).from(writer).view(NOT_NEW_VIEW_STATE).at({1234, 5678})
//   cp::Want::notice(NOT_ALIVE_DISPOSED_INSTANCE_STATE).in(h1).from(writer)
// Unless given: not read, in a new view, alive (data) and of generation 0;
// any instance, any writer; a source timestamp that is current (the writer
// gave none): within kStampBeforeMs before this side took it. A timestamp
// given (at) is compared as the wire carries it (same_on_the_wire). A state may
// be a mask of the kinds allowed (say NOT_ALIVE_INSTANCE_STATE, or
// ANY_INSTANCE_STATE for a sample taken after its instance changed).
struct Want {
    bool valid = true;
    int32_t lval = 0;
    std::optional<std::string> sbval;
    SampleStateMask sample_state = NOT_READ_SAMPLE_STATE;
    ViewStateMask view_state = NEW_VIEW_STATE;
    InstanceStateMask instance_state = ALIVE_INSTANCE_STATE;
    std::optional<InstanceHandle_t> instance;
    std::optional<InstanceHandle_t> publication;
    std::optional<Time> timestamp;
    int32_t disposed_generation_count = 0;
    int32_t no_writers_generation_count = 0;
    int32_t generation_rank = 0;
    int32_t absolute_generation_rank = 0;
    bool check_generations = true;
    bool check_timestamp = true;
    bool timestamp_if_disposed = false;
    // When set: only the sum of both generation counts (a writer that left
    // may show as a dispose or as no writers).
    std::optional<int32_t> rebirths;

    // A sample that carries data with this lVal.
    static Want data(int32_t lval) { Want w; w.lval = lval; return w; }
    // A sample without data that tells the instance's state (a dispose,
    // unregister or no-writers notice).
    static Want notice(InstanceStateMask state) {
        Want w;
        w.valid = false;
        w.instance_state = state;
        return w;
    }
    Want& text(const std::string& s) { sbval = s; return *this; }
    Want& in(const InstanceHandle_t& h) { instance = h; return *this; }
    Want& from(const InstanceHandle_t& writer) { publication = writer; return *this; }
    Want& at(const Time& t) { timestamp = t; return *this; }
    Want& read_state(SampleStateMask s) { sample_state = s; return *this; }
    Want& view(ViewStateMask s) { view_state = s; return *this; }
    Want& state(InstanceStateMask s) { instance_state = s; return *this; }
    Want& generations(int32_t disposed, int32_t no_writers) {
        disposed_generation_count = disposed;
        no_writers_generation_count = no_writers;
        return *this;
    }
    Want& ranks(int32_t generation, int32_t absolute_generation) {
        generation_rank = generation;
        absolute_generation_rank = absolute_generation;
        return *this;
    }
    Want& reborn(int32_t n) { rebirths = n; return *this; }
    // Generation counts depend on whether the reader kept the instance
    // (it may drop one that is not alive, has no writers and holds nothing).
    Want& any_generations() { check_generations = false; return *this; }
    // A notice the library makes on its own (a writer's deletion): its
    // source timestamp is not the application's to give.
    Want& any_time() { check_timestamp = false; return *this; }
    // A notice of a writer's deletion: one that shows the instance disposed
    // came from the writer's dispose and carries its time (current); one
    // that shows it without writers the reader made itself, at a time that
    // is not the application's.
    Want& time_if_disposed() { timestamp_if_disposed = true; return *this; }
};

// The samples a failure lists by name before it counts the rest.
inline constexpr std::size_t kListedSamples = 5;

// The values, the first kListedValues of them and how many there are in all
// beyond those.
inline constexpr std::size_t kListedValues = 20;
std::string describe(const std::vector<int32_t>& values);
std::string describe(const SampleInfo& info);
std::string describe(const Time& t);

// For a first sample that is missing: when this test sent a key after which
// the positive side writes (report_before_writes), the wait before it, since
// a writer that has not yet discovered this side's reader may drop what it
// writes to it; empty otherwise.
std::string first_sample_note();

// Whether a source timestamp that came is the given one as the wire carries
// it (in units of 2^-32 s): the same to the nanosecond, or off by what
// truncating or rounding in the conversion to that unit and back makes; more
// than one unit off is another time.
bool same_on_the_wire(const Time& got, const Time& given);

namespace detail {
bool expect_info(Verdict& v, const SampleInfo& info, const Time& taken, const Want& want, const std::string& what,
                 std::optional<int32_t> rank = std::nullopt);
}

// Exactly the samples `want`, invalid ones included, nothing more: each
// wanted sample is paired with the first unpaired one taken of the same
// kind (data with its lVal, or a notice) and instance; within an instance
// they must come in the order wanted, across instances in any order. Each
// pair's sample info and sbVal are checked as the Want says, and its
// sample_rank against the collection the skeleton read or took it in. True
// when all held.
template <class T>
bool expect_samples(Verdict& v, const Samples<T>& got, const std::vector<Want>& want, const std::string& what) {
    std::vector<bool> used(got.size(), false);
    std::vector<std::pair<InstanceHandle_t, std::size_t>> last_index;  // per instance, the latest paired sample
    bool ok = v.check(got.size() == want.size())
              << what << ": " << got.size() << " sample(s) taken, expected " << want.size();
    bool data_came = false;  // a sample with data wanted before this one came
    for (const Want& w : want) {
        std::size_t i = 0;
        for (; i < got.size(); ++i) {
            if (used[i]) continue;
            const SampleInfo& info = got[i].info;
            if (info.valid_data != w.valid) continue;
            if (w.valid && got[i].data.lVal != w.lval) continue;
            if (w.instance && info.instance_handle != *w.instance) continue;
            if (!w.valid && (info.instance_state & w.instance_state) == 0) continue;
            break;
        }
        const std::string which = w.valid ? "the sample lVal " + std::to_string(w.lval) : "the notice";
        if (!(v.check(i < got.size()) << what << ": " << which << " is missing (taken: " << describe(lvals(got))
                                      << ", " << got.size() << " sample(s) with notices)"
                                      << (w.valid && !data_came ? first_sample_note() : std::string()))) {
            ok = false;
            continue;
        }
        data_came = data_came || w.valid;
        used[i] = true;
        const Sample<T>& s = got[i];
        ok = detail::expect_info(v, s.info, s.taken, w, what + ": " + which, s.rank) && ok;
        if (w.valid && w.sbval) {
            ok = (v.check(s.data.sbVal == *w.sbval) << what << ": " << which << " has sbVal \"" << s.data.sbVal
                                                      << "\", expected \"" << *w.sbval << "\"") &&
                 ok;
        }
        bool instance_seen = false;
        for (auto& [h, at] : last_index) {
            if (h != s.info.instance_handle) continue;
            ok = (v.check(at < i) << what << ": " << which << " came before a sample of its instance wanted earlier") &&
                 ok;
            at = i;
            instance_seen = true;
            break;
        }
        if (!instance_seen) last_index.emplace_back(s.info.instance_handle, i);
    }
    // The samples left over: how many, the first few of them, and how many more.
    std::vector<std::size_t> extra;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!used[i]) extra.push_back(i);
    }
    if (!extra.empty()) {
        ok = false;
        auto note = v.fail();
        note << what << ": " << extra.size() << " unexpected sample(s): ";
        for (std::size_t k = 0; k < extra.size() && k < kListedSamples; ++k) {
            const Sample<T>& s = got[extra[k]];
            note << (k ? "; " : "") << (s.info.valid_data ? "lVal " + std::to_string(s.data.lVal) : std::string("notice"))
                 << ", " << describe(s.info);
        }
        if (extra.size() > kListedSamples) note << "; and " << extra.size() - kListedSamples << " more";
    }
    return ok;
}

// lookup_instance ties each sample's instance to its key: for each sample
// with data, the reader's lookup_instance of its key returns the sample's
// instance handle (the nil handle for a keyless type) and get_key_value of
// that handle returns the key. True when all held.
template <class T>
bool expect_instances(Verdict& v, DataReader* reader, const Samples<T>& got, const std::string& what) {
    constexpr bool keyed = !std::is_same_v<T, FlatRecord>;
    bool ok = true;
    for (const Sample<T>& s : got) {
        if (!s.info.valid_data || reader == nullptr) continue;
        T key;
        key.lVal = s.data.lVal;
        const InstanceHandle_t found = reader->lookup_instance(&key);
        ok = (v.check(found == (keyed ? s.info.instance_handle : HANDLE_NIL))
              << what << ": lookup_instance of key " << key.lVal << " returned "
              << (found == HANDLE_NIL ? "the nil handle" : "another handle") << ", not the instance of its sample")
             && ok;
        if (!keyed || s.info.instance_handle == HANDLE_NIL) continue;
        T holder;
        holder.lVal = -1;
        const ReturnCode_t rc = reader->get_key_value(&holder, s.info.instance_handle);
        ok = (v.check(rc == RETCODE_OK && holder.lVal == s.data.lVal)
              << what << ": get_key_value of the instance of lVal " << s.data.lVal << " returned " << rc
              << " with key " << holder.lVal) &&
             ok;
    }
    return ok;
}

// What reading changes on this side's own reader, after gather: reads
// everything it holds now (without taking), which must be exactly the
// samples gathered (`first`, in any order across instances), each now READ
// and, since its instance has been read, in a view that is not new; then
// takes them all, which returns the same. True when all held.
template <class T>
bool expect_reread(Verdict& v, DataReader* reader, const Samples<T>& first, const std::string& what) {
    bool ok = true;
    const auto same = [](const Sample<T>& a, const Sample<T>& b) {
        return a.info.valid_data == b.info.valid_data && a.info.instance_handle == b.info.instance_handle &&
               a.info.instance_state == b.info.instance_state && (!a.info.valid_data || a.data.lVal == b.data.lVal);
    };
    for (const char* access : {"read", "take"}) {
        const bool taking = access[0] == 't';
        const Samples<T> again = taking ? take<T>(reader) : read<T>(reader);
        std::vector<bool> used(first.size(), false);
        std::size_t paired = 0;
        for (const Sample<T>& a : again) {
            for (std::size_t i = 0; i < first.size(); ++i) {
                if (used[i] || !same(a, first[i])) continue;
                used[i] = true;
                ++paired;
                break;
            }
            ok = (v.check(a.info.sample_state == READ_SAMPLE_STATE && a.info.view_state == NOT_NEW_VIEW_STATE)
                  << what << ": a " << access << " after the first read shows "
                  << (a.info.valid_data ? "lVal " + std::to_string(a.data.lVal) : std::string("a notice")) << " "
                  << describe(a.info) << ", expected READ and NOT_NEW") &&
                 ok;
        }
        ok = (v.check(paired == first.size() && again.size() == first.size())
              << what << ": a " << access << " after the first read returned " << again.size() << " sample(s), "
              << paired << " of the " << first.size() << " read before") &&
             ok;
    }
    return ok;
}

}  // namespace cp
