# Sourced by the packaging tests. start_gateway PROGRAM LOG starts
# korvel-gateway echoing to the sender on a free port, sets $port once it
# listens, and ends it when the calling script ends.
start_gateway() {
    "$1" -p 0 -e sender >"$2" 2>&1 &
    gateway_pid=$!
    trap 'kill $gateway_pid 2>/dev/null || true' EXIT
    waited=0
    while :; do
        port=$(sed -n 's/^korvel-gateway listening on [0-9.]*:\([0-9]*\)$/\1/p' "$2")
        [ -z "$port" ] || return 0
        waited=$((waited + 1))
        [ $waited -lt 3000 ] || { echo "korvel-gateway did not start:"; cat "$2"; exit 1; }
        sleep 0.01
    done
}

# fail MESSAGE: ends the test.
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
