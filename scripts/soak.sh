#!/bin/sh
# soak MINUTES: many channels through the driver's exports in one host
# process (orvalen-soak), against local test cameras behind fault proxies
# and lossy relays, under a seeded schedule of faults for MINUTES (default
# 60): camera restarts, connection resets and stalls, 5 % packet loss, host
# stalls in OnFrame, channels closed and reopened, Digest nonce rotations and
# steps of the wall clock. Prints the run's last line, writes its table into
# docs/RELIABILITY.md (its own section; the rest of the file stays) and exits
# non-zero on a crash, a sanitizer report, an undecodable frame, a frame
# stamped off the stepped wall clock, a fault never recovered from, or growth
# after warm-up beyond the bounds below (RSS in the release run only: under
# ASan it holds the quarantine).
#
# Run as root where `ip netns` works, the host runs in a network namespace
# of its own (lo up with multicast, a route for 224.0.0.0/4 on lo, its own
# hosts file), removed at the end whatever happens. There the cameras are
# reached by name and the change-address fault moves them to other loopback
# addresses, and one channel in eight receives a multicast group from a
# sender (restart-sender). Elsewhere those are left out, said in one line.
#
#   ORVALEN_SOAK_CAMERAS=64          channels (one device each)
#   ORVALEN_SOAK_SEED=1              seed of the fault schedule
#   ORVALEN_SOAK_ASAN=1              first the same schedule under
#                                    AddressSanitizer+UndefinedBehaviorSanitizer
#                                    (asan-tools preset); ORVALEN_SOAK_ASAN_MINUTES
#                                    and ORVALEN_SOAK_ASAN_CAMERAS make it smaller
#   ORVALEN_SOAK_MAX_RSS_MIB=16      bounds of growth from warm-up to the end
#   ORVALEN_SOAK_MAX_FDS=8
#   ORVALEN_SOAK_MAX_THREADS=8
#   ORVALEN_SOAK_REQUIRE_RECOVERY=0  a fault not recovered from is reported only
#   ORVALEN_SOAK_REPORT=             leaves docs/RELIABILITY.md as it is
set -u
MINUTES="${1:-60}"
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
CAMERAS="${ORVALEN_SOAK_CAMERAS:-64}"
SEED="${ORVALEN_SOAK_SEED:-1}"
RUN_ASAN="${ORVALEN_SOAK_ASAN:-0}"
ASAN_MINUTES="${ORVALEN_SOAK_ASAN_MINUTES:-$MINUTES}"
ASAN_CAMERAS="${ORVALEN_SOAK_ASAN_CAMERAS:-$CAMERAS}"
MAX_RSS="${ORVALEN_SOAK_MAX_RSS_MIB:-16}"
MAX_FDS="${ORVALEN_SOAK_MAX_FDS:-8}"
MAX_THREADS="${ORVALEN_SOAK_MAX_THREADS:-8}"
REQUIRE_RECOVERY="${ORVALEN_SOAK_REQUIRE_RECOVERY:-1}"
REPORT="${ORVALEN_SOAK_REPORT-$ROOT/docs/RELIABILITY.md}"
WORK="$ROOT/build/soak"
[ "${ORVALEN_SKIP_DEPS:-0}" = "1" ] || ./scripts/deps.sh || exit 1
export ORVALEN_SKIP_DEPS=1
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"
export CCACHE_BASEDIR="$ROOT"
export CCACHE_NOHASHDIR=true
JOBS="$(nproc)"
mkdir -p "$WORK"

