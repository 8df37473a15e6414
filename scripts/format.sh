#!/bin/sh
# Formats the C and C++ sources with the repository's .clang-format.
#   scripts/format.sh           rewrites every file that does not match
#   scripts/format.sh --check   changes nothing; lists those files and fails
# The files: every *.c, *.cpp and *.h that git tracks or would track (build
# folders are ignored), so a new file counts before its first commit. The
# *.h.in templates are not C until CMake has filled them in, and what CMake
# generates lives in the build folders.
# clang-format: $CLANG_FORMAT, default clang-format (Debian 12: version 14).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
clang_format=${CLANG_FORMAT:-clang-format}
command -v "$clang_format" >/dev/null || {
    echo "format: $clang_format not found (Debian: apt-get install clang-format)" >&2
    exit 2
}

# One name a line; tracked files deleted since the last commit are left out.
sources() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard -- '*.c' '*.cpp' '*.h'
    else
        find . -name 'build*' -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) \
            -print | sed 's|^\./||'
    fi | while read -r f; do
        if [ -f "$f" ]; then echo "$f"; fi
    done
}

case ${1:-} in
--check)
    # One clang-format for all files: it reports each place that differs.
    if report=$(sources | xargs "$clang_format" --dry-run --Werror 2>&1); then exit 0; fi
    place='^\([^:]*\):[0-9]*:[0-9]*: error: code should be clang-formatted'
    differ=$(echo "$report" | sed -n "s/$place.*/\\1/p" | sort -u)
    echo "${differ:-$report}"
    echo "format: $(echo "$differ" | grep -c .) files do not match .clang-format" \
        "($("$clang_format" --version)); scripts/format.sh formats them" >&2
    exit 1
    ;;
"")
    sources | xargs "$clang_format" -i
    ;;
*)
    echo "usage: scripts/format.sh [--check]" >&2
    exit 2
    ;;
esac
