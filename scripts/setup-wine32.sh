#!/bin/sh
# setup-wine32.sh DIR
#
# Runs the 32-bit Windows tests of KORVEL32.dll on a machine whose kernel
# cannot execute 32-bit Linux programs: Wine's 32-bit half runs under the
# qemu-i386 user-mode emulator. Builds a private 32-bit Wine next to the
# installed Debian 12 wine64 without dpkg-installing anything:
#   DIR/root      wine32:i386 + libwine:i386 (same version as wine64) and their
#                 i386 dependency closure, unpacked with dpkg-deb -x
#   DIR/qemu-i386 static qemu-i386 user-mode emulator (bookworm-backports,
#                 qemu-user 10.x), used because this kernel cannot exec i386 ELF
#                 (ia32 emulation disabled) and qemu 7.2 is ~50 s/process slow
#   DIR/prefix    WoW64 (win64) prefix created by the host wine64
#   DIR/wine32-run  wrapper: DIR/wine32-run prog.exe [args]
# Idempotent: reruns only print the command when DIR/.complete matches.
# Needs: wine64 (Debian 12), apt-get, dpkg-deb, and the Debian mirror that apt is configured with.
set -eu

DIR=${1:?usage: setup-wine32.sh DIR}
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)
# The machine's own Debian mirrors, as configured for apt (deb822 .sources or one-line lists).
mirrors=$( { grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | cut -d' ' -f2- | tr ' ' '\n';
             grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
               | tr ' ' '\n' | grep -E '^(https?|file)://'; } | grep -E '^(https?|file)://' )
MIRROR=${WINE32_MIRROR:-$(echo "$mirrors" | grep -v -- '-security' | head -n1)}
SECMIRROR=${WINE32_SECURITY_MIRROR:-$(echo "$mirrors" | grep -- '-security' | head -n1)}
[ -n "$MIRROR" ] || { echo "setup-wine32: no Debian mirror configured for apt" >&2; exit 1; }
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

WINEVER=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) || {
    echo "setup-wine32: wine64 is not installed" >&2; exit 1; }
STAMP="wine=$WINEVER layout=2"

if [ -f "$DIR/.complete" ] && [ "$(cat "$DIR/.complete")" = "$STAMP" ] \
   && [ -x "$DIR/wine32-run" ]; then
    echo "setup-wine32: already set up ($STAMP)"
    echo "run 32-bit programs with: $DIR/wine32-run prog.exe [args]"
    exit 0
fi

A=$DIR/apt
mkdir -p "$A/lists/partial" "$A/archives/partial" "$A/parts"
: > "$A/status"
write_sources() {
    {
        echo "deb [arch=i386 signed-by=$KEYRING] $MIRROR bookworm main"
        echo "deb [arch=i386 signed-by=$KEYRING] $MIRROR bookworm-updates main"
        echo "deb [arch=amd64 signed-by=$KEYRING] $MIRROR bookworm-backports main"
        [ "$1" = sec ] && [ -n "$SECMIRROR" ] && echo "deb [arch=i386 signed-by=$KEYRING] $SECMIRROR bookworm-security main"
        true
    } > "$A/sources.list"
}
apt_() {
    apt-get -q -o Dir::State::Lists="$A/lists" -o Dir::State::status="$A/status" \
        -o Dir::Cache::Archives="$A/archives" -o Dir::Etc::SourceList="$A/sources.list" \
        -o Dir::Etc::SourceParts="$A/parts" -o APT::Architecture=i386 \
        -o APT::Architectures::=i386 -o APT::Architectures::=amd64 \
        -o Acquire::Languages=none -o APT::Install-Recommends=false "$@"
}

# 1. indexes (bookworm-security i386 is used when it downloads cleanly; a stale
#    mirror copy of it makes apt-get update fail, then we go on without it)
write_sources sec
if ! apt_ update >"$A/update.log" 2>&1; then
    echo "setup-wine32: bookworm-security i386 index unusable, using bookworm + bookworm-updates only" >&2
    write_sources nosec
    apt_ update >"$A/update.log" 2>&1 || { cat "$A/update.log" >&2; exit 1; }
fi

