// Shared helpers of the data-plane tests: bounded polling, a participant
// fixture over the public API, and child processes that run one scenario of
// the same test binary (selected by the QV_WIRE_CHILD environment variable).
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "quorvela/quorvela.h"

extern char** environ;

namespace wiretest {

using namespace QUORVELA;

// Polls pred every 10 ms until it holds or timeout_ms passed.
template <typename Pred>
bool eventually(Pred pred, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline std::string hex(const void* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  auto* b = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(d[b[i] >> 4]);
    s.push_back(d[b[i] & 15]);
  }
  return s;
}

inline bool unhex(const std::string& s, void* p, size_t n) {
  if (s.size() != 2 * n) return false;
  auto* b = static_cast<uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(std::stoi(s.substr(2 * i, 2), nullptr, 16));
  return true;
}

inline OctetSeq octets(const std::string& s) { return OctetSeq(s.begin(), s.end()); }
inline std::string text(const OctetSeq& o) { return std::string(o.begin(), o.end()); }

inline Duration_t ms_duration(int ms) {
  return Duration_t{ms / 1000, static_cast<uint32_t>(ms % 1000) * 1000000u};
}

// Milliseconds left until `end`; 0 or less once it has passed.
inline int ms_until(std::chrono::steady_clock::time_point end) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
}

// Splits what arrives on a file descriptor into lines.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next whole line, without its new line; "" once timeout_ms passed or
  // the other end closed.
  std::string read_line(int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string l = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return l;
      }
      int left = ms_until(end);
      if (left <= 0) return "";
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return "";
      char tmp[512];
      ssize_t n = ::read(fd_, tmp, sizeof tmp);
      if (n <= 0) return "";
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buf_;
};

