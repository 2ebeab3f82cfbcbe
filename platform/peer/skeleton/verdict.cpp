#include "verdict.h"

#include "counterpart.h"

namespace cp {

Verdict::Note::~Note() {
    if (passed_) return;
    std::string message = message_.str();
    if (!detail_.empty()) message += (message.empty() ? "" : ": ") + detail_;
    verdict_->record(message, where_);
}

void Verdict::record(const std::string& message, const std::source_location& where) {
    if (failures_.size() >= kListedFailures) {
        ++unlisted_;
        return;
    }
    const std::string line = name_.empty() ? message : name_ + ": " + message;
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << line;
    failures_.push_back(line);
}

Verdict::~Verdict() {
    if (unlisted_ == 0) return;
    ADD_FAILURE() << (name_.empty() ? std::string() : name_ + ": ") << "and " << unlisted_
                  << " more failure(s), not listed (the first " << kListedFailures << " are)";
}

Verdict& Verdict::operator+=(const Verdict& other) {
    // Already logged by the other verdict, which also reports what it did not
    // list; one of its failures is enough to fail this one.
    for (const std::string& f : other.failures_) {
        if (failures_.size() >= kListedFailures) break;
        failures_.push_back(f);
    }
    return *this;
}

bool report(const std::string& key, const Verdict& verdict, const std::string& value) {
    return report(key, verdict.ok(), value);
}

bool report_before_writes(const std::string& key, const Verdict& verdict, const std::string& value) {
    return report_before_writes(key, verdict.ok(), value);
}

}  // namespace cp
