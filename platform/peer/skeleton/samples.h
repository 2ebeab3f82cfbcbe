// Samples as this side takes or reads them, and waiting for them as an
// application does: on a wait set, bounded, ended when the positive side goes.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <quorvela/quorvela.h>

#include "steps.h"
#include "timing.h"
#include "verdict.h"

namespace cp {

using namespace QUORVELA;

// ---- samples -----------------------------------------------------------------------

template <class T>
struct Sample {
    T data;
    SampleInfo info;
    Time taken{};  // this side's clock when the sample was read or taken
    // The sample_rank its info must hold: how many samples of its instance
    // follow it in the collection that the one read or take returned it in
    // (known when the skeleton read or took it).
    std::optional<int32_t> rank{};
};
template <class T>
using Samples = std::vector<Sample<T>>;

// The system clock now, as a DDS time.
Time now();

// The most samples one step collects. No step of the positive side sends
// more than about a hundred; a library that returns the same samples for ever
// (a read that leaves them unread) or floods the reader would otherwise cost
// the step as many as the CPU can read until its deadline.
inline constexpr std::size_t kStepSamples = 2000;

namespace detail {
template <class T>
Samples<T> access(DataReader* reader, bool take, SampleStateMask sample_states, ViewStateMask view_states,
                  InstanceStateMask instance_states) {
    Samples<T> out;
    if (reader == nullptr) return out;
    for (;;) {
        SequenceData<T> data;
        SampleInfoSeq infos;
        const ReturnCode_t rc =
            take ? reader->take(data, infos, 1000, sample_states, view_states, instance_states)
                 : reader->read(data, infos, 1000, sample_states, view_states, instance_states);
        if (rc == RETCODE_NO_DATA) return out;
        if (rc != RETCODE_OK) {
            ADD_FAILURE() << (take ? "take" : "read") << " returned " << rc;
            return out;
        }
        if (data.length() != infos.length()) {
            ADD_FAILURE() << (take ? "take" : "read") << " returned " << data.length() << " samples and "
                          << infos.length() << " sample infos";
            return out;
        }
        const Time when = now();
        const std::size_t first = out.size();
        for (uint32_t i = 0; i < data.length(); ++i) out.push_back(Sample<T>{data[i], infos[i], when});
        // Each sample's rank in this call's collection, from its end.
        std::vector<std::pair<InstanceHandle_t, int32_t>> following;
        for (std::size_t i = out.size(); i-- > first;) {
            auto it = std::find_if(following.begin(), following.end(),
                                   [&](const auto& f) { return f.first == out[i].info.instance_handle; });
            if (it == following.end()) it = following.insert(following.end(), {out[i].info.instance_handle, 0});
            out[i].rank = it->second++;
        }
        // A read returns the same samples again; one call holds all there are.
        // A take that always returns a full call is cut at the step's bound.
        if (!take || data.length() < 1000 || out.size() >= kStepSamples) return out;
    }
}

// Appends `batch` to `got` up to kStepSamples; false (and a failure in v)
// when the batch goes past that bound.
template <class T>
bool within_bound(Verdict& v, Samples<T>& got, Samples<T>&& batch) {
    const std::size_t room = got.size() < kStepSamples ? kStepSamples - got.size() : 0;
    const bool fits = batch.size() <= room;
    if (!fits) batch.resize(room);
    got.insert(got.end(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
    if (!fits) {
        v.fail() << "the reader returned more than " << kStepSamples
                 << " samples in this step, which sends far fewer (a read that returns the same samples "
                    "again, or a flooded reader); collecting stopped there";
    }
    return fits;
}
}  // namespace detail

// Everything the reader holds in the given states, oldest first per instance.
template <class T>
Samples<T> take(DataReader* reader, SampleStateMask s = ANY_SAMPLE_STATE, ViewStateMask v = ANY_VIEW_STATE,
                InstanceStateMask i = ANY_INSTANCE_STATE) {
    return detail::access<T>(reader, true, s, v, i);
}
template <class T>
Samples<T> read(DataReader* reader, SampleStateMask s = ANY_SAMPLE_STATE, ViewStateMask v = ANY_VIEW_STATE,
                InstanceStateMask i = ANY_INSTANCE_STATE) {
    return detail::access<T>(reader, false, s, v, i);
}

// Waiting for data as an application does: a wait set with a read condition
// on the reader (any sample, view and instance state unless given).
class DataWait {
public:
    // ends_on_close false: the wait goes on after the positive side has
    // closed the connection (for what its last deletion sent).
    explicit DataWait(DataReader* reader, SampleStateMask s = ANY_SAMPLE_STATE, ViewStateMask v = ANY_VIEW_STATE,
                      InstanceStateMask i = ANY_INSTANCE_STATE, bool ends_on_close = true);
    ~DataWait();
    DataWait(const DataWait&) = delete;
    DataWait& operator=(const DataWait&) = delete;

    // Blocks until the read condition triggers (true), or the time-out
    // passes or the positive side has closed the connection (false). A
    // wait set that wakes without a triggered condition fails in v, and so
    // does one that runs out although a watcher thread saw its read condition
    // triggered more than a second before the end (a sound one wakes then).
    bool wait(Verdict& v, int timeout_ms);
    bool ok() const { return condition_ != nullptr; }

private:
    void watch();

    DataReader* reader_;
    const bool ends_on_close_;
    ReadCondition* condition_ = nullptr;
    WaitSet waitset_;
    // Triggered by the watcher once the positive side has closed the
    // connection: it ends a wait.
    GuardCondition closed_;
    // The watcher's first sighting of the read condition triggered during
    // the current wait (steady clock, ns; 0: none).
    std::atomic<int64_t> triggered_since_{0};
    std::atomic<bool> waiting_{false};
    std::atomic<bool> stopping_{false};
    std::thread watcher_;
};

namespace detail {
template <class T>
Samples<T> collect_with(Verdict& v, DataReader* reader, const std::function<bool(const Samples<T>&)>& done,
                        int timeout_ms, int grace_ms, bool take_them, bool ends_on_close = true) {
    Samples<T> got;
    // Taking: any sample wakes; reading: only unread ones (a read marks
    // what it returns as read, so each read returns what is new).
    DataWait w(reader, take_them ? ANY_SAMPLE_STATE : NOT_READ_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE,
               ends_on_close);
    bool bounded = true;  // false once kStepSamples came: nothing more is collected
    auto more = [&]() -> std::size_t {
        if (!bounded) return 0;
        Samples<T> batch = take_them ? take<T>(reader) : read<T>(reader, NOT_READ_SAMPLE_STATE);
        const std::size_t n = batch.size();
        bounded = within_bound(v, got, std::move(batch));
        return n;
    };
    // A wake that found nothing (a condition that stays triggered without
    // data it selects) does not spin: the next wait comes a poll later.
    auto woke = [&](int left_ms) {
        if (!w.wait(v, left_ms)) return false;
        if (more() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        return bounded;
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    more();  // what is there already
    while (bounded && !done(got) && w.ok()) {
        const int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0 || !woke(left)) break;
    }
    if (!bounded) return got;
    if (!done(got)) {
        // A wait set that did not wake on data that was there has failed in
        // DataWait::wait; what comes now came as the wait ended.
        const std::size_t late = more();
        log_line((late > 0 ? std::to_string(late) + " sample(s) came as the wait ended" : std::string("no data came")) +
                 " (" + std::to_string(timeout_ms) + " ms, " + std::to_string(got.size()) + " sample(s) in all)");
        return got;
    }
    if (grace_ms > 0 && !positive_gone()) {
        const auto grace_end = Clock::now() + std::chrono::milliseconds(grace_ms);
        for (;;) {
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(grace_end - Clock::now()).count());
            if (left <= 0 || !w.wait(v, left)) break;
            if (more() == 0 || !bounded) break;  // woken without data: failed in wait already
        }
    }
    more();
    return got;
}
}  // namespace detail

// Takes, woken by a wait set, until `done` holds for everything taken so far
// or the time-out passes, then keeps taking for grace_ms, so that samples
// which must not come are caught too. Ends early (after one last take) when
// the positive side has gone. A wait set that did not wake though the reader
// held data fails in v; data that did not come is only logged (the caller's
// checks of what came fail then).
template <class T>
Samples<T> collect(Verdict& v, DataReader* reader, const std::function<bool(const Samples<T>&)>& done,
                   int timeout_ms, int grace_ms = kGraceMs) {
    return detail::collect_with<T>(v, reader, done, timeout_ms, grace_ms, true);
}
template <class T>
Samples<T> collect(DataReader* reader, const std::function<bool(const Samples<T>&)>& done, int timeout_ms,
                   int grace_ms = kGraceMs) {
    Verdict v("collect");
    return collect<T>(v, reader, done, timeout_ms, grace_ms);
}
// collect, but going on after the positive side has closed the connection:
// what a writer sent right before its deletion, with no key after it, may
// still be on its way then. No grace.
template <class T>
Samples<T> collect_past_close(Verdict& v, DataReader* reader, const std::function<bool(const Samples<T>&)>& done,
                              int timeout_ms) {
    return detail::collect_with<T>(v, reader, done, timeout_ms, 0, true, false);
}

// As collect, but reads instead of taking: the samples stay in the reader
// (read now), for expect_reread and a take after it.
template <class T>
Samples<T> gather(Verdict& v, DataReader* reader, const std::function<bool(const Samples<T>&)>& done,
                  int timeout_ms, int grace_ms = kGraceMs) {
    return detail::collect_with<T>(v, reader, done, timeout_ms, grace_ms, false);
}

// Takes until the reader has no matched writer left (the positive side has
// deleted its writer) or the time-out passes, then once more. Unlike
// collect it goes on after the positive side has closed the connection: what
// a writer sent right before its deletion, with no key after it, may still be
// on its way then. With `done`: once the writer is gone, takes on (woken by
// the reader, within the same time-out) until `done` holds for all taken, as
// a reader may hand out what a writer sent last after it shows that writer
// gone (the instance state the writer's end leaves, say).
template <class T>
Samples<T> collect_until_unmatched(Verdict& v, DataReader* reader, int timeout_ms,
                                   const std::function<bool(const Samples<T>&)>& done = nullptr) {
    Samples<T> got;
    bool bounded = true;
    auto more = [&] {
        if (bounded) bounded = detail::within_bound(v, got, take<T>(reader));
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (bounded && matched_count(reader) > 0 && Clock::now() < deadline) {
        more();
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    more();
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (done && bounded && !done(got) && left > 0) {
        Samples<T> rest = collect_past_close<T>(
            v, reader,
            [&](const Samples<T>& later) {
                Samples<T> all = got;
                all.insert(all.end(), later.begin(), later.end());
                return done(all);
            },
            left);
        detail::within_bound(v, got, std::move(rest));
    }
    return got;
}

// Reads (without taking), woken by a wait set on unread samples, until
// `done` holds for what the reader holds, or the time-out passes; true when
// it held.
template <class T>
bool settle(DataReader* reader, const std::function<bool(const Samples<T>&)>& done, int timeout_ms) {
    Verdict v("settle");
    DataWait w(reader, NOT_READ_SAMPLE_STATE);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done(read<T>(reader))) return true;
        const int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0 || !w.ok() || !w.wait(v, left)) return done(read<T>(reader));
        // Woken while `done` does not hold yet: a read that left its samples
        // unread wakes the wait set at once, and it is not spun on.
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

// The lVal of each sample that carries data, in order.
template <class T>
std::vector<int32_t> lvals(const Samples<T>& samples) {
    std::vector<int32_t> out;
    for (const Sample<T>& s : samples) {
        if (s.info.valid_data) out.push_back(s.data.lVal);
    }
    return out;
}

// Predicates for collect and settle.
template <class T>
std::function<bool(const Samples<T>&)> has_lval(int32_t lVal) {
    return [lVal](const Samples<T>& got) {
        for (const Sample<T>& s : got) {
            if (s.info.valid_data && s.data.lVal == lVal) return true;
        }
        return false;
    };
}
template <class T>
std::function<bool(const Samples<T>&)> valid_count(std::size_t n) {
    return [n](const Samples<T>& got) { return lvals(got).size() >= n; };
}
// At least n samples, invalid ones (dispose, unregister and no-writers
// notices) counted too.
template <class T>
std::function<bool(const Samples<T>&)> sample_count(std::size_t n) {
    return [n](const Samples<T>& got) { return got.size() >= n; };
}

}  // namespace cp
