#!/usr/bin/env bash
# Runs the conformance suite end to end: builds what is missing, starts the
# peer (dds_peer) on 127.0.0.1, runs dds_positive_tests from a directory that
# holds test_qos_config.xml, stops the peer and prints one summary of both
# sides. Exit status 0 only when both sides passed.
#
#   ./run_suite.sh [runner options] [googletest flags...]
#
# Runner options (everything else goes to dds_positive_tests unchanged):
#   --build-dir DIR     build tree (default: ./build next to this script)
#   --no-build          do not configure or build
#   --time-limit SECS   overall limit for the positive side (default 1800)
#   --port N            peer port (default 12345; 0 picks a free one and
#                       passes it to the positive side as DDS_PEER_PORT;
#                       needs --positive, as dds_positive_tests always uses 12345)
#   --positive PATH     positive-side binary (default: the built dds_positive_tests)
#   --results DIR       where logs and reports go (default: BUILD/suite-results)
#   --verbose           show the positive side's whole output, not only progress
#   --                  end of runner options
#
# Results: positive.xml (googletest), peer.xml (the peer's verdicts),
# suite.xml (both merged, JUnit), positive.log, peer.log.
set -u -o pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="$ROOT/build"
DO_BUILD=1
TIME_LIMIT=1800
PORT=12345
POSITIVE=""
RESULTS=""
VERBOSE=0
PASS=()

die() { echo "run_suite: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) [ $# -ge 2 ] || die "--build-dir needs a value"; BUILD="$2"; shift 2 ;;
    --build-dir=*) BUILD="${1#*=}"; shift ;;
    --no-build) DO_BUILD=0; shift ;;
    --time-limit) [ $# -ge 2 ] || die "--time-limit needs a value"; TIME_LIMIT="$2"; shift 2 ;;
    --time-limit=*) TIME_LIMIT="${1#*=}"; shift ;;
    --port) [ $# -ge 2 ] || die "--port needs a value"; PORT="$2"; shift 2 ;;
    --port=*) PORT="${1#*=}"; shift ;;
    --positive) [ $# -ge 2 ] || die "--positive needs a value"; POSITIVE="$2"; shift 2 ;;
    --positive=*) POSITIVE="${1#*=}"; shift ;;
    --results) [ $# -ge 2 ] || die "--results needs a value"; RESULTS="$2"; shift 2 ;;
    --results=*) RESULTS="${1#*=}"; shift ;;
    --verbose) VERBOSE=1; shift ;;
    -h|--help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    --) shift; PASS+=("$@"); break ;;
    *) PASS+=("$1"); shift ;;
  esac
done

case "$TIME_LIMIT" in ''|*[!0-9]*) die "--time-limit must be a number of seconds" ;; esac
case "$PORT" in ''|*[!0-9]*) die "--port must be a number" ;; esac
# dds_positive_tests always connects to 12345; another port only serves a
# positive side that reads DDS_PEER_PORT (the project's own tests).
[ "$PORT" = 12345 ] || [ -n "$POSITIVE" ] || die "--port other than 12345 needs --positive (dds_positive_tests always connects to 12345)"
[ "$TIME_LIMIT" -gt 0 ] || die "--time-limit must be positive"
command -v python3 >/dev/null || die "python3 is needed for the report"
command -v timeout >/dev/null || die "timeout (coreutils) is needed"

