// XML QoS profiles: the shipped QoS file, the file format's rules and the
// store's load / unload / lookup behaviour.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "ExpectedProfiles.h"
#include "KeyedType.h"
#include "quorvela/quorvela.h"
#include "xml/profiles.h"

namespace {

using namespace QUORVELA;
namespace pf = QUORVELA::detail::profiles;
namespace fs = std::filesystem;

const char* const kLib = "example_lib";
const char* const kProfile = "example_profile";

fs::path shipped_config() { return fs::path(__FILE__).parent_path().parent_path().parent_path() / "config" / "test_qos_config.xml"; }

// ------------------------------------------------------------ whole-value diffs
// Every member of every QoS type, so that a lookup that leaves any member
// behind shows up.

OctetSeq bytes(const std::string& s) { return OctetSeq(s.begin(), s.end()); }

std::string str(const Duration_t& d) { return "{" + std::to_string(d.sec) + ", " + std::to_string(d.nanosec) + "}"; }
std::string str(const OctetSeq& v) { return std::to_string(v.size()) + " octets"; }
std::string str(const StringSeq& v) {
  std::string s = "[";
  for (const std::string& e : v) s += "\"" + e + "\" ";
  return s + "]";
}
std::string str(const std::vector<Property>& v) { return std::to_string(v.size()) + " properties"; }
template <class T>
std::string str(const T& v) {
  return std::to_string(+v);
}

bool same(const std::vector<Property>& a, const std::vector<Property>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].value != b[i].value) return false;
  }
  return true;
}
template <class T>
bool same(const T& a, const T& b) {
  return a == b;
}

