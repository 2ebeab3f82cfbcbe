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
    const std::string line = name_.empty() ? message : name_ + ": " + message;
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << line;
    failures_.push_back(line);
}

Verdict& Verdict::operator+=(const Verdict& other) {
    // Already logged by the other verdict.
    failures_.insert(failures_.end(), other.failures_.begin(), other.failures_.end());
    return *this;
}

bool report(const std::string& key, const Verdict& verdict, const std::string& value) {
    return report(key, verdict.ok(), value);
}

}  // namespace cp
