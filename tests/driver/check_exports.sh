#!/bin/sh
# Fails unless the library defines exactly its eighteen entry points: the
# twelve driver factories and deleters and the six capability query calls.
set -eu
lib="$1"
[ -f "$lib" ] || { echo "no library at $lib"; exit 1; }
defined="$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sort -u)"
allowed="CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3 CreateIPCaptureEx4
CreateIPCaptureEx5 DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3
DeleteIPCaptureEx4 DeleteIPCaptureEx5 CreateCapabilityQueryModule DeleteCapabilityQueryModule
InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery"
status=0
for name in CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3 CreateIPCaptureEx4 \
    CreateIPCaptureEx5 DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3 \
    DeleteIPCaptureEx4 DeleteIPCaptureEx5 CreateCapabilityQueryModule DeleteCapabilityQueryModule \
    InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery; do
  echo "$defined" | grep -qx "$name" || { echo "missing export: $name"; status=1; }
done
for symbol in $defined; do
  echo "$allowed" | tr ' ' '\n' | grep -qx "$symbol" || { echo "unexpected export: $symbol"; status=1; }
done
[ "$status" -eq 0 ] && echo "exports: $(echo "$defined" | wc -l) entry points, nothing else"
exit "$status"
