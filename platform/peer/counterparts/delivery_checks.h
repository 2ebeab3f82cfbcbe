// Checks shared by the counterparts of the data-delivery policies: what a
// positive writer announces, the sample infos of what it wrote, and times on
// the clock that source timestamps are taken from.
#pragma once

#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <set>
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

// A field of announced QoS, for a failure message.
inline std::string show(const Duration_t& d) {
    return "{" + std::to_string(d.sec) + " s, " + std::to_string(d.nanosec) + " ns}";
}
inline std::string show(const std::string& s) { return "\"" + s + "\""; }
inline std::string show(int32_t v) { return std::to_string(v); }

// What a matched positive writer announces against the QoS its test gave it:
// the policies that the publication data carries. Defaults count: a test
// that sets only the deadline announces the default of everything else.
inline bool expect_announced(const cp::Matched<PublicationBuiltinTopicData>& m, const std::string& topic,
                             const DataWriterQos& want, const std::string& what,
                             const std::string& type = "FlatRecord") {
    const PublicationBuiltinTopicData& d = m.data;
    bool ok = true;
    auto same = [&](bool equal, const char* field, auto got, auto expected) {
        EXPECT_TRUE(equal) << what << ": announced " << field << " " << show(got) << ", expected " << show(expected);
        ok = ok && equal;
    };
    same(d.topic_name == topic, "topic", d.topic_name, topic);
    same(d.type_name == type, "type", d.type_name, type);
    same(d.durability.kind == want.durability.kind, "durability", int32_t{d.durability.kind},
         int32_t{want.durability.kind});
    same(d.deadline.period == want.deadline.period, "deadline", d.deadline.period, want.deadline.period);
    same(d.liveliness.kind == want.liveliness.kind, "liveliness kind", int32_t{d.liveliness.kind},
         int32_t{want.liveliness.kind});
    same(d.liveliness.lease_duration == want.liveliness.lease_duration, "lease", d.liveliness.lease_duration,
         want.liveliness.lease_duration);
    same(d.reliability.kind == want.reliability.kind, "reliability", int32_t{d.reliability.kind},
         int32_t{want.reliability.kind});
    same(d.lifespan.duration == want.lifespan.duration, "lifespan", d.lifespan.duration, want.lifespan.duration);
    same(d.ownership.kind == want.ownership.kind, "ownership", int32_t{d.ownership.kind},
         int32_t{want.ownership.kind});
    same(d.ownership_strength.value == want.ownership_strength.value, "ownership strength",
         d.ownership_strength.value, want.ownership_strength.value);
    same(d.destination_order.kind == want.destination_order.kind, "destination order",
         int32_t{d.destination_order.kind}, int32_t{want.destination_order.kind});
    return ok;
}

// The one positive writer the reader has matched, checked against `want`;
// its handle (nil when there is not exactly one).
inline InstanceHandle_t announced_writer(DataReader* reader, const std::string& topic, const DataWriterQos& want,
                                         bool& ok, const std::string& type = "FlatRecord") {
    const auto pubs = cp::matched_publications(reader);
    EXPECT_EQ(pubs.size(), 1u) << topic << ": matched writers";
    if (pubs.size() != 1) {
        ok = false;
        return HANDLE_NIL;
    }
    ok = expect_announced(pubs.front(), topic, want, topic + " writer", type) && ok;
    return pubs.front().handle;
}

// The keyless samples a reader has returned by read so far, by lVal: a
// sample is not read the first time a read or take returns it, and read
// every time after.
using Seen = std::set<int32_t>;

// Reads (without taking) until `done` holds, or the time-out passes, as
// cp::settle does, checking the sample states of every read on the way;
// adds what it read to `seen`. False when a sample state was wrong.
template <class T>
bool settle_read(DataReader* reader, const std::function<bool(const cp::Samples<T>&)>& done, int timeout_ms,
                 Seen& seen) {
    bool ok = true;
    cp::wait_until(
        [&] {
            const cp::Samples<T> got = cp::read<T>(reader);
            for (const cp::Sample<T>& s : got) {
                const bool before = seen.count(s.data.lVal) != 0;
                const SampleStateKind want = before ? READ_SAMPLE_STATE : NOT_READ_SAMPLE_STATE;
                EXPECT_EQ(s.info.sample_state, want) << "lVal " << s.data.lVal << (before ? ", read before" : "");
                ok = ok && s.info.sample_state == want;
                seen.insert(s.data.lVal);
            }
            return done(got);
        },
        timeout_ms);
    return ok;
}

// Samples as a take or read of what one writer wrote delivers them: each
// valid, read only if it is in `seen`, of an alive instance, from
// `publication`, stamped at the source no later than now and not long
// before `since_ns`, with the empty sbVal it was written with.
template <class T>
bool expect_fresh_from(const cp::Samples<T>& got, const InstanceHandle_t& publication, int64_t since_ns,
                       const std::string& what, const Seen& seen = {}) {
    bool ok = true;
    const int64_t now = now_ns();
    for (const cp::Sample<T>& s : got) {
        const SampleInfo& i = s.info;
        const int64_t ts = ns(i.source_timestamp);
        const SampleStateKind state = seen.count(s.data.lVal) != 0 ? READ_SAMPLE_STATE : NOT_READ_SAMPLE_STATE;
        const bool good = i.valid_data && i.sample_state == state &&
                          i.instance_state == ALIVE_INSTANCE_STATE && i.publication_handle == publication &&
                          ts <= now && ts >= since_ns - 5000000000LL && s.data.sbVal.empty();
        EXPECT_TRUE(good) << what << ": lVal " << s.data.lVal << " valid " << i.valid_data << ", sample state "
                          << i.sample_state << ", instance state " << i.instance_state << ", from the writer "
                          << (i.publication_handle == publication) << ", source time " << ms_between(ts, now)
                          << " ms before now, sbVal \"" << s.data.sbVal << "\"";
        ok = ok && good;
    }
    return ok;
}

// The values as received, for the log.
template <class T>
void log_sequence(const std::string& what, const cp::Samples<T>& got) {
    std::cout << "[" << what << "] received " << cp::describe(cp::lvals(got)) << std::endl;
}

}  // namespace delivery