# field NAME LINE: the value of NAME= in the last line.
field() {
  echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# The network namespace, when this shell may make one.
NETNS=""
drop_netns() {
  [ -n "$NETNS" ] || return 0
  # Whatever still runs inside (an interrupted run) ends with it.
  for pid in $(ip netns pids "$NETNS" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
  ip netns delete "$NETNS" 2>/dev/null
  rm -rf "/etc/netns/$NETNS"
  NETNS=""
}
if [ "$(id -u)" = "0" ] && ip netns list >/dev/null 2>&1; then
  name="orvalen-soak-$$"
  if ip netns add "$name" 2>/dev/null; then
    NETNS="$name"
    trap drop_netns EXIT
    trap 'exit 130' INT TERM HUP
    # "ip netns exec" mounts this file over /etc/hosts inside.
    mkdir -p "/etc/netns/$name" && printf '127.0.0.1       localhost\n' >"/etc/netns/$name/hosts" &&
      ip netns exec "$name" ip link set lo up multicast on &&
      ip netns exec "$name" ip route add 224.0.0.0/4 dev lo ||
      { echo "soak: the network namespace could not be set up; running without it"; drop_netns; }
  fi
fi
[ -n "$NETNS" ] || echo "soak: no network namespace (needs root and ip netns): change-address and multicast left out"

# run NAME BINARY CAMERAS MINUTES [arguments...]: one soak; sets LINE and
# FAILED.
run() {
  name="$1"; binary="$2"; cameras="$3"; minutes="$4"; shift 4
  rm -rf "$WORK/$name"
  echo "== soak $name: $cameras channels, $minutes minutes, seed $SEED${NETNS:+, in network namespace $NETNS}"
  if [ -n "$NETNS" ]; then
    set -- --netns-hosts /etc/hosts "$@"
    set -- ip netns exec "$NETNS" "$binary" "$@"
  else
    set -- "$binary" "$@"
  fi
  "$@" --cameras "$cameras" --minutes "$minutes" --seed "$SEED" --work "$WORK/$name" \
    >"$WORK/$name.txt" 2>"$WORK/$name.err"
  status=$?
  LINE="$(grep '^soak: cameras=' "$WORK/$name.txt" | tail -n 1)"
  FAILED=""
  if [ -z "$LINE" ] || [ "$status" -ne 0 ]; then
    # Ended by a signal (a crash) or before its figures.
    crashes=0
    [ "$status" -lt 128 ] || crashes=1
    LINE="soak: cameras=$cameras minutes=$minutes faults=- recovered=- lost_beyond_outage_s=- undecodable=- rss_growth_mib=- fd_growth=- thread_growth=- crashes=$crashes"
    FAILED="$FAILED the host ended with status $status (see $WORK/$name.err);"
    tail -n 20 "$WORK/$name.err"
    return
  fi
  reports="$(grep -cE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$WORK/$name.err")"
  [ "$reports" -eq 0 ] || FAILED="$FAILED $reports sanitizer reports in $WORK/$name.err;"
  [ "$(field undecodable "$LINE")" = "0" ] || FAILED="$FAILED undecodable frames;"
  offclock="$(sed -n 's/^soak: stamps off_clock=\([0-9]*\).*/\1/p' "$WORK/$name.txt" | tail -n 1)"
  [ "${offclock:-0}" = "0" ] || FAILED="$FAILED $offclock frames stamped off the stepped wall clock;"
  if [ "$REQUIRE_RECOVERY" = "1" ] && [ "$(field faults "$LINE")" != "$(field recovered "$LINE")" ]; then
    FAILED="$FAILED faults not recovered from;"
  fi
  # Under ASan the RSS holds the quarantine of freed memory and grows by
  # design; LeakSanitizer and the heap figures of the release run judge it.
  [ "$name" = "asan" ] || ! awk -v g="$(field rss_growth_mib "$LINE")" -v m="$MAX_RSS" 'BEGIN { exit !(g > m) }' ||
    FAILED="$FAILED RSS grew beyond $MAX_RSS MiB;"
  [ "$(field fd_growth "$LINE")" -le "$MAX_FDS" ] || FAILED="$FAILED descriptors grew beyond $MAX_FDS;"
  [ "$(field thread_growth "$LINE")" -le "$MAX_THREADS" ] || FAILED="$FAILED threads grew beyond $MAX_THREADS;"
}

NOTE=""
ASAN_FAILED=""
if [ "$RUN_ASAN" = "1" ]; then
  echo "== asan-tools build"
  cmake --preset asan-tools -G Ninja >/dev/null &&
    cmake --build --preset asan-tools -j "$JOBS" --target orvalen-soak || exit 1
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1" \
    run asan build/reliability-asan/src/driver/orvalen-soak "$ASAN_CAMERAS" "$ASAN_MINUTES"
  echo "$LINE"
  ASAN_FAILED="$FAILED"
  NOTE="The same seed under AddressSanitizer+UndefinedBehaviorSanitizer ($ASAN_CAMERAS channels, $ASAN_MINUTES minutes): \`$LINE\`, ${ASAN_FAILED:- no sanitizer report, passed}."
fi

echo "== release build"
cmake --preset release -G Ninja >/dev/null &&
  cmake --build --preset release -j "$JOBS" --target orvalen-soak || exit 1
set -- --note "Written by \`scripts/soak.sh $MINUTES\` on $(date -u '+%Y-%m-%d %H:%M UTC') at commit \`$(git rev-parse --short HEAD 2>/dev/null)\`, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg). $NOTE"
[ -n "$REPORT" ] && set -- "$@" --report "$REPORT"
run release build/release/src/driver/orvalen-soak "$CAMERAS" "$MINUTES" "$@"
grep -E '^soak: (after warm-up|minute|at the end|before opening|leaked)' "$WORK/release.txt"
if [ -n "$ASAN_FAILED$FAILED" ]; then
  echo "soak: FAILED:$ASAN_FAILED$FAILED"
  echo "$LINE"
  exit 1
fi
echo "$LINE"
