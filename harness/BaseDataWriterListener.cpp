#include "BaseDataWriterListener.h"

#include <chrono>

void BaseDataWriterListener::report(int event) {
    {
        std::lock_guard<std::mutex> lock(eventMutex[event]);
        eventSeen[event] = true;
    }
    eventCondition[event].notify_one();
}

std::int32_t BaseDataWriterListener::waitFor(int event, std::int32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(eventMutex[event]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool seen = eventCondition[event].wait_until(lock, deadline, [&] { return eventSeen[event]; });
    return seen ? 0 : 1;
}

void BaseDataWriterListener::on_liveliness_lost(QUORVELA::DataWriter*,
                                                const QUORVELA::LivelinessLostStatus&) {
    report(kLivelinessLost);
}

void BaseDataWriterListener::on_offered_deadline_missed(QUORVELA::DataWriter*,
                                                        const QUORVELA::OfferedDeadlineMissedStatus&) {
    report(kDeadlineMissed);
}

void BaseDataWriterListener::on_offered_incompatible_qos(QUORVELA::DataWriter*,
                                                         const QUORVELA::OfferedIncompatibleQosStatus&) {
    report(kIncompatibleQos);
}

void BaseDataWriterListener::on_publication_matched(QUORVELA::DataWriter*,
                                                    const QUORVELA::PublicationMatchedStatus&) {
    report(kPublicationMatched);
}

std::int32_t BaseDataWriterListener::wait_liveliness_lost(std::int32_t timeoutMs) {
    return waitFor(kLivelinessLost, timeoutMs);
}

std::int32_t BaseDataWriterListener::wait_offered_deadline_missed(std::int32_t timeoutMs) {
    return waitFor(kDeadlineMissed, timeoutMs);
}

std::int32_t BaseDataWriterListener::wait_offered_incompatible_qos(std::int32_t timeoutMs) {
    return waitFor(kIncompatibleQos, timeoutMs);
}

std::int32_t BaseDataWriterListener::wait_publication_matched(std::int32_t timeoutMs) {
    return waitFor(kPublicationMatched, timeoutMs);
}
