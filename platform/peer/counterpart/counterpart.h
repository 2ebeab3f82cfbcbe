// The skeleton every counterpart is written on: its entities, bounded waits
// for matches and samples, and checks gathered in verdicts, whose keys are
// reported only when every check passed.
//
//   PEER_TEST(HistoryQosPolicyTestNegative, ENABLED_HistoryQosPolicyNegative, "HistoryQosPolicy") {
//       cp::Entities e;
//       DataReader* reader = e.reader("history_topic_name", cp::reliable_reader(10));
//       ASSERT_TRUE(cp::ready());
//       cp::Verdict matched("match");
//       cp::Matches matches(reader);
//       const auto writers = cp::expect_matched(matched, matches, reader,
//                                               {cp::announced_writer("history_topic_name", "FlatRecord", qos)}, {}, "writer");
//       if (!cp::report("reader_match_finish", matched) || writers.empty()) return;
//       if (!cp::await("write_finish", 15000)) return;
//       cp::Verdict v("keep last 10");
//       const auto got = cp::collect<FlatRecord>(v, reader, cp::has_lval<FlatRecord>(9), 2000);
//       std::vector<cp::Want> want;
//       for (int32_t i = 0; i <= 9; ++i) want.push_back(cp::Want::data(i).from(writers[0].handle));
//       cp::expect_samples(v, got, want, "keep last 10");
//       cp::report("reader_take_finish", v);    // sent only when every check passed
//       cp::Verdict gone("deletion");
//       matches.gone(gone);                     // the positive writer's match ends
//       e.release();                            // nothing of this test is left for the next one
//   }
//
// A check that fails is a googletest failure of the counterpart at once
// (a withheld key fails it too). Every wait is bounded, and every wait for
// data ends as soon as the positive side has closed the connection: a
// counterpart whose positive side has gone does not linger with its
// entities in domain 0.
#pragma once

#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <iterator>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "FlatRecord.h"
#include "verdict.h"

namespace cp {

using namespace QUORVELA;

inline constexpr int kMatchMs = 8000;   // a match the positive side is waiting for
inline constexpr int kStageMs = 9000;   // one step of the positive side, under its own 10000 ms waits
inline constexpr int kPollMs = 10;
inline constexpr int kGraceMs = 300;    // listening on for samples that must not come
inline constexpr int kGoneMs = 8000;    // a match ending after the positive side deleted its endpoint
// A source timestamp the writer did not give is the writer's clock when it
// wrote: at most this long before the sample was taken here (same machine)...
inline constexpr int kStampBeforeMs = 10000;
// ...and not after it (the clocks are one; a little for rounding).
inline constexpr int kStampAfterMs = 1000;

// ---- entities ---------------------------------------------------------------

// A participant in domain 0 and everything this counterpart makes in it. The
// types "FlatRecord" and "KeyedType" are registered when a topic first needs
// them. Each creation that fails is recorded as a test failure and returns
// null; ok() tells whether all succeeded. release() (also run by the
// destructor) deletes everything at once, finalizes the factory and tells the
// dispatcher that this test holds no entities any more.
class Entities {
public:
    explicit Entities(const DomainParticipantQos& qos = PARTICIPANT_QOS_DEFAULT);
    ~Entities();
    Entities(const Entities&) = delete;
    Entities& operator=(const Entities&) = delete;

    DomainParticipant* participant() const { return participant_; }

    // The topic of that name, created on first use with the given type and QoS.
    Topic* topic(const std::string& name, const std::string& type = "FlatRecord",
                 const TopicQos& qos = TOPIC_QOS_DEFAULT);
    Publisher* publisher(const PublisherQos& qos = PUBLISHER_QOS_DEFAULT);
    Subscriber* subscriber(const SubscriberQos& qos = SUBSCRIBER_QOS_DEFAULT);
    // A reader or writer on the named topic (created as needed with `type`),
    // in the given subscriber or publisher, or else in one shared default one.
    DataReader* reader(const std::string& topic_name, const DataReaderQos& qos, Subscriber* subscriber = nullptr,
                       const std::string& type = "FlatRecord");
    DataWriter* writer(const std::string& topic_name, const DataWriterQos& qos, Publisher* publisher = nullptr,
                       const std::string& type = "FlatRecord");

    bool ok() const { return ok_; }
    bool released() const { return released_; }
    void release();

private:
    bool fail(const std::string& what);

