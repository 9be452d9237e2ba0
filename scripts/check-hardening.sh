#!/usr/bin/env bash
# Installs an optimised build into a scratch directory and checks the installed
# daemon and bastorctl with hardening-check (devscripts); fails on any missing item.
# Usage: scripts/check-hardening.sh [BUILD_DIR]   (default build/hardening)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/hardening}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBASTOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" >/dev/null
binaries=("$stage/usr/local/sbin/NoctaBastorHelper" "$stage/usr/local/bin/bastorctl")

# The linker marks a program CET-enabled only when every object in it is, the C
# start files included. Where those lack the mark (Debian 12: no program on the
# system has it), hardening-check cannot see -fcf-protection in any binary, so
# every object this project compiles must carry it instead.
options=()
if ! readelf -n "$(${CXX:-c++} -print-file-name=Scrt1.o)" | grep -q 'x86 feature: IBT, SHSTK'; then
    options+=(--nocfprotection)
    unmarked=$(find "$build" -name '*.o' -exec sh -c \
        'readelf -n "$1" | grep -q "x86 feature: IBT, SHSTK" || echo "$1"' _ {} \;)
    if [ -n "$unmarked" ]; then
        echo "check-hardening: compiled without -fcf-protection:"$'\n'"$unmarked" >&2
        exit 1
    fi
    echo "check-hardening: every object carries -fcf-protection (the start files do not)"
fi
hardening-check "${options[@]}" "${binaries[@]}"