#define QV_CMP(member)                                                                   \
  if (!same(a.member, b.member)) {                                                       \
    d += std::string(#member) + ": " + str(a.member) + " vs " + str(b.member) + "\n";    \
  }

std::string diff(const DomainParticipantFactoryQos& a, const DomainParticipantFactoryQos& b) {
  std::string d;
  QV_CMP(entity_factory.autoenable_created_entities)
  return d;
}
std::string diff(const DomainParticipantQos& a, const DomainParticipantQos& b) {
  std::string d;
  QV_CMP(user_data.value)
  QV_CMP(entity_factory.autoenable_created_entities)
  QV_CMP(transport_mode)
  QV_CMP(properties.value)
  return d;
}
template <class Q>
std::string group_diff(const Q& a, const Q& b) {
  std::string d;
  QV_CMP(presentation.access_scope)
  QV_CMP(presentation.coherent_access)
  QV_CMP(presentation.ordered_access)
  QV_CMP(partition.name)
  QV_CMP(group_data.value)
  QV_CMP(entity_factory.autoenable_created_entities)
  return d;
}
std::string diff(const PublisherQos& a, const PublisherQos& b) { return group_diff(a, b); }
std::string diff(const SubscriberQos& a, const SubscriberQos& b) { return group_diff(a, b); }

// Members shared by topic, writer and reader QoS.
template <class Q>
std::string endpoint_diff(const Q& a, const Q& b) {
  std::string d;
  QV_CMP(durability.kind)
  QV_CMP(deadline.period)
  QV_CMP(latency_budget.duration)
  QV_CMP(liveliness.kind)
  QV_CMP(liveliness.lease_duration)
  QV_CMP(reliability.kind)
  QV_CMP(reliability.max_blocking_time)
  QV_CMP(destination_order.kind)
  QV_CMP(history.kind)
  QV_CMP(history.depth)
  QV_CMP(resource_limits.max_samples)
  QV_CMP(resource_limits.max_instances)
  QV_CMP(resource_limits.max_samples_per_instance)
  QV_CMP(ownership.kind)
  return d;
}
template <class Q>
std::string durability_service_diff(const Q& a, const Q& b) {
  std::string d;
  QV_CMP(durability_service.service_cleanup_delay)
  QV_CMP(durability_service.history_kind)
  QV_CMP(durability_service.history_depth)
  QV_CMP(durability_service.max_samples)
  QV_CMP(durability_service.max_instances)
  QV_CMP(durability_service.max_samples_per_instance)
  return d;
}
std::string diff(const TopicQos& a, const TopicQos& b) {
  std::string d = endpoint_diff(a, b) + durability_service_diff(a, b);
  QV_CMP(topic_data.value)
  QV_CMP(transport_priority.value)
  QV_CMP(lifespan.duration)
  return d;
}
std::string diff(const DataWriterQos& a, const DataWriterQos& b) {
  std::string d = endpoint_diff(a, b) + durability_service_diff(a, b);
  QV_CMP(transport_priority.value)
  QV_CMP(lifespan.duration)
  QV_CMP(user_data.value)
  QV_CMP(ownership_strength.value)
  QV_CMP(writer_data_lifecycle.autodispose_unregistered_instances)
  QV_CMP(properties.value)
  return d;
}
std::string diff(const DataReaderQos& a, const DataReaderQos& b) {
  std::string d = endpoint_diff(a, b);
  QV_CMP(user_data.value)
  QV_CMP(time_based_filter.minimum_separation)
  QV_CMP(reader_data_lifecycle.autopurge_nowriter_samples_delay)
  QV_CMP(reader_data_lifecycle.autopurge_disposed_samples_delay)
  QV_CMP(properties.value)
  return d;
}
#undef QV_CMP

// ------------------------------------------------------------ expected values
// The values the suite expects of the shipped file (ExpectedProfiles.h); here
// every member is compared, not only the rows of the suite's comparators.

using ExpectedProfiles::named_dp_qos;
using ExpectedProfiles::named_dpf_qos;
using ExpectedProfiles::named_dr_qos;
using ExpectedProfiles::named_dw_qos;
using ExpectedProfiles::named_pub_qos;
using ExpectedProfiles::named_sub_qos;
using ExpectedProfiles::named_topic_qos;

using AnyQos = std::variant<DomainParticipantFactoryQos, DomainParticipantQos, PublisherQos, SubscriberQos, TopicQos,
                            DataWriterQos, DataReaderQos>;

struct Entry {
  const char* name;
  AnyQos expected;
  AnyQos other;  // the other entry of the same kind, used as a non-empty target
};

std::vector<Entry> shipped_entries() {
  return {
      {"default_dpf", DomainParticipantFactoryQos{}, named_dpf_qos()},
      {"named_dpf", named_dpf_qos(), DomainParticipantFactoryQos{}},
      {"default_dp", DomainParticipantQos{}, named_dp_qos()},
      {"named_dp", named_dp_qos(), DomainParticipantQos{}},
      {"default_pub", PublisherQos{}, named_pub_qos()},
      {"named_pub", named_pub_qos(), PublisherQos{}},
      {"default_sub", SubscriberQos{}, named_sub_qos()},
      {"named_sub", named_sub_qos(), SubscriberQos{}},
      {"default_topic", TopicQos{}, named_topic_qos()},
      {"named_topic", named_topic_qos(), TopicQos{}},
      {"default_dw", DataWriterQos{}, named_dw_qos()},
      {"named_dw", named_dw_qos(), DataWriterQos{}},
      {"default_dr", DataReaderQos{}, named_dr_qos()},
      {"named_dr", named_dr_qos(), DataReaderQos{}},
  };
}

// One value of every kind, each holding something non-default, to check that
// failed lookups leave it alone.
std::vector<AnyQos> sentinels() {
  return {named_dpf_qos(), named_dp_qos(), named_pub_qos(), named_sub_qos(), named_topic_qos(), named_dw_qos(), named_dr_qos()};
}

// ------------------------------------------------------------ fixture

class XmlProfiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("qv_xml_profiles_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override { ASSERT_EQ(pf::unload(), RETCODE_OK); }
  void TearDown() override { pf::unload(); }

  static std::string write(const std::string& name, const std::string& content) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    return p.string();
  }
  // A whole document around the given <qos> elements.
  static std::string doc(const std::string& qos, const char* lib = "test_lib", const char* profile = "test_profile") {
    return std::string("<qos_config><library name=\"") + lib + "\"><profile name=\"" + profile + "\">" + qos +
           "</profile></library></qos_config>";
  }
  static void load_shipped() { ASSERT_EQ(pf::load(shipped_config().c_str()), RETCODE_OK) << pf::last_error(); }

  static fs::path dir_;
};
fs::path XmlProfiles::dir_;

// ------------------------------------------------------------ shipped file

TEST_F(XmlProfiles, ShippedFileYieldsEveryTableValueAndReplacesTheTargetWhole) {
  load_shipped();
  for (const Entry& e : shipped_entries()) {
    std::visit(
        [&](const auto& expected) {
          using Q = std::decay_t<decltype(expected)>;
          Q fresh{};
          ASSERT_EQ(pf::find(kLib, kProfile, e.name, fresh), RETCODE_OK) << e.name;
          EXPECT_EQ(diff(fresh, expected), "") << e.name << " read into a default value";
          Q filled = std::get<Q>(e.other);
          ASSERT_EQ(pf::find(kLib, kProfile, e.name, filled), RETCODE_OK) << e.name;
          EXPECT_EQ(diff(filled, expected), "") << e.name << " read into a value holding the other entry";
        },
        e.expected);
  }
}

TEST_F(XmlProfiles, LookupOfAnotherKindFailsAndLeavesTheTargetUnchanged) {
  load_shipped();
  for (const Entry& e : shipped_entries()) {
    for (const AnyQos& sentinel : sentinels()) {
      if (sentinel.index() == e.expected.index()) continue;
      std::visit(
          [&](const auto& s) {
            auto out = s;
            EXPECT_EQ(pf::find(kLib, kProfile, e.name, out), RETCODE_ERROR) << e.name << " as kind " << sentinel.index();
            EXPECT_EQ(diff(out, s), "") << e.name << " as kind " << sentinel.index();
          },
          sentinel);
    }
  }
}

