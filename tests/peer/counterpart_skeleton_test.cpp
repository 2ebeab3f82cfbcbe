// Tests of the counterparts' skeleton (platform/peer/skeleton) against a
// reader double, without DDS: what a step collects and prints stays bounded
// whatever the library returns, and the checks catch what they are for.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "FlatRecord.h"
#include "counterpart.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// A status condition that is never triggered (the double has no statuses).
class QuietStatusCondition : public StatusCondition {
public:
    explicit QuietStatusCondition(Entity* entity) : entity_(entity) {}
    bool get_trigger_value() override { return false; }
    StatusMask get_enabled_statuses() override { return 0; }
    ReturnCode_t set_enabled_statuses(StatusMask) override { return RETCODE_OK; }
    Entity* get_entity() override { return entity_; }

private:
    Entity* entity_;
};

class FakeReader;

// A read condition triggered while its reader says it holds data.
class FakeCondition : public ReadCondition {
public:
    FakeCondition(FakeReader* reader, SampleStateMask s) : reader_(reader), states_(s) {}
    bool get_trigger_value() override;
    SampleStateMask get_sample_state_mask() override { return states_; }
    ViewStateMask get_view_state_mask() override { return ANY_VIEW_STATE; }
    InstanceStateMask get_instance_state_mask() override { return ANY_INSTANCE_STATE; }
    DataReader* get_datareader() override;

private:
    FakeReader* reader_;
    SampleStateMask states_;
};

// A reader of FlatRecord samples whose read and take the test decides:
//   Sound     holds `held` samples; a read marks them read, a take removes them
//   NeverRead a read returns the held samples NOT_READ every time
//   Flood     every read and take returns `batch` new samples
class FakeReader : public DataReader {
public:
    enum class Mode { Sound, NeverRead, Flood };

    FakeReader(Mode mode, std::vector<int32_t> held, std::size_t batch = 100)
        : mode_(mode), batch_(batch), status_(this) {
        for (int32_t v : held) held_.push_back({v, NOT_READ_SAMPLE_STATE});
    }

    std::size_t calls() const { return calls_; }
    // Every sample_rank 0, whatever follows the sample.
    void zero_ranks() { zero_ranks_ = true; }

    // A matched writer: its handle and the data its lookup returns (none: the
    // lookup fails).
    void match(const InstanceHandle_t& h, std::optional<PublicationBuiltinTopicData> data = std::nullopt) {
        matched_.emplace_back(h, std::move(data));
        ++total_;
        if (!last_nil_) last_ = h;
    }
    // The match of h ends; the last handle names it when `named`.
    void unmatch(const InstanceHandle_t& h, bool named) {
        matched_.erase(std::remove_if(matched_.begin(), matched_.end(), [&](const auto& m) { return m.first == h; }),
                       matched_.end());
        if (named && !last_nil_) last_ = h;
    }
    // Faults of the matched status: the last handle never set; total_count_change never reset.
    void last_nil() { last_nil_ = true; }
    void keep_total_change() { keep_total_change_ = true; }

    // Whether a read or take in these states would return something.
    bool has(SampleStateMask s) {
        std::lock_guard<std::mutex> lock(mtx_);
        if (mode_ == Mode::Flood) return true;
        return std::any_of(held_.begin(), held_.end(), [&](const Held& h) { return (h.state & s) != 0; });
    }

    ReturnCode_t read(SequenceBase& data, SampleInfoSeq& infos, int32_t max, SampleStateMask s, ViewStateMask,
                      InstanceStateMask) override {
        return access(data, infos, max, s, false);
    }
    ReturnCode_t take(SequenceBase& data, SampleInfoSeq& infos, int32_t max, SampleStateMask s, ViewStateMask,
                      InstanceStateMask) override {
        return access(data, infos, max, s, true);
    }

