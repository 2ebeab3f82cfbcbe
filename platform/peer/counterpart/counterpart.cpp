#include "counterpart.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include <poll.h>
#include <sstream>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "peer/peer_link.h"

namespace cp {

namespace {

TypeSupport* type_support_of(const std::string& type) {
    if (type == "FlatRecord") return FlatRecordTypeSupport::get_instance();
    if (type == "KeyedType") return KeyedTypeTypeSupport::get_instance();
    return nullptr;
}

void log(const std::string& line) {
    std::cout << "[peer " << (peer::has_link() ? peer::link().connection_id() : std::string("-")) << "] " << line
              << std::endl;
}

}  // namespace

// ---- entities ---------------------------------------------------------------

Entities::Entities(const DomainParticipantQos& qos) {
    factory_ = DomainParticipantFactory::get_instance();
    if (factory_ == nullptr) {
        fail("DomainParticipantFactory::get_instance() returned null");
        return;
    }
    participant_ = factory_->create_participant(0, qos, nullptr, 0);
    if (participant_ == nullptr) fail("create_participant(0) returned null");
}

Entities::~Entities() { release(); }

bool Entities::fail(const std::string& what) {
    ADD_FAILURE() << what;
    ok_ = false;
    return false;
}

Topic* Entities::topic(const std::string& name, const std::string& type, const TopicQos& qos) {
    if (participant_ == nullptr || released_) return nullptr;
    for (Topic* t : topics_) {
        if (t->get_name() == name) return t;
    }
    bool registered = false;
    for (const std::string& r : registered_) registered = registered || r == type;
    if (!registered) {
        TypeSupport* ts = type_support_of(type);
        if (ts == nullptr) {
            fail("no type support for type \"" + type + "\"");
            return nullptr;
        }
        const ReturnCode_t rc = participant_->registe_type(type, ts);
        if (rc != RETCODE_OK) {
            fail("registe_type(\"" + type + "\") returned " + std::to_string(rc));
            return nullptr;
        }
        registered_.push_back(type);
    }
    Topic* t = participant_->create_topic(name, type, qos, nullptr, 0);
    if (t == nullptr) {
        fail("create_topic(\"" + name + "\", \"" + type + "\") returned null");
        return nullptr;
    }
    topics_.push_back(t);
    return t;
}

Publisher* Entities::publisher(const PublisherQos& qos) {
    if (participant_ == nullptr || released_) return nullptr;
    Publisher* p = participant_->create_publisher(qos, nullptr, 0);
    if (p == nullptr) fail("create_publisher returned null");
    return p;
}

Subscriber* Entities::subscriber(const SubscriberQos& qos) {
    if (participant_ == nullptr || released_) return nullptr;
    Subscriber* s = participant_->create_subscriber(qos, nullptr, 0);
    if (s == nullptr) fail("create_subscriber returned null");
    return s;
}

DataReader* Entities::reader(const std::string& topic_name, const DataReaderQos& qos, Subscriber* sub,
                             const std::string& type) {
    Topic* t = topic(topic_name, type);
    if (sub == nullptr) {
        if (default_subscriber_ == nullptr) default_subscriber_ = subscriber();
        sub = default_subscriber_;
    }
    if (t == nullptr || sub == nullptr) return nullptr;
    DataReader* r = sub->create_datareader(t, qos, nullptr, 0);
    if (r == nullptr) fail("create_datareader on \"" + topic_name + "\" returned null");
    return r;
}

DataWriter* Entities::writer(const std::string& topic_name, const DataWriterQos& qos, Publisher* pub,
                             const std::string& type) {
    Topic* t = topic(topic_name, type);
    if (pub == nullptr) {
        if (default_publisher_ == nullptr) default_publisher_ = publisher();
        pub = default_publisher_;
    }
    if (t == nullptr || pub == nullptr) return nullptr;
    DataWriter* w = pub->create_datawriter(t, qos, nullptr, 0);
    if (w == nullptr) fail("create_datawriter on \"" + topic_name + "\" returned null");
    return w;
}

void Entities::release() {
    if (released_) return;
    released_ = true;
    if (participant_ != nullptr) {
        EXPECT_EQ(participant_->delete_contained_entities(), RETCODE_OK);
        EXPECT_EQ(factory_->delete_participant(participant_), RETCODE_OK);
    }
    topics_.clear();
    default_publisher_ = nullptr;
    default_subscriber_ = nullptr;
    DomainParticipantFactory::finalize();
    peer::release_hold();
    log("entities deleted");
}

// ---- QoS ----------------------------------------------------------------------

DataReaderQos reliable_reader(int32_t depth) {
    DataReaderQos qos = DATAREADER_QOS_DEFAULT;
    qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    if (depth > 0) {
        qos.history.kind = KEEP_LAST_HISTORY_QOS;
        qos.history.depth = depth;
    } else {
        qos.history.kind = KEEP_ALL_HISTORY_QOS;
    }
    return qos;
}

// ---- the positive side ----------------------------------------------------------

bool ready() { return peer::link().ready(); }

bool await(const std::string& key, int timeout_ms, std::string* value) {
    const bool got = peer::link().wait(key, timeout_ms, value);
    EXPECT_TRUE(got) << "the positive side's \"" << key << "\" did not come within " << timeout_ms << " ms"
                     << (peer::link().ended() ? " (connection closed)" : "");
    return got;
}

bool report(const std::string& key, bool passed, const std::string& value) {
    log(std::string("check ") + key + ": " + (passed ? "passed" : "FAILED, key withheld"));
    if (!passed) {
        ADD_FAILURE() << "check \"" << key << "\" failed: the key is withheld";
        return false;
    }
    EXPECT_TRUE(peer::link().send(key, value)) << "sending \"" << key << "\" failed";
    return true;
}

bool await_close(int timeout_ms) {
    if (!peer::has_link()) return true;
    const bool closed = peer::link().ended() || peer::link().wait_closed(timeout_ms);
    if (!closed) log("the positive side did not close the connection within " + std::to_string(timeout_ms) + " ms");
    return closed;
}

bool positive_gone() { return peer::has_link() && peer::link().closed_now(); }

bool arrived(const std::string& key) { return peer::has_link() && peer::link().queued(key); }

// ---- bounded waits ---------------------------------------------------------------

bool wait_until(const std::function<bool()>& holds, int timeout_ms, int poll_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (holds()) return true;
        if (Clock::now() >= deadline || positive_gone()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

bool pause(int ms) {
    wait_until([] { return false; }, ms);
    return !positive_gone();
}

std::size_t matched_count(DataReader* reader) {
    InstanceHandleSeq handles;
    if (reader == nullptr || reader->get_matched_publications(handles) != RETCODE_OK) return 0;
    return handles.size();
}

std::size_t matched_count(DataWriter* writer) {
    InstanceHandleSeq handles;
    if (writer == nullptr || writer->get_matched_subscriptions(handles) != RETCODE_OK) return 0;
    return handles.size();
}

bool wait_matched(DataReader* reader, std::size_t n, int timeout_ms) {
    return reader != nullptr && wait_until([&] { return matched_count(reader) >= n; }, timeout_ms);
}

bool wait_matched(DataWriter* writer, std::size_t n, int timeout_ms) {
    return writer != nullptr && wait_until([&] { return matched_count(writer) >= n; }, timeout_ms);
}

// ---- matched endpoints ------------------------------------------------------------

namespace {

template <class Data, class Entity, class List, class Lookup>
std::vector<Matched<Data>> matched(Entity* entity, List list, Lookup lookup, const char* what) {
    std::vector<Matched<Data>> out;
    InstanceHandleSeq handles;
    if (entity == nullptr) return out;
    const ReturnCode_t rc = (entity->*list)(handles);
    EXPECT_EQ(rc, RETCODE_OK) << what;
    for (const InstanceHandle_t& h : handles) {
        Matched<Data> m{h, Data{}};
        const ReturnCode_t data_rc = (entity->*lookup)(m.data, h);
        EXPECT_EQ(data_rc, RETCODE_OK) << what << ": the data of a listed handle";
        if (data_rc == RETCODE_OK) out.push_back(m);
    }
    return out;
}

}  // namespace

std::vector<Matched<PublicationBuiltinTopicData>> matched_publications(DataReader* reader) {
    return matched<PublicationBuiltinTopicData>(reader, &DataReader::get_matched_publications,
                                                &DataReader::get_matched_publication_data, "matched publications");
}

std::vector<Matched<SubscriptionBuiltinTopicData>> matched_subscriptions(DataWriter* writer) {
    return matched<SubscriptionBuiltinTopicData>(writer, &DataWriter::get_matched_subscriptions,
                                                 &DataWriter::get_matched_subscription_data, "matched subscriptions");
}

// ---- checks -------------------------------------------------------------------------

std::string describe(const std::vector<int32_t>& values) {
    std::ostringstream out;
    out << "[";
    for (std::size_t i = 0; i < values.size(); ++i) out << (i ? ", " : "") << values[i];
    out << "]";
    return out.str();
}

bool expect_lvals(const std::vector<int32_t>& got, const std::vector<int32_t>& want, const std::string& what) {
    const bool equal = got == want;
    EXPECT_TRUE(equal) << what << ": received lVal " << describe(got) << ", expected exactly " << describe(want);
    log(what + ": " + describe(got) + (equal ? "" : " (expected " + describe(want) + ")"));
    return equal;
}

std::string handle_bytes(const InstanceHandle_t& handle) {
    static_assert(sizeof(InstanceHandle_t) == 24, "the positive side reads 24 bytes");
    return std::string(reinterpret_cast<const char*>(&handle), sizeof handle);
}

OctetSeq octets(const std::string& text) { return OctetSeq(text.begin(), text.end()); }

std::vector<int32_t> range(int32_t a, int32_t b) {
    std::vector<int32_t> out;
    for (int32_t v = a; v <= b; ++v) out.push_back(v);
    return out;
}

}  // namespace cp

namespace cp {

void log_line(const std::string& line) { log(line); }

Time now() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return Time{static_cast<int32_t>(ns / 1000000000), static_cast<uint32_t>(ns % 1000000000)};
}

// ---- waiting for data -------------------------------------------------------------

DataWait::DataWait(DataReader* reader, SampleStateMask s, ViewStateMask v, InstanceStateMask i, bool ends_on_close)
    : reader_(reader), ends_on_close_(ends_on_close) {
    if (reader_ == nullptr) return;
    condition_ = reader_->create_readcondition(s, v, i);
    if (condition_ == nullptr) {
        ADD_FAILURE() << "create_readcondition returned null";
        return;
    }
    const ReturnCode_t rc = waitset_.attach_condition(*condition_);
    const ReturnCode_t guard_rc = waitset_.attach_condition(closed_);
    if (rc != RETCODE_OK || guard_rc != RETCODE_OK) {
        ADD_FAILURE() << "attaching a read condition and a guard condition to a wait set returned " << rc << " and "
                      << guard_rc;
        waitset_.detach_condition(*condition_);
        reader_->delete_readcondition(condition_);
        condition_ = nullptr;
        return;
    }
    watcher_ = std::thread([this] { watch(); });
}

DataWait::~DataWait() {
    stopping_ = true;
    if (watcher_.joinable()) watcher_.join();
    if (condition_ == nullptr) return;
    waitset_.detach_condition(closed_);
    waitset_.detach_condition(*condition_);
    reader_->delete_readcondition(condition_);
}

// Every 50 ms: has the positive side closed the connection (then the guard
// ends the wait), and is the read condition triggered while a wait is on
// (the first such time is kept: a wait that then runs out did not wake)?
void DataWait::watch() {
    const int fd = peer::has_link() && ends_on_close_ ? peer::link().fd() : -1;
    while (!stopping_) {
        // Once closed, the hang-up would answer every poll at once.
        if (fd >= 0 && !closed_.get_trigger_value()) {
            pollfd pfd{fd, POLLRDHUP, 0};
            if (::poll(&pfd, 1, 50) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                closed_.set_trigger_value(true);
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (waiting_ && triggered_since_ == 0 && condition_->get_trigger_value()) {
            triggered_since_ = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        }
    }
}

bool DataWait::wait(Verdict& v, int timeout_ms) {
    if (condition_ == nullptr) return false;
    if (closed_.get_trigger_value()) return false;
    const int ms = std::max(0, timeout_ms);
    ConditionSeq active;
    triggered_since_ = 0;
    waiting_ = true;
    const ReturnCode_t rc = waitset_.wait(active, Duration_t{ms / 1000, static_cast<uint32_t>(ms % 1000) * 1000000u});
    waiting_ = false;
    const auto ended = Clock::now();
    const bool data = std::find(active.begin(), active.end(), condition_) != active.end();
    const bool gone = std::find(active.begin(), active.end(), &closed_) != active.end();
    if (rc == RETCODE_OK) {
        v.check(data || gone) << "the wait set woke without a triggered condition";
        return data;
    }
    if (rc != RETCODE_TIMEOUT) {
        v.fail() << "WaitSet::wait returned " << rc;
        return false;
    }
    // Run out: the read condition was seen triggered well before the end (a
    // sound wait set wakes then), or not at all; triggered only as the wait
    // ended, the data came at its end.
    constexpr int64_t kMissedNs = 1000000000;
    const int64_t since = triggered_since_;
    const int64_t end_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(ended.time_since_epoch()).count();
    v.check(since == 0 || end_ns - since < kMissedNs)
        << "the wait set did not wake though its read condition was triggered " << (end_ns - since) / 1000000
        << " ms before its " << ms << " ms wait ran out";
    return condition_->get_trigger_value();
}

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

namespace detail {

namespace {
int64_t ms_of(const Time& t) { return static_cast<int64_t>(t.sec) * 1000 + t.nanosec / 1000000; }
}  // namespace

bool expect_info(Verdict& v, const SampleInfo& info, const Time& taken, const Want& want, const std::string& what) {
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
    if (want.check_ranks) {
        expect(info.generation_rank == want.generation_rank, "generation rank", info.generation_rank,
               want.generation_rank);
        expect(info.absolute_generation_rank == want.absolute_generation_rank, "absolute generation rank",
               info.absolute_generation_rank, want.absolute_generation_rank);
    }
    if (want.instance) {
        ok = (v.check(info.instance_handle == *want.instance) << what << ": in another instance than expected") && ok;
    }
    if (want.publication) {
        ok = (v.check(info.publication_handle == *want.publication)
              << what << ": its publication handle is not the matched writer's") &&
             ok;
    }
    if (want.timestamp) {
        ok = (v.check(info.source_timestamp == *want.timestamp)
              << what << ": source timestamp " << describe(info.source_timestamp) << ", expected the given "
              << describe(*want.timestamp)) &&
             ok;
    } else if (want.check_timestamp) {
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
