#include "gtest_xml.h"

#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

namespace peer {

namespace {

// The first bytes of s, at most n, not ending inside a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view s, std::size_t n) {
    if (n >= s.size()) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xc0) == 0x80) --n;
    return s.substr(0, n);
}

// Up to limit bytes of the file; false when it cannot be read.
bool read_start(const std::string& path, std::size_t limit, std::string& out, std::uintmax_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        size = static_cast<std::uintmax_t>(st.st_size);
        out.resize(size < limit ? static_cast<std::size_t>(size) : limit);
        std::size_t got = 0;
        while (got < out.size()) {
            const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) ok = false;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        out.resize(got);
    }
    ::close(fd);
    return ok;
}

}  // namespace

XmlResult read_gtest_xml(const std::string& path, std::size_t read_limit, std::size_t text_limit) {
    XmlResult r;
    std::string buffer;  // parsed in place: it outlives the document
    if (!read_start(path, read_limit, buffer, r.size)) return r;
    r.read_in_part = r.size > buffer.size();
    pugi::xml_document doc;
    // CDATA (googletest's copy of each message) is not kept as nodes.
    const unsigned options = pugi::parse_default & ~pugi::parse_cdata;
    const bool whole = doc.load_buffer_inplace(buffer.data(), buffer.size(), options, pugi::encoding_utf8);
    // A report read in part does not parse to its end; what parsed before
    // its cut is kept by pugixml, and counted.
    if (!whole && !r.read_in_part) return r;
    r.present = true;
    std::uintmax_t cut_bytes = 0;
    int cut_failures = 0;
    for (auto suite : doc.child("testsuites").children("testsuite")) {
        for (auto tc : suite.children("testcase")) {
            std::string status = tc.attribute("status").as_string();
            std::string result = tc.attribute("result").as_string("completed");
            if (status != "run" || result != "completed") continue;
            ++r.completed;
            bool any = false;
            for (auto f : tc.children("failure")) {
                any = true;
                const std::string_view m = f.attribute("message").as_string();
                const std::size_t separator = r.messages.empty() ? 0 : 1;
                const std::size_t room =
                    r.messages.size() + separator < text_limit ? text_limit - r.messages.size() - separator : 0;
                const std::string_view kept = cut_failures == 0 ? utf8_prefix(m, room) : std::string_view();
                if (!kept.empty() || (m.empty() && cut_failures == 0)) {
                    if (separator) r.messages += '\n';
                    r.messages += kept;
                }
                if (kept.size() < m.size()) {
                    ++cut_failures;
                    cut_bytes += m.size() - kept.size();
                }
            }
            if (any) ++r.failed;
        }
    }
    if (cut_failures > 0) {
        r.messages += "\n[... " + std::to_string(cut_bytes) + " more bytes of failure messages, of " +
                      std::to_string(cut_failures) + " failure(s), not kept: the peer keeps the first " +
                      std::to_string(text_limit) + " bytes of a counterpart's failure messages; the whole is in " +
                      path + "]";
    }
    if (r.read_in_part) {
        r.messages += std::string(r.messages.empty() ? "" : "\n") + "[... the report is " + std::to_string(r.size) +
                      " bytes; the peer read its first " + std::to_string(buffer.size()) +
                      ": what follows is not counted here; the whole is in " + path + "]";
    }
    return r;
}

}  // namespace peer
