// The two measurements, written once over an adaptor so that both programs
// run exactly the same steps; only the DDS calls differ. An adaptor A has:
//   using Sample;                       the keyed sample type
//   bool open(uint32_t domain);         participant on that domain
//   bool make_writer(const char* topic), make_reader(const char* topic);
//   bool writer_matched(), reader_matched();
//   int  write(const Sample&);          0 written, 1 timed out (blocked), -1 error
//   template <class F> int take(F f);   takes up to a batch, f(const Sample&) per valid sample;
//                                       number of samples or -1
//   bool wait(int ms);                  true when the reader has data
//   bool wait_acks(int ms);
//   bool cycle_participant(uint32_t domain); creates and deletes one more participant
//   static Sample make(int32_t key, int16_t seq, const std::string& text);
//   static void set(Sample&, int32_t key, int16_t seq);
//   static int16_t seq_of(const Sample&);
//   static int32_t key_of(const Sample&);
// QoS of every endpoint: reliable (max blocking 100 ms), keep all, volatile.
#pragma once

#include "bench_common.h"

namespace bench {

constexpr const char* kPingTopic = "qvbench_ping";
constexpr const char* kPongTopic = "qvbench_pong";
constexpr const char* kFlowTopic = "qvbench_flow";

inline int fail(const char* what) {
  std::fprintf(stderr, "bench: %s\n", what);
  return 1;
}

// ---------------------------------------------------------------- latency
// Measuring side: writes a ping on one instance and waits for the echo with
// the same sequence number; one sample in flight at a time.
template <class A>
int latency_parent(const Options& o, const char* impl) {
  A a;
  if (!a.open(o.domain) || !a.make_writer(kPingTopic) || !a.make_reader(kPongTopic)) return fail("setup failed");
  Child c(child_args(o));
  if (!c.ok()) return fail("cannot start the child");
  if (!eventually([&] { return a.writer_matched() && a.reader_matched(); }, kMatchTimeoutMs))
    return fail("no match with the child");
  if (!c.expect("READY", kMatchTimeoutMs)) return fail("child not ready");
  auto s = A::make(1, 0, payload_text(o.payload));
  std::vector<int64_t> rtt;
  rtt.reserve(static_cast<size_t>(o.round_trips));
  const int total = o.warmup + o.round_trips;
  long long migrations_before = -1;
  for (int i = 0; i < total; ++i) {
    if (i == o.warmup) migrations_before = own_migrations();
    const int16_t seq = static_cast<int16_t>(i & 0x7fff);
    A::set(s, 1, seq);
    const int64_t t0 = now_ns();
    if (a.write(s) != 0) return fail("ping write failed");
    bool got = false;
    const int64_t deadline = t0 + int64_t{kReplyTimeoutMs} * 1000000;
    while (!got) {
      const int64_t left_ms = (deadline - now_ns()) / 1000000;
      if (left_ms <= 0) return fail("pong lost (timeout)");
      if (!a.wait(static_cast<int>(left_ms))) continue;
      if (a.take([&](const typename A::Sample& r) { got = got || A::seq_of(r) == seq; }) < 0)
        return fail("take failed");
    }
    const int64_t t1 = now_ns();
    if (i >= o.warmup) rtt.push_back(t1 - t0);
  }
  const long long migrations_after = own_migrations();
  c.send("quit");
  print_latency(impl, std::move(rtt),
                migrations_before >= 0 && migrations_after >= 0 ? migrations_after - migrations_before : -1);
  return 0;
}

// The other side: echoes every ping it takes.
template <class A>
int latency_child(const Options& o) {
  A a;
  Parent p;
  if (!a.open(o.domain) || !a.make_writer(kPongTopic) || !a.make_reader(kPingTopic)) return fail("child setup failed");
  if (!eventually([&] { return a.writer_matched() && a.reader_matched(); }, kMatchTimeoutMs))
    return fail("child: no match");
  p.tell("READY");
  int64_t last_ping = now_ns();
  for (;;) {
    if (a.wait(200)) {
      int rc = 0;
      const int n = a.take([&](const typename A::Sample& r) {
        if (rc == 0) rc = a.write(r);
      });
      if (n < 0 || rc != 0) return fail("child: echo failed");
      if (n > 0) last_ping = now_ns();
      continue;
    }
    // Idle: the parent said quit, went away, or stopped pinging.
    std::string l;
    pollfd pf{0, POLLIN, 0};
    if (poll(&pf, 1, 0) > 0 && (!p.line(l, 100) || l == "quit")) return 0;
    if (now_ns() - last_ping > int64_t{10} * 1000000000) return fail("child: no ping for 10 s");
  }
}

// -------------------------------------------------------------- throughput
// Measuring side: writes as fast as the writer accepts for o.seconds, over
// o.keys instances in turn, then asks the child how many it took and when.
template <class A>
int throughput_parent(const Options& o, const char* impl) {
  A a;
  if (!a.open(o.domain) || !a.make_writer(kFlowTopic)) return fail("setup failed");
  Child c(child_args(o));
  if (!c.ok()) return fail("cannot start the child");
  if (!eventually([&] { return a.writer_matched(); }, kMatchTimeoutMs)) return fail("no match with the child");
  if (!c.expect("READY", kMatchTimeoutMs)) return fail("child not ready");
  auto s = A::make(0, 0, payload_text(o.payload));
  int64_t written = 0, timeouts = 0;
  const int64_t t0 = now_ns();
  const int64_t until = t0 + static_cast<int64_t>(o.seconds * 1e9);
  while (now_ns() < until) {
    A::set(s, static_cast<int32_t>(written % o.keys), static_cast<int16_t>(written & 0x7fff));
    const int rc = a.write(s);
    if (rc == 0) ++written;
    else if (rc == 1) ++timeouts;
    else return fail("write failed");
  }
  const double write_seconds = static_cast<double>(now_ns() - t0) / 1e9;
  if (!a.wait_acks(kDrainTimeoutMs)) std::fprintf(stderr, "bench: not every sample acknowledged\n");
  c.send("END " + std::to_string(written));
  std::string l;
  if (!c.line(l, kDrainTimeoutMs + 5000)) return fail("no report from the child");
  long long received = 0, first = 0, last = 0, disorder = 0;
  if (std::sscanf(l.c_str(), "GOT %lld %lld %lld %lld", &received, &first, &last, &disorder) != 4)
    return fail("bad child report");
  print_throughput(impl, written, received, disorder, first, last, write_seconds, timeouts);
  return 0;
}

// The other side: takes everything; the span runs from the first take with
// data to the one that completed the count (receiving process's clock).
template <class A>
int throughput_child(const Options& o) {
  A a;
  Parent p;
  if (!a.open(o.domain) || !a.make_reader(kFlowTopic)) return fail("child setup failed");
  if (!eventually([&] { return a.reader_matched(); }, kMatchTimeoutMs)) return fail("child: no match");
  p.tell("READY");
  int64_t received = 0, first = 0, last = 0, expected = -1;
  // Per instance, the sequence number the writer gave the next sample of it.
  std::vector<int> next_seq(static_cast<size_t>(o.keys), -1);
  int64_t out_of_order = 0;
  int64_t last_check = now_ns();
  const int64_t give_up = now_ns() + static_cast<int64_t>(o.seconds * 1e9) + int64_t{kDrainTimeoutMs} * 2000000;
  int64_t end_seen_at = 0;
  for (;;) {
    const bool data = a.wait(20);
    const int64_t t = now_ns();
    if (data) {
      const int n = a.take([&](const typename A::Sample& r) {
        // One writer, keep all, reliable: every sample of an instance, in
        // writing order (the order across instances is the reader's choice).
        const int32_t k = A::key_of(r);
        const int seq = A::seq_of(r);
        if (k < 0 || k >= o.keys || (next_seq[static_cast<size_t>(k)] >= 0 && seq != next_seq[static_cast<size_t>(k)]))
          ++out_of_order;
        if (k >= 0 && k < o.keys) next_seq[static_cast<size_t>(k)] = (seq + o.keys) & 0x7fff;
      });
      if (n < 0) return fail("child: take failed");
      if (n > 0) {
        if (received == 0) first = t;
        received += n;
        last = now_ns();
      }
    }
    if (expected >= 0 && received >= expected) break;
    if (t > give_up || (end_seen_at && t - end_seen_at > int64_t{kDrainTimeoutMs} * 1000000)) break;
    if (expected < 0 && (!data || t - last_check > 20000000)) {
      last_check = t;
      pollfd pf{0, POLLIN, 0};
      std::string l;
      if (poll(&pf, 1, 0) > 0) {
        if (!p.line(l, 100)) return fail("child: parent went away");
        long long n = 0;
        if (std::sscanf(l.c_str(), "END %lld", &n) != 1) return fail("child: bad END line");
        expected = n;
        end_seen_at = t;
      }
    }
  }
  p.tell("GOT " + std::to_string(received) + " " + std::to_string(first) + " " + std::to_string(last) + " " +
         std::to_string(out_of_order));
  std::string l;
  p.line(l, 2000);  // until the parent closes the pipe
  return 0;
}

// ------------------------------------------------ participant create+delete
// One process: a participant holds the domain (so it stays up), then another
// participant is created and deleted, o.warmup times unmeasured and o.cycles
// times measured.
template <class A>
int participant_cycles(const Options& o, const char* impl) {
  A a;
  if (!a.open(o.domain)) return fail("setup failed");
  std::vector<int64_t> cycle_ns;
  cycle_ns.reserve(static_cast<size_t>(o.cycles));
  for (int i = 0; i < o.warmup + o.cycles; ++i) {
    const int64_t t0 = now_ns();
    if (!a.cycle_participant(o.domain)) return fail("participant create+delete failed");
    if (i >= o.warmup) cycle_ns.push_back(now_ns() - t0);
  }
  print_cycles(impl, std::move(cycle_ns));
  return 0;
}

template <class A>
int main_for(int argc, char** argv, const char* impl) {
  signal(SIGPIPE, SIG_IGN);
  Options o;
  if (!parse(argc, argv, o)) {
    usage(argv[0]);
    return 2;
  }
  // Before any DDS thread exists, so that all of them stay there too.
  if (!pin_to_cpu(o.cpu)) return fail("cannot keep to the given CPU");
  if (o.test == "latency") return o.child ? latency_child<A>(o) : latency_parent<A>(o, impl);
  if (o.test == "participant") return participant_cycles<A>(o, impl);
  return o.child ? throughput_child<A>(o) : throughput_parent<A>(o, impl);
}

}  // namespace bench
