#!/bin/sh
# Installs every Debian 12 package the build, the tests and the tools need.
# One line per step; apt's and dpkg's own output goes to a log that is named
# (and its end shown) only when a step fails.
set -e
PKGS="build-essential cmake ninja-build ccache pkg-config git python3 iproute2 procps psmisc \
  libgtest-dev libgmock-dev googletest libbenchmark-dev libpugixml-dev \
  clang-14 libclang-rt-14-dev \
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
  gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad gstreamer1.0-libav \
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstrtspserver-1.0-dev \
  vlc-bin vlc-plugin-base util-linux"
if [ "${ORVALEN_WITH_WINDOWS:-1}" = "1" ]; then
  PKGS="$PKGS g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 \
    lld-14 llvm-14"
fi
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -z "$missing" ]; then
  echo "deps: every package present"
  exit 0
fi

LOG="${ORVALEN_DEPS_LOG:-${TMPDIR:-/tmp}/orvalen-deps.log}"
: >"$LOG"
export DEBIAN_FRONTEND=noninteractive
step() {
  what="$1"
  shift
  start=$(date +%s)
  if "$@" >>"$LOG" 2>&1; then
    echo "deps: $what ($(($(date +%s) - start)) s)"
  else
    echo "deps: $what failed after $(($(date +%s) - start)) s; apt's output is in $LOG, ending:" >&2
    tail -n 20 "$LOG" >&2
    exit 1
  fi
}
step "package lists updated" apt-get update
step "installed$missing" apt-get install -y --no-install-recommends $missing
