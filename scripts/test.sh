#!/bin/sh
# The whole test suite: dependencies, release build, every test.
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
JOBS="$(nproc)"

echo "== release build"
cmake --preset release -G Ninja >/dev/null
cmake --build --preset release -j "$JOBS"
echo "== release tests"
ctest --preset release -j "$JOBS" --timeout 600
