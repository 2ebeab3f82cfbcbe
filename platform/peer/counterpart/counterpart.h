// The skeleton every counterpart is written on: its entities, bounded waits
// for matches and samples, and keys that report a check only when it passed.
//
//   PEER_TEST(HistoryQosPolicyTestNegative, ENABLED_HistoryQosPolicyNegative, "HistoryQosPolicy") {
//       cp::Entities e;
//       DataReader* reader = e.reader("history_topic_name", cp::reliable_reader(10));
//       ASSERT_TRUE(cp::ready());
//       cp::report("reader_match_finish", cp::wait_matched(reader, 1));
//       if (!cp::await("write_finish", 15000)) return;
//       bool ok = cp::expect_lvals(cp::lvals(cp::collect<FlatRecord>(reader, cp::has_lval<FlatRecord>(9), 2000)),
//                                  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, "keep last 10");
//       e.release();                            // nothing of this test is left for the next one
//       cp::report("reader_take_finish", ok);   // sent only when the check passed
//   }
//
// Every wait is bounded, and every wait ends as soon as the positive side has
// closed the connection: a counterpart whose positive side has gone does not
// linger with its entities in domain 0.
#pragma once

#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "FlatRecord.h"

namespace cp {

using namespace QUORVELA;

inline constexpr int kMatchMs = 8000;   // a match the positive side is waiting for
inline constexpr int kStageMs = 9000;   // one step of the positive side, under its own 10000 ms waits
inline constexpr int kPollMs = 10;
inline constexpr int kGraceMs = 300;    // listening on for samples that must not come

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

// ---- samples -----------------------------------------------------------------------

template <class T>
struct Sample {
    T data;
    SampleInfo info;
};
template <class T>
using Samples = std::vector<Sample<T>>;

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
        for (uint32_t i = 0; i < data.length(); ++i) out.push_back(Sample<T>{data[i], infos[i]});
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

// Takes until `done` holds for everything taken so far or the time-out
// passes, then keeps taking for grace_ms, so that samples which must not
// come are caught too. Ends early (after one last take) when the positive
// side has gone.
template <class T>
Samples<T> collect(DataReader* reader, const std::function<bool(const Samples<T>&)>& done, int timeout_ms,
                   int grace_ms = kGraceMs) {
    Samples<T> got;
    auto more = [&] {
        Samples<T> batch = take<T>(reader);
        got.insert(got.end(), batch.begin(), batch.end());
    };
    wait_until([&] { more(); return done(got); }, timeout_ms);
    if (grace_ms > 0 && !positive_gone()) std::this_thread::sleep_for(std::chrono::milliseconds(grace_ms));
    more();
    return got;
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

// Reads (without taking) until `done` holds for what the reader holds, or the
// time-out passes; true when it held.
template <class T>
bool settle(DataReader* reader, const std::function<bool(const Samples<T>&)>& done, int timeout_ms) {
    return wait_until([&] { return done(read<T>(reader)); }, timeout_ms);
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
bool expect_first_samples(const Samples<T>& got, std::vector<int32_t> want, const std::string& what) {
    constexpr bool keyed = !std::is_same_v<T, FlatRecord>;
    std::sort(want.begin(), want.end());
    std::vector<int32_t> values = lvals(got);
    std::sort(values.begin(), values.end());
    bool ok = expect_lvals(values, want, what);
    std::vector<InstanceHandle_t> handles;
    for (const Sample<T>& s : got) {
        const SampleInfo& info = s.info;
        const bool fresh = info.valid_data && info.sample_state == NOT_READ_SAMPLE_STATE &&
                           info.view_state == NEW_VIEW_STATE && info.instance_state == ALIVE_INSTANCE_STATE &&
                           info.generation_rank == 0;
        EXPECT_TRUE(fresh) << what << ": lVal " << s.data.lVal << " valid " << info.valid_data << ", sample state "
                           << info.sample_state << ", view state " << info.view_state << ", instance state "
                           << info.instance_state << ", generation rank " << info.generation_rank;
        const bool own_instance =
            keyed ? info.instance_handle != HANDLE_NIL &&
                        std::find(handles.begin(), handles.end(), info.instance_handle) == handles.end()
                  : info.instance_handle == HANDLE_NIL;
        EXPECT_TRUE(own_instance) << what << ": lVal " << s.data.lVal
                                  << (keyed ? " has the nil handle or shares its instance with an earlier sample"
                                            : " is not in the nil instance of its keyless type");
        ok = ok && fresh && own_instance;
        handles.push_back(info.instance_handle);
    }
    return ok;
}

// The 24 bytes of a handle as they lie in memory, as the positive side reads them.
std::string handle_bytes(const InstanceHandle_t& handle);
// The bytes of a text, without a terminating zero (user, group and topic data).
OctetSeq octets(const std::string& text);
// a, a+1, ..., b
std::vector<int32_t> range(int32_t a, int32_t b);

}  // namespace cp
