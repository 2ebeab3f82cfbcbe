#!/usr/bin/env bash
# QUORVELA against plain Cyclone: round-trip latency and throughput of a small
# keyed sample between two processes on this machine, and the cost of creating
# and deleting a participant while the domain stays up. Not a test: it prints
# numbers and fails only when a run itself fails.
#
# Latency is measured twice. First with each process kept on a CPU of its own
# (the two highest this shell may use): that is the data path's own cost. Then
# where the kernel puts the threads: on some kernels (virtual machines that
# pack work onto few virtual CPUs) the placement settles, for the whole run,
# into one of two patterns depending on how busy the threads were just before
# the first round trip, and the two patterns differ by up to 2x for the same
# program. The unpinned rows show that, with the kernel's migrations of the
# measuring side's threads per round trip where the kernel reports them.
#
#   platform/quorvela/bench/run_bench.sh <build-dir>
#
# Configures <build-dir> (with -DQV_BENCH=ON) and builds the two programs if
# needed, then runs each configuration BENCH_RUNS times, alternating the two
# implementations, each run under the shared test lock. Prints the medians of
# the runs and, per measure, the ratio QUORVELA/Cyclone of each interleaved
# pair of runs: their median and their spread (lowest and highest).
# Environment: BENCH_RUNS (5), BENCH_ROUND_TRIPS (10000), BENCH_WARMUP (1000),
# BENCH_SECONDS (3), BENCH_KEYS (16), BENCH_PAYLOAD (16), BENCH_CYCLES (2000),
# BENCH_DOMAIN (77).
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 <build-dir>" >&2
  exit 2
fi
build=$1
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
runs=${BENCH_RUNS:-5}
round_trips=${BENCH_ROUND_TRIPS:-10000}
warmup=${BENCH_WARMUP:-1000}
seconds=${BENCH_SECONDS:-3}
keys=${BENCH_KEYS:-16}
payload=${BENCH_PAYLOAD:-16}
cycles=${BENCH_CYCLES:-2000}
domain=${BENCH_DOMAIN:-77}
lock=/tmp/qv-test.lock

# ---------------------------------------------------------------- build
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$src" -B "$build" -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQV_BENCH=ON >/dev/null
elif ! grep -q '^QV_BENCH:BOOL=ON$' "$build/CMakeCache.txt"; then
  cmake -B "$build" -DQV_BENCH=ON >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target qv_bench_quorvela qv_bench_cyclone >/dev/null
bin=$build/platform/quorvela/bench
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")

# ----------------------------------------------------------------- runs
out=$(mktemp)
trap 'rm -f "$out"' EXIT
common=(--domain "$domain" --payload "$payload")
# Two CPUs for the pinned latency runs, the highest two this shell may use.
read -r -a cpus <<<"$(python3 -c 'import os; print(" ".join(map(str, sorted(os.sched_getaffinity(0))[-2:])))')"
run() {  # label impl test args...: the result line is filed under label
  local label=$1 impl=$2 test=$3
  shift 3
  local line
  # Hold the lock for the run only; a stuck run is killed after 120 s.
  if ! line=$(flock -w 900 "$lock" timeout 120 "$bin/qv_bench_$impl" "$test" "${common[@]}" "$@" | grep '^RESULT'); then
    echo "run failed: $impl $label" >&2
    exit 1
  fi
  line=${line/ test=$test / test=$label }
  echo "$line" >>"$out"
  echo "  $line load1=$(cut -d' ' -f1 /proc/loadavg)"
}

