#!/bin/sh
# reliability [SECONDS]: runs every fuzz target for SECONDS (default 120),
# then the fault tests (ctest label faults) in the release build and again
# under AddressSanitizer+UndefinedBehaviorSanitizer, and writes what they
# measured to docs/RELIABILITY.md. Exits non-zero when any of them failed;
# the report is written either way.
#
#   ORVALEN_RELIABILITY_BUILD       release build folder (default build/release)
#   ORVALEN_RELIABILITY_ASAN_BUILD  sanitizer build folder, with the tools the
#                                  fault tests drive (default build/reliability-asan)
#   ORVALEN_RELIABILITY_ASAN=0      leaves the sanitizer run out
#   ORVALEN_FUZZ_ARGS               more arguments for fuzz.sh, for example
#                                  "--execs 10000000 --coverage"
#   FUZZ_TARGETS                    the fuzz targets to run (default: all)
#   ORVALEN_RELIABILITY_FUZZ_ONLY=1 fuzzing only: its row and its section of the
#                                  report are replaced, the rest stays
#   ORVALEN_RELIABILITY_FUZZ_LOG    a finished fuzz.sh output to report
#                                  instead of running it again
set -u
SECONDS_PER_TARGET="${1:-120}"
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
RELEASE="${ORVALEN_RELIABILITY_BUILD:-build/release}"
ASAN="${ORVALEN_RELIABILITY_ASAN_BUILD:-build/reliability-asan}"
RUN_ASAN="${ORVALEN_RELIABILITY_ASAN:-1}"
WORK="$ROOT/build/reliability"
REPORT="$ROOT/docs/RELIABILITY.md"
# scripts/soak.sh owns the last section of the report; it survives this run.
SOAK_SECTION="$(sed -n '/^## Soak and chaos$/,$p' "$REPORT" 2>/dev/null)"
mkdir -p "$WORK" "$ROOT/docs"
[ "${ORVALEN_SKIP_DEPS:-0}" = "1" ] || ./scripts/deps.sh || exit 1
export ORVALEN_SKIP_DEPS=1
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
JOBS="$(nproc)"
STARTED="$(date -u '+%Y-%m-%d %H:%M UTC')"
LOAD_START="$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null)"

if [ -n "${ORVALEN_RELIABILITY_FUZZ_LOG:-}" ]; then
  echo "== fuzz: the finished run in $ORVALEN_RELIABILITY_FUZZ_LOG"
  cp "$ORVALEN_RELIABILITY_FUZZ_LOG" "$WORK/fuzz.txt" || exit 1
  tail -n 1 "$WORK/fuzz.txt" | grep -q '^fuzz: .* crashes=0 below_floor=0$'
  FUZZ_STATUS=$?
else
  echo "== fuzz $SECONDS_PER_TARGET s per target"
  # shellcheck disable=SC2086 # the extra arguments are split on purpose
  ./scripts/fuzz.sh "$SECONDS_PER_TARGET" ${ORVALEN_FUZZ_ARGS:-} >"$WORK/fuzz.txt" 2>&1
  FUZZ_STATUS=$?
fi
tail -n 1 "$WORK/fuzz.txt"

verdict() {
  if [ "$1" -eq 0 ]; then echo "passed"; else echo "FAILED"; fi
}
fuzz_row() {
  echo "| fuzz, $SECONDS_PER_TARGET s per target${ORVALEN_FUZZ_ARGS:+ ($ORVALEN_FUZZ_ARGS)} | $(verdict $FUZZ_STATUS): \`$(tail -n 1 "$WORK/fuzz.txt")\` |"
}
fuzz_section() {
  echo "## Fuzzing"
  echo
  echo "Each libFuzzer target ran for at most $SECONDS_PER_TARGET s${ORVALEN_FUZZ_ARGS:+ ($ORVALEN_FUZZ_ARGS)} on its seed corpus,"
  if [ -n "${ORVALEN_RELIABILITY_FUZZ_LOG:-}" ]; then
    echo "built with clang, ASan and UBSan; a finished run, reported at commit"
  else
    echo "built with clang, ASan and UBSan, at commit"
  fi
  echo "\`$(git rev-parse --short HEAD 2>/dev/null || echo unknown)\` ($STARTED). Columns: executions, the floor asked for (if any), crashes (artifacts),"
  echo "corpus files at the end, line coverage of its sources (with --coverage)."
  echo
  echo "| target | execs | floor | crashes | corpus | lines |"
  echo "|---|---:|---:|---:|---:|---:|"
  awk '/^target /{table=1; next} /^fuzz: /{table=0} table && NF==6 {printf "| %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, $6}' \
    "$WORK/fuzz.txt"
  if [ -n "${FUZZ_TARGETS:-}" ]; then
    echo
    echo "Only these targets ran: $FUZZ_TARGETS."
  fi
}