    DomainParticipantFactory* factory_ = nullptr;
    DomainParticipant* participant_ = nullptr;
    Publisher* default_publisher_ = nullptr;
    Subscriber* default_subscriber_ = nullptr;
    std::vector<std::string> registered_;
    std::vector<Topic*> topics_;
    bool ok_ = true;
    bool released_ = false;
};

// ---- QoS ----------------------------------------------------------------------

// A reliable reader keeping the last `depth` samples per instance (0: all).
DataReaderQos reliable_reader(int32_t depth = 0);

// ---- the positive side ----------------------------------------------------------

// Sends "wait_for_completion": this side is set up. Send it whatever the set-up
// gave: the positive side waits for it without a limit.
bool ready();
// Waits for a key of the positive side; a key that does not come in time (or
// a connection that ended) is a failure of this test.
bool await(const std::string& key, int timeout_ms = kStageMs, std::string* value = nullptr);
// Reports a check: logs it and sends `key` (with `value`) only when it
// passed, so that the positive side's own wait fails with it; a key withheld
// is a failure of this test too. Returns `passed`.
bool report(const std::string& key, bool passed, const std::string& value = "default");
// True once the positive side has closed the connection (reads what is
// there without waiting).
bool positive_gone();
// True once the positive side has sent `key` (reads what is there without
// waiting); the key stays for await().
bool arrived(const std::string& key);
// Waits until the positive side has closed the connection (it closes once
// it has deleted its entities), taking whatever it still sends; true when
// it closed within the time-out.
bool await_close(int timeout_ms = 2 * kStageMs);
// One line in this test's log.
void log_line(const std::string& line);

// ---- bounded waits ---------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// Polls `holds` every poll_ms until it is true (true), the time-out passes or
// the positive side has gone (false). `holds` is always tried at least once.
bool wait_until(const std::function<bool()>& holds, int timeout_ms, int poll_ms = kPollMs);
// Sleeps ms, or less when the positive side closes the connection meanwhile;
// true when the whole time passed.
bool pause(int ms);

std::size_t matched_count(DataReader* reader);
std::size_t matched_count(DataWriter* writer);
// At least n matched writers (reader) or readers (writer) within the time-out.
bool wait_matched(DataReader* reader, std::size_t n, int timeout_ms = kMatchMs);
bool wait_matched(DataWriter* writer, std::size_t n, int timeout_ms = kMatchMs);

// ---- matched endpoints ------------------------------------------------------------

// One endpoint of the other side as this side has matched it: its handle and
// its discovery data.
template <class Data>
struct Matched {
    InstanceHandle_t handle;
    Data data;
};
// What the reader (writer) has matched now, in list order. A handle whose
// data cannot be looked up is a failure of the test and is left out.
std::vector<Matched<PublicationBuiltinTopicData>> matched_publications(DataReader* reader);
std::vector<Matched<SubscriptionBuiltinTopicData>> matched_subscriptions(DataWriter* writer);

// The discovery data of a matched endpoint: its key is its handle's value,
// and its topic, type, user data and group data are the ones given.
template <class Data>
bool expect_endpoint(const Matched<Data>& m, const std::string& topic, const std::string& type,
                     const std::string& user_data, const std::string& group_data, const std::string& what) {
    const std::string user(m.data.user_data.value.begin(), m.data.user_data.value.end());
    const std::string group(m.data.group_data.value.begin(), m.data.group_data.value.end());
    const bool key = std::equal(std::begin(m.data.key.value), std::end(m.data.key.value), std::begin(m.handle.value));
    EXPECT_TRUE(key) << what << ": the key is not the handle's value";
    EXPECT_EQ(m.data.topic_name, topic) << what;
    EXPECT_EQ(m.data.type_name, type) << what;
    EXPECT_EQ(user, user_data) << what << ": user data";
    EXPECT_EQ(group, group_data) << what << ": group data";
    return key && m.data.topic_name == topic && m.data.type_name == type && user == user_data && group == group_data;
}

// ---- announced QoS ------------------------------------------------------------------

// What a positive endpoint must announce: its topic and type names, and
// every field of the built-in topic data from the QoS its test set (the
// defaults where it sets nothing): the writer's (reader's) own policies, its
// publisher's (subscriber's) presentation, partition and group data, and its
// topic's topic data.
PublicationBuiltinTopicData announced_writer(const std::string& topic, const std::string& type,
                                             const DataWriterQos& writer = DATAWRITER_QOS_DEFAULT,
                                             const PublisherQos& publisher = PUBLISHER_QOS_DEFAULT,
                                             const TopicQos& topic_qos = TOPIC_QOS_DEFAULT);
SubscriptionBuiltinTopicData announced_reader(const std::string& topic, const std::string& type,
                                              const DataReaderQos& reader = DATAREADER_QOS_DEFAULT,
                                              const SubscriberQos& subscriber = SUBSCRIBER_QOS_DEFAULT,
                                              const TopicQos& topic_qos = TOPIC_QOS_DEFAULT);
// Every field of a matched endpoint's discovery data against `want` (one
// check per field, each named in its failure), and its key against its
// handle's value. True when all held.
bool expect_announced(Verdict& v, const Matched<PublicationBuiltinTopicData>& got,
                      const PublicationBuiltinTopicData& want, const std::string& what);
bool expect_announced(Verdict& v, const Matched<SubscriptionBuiltinTopicData>& got,
                      const SubscriptionBuiltinTopicData& want, const std::string& what);
// Octets as text, anything unprintable (a zero octet too) as \xNN.
std::string printable(const OctetSeq& value);

// ---- match lifetime --------------------------------------------------------------------

// The matches of one of this side's readers (or writers).
//
//   cp::Matches m(reader);
//   const InstanceHandleSeq positive = m.exactly(v, 1);   // before "reader_ready"
//   ...
//   m.gone(v);                                              // after the positive side deleted it
class Matches {
public:
    explicit Matches(DataReader* reader);
    explicit Matches(DataWriter* writer);

