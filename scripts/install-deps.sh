#!/bin/sh
# Installs the Debian 12 packages that the build, the tests and the demo need.
# Idempotent: packages already present are left as they are.
set -eu
pkgs="cmake ninja-build g++ clang clang-format libclang-rt-14-dev googletest libgtest-dev
      libbenchmark-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
      python3 python3-can python3-pip python3-venv python3-pytest python3-matplotlib
      libcap2-bin dpkg-dev ca-certificates tshark pkgconf lintian can-utils"
missing=$(for p in $pkgs; do dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"; done)
[ -z "$missing" ] && { echo "install-deps: all packages present"; exit 0; }
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "install-deps: installing" $missing
$sudo apt-get update -q
# tshark's package asks whether non-root users may capture; the tests read
# files only, so the answer is no, given beforehand.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
