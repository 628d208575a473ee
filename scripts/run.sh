#!/bin/sh
# The main job: dependencies, release build, then the smoke host against a
# device address (first argument, default rtsp://127.0.0.1:8554/stream).
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
cmake --preset release -G Ninja >/dev/null
cmake --build --preset release -j "$(nproc)"
exec ./build/release/tools/smoke/orvalen-smoke "$@"
