#!/bin/bash
# Builds the MSVC-ABI host (clang in MSVC mode, lld-link, no SDK or runtime,
# mingw-w64's kernel32 import library) and runs it under wine64 against the
# x86_64 Orvalen.dll and two testcam instances on loopback: one serving only
# UDP, one only TCP.
#
#   run.sh <Orvalen.dll> <testcam> <work dir>
#
# WINEPREFIX and the other Wine variables come from the caller.
set -eu
DLL="$1"
TESTCAM="$2"
mkdir -p "$3"
WORK="$(cd "$3" && pwd)"
HERE="$(cd "$(dirname "$0")" && pwd)"
SRC="$(cd "$HERE/../../../src" && pwd)"
LLVM=/usr/lib/llvm-14/bin
WINE64=/usr/lib/wine/wine64
[ -x "$WINE64" ] || WINE64="$(command -v wine64)"
WIDTH=320
HEIGHT=240

"$LLVM/clang++" --target=x86_64-pc-windows-msvc -ffreestanding -fno-exceptions -fno-rtti -mno-stack-arg-probe \
  -std=c++17 -O1 -Wall -Wextra -Werror -I "$SRC" -c "$HERE/msvc_host.cpp" -o "$WORK/msvc_host.obj"
"$LLVM/lld-link" /nologo /nodefaultlib /entry:HostMain /subsystem:console /out:"$WORK/msvc_host.exe" \
  "$WORK/msvc_host.obj" /usr/x86_64-w64-mingw32/lib/libkernel32.a
cp "$DLL" "$WORK/Orvalen.dll"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# Starts testcam with the given transport and sets PORT to its RTSP port.
# Not in a command substitution: the subshell's pid list would be lost and
# the cameras left running.
start_camera() {
  local log="$WORK/testcam-$1.log"
  "$TESTCAM" --port 0 --codec h264 --size "${WIDTH}x${HEIGHT}" --protocols "$1" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 200); do
    url="$(sed -n 's/^ready \(rtsp:.*\)$/\1/p' "$log")"
    if [ -n "$url" ]; then
      PORT="$(echo "$url" | sed 's|rtsp://127.0.0.1:\([0-9]*\)/.*|\1|')"
      return 0
    fi
    sleep 0.1
  done
  echo "testcam did not come up:" >&2
  cat "$log" >&2
  return 1
}
start_camera udp
UDP_PORT="$PORT"
start_camera tcp
TCP_PORT="$PORT"

cd "$WORK"
timeout 300 "$WINE64" "$WORK/msvc_host.exe" "$UDP_PORT" "$TCP_PORT" "$WIDTH" "$HEIGHT"
