// Match lifetime: exactly the endpoints of a step matched, and all of them
// gone, with the change counted, once the positive side has deleted them.
#include <algorithm>
#include <string>
#include <thread>

#include "counterpart.h"

namespace cp {

namespace {

bool contains(const InstanceHandleSeq& list, const InstanceHandle_t& h) {
    return std::find(list.begin(), list.end(), h) != list.end();
}

}  // namespace

Matches::Matches(DataReader* reader) : reader_(reader) {}
Matches::Matches(DataWriter* writer) : writer_(writer) {}

InstanceHandleSeq Matches::list() const {
    InstanceHandleSeq handles;
    ReturnCode_t rc = RETCODE_ERROR;
    if (reader_ != nullptr) rc = reader_->get_matched_publications(handles);
    if (writer_ != nullptr) rc = writer_->get_matched_subscriptions(handles);
    if (rc != RETCODE_OK) handles.clear();
    return handles;
}

Matches::Status Matches::status() {
    Status s;
    if (reader_ != nullptr) {
        SubscriptionMatchedStatus m;
        s.rc = reader_->get_subscription_matched_status(m);
        s.current = m.current_count;
        s.current_change = m.current_count_change;
        s.total = m.total_count;
        s.total_change = m.total_count_change;
        s.last = m.last_publication_handle;
    } else if (writer_ != nullptr) {
        PublicationMatchedStatus m;
        s.rc = writer_->get_publication_matched_status(m);
        s.current = m.current_count;
        s.current_change = m.current_count_change;
        s.total = m.total_count;
        s.total_change = m.total_count_change;
        s.last = m.last_subscription_handle;
    }
    if (s.rc != RETCODE_OK) return s;
    // Each read reports the changes since the last read, which reset them.
    // (What came before the first read is not known here.) A counterpart may
    // read the status itself too: the total's change is then at most what the
    // total grew since this object's read before.
    if (read_before_ && read_failures_.size() < 4) {
        if (s.total_change < 0 || s.total_change > s.total - previous_.total) {
            read_failures_.push_back("total_count " + std::to_string(previous_.total) + " then " +
                                     std::to_string(s.total) + ", with a total_count_change of " +
                                     std::to_string(s.total_change));
        }
        if (s.current_change != s.current - previous_.current) {
            read_failures_.push_back("current_count " + std::to_string(previous_.current) + " then " +
                                     std::to_string(s.current) + ", with a current_count_change of " +
                                     std::to_string(s.current_change));
        }
    }
    if (s.current > s.total && read_failures_.size() < 4) {
        read_failures_.push_back("current_count " + std::to_string(s.current) + " above total_count " +
                                 std::to_string(s.total));
    }
    read_before_ = true;
    previous_ = s;
    current_changes_ += s.current_change;
    return s;
}

bool Matches::report_reads(Verdict& v) {
    const std::string side = reader_ != nullptr ? "subscription matched status" : "publication matched status";
    for (const std::string& f : read_failures_) v.fail() << side << ": " << f << " between two reads";
    const bool ok = read_failures_.empty();
    read_failures_.clear();
    return ok;
}

InstanceHandleSeq Matches::exactly(Verdict& v, std::size_t n, const InstanceHandleSeq& own, int timeout_ms) {
    const std::size_t all = n + own.size();
    InstanceHandleSeq handles;
    const auto start = Clock::now();
    // The list and the matched status are read one after the other, and a
    // match may land between the two reads: wait until both agree.
    wait_until(
        [&] {
            if ((handles = list()).size() != all) return false;
            const Status s = status();
            return s.rc == RETCODE_OK && s.current == static_cast<int32_t>(all);
        },
        timeout_ms);
    const std::string side = reader_ != nullptr ? "matched publications" : "matched subscriptions";
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    bool ok = v.check(handles.size() == all)
              << side << ": " << handles.size() << " matched after " << waited << " ms"
              << (positive_gone() ? " (the positive side had closed)" : " of " + std::to_string(timeout_ms))
              << ", expected exactly " << all << " (" << n << " of the positive side, " << own.size()
              << " of this side)";
    InstanceHandleSeq others;
    for (const InstanceHandle_t& h : handles) {
        if (!contains(own, h)) others.push_back(h);
    }
    for (const InstanceHandle_t& h : own) {
        ok = (v.check(contains(handles, h)) << side << ": an endpoint of this side is not matched") && ok;
    }
    const Status s = status();
    ok = (v.check(s.rc == RETCODE_OK && s.current == static_cast<int32_t>(handles.size()))
          << side << ": the matched status counts " << s.current << " current matches (return code " << s.rc
          << ") while " << handles.size() << " are listed") &&
         ok;
    // The matches new since the last exactly() are counted in total; the last
    // handle names one of them unless a match ended meanwhile.
    InstanceHandleSeq fresh;
    for (const InstanceHandle_t& h : handles) {
        if (!contains(expected_, h)) fresh.push_back(h);
    }
    const std::string status_name = reader_ != nullptr ? "the subscription matched status" : "the publication matched status";
    const int32_t new_total = s.total - counted_.total;
    ok = (v.check(new_total >= static_cast<int32_t>(fresh.size()))
          << status_name << " counted " << new_total << " new match(es) in total_count (" << counted_.total
          << " then " << s.total << "), while " << fresh.size() << " endpoint(s) matched anew") &&
         ok;
    const bool none_ended = new_total == s.current - counted_.current;
    if (!fresh.empty() && none_ended) {
        ok = (v.check(contains(fresh, s.last))
              << status_name << ": its last " << (reader_ != nullptr ? "publication" : "subscription")
              << " handle is none of the " << fresh.size() << " endpoint(s) that matched") &&
             ok;
    }
    ok = report_reads(v) && ok;
    if (ok) note_matched();
    // What gone() counts from: the status read here reset its changes.
    base_ = s.current;
    expected_ = handles;
    counted_ = s;
    current_changes_ = 0;
    if (!ok) return {};
    return others;
}

bool Matches::gone(Verdict& v, const InstanceHandleSeq& stay, int timeout_ms) {
    const std::string side = reader_ != nullptr ? "matched publications" : "matched subscriptions";
    // Not ended by the positive side closing its connection: it closes once
    // its endpoints are deleted, which is what this waits for.
    Status s;
    InstanceHandleSeq handles;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        s = status();
        handles = list();
        const bool left = std::all_of(handles.begin(), handles.end(), [&](const auto& h) { return contains(stay, h); });
        if ((left && s.current == static_cast<int32_t>(stay.size())) || Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    log_line(side + ": " + std::to_string(handles.size()) + " listed, " + std::to_string(s.current) +
             " counted after the positive side's deletion (" + std::to_string(stay.size()) + " of this side stay)");
    std::size_t outliving = 0;
    for (const InstanceHandle_t& h : handles) outliving += contains(stay, h) ? 0 : 1;
    bool ok = v.check(outliving == 0) << side << ": " << outliving
                                       << " match(es) still listed " << timeout_ms
                                       << " ms after the positive side deleted its endpoints";
    ok = (v.check(s.current == static_cast<int32_t>(stay.size()))
          << side << ": the matched status still counts " << s.current << " current matches, expected "
          << stay.size()) &&
         ok;
    // Counted since exactly(), whose read reset the changes.
    const int32_t change = current_changes_;
    const int32_t want_change = static_cast<int32_t>(stay.size()) - base_;
    ok = (v.check(change == want_change) << side << ": the matched status counted a change of " << change
                                          << " current matches, expected " << want_change) &&
         ok;
    ok = report_reads(v) && ok;
    return ok;
}

bool Matches::left(Verdict& v, const InstanceHandleSeq& leaving, int timeout_ms) {
    const std::string side = reader_ != nullptr ? "matched publications" : "matched subscriptions";
    std::size_t still = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const InstanceHandleSeq handles = list();
        still = 0;
        for (const InstanceHandle_t& h : leaving) still += contains(handles, h) ? 1 : 0;
        if (still == 0 || Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return v.check(still == 0) << side << ": " << still << " match(es) of an earlier step still listed "
                                << timeout_ms << " ms after the positive side deleted its endpoints";
}

}  // namespace cp