    ReadCondition* create_readcondition(SampleStateMask s, ViewStateMask, InstanceStateMask) override {
        return new FakeCondition(this, s);
    }
    ReturnCode_t delete_readcondition(ReadCondition* c) override {
        delete c;
        return RETCODE_OK;
    }

    // What the skeleton does not use here.
    ReturnCode_t enable() override { return RETCODE_OK; }
    bool is_enabled() override { return true; }
    StatusCondition& get_statuscondition() override { return status_; }
    StatusMask get_status_changes() override { return 0; }
    InstanceHandle_t get_instance_handle() override { return HANDLE_NIL; }
    ReturnCode_t read_w_condition(SequenceBase&, SampleInfoSeq&, int32_t, ReadCondition*) override { return kNo; }
    ReturnCode_t take_w_condition(SequenceBase&, SampleInfoSeq&, int32_t, ReadCondition*) override { return kNo; }
    ReturnCode_t read_instance(SequenceBase&, SampleInfoSeq&, int32_t, const InstanceHandle_t&, SampleStateMask,
                               ViewStateMask, InstanceStateMask) override {
        return kNo;
    }
    ReturnCode_t take_instance(SequenceBase&, SampleInfoSeq&, int32_t, const InstanceHandle_t&, SampleStateMask,
                               ViewStateMask, InstanceStateMask) override {
        return kNo;
    }
    ReturnCode_t read_next_sample(void*, SampleInfo&) override { return kNo; }
    ReturnCode_t take_next_sample(void*, SampleInfo&) override { return kNo; }
    InstanceHandle_t lookup_instance(const void*) override { return HANDLE_NIL; }
    ReturnCode_t get_key_value(void*, const InstanceHandle_t&) override { return kNo; }
    QueryCondition* create_querycondition(SampleStateMask, ViewStateMask, InstanceStateMask, const std::string&,
                                          const StringSeq&) override {
        return nullptr;
    }
    ReturnCode_t delete_contained_entities() override { return RETCODE_OK; }
    ReturnCode_t get_liveliness_changed_status(LivelinessChangedStatus&) override { return kNo; }
    ReturnCode_t get_requested_deadline_missed_status(RequestedDeadlineMissedStatus&) override { return kNo; }
    ReturnCode_t get_requested_incompatible_qos_status(RequestedIncompatibleQosStatus&) override { return kNo; }
    ReturnCode_t get_sample_lost_status(SampleLostStatus&) override { return kNo; }
    ReturnCode_t get_sample_rejected_status(SampleRejectedStatus&) override { return kNo; }
    ReturnCode_t get_subscription_matched_status(SubscriptionMatchedStatus& status) override {
        const int32_t n = static_cast<int32_t>(matched_.size());
        status.total_count = total_;
        status.total_count_change = total_ - (keep_total_change_ ? 0 : reported_total_);
        status.current_count = n;
        status.current_count_change = n - reported_;
        status.last_publication_handle = last_;
        reported_ = n;
        reported_total_ = total_;
        return RETCODE_OK;
    }
    ReturnCode_t get_matched_publications(InstanceHandleSeq& handles) override {
        handles.clear();
        for (const auto& m : matched_) handles.push_back(m.first);
        return RETCODE_OK;
    }
    ReturnCode_t get_matched_publication_data(PublicationBuiltinTopicData& data, const InstanceHandle_t& h) override {
        for (const auto& m : matched_) {
            if (m.first != h) continue;
            if (!m.second) return RETCODE_ERROR;
            data = *m.second;
            return RETCODE_OK;
        }
        return RETCODE_BAD_PARAMETER;
    }
    ReturnCode_t wait_for_historical_data(const Duration_t&) override { return kNo; }
    TopicDescription* get_topicdescription() override { return nullptr; }
    Subscriber* get_subscriber() override { return nullptr; }
    ReturnCode_t get_qos(DataReaderQos&) override { return kNo; }
    ReturnCode_t set_qos(const DataReaderQos&) override { return kNo; }
    ReturnCode_t set_qos_with_profile(const char*, const char*, const char*) override { return kNo; }
    ReturnCode_t set_listener(DataReaderListener*, StatusMask) override { return kNo; }
    DataReaderListener* get_listener() override { return nullptr; }

private:
    static constexpr ReturnCode_t kNo = RETCODE_UNSUPPORTED;
    struct Held {
        int32_t lval;
        SampleStateKind state;
    };

