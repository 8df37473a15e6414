#!/bin/sh
# Builds the library three ways and runs every test in one go:
#   native   libkorvel32.so on Linux
#   win32    KORVEL32.dll for 32-bit Windows, tests under Wine (32-bit half under qemu-i386)
#   win64    the same sources for 64-bit Windows, tests under wine64
#   tsan     the native build under ThreadSanitizer
#   asan     the native build under AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz     the fuzz targets of the receive parser (a minute) and of the
#            engine's receive path (30 s), with clang and libFuzzer
#   bench    the benchmarks, each run for a moment (scripts/bench.sh measures)
# Installs what is missing first. The output ends with the test summary.
# Build directory: $KORVEL_BUILD_DIR, default ./build. The private 32-bit
# Wine: $KORVEL_WINE32_DIR, default <build directory>/wine32.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEL_BUILD_DIR:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
wine32=${KORVEL_WINE32_DIR:-$build/wine32}

step() { printf '\n== %s\n' "$*"; }

step "packages"
"$root/scripts/install-deps.sh"
step "32-bit Wine"
"$root/scripts/setup-wine32.sh" "$wine32"

configure() { # name [cmake options]
    name=$1
    shift
    cmake -S "$root" -B "$build/$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}
step "configure"
configure native
configure win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine32-run.sh;$wine32;$build/win32/wineprefix"
configure win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine64-run.sh;$build/win64/wineprefix"
sanitize() { # name flags
    name=$1
    flags="$2 -fno-omit-frame-pointer"
    configure "$name" -DKORVEL_TEST_PREFIX="$name." -DCMAKE_C_FLAGS="$flags" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$2" -DCMAKE_SHARED_LINKER_FLAGS="$2"
}
sanitize tsan -fsanitize=thread
sanitize asan -fsanitize=address,undefined
configure bench -DKORVEL_BUILD_TESTS=OFF -DKORVEL_BUILD_BENCH=ON
for name in native win32 win64 tsan asan bench; do
    step "build $name"
    cmake --build "$build/$name"
done
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
# The fuzz targets, built with clang and libFuzzer; their tests fuzz from the
# committed seeds, the parser for a minute and the receive path for 30 s.
step "build fuzz"
configure fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_FUZZ=ON \
    -DKORVEL_BUILD_TESTS=OFF
cmake --build "$build/fuzz" --target frame_parser_fuzzer receive_path_fuzzer

# One Wine prefix per build. Wine's helper processes must be up before the
# first test, or they keep ctest's output pipe open; each prefix's server is
# ended on the way out. Both prefixes are 64-bit (WoW64) prefixes made by the
# host's wine64; the 32-bit build runs in its own with the private 32-bit Wine.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
start_wine() { # prefix wineserver wine64
    mkdir -p "$1"
    WINEPREFIX="$1" "$2" -p 2>/dev/null || true # it may already run
    WINEPREFIX="$1" "$3" wineboot -i </dev/null >/dev/null 2>&1
}
stop_wine() {
    WINEPREFIX="$build/win64/wineprefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$build/win32/wineprefix" "$wine32/root/usr/lib/wine/wineserver" -k 2>/dev/null || true
}
trap stop_wine EXIT
step "start Wine"
start_wine "$build/win64/wineprefix" wineserver /usr/lib/wine/wine64
start_wine "$build/win32/wineprefix" "$wine32/root/usr/lib/wine/wineserver" "$wine32/root/usr/lib/wine/wine64"

printf 'subdirs("native" "win32" "win64" "tsan" "asan" "fuzz" "bench")\n' > "$build/CTestTestfile.cmake"
step "tests"
ctest --test-dir "$build" --output-on-failure --timeout 900 "$@"
