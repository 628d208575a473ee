#!/bin/sh
# Builds the benchmarks (release, build/bench) and runs each one once,
# briefly: a check that they build and run, not a measurement.
set -e
cd "$(dirname "$0")/.."
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
B=build/bench
cmake --preset bench >/dev/null
ninja -C "$B" -j "$(nproc)" Orvalen bench_depacketize bench_parse bench_udp_receive ingest ingest-host ingest-gst \
  ingest_tests
"$B/bench/ingest/ingest_tests" --gtest_brief=1
for name in depacketize parse; do
  echo "== bench_$name"
  "$B/bench/bench_$name" --benchmark_min_time=0.01
done
echo "== bench_udp_receive"
"$B/bench/bench_udp_receive" --benchmark_min_time=0.01 --benchmark_filter='BM_BareRecvfrom|BM_ClientQueueUser'
echo "== ingest, 1 stream, 5 s"
exec "$B/bench/ingest/ingest" --driver "$B/src/driver/Orvalen.so" --host "$B/bench/ingest/ingest-host" \
  --gst "$B/bench/ingest/ingest-gst" --cache "$B/ingest-cache" --work "$B/ingest-work" --streams 1 --seconds 5
