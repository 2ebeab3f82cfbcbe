// Shared parts of the two benchmark programs (QUORVELA and plain Cyclone):
// options, the second process and its line protocol, timing and statistics.
// Each program runs the measuring side itself and starts the other side as a
// child process (the same binary, argv[1] == "--child"), talking over the
// child's stdin/stdout one line at a time. Every wait is bounded.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// ------------------------------------------------------------------ options
struct Options {
  std::string test;          // "latency", "throughput" or "participant"
  bool child = false;        // the other side, started by the measuring one
  uint32_t domain = 77;      // not 0: stays apart from the test runs
  int round_trips = 10000;   // latency: measured round trips
  int warmup = 1000;         // latency: round trips before measuring
  double seconds = 3.0;      // throughput: how long the writer writes
  int keys = 16;             // throughput: instances written in turn
  int payload = 16;          // characters in the string member
  int cycles = 2000;         // participant: measured create+delete cycles
  int cpu = -1;              // this process on this CPU only (-1: where the kernel puts it)
  int child_cpu = -1;        // the child on this CPU only
};

inline void usage(const char* prog) {
  std::fprintf(stderr,
               "usage: %s latency|throughput|participant [--domain N] [--round-trips N] [--warmup N]\n"
               "          [--seconds S] [--keys N] [--payload CHARS] [--cycles N] [--cpu N] [--child-cpu N]\n",
               prog);
}

// Parses argv; the child gets "--child" first and the same options after it.
inline bool parse(int argc, char** argv, Options& o) {
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "--child") == 0) {
    o.child = true;
    ++i;
  }
  if (i >= argc) return false;
  o.test = argv[i++];
  if (o.test != "latency" && o.test != "throughput" && o.test != "participant") return false;
  for (; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const char* v = argv[i + 1];
    if (k == "--domain") o.domain = static_cast<uint32_t>(std::atoi(v));
    else if (k == "--round-trips") o.round_trips = std::atoi(v);
    else if (k == "--warmup") o.warmup = std::atoi(v);
    else if (k == "--seconds") o.seconds = std::atof(v);
    else if (k == "--keys") o.keys = std::atoi(v);
    else if (k == "--payload") o.payload = std::atoi(v);
    else if (k == "--cycles") o.cycles = std::atoi(v);
    else if (k == "--cpu") o.cpu = std::atoi(v);
    else if (k == "--child-cpu") o.child_cpu = std::atoi(v);
    else return false;
  }
  return i == argc && o.round_trips > 0 && o.warmup >= 0 && o.seconds > 0 && o.keys > 0 && o.payload >= 0 &&
         o.cycles > 0;
}

inline std::vector<std::string> child_args(const Options& o) {
  return {"--child", o.test, "--domain", std::to_string(o.domain), "--round-trips", std::to_string(o.round_trips),
          "--warmup", std::to_string(o.warmup), "--seconds", std::to_string(o.seconds), "--keys",
          std::to_string(o.keys), "--payload", std::to_string(o.payload), "--cpu", std::to_string(o.child_cpu)};
}

// Keeps this process, and every thread it starts from now on, on one CPU.
inline bool pin_to_cpu(int cpu) {
  if (cpu < 0) return true;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

// How often the kernel moved this process's threads between CPUs so far
// (the scheduler's own count, per thread); -1 where the kernel does not say.
inline long long own_migrations() {
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return -1;
  long long total = 0;
  bool any = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = std::string("/proc/self/task/") + e->d_name + "/sched";
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) continue;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      long long n;
      if (std::sscanf(line, "se.nr_migrations : %lld", &n) == 1) {
        total += n;
        any = true;
        break;
      }
    }
    std::fclose(f);
  }
  closedir(d);
  return any ? total : -1;
}

// -------------------------------------------------------------- line I/O
// Reads one line from fd into `line` within timeout_ms; false on timeout or
// end of input. `buf` keeps what was read past the line.
inline bool read_line(int fd, std::string& buf, std::string& line, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto nl = buf.find('\n');
    if (nl != std::string::npos) {
      line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      return true;
    }
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return false;
    char tmp[512];
    const ssize_t n = ::read(fd, tmp, sizeof tmp);
    if (n <= 0) return false;
    buf.append(tmp, static_cast<size_t>(n));
  }
}

inline void write_line(int fd, const std::string& line) {
  const std::string l = line + "\n";
  if (::write(fd, l.data(), l.size()) < 0) std::perror("write");
}

// The child side: lines from and to the measuring process.
struct Parent {
  std::string buf;
  bool expect(const std::string& want, int timeout_ms) {
    std::string l;
    return read_line(0, buf, l, timeout_ms) && l == want;
  }
  bool line(std::string& l, int timeout_ms) { return read_line(0, buf, l, timeout_ms); }
  void tell(const std::string& l) { write_line(1, l); }
};

