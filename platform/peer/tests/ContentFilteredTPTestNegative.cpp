// Reading side of the content-filter tests: a reader on a content-filtered
// topic that must receive exactly the samples its filter passes, each once.
//
// The filter is "lVal > %0 AND lVal < %1" with {"10", "40"}; the positive side
// writes lVal 5, 15, 25, 35, 45. In the dynamic test the parameters then become
// {"40", "75"} and the positive side writes 50, 60, 70, 80, 90. The values are
// chosen so that each fault shows in a check of its own:
//   - a filter that is ignored lets 5 and 45 through in the first round;
//   - a parameter change that is ignored lets nothing of the second round
//     through (no second-round value lies in (10, 40));
//   - a change that re-filters the history delivers 45 again, which the new
//     range (40, 75) passes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KeyedType.h"
#include "peer/peer_link.h"
#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMatchBudgetMs = 9000;    // the positive side waits 10000 ms for "reader_ready"
constexpr int kMatchPollMs = 50;
constexpr int kMatchSettleMs = 500;     // lets the writer's side see the reader too
constexpr int kCollectMs = 5000;
constexpr int kTakePollMs = 20;
constexpr int kGraceMs = 400;           // catches samples that should not come at all
constexpr int kCloseWaitMs = 15000;

struct Received {
    int32_t lVal;
    int16_t sVal;
    std::string sbVal;
};

std::string describe(const std::vector<Received>& samples) {
    std::ostringstream out;
    out << "{";
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (i != 0) out << ", ";
        out << "(" << samples[i].lVal << ", \"" << samples[i].sbVal << "\")";
    }
    out << "}";
    return out.str();
}

// The peer's entities: a participant, the keyed type, the topic the positive
// side writes, a content-filtered topic over it and a reliable reader on that.
class FilteringReader {
public:
    FilteringReader(const std::string& topic_name, const std::string& expression, const StringSeq& parameters) {
        factory_ = DomainParticipantFactory::get_instance();
        if (factory_ == nullptr) {
            ADD_FAILURE() << "no participant factory";
            return;
        }
        participant_ = factory_->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
        if (participant_ == nullptr) {
            ADD_FAILURE() << "create_participant(0) returned null";
            return;
        }
        EXPECT_EQ(participant_->registe_type("KeyedType", KeyedTypeTypeSupport::get_instance()), RETCODE_OK);
        topic_ = participant_->create_topic(topic_name, "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
        if (topic_ == nullptr) {
            ADD_FAILURE() << "create_topic(\"" << topic_name << "\") returned null";
            return;
        }
        cft_ = participant_->create_contentfilteredtopic(topic_name + "_peer_cft", topic_, expression, parameters);
        if (cft_ == nullptr) {
            ADD_FAILURE() << "create_contentfilteredtopic(\"" << expression << "\") returned null";
            return;
        }
        subscriber_ = participant_->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
        if (subscriber_ == nullptr) {
            ADD_FAILURE() << "create_subscriber returned null";
            return;
        }
        DataReaderQos qos = DATAREADER_QOS_DEFAULT;
        qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
        reader_ = subscriber_->create_datareader(cft_, qos, nullptr, 0);
        if (reader_ == nullptr) ADD_FAILURE() << "create_datareader on the content-filtered topic returned null";
    }

    ~FilteringReader() {
        if (participant_ != nullptr) {
            EXPECT_EQ(participant_->delete_contained_entities(), RETCODE_OK);
            EXPECT_EQ(factory_->delete_participant(participant_), RETCODE_OK);
        }
        DomainParticipantFactory::finalize();
    }

    ContentFilteredTopic* cft() const { return cft_; }
    bool ok() const { return reader_ != nullptr; }

    // Polls until the reader matches a writer, then lets discovery settle on
    // the writer's side. False when no writer matched within the budget.
    bool wait_matched() {
        if (reader_ == nullptr) return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kMatchBudgetMs);
        for (;;) {
            SubscriptionMatchedStatus status;
            if (reader_->get_subscription_matched_status(status) == RETCODE_OK && status.current_count >= 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kMatchSettleMs));
                return true;
            }
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(kMatchPollMs));
        }
    }

    // Takes what has arrived: only samples with valid data.
    std::vector<Received> take_now() {
        std::vector<Received> out;
        if (reader_ == nullptr) return out;
        for (;;) {
            SequenceData<KeyedType> data;
            SampleInfoSeq infos;
            ReturnCode_t rc = reader_->take(data, infos, 100, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
            if (rc != RETCODE_OK) {
                if (rc != RETCODE_NO_DATA) ADD_FAILURE() << "take returned " << rc;
                return out;
            }
            if (data.length() != infos.length()) {
                ADD_FAILURE() << "take returned " << data.length() << " samples but " << infos.length()
                              << " sample infos";
                return out;
            }
            if (data.length() == 0) return out;
            for (uint32_t i = 0; i < data.length(); ++i) {
                if (infos[i].valid_data) out.push_back({data[i].lVal, data[i].sVal, data[i].sbVal});
            }
        }
    }

    // Takes until `want` samples have arrived or budget_ms passed, then once
    // more after a grace period, so that samples beyond the expected ones show.
    std::vector<Received> collect(std::size_t want, int budget_ms = kCollectMs) {
        std::vector<Received> out;
        const auto deadline = Clock::now() + std::chrono::milliseconds(budget_ms);
        while (out.size() < want && Clock::now() < deadline) {
            std::vector<Received> got = take_now();
            out.insert(out.end(), got.begin(), got.end());
            if (out.size() < want) std::this_thread::sleep_for(std::chrono::milliseconds(kTakePollMs));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kGraceMs));
        std::vector<Received> late = take_now();
        out.insert(out.end(), late.begin(), late.end());
        return out;
    }

