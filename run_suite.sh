#!/usr/bin/env bash
# Runs the conformance suite end to end: installs the Debian packages that are
# missing and builds what is missing (both skipped with --no-build), starts
# the peer (dds_peer) on 127.0.0.1, runs dds_positive_tests from a directory
# that holds test_qos_config.xml, stops the peer and prints one summary of
# both sides. Exit status 0 only when both sides passed.
#
#   ./run_suite.sh [runner options] [googletest flags...]
#
# Runner options (everything else goes to dds_positive_tests unchanged; a
# --gtest_output must ask for XML, which the runner then reads from there):
#   --build-dir DIR     build tree (default: ./build next to this script)
#   --no-build          do not install packages, configure or build
#   --time-limit SECS   overall limit for the positive side (default 900,
#                       about three times a normal run of the whole suite)
#   --port N            peer port (default 12345; 0 picks a free one and
#                       passes it to the positive side as DDS_PEER_PORT;
#                       needs --positive, as dds_positive_tests always uses 12345)
#   --positive PATH     positive-side binary (default: the built dds_positive_tests)
#   --catalogue FILE    the tests and their peer counterparts (default: src/catalogue.tsv)
#   --results DIR       where logs and reports go (default: BUILD/suite-results)
#   --verbose           show the positive side's whole output, not only progress
#   --peer-command CMD  start CMD (a shell command line) as the peer instead of
#                       the built dds_peer, with the arguments dds_peer would
#                       get appended (--port=N --max-seconds=N --junit=FILE
#                       --report-dir=DIR, and --tests=BUILD's dds_peer_tests
#                       when that exists); it must listen on 127.0.0.1 and say
#                       "[dds_peer] listening on 127.0.0.1:PORT" or be seen
#                       listening on the port
#   --peer-running      use the peer already listening on 127.0.0.1:PORT and
#                       start none; its verdicts are known only if it writes
#                       its JUnit report to RESULTS/peer.xml (the runner waits
#                       up to 30 s for it after the positive side ends), else
#                       the report lists its counterparts as not reported
#   -h, --help          this text
#   --                  end of runner options
#
# Any other argument beginning with "--" that is not a googletest flag
# (--gtest_... or -gtest_...) is refused, so that a mistyped runner option
# cannot go unnoticed. The positive side runs in a process group of its own;
# the time limit ends that whole group.
#
# Results: positive.xml (googletest; or where --gtest_output=xml:PATH asks),
# peer.xml (the peer's verdicts), suite.xml (both merged, JUnit), positive.log,
# peer.log, planned.txt (the tests the run was to run). One run at a time per
# network namespace: the peer's port is fixed.
set -u -o pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="$ROOT/build"
DO_BUILD=1
TIME_LIMIT=900
PORT=12345
POSITIVE=""
CATALOGUE="$ROOT/src/catalogue.tsv"
RESULTS=""
VERBOSE=0
PEER_COMMAND=""
PEER_RUNNING=0
PASS=()
RUNNER_OPTIONS="--build-dir DIR, --no-build, --time-limit SECS, --port N, --positive PATH, --catalogue FILE, --results DIR, --verbose, --peer-command CMD, --peer-running, --help, --"

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
    --catalogue) [ $# -ge 2 ] || die "--catalogue needs a value"; CATALOGUE="$2"; shift 2 ;;
    --catalogue=*) CATALOGUE="${1#*=}"; shift ;;
    --results) [ $# -ge 2 ] || die "--results needs a value"; RESULTS="$2"; shift 2 ;;
    --results=*) RESULTS="${1#*=}"; shift ;;
    --verbose) VERBOSE=1; shift ;;
    --peer-command) [ $# -ge 2 ] || die "--peer-command needs a value"; PEER_COMMAND="$2"; shift 2 ;;
    --peer-command=*) PEER_COMMAND="${1#*=}"; shift ;;
    --peer-running) PEER_RUNNING=1; shift ;;
    -h|--help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    --) shift; PASS+=("$@"); break ;;
    --gtest_*|-gtest_*) PASS+=("$1"); shift ;;
    --*) die "unknown option $1 (runner options: $RUNNER_OPTIONS; googletest's flags begin with --gtest_)" ;;
    *) PASS+=("$1"); shift ;;
  esac