// The measuring side: the other process, killed if it does not end in time.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe(in) != 0) return;
    if (pipe(out) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    // The program's own path rather than /proc/self/exe, which names the
    // tool when the measuring side runs under valgrind.
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exe = len > 0 ? std::string(self, static_cast<size_t>(len)) : std::string("/proc/self/exe");
    std::vector<std::string> a{exe};
    a.insert(a.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Child() {
    if (to_ >= 0) close(to_);  // end of input: the child stops waiting
    if (pid_ > 0 && !wait_exit(5000)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (from_ >= 0) close(from_);
  }
  bool ok() const { return pid_ > 0; }
  void send(const std::string& l) { write_line(to_, l); }
  bool line(std::string& l, int timeout_ms) { return read_line(from_, buf_, l, timeout_ms); }
  bool expect(const std::string& want, int timeout_ms) {
    std::string l;
    return line(l, timeout_ms) && l == want;
  }
  bool wait_exit(int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < end) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string buf_;
};

// Polls pred every millisecond until it holds or timeout_ms passed.
template <typename Pred>
bool eventually(Pred pred, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// ------------------------------------------------------------ results
inline double percentile(const std::vector<int64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t idx = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5));
  return static_cast<double>(sorted[idx]);
}

// One line per run, read by run_bench.sh. `migrations`: of the measuring
// side's threads during the measured round trips (-1: unknown).
inline void print_latency(const char* impl, std::vector<int64_t> rtt_ns, long long migrations) {
  std::sort(rtt_ns.begin(), rtt_ns.end());
  double sum = 0;
  for (auto v : rtt_ns) sum += static_cast<double>(v);
  const double mean = rtt_ns.empty() ? 0 : sum / static_cast<double>(rtt_ns.size());
  std::printf("RESULT impl=%s test=latency n=%zu p50_us=%.2f p90_us=%.2f p99_us=%.2f mean_us=%.2f min_us=%.2f max_us=%.2f",
              impl, rtt_ns.size(), percentile(rtt_ns, 0.50) / 1e3, percentile(rtt_ns, 0.90) / 1e3,
              percentile(rtt_ns, 0.99) / 1e3, mean / 1e3, rtt_ns.empty() ? 0 : rtt_ns.front() / 1e3,
              rtt_ns.empty() ? 0 : rtt_ns.back() / 1e3);
  if (migrations >= 0) std::printf(" migrations=%lld", migrations);
  std::printf("\n");
  std::fflush(stdout);
}

// Participant create+delete: the time of each measured cycle.
inline void print_cycles(const char* impl, std::vector<int64_t> cycle_ns) {
  std::sort(cycle_ns.begin(), cycle_ns.end());
  double sum = 0;
  for (auto v : cycle_ns) sum += static_cast<double>(v);
  const double mean = cycle_ns.empty() ? 0 : sum / static_cast<double>(cycle_ns.size());
  std::printf("RESULT impl=%s test=participant n=%zu p50_us=%.2f p90_us=%.2f mean_us=%.2f\n", impl, cycle_ns.size(),
              percentile(cycle_ns, 0.50) / 1e3, percentile(cycle_ns, 0.90) / 1e3, mean / 1e3);
  std::fflush(stdout);
}

// `disorder`: samples not following the previous one of their instance.
inline void print_throughput(const char* impl, int64_t written, int64_t received, int64_t disorder, int64_t first_ns,
                             int64_t last_ns, double write_seconds, int64_t write_timeouts) {
  const double span = static_cast<double>(last_ns - first_ns) / 1e9;
  const double rate = (received > 1 && span > 0) ? static_cast<double>(received - 1) / span : 0;
  std::printf("RESULT impl=%s test=throughput written=%lld received=%lld lost=%lld disorder=%lld span_s=%.3f "
              "rate=%.0f write_rate=%.0f write_timeouts=%lld\n",
              impl, static_cast<long long>(written), static_cast<long long>(received),
              static_cast<long long>(written - received), static_cast<long long>(disorder), span, rate,
              write_seconds > 0 ? static_cast<double>(written) / write_seconds : 0,
              static_cast<long long>(write_timeouts));
  std::fflush(stdout);
}

inline std::string payload_text(int chars) {
  std::string s;
  for (int i = 0; i < chars; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

// Bounds of the protocol steps.
constexpr int kMatchTimeoutMs = 15000;  // discovery
constexpr int kReplyTimeoutMs = 2000;   // one pong
constexpr int kDrainTimeoutMs = 20000;  // throughput: the rest after the writer stopped

}  // namespace bench