private:
    DomainParticipantFactory* factory_ = nullptr;
    DomainParticipant* participant_ = nullptr;
    Topic* topic_ = nullptr;
    ContentFilteredTopic* cft_ = nullptr;
    Subscriber* subscriber_ = nullptr;
    DataReader* reader_ = nullptr;
};

// Each expected sample (lVal -> sbVal) arrived exactly once with its text.
// True when all did.
bool expect_each_once(const std::vector<Received>& got, const std::map<int32_t, std::string>& expected,
                      const char* what) {
    bool ok = true;
    for (const auto& [lVal, sbVal] : expected) {
        int count = 0;
        for (const Received& r : got) {
            if (r.lVal != lVal) continue;
            ++count;
            EXPECT_EQ(r.sbVal, sbVal) << what << ": sample lVal " << lVal << " arrived with the wrong text";
            if (r.sbVal != sbVal) ok = false;
        }
        EXPECT_EQ(count, 1) << what << ": sample lVal " << lVal << " must arrive exactly once; received "
                            << describe(got);
        if (count != 1) ok = false;
    }
    return ok;
}

// Nothing but the expected samples arrived. True when so.
bool expect_nothing_else(const std::vector<Received>& got, const std::map<int32_t, std::string>& expected,
                         const char* what) {
    std::vector<Received> extra;
    for (const Received& r : got) {
        if (expected.count(r.lVal) == 0) extra.push_back(r);
    }
    EXPECT_TRUE(extra.empty()) << what << ": samples outside the filter arrived: " << describe(extra);
    return extra.empty();
}

// Waits, bounded, until the positive side closes the connection; it deletes
// its writer first, so the reader goes away after it.
void wait_for_close(peer::PeerLink& link) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    while (!link.ended() && Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        link.next(static_cast<int>(left > 0 ? left : 0));
    }
}

}  // namespace

