#!/bin/sh
# The demo: builds the native library and tools, starts korvel-gateway on a
# free loopback port (echo to every client plus 5 generated frames a second),
# lets korvel-dump watch for a few seconds while korvel-example and
# korvel-send talk to the gateway, and ends with a short summary. Everything
# it starts is stopped on the way out, on Ctrl-C and on failure too.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEL_BUILD_DIR:-$root/build}
seconds=${KORVEL_DEMO_SECONDS:-5}

say() { printf '\n== %s\n' "$*"; }

"$root/scripts/install-deps.sh"
say "building the native library and tools in $build/native"
cmake -S "$root" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/native" --target korvel-gateway korvel-dump korvel-send korvel-example
bin=$build/native/bin

work=$(mktemp -d)
gateway_pid=
dump_pid=
stop_all() {
    for pid in $dump_pid $gateway_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $dump_pid $gateway_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# Waits up to 10 s until the file holds the text.
wait_for() { # file text
    tries=0
    until grep -q "$2" "$1" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 200 ]; then
            echo "demo: no \"$2\" from $(basename "$1" .out) after 10 s:" >&2
            cat "$1" >&2
            exit 1
        fi
        sleep 0.05
    done
}

say "korvel-gateway -p 0 -e all -g -r 5 -I 100 -D i"
"$bin/korvel-gateway" -p 0 -e all -g -r 5 -I 100 -D i >"$work/gateway.out" &
gateway_pid=$!
wait_for "$work/gateway.out" "listening on"
address=$(sed -n 's/^korvel-gateway listening on \([0-9.]*:[0-9]*\)$/\1/p' "$work/gateway.out")
echo "gateway listening on $address: it echoes every frame to all clients and"
echo "sends each client frames 100#<counter> five times a second"

say "korvel-dump -t z -d $seconds $address   (time since its first frame)"
"$bin/korvel-dump" -t z -d "$seconds" "$address" 2>"$work/dump.out" &
dump_pid=$!
wait_for "$work/dump.out" " connected"
sleep 1

say "korvel-example $address   (writes 4 messages, reads them back)"
"$bin/korvel-example" "$address"

say "korvel-send $address 7DF#0201050000000000 18DAF110#R8"
"$bin/korvel-send" "$address" 7DF#0201050000000000 18DAF110#R8

dump_status=0
wait "$dump_pid" || dump_status=$?
dump_pid=
kill -TERM "$gateway_pid"
wait "$gateway_pid" || true
gateway_pid=

say "summary"
sed -n 's/^korvel-dump: \([0-9]* frames.*\)/korvel-dump received \1 (exit status '"$dump_status"')/p' \
    "$work/dump.out"
grep ' ended ' "$work/gateway.out" | sed 's/^korvel-gateway: /gateway: /'
echo "Frames 100#... came from the generator; the example's and korvel-send's frames"
echo "went out through the library and came back through the echo, also to korvel-dump."
[ "$dump_status" -eq 0 ]
