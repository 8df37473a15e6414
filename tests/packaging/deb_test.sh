#!/bin/sh
# Makes the Debian package with cpack, checks its name, Depends, manual
# pages and lintian's verdict, unpacks it with dpkg-deb -x and runs its tools
# with its library.
#   deb_test.sh BUILD WORK VERSION
set -eu
build=$1 work=$2 version=$3
. "$(dirname "$0")/gateway.sh"
rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log") || { cat "$work/cpack.log"; fail cpack; }
deb=$work/korvel32_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libgcc-s1; do
    case "$depends" in *"$library "*) ;; *) fail "Depends lacks $library: $depends" ;; esac
done
lintian --fail-on error "$deb" || fail "lintian errors"

root=$work/root
dpkg-deb -x "$deb" "$root"
# The install test uses the other files of the same install rules; the
# manual pages are looked at here only.
for tool in korvel-dump korvel-send korvel-gateway; do
    zcat "$root/usr/share/man/man1/$tool.1.gz" | grep -q "^\.SH DESCRIPTION" || fail "no man page $tool"
done

"$root/usr/bin/korvel-dump" --help | grep -q "^usage: korvel-dump" || fail "korvel-dump --help"
start_gateway "$root/usr/bin/korvel-gateway" "$work/gateway.log"
"$root/usr/bin/korvel-send" "127.0.0.1:$port" 123#DEADBEEF >/dev/null || fail "korvel-send"
echo "Debian package test passed: $deb"
