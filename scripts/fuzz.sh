#!/bin/bash
# fuzz SECONDS [--execs N] [--coverage]
# Builds every libFuzzer target with clang, ASan and UBSan and runs each on a
# copy of its seed corpus for at most SECONDS. With --execs a target stops
# as soon as it has run N inputs, and one that ends below its floor (N, or
# the "fuzz floor: M executions" a target states in its source) is listed.
# --coverage then replays each final corpus through a coverage build and
# gives the line coverage of the files the target exists to exercise (the
# sources of the headers it includes, taken from src/ and kovadel/).
# FUZZ_TARGETS="a b" runs only those targets, in that order (for example to
# give a long run to the targets whose sources changed). One row per target;
# the last line reads
#   fuzz: targets=N execs_min=M crashes=C below_floor=B
set -e
SECONDS_PER_TARGET="${1:-20}"
[ $# -gt 0 ] && shift
EXECS=""
COVERAGE=0
while [ $# -gt 0 ]; do
  case "$1" in
    --execs) EXECS="$2"; shift 2 ;;
    --coverage) COVERAGE=1; shift ;;
    *) echo "fuzz: unknown argument $1" >&2; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
BUILD="$ROOT/build/fuzz"
targets="${FUZZ_TARGETS:-$(cd fuzz && ls *.cpp 2>/dev/null | sed 's/\.cpp$//')}"
build_list=""
for t in $targets; do
  [ -f "fuzz/$t.cpp" ] || { echo "fuzz: no target $t" >&2; exit 2; }
  build_list="$build_list fuzz_$t"
done
[ "${ORVALEN_SKIP_DEPS:-0}" = "1" ] || ./scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
cmake --preset fuzz >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target $build_list >/dev/null

WORK="$BUILD/run"
rm -rf "$WORK"
mkdir -p "$WORK"
JOBS="${FUZZ_JOBS:-$(nproc)}"

floor_of() {
  stated=$(sed -n 's/.*fuzz floor: *\([0-9][0-9]*\) executions.*/\1/p' "fuzz/$1.cpp" | head -n 1)
  if [ -n "$stated" ] && [ -n "$EXECS" ] && [ "$stated" -lt "$EXECS" ]; then echo "$stated"; else echo "$EXECS"; fi
}

run_target() {
  t="$1"
  corpus="$WORK/$t/corpus"
  mkdir -p "$corpus" "$WORK/$t/artifacts"
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$corpus/" 2>/dev/null || true; fi
  runs=""
  [ -n "$EXECS" ] && runs="-runs=$(floor_of "$t")"
  rc=0
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_PER_TARGET" $runs -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$WORK/$t/artifacts/" "$corpus" >"$WORK/$t/log" 2>&1 || rc=$?
  echo "$rc" >"$WORK/$t/rc"
}

# JOBS targets at a time, each single-threaded; the next starts as soon as
# one ends, so a long target does not hold the others back.
running=0
for t in $targets; do
  # A target's finding is read from its folder below, not from its status.
  if [ "$running" -ge "$JOBS" ]; then wait -n || true; running=$((running - 1)); fi
  run_target "$t" &
  running=$((running + 1))
done
wait

# The product sources a target exercises: those of its own includes.
sources_of() {
  for h in $(sed -n 's/^#include "\([a-z0-9_]*\/[a-z0-9_]*\)\.h".*/\1/p' "fuzz/$1.cpp"); do
    case "$h" in platform/* | threading/*) continue ;; esac
    for base in src kovadel; do
      for f in "$base/$h.cpp" "$base/${h#*/}.cpp"; do [ -f "$f" ] && echo "$ROOT/$f"; done
    done
    [ "${h%%/*}" = kovadel ] && ls "$ROOT"/kovadel/*.cpp
  done | sort -u
}

if [ "$COVERAGE" = "1" ]; then
  COV="$ROOT/build/fuzz-coverage"
  cmake --preset fuzz-coverage >/dev/null
  cmake --build "$COV" -j "$(nproc)" --target $build_list >/dev/null
  for t in $targets; do
    LLVM_PROFILE_FILE="$WORK/$t/cov.profraw" "$COV/fuzz/fuzz_$t" -runs=0 "$WORK/$t/corpus" >/dev/null 2>&1 || true
    srcs=$(sources_of "$t")
    cov="-"
    if [ -f "$WORK/$t/cov.profraw" ] && [ -n "$srcs" ]; then
      llvm-profdata-14 merge -sparse "$WORK/$t/cov.profraw" -o "$WORK/$t/cov.profdata"
      # The TOTAL row's line columns: lines, missed, cover.
      cov=$(llvm-cov-14 report "$COV/fuzz/fuzz_$t" -instr-profile="$WORK/$t/cov.profdata" $srcs 2>/dev/null |
        awk '/^TOTAL/ { print $(NF-3) }')
      [ -n "$cov" ] || cov="-"
    fi
    echo "$cov" >"$WORK/$t/coverage"
  done
fi

n=0; crashes=0; execs_min=""; below=0
printf '%-22s %12s %10s %8s %8s %9s\n' target execs floor crashes corpus lines
for t in $targets; do
  n=$((n + 1))
  log="$WORK/$t/log"
  rc=$(cat "$WORK/$t/rc" 2>/dev/null || echo 1)
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  [ -n "$execs" ] || execs=0
  floor=$(floor_of "$t")
  found=$(ls "$WORK/$t/artifacts" 2>/dev/null | wc -l)
  if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
  size=$(ls "$WORK/$t/corpus" | wc -l)
  cov=$(cat "$WORK/$t/coverage" 2>/dev/null || echo -)
  printf '%-22s %12s %10s %8s %8s %9s\n' "$t" "$execs" "${floor:--}" "$found" "$size" "$cov"
  if [ "$found" -ne 0 ]; then
    crashes=$((crashes + found))
    echo "  $t: see $log and $WORK/$t/artifacts/"
    tail -30 "$log" | sed 's/^/  | /'
  fi
  if [ -n "$floor" ] && [ "$execs" -lt "$floor" ]; then
    below=$((below + 1))
    echo "  $t: $execs executions, below its floor of $floor in $SECONDS_PER_TARGET s"
  fi
  if [ -z "$execs_min" ] || [ "$execs" -lt "$execs_min" ]; then execs_min=$execs; fi
done
[ -n "$execs_min" ] || execs_min=0
echo "fuzz: targets=$n execs_min=$execs_min crashes=$crashes below_floor=$below"
[ "$crashes" -eq 0 ] && [ "$below" -eq 0 ]