if [ "${ORVALEN_RELIABILITY_FUZZ_ONLY:-0}" = "1" ]; then
  # Everything up to the row, the new row, up to the section, the new
  # section, and from the fault tests on as they were.
  fuzz_row >"$WORK/fuzz-row.md"
  fuzz_section >"$WORK/fuzz-section.md"
  awk -v row="$WORK/fuzz-row.md" -v section="$WORK/fuzz-section.md" '
    /^\| fuzz, / { while ((getline line < row) > 0) print line; next }
    /^## Fuzzing$/ { while ((getline line < section) > 0) print line; print ""; skip = 1; next }
    /^## / { skip = 0 }
    !skip { print }' "$REPORT" >"$WORK/report.md" && cp "$WORK/report.md" "$REPORT"
  echo "== wrote the fuzzing part of $REPORT"
  exit $FUZZ_STATUS
fi

# faults BUILD_DIR NAME [configure arguments...]: builds the fault suite and
# what it drives, runs the label, keeps the verbose output in NAME.txt.
faults() {
  dir="$1"; name="$2"; shift 2
  echo "== faults ($name, $dir)"
  cmake -S . -B "$dir" -G Ninja "$@" >"$WORK/$name-configure.txt" 2>&1 &&
    cmake --build "$dir" -j "$JOBS" --target orvalen_tests_faults >"$WORK/$name-build.txt" 2>&1
  if [ $? -ne 0 ]; then
    tail -n 30 "$WORK/$name-build.txt" "$WORK/$name-configure.txt" 2>/dev/null
    echo "build failed" >"$WORK/$name.txt"
    return 1
  fi
  ctest --test-dir "$dir" -L faults -j "$JOBS" -V --timeout 600 >"$WORK/$name.txt" 2>&1
  status=$?
  grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|tests failed' "$WORK/$name.txt" | tail -n 3
  return $status
}

faults "$RELEASE" release -DCMAKE_BUILD_TYPE=Release
RELEASE_STATUS=$?