# 2. dependency closure of wine32+libwine (exact host version), resolved by apt
#    against an empty dpkg status, downloaded only (never installed)
apt_ install -y -d "wine32:i386=$WINEVER" "libwine:i386=$WINEVER" >"$A/download.log" 2>&1 \
    || { cat "$A/download.log" >&2; exit 1; }
( cd "$A/archives" && apt_ download qemu-user:amd64/bookworm-backports >"$A/qemu.log" 2>&1 ) \
    || { cat "$A/qemu.log" >&2; exit 1; }

# 3. unpack into a fresh root
rm -rf "$DIR/root.new"
mkdir -p "$DIR/root.new"
for d in "$A"/archives/*_i386.deb "$A"/archives/*_all.deb; do
    dpkg-deb -x "$d" "$DIR/root.new"
done
dpkg-deb --fsys-tarfile "$A"/archives/qemu-user_*_amd64.deb \
    | tar -x -O ./usr/bin/qemu-i386 > "$DIR/qemu-i386.new"
chmod 755 "$DIR/qemu-i386.new"
mv -f "$DIR/qemu-i386.new" "$DIR/qemu-i386"
R=$DIR/root.new

# 4. what libwine's postinst would have done: zlib1.dll as a Wine builtin
for pair in i686:i386 x86_64:x86_64; do
    in=$(ls "$R/usr/${pair%%:*}-w64-mingw32/lib/"zlib*.dll)
    out=$R/usr/lib/i386-linux-gnu/wine/${pair##*:}-windows/$(basename "$in")
    { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } > "$out"
done

# 5. loaders: 32-bit wine runs under qemu-i386; a copy of the host wine64
#    (not a symlink: wine derives its bin dir from /proc/self/exe) lets 32- and
#    64-bit processes find each other; the 64-bit unix/PE side stays the host's.
mv "$R/usr/lib/wine/wine" "$R/usr/lib/wine/wine.real"
cat > "$R/usr/lib/wine/wine" <<EOF
#!/bin/sh
exec "$DIR/qemu-i386" -L "$DIR/root" -0 "\$0" "$DIR/root/usr/lib/wine/wine.real" "\$@"
EOF
chmod 755 "$R/usr/lib/wine/wine"
cp /usr/lib/wine/wine64 "$R/usr/lib/wine/wine64"
mkdir -p "$R/usr/lib/x86_64-linux-gnu"
ln -sfn /usr/lib/x86_64-linux-gnu/wine "$R/usr/lib/x86_64-linux-gnu/wine"
# usr/lib/wine/wineserver (Debian script) runs the host /usr/lib/wine/wineserver64

rm -rf "$DIR/root"
mv "$R" "$DIR/root"

# 6. wrapper
cat > "$DIR/wine32-run" <<EOF
#!/bin/sh
# run a 32-bit (or 64-bit) Windows program in the private WoW64 Wine prefix
: "\${WINEPREFIX:=$DIR/prefix}"
: "\${WINEDEBUG:=-all}"
: "\${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset WINEARCH
export DISPLAY=
exec "$DIR/root/usr/lib/wine/wine" "\$@"
EOF
chmod 755 "$DIR/wine32-run"

# 7. prefix (win64/WoW64, created by the host-version wine64 copy)
if [ ! -f "$DIR/prefix/system.reg" ]; then
    rm -rf "$DIR/prefix"
    WINEPREFIX="$DIR/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= \
        "$DIR/root/usr/lib/wine/wine64" wineboot --init >"$DIR/wineboot.log" 2>&1 || true
    WINEPREFIX="$DIR/prefix" "$DIR/root/usr/lib/wine/wineserver" -w || true
    [ -f "$DIR/prefix/system.reg" ] || { cat "$DIR/wineboot.log" >&2; exit 1; }
fi

echo "$STAMP" > "$DIR/.complete"
echo "setup-wine32: done ($STAMP)"
echo "download: $(du -cb "$A"/archives/*.deb | tail -1 | cut -f1) bytes in $(ls "$A"/archives/*.deb | wc -l) .debs"
echo "run 32-bit programs with: $DIR/wine32-run prog.exe [args]"