done

case "$TIME_LIMIT" in ''|*[!0-9]*) die "--time-limit must be a number of seconds" ;; esac
case "$PORT" in ''|*[!0-9]*) die "--port must be a number" ;; esac
# dds_positive_tests always connects to 12345; another port only serves a
# positive side that reads DDS_PEER_PORT (the project's own tests).
[ "$PORT" = 12345 ] || [ -n "$POSITIVE" ] || die "--port other than 12345 needs --positive (dds_positive_tests always connects to 12345)"
[ "$TIME_LIMIT" -gt 0 ] || die "--time-limit must be positive"
[ -z "$PEER_COMMAND" ] || [ "$PEER_RUNNING" = 0 ] || die "--peer-command and --peer-running exclude each other"
[ "$PEER_RUNNING" = 0 ] || [ "$PORT" != 0 ] || die "--peer-running needs the port the peer listens on (not --port 0)"
command -v setsid >/dev/null || die "setsid (util-linux) is needed"

abs() { case "$1" in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$PWD/$1" ;; esac; }
BUILD="$(abs "$BUILD")"
[ -n "$RESULTS" ] || RESULTS="$BUILD/suite-results"
RESULTS="$(abs "$RESULTS")"
CATALOGUE="$(abs "$CATALOGUE")"
[ -n "$POSITIVE" ] && POSITIVE="$(abs "$POSITIVE")"

# ---- the googletest flags the runner itself reads ----------------------------
# The positive side's XML report: where the caller asks for it (flag, else
# GTEST_OUTPUT, as googletest reads them), else in the results. Only XML can
# be read; another format is refused rather than silently replaced.
LISTING=0
RUN_DISABLED=0
case "${GTEST_ALSO_RUN_DISABLED_TESTS:-0}" in 0|f|F|'') ;; *) RUN_DISABLED=1 ;; esac
OUTPUT_REQUEST="${GTEST_OUTPUT:-}"
FLAGS=()
for a in "${PASS[@]+"${PASS[@]}"}"; do
  case "$a" in
    --gtest_list_tests) LISTING=1 ;;
    --gtest_output=*) OUTPUT_REQUEST="${a#--gtest_output=}" ;;
    --gtest_also_run_disabled_tests) RUN_DISABLED=1; FLAGS+=("$a") ;;
    --gtest_also_run_disabled_tests=*)
      case "${a#*=}" in 0|f|F) RUN_DISABLED=0 ;; *) RUN_DISABLED=1 ;; esac; FLAGS+=("$a") ;;
    *) FLAGS+=("$a") ;;
  esac
done
unset GTEST_OUTPUT

case "$OUTPUT_REQUEST" in
  "") POSITIVE_XML="" ;;
  xml) POSITIVE_XML="$PWD/test_detail.xml" ;;
  xml:*/) POSITIVE_XML="$(abs "${OUTPUT_REQUEST#xml:}")$(basename "${POSITIVE:-dds_positive_tests}").xml" ;;
  xml:?*) POSITIVE_XML="$(abs "${OUTPUT_REQUEST#xml:}")" ;;
  *) die "--gtest_output=$OUTPUT_REQUEST: the runner reads the positive side's report as XML; use xml, xml:FILE or xml:DIR/, or leave it out (the report then goes to the results directory)" ;;
esac