    static void append(SequenceBase& data, SampleInfoSeq& infos, int32_t lval, SampleStateKind state) {
        auto* record = new FlatRecord;
        record->lVal = lval;
        data.append(record, [](void* e, void*) { delete static_cast<FlatRecord*>(e); }, nullptr);
        auto* info = new SampleInfo;
        info->valid_data = true;
        info->sample_state = state;
        info->source_timestamp = cp::now();
        infos.append(info, [](void* e, void*) { delete static_cast<SampleInfo*>(e); }, nullptr);
    }

    ReturnCode_t access(SequenceBase& data, SampleInfoSeq& infos, int32_t max, SampleStateMask s, bool take) {
        const ReturnCode_t rc = fill(data, infos, max, s, take);
        // All samples are of the nil instance: each is followed by the rest.
        for (uint32_t i = 0; i < infos.length(); ++i) {
            infos[i].sample_rank = zero_ranks_ ? 0 : static_cast<int32_t>(infos.length() - 1 - i);
        }
        return rc;
    }

    ReturnCode_t fill(SequenceBase& data, SampleInfoSeq& infos, int32_t max, SampleStateMask s, bool take) {
        std::lock_guard<std::mutex> lock(mtx_);
        ++calls_;
        if (mode_ == Mode::Flood) {
            for (std::size_t i = 0; i < batch_ && static_cast<int32_t>(i) < max; ++i) {
                append(data, infos, next_++, NOT_READ_SAMPLE_STATE);
            }
            return RETCODE_OK;
        }
        std::vector<Held> kept;
        for (Held& h : held_) {
            if ((h.state & s) == 0 || static_cast<int32_t>(infos.length()) >= max) {
                kept.push_back(h);
                continue;
            }
            append(data, infos, h.lval, h.state);
            if (!take) {
                if (mode_ == Mode::Sound) h.state = READ_SAMPLE_STATE;
                kept.push_back(h);
            }
        }
        held_ = kept;
        return infos.length() == 0 ? RETCODE_NO_DATA : RETCODE_OK;
    }

    const Mode mode_;
    const std::size_t batch_;
    QuietStatusCondition status_;
    std::mutex mtx_;
    std::vector<Held> held_;
    std::vector<std::pair<InstanceHandle_t, std::optional<PublicationBuiltinTopicData>>> matched_;
    int32_t reported_ = 0;
    int32_t total_ = 0;
    int32_t reported_total_ = 0;
    InstanceHandle_t last_ = HANDLE_NIL;
    bool last_nil_ = false;
    bool keep_total_change_ = false;
    bool zero_ranks_ = false;
    int32_t next_ = 1000;
    std::atomic<std::size_t> calls_{0};
};

bool FakeCondition::get_trigger_value() { return reader_->has(states_); }
DataReader* FakeCondition::get_datareader() { return reader_; }

// The failures a block reports (each as googletest records it) and the lines
// it prints to stdout.
struct Output {
    std::vector<std::string> failures;
    std::size_t lines = 0;
    std::string text;

    bool mentions(const std::string& part) const {
        return std::any_of(failures.begin(), failures.end(),
                           [&](const std::string& f) { return f.find(part) != std::string::npos; });
    }
};