PEER_TEST(ContentFilteredTPTestNegative, ENABLED_ContentFilteredTopicBasicFilterNegative,
          "ContentFilteredTopicBasicFilter") {
    peer::PeerLink& link = peer::link();
    {
        FilteringReader reader("filter_test_topic_name", "lVal > %0 AND lVal < %1", StringSeq{"10", "40"});
        // Sent whatever the set-up gave: the positive side waits for it without limit.
        EXPECT_TRUE(link.ready());

        const bool matched = reader.wait_matched();
        EXPECT_TRUE(matched) << "no writer matched the reader within " << kMatchBudgetMs << " ms";
        // A check key goes out only when its check passed, so that the positive
        // side's bounded wait fails too.
        if (matched) {
            EXPECT_TRUE(link.send("reader_ready"));
        }

        const std::map<int32_t, std::string> passing = {{15, "test2"}, {25, "test3"}, {35, "test4"}};
        std::vector<Received> got = reader.collect(passing.size());
        bool ok = reader.ok();
        ok = expect_each_once(got, passing, "basic filter") && ok;
        ok = expect_nothing_else(got, passing, "basic filter") && ok;
        if (ok) {
            EXPECT_TRUE(link.send("filter_check_done"));
        }

        wait_for_close(link);
    }
}

PEER_TEST(ContentFilteredTPTestNegative, ENABLED_ContentFilteredTopicDynamicParameterNegative,
          "ContentFilteredTopicDynamicParameter") {
    peer::PeerLink& link = peer::link();
    {
        FilteringReader reader("dynamic_filter_topic_name", "lVal > %0 AND lVal < %1", StringSeq{"10", "40"});
        EXPECT_TRUE(link.ready());

        const bool matched = reader.wait_matched();
        EXPECT_TRUE(matched) << "no writer matched the reader within " << kMatchBudgetMs << " ms";
        if (matched) {
            EXPECT_TRUE(link.send("reader_ready"));
        }

        // Round 1 under {"10", "40"}.
        const std::map<int32_t, std::string> first = {{15, ""}, {25, ""}, {35, ""}};
        std::vector<Received> round1 = reader.collect(first.size());
        bool ok1 = reader.ok();
        ok1 = expect_each_once(round1, first, "first round") && ok1;
        ok1 = expect_nothing_else(round1, first, "first round") && ok1;
        if (ok1) {
            EXPECT_TRUE(link.send("first_round_done"));
        }

        // The change applies to later samples only.
        bool ok_change = false;
        if (reader.cft() != nullptr) {
            const StringSeq new_params = {"40", "75"};
            const ReturnCode_t set_rc = reader.cft()->set_expression_parameters(new_params);
            EXPECT_EQ(set_rc, RETCODE_OK);
            StringSeq read_back;
            const ReturnCode_t get_rc = reader.cft()->get_expression_parameters(read_back);
            EXPECT_EQ(get_rc, RETCODE_OK);
            EXPECT_EQ(read_back, new_params);
            std::this_thread::sleep_for(std::chrono::milliseconds(kGraceMs));
            std::vector<Received> after_change = reader.take_now();
            EXPECT_TRUE(after_change.empty())
                << "the parameter change delivered samples that had already been filtered: "
                << describe(after_change);
            ok_change = set_rc == RETCODE_OK && get_rc == RETCODE_OK && read_back == new_params &&
                        after_change.empty();
        } else {
            ADD_FAILURE() << "no content-filtered topic: the parameters cannot be changed";
        }
        if (ok_change) {
            EXPECT_TRUE(link.send("param_changed"));
        }

        // Round 2 under {"40", "75"}: 80 and 90 lie outside, and so does every
        // round-1 sample, 45 in particular, since it was written before the change.
        // The positive side writes round 2 once it has both keys; for each key
        // held back it first waits out its bounded wait, so the collection
        // covers those waits and round 2 is still judged on what it delivers.
        const std::map<int32_t, std::string> second = {{50, ""}, {60, ""}, {70, ""}};
        const int held_back = (ok1 ? 0 : 1) + (ok_change ? 0 : 1);
        std::vector<Received> round2 = reader.collect(second.size(), kCollectMs + held_back * peer::kWaitMs);
        bool ok2 = reader.ok();
        ok2 = expect_each_once(round2, second, "second round") && ok2;
        ok2 = expect_nothing_else(round2, second, "second round") && ok2;
        if (ok2) {
            EXPECT_TRUE(link.send("second_round_done"));
        }

        wait_for_close(link);
    }
}
