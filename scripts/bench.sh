#!/bin/sh
# Runs every benchmark once, one after the other, and writes
# docs/performance.md (tables, the machine, the command) and the plots in
# docs/performance/ from the results. Takes about five minutes; the machine
# should be otherwise as quiet as possible, since the figures are times.
# Build directory: $KORVEL_BUILD_DIR/bench-release, default ./build.
# The raw results stay in <build directory>/bench-results.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEL_BUILD_DIR:-$root/build}
dir=$build/bench-release
results=$build/bench-results

step() { printf '\n== %s\n' "$*"; }

step "packages"
"$root/scripts/install-deps.sh"
step "build"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_TESTS=OFF \
    -DKORVEL_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j2
bin=$dir/bin
rm -rf "$results"
mkdir -p "$results"

load() { cut -d' ' -f1 /proc/loadavg; }

# driver NAME ARGS...: one driver run into $results/NAME.txt, with the load
# average of the minute before it. While NORMAL is "normal" the library's
# threads run at normal priority (see normal below).
driver() {
    name=$1
    shift
    printf '%s: korvel_bench_driver %s %s\n' "$name" "$*" "${NORMAL:-}"
    { echo "load1 $(load)"; ${NORMAL:-} "$bin/korvel_bench_driver" "$@" | grep -v '^korvel-gateway'; } \
        >"$results/$name.txt"
}
# gbench NAME PROGRAM: five repetitions, medians to $results/NAME.json.
# An optional third argument "normal" runs it with the library's threads at
# normal priority.
gbench() {
    printf '%s: %s %s\n' "$1" "$2" "${3:-}"
    echo "load1 $(load)" >"$results/$1.load"
    run=""
    [ "${3:-}" = normal ] && run=normal
    $run "$bin/$2" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_out="$results/$1.json" --benchmark_out_format=json >/dev/null 2>&1
}

# normal CMD...: the command without the privilege to raise a thread's
# priority (cap_sys_nice), so that the service thread stays at normal priority
# (nice 0) instead of its raised priority (nice -2), as in any process that
# may not raise its threads. Only needed (and possible) when running as root;
# otherwise every run is at normal priority already.
privileged=no
[ "$(id -u)" -eq 0 ] && command -v capsh >/dev/null && privileged=yes
normal() {
    if [ $privileged = yes ]; then capsh --drop=cap_sys_nice -- -c "$*"; else "$@"; fi
}

step "machine"
{
    echo "date $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "cpu $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
    echo "cpus $(nproc)"
    echo "hypervisor $(lscpu | sed -n 's/^Hypervisor vendor: *//p' | head -1)"
    echo "os $(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
    echo "compiler $(c++ --version | head -1)"
    echo "benchmark $(dpkg-query -W -f='${Version}' libbenchmark-dev)"
    echo "commit $(git -C "$root" rev-parse --short HEAD)"
    echo "privileged $privileged"
} | tee "$results/machine.txt"

step "benchmarks"
gbench codec codec_bench
gbench receive receive_bench
gbench api api_bench
gbench api-normal api_bench normal
for i in 1 2 3 4 5; do
    printf 'callback.%s: callback_bench 300\n' "$i"
    { echo "load1 $(load)"; "$bin/callback_bench" 300; } >"$results/callback.$i.txt"
done
for i in 1 2 3 4 5; do
    driver "rx.$i" rx 3
    driver "rx-baseline.$i" rx-baseline 1
done
# bus.recv() through python-can beside a bare ctypes loop, Debian's python3.
for i in 1 2 3; do
    printf 'python-rx.%s: bench/python_rx_bench.py\n' "$i"
    KORVEL_LIBRARY=$bin/libkorvel32.so PYTHONPATH=$root/bindings/python \
        /usr/bin/python3 "$root/bench/python_rx_bench.py" "$bin/korvel-gateway" 5 \
        >"$results/python-rx.$i.txt" 2>/dev/null
done
for i in 1 2 3 4 5; do
    driver "tx.$i" tx 2
    driver "tx-baseline.$i" tx-baseline 1
done
NORMAL=normal
for i in 1 2 3 4 5; do
    driver "tx-normal.$i" tx 2
done
NORMAL=
driver burst burst
NORMAL=normal
driver burst-normal burst
NORMAL=
driver rtt rtt 10000 1 "$results/rtt.samples"
driver rtt-baseline rtt-baseline 10000 "$results/rtt-baseline.samples"
driver rtt-16 rtt 2000 16
driver rtt-254 rtt 2000 254
driver idle-baseline idle-baseline 10
for n in 1 16 254; do
    driver "idle-$n" idle "$n" 10
done
driver scale scale 254 30
driver scale-baseline scale-baseline 254 30
NORMAL=normal
driver scale-normal scale 254 30
NORMAL=

# The same portable program against the native library and against the
# 64-bit Windows build under wine64: a comparison. (The 32-bit DLL runs under
# Wine only with an emulated 32-bit half on this kind of machine, so its
# times would measure the emulator.)
step "Windows build under Wine"
win64=$build/bench-win64
cmake -S "$root" -B "$win64" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_TESTS=OFF \
    -DKORVEL_BUILD_BENCH=ON -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" \
    >/dev/null
cmake --build "$win64" -j2 --target korvel_portable_bench
prefix=$win64/wineprefix
mkdir -p "$prefix"
WINEPREFIX=$prefix wineserver -p 2>/dev/null || true
WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY= /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
portable() { # NAME COMMAND...
    name=$1
    shift
    printf '%s: korvel_portable_bench\n' "$name"
    { echo "load1 $(load)"; "$root/bench/run_portable.sh" "$bin/korvel-gateway" "$@"; } \
        >"$results/$name.txt"
}
portable portable-native "$bin/korvel_portable_bench"
portable portable-win64 "$root/scripts/wine64-run.sh" "$prefix" "$win64/bin/korvel_portable_bench.exe"
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true

step "report"
/usr/bin/python3 "$root/bench/report.py" "$results" "$root/docs"
echo "bench: wrote docs/performance.md"
