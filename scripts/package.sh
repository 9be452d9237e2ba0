#!/usr/bin/env bash
# Builds the Debian package build/package/nocta-bastor_<version>_<arch>.deb
# from this checkout (installed under /usr, the helper serving
# /usr/bin/bastorctl) and checks it with lintian. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh package
build=build/package
rm -rf "$build/_CPack_Packages" "$build"/nocta-bastor_*.deb
cmake -S . -B "$build" -G Ninja >/dev/null \
    -DCMAKE_BUILD_TYPE=Release -DBASTOR_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_DOCDIR=share/doc/nocta-bastor
cmake --build "$build"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/nocta-bastor_*.deb)

# Errors fail the build; warnings are shown.
lintian --fail-on error "$deb" >&2
echo "$deb"
