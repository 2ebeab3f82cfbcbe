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

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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
// Reports a check: logs it and sends `key` only when it passed, so that the
// positive side's own wait fails with it. Returns `passed`.
bool report(const std::string& key, bool passed);
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
// The 24 bytes of a handle as they lie in memory, as the positive side reads them.
std::string handle_bytes(const InstanceHandle_t& handle);
// a, a+1, ..., b
std::vector<int32_t> range(int32_t a, int32_t b);

}  // namespace cp