TEST_F(XmlProfiles, UnknownNamesFailAndNullNamesAreBadParameters) {
  load_shipped();
  struct Case {
    const char* lib;
    const char* profile;
    const char* name;
    ReturnCode_t rc;
  };
  const Case cases[] = {
      {kLib, kProfile, "named_topic", RETCODE_OK},        // control
      {"other_lib", kProfile, "named_topic", RETCODE_ERROR},
      {kLib, "other_profile", "named_topic", RETCODE_ERROR},
      {kLib, kProfile, "named_topic2", RETCODE_ERROR},
      {kLib, kProfile, "Named_topic", RETCODE_ERROR},     // names are exact
      {kLib, kProfile, "", RETCODE_ERROR},
      {kProfile, kLib, "named_topic", RETCODE_ERROR},     // library and profile swapped
      {nullptr, kProfile, "named_topic", RETCODE_BAD_PARAMETER},
      {kLib, nullptr, "named_topic", RETCODE_BAD_PARAMETER},
      {kLib, kProfile, nullptr, RETCODE_BAD_PARAMETER},
  };
  for (const Case& c : cases) {
    TopicQos out;
    out.transport_priority.value = 77;
    const TopicQos before = out;
    EXPECT_EQ(pf::find(c.lib, c.profile, c.name, out), c.rc)
        << (c.lib ? c.lib : "null") << "/" << (c.profile ? c.profile : "null") << "/" << (c.name ? c.name : "null");
    if (c.rc != RETCODE_OK) {
      EXPECT_EQ(diff(out, before), "");
    }
  }
}

// ------------------------------------------------------------ load and unload

TEST_F(XmlProfiles, LoadingAgainReplacesAndNeverAppends) {
  load_shipped();
  load_shipped();
  load_shipped();
  PublisherQos pub;
  ASSERT_EQ(pf::find(kLib, kProfile, "named_pub", pub), RETCODE_OK);
  EXPECT_EQ(diff(pub, named_pub_qos()), "");

  // A second file replaces the first one entirely.
  const std::string other = write("other.xml", R"(<qos_config>
      <library name="example_lib"><profile name="example_profile">
        <qos name="named_pub" kind="publisher"><field path="partition.name"><item>only</item></field></qos>
      </profile></library>
      <library name="other_lib"><profile name="example_profile">
        <qos name="named_pub" kind="publisher"/>
      </profile></library></qos_config>)");
  ASSERT_EQ(pf::load(other.c_str()), RETCODE_OK) << pf::last_error();
  ASSERT_EQ(pf::find(kLib, kProfile, "named_pub", pub), RETCODE_OK);
  EXPECT_EQ(pub.partition.name, StringSeq{"only"});
  EXPECT_TRUE(pub.group_data.value.empty());
  TopicQos topic;
  EXPECT_EQ(pf::find(kLib, kProfile, "named_topic", topic), RETCODE_ERROR) << "entries of the earlier file are gone";

  ASSERT_EQ(pf::find("other_lib", kProfile, "named_pub", pub), RETCODE_OK);

  load_shipped();
  ASSERT_EQ(pf::find(kLib, kProfile, "named_pub", pub), RETCODE_OK);
  EXPECT_EQ(diff(pub, named_pub_qos()), "");
  EXPECT_EQ(pf::find("other_lib", kProfile, "named_pub", pub), RETCODE_ERROR) << "libraries of the earlier file are gone";
}

TEST_F(XmlProfiles, UnloadClearsEverythingAndLoadingAgainRestores) {
  EXPECT_EQ(pf::unload(), RETCODE_OK) << "nothing loaded";
  load_shipped();
  load_shipped();  // one unload clears however many loads came before
  EXPECT_EQ(pf::unload(), RETCODE_OK);
  for (const Entry& e : shipped_entries()) {
    std::visit(
        [&](const auto& other) {
          auto out = other;
          EXPECT_EQ(pf::find(kLib, kProfile, e.name, out), RETCODE_ERROR) << e.name;
          EXPECT_EQ(diff(out, other), "") << e.name;
        },
        e.other);
  }
  EXPECT_EQ(pf::unload(), RETCODE_OK);
  load_shipped();
  DataReaderQos dr;
  ASSERT_EQ(pf::find(kLib, kProfile, "named_dr", dr), RETCODE_OK);
  EXPECT_EQ(diff(dr, named_dr_qos()), "");
}

