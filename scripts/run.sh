#!/bin/sh
# The main job: build everything, start the test camera (H.264, 640x480,
# 25 fps), record 10 s from it with orvalen-capture into ./capture, stop the
# camera, then print the summary and ffprobe's view of capture/stream.h264.
# Extra arguments go to orvalen-capture (for example --transport tcp).
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
cmake --preset release -G Ninja >/dev/null
cmake --build --preset release -j "$(nproc)"

TESTCAM=build/release/bin/testcam
CAPTURE=$(find build/release -name orvalen-capture -type f | head -n 1)
if [ ! -x "$TESTCAM" ] || [ -z "$CAPTURE" ]; then
  echo "run: testcam or orvalen-capture was not built" >&2
  exit 1
fi

LOG=$(mktemp -d)
"$TESTCAM" --port 0 --codec h264 --size 640x480 --fps 25 >"$LOG/testcam.out" 2>"$LOG/testcam.err" &
CAMERA=$!
stop_camera() {
  if kill -0 "$CAMERA" 2>/dev/null; then
    kill -INT "$CAMERA" 2>/dev/null || true
    wait "$CAMERA" 2>/dev/null || true
  fi
  rm -rf "$LOG"
}
trap stop_camera EXIT INT TERM

URL=""
i=0
while [ $i -lt 300 ]; do
  URL=$(sed -n 's/^ready //p' "$LOG/testcam.out")
  [ -n "$URL" ] && break
  kill -0 "$CAMERA" 2>/dev/null || break
  sleep 0.2
  i=$((i + 1))
done
if [ -z "$URL" ]; then
  echo "run: the test camera did not start:" >&2
  cat "$LOG/testcam.err" >&2
  exit 1
fi
echo "== test camera at $URL"

rm -rf capture
status=0
"$CAPTURE" --out capture --duration 10 "$@" "$URL" || status=$?
stop_camera
trap - EXIT INT TERM

echo "== capture/summary.json"
cat capture/summary.json
if [ -f capture/stream.h264 ]; then
  echo "== ffprobe capture/stream.h264"
  ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,profile,width,height,nb_read_frames -of default=noprint_wrappers=1 \
    capture/stream.h264
fi
exit $status