// ------------------------------------------------------------ child process
// A child runs `role` of this binary; it talks line by line over its stdin
// and stdout. Destroying the object kills a child still running.
class Child {
 public:
  Child(const std::string& role, const std::map<std::string, std::string>& env = {}) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "QV_WIRE_", 8) != 0) envs.emplace_back(*e);
    envs.push_back("QV_WIRE_CHILD=" + role);
    for (auto& [k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, nullptr};
    if (posix_spawn(&pid_, "/proc/self/exe", &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    from_child_ = LineReader(from_);
  }
  ~Child() {
    if (to_ >= 0) close(to_);
    if (pid_ > 0 && !reaped_) {
      if (!wait_exit(3000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (from_ >= 0) close(from_);
  }
  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  void send(const std::string& line) {
    std::string l = line + "\n";
    if (write(to_, l.data(), l.size()) < 0) return;
  }
  // Next line from the child, or "" after timeout_ms / end of output.
  std::string read_line(int timeout_ms) { return from_child_.read_line(timeout_ms); }
  // Reads lines until one starts with `prefix`; returns the rest of it.
  bool expect(const std::string& prefix, std::string& rest, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int left = ms_until(end);
      if (left <= 0) return false;
      std::string l = read_line(left);
      if (l.empty()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        continue;
      }
      if (l.compare(0, prefix.size(), prefix) == 0) {
        rest = l.substr(prefix.size());
        return true;
      }
    }
  }
  bool wait_exit(int timeout_ms, int* status = nullptr) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int st = 0;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        if (status) *status = st;
        return true;
      }
      if (std::chrono::steady_clock::now() >= end) return false;
      sleep_ms(10);
    }
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  bool reaped_ = false;
  LineReader from_child_{-1};
};

// In the child: one line from the parent, or "" after timeout_ms.
inline std::string parent_line(int timeout_ms) {
  static LineReader from_parent(0);
  return from_parent.read_line(timeout_ms);
}

inline void tell_parent(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Runs the child scenario named by QV_WIRE_CHILD, if any, and exits; call
// from a static initializer of the test file that defines the scenarios.
inline void run_child_if_requested(const std::map<std::string, std::function<int()>>& roles) {
  const char* role = std::getenv("QV_WIRE_CHILD");
  if (role == nullptr) return;
  auto it = roles.find(role);
  int rc = it == roles.end() ? 97 : it->second();
  DomainParticipantFactory::finalize();
  std::fflush(stdout);
  std::_Exit(rc);
}

inline std::string env_or(const char* name, const std::string& def) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : def;
}

// ------------------------------------------------------------ entity helpers

struct Stack {
  DomainParticipantFactory* factory = DomainParticipantFactory::get_instance();
  DomainParticipant* participant = nullptr;
  Topic* topic = nullptr;
  Publisher* publisher = nullptr;
  Subscriber* subscriber = nullptr;

  // A participant with the type registered and one topic.
  bool make(const std::string& topic_name, bool keyed, const DomainParticipantQos& pq = PARTICIPANT_QOS_DEFAULT,
            const PublisherQos& pubq = PUBLISHER_QOS_DEFAULT, const SubscriberQos& subq = SUBSCRIBER_QOS_DEFAULT,
            const TopicQos& tq = TOPIC_QOS_DEFAULT) {
    participant = factory->create_participant(0, pq, nullptr, 0);
    if (!participant) return false;
    const char* type = keyed ? "KeyedType" : "FlatRecord";
    TypeSupport* ts = keyed ? static_cast<TypeSupport*>(KeyedTypeTypeSupport::get_instance())
                            : static_cast<TypeSupport*>(FlatRecordTypeSupport::get_instance());
    if (participant->registe_type(type, ts) != RETCODE_OK) return false;
    topic = participant->create_topic(topic_name, type, tq, nullptr, 0);
    publisher = participant->create_publisher(pubq, nullptr, 0);
    subscriber = participant->create_subscriber(subq, nullptr, 0);
    return topic && publisher && subscriber;
  }
  void destroy() {
    if (!participant) return;
    participant->delete_contained_entities();
    factory->delete_participant(participant);
    participant = nullptr;
  }
  ~Stack() { destroy(); }
};

// A fixture with two stacks, destroyed after each test, and the factory
// finalized.
class TwoStacks : public ::testing::Test {
 protected:
  void TearDown() override {
    a.destroy();
    b.destroy();
    DomainParticipantFactory::finalize();
  }
  Stack a, b;
};

// The default reader QoS with the given reliability and history depth.
inline DataReaderQos reader_qos(ReliabilityQosPolicyKind rel = RELIABLE_RELIABILITY_QOS, int depth = 100) {
  DataReaderQos q = DATAREADER_QOS_DEFAULT;
  q.reliability.kind = rel;
  q.history.depth = depth;
  return q;
}

inline size_t matched_subs(DataWriter* w) {
  InstanceHandleSeq h;
  w->get_matched_subscriptions(h);
  return h.size();
}
inline size_t matched_pubs(DataReader* r) {
  InstanceHandleSeq h;
  r->get_matched_publications(h);
  return h.size();
}

inline KeyedType keyed(int32_t l, int16_t s = 0, const std::string& sb = "") {
  KeyedType k;
  k.lVal = l;
  k.sVal = s;
  k.sbVal = sb;
  return k;
}
inline FlatRecord flat(int32_t l) {
  FlatRecord f;
  f.lVal = l;
  return f;
}

// Takes everything; returns (lVal, info) pairs of valid samples and, in
// `all`, every info.
template <typename T>
std::vector<std::pair<int32_t, SampleInfo>> take_all(DataReader* r, std::vector<SampleInfo>* all = nullptr,
                                                     bool take = true) {
  SequenceData<T> data;
  SampleInfoSeq infos;
  std::vector<std::pair<int32_t, SampleInfo>> out;
  ReturnCode_t rc = take ? r->take(data, infos, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE)
                         : r->read(data, infos, LENGTH_UNLIMITED, ANY_SAMPLE_STATE, ANY_VIEW_STATE, ANY_INSTANCE_STATE);
  if (rc != RETCODE_OK) return out;
  for (uint32_t i = 0; i < infos.length(); ++i) {
    if (all) all->push_back(infos[i]);
    if (infos[i].valid_data) out.emplace_back(data[i].lVal, infos[i]);
  }
  return out;
}

// Takes from r until at least n valid samples came or timeout_ms passed;
// returns every valid sample taken, in the order taken.
template <typename T>
std::vector<std::pair<int32_t, SampleInfo>> take_at_least(DataReader* r, size_t n, int timeout_ms) {
  std::vector<std::pair<int32_t, SampleInfo>> got;
  eventually([&] {
    std::vector<std::pair<int32_t, SampleInfo>> more = take_all<T>(r);
    got.insert(got.end(), more.begin(), more.end());
    return got.size() >= n;
  }, timeout_ms);
  return got;
}

// A child role: a reliable keep-all reader on QV_WIRE_TOPIC (else
// default_topic), of KeyedType when QV_WIRE_KEYED=1 (else FlatRecord); says
// "READY <its handle>", then "GOT <lVal>" for each valid sample, until
// "quit", the end of its input, or QV_WIRE_SECONDS (default 20) passed.
inline int child_reliable_reader(const std::string& default_topic) {
  const bool is_keyed = env_or("QV_WIRE_KEYED", "0") == "1";
  Stack s;
  if (!s.make(env_or("QV_WIRE_TOPIC", default_topic), is_keyed)) return 2;
  DataReaderQos rq = DATAREADER_QOS_DEFAULT;
  rq.reliability.kind = RELIABLE_RELIABILITY_QOS;
  rq.history.kind = KEEP_ALL_HISTORY_QOS;
  DataReader* r = s.subscriber->create_datareader(s.topic, rq, nullptr, 0);
  if (!r) return 3;
  const InstanceHandle_t h = r->get_instance_handle();
  tell_parent("READY " + hex(&h, sizeof h));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::stoi(env_or("QV_WIRE_SECONDS", "20")));
  while (std::chrono::steady_clock::now() < end) {
    for (auto& [v, info] : is_keyed ? take_all<KeyedType>(r) : take_all<FlatRecord>(r))
      tell_parent("GOT " + std::to_string(v));
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) break;  // "quit" or the parent went away
  }
  return 0;
}

}  // namespace wiretest