// Every refused file leaves the profiles loaded before it untouched; the
// message tells that the refusal came from the rule under test.
TEST_F(XmlProfiles, RefusedFilesChangeNothing) {
  struct Case {
    const char* what;
    std::string content;
    const char* reason;  // a piece of last_error()
  };
  auto topic = [](const std::string& fields) { return doc("<qos name=\"q\" kind=\"topic\">" + fields + "</qos>"); };
  auto writer = [](const std::string& fields) { return doc("<qos name=\"q\" kind=\"datawriter\">" + fields + "</qos>"); };
  auto participant = [](const std::string& fields) {
    return doc("<qos name=\"q\" kind=\"participant\">" + fields + "</qos>");
  };
  const std::vector<Case> cases = {
      // not XML, or not our document
      {"empty file", "", "well-formed"},
      {"plain text", "hello", "well-formed"},
      {"unclosed element", "<qos_config><library name=\"a\">", "well-formed"},
      {"truncated", doc("<qos name=\"q\" kind=\"topic\"/>").substr(0, 60), "well-formed"},
      {"mismatched tags", "<qos_config><library name=\"a\"></profile></qos_config>", "well-formed"},
      {"other root", "<profiles/>", "root"},
      {"two roots", "<qos_config/><qos_config/>", "more than one root"},
      {"DOCTYPE with an external entity",
       "<!DOCTYPE qos_config [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>" +
           topic("<field path=\"history.depth\">&e;</field>"),
       "DOCTYPE"},
      {"attribute on the root", "<qos_config version=\"2\"/>", "unknown attribute"},
      {"unknown element", doc("<policy name=\"q\"/>"), "unexpected element"},
      {"stray text", doc("oops<qos name=\"q\" kind=\"topic\"/>"), "unexpected text"},
      // names
      {"library without a name", "<qos_config><library/></qos_config>", "missing attribute 'name'"},
      {"empty qos name", doc("<qos name=\"\" kind=\"topic\"/>"), "empty 'name'"},
      {"library twice", "<qos_config><library name=\"a\"/><library name=\"a\"/></qos_config>", "library defined twice"},
      {"profile twice", "<qos_config><library name=\"a\"><profile name=\"p\"/><profile name=\"p\"/></library></qos_config>",
       "profile defined twice"},
      {"qos name twice across kinds", doc("<qos name=\"q\" kind=\"topic\"/><qos name=\"q\" kind=\"publisher\"/>"),
       "defined twice"},
      // kinds of QoS and field paths
      {"unknown QoS kind", doc("<qos name=\"q\" kind=\"writer\"/>"), "unknown QoS kind"},
      {"missing QoS kind", doc("<qos name=\"q\"/>"), "missing attribute 'kind'"},
      {"unknown path", topic("<field path=\"durability.flavour\">1</field>"), "no field"},
      {"path of another kind", writer("<field path=\"topic_data.value\" text=\"x\"/>"), "no field"},
      {"whole policy as a path", topic("<field path=\"durability\">1</field>"), "no field"},
      {"field without a path", topic("<field>1</field>"), "missing attribute 'path'"},
      {"field twice", topic("<field path=\"history.depth\">2</field><field path=\"history.depth\">3</field>"),
       "set twice"},
      {"unknown attribute on a field", topic("<field path=\"deadline.period\" sec=\"1\" nsec=\"0\"/>"),
       "unknown attribute 'nsec'"},
      {"element inside a value", topic("<field path=\"history.depth\"><b>2</b></field>"), "only text"},
      // numbers
      {"int32 above range", topic("<field path=\"transport_priority.value\">2147483648</field>"), "out of range"},
      {"int32 below range", topic("<field path=\"transport_priority.value\">-2147483649</field>"), "out of range"},
      {"huge number", topic("<field path=\"transport_priority.value\">99999999999999999999999</field>"),
       "not an integer"},
      {"trailing garbage", topic("<field path=\"transport_priority.value\">5x</field>"), "not an integer"},
      {"float", topic("<field path=\"transport_priority.value\">1.5</field>"), "not an integer"},
      {"empty number", topic("<field path=\"transport_priority.value\"/>"), "not an integer"},
      {"limit zero", topic("<field path=\"resource_limits.max_samples\">0</field>"), "-1 (unlimited) or positive"},
      {"limit below -1", topic("<field path=\"durability_service.max_instances\">-2</field>"), "out of range"},
      {"depth zero", topic("<field path=\"history.depth\">0</field>"), "out of range"},
      {"transport mode zero", participant("<field path=\"transport_mode\">0</field>"), "out of range"},
      {"transport mode unknown flag", participant("<field path=\"transport_mode\">32</field>"), "out of range"},
      // durations
      {"nanosec 10^9", topic("<field path=\"deadline.period\" sec=\"1\" nanosec=\"1000000000\"/>"), "nanosec"},
      {"nanosec just below infinite", topic("<field path=\"deadline.period\" sec=\"1\" nanosec=\"4294967294\"/>"),
       "nanosec"},
      {"nanosec above 32 bits", topic("<field path=\"deadline.period\" sec=\"1\" nanosec=\"4294967296\"/>"), "nanosec"},
      {"infinite nanosec with finite sec", topic("<field path=\"deadline.period\" sec=\"5\" nanosec=\"4294967295\"/>"),
       "goes only with sec"},
      {"negative sec", topic("<field path=\"deadline.period\" sec=\"-1\" nanosec=\"0\"/>"), "sec"},
      {"sec above int32", topic("<field path=\"deadline.period\" sec=\"2147483648\" nanosec=\"0\"/>"), "sec"},
      {"sec without nanosec", topic("<field path=\"deadline.period\" sec=\"1\"/>"), "both sec and nanosec"},
      {"duration as a number", topic("<field path=\"deadline.period\">10</field>"), "INFINITE"},
      {"lower-case infinite", topic("<field path=\"deadline.period\">infinite</field>"), "INFINITE"},
      // kinds
      {"durability 4", topic("<field path=\"durability.kind\">4</field>"), "not a durability kind"},
      {"reliability 0", topic("<field path=\"reliability.kind\">0</field>"), "not a reliability kind"},
      {"reliability 3", topic("<field path=\"reliability.kind\">3</field>"), "not a reliability kind"},
      {"reliability -1", topic("<field path=\"reliability.kind\">-1</field>"), "not a reliability kind"},
      {"history 2", topic("<field path=\"history.kind\">2</field>"), "not a history kind"},
      {"unknown kind name", topic("<field path=\"history.kind\">KEEP_SOME</field>"), "not a history kind"},
      {"name of another enumeration", topic("<field path=\"ownership.kind\">RELIABLE</field>"), "not a ownership kind"},
      {"liveliness 3", topic("<field path=\"liveliness.kind\">3</field>"), "not a liveliness kind"},
      {"destination order 2", topic("<field path=\"destination_order.kind\">2</field>"), "destination order"},
      {"access scope 3", doc("<qos name=\"q\" kind=\"subscriber\"><field path=\"presentation.access_scope\">3</field></qos>"),
       "access scope"},
      // bools, octets, strings
      {"bool yes", writer("<field path=\"writer_data_lifecycle.autodispose_unregistered_instances\">yes</field>"),
       "not a bool"},
      {"hex odd digit", topic("<field path=\"topic_data.value\" hex=\"1 23\"/>"), "two hex digits"},
      {"hex not hex", topic("<field path=\"topic_data.value\" hex=\"zz\"/>"), "two hex digits"},
      {"hex with 0x", topic("<field path=\"topic_data.value\" hex=\"0x12\"/>"), "two hex digits"},
      {"text and hex", topic("<field path=\"topic_data.value\" text=\"a\" hex=\"61\"/>"), "not both"},
      {"octets as element text", topic("<field path=\"topic_data.value\">abc</field>"), "attribute text or hex"},
      {"partition name as text",
       doc("<qos name=\"q\" kind=\"publisher\"><field path=\"partition.name\">p1</field></qos>"), "unexpected text"},
      {"other element in a string list",
       doc("<qos name=\"q\" kind=\"publisher\"><field path=\"partition.name\"><name>p1</name></field></qos>"),
       "unexpected element"},
      {"property without a value",
       participant("<field path=\"properties.value\"><property name=\"a\"/></field>"), "missing attribute 'value'"},
      // a reference to NUL: the parser would hand on each value cut there
      {"partition name with a NUL",
       doc("<qos name=\"q\" kind=\"publisher\"><field path=\"partition.name\"><item>p&#0;A</item></field></qos>"),
       "reference to NUL"},
      {"NUL in hex form, padded",
       doc("<qos name=\"q\" kind=\"subscriber\"><field path=\"partition.name\"><item>&#x000;</item></field></qos>"),
       "reference to NUL"},
      {"octets text with a NUL", topic("<field path=\"topic_data.value\" text=\"a&#0;b\"/>"), "reference to NUL"},
      {"qos name with a NUL", doc("<qos name=\"q&#00;\" kind=\"topic\"/>"), "reference to NUL"},
      // a valid entry before an invalid one: nothing of the file is kept
      {"valid entry then an invalid one",
       doc("<qos name=\"fine\" kind=\"topic\"><field path=\"history.depth\">3</field></qos>"
           "<qos name=\"broken\" kind=\"topic\"><field path=\"history.depth\">-3</field></qos>",
           "half_lib", "half_profile"),
       "out of range"},
  };

  load_shipped();
  int n = 0;
  for (const Case& c : cases) {
    const std::string file = write("bad_" + std::to_string(n++) + ".xml", c.content);
    EXPECT_EQ(pf::load(file.c_str()), RETCODE_ERROR) << c.what;
    EXPECT_NE(pf::last_error().find(c.reason), std::string::npos)
        << c.what << ": expected '" << c.reason << "' in: " << pf::last_error();
    TopicQos topic_qos;
    EXPECT_EQ(pf::find(kLib, kProfile, "named_topic", topic_qos), RETCODE_OK) << c.what;
    EXPECT_EQ(diff(topic_qos, named_topic_qos()), "") << c.what;
  }
  TopicQos half;
  EXPECT_EQ(pf::find("half_lib", "half_profile", "fine", half), RETCODE_ERROR) << "nothing half-loaded";
}

