#!/usr/bin/env bash
# Runs the conformance suite end to end: installs the Debian packages that are
# missing and builds what is missing (both skipped with --no-build), starts
# the peer (dds_peer) on 127.0.0.1, runs dds_positive_tests from a directory
# that holds test_qos_config.xml, stops the peer and prints one summary of
# both sides.
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
#                       for it after the positive side ends, see
#                       --peer-report-wait), else the report lists its
#                       counterparts as not reported
#   --peer-report-wait SECS
#                       with --peer-running, how long to wait for that report
#                       once the positive side has ended (default 30: the
#                       peer first finishes the counterparts still running;
#                       the wait ends as soon as the report is complete)
#   -h, --help          this text
#   --                  end of runner options
#
# Any other argument beginning with "--" that is not a googletest flag
# (--gtest_... or -gtest_...) is refused, so that a mistyped runner option
# cannot go unnoticed; so is a googletest flag that the positive side's
# googletest does not know or whose value it refuses (googletest would print
# its help and run nothing). The positive side runs in a process group of its
# own; the time limit ends that whole group.
#
# Exit status:
#   0  both sides passed every test that was judged
#   1  tests failed: a positive test failed, or a counterpart's verdict did
#      (failed, crashed, timed out), and the run itself went through
#   2  refused: an unknown option, a bad value, an unknown googletest flag,
#      a build directory without the programs to run; nothing ran
#   3  the run broke, so its verdicts are incomplete: the build or the peer's
#      start failed, the peer died or wrote no report, the positive side
#      crashed or hit the time limit, a report is missing or unreadable, a
#      counterpart that was due has no verdict
#   4  nothing was judged: no test was selected (a filter that matches none)
#
# Results: positive.xml (googletest; or where --gtest_output=xml:PATH asks),
# peer.xml (the peer's verdicts), peer-reports/ (each counterpart's own
# googletest report, <sequence>-<counterpart>.xml, and verdicts.tsv, the
# peer's record of its verdicts as it gives them), suite.xml (both merged,
# JUnit; kept within 64 MiB by cutting the longest failure texts, which say
# so), positive.log, peer.log, planned.txt (the tests the run was to run).
# One run at a time per network namespace: the peer's port is fixed.
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
PEER_REPORT_WAIT=30
PASS=()
RUNNER_OPTIONS="--build-dir DIR, --no-build, --time-limit SECS, --port N, --positive PATH, --catalogue FILE, --results DIR, --verbose, --peer-command CMD, --peer-running, --peer-report-wait SECS, --help, --"

# die: the arguments are refused (status 2); broke: the run cannot go on (status 3).
die() { echo "run_suite: $*" >&2; exit 2; }
broke() { echo "run_suite: $*" >&2; exit 3; }

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
    --peer-report-wait) [ $# -ge 2 ] || die "--peer-report-wait needs a value"; PEER_REPORT_WAIT="$2"; shift 2 ;;
    --peer-report-wait=*) PEER_REPORT_WAIT="${1#*=}"; shift ;;
    -h|--help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
    --) shift; PASS+=("$@"); break ;;
    --gtest_*|-gtest_*) PASS+=("$1"); shift ;;
    --*) die "unknown option $1 (runner options: $RUNNER_OPTIONS; googletest's flags begin with --gtest_)" ;;
    *) PASS+=("$1"); shift ;;
  esac
done