template <class Body>
Output run(Body body) {
    Output out;
    testing::TestPartResultArray results;
    testing::internal::CaptureStdout();
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
        body();
    }
    out.text = testing::internal::GetCapturedStdout();
    out.lines = static_cast<std::size_t>(std::count(out.text.begin(), out.text.end(), '\n'));
    for (int i = 0; i < results.size(); ++i) {
        out.failures.push_back(results.GetTestPartResult(i).message());
    }
    return out;
}

std::size_t total_size(const Output& out) {
    std::size_t n = out.text.size();
    for (const std::string& f : out.failures) n += f.size();
    return n;
}

// Wanted: lVal 1, 2 and 3, as a sound reader returns them.
std::vector<cp::Want> one_two_three() {
    std::vector<cp::Want> want;
    for (int32_t v : {1, 2, 3}) want.push_back(cp::Want::data(v));
    return want;
}

// The bound of one step, both ways a library can break it: a read that
// leaves its samples NOT_READ (gather re-reads the same three at every wake),
// and a reader flooded with new samples (collect takes them as they come).
// Either step stops at kStepSamples samples, fails, and prints a bounded
// number of lines: the count of extras, the first few, "and N more".
TEST(CounterpartSkeleton, AStepCollectsAndPrintsABoundedAmountWhateverTheReaderReturns) {
    struct Case {
        const char* name;
        FakeReader::Mode mode;
        bool take;
    };
    for (const Case c : {Case{"a read that leaves its samples unread", FakeReader::Mode::NeverRead, false},
                         Case{"a flooded reader, read", FakeReader::Mode::Flood, false},
                         Case{"a flooded reader, taken", FakeReader::Mode::Flood, true}}) {
        SCOPED_TRACE(c.name);
        FakeReader reader(c.mode, {1, 2, 3});
        cp::Samples<FlatRecord> got;
        bool step_ok = true;
        const Output out = run([&] {
            cp::Verdict v("step");
            got = c.take ? cp::collect<FlatRecord>(v, &reader, cp::sample_count<FlatRecord>(3), 2000)
                         : cp::gather<FlatRecord>(v, &reader, cp::sample_count<FlatRecord>(3), 2000);
            cp::expect_samples(v, got, one_two_three(), "the step");
            cp::expect_first_samples(v, got, {1, 2, 3}, "the step");
            step_ok = v.ok();
        });
        EXPECT_FALSE(step_ok) << "the verdict passed";
        EXPECT_EQ(got.size(), cp::kStepSamples);
        // Each call returned 3 (or 100) samples: the calls stop with the bound.
        EXPECT_LE(reader.calls(), cp::kStepSamples / 3 + 3);
        EXPECT_TRUE(out.mentions("more than " + std::to_string(cp::kStepSamples) + " samples")) << out.text;
        EXPECT_TRUE(out.mentions(std::to_string(cp::kStepSamples) + " sample(s) taken, expected 3"));
        EXPECT_TRUE(out.mentions("unexpected sample(s)"));
        EXPECT_LE(out.failures.size(), cp::Verdict::kListedFailures + 1);
        EXPECT_LE(out.lines, 10u) << out.text;
        EXPECT_LT(total_size(out), 64u * 1024u) << "bytes printed";
    }
}

// The unexpected samples of one check: counted, the first few listed, the
// rest as "and N more"; the values of a missing sample's message likewise.
TEST(CounterpartSkeleton, UnexpectedSamplesAreCountedAndTheFirstFewListed) {
    FakeReader reader(FakeReader::Mode::Sound, cp::range(1, 500));
    const cp::Samples<FlatRecord> got = cp::take<FlatRecord>(&reader);
    ASSERT_EQ(got.size(), 500u);
    const Output out = run([&] {
        cp::Verdict v("step");
        cp::expect_samples(v, got, {cp::Want::data(1), cp::Want::data(501)}, "the step");
    });
    ASSERT_EQ(out.failures.size(), 3u) << out.text;  // the count, the missing 501, the extras
    EXPECT_TRUE(out.mentions("499 unexpected sample(s): lVal 2,")) << out.failures[2];
    EXPECT_TRUE(out.mentions("; and " + std::to_string(499 - cp::kListedSamples) + " more"));
    EXPECT_TRUE(out.mentions("the sample lVal 501 is missing (taken: [1, 2, 3"));
    EXPECT_TRUE(out.mentions(", and " + std::to_string(500 - cp::kListedValues) + " more]"));
}