// A caller of load_qos_from_xml sees only RETCODE_ERROR; the reason goes to
// standard error as one line, also when it quotes a file name with a new
// line in it. An accepted file writes nothing.
TEST_F(XmlProfiles, RefusalReasonIsOneLineOnStandardError) {
  DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
  const std::string bad = write(
      "negative_sec.xml",
      doc("<qos name=\"q\" kind=\"topic\"><field path=\"deadline.period\" sec=\"-5\" nanosec=\"0\"/></qos>"));
  const std::string missing = (dir_ / "two\nlines.xml").string();
  struct Case {
    std::string file;
    const char* reason;
  } cases[] = {{bad, "sec '-5' is not in [0, 2147483647]"}, {missing, "cannot open"}};
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(factory->load_qos_from_xml(c.file.c_str()), RETCODE_ERROR);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string prefix = "quorvela: QoS file refused: ";
    ASSERT_EQ(err.compare(0, prefix.size(), prefix), 0) << err;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(factory->load_qos_from_xml(shipped_config().c_str()), RETCODE_OK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(XmlProfiles, UnreadableFilesChangeNothingAndNeverBlock) {
  load_shipped();
  const std::string fifo = (dir_ / "fifo.xml").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = write("big.xml", "<qos_config>" + std::string(5u << 20, ' ') + "</qos_config>");
  const std::string unreadable = write("unreadable.xml", "<qos_config/>");
  ::chmod(unreadable.c_str(), 0);
  const bool root_reads_anything = ::access(unreadable.c_str(), R_OK) == 0;

  struct Case {
    std::string file;
    const char* reason;
  };
  std::vector<Case> cases = {
      {(dir_ / "missing.xml").string(), "cannot open"},
      {dir_.string(), "not a regular file"},
      {fifo, "not a regular file"},
      {big, "larger than 4 MiB"},
  };
  if (!root_reads_anything) cases.push_back({unreadable, "cannot open"});
  for (const Case& c : cases) {
    EXPECT_EQ(pf::load(c.file.c_str()), RETCODE_ERROR) << c.file;
    EXPECT_NE(pf::last_error().find(c.reason), std::string::npos) << c.file << ": " << pf::last_error();
    SubscriberQos sub;
    EXPECT_EQ(pf::find(kLib, kProfile, "named_sub", sub), RETCODE_OK) << c.file;
    EXPECT_EQ(diff(sub, named_sub_qos()), "") << c.file;
  }
  EXPECT_EQ(pf::load(nullptr), RETCODE_BAD_PARAMETER);
  SubscriberQos sub;
  EXPECT_EQ(pf::find(kLib, kProfile, "named_sub", sub), RETCODE_OK);
}

// The other forms the format allows, each with the value it must give.
TEST_F(XmlProfiles, AcceptedValueForms) {
  struct Case {
    const char* what;
    const char* kind;
    std::string fields;
    std::function<void(const char*)> check;  // receives the QoS name
  };
  auto topic = [](const char* name) {
    TopicQos q;
    EXPECT_EQ(pf::find("test_lib", "test_profile", name, q), RETCODE_OK) << name;
    return q;
  };
  auto writer = [](const char* name) {
    DataWriterQos q;
    EXPECT_EQ(pf::find("test_lib", "test_profile", name, q), RETCODE_OK) << name;
    return q;
  };
  auto participant = [](const char* name) {
    DomainParticipantQos q;
    EXPECT_EQ(pf::find("test_lib", "test_profile", name, q), RETCODE_OK) << name;
    return q;
  };
  auto publisher = [](const char* name) {
    PublisherQos q;
    EXPECT_EQ(pf::find("test_lib", "test_profile", name, q), RETCODE_OK) << name;
    return q;
  };
  const std::vector<Case> cases = {
      {"kind as number", "topic", "<field path=\"durability.kind\">3</field>",
       [&](const char* n) { EXPECT_EQ(topic(n).durability.kind, 3); }},
      {"kind as full name", "topic", "<field path=\"durability.kind\">TRANSIENT_DURABILITY_QOS</field>",
       [&](const char* n) { EXPECT_EQ(topic(n).durability.kind, 2); }},
      {"kind with white space", "topic", "<field path=\"history.kind\">\n  KEEP_ALL\n</field>",
       [&](const char* n) { EXPECT_EQ(topic(n).history.kind, 1); }},
      {"int32 extremes", "topic", "<field path=\"transport_priority.value\">-2147483648</field>",
       [&](const char* n) { EXPECT_EQ(topic(n).transport_priority.value, INT32_MIN); }},
      {"int32 max in hex", "datawriter", "<field path=\"ownership_strength.value\">0x7fffffff</field>",
       [&](const char* n) { EXPECT_EQ(writer(n).ownership_strength.value, INT32_MAX); }},
      {"unlimited limit", "datawriter", "<field path=\"resource_limits.max_samples\">-1</field>",
       [&](const char* n) { EXPECT_EQ(writer(n).resource_limits.max_samples, -1); }},
      {"INFINITE duration", "topic", "<field path=\"latency_budget.duration\">INFINITE</field>",
       [&](const char* n) { EXPECT_EQ(topic(n).latency_budget.duration, DURATION_INFINITE); }},
      {"infinite by numbers", "topic", "<field path=\"latency_budget.duration\" sec=\"2147483647\" nanosec=\"4294967295\"/>",
       [&](const char* n) { EXPECT_EQ(topic(n).latency_budget.duration, DURATION_INFINITE); }},
      {"largest finite nanosec", "topic", "<field path=\"lifespan.duration\" sec=\"3\" nanosec=\"999999999\"/>",
       [&](const char* n) { EXPECT_EQ(topic(n).lifespan.duration, (Duration_t{3, 999999999})); }},
      {"bool as digit", "datawriter", "<field path=\"writer_data_lifecycle.autodispose_unregistered_instances\">0</field>",
       [&](const char* n) { EXPECT_FALSE(writer(n).writer_data_lifecycle.autodispose_unregistered_instances); }},
      {"hex bytes any case, zero byte included", "participant", "<field path=\"user_data.value\" hex=\"00 aB\tFF\n 10\"/>",
       [&](const char* n) { EXPECT_EQ(participant(n).user_data.value, (OctetSeq{0x00, 0xab, 0xff, 0x10})); }},
      {"text with an escape", "participant", "<field path=\"user_data.value\" text=\"a&amp;&#10;b\"/>",
       [&](const char* n) { EXPECT_EQ(participant(n).user_data.value, bytes("a&\nb")); }},
      {"references that are not NUL", "publisher",
       "<field path=\"partition.name\"><item>&amp;#0;</item><item>&#010;&#x20;</item></field>",
       [&](const char* n) { EXPECT_EQ(publisher(n).partition.name, (StringSeq{"&#0;", "\n "})); }},
      {"octets emptied", "participant", "<field path=\"user_data.value\"/>",
       [&](const char* n) { EXPECT_TRUE(participant(n).user_data.value.empty()); }},
      {"transport mode", "participant", "<field path=\"transport_mode\">0x01</field>",
       [&](const char* n) { EXPECT_EQ(participant(n).transport_mode, 0x01); }},
      {"properties in order", "participant",
       "<field path=\"properties.value\"><property name=\"b\" value=\"2\"/><property name=\"a\" value=\"\"/></field>",
       [&](const char* n) {
         const auto p = participant(n).properties.value;
         ASSERT_EQ(p.size(), 2u);
         EXPECT_EQ(p[0].name, "b");
         EXPECT_EQ(p[0].value, "2");
         EXPECT_EQ(p[1].name, "a");
         EXPECT_EQ(p[1].value, "");
       }},
      {"partition names byte for byte, in order", "publisher",
       "<field path=\"partition.name\"><item>z</item><item> a b </item><item/><item><![CDATA[<x>]]></item></field>",
       [&](const char* n) { EXPECT_EQ(publisher(n).partition.name, (StringSeq{"z", " a b ", "", "<x>"})); }},
      {"access scope by name", "publisher", "<field path=\"presentation.access_scope\">GROUP</field>",
       [&](const char* n) { EXPECT_EQ(publisher(n).presentation.access_scope, 2); }},
  };
  // All cases in one file, then each one alone: both must give the same values.
  std::string all;
  for (size_t i = 0; i < cases.size(); ++i) {
    all += "<qos name=\"c" + std::to_string(i) + "\" kind=\"" + cases[i].kind + "\">" + cases[i].fields + "</qos>";
  }
  ASSERT_EQ(pf::load(write("forms.xml", "<?xml version=\"1.0\"?>\n<!-- forms -->\n" + doc(all)).c_str()), RETCODE_OK)
      << pf::last_error();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    cases[i].check(("c" + std::to_string(i)).c_str());
  }
}

// Through the library's public API: each shipped entry, applied to its
// entity, gives the entity exactly that QoS, and lookup failures surface as
// errors and refused creations.
TEST_F(XmlProfiles, ShippedEntriesApplyToTheirEntities) {
  DomainParticipantFactory* f = DomainParticipantFactory::get_instance();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->load_qos_from_xml(shipped_config().c_str()), RETCODE_OK);
  ASSERT_EQ(f->load_qos_from_xml(shipped_config().c_str()), RETCODE_OK);

  DomainParticipantFactoryQos fq;
  ASSERT_EQ(f->set_qos_with_profile(kLib, kProfile, "named_dpf"), RETCODE_OK);
  ASSERT_EQ(f->get_qos(fq), RETCODE_OK);
  EXPECT_EQ(diff(fq, named_dpf_qos()), "");
  ASSERT_EQ(f->set_qos_with_profile(kLib, kProfile, "default_dpf"), RETCODE_OK);
  ASSERT_EQ(f->get_qos(fq), RETCODE_OK);
  EXPECT_EQ(diff(fq, DomainParticipantFactoryQos{}), "");
  EXPECT_EQ(f->set_qos_with_profile(kLib, kProfile, "named_dp"), RETCODE_ERROR) << "a participant entry";

  DomainParticipant* named = f->create_participant_with_profile(1, kLib, kProfile, "named_dp", nullptr, 0);
  ASSERT_NE(named, nullptr);
  DomainParticipantQos dq;
  ASSERT_EQ(named->get_qos(dq), RETCODE_OK);
  EXPECT_EQ(diff(dq, named_dp_qos()), "");
  EXPECT_EQ(f->create_participant_with_profile(2, kLib, kProfile, "named_pub", nullptr, 0), nullptr);

  DomainParticipant* p = f->create_participant(0, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(p, nullptr);
  Publisher* pub = p->create_publisher_with_profile(kLib, kProfile, "named_pub", nullptr, 0);
  ASSERT_NE(pub, nullptr);
  PublisherQos pq;
  ASSERT_EQ(pub->get_qos(pq), RETCODE_OK);
  EXPECT_EQ(diff(pq, named_pub_qos()), "");
  Subscriber* sub = p->create_subscriber_with_profile(kLib, kProfile, "named_sub", nullptr, 0);
  ASSERT_NE(sub, nullptr);
  SubscriberQos sq;
  ASSERT_EQ(sub->get_qos(sq), RETCODE_OK);
  EXPECT_EQ(diff(sq, named_sub_qos()), "");

  ASSERT_EQ(p->registe_type("KeyedType", KeyedTypeTypeSupport::get_instance()), RETCODE_OK);
  Topic* topic = p->create_topic_with_profile("xml_profiles_topic", "KeyedType", kLib, kProfile, "named_topic",
                                              nullptr, 0);
  ASSERT_NE(topic, nullptr);
  TopicQos tq;
  ASSERT_EQ(topic->get_qos(tq), RETCODE_OK);
  EXPECT_EQ(diff(tq, named_topic_qos()), "");
  EXPECT_EQ(p->create_topic_with_profile("other_topic", "KeyedType", kLib, kProfile, "unknown", nullptr, 0), nullptr);

  Publisher* pub0 = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  Subscriber* sub0 = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(pub0, nullptr);
  ASSERT_NE(sub0, nullptr);
  DataWriter* writer = pub0->create_datawriter_with_profile(topic, kLib, kProfile, "named_dw", nullptr, 0);
  ASSERT_NE(writer, nullptr);
  DataWriterQos wq;
  ASSERT_EQ(writer->get_qos(wq), RETCODE_OK);
  EXPECT_EQ(diff(wq, named_dw_qos()), "");
  DataReader* reader = sub0->create_datareader_with_profile(topic, kLib, kProfile, "named_dr", nullptr, 0);
  ASSERT_NE(reader, nullptr);
  DataReaderQos rq;
  ASSERT_EQ(reader->get_qos(rq), RETCODE_OK);
  EXPECT_EQ(diff(rq, named_dr_qos()), "");

  // An enabled reader refuses the immutable changes of "named_dr" as a whole.
  DataReader* plain = sub0->create_datareader(topic, DATAREADER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->set_qos_with_profile(kLib, kProfile, "named_dr"), RETCODE_IMMUTABLE_POLICY);
  ASSERT_EQ(plain->get_qos(rq), RETCODE_OK);
  EXPECT_EQ(diff(rq, DataReaderQos{}), "");
  EXPECT_EQ(plain->set_qos_with_profile(kLib, kProfile, "named_dw"), RETCODE_ERROR);

  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
  EXPECT_EQ(f->delete_participant(p), RETCODE_OK);
  EXPECT_EQ(f->delete_participant(named), RETCODE_OK);
  // Loaded profiles outlive finalize; only unload_qos forgets them.
  DomainParticipantFactory::finalize();
  EXPECT_EQ(f->get_topic_qos_from_profile(tq, kLib, kProfile, "named_topic"), RETCODE_OK);
  EXPECT_EQ(f->unload_qos(), RETCODE_OK);
  EXPECT_EQ(f->get_topic_qos_from_profile(tq, kLib, kProfile, "named_topic"), RETCODE_ERROR);
  DomainParticipantFactory::finalize();
}

// Lookups running while the file is reloaded and unloaded see either a whole
// entry or none.
TEST_F(XmlProfiles, ConcurrentLookupsAndReloads) {
  load_shipped();
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      const TopicQos expected = named_topic_qos();
      for (int i = 0; i < 200000 && !stop.load(); ++i) {
        TopicQos q;
        const ReturnCode_t rc = pf::find(kLib, kProfile, "named_topic", q);
        if ((rc == RETCODE_OK && !diff(q, expected).empty()) || (rc != RETCODE_OK && rc != RETCODE_ERROR)) ++bad;
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(pf::load(shipped_config().c_str()), RETCODE_OK);
    if (i % 10 == 0) pf::unload();
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
