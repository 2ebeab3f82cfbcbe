#include "junit.h"

#include <cstdio>
#include <map>

#include <unistd.h>

#include <pugixml.hpp>

namespace peer {

namespace {

// Length of the well-formed UTF-8 sequence of an XML character at s[i]; 0
// when there is none (a stray or overlong byte, a surrogate, a code point past
// U+10FFFF, U+FFFE or U+FFFF).
std::size_t utf8_char_length(std::string_view s, std::size_t i) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = at(0);
    const std::size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((at(k) & 0xc0) != 0x80) return 0;
    }
    if ((c == 0xe0 && at(1) < 0xa0) || (c == 0xed && at(1) > 0x9f) || (c == 0xf0 && at(1) < 0x90) ||
        (c == 0xf4 && at(1) > 0x8f)) {
        return 0;
    }
    if (c == 0xef && at(1) == 0xbf && (at(2) & 0xfe) == 0xbe) return 0;
    return n;
}

}  // namespace

std::string xml_text(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        if (c < 0x80) {
            n = (c >= 0x20 && c != 0x7f) || c == '\t' || c == '\n' || c == '\r' ? 1 : 0;
        } else {
            n = utf8_char_length(s, i);
        }
        if (n == 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            n = 1;
        } else {
            out.append(s.substr(i, n));
        }
        i += n;
    }
    return out;
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

bool write_junit(const std::vector<Verdict>& verdicts, const std::string& path) {
    pugi::xml_document doc;
    auto root = doc.append_child("testsuites");
    root.append_attribute("name") = "dds_peer";
    std::size_t failures = 0;
    double total = 0;
    std::map<std::string, pugi::xml_node> suites;
    for (const auto& v : verdicts) {
        auto dot = v.name.find('.');
        std::string suite = dot == std::string::npos ? v.name : v.name.substr(0, dot);
        std::string test = dot == std::string::npos ? v.name : v.name.substr(dot + 1);
        auto& node = suites[suite];
        if (!node) {
            node = root.append_child("testsuite");
            node.append_attribute("name") = xml_text(suite).c_str();
            node.append_attribute("tests") = 0;
            node.append_attribute("failures") = 0;
        }
        node.attribute("tests") = node.attribute("tests").as_int() + 1;
        auto tc = node.append_child("testcase");
        tc.append_attribute("name") = xml_text(test).c_str();
        tc.append_attribute("classname") = xml_text(suite).c_str();
        tc.append_attribute("time") = seconds_text(v.seconds).c_str();
        tc.append_attribute("timestamp") = v.timestamp.c_str();
        tc.append_attribute("connection") = xml_text(v.connection_id).c_str();
        tc.append_attribute("verdict") = v.status.c_str();
        total += v.seconds;
        if (!v.passed()) {
            ++failures;
            node.attribute("failures") = node.attribute("failures").as_int() + 1;
            auto f = tc.append_child("failure");
            std::string first = v.message.substr(0, v.message.find('\n'));
            f.append_attribute("message") = xml_text(v.status + ": " + first).c_str();
            f.append_child(pugi::node_pcdata).set_value(xml_text(v.message).c_str());
        }
    }
    root.append_attribute("tests") = static_cast<unsigned>(verdicts.size());
    root.append_attribute("failures") = static_cast<unsigned>(failures);
    root.append_attribute("errors") = 0;
    root.append_attribute("time") = seconds_text(total).c_str();
    const std::string partial = path + ".partial";
    if (!doc.save_file(partial.c_str())) return false;
    if (::rename(partial.c_str(), path.c_str()) != 0) {
        ::unlink(partial.c_str());
        return false;
    }
    return true;
}

namespace {

std::string record_text(std::string_view s) {
    std::string out;
    for (char c : xml_text(s)) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string verdict_record_line(const Verdict& v) {
    const std::string_view reason = std::string_view(v.message).substr(0, v.message.find('\n'));
    const std::string seconds = seconds_text(v.seconds);
    std::string line = std::to_string(v.sequence);
    for (std::string_view field : {std::string_view(v.name), std::string_view(v.connection_id),
                                   std::string_view(v.status), std::string_view(seconds),
                                   std::string_view(v.timestamp), std::string_view(v.report), reason}) {
        line += '\t';
        line += record_text(field);
    }
    line += '\n';
    return line;
}

}  // namespace peer
