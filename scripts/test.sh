#!/bin/sh
# The whole test suite, as CI runs it on a fresh Debian 12 machine (as root):
# packages, then the release build with every test (unit, integration,
# end-to-end, faults), a 2-minute soak with 24 channels, the unit and
# integration suites again under AddressSanitizer+UndefinedBehaviorSanitizer
# and ThreadSanitizer, the Windows build (i686 DLL checks, x86_64 suites
# under Wine), every fuzz target for 10 s, and each benchmark once, briefly.
#
# Stages can be left out for a quick local run, e.g.
#   ORVALEN_STAGES="release" ./scripts/test.sh
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
# Hits across clones in other folders: paths are made relative to the tree.
export CCACHE_BASEDIR="$(pwd)"
export CCACHE_NOHASHDIR=true
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"
export ORVALEN_SKIP_DEPS=1
JOBS="$(nproc)"
STAGES="${ORVALEN_STAGES:-release soak asan tsan windows fuzz bench}"
START=$(date +%s)

stage() {
  echo "== $1 ($(($(date +%s) - START)) s)"
}

has() {
  case " $STAGES " in *" $1 "*) return 0 ;; esac
  return 1
}

if has release; then
  stage "release build"
  cmake --preset release -G Ninja >/dev/null
  cmake --build --preset release -j "$JOBS"
  stage "release tests"
  ctest --preset release -j "$JOBS" --timeout 600
fi

if has soak; then
  # Two minutes of the soak, 24 channels on this 2-core machine: fails on a
  # crash, an undecodable frame or growth, never on how fast channels came back.
  stage "soak, 2 minutes"
  ORVALEN_SOAK_CAMERAS=24 ORVALEN_SOAK_REQUIRE_RECOVERY=0 ORVALEN_SOAK_REPORT= ./scripts/soak.sh 2
fi

if has asan; then
  stage "asan build"
  cmake --preset asan -G Ninja >/dev/null
  cmake --build --preset asan -j "$JOBS"
  stage "asan tests"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan -j "$JOBS" --timeout 600 -L 'unit|integration'
fi

if has tsan; then
  stage "tsan build"
  cmake --preset tsan -G Ninja >/dev/null
  cmake --build --preset tsan -j "$JOBS"
  stage "tsan tests"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --preset tsan -j "$JOBS" --timeout 600 -L 'unit|integration'
fi

if has windows && [ -x scripts/windows.sh ]; then
  stage "windows"
  ./scripts/windows.sh
fi

if has fuzz; then
  stage "fuzz"
  ./scripts/fuzz.sh 10
fi

if has bench; then
  # Builds the benchmarks and runs each once, briefly: not a measurement.
  stage "benchmarks, once each"
  ./scripts/bench-smoke.sh
fi

stage "all stages passed"
