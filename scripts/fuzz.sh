#!/bin/sh
# fuzz SECONDS: builds every libFuzzer target with clang, ASan and UBSan, runs
# each for SECONDS on a copy of its seed corpus and prints one row per target.
# The last line reads: fuzz: targets=N execs_min=M crashes=C
set -e
SECONDS_PER_TARGET="${1:-20}"
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
BUILD="$ROOT/build/fuzz"
[ "${ORVALEN_SKIP_DEPS:-0}" = "1" ] || ./scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVALEN_BUILD_FUZZ=ON -DORVALEN_BUILD_TESTS=OFF -DORVALEN_BUILD_TOOLS=OFF \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
targets=$(cd fuzz && ls *.cpp 2>/dev/null | sed 's/\.cpp$//')
build_list=""
for t in $targets; do build_list="$build_list fuzz_$t"; done
cmake --build "$BUILD" -j "$(nproc)" --target $build_list >/dev/null

WORK="$BUILD/run"
rm -rf "$WORK"
mkdir -p "$WORK"
JOBS="${FUZZ_JOBS:-$(nproc)}"
run_target() {
  t="$1"
  corpus="$WORK/$t/corpus"
  mkdir -p "$corpus" "$WORK/$t/artifacts"
  if [ -d "fuzz/corpus/$t" ]; then cp -r "fuzz/corpus/$t/." "$corpus/" 2>/dev/null || true; fi
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$WORK/$t/artifacts/" "$corpus" >"$WORK/$t/log" 2>&1
  echo $? >"$WORK/$t/rc"
}

# Run the targets a few at a time; each one is single-threaded.
running=0
for t in $targets; do
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then wait; running=0; fi
done
wait

n=0; crashes=0; execs_min=""
printf '%-22s %12s %8s %8s\n' target execs crashes corpus
for t in $targets; do
  n=$((n + 1))
  log="$WORK/$t/log"
  rc=$(cat "$WORK/$t/rc" 2>/dev/null || echo 1)
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  [ -n "$execs" ] || execs=0
  found=$(ls "$WORK/$t/artifacts" 2>/dev/null | wc -l)
  if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
  size=$(ls "$WORK/$t/corpus" | wc -l)
  printf '%-22s %12s %8s %8s\n' "$t" "$execs" "$found" "$size"
  if [ "$found" -ne 0 ]; then
    crashes=$((crashes + found))
    echo "  $t: see $log and $WORK/$t/artifacts/"
    tail -30 "$log" | sed 's/^/  | /'
  fi
  if [ -z "$execs_min" ] || [ "$execs" -lt "$execs_min" ]; then execs_min=$execs; fi
done
[ -n "$execs_min" ] || execs_min=0
echo "fuzz: targets=$n execs_min=$execs_min crashes=$crashes"
[ "$crashes" -eq 0 ]
