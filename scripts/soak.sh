#!/bin/sh
# The long soak: korvel-soak against korvel-gateway faults for MINUTES
# minutes (default 480, a night), six threads, one report line a minute.
#   scripts/soak.sh [MINUTES] [korvel-soak options, e.g. --seed 7]
# Builds the native library and the soak program in $KORVEL_BUILD_DIR/soak
# (default ./build/soak) and runs it at low priority; the report goes to the
# terminal and to soak-<date>.log in that directory. Exit status 0 when
# every frame was accounted for and every fault showed as documented.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-480}
[ $# -gt 0 ] && shift
build=${KORVEL_BUILD_DIR:-$root/build}/soak
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target korvel-soak
log="$build/soak-$(date -u +%Y%m%dT%H%M%SZ).log"
echo "korvel-soak: log in $log"
status=0
nice -n 10 "$build/bin/korvel-soak" --seconds $((minutes * 60)) --round 60 --threads 6 "$@" \
    2>&1 | tee "$log" || status=$?
tail -n 1 "$log" | grep -q PASS || status=1
exit $status