    // Waits (bounded) until exactly n endpoints of the positive side and all
    // of this side's `own` ones are matched, none left over from an earlier
    // step, and checks that the matched status counts as many. Returns the
    // positive side's handles (empty when a check failed). The matched status
    // read here is what gone() counts from.
    InstanceHandleSeq exactly(Verdict& v, std::size_t n, const InstanceHandleSeq& own = {},
                              int timeout_ms = kMatchMs);
    // After the positive side deleted its endpoints (or closed): waits
    // (bounded, also after the connection closed) until no match but those
    // in `stay` is left, and checks that the matched status counts the
    // change since exactly(). A match that outlives its endpoint fails.
    bool gone(Verdict& v, const InstanceHandleSeq& stay = {}, int timeout_ms = kGoneMs);

    // Waits (bounded, also after the connection closed) until none of
    // `leaving` is matched any more: the endpoints of an earlier step that
    // the positive side deleted, while those of the next step may already
    // be matched. A match that outlives its endpoint fails.
    bool left(Verdict& v, const InstanceHandleSeq& leaving, int timeout_ms = kGoneMs);

    // The handles matched now.
    InstanceHandleSeq list() const;

private:
    struct Status {
        ReturnCode_t rc = RETCODE_ERROR;
        int32_t current = 0;
        int32_t current_change = 0;
        int32_t total = 0;
    };
    Status status();

    DataReader* reader_ = nullptr;
    DataWriter* writer_ = nullptr;
    int32_t base_ = 0;
    InstanceHandleSeq expected_;
};

// Decoys: the matched endpoints of this side's `reader` (`writer`) are
// exactly the positive side's (as many as `positive` holds) and this side's
// `own` ones (their handles with what they announce), and each one's data,
// looked up by its handle, is its own: the positive ones equal `positive`
// (in any order), the own ones theirs. An own endpoint with other data
// beside the real one catches a lookup that ignores its handle. Returns the
// positive side's endpoints as matched (see Matches::exactly; m.gone() counts
// from here).
std::vector<Matched<PublicationBuiltinTopicData>> expect_matched(
    Verdict& v, Matches& m, DataReader* reader, const std::vector<PublicationBuiltinTopicData>& positive,
    const std::vector<std::pair<InstanceHandle_t, PublicationBuiltinTopicData>>& own, const std::string& what);
std::vector<Matched<SubscriptionBuiltinTopicData>> expect_matched(
    Verdict& v, Matches& m, DataWriter* writer, const std::vector<SubscriptionBuiltinTopicData>& positive,
    const std::vector<std::pair<InstanceHandle_t, SubscriptionBuiltinTopicData>>& own, const std::string& what);

// ---- samples -----------------------------------------------------------------------

template <class T>
struct Sample {
    T data;
    SampleInfo info;
    Time taken{};  // this side's clock when the sample was read or taken
};
template <class T>
using Samples = std::vector<Sample<T>>;

// The system clock now, as a DDS time.
Time now();

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
        for (uint32_t i = 0; i < data.length(); ++i) out.push_back(Sample<T>{data[i], infos[i], when});
        // A read returns the same samples again; one call holds all there are.
        if (!take || data.length() < 1000) return out;
    }
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
    auto more = [&] {
        Samples<T> batch = take_them ? take<T>(reader) : read<T>(reader, NOT_READ_SAMPLE_STATE);
        got.insert(got.end(), batch.begin(), batch.end());
        return batch.size();
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    more();  // what is there already
    while (!done(got) && w.ok()) {
        const int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0 || !w.wait(v, left)) break;
        more();
    }
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
            if (more() == 0) break;  // woken without data: failed in wait already
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
// As collect, but reads instead of taking: the samples stay in the reader
// (read now), for expect_reread and a take after it.
// collect, but going on after the positive side has closed the connection:
// what a writer sent right before its deletion, with no key after it, may
// still be on its way then. No grace.
template <class T>
Samples<T> collect_past_close(Verdict& v, DataReader* reader, const std::function<bool(const Samples<T>&)>& done,
                              int timeout_ms) {
    return detail::collect_with<T>(v, reader, done, timeout_ms, 0, true, false);
}

