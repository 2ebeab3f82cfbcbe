// Every sample counted: the sample-info checks.
#include "want.h"

#include <sstream>

#include "steps.h"

namespace cp {

// ---- every sample counted ------------------------------------------------------------

std::string describe(const Time& t) {
    return std::to_string(t.sec) + " s " + std::to_string(t.nanosec) + " ns";
}

std::string describe(const SampleInfo& i) {
    std::ostringstream out;
    out << (i.valid_data ? "valid" : "no data") << ", sample state " << i.sample_state << ", view state "
        << i.view_state << ", instance state " << i.instance_state << ", generations " << i.disposed_generation_count
        << "/" << i.no_writers_generation_count << ", ranks " << i.sample_rank << "/" << i.generation_rank << "/"
        << i.absolute_generation_rank << ", source timestamp " << describe(i.source_timestamp);
    return out.str();
}

std::string first_sample_note() {
    if (!waited_for_writer_discovery()) return "";
    return " (the key before it went out kWriterDiscoveryMs = " + std::to_string(kWriterDiscoveryMs) +
           " ms after this side saw its match: a writer that had not discovered this side's reader by then "
           "may have dropped what it wrote to it)";
}

bool same_on_the_wire(const Time& got, const Time& given) {
    // The wire carries a time as seconds and a fraction in units of 2^-32 s.
    // A library converts the given nanoseconds to that fraction and back, by
    // truncating or rounding either way: what comes back is the given time
    // when the fraction on the wire was within one unit of the exact one and
    // the conversion back truncated or rounded it to nanoseconds.
    using I = __int128;
    const I ns = I{1000000000};
    const I given_ns = I{given.sec} * ns + given.nanosec;
    const I got_ns = I{got.sec} * ns + got.nanosec;
    const I exact = given_ns << 32;  // the exact fraction, in units of 2^-32 ns
    const I unit = exact / ns;
    for (I f = unit - 1; f <= unit + 2; ++f) {
        const I off = f * ns - exact;  // how far f lies from the exact fraction, in 2^-32 ns
        if (off > ns || off < -ns) continue;  // more than one unit
        const I truncated = (f * ns) >> 32;  // f in ns
        const I rounded = (f * ns + (I{1} << 31)) >> 32;
        if (got_ns == truncated || got_ns == rounded) return true;
    }
    return false;
}

namespace detail {

namespace {
int64_t ms_of(const Time& t) { return static_cast<int64_t>(t.sec) * 1000 + t.nanosec / 1000000; }
}  // namespace

bool expect_info(Verdict& v, const SampleInfo& info, const Time& taken, const Want& want, const std::string& what,
                 std::optional<int32_t> rank) {
    bool ok = true;
    auto expect = [&](bool holds, const std::string& field, int64_t got, int64_t expected) {
        ok = (v.check(holds) << what << ": " << field << " " << got << ", expected " << expected) && ok;
    };
    // Each state wanted is a kind, or a mask of the kinds allowed.
    expect((info.sample_state & want.sample_state) != 0, "sample state", info.sample_state, want.sample_state);
    expect((info.view_state & want.view_state) != 0, "view state", info.view_state, want.view_state);
    expect((info.instance_state & want.instance_state) != 0, "instance state", info.instance_state,
           want.instance_state);
    if (!want.check_generations) {
    } else if (want.rebirths) {
        const int32_t both = info.disposed_generation_count + info.no_writers_generation_count;
        expect(both == *want.rebirths, "generation count (disposed and no writers)", both, *want.rebirths);
    } else {
        expect(info.disposed_generation_count == want.disposed_generation_count, "disposed generation count",
               info.disposed_generation_count, want.disposed_generation_count);
        expect(info.no_writers_generation_count == want.no_writers_generation_count, "no-writers generation count",
               info.no_writers_generation_count, want.no_writers_generation_count);
    }
    // Defined per returned collection: the samples of the same instance that
    // follow this one in what the one read or take returned.
    if (rank) expect(info.sample_rank == *rank, "sample rank", info.sample_rank, *rank);
    expect(info.generation_rank == want.generation_rank, "generation rank", info.generation_rank,
           want.generation_rank);
    expect(info.absolute_generation_rank == want.absolute_generation_rank, "absolute generation rank",
           info.absolute_generation_rank, want.absolute_generation_rank);
    if (want.instance) {
        ok = (v.check(info.instance_handle == *want.instance) << what << ": in another instance than expected") && ok;
    }
    if (want.publication) {
        ok = (v.check(info.publication_handle == *want.publication)
              << what << ": its publication handle is not the matched writer's") &&
             ok;
    }
    if (want.timestamp) {
        ok = (v.check(same_on_the_wire(info.source_timestamp, *want.timestamp))
              << what << ": source timestamp " << describe(info.source_timestamp) << ", expected the given "
              << describe(*want.timestamp) << " (within the wire's 2^-32 s)") &&
             ok;
    } else if (want.check_timestamp &&
               !(want.timestamp_if_disposed && info.instance_state != NOT_ALIVE_DISPOSED_INSTANCE_STATE)) {
        const int64_t age = ms_of(taken) - ms_of(info.source_timestamp);
        ok = (v.check(age <= kStampBeforeMs && age >= -kStampAfterMs)
              << what << ": source timestamp " << describe(info.source_timestamp) << " is " << age
              << " ms before this side took the sample at " << describe(taken)
              << "; a write without a timestamp carries the writer's current time") &&
             ok;
    }
    return ok;
}

}  // namespace detail

}  // namespace cp
