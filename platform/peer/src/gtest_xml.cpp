#include "gtest_xml.h"

#include <pugixml.hpp>

namespace peer {

XmlResult read_gtest_xml(const std::string& path) {
    XmlResult r;
    pugi::xml_document doc;
    if (!doc.load_file(path.c_str())) return r;
    r.present = true;
    for (auto suite : doc.child("testsuites").children("testsuite")) {
        for (auto tc : suite.children("testcase")) {
            std::string status = tc.attribute("status").as_string();
            std::string result = tc.attribute("result").as_string("completed");
            if (status != "run" || result != "completed") continue;
            ++r.completed;
            bool any = false;
            for (auto f : tc.children("failure")) {
                any = true;
                if (!r.messages.empty()) r.messages += "\n";
                r.messages += f.attribute("message").as_string();
            }
            if (any) ++r.failed;
        }
    }
    return r;
}

}  // namespace peer