template <class T>
Samples<T> gather(Verdict& v, DataReader* reader, const std::function<bool(const Samples<T>&)>& done,
                  int timeout_ms, int grace_ms = kGraceMs) {
    return detail::collect_with<T>(v, reader, done, timeout_ms, grace_ms, false);
}

// Takes until the reader has no matched writer left (the positive side has
// deleted its writer) or the time-out passes, then once more. Unlike
// collect it goes on after the positive side has closed the connection: what
// a writer sent right before its deletion, with no key after it, may still be
// on its way then.
template <class T>
Samples<T> collect_until_unmatched(DataReader* reader, int timeout_ms) {
    Samples<T> got;
    auto more = [&] {
        Samples<T> batch = take<T>(reader);
        got.insert(got.end(), batch.begin(), batch.end());
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (matched_count(reader) > 0 && Clock::now() < deadline) {
        more();
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    more();
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

// ---- every sample counted ------------------------------------------------------------

// What one sample must be. Built as
//   cp::Want::data(1001).in(h1).from(writer).view(NOT_NEW_VIEW_STATE).at({1234, 5678})
//   cp::Want::notice(NOT_ALIVE_DISPOSED_INSTANCE_STATE).in(h1).from(writer)
// Unless given: not read, in a new view, alive (data) and of generation 0;
// any instance, any writer; a source timestamp that is current (the writer
// gave none): within kStampBeforeMs before this side took it. A state may
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
    bool check_ranks = true;
    bool check_generations = true;
    bool check_timestamp = true;
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
    // Ranks depend on what else the same take returned: not checked.
    Want& any_ranks() { check_ranks = false; return *this; }
};

std::string describe(const std::vector<int32_t>& values);
std::string describe(const SampleInfo& info);
std::string describe(const Time& t);

namespace detail {
bool expect_info(Verdict& v, const SampleInfo& info, const Time& taken, const Want& want, const std::string& what);
}

// Exactly the samples `want`, invalid ones included, nothing more: each
// wanted sample is paired with the first unpaired one taken of the same
// kind (data with its lVal, or a notice) and instance; within an instance
// they must come in the order wanted, across instances in any order. Each
// pair's sample info and sbVal are checked as the Want says. True when all
// held.
template <class T>
bool expect_samples(Verdict& v, const Samples<T>& got, const std::vector<Want>& want, const std::string& what) {
    std::vector<bool> used(got.size(), false);
    std::vector<std::pair<InstanceHandle_t, std::size_t>> last_index;  // per instance, the latest paired sample
    bool ok = v.check(got.size() == want.size())
              << what << ": " << got.size() << " sample(s) taken, expected " << want.size();
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
                                      << ", " << got.size() << " sample(s) with notices)")) {
            ok = false;
            continue;
        }
        used[i] = true;
        const Sample<T>& s = got[i];
        ok = detail::expect_info(v, s.info, s.taken, w, what + ": " + which) && ok;
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
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (used[i]) continue;
        ok = false;
        v.fail() << what << ": an unexpected sample: "
                 << (got[i].info.valid_data ? "lVal " + std::to_string(got[i].data.lVal) : std::string("notice"))
                 << ", " << describe(got[i].info);
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