# ---- packages and build ------------------------------------------------------------
if [ "$DO_BUILD" = 1 ]; then
  "$ROOT/tools/install-packages.sh" || die "installing the Debian packages failed"
  command -v cmake >/dev/null || die "cmake is missing"
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    echo "run_suite: configuring $BUILD"
    timeout 600 cmake -S "$ROOT" -B "$BUILD" >/dev/null || die "cmake configuration failed"
  fi
  targets=()
  [ -n "$PEER_COMMAND" ] || [ "$PEER_RUNNING" = 1 ] || targets+=(dds_peer dds_peer_tests)
  [ -n "$POSITIVE" ] || targets+=(dds_positive_tests)
  jobs=()
  [ -n "${CMAKE_BUILD_PARALLEL_LEVEL:-}" ] || jobs=(-j "$(nproc)")
  echo "run_suite: building ${targets[*]:-nothing}"
  if [ ${#targets[@]} -gt 0 ] && ! timeout 3600 cmake --build "$BUILD" ${jobs[@]+"${jobs[@]}"} --target "${targets[@]}" >"$BUILD/run_suite_build.log" 2>&1; then
    tail -n 40 "$BUILD/run_suite_build.log" >&2
    die "build failed (full log: $BUILD/run_suite_build.log)"
  fi
fi
# The report runs under Debian's interpreter when there is one, as the
# project's Python parts do (it needs only the standard library).
PYTHON=python3
[ -x /usr/bin/python3 ] && PYTHON=/usr/bin/python3
command -v "$PYTHON" >/dev/null || die "python3 is needed for the report"
command -v timeout >/dev/null || die "timeout (coreutils) is needed"

PEER="$BUILD/platform/peer/dds_peer"
PEER_TESTS="$BUILD/platform/peer/dds_peer_tests"
if [ -z "$POSITIVE" ]; then
  POSITIVE="$BUILD/src/dds_positive_tests"
  [ -x "$POSITIVE" ] || POSITIVE="$(find "$BUILD" -name dds_positive_tests -type f -perm -u+x 2>/dev/null | head -n 1)"
fi
[ -n "$POSITIVE" ] && [ -x "$POSITIVE" ] || die "no dds_positive_tests in $BUILD"
POSITIVE="$(cd "$(dirname "$POSITIVE")" && pwd)/$(basename "$POSITIVE")"

# Listing needs no peer: googletest lists when "--gtest_list_tests" comes first.
if [ "$LISTING" = 1 ]; then
  exec "$POSITIVE" --gtest_list_tests ${FLAGS[@]+"${FLAGS[@]}"}
fi
if [ -z "$PEER_COMMAND" ] && [ "$PEER_RUNNING" = 0 ]; then
  [ -x "$PEER" ] || die "no dds_peer in $BUILD (build it, or drop --no-build)"
  [ -x "$PEER_TESTS" ] || die "no dds_peer_tests in $BUILD"
fi

# ---- results and working directory ------------------------------------------
# Only what this script writes is removed: --results may name a directory
# that holds other things.
TIMED_OUT_MARK="$RESULTS/.time-limit-reached"
rm -rf "$RESULTS/work" "$RESULTS/peer-reports"
POSITIVE_GROUP_FILE="$RESULTS/.positive-group"
rm -f "$RESULTS/positive.xml" "$RESULTS/peer.xml" "$RESULTS/suite.xml" "$RESULTS/positive.log" \
      "$RESULTS/peer.log" "$RESULTS/planned.txt" "$TIMED_OUT_MARK" "$POSITIVE_GROUP_FILE"
mkdir -p "$RESULTS/work" "$RESULTS/peer-reports" || die "cannot create $RESULTS"
[ -n "$POSITIVE_XML" ] || POSITIVE_XML="$RESULTS/positive.xml"
# A report left from an earlier run must not stand in for this one.
rm -f "$POSITIVE_XML"
mkdir -p "$(dirname "$POSITIVE_XML")" || die "cannot create the directory of $POSITIVE_XML"
if [ -f "$ROOT/config/test_qos_config.xml" ]; then
  cp "$ROOT/config/test_qos_config.xml" "$RESULTS/work/test_qos_config.xml"
else
  echo "run_suite: warning: $ROOT/config/test_qos_config.xml is missing; the XML profile tests will fail" >&2
fi

# The tests this run is to run, for the report should the positive side stop
# early. Listed while the peer starts: a listing contacts no peer.
PLANNED=(--planned "$RESULTS/planned.txt")
list_planned() {
  if ! (cd "$RESULTS/work" && timeout 60 "$POSITIVE" --gtest_list_tests ${FLAGS[@]+"${FLAGS[@]}"}) \
       >"$RESULTS/planned.txt" 2>/dev/null; then
    echo "run_suite: warning: listing the tests failed; tests that never run will not be named in the report" >&2
    PLANNED=()
  fi
}

# ---- the peer ----------------------------------------------------------------
# The run starts here: its wall time and the report's default timestamp.
STARTED="$(date +%s.%N)"
PEER_PID=""
PEER_RC=0
stop_positive() {
  local group
  group="$(cat "$POSITIVE_GROUP_FILE" 2>/dev/null)" && [ -n "$group" ] && kill -TERM -- "-$group" 2>/dev/null
  return 0
}
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
trap 'stop_positive; stop_peer; exit 130' INT TERM

# Something listens on 127.0.0.1:$1 (ss of iproute2; unknown without it).
listening() {
  command -v ss >/dev/null || return 2
  [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]
}

peer_lifetime=$((TIME_LIMIT + 120))
PEER_ARGS=(--port="$PORT" --max-seconds="$peer_lifetime" --junit="$RESULTS/peer.xml"
           --report-dir="$RESULTS/peer-reports")
LISTEN_PORT=""
if [ "$PEER_RUNNING" = 1 ]; then
  listening "$PORT"
  case $? in
    0) ;;
    1) die "--peer-running: nothing listens on 127.0.0.1:$PORT" ;;
    *) echo "run_suite: warning: cannot tell whether a peer listens on 127.0.0.1:$PORT (no ss)" >&2 ;;
  esac
  list_planned
  echo "run_suite: the peer was already running on 127.0.0.1:$PORT; its log is its own" >"$RESULTS/peer.log"
  LISTEN_PORT="$PORT"
  echo "run_suite: using the peer already listening on 127.0.0.1:$LISTEN_PORT (not started by this runner)"
