#!/bin/sh
# run_portable.sh GATEWAY COMMAND...: starts the three gateways that
# korvel_portable_bench talks to, runs COMMAND with their ports appended,
# and stops them again. Used by scripts/bench.sh and by the smoke test.
set -eu
gateway=$1
shift
dir=$(mktemp -d)
pids=""
stop() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap stop EXIT
start() { # name options...
    name=$1
    shift
    "$gateway" -p 0 "$@" >"$dir/$name" &
    pids="$pids $!"
}
port() { # name: the port from the gateway's first line, once it is there
    for _ in $(seq 100); do
        p=$(sed -n 's/^korvel-gateway listening on .*:\([0-9]*\)$/\1/p' "$dir/$1")
        [ -n "$p" ] && { echo "$p"; return; }
        sleep 0.05
    done
    echo "run_portable: gateway $1 did not start" >&2
    exit 1
}
start sink
start filled -g -r max -n 65535 -I 123 -D 1122334455667788
start flood -g -r max -I 123 -D 1122334455667788
"$@" "$(port sink)" "$(port filled)" "$(port flood)"