case "$TIME_LIMIT" in ''|*[!0-9]*) die "--time-limit must be a number of seconds" ;; esac
case "$PORT" in ''|*[!0-9]*) die "--port must be a number" ;; esac
case "$PEER_REPORT_WAIT" in ''|*[!0-9]*) die "--peer-report-wait must be a number of seconds" ;; esac
# dds_positive_tests always connects to 12345; another port only serves a
# positive side that reads DDS_PEER_PORT (the project's own tests).
[ "$PORT" = 12345 ] || [ -n "$POSITIVE" ] || die "--port other than 12345 needs --positive (dds_positive_tests always connects to 12345)"
[ "$TIME_LIMIT" -gt 0 ] || die "--time-limit must be positive"
[ -z "$PEER_COMMAND" ] || [ "$PEER_RUNNING" = 0 ] || die "--peer-command and --peer-running exclude each other"
[ "$PEER_RUNNING" = 0 ] || [ "$PORT" != 0 ] || die "--peer-running needs the port the peer listens on (not --port 0)"
command -v setsid >/dev/null || broke "setsid (util-linux) is needed"

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
  "$ROOT/tools/install-packages.sh" || broke "installing the Debian packages failed"
  command -v cmake >/dev/null || broke "cmake is missing"
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    echo "run_suite: configuring $BUILD"
    timeout 600 cmake -S "$ROOT" -B "$BUILD" >/dev/null || broke "cmake configuration failed"
  fi
  targets=()
  [ -n "$PEER_COMMAND" ] || [ "$PEER_RUNNING" = 1 ] || targets+=(dds_peer dds_peer_tests)
  [ -n "$POSITIVE" ] || targets+=(dds_positive_tests)
  jobs=()
  [ -n "${CMAKE_BUILD_PARALLEL_LEVEL:-}" ] || jobs=(-j "$(nproc)")
  echo "run_suite: building ${targets[*]:-nothing}"
  if [ ${#targets[@]} -gt 0 ] && ! timeout 3600 cmake --build "$BUILD" ${jobs[@]+"${jobs[@]}"} --target "${targets[@]}" >"$BUILD/run_suite_build.log" 2>&1; then
    tail -n 40 "$BUILD/run_suite_build.log" >&2
    broke "build failed (full log: $BUILD/run_suite_build.log)"
  fi
fi
# The report runs under Debian's interpreter when there is one, as the
# project's Python parts do (it needs only the standard library).
PYTHON=python3
[ -x /usr/bin/python3 ] && PYTHON=/usr/bin/python3
command -v "$PYTHON" >/dev/null || broke "python3 is needed for the report"
command -v timeout >/dev/null || broke "timeout (coreutils) is needed"

PEER="$BUILD/platform/peer/dds_peer"
PEER_TESTS="$BUILD/platform/peer/dds_peer_tests"
if [ -z "$POSITIVE" ]; then
  POSITIVE="$BUILD/src/dds_positive_tests"
  [ -x "$POSITIVE" ] || POSITIVE="$(find "$BUILD" -name dds_positive_tests -type f -perm -u+x 2>/dev/null | head -n 1)"
fi
[ -n "$POSITIVE" ] && [ -x "$POSITIVE" ] || die "no dds_positive_tests in $BUILD"
POSITIVE="$(cd "$(dirname "$POSITIVE")" && pwd)/$(basename "$POSITIVE")"

# ---- googletest's flags: only those the positive side's googletest takes ------
# googletest answers a flag it does not know (or a value it cannot read) with
# its help text, and runs nothing: the run would judge nothing, and its
# listing would be the help text. Whatever googletest this is, its own answer
# tells: the flags are tried with a listing (which contacts no peer), and if
# the help text comes back, each flag its --help does not name is unknown;
# else each flag is tried alone to find the value it refuses.
gtest_help_first_line() {
  (cd / && timeout 60 "$POSITIVE" --gtest_list_tests --help 2>&1) | sed -n '/[^[:space:]]/{p;q}'
}
gtest_answers_with_help() {  # flags...
  local out
  out="$(cd / && timeout 60 "$POSITIVE" --gtest_list_tests "$@" 2>&1)"
  grep -qF -- "$HELP_MARK" <<<"$out"
}
if [ ${#FLAGS[@]} -gt 0 ]; then
  HELP_MARK="$(gtest_help_first_line)"
  if [ -n "$HELP_MARK" ] && gtest_answers_with_help "${FLAGS[@]}"; then
    help_text="$(cd / && timeout 60 "$POSITIVE" --gtest_list_tests --help 2>&1)"
    unknown=() refused=()
    for f in "${FLAGS[@]}"; do
      name="${f%%=*}"
      case "$name" in
        --gtest_*|-gtest_*|/gtest_*) ;;
        *) continue ;;
      esac
      name="--gtest_${name#*gtest_}"
      if ! grep -qE -- "${name}([^a-z_]|\$)" <<<"$help_text" && gtest_answers_with_help "$f"; then
        unknown+=("$f")
      elif gtest_answers_with_help "$f"; then
        refused+=("$f")
      fi
    done
    [ ${#unknown[@]} -eq 0 ] || die "googletest does not know ${unknown[*]} (its flags: $(grep -oE -- '--gtest_[a-z_]+' <<<"$help_text" | sort -u | paste -sd' '))"
    [ ${#refused[@]} -eq 0 ] || die "googletest refuses ${refused[*]} (see $(basename "$POSITIVE") --gtest_list_tests --help)"
    die "googletest answers ${FLAGS[*]} with its help text and would run nothing"
  fi
fi

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
mkdir -p "$RESULTS/work" "$RESULTS/peer-reports" || broke "cannot create $RESULTS"
[ -n "$POSITIVE_XML" ] || POSITIVE_XML="$RESULTS/positive.xml"
# A report left from an earlier run must not stand in for this one.
rm -f "$POSITIVE_XML"
mkdir -p "$(dirname "$POSITIVE_XML")" || broke "cannot create the directory of $POSITIVE_XML"
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
    1) broke "--peer-running: nothing listens on 127.0.0.1:$PORT" ;;
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
    broke "the peer did not start listening within 30 s"
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
  cd "$RESULTS/work" || exit 3
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
  # Until the report is complete (its root closed), within the wait.
  for _ in $(seq 1 $((PEER_REPORT_WAIT * 10))); do
    [ -s "$RESULTS/peer.xml" ] && tail -c 64 "$RESULTS/peer.xml" | grep -q '</testsuites>' && break
    sleep 0.1
  done
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
  --positive-binary "$POSITIVE" --build-dir "$BUILD" \
  ${PLANNED[@]+"${PLANNED[@]}"} ${REPORT_ARGS[@]+"${REPORT_ARGS[@]}"}