else
  if [ -n "$PEER_COMMAND" ]; then
    [ -x "$PEER_TESTS" ] && PEER_ARGS+=(--tests="$PEER_TESTS")
    timeout -k 5 $((peer_lifetime + 30)) bash -c "$PEER_COMMAND"' "$@"' run_suite_peer "${PEER_ARGS[@]}" \
      >"$RESULTS/peer.log" 2>&1 &
  else
    timeout -k 5 $((peer_lifetime + 30)) "$PEER" "${PEER_ARGS[@]}" --tests="$PEER_TESTS" \
      >"$RESULTS/peer.log" 2>&1 &
  fi
  PEER_PID=$!
  list_planned
  for _ in $(seq 1 3000); do
    LISTEN_PORT="$(sed -n 's/^\[dds_peer\] listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$RESULTS/peer.log" | head -n 1)"
    [ -n "$LISTEN_PORT" ] && break
    # A peer of another make may not say so; it is seen listening instead.
    if [ -n "$PEER_COMMAND" ] && [ "$PORT" != 0 ] && listening "$PORT"; then LISTEN_PORT="$PORT"; break; fi
    kill -0 "$PEER_PID" 2>/dev/null || break
    sleep 0.01
  done
  if [ -z "$LISTEN_PORT" ]; then
    cat "$RESULTS/peer.log" >&2
    stop_peer
    die "the peer did not start listening within 30 s"
  fi
  echo "run_suite: peer listening on 127.0.0.1:$LISTEN_PORT (log: $RESULTS/peer.log)"
fi
export DDS_PEER_PORT="$LISTEN_PORT"

# ---- the positive side ---------------------------------------------------------
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
      "Note: Randomizing tests' orders with a seed of "*|"Repeating all tests (iteration "*)
        in_failure=0; printf '%s\n' "$1" ;;
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

