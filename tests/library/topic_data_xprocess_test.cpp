// The topic data of an enabled topic, changed in one process, as a reader in
// another process sees it in the writer's matched-publication data. The other
// process is this binary started with QV_WIRE_CHILD=<role>.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "wire_test_util.h"

using namespace QUORVELA;
using namespace wiretest;

namespace {

const char* const kTopic = "xp_topic_data";
const char* const kFirst = "remote_topic_data_test";
const char* const kSecond = "updated";  // shorter: no octet of the first may stay

// A writer on a topic with topic data; changes them on the parent's "change".
int child_topic_data_writer() {
  TopicQos tq = TOPIC_QOS_DEFAULT;
  tq.topic_data.value = octets(kFirst);
  Stack s;
  if (!s.make(kTopic, false, PARTICIPANT_QOS_DEFAULT, PUBLISHER_QOS_DEFAULT, SUBSCRIBER_QOS_DEFAULT, tq)) return 2;
  DataWriter* w = s.publisher->create_datawriter(s.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  if (!w) return 3;
  tell_parent("READY");
  if (parent_line(10000) != "change") return 4;
  tq.topic_data.value = octets(kSecond);
  if (s.topic->set_qos(tq) != RETCODE_OK) return 5;
  tell_parent("CHANGED");
  parent_line(10000);  // "quit"
  return 0;
}

const bool g_child = [] {
  run_child_if_requested({{"topic_data_writer", child_topic_data_writer}});
  return true;
}();

// The topic data of every writer matched with r, as text.
std::vector<std::string> matched_topic_data(DataReader* r) {
  std::vector<std::string> out;
  InstanceHandleSeq handles;
  if (r->get_matched_publications(handles) != RETCODE_OK) return out;
  for (const InstanceHandle_t& h : handles) {
    PublicationBuiltinTopicData data;
    if (r->get_matched_publication_data(data, h) == RETCODE_OK && data.topic_name == kTopic)
      out.push_back(text(data.topic_data.value));
  }
  return out;
}

class TopicDataCrossProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    s.destroy();
    DomainParticipantFactory::finalize();
  }
  Stack s;
};

}  // namespace

TEST_F(TopicDataCrossProcess, ChangeOnEnabledTopicReachesTheOtherProcess) {
  ASSERT_TRUE(s.make(kTopic, false));
  DataReader* r = s.subscriber->create_datareader(s.topic, reader_qos(), nullptr, 0);
  ASSERT_TRUE(r);
  Child child("topic_data_writer");
  ASSERT_TRUE(child.ok());
  std::string rest;
  ASSERT_TRUE(child.expect("READY", rest, 10000));

  const std::vector<std::string> first = {kFirst};
  std::vector<std::string> seen;
  EXPECT_TRUE(eventually([&] { return (seen = matched_topic_data(r)) == first; }, 10000))
      << "matched writers' topic data: " << ::testing::PrintToString(seen);

  child.send("change");
  ASSERT_TRUE(child.expect("CHANGED", rest, 10000));
  const auto changed = std::chrono::steady_clock::now();
  // The same writer, announced again: still one, now with the new value.
  const std::vector<std::string> second = {kSecond};
  EXPECT_TRUE(eventually([&] { return (seen = matched_topic_data(r)) == second; }, 3000))
      << "matched writers' topic data: " << ::testing::PrintToString(seen);
  std::printf("topic data change seen after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - changed)
                                         .count()));
  child.send("quit");
  int status = 0;
  EXPECT_TRUE(child.wait_exit(5000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
