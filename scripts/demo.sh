#!/bin/sh
# Builds the native library and runs the example application against it.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEL_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/native" --target korvel-example
"$build/native/bin/korvel-example" "$@"
