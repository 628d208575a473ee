#!/bin/sh
# The ingest benchmark: N live H.264 streams (1080p at 4 Mbit/s and 720p at
# 2 Mbit/s, alternating) received by Orvalen's bare RTP channel, FFmpeg and
# GStreamer in turn, on the same packets.
#   scripts/ingest.sh [--streams N] [--seconds S] [--repeat R] [--clip mix|1080|720]
#                     [--receivers orvalen,ffmpeg,gstreamer,floor,floor-epoll] [--spread F] [--base-port P]
#                     [--transport udp|tcp]   (tcp: RTSP with RTP interleaved, one server per stream)
#   scripts/ingest.sh --scale [--seconds 60] [--scale-max 400]
# Builds the release benchmark tree in build/bench first (clips are cached
# in build/bench/ingest-cache, run files go to build/bench/ingest-work).
set -e
cd "$(dirname "$0")/.."
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
B=build/bench
cmake --preset bench >/dev/null
ninja -C "$B" -j "$(nproc)" Orvalen ingest ingest-host ingest-gst ingest-floor >/dev/null
exec "$B/bench/ingest/ingest" --driver "$B/src/driver/Orvalen.so" --host "$B/bench/ingest/ingest-host" \
  --gst "$B/bench/ingest/ingest-gst" \
  --floor "$B/bench/ingest/ingest-floor" --cache "$B/ingest-cache" --work "$B/ingest-work" "$@"