# Runs the positive side under the time limit, in a process group of its own
# (setsid). Its exit status is its own (a signal shows as 128 + the signal's
# number); the limit ends the whole group, so that no child of the positive
# side (a wrapper's, say) keeps the run going, and leaves a mark that says
# what was ended and when, so that only the runner's own time-out is called one.
run_positive() {
  cd "$RESULTS/work" || exit 2
  setsid "$POSITIVE" ${FLAGS[@]+"${FLAGS[@]}"} --gtest_output="xml:$POSITIVE_XML" &
  local pid=$! rc
  echo "$pid" >"$POSITIVE_GROUP_FILE"
  (
    exec >/dev/null 2>&1
    trap 'kill "$s" 2>/dev/null; exit 0' TERM
    sleep "$TIME_LIMIT" & s=$!; wait "$s"
    members="$(ps -eo pid=,pgid=,comm= | awk -v g="$pid" '$2 == g { printf "%s%s (pid %s)", sep, $3, $1; sep = ", " }')"
    printf 'the time limit of %s s ended the positive side'"'"'s process group %s (%s) at %s\n' \
      "$TIME_LIMIT" "$pid" "${members:-no process left}" "$(date +%Y-%m-%dT%H:%M:%S)" >"$TIMED_OUT_MARK"
    kill -TERM -- "-$pid"
    sleep 10 & s=$!; wait "$s"
    kill -KILL -- "-$pid"
  ) &
  local watchdog=$!
  wait "$pid"
  rc=$?
  kill -TERM "$watchdog" 2>/dev/null
  wait "$watchdog" 2>/dev/null
  # What the positive side left running in its group would hold its output open.
  kill -TERM -- "-$pid" 2>/dev/null
  return "$rc"
}

echo "run_suite: running $(basename "$POSITIVE") ${FLAGS[*]+"${FLAGS[*]}"} (time limit ${TIME_LIMIT} s)"
( run_positive ) 2>&1 | tee "$RESULTS/positive.log" | show_progress
POS_RC=${PIPESTATUS[0]}
REPORT_ARGS=()
if [ -e "$TIMED_OUT_MARK" ]; then
  ENDED="$(cat "$TIMED_OUT_MARK")"
  REPORT_ARGS+=(--time-limit-reached --time-limit-note "$ENDED")
  echo "run_suite: TIME LIMIT: the positive side did not finish within ${TIME_LIMIT} s: $ENDED" >&2
elif [ "$POS_RC" -gt 128 ]; then
  echo "run_suite: the positive side was killed by signal $((POS_RC - 128))" >&2
fi
rm -f "$TIMED_OUT_MARK" "$POSITIVE_GROUP_FILE"

# The peer ends by itself once the positive side's control connection closes
# (and its running tests finish); give it that time, then stop it. A peer this
# runner did not start is given the same time to write its report.
if [ "$PEER_RUNNING" = 1 ]; then
  REPORT_ARGS+=(--peer-running)
  for _ in $(seq 1 300); do [ -s "$RESULTS/peer.xml" ] && break; sleep 0.1; done
  [ -s "$RESULTS/peer.xml" ] && sleep 0.5  # a report being written is given time to be complete
else
  if [ -n "$PEER_COMMAND" ] || grep -q 'control connection "active_connection" accepted' "$RESULTS/peer.log"; then
    for _ in $(seq 1 3000); do kill -0 "$PEER_PID" 2>/dev/null || break; sleep 0.01; done
  fi
  stop_peer
fi
trap - INT TERM

# ---- report ----------------------------------------------------------------------
[ "$RUN_DISABLED" = 1 ] && REPORT_ARGS+=(--run-disabled)
if [ "$POSITIVE_XML" != "$RESULTS/positive.xml" ] && [ -f "$POSITIVE_XML" ]; then
  cp "$POSITIVE_XML" "$RESULTS/positive.xml"
fi
"$PYTHON" "$ROOT/tools/suite_report.py" --results "$RESULTS" --positive-status "$POS_RC" --peer-status "$PEER_RC" \
  --time-limit "$TIME_LIMIT" --positive-xml "$POSITIVE_XML" --catalogue "$CATALOGUE" --started "$STARTED" \
  ${PLANNED[@]+"${PLANNED[@]}"} ${REPORT_ARGS[@]+"${REPORT_ARGS[@]}"}
