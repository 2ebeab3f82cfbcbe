// The data-writer listener base: event flags and bounded waits.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "BaseDataWriterListener.h"

using namespace QUORVELA;
using Clock = std::chrono::steady_clock;

namespace {

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The four events: how the library reports one, and how a test waits for it.
struct Event {
    const char* name;
    std::function<void(DataWriterListener&)> report;
    std::function<int(BaseDataWriterListener&, int)> wait;
};

const Event kEvents[] = {
    {"liveliness lost", [](DataWriterListener& l) { l.on_liveliness_lost(nullptr, LivelinessLostStatus()); },
     [](BaseDataWriterListener& l, int ms) { return l.wait_liveliness_lost(ms); }},
    {"offered deadline missed",
     [](DataWriterListener& l) { l.on_offered_deadline_missed(nullptr, OfferedDeadlineMissedStatus()); },
     [](BaseDataWriterListener& l, int ms) { return l.wait_offered_deadline_missed(ms); }},
    {"offered incompatible qos",
     [](DataWriterListener& l) { l.on_offered_incompatible_qos(nullptr, OfferedIncompatibleQosStatus()); },
     [](BaseDataWriterListener& l, int ms) { return l.wait_offered_incompatible_qos(ms); }},
    {"publication matched",
     [](DataWriterListener& l) { l.on_publication_matched(nullptr, PublicationMatchedStatus()); },
     [](BaseDataWriterListener& l, int ms) { return l.wait_publication_matched(ms); }},
};

TEST(WriterListener, UnreportedEventTimesOut) {
    BaseDataWriterListener listener;
    for (const Event& e : kEvents) {
        SCOPED_TRACE(e.name);
        const auto start = Clock::now();
        EXPECT_EQ(e.wait(listener, 100), 1);
        const auto elapsed = msSince(start);
        EXPECT_GE(elapsed, 100);
        EXPECT_LT(elapsed, 1000);
    }
    EXPECT_EQ(listener.wait_publication_matched(0), 1);
    EXPECT_EQ(listener.wait_publication_matched(-5), 1);
}

TEST(WriterListener, EarlierReportIsSeenAtOnceAndStays) {
    for (const Event& e : kEvents) {
        SCOPED_TRACE(e.name);
        BaseDataWriterListener listener;
        e.report(listener);
        e.report(listener);
        const auto start = Clock::now();
        EXPECT_EQ(e.wait(listener, 5000), 0);
        EXPECT_EQ(e.wait(listener, 5000), 0);
        EXPECT_EQ(e.wait(listener, 0), 0);
        EXPECT_LT(msSince(start), 100);
    }
}

TEST(WriterListener, ReportDuringTheWaitEndsIt) {
    for (const Event& e : kEvents) {
        SCOPED_TRACE(e.name);
        BaseDataWriterListener listener;
        std::thread library([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            e.report(listener);
        });
        const auto start = Clock::now();
        const int result = e.wait(listener, 5000);
        const auto elapsed = msSince(start);
        library.join();
        EXPECT_EQ(result, 0);
        EXPECT_GE(elapsed, 50);
        EXPECT_LT(elapsed, 2000);
    }
}

TEST(WriterListener, EventsAreIndependent) {
    for (std::size_t reported = 0; reported < std::size(kEvents); ++reported) {
        SCOPED_TRACE(kEvents[reported].name);
        BaseDataWriterListener listener;
        kEvents[reported].report(listener);
        for (std::size_t waited = 0; waited < std::size(kEvents); ++waited) {
            EXPECT_EQ(kEvents[waited].wait(listener, 20), waited == reported ? 0 : 1)
                << kEvents[waited].name;
        }
    }
}

TEST(WriterListener, DerivedListenersWorkThroughTheLibraryInterfaces) {
    std::unique_ptr<BaseDataWriterListener> all[] = {
        std::make_unique<DeadlineQosPolicyDataWriterListener>(),
        std::make_unique<LivelinessQosPolicyDataWriterListener>(),
        std::make_unique<LivelinessMatchDataWriterListener>(),
        std::make_unique<OwnershipMatchDataWriterListener>(),
        std::make_unique<DeadlineMatchDataWriterListener>(),
        std::make_unique<ReliabilityMatchDataWriterListener>(),
        std::make_unique<DurabilityMatchDataWriterListener>(),
    };
    for (auto& listener : all) {
        DataWriterListener& asLibrarySees = *listener;
        asLibrarySees.on_offered_incompatible_qos(nullptr, OfferedIncompatibleQosStatus());
        EXPECT_EQ(listener->wait_offered_incompatible_qos(1000), 0);
        EXPECT_EQ(listener->wait_publication_matched(0), 1);
    }
    // Deleting through the library's base class runs the whole destructor.
    Listener* owned = new DurabilityMatchDataWriterListener();
    delete owned;
}

}  // namespace