// A sound reader: the same steps collect exactly what it holds and pass.
TEST(CounterpartSkeleton, ASoundReaderPassesTheSameSteps) {
    for (const bool take : {false, true}) {
        FakeReader reader(FakeReader::Mode::Sound, {1, 2, 3});
        bool step_ok = false;
        const Output out = run([&] {
            cp::Verdict v("step");
            const cp::Samples<FlatRecord> got =
                take ? cp::collect<FlatRecord>(v, &reader, cp::sample_count<FlatRecord>(3), 2000)
                     : cp::gather<FlatRecord>(v, &reader, cp::sample_count<FlatRecord>(3), 2000);
            cp::expect_samples(v, got, one_two_three(), "the step");
            step_ok = v.ok();
        });
        EXPECT_TRUE(step_ok) << (take ? "take: " : "read: ") << out.text;
        EXPECT_TRUE(out.failures.empty());
    }
}

// A verdict lists its first kListedFailures failures and counts the rest in
// one more line when it ends; it fails however many there were.
TEST(CounterpartSkeleton, AVerdictListsItsFirstFailuresAndCountsTheRest) {
    bool ok = true;
    std::size_t listed = 0;
    const Output out = run([&] {
        cp::Verdict v("many");
        for (int i = 0; i < 10000; ++i) v.check(false) << "check " << i;
        ok = v.ok();
        listed = v.failures().size();
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(listed, cp::Verdict::kListedFailures);
    ASSERT_EQ(out.failures.size(), cp::Verdict::kListedFailures + 1);
    EXPECT_NE(out.failures.back().find("and " + std::to_string(10000 - cp::Verdict::kListedFailures) +
                                       " more failure(s), not listed"),
              std::string::npos)
        << out.failures.back();
}

// A key after which the positive side writes goes out kWriterDiscoveryMs
// after this side saw its match at the earliest; a first sample missing
// after it is reported with that wait named, a later one without it.
TEST(CounterpartSkeleton, AKeyBeforeWritesWaitsForTheWriterAndAMissingFirstSampleNamesTheWait) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer::set_link(fds[0], "skeleton");  // the link owns fds[0]
    cp::note_matched();
    const auto matched = std::chrono::steady_clock::now();
    EXPECT_TRUE(cp::report_before_writes("reader_matched", true));
    EXPECT_GE(std::chrono::steady_clock::now() - matched, std::chrono::milliseconds(cp::kWriterDiscoveryMs));
    EXPECT_TRUE(cp::waited_for_writer_discovery());

    FakeReader reader(FakeReader::Mode::Sound, {2});
    const cp::Samples<FlatRecord> got = cp::take<FlatRecord>(&reader);
    const Output out = run([&] {
        cp::Verdict v("step");
        cp::expect_samples(v, got, {cp::Want::data(1), cp::Want::data(2), cp::Want::data(3)}, "the step");
    });
    const std::string named = "kWriterDiscoveryMs = " + std::to_string(cp::kWriterDiscoveryMs) + " ms";
    std::size_t naming = 0;
    for (const std::string& f : out.failures) {
        if (f.find("lVal 1 is missing") != std::string::npos) {
            EXPECT_NE(f.find(named), std::string::npos) << f;
        }
        if (f.find("lVal 3 is missing") != std::string::npos) {
            EXPECT_EQ(f.find(named), std::string::npos) << f;
        }
        naming += f.find(named) != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(naming, 1u) << out.text;
    peer::reset_link();
    ::close(fds[1]);
}

// A handle of this side's own that is matched beside the positive endpoints
// (a decoy) but whose data cannot be looked up fails the verdict: a decoy
// left out proves nothing about a lookup that ignores its handle.
TEST(CounterpartSkeleton, ADecoyWhoseDataCannotBeLookedUpFailsTheVerdict) {
    InstanceHandle_t decoy;
    decoy.value[0] = 7;
    decoy.length = 16;
    const PublicationBuiltinTopicData want = cp::announced_writer("topic", "FlatRecord");
    for (const bool readable : {true, false}) {
        FakeReader reader(FakeReader::Mode::Sound, {});
        PublicationBuiltinTopicData data = want;
        std::copy(std::begin(decoy.value), std::begin(decoy.value) + 16, std::begin(data.key.value));
        reader.match(decoy, readable ? std::optional(data) : std::nullopt);
        bool ok = false;
        const Output out = run([&] {
            cp::Verdict v("decoy");
            cp::Matches m(&reader);
            cp::expect_matched(v, m, &reader, {}, {{decoy, want}}, "the reader");
            ok = v.ok();
        });
        EXPECT_EQ(ok, readable) << out.text;
        if (!readable) {
            EXPECT_TRUE(out.mentions("could not be looked up")) << out.text;
        }
    }
}

// A given source timestamp is compared as the wire carries it, in units of
// 2^-32 s: a library that truncates or rounds in the conversion to that unit
// and back passes; one that is off by more than a unit does not.
TEST(CounterpartSkeleton, GivenSourceTimestampsAreComparedWithinTheWiresResolution) {
    struct Case {
        Time given;
        Time got;
        bool same;
    };
    const Case cases[] = {
        {{1234, 5678}, {1234, 5678}, true},
        {{1234, 5678}, {1234, 5677}, true},   // truncated both ways (24386 units, 5677.8 ns)
        {{1234, 5678}, {1234, 5676}, false},  // 2 ns: more than 4 units
        {{1234, 5678}, {1234, 5679}, false},
        {{1234, 5678}, {1235, 5678}, false},
        {{123, 456}, {123, 455}, true},
        {{123, 456}, {123, 457}, false},
        {{0, 999999999}, {0, 999999999}, true},
        {{0, 999999999}, {0, 999999998}, true},
        {{0, 999999999}, {1, 0}, false},      // 2.3 units above
        {{5, 0}, {4, 999999999}, true},       // a unit below, truncated
        {{5, 0}, {4, 999999998}, false},
        {{1796997658, 413285172}, {1796997658, 413285171}, true},
        {{1796997658, 413285172}, {1796997658, 413285174}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cp::same_on_the_wire(c.got, c.given), c.same)
            << "given " << cp::describe(c.given) << ", got " << cp::describe(c.got);
    }
}

// The default partition is the same announced as [] or as [""]; any name
// in it is another partition.
TEST(CounterpartSkeleton, TheDefaultPartitionIsTheSameAnnouncedWithoutANameOrWithTheEmptyOne) {
    struct Case {
        StringSeq announced;
        StringSeq expected;
        bool same;
    };
    const Case cases[] = {
        {{}, {}, true},          {{""}, {}, true},           {{}, {""}, true},
        {{"a"}, {}, false},      {{}, {"a"}, false},         {{"", "a"}, {""}, false},
        {{"a"}, {"a"}, true},    {{"a"}, {"b"}, false},
    };
    for (const Case& c : cases) {
        cp::Matched<PublicationBuiltinTopicData> got{HANDLE_NIL, cp::announced_writer("topic", "FlatRecord")};
        std::copy(std::begin(got.handle.value), std::begin(got.handle.value) + 16, std::begin(got.data.key.value));
        got.data.partition.name = c.announced;
        PublicationBuiltinTopicData want = cp::announced_writer("topic", "FlatRecord");
        want.partition.name = c.expected;
        bool same = false;
        const Output out = run([&] {
            cp::Verdict v("partition");
            same = cp::expect_announced(v, got, want, "the writer");
        });
        EXPECT_EQ(same, c.same) << testing::PrintToString(c.announced) << " against "
                                << testing::PrintToString(c.expected) << ": " << out.text;
    }
}

// sample_rank is checked against the collection each sample came in: a
// take of three samples of one instance ranks them 2, 1, 0; two takes of one
// sample each rank both 0. A library that leaves every rank 0 fails where a
// collection holds more than one sample of an instance.
TEST(CounterpartSkeleton, SampleRanksAreCheckedPerReturnedCollection) {
    for (const bool zero : {false, true}) {
        for (const int32_t per_call : {3, 1}) {
            FakeReader reader(FakeReader::Mode::Sound, {1, 2, 3});
            if (zero) reader.zero_ranks();
            cp::Samples<FlatRecord> got;
            if (per_call == 3) {
                got = cp::take<FlatRecord>(&reader);
            } else {
                for (int i = 0; i < 3; ++i) {
                    SequenceData<FlatRecord> data;
                    SampleInfoSeq infos;
                    ASSERT_EQ(reader.take(data, infos, 1, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE),
                              RETCODE_OK);
                    got.push_back(cp::Sample<FlatRecord>{data[0], infos[0], cp::now(), 0});
                }
            }
            bool ok = false;
            const Output out = run([&] {
                cp::Verdict v("ranks");
                ok = cp::expect_samples(v, got, one_two_three(), "the step");
            });
            const bool wrong = zero && per_call == 3;
            EXPECT_EQ(ok, !wrong) << (zero ? "ranks 0, " : "ranks right, ") << per_call << " per call: " << out.text;
            if (wrong) {
                EXPECT_TRUE(out.mentions("sample rank 0, expected 2"));
            }
        }
    }
}

InstanceHandle_t handle(octet n) {
    InstanceHandle_t h;
    h.value[0] = n;
    h.length = 16;
    return h;
}

// The matched status as Matches reads it: the changes of each read against
// the read before, the new matches counted in total, the last handle naming
// one of them; after an ended match the last handle may name either.
TEST(CounterpartSkeleton, MatchesChecksTheMatchedStatusAgainstWhatItLists) {
    struct Case {
        const char* name;
        void (*fault)(FakeReader&);
        bool end_named_last;  // the second step's last handle names the ended match
        bool ok;
        const char* failure;
    };
    const Case cases[] = {
        {"sound", [](FakeReader&) {}, false, true, ""},
        {"the ended match named last", [](FakeReader&) {}, true, true, ""},
        {"the last handle never set", [](FakeReader& r) { r.last_nil(); }, false, false,
         "last publication handle is none of the 1 endpoint(s) that matched"},
        {"total_count_change never reset", [](FakeReader& r) { r.keep_total_change(); }, false, false,
         "total_count 1 then 1, with a total_count_change of 1 between two reads"},
    };
    for (const Case& c : cases) {
        FakeReader reader(FakeReader::Mode::Sound, {});
        c.fault(reader);
        bool ok = false;
        const Output out = run([&] {
            cp::Verdict v("matches");
            cp::Matches m(&reader);
            reader.match(handle(1));
            m.exactly(v, 1, {}, 1000);
            // The first positive endpoint leaves, the second comes.
            reader.match(handle(2));
            reader.unmatch(handle(1), c.end_named_last);
            m.exactly(v, 1, {}, 1000);
            reader.unmatch(handle(2), false);
            m.gone(v, {}, 1000);
            ok = v.ok();
        });
        EXPECT_EQ(ok, c.ok) << c.name << ": " << out.text;
        if (!c.ok) {
            EXPECT_TRUE(out.mentions(c.failure)) << c.name << ": " << testing::PrintToString(out.failures);
        }
    }
}

}  // namespace