load_before=$(uptime)
echo "build: $build ($build_type), domain $domain, $runs runs per configuration"
echo "latency: $round_trips round trips after $warmup; throughput: ${seconds} s of writing over $keys instances"
echo "sample: int32 key, int16, string of $payload characters; reliable, keep all, volatile"
echo "participant: $cycles create+delete cycles after 100, another participant holding the domain"
if ((${#cpus[@]} == 2)); then
  echo "pinned latency: measuring side on CPU ${cpus[0]}, the other side on CPU ${cpus[1]}"
else
  echo "pinned latency: not measured (one CPU only)"
fi
for ((r = 1; r <= runs; ++r)); do
  for impl in cyclone quorvela; do
    if ((${#cpus[@]} == 2)); then
      run latency "$impl" latency --round-trips "$round_trips" --warmup "$warmup" --cpu "${cpus[0]}" --child-cpu "${cpus[1]}"
    fi
    run latency_unpinned "$impl" latency --round-trips "$round_trips" --warmup "$warmup"
    run throughput "$impl" throughput --seconds "$seconds" --keys "$keys"
    run participant "$impl" participant --cycles "$cycles" --warmup 100
  done
done
load_after=$(uptime)

# ---------------------------------------------------------------- table
# Values per implementation and run (the n-th line of an implementation and
# test is its n-th run); a pair is the two implementations' n-th runs.
awk -v before="$load_before" -v after="$load_after" '
function field(name,   i, kv) {
  for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
  return ""
}
function median(a, n,   i, j, t) {
  for (i = 2; i <= n; ++i) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; --j) a[j + 1] = a[j]; a[j + 1] = t }
  if (n == 0) return 0
  return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function add(impl, key, v) { val[impl, key, run[impl, test]] = v }
# One row: medians of both, and the ratios of the pairs.
function row(label, key, fmt,   i, n, c, q, r, rmin, rmax, nr) {
  n = run["cyclone", tests[key]]; if (run["quorvela", tests[key]] < n) n = run["quorvela", tests[key]]
  nr = 0
  for (i = 1; i <= n; ++i) {
    c[i] = val["cyclone", key, i]; q[i] = val["quorvela", key, i]
    if (c[i] > 0) { r[++nr] = q[i] / c[i]; if (nr == 1 || r[nr] < rmin) rmin = r[nr]; if (nr == 1 || r[nr] > rmax) rmax = r[nr] }
  }
  # No ratio where Cyclone measured nothing (say, no migrations at all).
  if (nr == 0) printf "%-26s " fmt " " fmt " %8s   %s\n", label, median(c, n), median(q, n), "-", "-"
  else printf "%-26s " fmt " " fmt " %8.2f   %5.2f-%-5.2f\n", label, median(c, n), median(q, n), median(r, nr), rmin, rmax
}
{
  impl = field("impl"); test = field("test"); ++run[impl, test]
  if (test == "latency") {
    add(impl, "p50", field("p50_us")); add(impl, "p90", field("p90_us"))
    add(impl, "p99", field("p99_us")); add(impl, "mean", field("mean_us"))
  } else if (test == "latency_unpinned") {
    add(impl, "free50", field("p50_us")); add(impl, "free99", field("p99_us"))
    if (field("migrations") != "") add(impl, "migr", field("migrations") / field("n"))
  } else if (test == "throughput") {
    add(impl, "rate", field("rate")); lost[impl] += field("lost"); disorder[impl] += field("disorder")
  } else {
    add(impl, "cycle50", field("p50_us")); add(impl, "cyclemean", field("mean_us"))
  }
}
END {
  tests["p50"] = tests["p90"] = tests["p99"] = tests["mean"] = "latency"; tests["rate"] = "throughput"
  tests["free50"] = tests["free99"] = tests["migr"] = "latency_unpinned"
  tests["cycle50"] = tests["cyclemean"] = "participant"
  printf "\n%-26s %12s %12s %8s   %s\n", "median of runs", "cyclone", "quorvela", "q/c", "q/c spread"
  split("p50 p90 p99 mean", m, " ")
  if (run["cyclone", "latency"] > 0)
    for (i = 1; i <= 4; ++i) row("latency " m[i] " (us)", m[i], "%12.1f")
  row("unpinned latency p50 (us)", "free50", "%12.1f")
  row("unpinned latency p99 (us)", "free99", "%12.1f")
  if (run["cyclone", "latency_unpinned"] > 0 && val["cyclone", "migr", 1] != "")
    row("unpinned migrations/trip", "migr", "%12.2f")
  row("throughput (samples/s)", "rate", "%12.0f")
  row("participant p50 (us)", "cycle50", "%12.1f")
  row("participant mean (us)", "cyclemean", "%12.1f")
  printf "%-26s %12d %12d\n", "samples lost (all runs)", lost["cyclone"], lost["quorvela"]
  printf "%-26s %12d %12d\n", "out of order (all runs)", disorder["cyclone"], disorder["quorvela"]
  printf "\nq/c: QUORVELA/Cyclone per interleaved pair of runs, median and spread (lowest-highest)\n"
  printf "load before: %s\nload after:  %s\n", before, after
}' "$out"
