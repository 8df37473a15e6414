#!/bin/sh
# Installs the build into a fresh prefix and builds the installed example
# twice, as a user would: through find_package(korvel32) and through
# pkg-config. Both must print the library's version and get their messages
# back through the installed korvel-gateway; the installed korvel-send must
# find the library of its prefix by itself.
#   install_test.sh BUILD WORK VERSION
set -eu
build=$1 work=$2 version=$3
. "$(dirname "$0")/gateway.sh"
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# (lintian, in the Debian package test, checks the SONAME.)
[ -f "$prefix/lib/libkorvel32.so.$version" ] || fail "no lib/libkorvel32.so.$version"
[ -f "$prefix/share/korvel32/wireshark/korvel.lua" ] || fail "no Wireshark dissector"

examples=$prefix/share/doc/korvel32/examples
cmake -S "$examples" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs korvel32)
cc "$examples/korvel_example.c" $flags -o "$work/pkg-config-example"

start_gateway "$prefix/bin/korvel-gateway" "$work/gateway.log"
run_example() { # program
    "$@" "127.0.0.1:$port" >"$work/example.log" || { cat "$work/example.log"; fail "$1"; }
    grep -q "KORVEL32 $version" "$work/example.log" || fail "$1 printed no version $version"
}
run_example "$work/cmake/korvel-example"
LD_LIBRARY_PATH=$prefix/lib run_example "$work/pkg-config-example"
"$prefix/bin/korvel-send" "127.0.0.1:$port" 123#DEADBEEF >/dev/null || fail "installed korvel-send"
echo "install test passed"