case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac
[ -n "$RESULTS" ] || RESULTS="$BUILD/suite-results"
case "$RESULTS" in /*) ;; *) RESULTS="$PWD/$RESULTS" ;; esac

# ---- build -----------------------------------------------------------------
if [ "$DO_BUILD" = 1 ]; then
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    echo "run_suite: configuring $BUILD"
    timeout 600 cmake -S "$ROOT" -B "$BUILD" >/dev/null || die "cmake configuration failed"
  fi
  targets=(dds_peer dds_peer_tests)
  [ -n "$POSITIVE" ] || targets+=(dds_positive_tests)
  echo "run_suite: building ${targets[*]}"
  if ! timeout 3600 cmake --build "$BUILD" -j "$(nproc)" --target "${targets[@]}" >"$BUILD/run_suite_build.log" 2>&1; then
    tail -n 40 "$BUILD/run_suite_build.log" >&2
    die "build failed (full log: $BUILD/run_suite_build.log)"
  fi
fi

PEER="$BUILD/platform/peer/dds_peer"
PEER_TESTS="$BUILD/platform/peer/dds_peer_tests"
if [ -z "$POSITIVE" ]; then
  POSITIVE="$BUILD/src/dds_positive_tests"
  [ -x "$POSITIVE" ] || POSITIVE="$(find "$BUILD" -name dds_positive_tests -type f -perm -u+x 2>/dev/null | head -n 1)"
fi
[ -x "$PEER" ] || die "no dds_peer in $BUILD (build it, or drop --no-build)"
[ -x "$PEER_TESTS" ] || die "no dds_peer_tests in $BUILD"
[ -n "$POSITIVE" ] && [ -x "$POSITIVE" ] || die "no dds_positive_tests in $BUILD"
POSITIVE="$(cd "$(dirname "$POSITIVE")" && pwd)/$(basename "$POSITIVE")"

# ---- results and working directory ------------------------------------------
# Only what this script writes is removed: --results may name a directory
# that holds other things.
rm -rf "$RESULTS/work" "$RESULTS/peer-reports"
rm -f "$RESULTS/positive.xml" "$RESULTS/peer.xml" "$RESULTS/suite.xml" "$RESULTS/positive.log" "$RESULTS/peer.log"
mkdir -p "$RESULTS/work" "$RESULTS/peer-reports" || die "cannot create $RESULTS"
if [ -f "$ROOT/config/test_qos_config.xml" ]; then
  cp "$ROOT/config/test_qos_config.xml" "$RESULTS/work/test_qos_config.xml"
else
  echo "run_suite: warning: $ROOT/config/test_qos_config.xml is missing; the XML profile tests will fail" >&2
fi

LISTING=0
for a in "${PASS[@]+"${PASS[@]}"}"; do
  [ "$a" = "--gtest_list_tests" ] && LISTING=1
done

# ---- the peer ----------------------------------------------------------------
PEER_PID=""
stop_peer() {
  [ -n "$PEER_PID" ] || return 0
  if kill -0 "$PEER_PID" 2>/dev/null; then
    kill -TERM "$PEER_PID" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$PEER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$PEER_PID" 2>/dev/null
  fi
  wait "$PEER_PID" 2>/dev/null
  PEER_RC=$?
  PEER_PID=""
}
trap 'stop_peer; exit 130' INT TERM

peer_lifetime=$((TIME_LIMIT + 120))
timeout -k 5 $((peer_lifetime + 30)) "$PEER" --port="$PORT" --tests="$PEER_TESTS" \
  --max-seconds="$peer_lifetime" --junit="$RESULTS/peer.xml" --report-dir="$RESULTS/peer-reports" \
  >"$RESULTS/peer.log" 2>&1 &
PEER_PID=$!
PEER_RC=0

LISTEN_PORT=""
for _ in $(seq 1 300); do
  LISTEN_PORT="$(sed -n 's/^\[dds_peer\] listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$RESULTS/peer.log" | head -n 1)"
  [ -n "$LISTEN_PORT" ] && break
  kill -0 "$PEER_PID" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$LISTEN_PORT" ]; then
  cat "$RESULTS/peer.log" >&2
  stop_peer
  die "the peer did not start listening within 30 s"
fi
echo "run_suite: peer listening on 127.0.0.1:$LISTEN_PORT (log: $RESULTS/peer.log)"
export DDS_PEER_PORT="$LISTEN_PORT"

# ---- the positive side ---------------------------------------------------------
# The caller's flags come first: "--gtest_list_tests" only lists when it is the
# first argument.
show_progress() {
  local start=$SECONDS in_failure=0 line chunk partial="" current="" quiet_since=$SECONDS
  show_line() {
    case "$1" in
      "[ RUN      ] "*) current="${1#\[ RUN      \] }" ;;
      "[       OK ]"*|"[  FAILED  ]"*|"[  SKIPPED ]"*) current="" ;;
    esac
    if [ "$VERBOSE" = 1 ]; then
      case "$1" in
        "[ RUN      ]"*|"[       OK ]"*|"[  FAILED  ]"*|"[  SKIPPED ]"*)
          printf '[%5ds] %s\n' $((SECONDS - start)) "$1" ;;
        *) printf '%s\n' "$1" ;;
      esac
      return
    fi
    case "$1" in
      "[ RUN      ]"*|"[       OK ]"*|"[  FAILED  ]"*|"[  SKIPPED ]"*|"[==========]"*|"[  PASSED  ]"*)
        in_failure=0; printf '[%5ds] %s\n' $((SECONDS - start)) "$1" ;;
      *": Failure"|*": Failure "*)
        in_failure=1; printf '%s\n' "$1" ;;
      "["*) in_failure=0 ;;
      *) [ "$in_failure" = 1 ] && printf '%s\n' "$1" ;;
    esac
  }
  # A test that stays silent still shows, once a minute, that it runs.
  while :; do
    if IFS= read -r -t 60 chunk; then
      show_line "$partial$chunk"
      partial=""
      quiet_since=$SECONDS
    elif [ $? -gt 128 ]; then
      partial="$partial$chunk"
      if [ -n "$current" ] && [ $((SECONDS - quiet_since)) -ge 60 ]; then
        printf '[%5ds] ... still running %s\n' $((SECONDS - start)) "$current"
        quiet_since=$SECONDS
      fi
    else
      [ -z "$partial$chunk" ] || show_line "$partial$chunk"
      break
    fi
  done
}

echo "run_suite: running $(basename "$POSITIVE") ${PASS[*]+"${PASS[*]}"} (time limit ${TIME_LIMIT} s)"
[ "$LISTING" = 1 ] && VERBOSE=1
(
  cd "$RESULTS/work" &&
  exec timeout -k 10 "$TIME_LIMIT" "$POSITIVE" ${PASS[@]+"${PASS[@]}"} \
    --gtest_output="xml:$RESULTS/positive.xml"
) 2>&1 | tee "$RESULTS/positive.log" | show_progress
POS_RC=${PIPESTATUS[0]}
TIMED_OUT=0
if [ "$POS_RC" = 124 ] || [ "$POS_RC" = 137 ]; then
  TIMED_OUT=1
  echo "run_suite: TIME LIMIT: the positive side did not finish within ${TIME_LIMIT} s and was stopped" >&2
fi

# The peer ends by itself once the positive side's control connection closes
# (and its running tests finish); give it that time, then stop it.
if grep -q 'control connection "active_connection" accepted' "$RESULTS/peer.log"; then
  for _ in $(seq 1 300); do kill -0 "$PEER_PID" 2>/dev/null || break; sleep 0.1; done
fi
stop_peer
trap - INT TERM

if [ "$LISTING" = 1 ]; then
  exit "$POS_RC"
fi

# ---- report ----------------------------------------------------------------------
python3 - "$RESULTS" "$POS_RC" "$PEER_RC" "$TIMED_OUT" <<'PY'
import os, re, sys
import xml.etree.ElementTree as ET
from datetime import datetime, timedelta

results, pos_rc, peer_rc, timed_out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1"
problems = []

def load(path):
    try:
        return ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None

pos_root = load(os.path.join(results, "positive.xml"))
peer_root = load(os.path.join(results, "peer.xml"))

def brief(text, limit=300):
    text = " | ".join(line.strip() for line in text.strip().splitlines() if line.strip())
    return text if len(text) <= limit else text[: limit - 3] + "..."

def testcases(root):
    """Every test case of a report with its name "suite.test"."""
    for suite in root.iter("testsuite"):
        for tc in suite.iter("testcase"):
            yield "%s.%s" % (tc.get("classname", suite.get("name")), tc.get("name")), tc

positive = []   # (name, verdict, timestamp, seconds, message)
if pos_root is None:
    problems.append("the positive side wrote no report (crashed or stopped?)")
else:
    for name, tc in testcases(pos_root):
        failures = tc.findall("failure")
        if tc.get("status") == "notrun" or tc.get("result") == "suppressed":
            verdict = "DISABLED"
        elif tc.get("result") == "skipped" or tc.find("skipped") is not None:
            verdict = "SKIPPED"
        elif failures:
            verdict = "FAILED"
        else:
            verdict = "PASSED"
        msg = brief(failures[0].get("message", "")) if failures else ""
        positive.append((name, verdict, tc.get("timestamp", ""), float(tc.get("time", "0") or 0), msg))

peer = []       # (name, verdict, timestamp, message)
if peer_root is None:
    problems.append("the peer wrote no report")
else:
    for name, tc in testcases(peer_root):
        f = tc.find("failure")
        peer.append((name, tc.get("verdict", "FAILED" if f is not None else "PASSED"), tc.get("timestamp", ""),
                     brief(f.text or "") if f is not None else ""))

def counterpart(name):
    suite, _, test = name.partition(".")
    test = re.sub(r"^(ENABLED_|DISABLED_)", "", test)
    if not test.endswith("Positive"):
        return None
    return "%s.ENABLED_%sNegative" % (suite.replace("TestPositive", "TestNegative"), test[: -len("Positive")])

# Pair each peer verdict with the positive test that asked for it: by the
# naming rule, else by time (the peer test started while the positive ran).
def ts(text):
    try:
        return datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None

# Tests run one after another, so a peer test belongs to the positive test
# that started last before it (and had not ended long before it).
paired = {}
used = set()
starts = [(ts(p[2]), i) for i, p in enumerate(positive) if ts(p[2]) is not None]
starts.sort()
for j, q in enumerate(peer):
    at = ts(q[2])
    if at is None:
        continue
    best = None
    for start, i in starts:
        if start <= at + timedelta(milliseconds=5):
            best = (start, i)
    if best and at <= best[0] + timedelta(seconds=positive[best[1]][3] + 1):
        paired.setdefault(best[1], []).append(j)
        used.add(j)
# Without usable times, by the naming rule.
for i, p in enumerate(positive):
    if i in paired:
        continue
    want = counterpart(p[0])
    for j, q in enumerate(peer):
        if j not in used and q[0] == want:
            paired[i] = [j]
            used.add(j)
            break

rows = []
for i, p in enumerate(positive):
    if p[1] == "DISABLED":
        continue
    peers = paired.get(i, [])
    peer_text = ", ".join("%s %s" % (peer[j][1], peer[j][0]) for j in peers) or "-"
    rows.append((p[0], p[1], peer_text))
for j, q in enumerate(peer):
    if j not in used:
        rows.append(("(no positive test)", "-", "%s %s" % (q[1], q[0])))

width = max([len(r[0]) for r in rows] + [40])
line_width = min(width + 70, 160)
print()
print("=" * line_width)
print("%-*s %-9s %s" % (width, "test", "positive", "peer counterpart"))
print("-" * line_width)
for r in rows:
    print("%-*s %-9s %s" % (width, r[0], r[1], r[2]))
print("-" * line_width)

def count(items, verdict):
    return sum(1 for x in items if x[1] == verdict)

pos_failed = count(positive, "FAILED")
peer_failed = sum(1 for q in peer if q[1] != "PASSED")
print("positive side: %d run, %d passed, %d failed, %d skipped, %d disabled; exit status %d"
      % (len(positive) - count(positive, "DISABLED"), count(positive, "PASSED"), pos_failed,
         count(positive, "SKIPPED"), count(positive, "DISABLED"), pos_rc))
print("peer side:     %d run, %d passed, %d failed; exit status %d" % (len(peer), len(peer) - peer_failed, peer_failed, peer_rc))
for p in positive:
    if p[1] == "FAILED":
        print("  positive FAILED %s: %s" % (p[0], p[4]))
for q in peer:
    if q[1] != "PASSED":
        print("  peer %s %s: %s" % (q[1], q[0], q[3]))

# Merged JUnit report.
merged = ET.Element("testsuites", name="dds_suite")
tests = failures = 0
for side, root in (("positive", pos_root), ("peer", peer_root)):
    if root is None:
        continue
    for suite in root.iter("testsuite"):
        suite.set("side", side)
        merged.append(suite)
        for tc in suite.iter("testcase"):
            if tc.get("status") == "notrun":
                continue
            tests += 1
            failures += 1 if tc.find("failure") is not None else 0
merged.set("tests", str(tests))
merged.set("failures", str(failures))
merged.set("errors", "0")
ET.ElementTree(merged).write(os.path.join(results, "suite.xml"), encoding="utf-8", xml_declaration=True)

if timed_out:
    problems.append("the run hit its time limit")
if pos_rc != 0 and pos_failed == 0:
    problems.append("the positive side exited with status %d" % pos_rc)
if peer_rc != 0 and peer_failed == 0:
    problems.append("the peer exited with status %d" % peer_rc)
for text in problems:
    print("  " + text)
ok = not problems and pos_failed == 0 and peer_failed == 0 and pos_rc == 0 and peer_rc == 0
print("RESULT: %s (report: %s; logs: positive.log, peer.log in %s)"
      % ("PASSED" if ok else "FAILED", os.path.join(results, "suite.xml"), results))
print("=" * line_width)
sys.exit(0 if ok else 1)
PY
exit $?
