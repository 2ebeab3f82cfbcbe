// Data-writer listener that records four writer events and lets the test
// thread wait, with a time limit, until an event has been reported.
#ifndef HARNESS_BASEDATAWRITERLISTENER_H
#define HARNESS_BASEDATAWRITERLISTENER_H

#include <quorvela/quorvela.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

class BaseDataWriterListener : public QUORVELA::DataWriterListener {
public:
    BaseDataWriterListener() = default;
    ~BaseDataWriterListener() override = default;

    void on_liveliness_lost(QUORVELA::DataWriter* writer,
                            const QUORVELA::LivelinessLostStatus& status) override;
    void on_offered_deadline_missed(QUORVELA::DataWriter* writer,
                                    const QUORVELA::OfferedDeadlineMissedStatus& status) override;
    void on_offered_incompatible_qos(QUORVELA::DataWriter* writer,
                                     const QUORVELA::OfferedIncompatibleQosStatus& status) override;
    void on_publication_matched(QUORVELA::DataWriter* writer,
                                const QUORVELA::PublicationMatchedStatus& status) override;

    // 0 once the event has been reported (before or during the wait), 1 when
    // the limit in milliseconds passes without it.
    std::int32_t wait_liveliness_lost(std::int32_t timeoutMs);
    std::int32_t wait_offered_deadline_missed(std::int32_t timeoutMs);
    std::int32_t wait_offered_incompatible_qos(std::int32_t timeoutMs);
    std::int32_t wait_publication_matched(std::int32_t timeoutMs);

protected:
    enum Event { kLivelinessLost = 0, kDeadlineMissed = 1, kIncompatibleQos = 2, kPublicationMatched = 3 };

    std::mutex eventMutex[4];
    std::condition_variable eventCondition[4];
    bool eventSeen[4] = {false, false, false, false};

private:
    void report(int event);
    std::int32_t waitFor(int event, std::int32_t timeoutMs);
};

class DeadlineQosPolicyDataWriterListener : public BaseDataWriterListener {};
class LivelinessQosPolicyDataWriterListener : public BaseDataWriterListener {};
class LivelinessMatchDataWriterListener : public BaseDataWriterListener {};
class OwnershipMatchDataWriterListener : public BaseDataWriterListener {};
class DeadlineMatchDataWriterListener : public BaseDataWriterListener {};
class ReliabilityMatchDataWriterListener : public BaseDataWriterListener {};
class DurabilityMatchDataWriterListener : public BaseDataWriterListener {};

#endif  // HARNESS_BASEDATAWRITERLISTENER_H