ASAN_STATUS=0
if [ "$RUN_ASAN" != "0" ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # The asan-tools preset's settings, in the folder chosen here.
  faults "$ASAN" asan --preset asan-tools
  ASAN_STATUS=$?
  unset ASAN_OPTIONS UBSAN_OPTIONS
fi

LOAD_END="$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null)"

# ---- the report ----

# FIGURE lines of a ctest -V log, as "name value unit".
figures() {
  [ -f "$1" ] || return 0
  sed -n 's/^[0-9]*: FIGURE //p' "$1"
}
# "name|Passed" per test of a ctest -V log.
results() {
  [ -f "$1" ] || return 0
  sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*[ *]\(Passed\|Failed\|Timeout\|Exception\|Not Run\)[ 0-9.]* sec$/\1|\2/p' "$1"
}
sanitizer_reports() {
  [ -f "$1" ] || { echo 0; return; }
  grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$1"
}

{
  echo "# Reliability"
  echo
  echo "Written by \`scripts/reliability.sh $SECONDS_PER_TARGET\` on $STARTED, at commit"
  echo "\`$(git rev-parse --short HEAD 2>/dev/null || echo unknown)\`, on a machine with $(nproc) cores ($(uname -sr))."
  echo "Load average (1, 5, 15 min): $LOAD_START at the start, $LOAD_END at the end."
  echo "Do not edit by hand: run the script again."
  echo
  echo "| run | result |"
  echo "|---|---|"
  fuzz_row
  echo "| fault tests, release | $(verdict $RELEASE_STATUS) |"
  if [ "$RUN_ASAN" != "0" ]; then
    echo "| fault tests, ASan+UBSan | $(verdict $ASAN_STATUS), sanitizer reports: $(sanitizer_reports "$WORK/asan.txt") |"
  fi
  echo
  fuzz_section
  echo
  echo "## Fault tests"
  echo
  echo "Each test drives \`Orvalen.so\` through its exports from an in-process host, against"
  echo "testcam, a TCP proxy that can reset, a lossy UDP relay, or a misbehaving RTSP server."
  echo
  echo "| test | release | ASan+UBSan |"
  echo "|---|---|---|"
  results "$WORK/release.txt" >"$WORK/release.results"
  results "$WORK/asan.txt" >"$WORK/asan.results"
  awk -F'|' 'NR==FNR {asan[$1]=$2; next} {a = ($1 in asan) ? asan[$1] : "not run"; printf "| %s | %s | %s |\n", $1, $2, a}' \
    "$WORK/asan.results" "$WORK/release.results"
  echo
  echo "## Figures"
  echo
  echo "Every figure a fault test printed, release build first. The ASan column shows the"
  echo "same figure under the sanitizers, where memory and time figures are inflated and"
  echo "some are not taken."
  echo
  echo "| figure | release | ASan+UBSan | unit |"
  echo "|---|---:|---:|---|"
  figures "$WORK/release.txt" >"$WORK/release.figures"
  figures "$WORK/asan.txt" >"$WORK/asan.figures"
  awk 'NR==FNR {asan[$1]=$2; next} {a = ($1 in asan) ? asan[$1] : "-"; printf "| %s | %s | %s | %s |\n", $1, $2, a, $3}' \
    "$WORK/asan.figures" "$WORK/release.figures" | sort
  echo
  echo "What the figures mean:"
  echo
  echo "- \`restart_udp_*\`, \`restart_tcp_*\`: testcam (1 s key-frame interval) killed (SIGKILL)"
  echo "  after about 2 s of frames and started again at once on the same port, 20 times in one"
  echo "  capture, with RTP over UDP and interleaved in the RTSP connection. Recovery runs from"
  echo "  the moment the new camera serves to the first frame the host accepts; outage from the"
  echo "  kill. The channel starts again as soon as the RTSP session ends with its connection,"
  echo "  then once a second until the camera answers, and the first frame waits for the next"
  echo "  key frame."
  echo "- \`tcp_reset_*\`: the RTSP connection reset (SO_LINGER 0) during PLAY; time to frames again."
  echo "- \`server_*\`: misbehaving RTSP servers; the time to the driver's second connection and the"
  echo "  time CloseChannel took in the middle of the misbehaviour."
  echo "- \`loss_*\`: 5 % loss and 5 % reordering between camera and driver; every delivered frame"
  echo "  decodes with \`ffmpeg -v error\` (JPEG frames one by one as well)."
  echo "- \`foreign_flood_*\`: RTP and RTCP datagrams from 127.0.0.2 at the given rate; the driver's"
  echo "  CPU is the process's minus the senders' threads."
  echo "- \`device_flood_*\`: 10x the stream's packet rate from the camera's address, 8000-byte"
  echo "  datagrams, while OnFrame is blocked; peak RSS growth against the bound (receive queue"
  echo "  16 MiB + 4096 packets, one frame buffer, allocator slack)."
  echo "- \`close_*\`: CloseChannel while OnFrame throws, or while it is blocked for 30 s."
  echo "- \`cycles_*\`: 1000 OpenChannel/CloseChannel cycles against a refusing port; growth of file"
  echo "  descriptors, threads and heap (mallinfo2; under ASan LeakSanitizer checks at exit)."
  echo "- \`secrets_*\`: log lines, console output and summaries scanned for the password, the"
  echo "  Basic credentials and any Authorization header."
  if [ -n "$SOAK_SECTION" ]; then
    echo
    echo "$SOAK_SECTION"
  fi
} >"$REPORT"
echo "== wrote $REPORT"

[ $FUZZ_STATUS -eq 0 ] && [ $RELEASE_STATUS -eq 0 ] && [ $ASAN_STATUS -eq 0 ]
