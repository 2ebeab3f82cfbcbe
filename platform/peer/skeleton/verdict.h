// A verdict: the named checks of one step of a counterpart. Each check is
// written once: a check that fails is logged at once as a non-fatal
// googletest failure (with the verdict's name and the check's message) and
// remembered, so that cp::report(key, verdict) sends the key only when every
// check of the verdict passed. A verdict lists its first kListedFailures
// failures; the others are counted, and their number is one more failure
// when the verdict ends, so that a library that fails the same check for
// every one of thousands of samples costs a bounded number of lines.
//
//   cp::Verdict v("cycle 3");
//   v.check(handles.size() == 1) << "matched " << handles.size() << " writers";
//   v.equal(data.topic_name, "transport_mode_topic") << "topic name";
//   cp::report("take_finish", v);
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <source_location>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace cp {

class Verdict {
public:
    static constexpr std::size_t kListedFailures = 40;

    // The message of one check: streamed into, recorded when the check's
    // full expression ends (and only when the check failed).
    class Note {
    public:
        Note(Verdict* verdict, bool passed, std::string detail, std::source_location where)
            : verdict_(verdict), passed_(passed), detail_(std::move(detail)), where_(where) {}
        Note(Note&&) = delete;
        ~Note();
        template <class T>
        Note& operator<<(const T& part) {
            if (!passed_) message_ << part;
            return *this;
        }
        // A failed check converts to false, a passed one to true.
        operator bool() const { return passed_; }

    private:
        Verdict* verdict_;
        bool passed_;
        std::string detail_;
        std::source_location where_;
        std::ostringstream message_;
    };

    explicit Verdict(std::string name = "") : name_(std::move(name)) {}
    // Reports the failures counted but not listed.
    ~Verdict();
    Verdict(const Verdict&) = default;
    Verdict& operator=(const Verdict&) = default;
    // A verdict moved from has nothing left to report.
    Verdict(Verdict&& other) noexcept
        : name_(std::move(other.name_)),
          failures_(std::move(other.failures_)),
          unlisted_(std::exchange(other.unlisted_, 0)) {}
    Verdict& operator=(Verdict&& other) noexcept {
        name_ = std::move(other.name_);
        failures_ = std::move(other.failures_);
        unlisted_ = std::exchange(other.unlisted_, 0);
        return *this;
    }

    // A condition that must hold.
    Note check(bool passed, std::source_location where = std::source_location::current()) {
        return Note(this, passed, "", where);
    }
    // got == want; the message shows both.
    template <class A, class B>
    Note equal(const A& got, const B& want, std::source_location where = std::source_location::current()) {
        const bool passed = got == want;
        std::string detail;
        if (!passed) {
            detail = "got " + ::testing::PrintToString(got) + ", expected " + ::testing::PrintToString(want);
        }
        return Note(this, passed, detail, where);
    }
    // A failure that has been found otherwise.
    Note fail(std::source_location where = std::source_location::current()) { return Note(this, false, "", where); }

    // The failures of another verdict are this one's too.
    Verdict& operator+=(const Verdict& other);

    bool ok() const { return failures_.empty() && unlisted_ == 0; }
    const std::string& name() const { return name_; }
    // The failures listed (the first kListedFailures), and how many more there were.
    const std::vector<std::string>& failures() const { return failures_; }
    std::size_t unlisted() const { return unlisted_; }

private:
    void record(const std::string& message, const std::source_location& where);

    std::string name_;
    std::vector<std::string> failures_;
    std::size_t unlisted_ = 0;
};

// Sends `key` (with `value`) only when every check of `verdict` passed;
// see report(key, passed, value).
bool report(const std::string& key, const Verdict& verdict, const std::string& value = "default");
// The same for a key after which the positive side writes; see
// report_before_writes(key, passed, value).
bool report_before_writes(const std::string& key, const Verdict& verdict, const std::string& value = "default");

}  // namespace cp
