#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing.
# Usage: scripts/install-deps.sh [package]   (package: also what building and
# checking the .deb takes)
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config git
    libssl-dev libsimdjson-dev libutf8proc-dev libsystemd-dev libcli11-dev uuid-dev
    libaudit-dev libpam0g-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    util-linux openssl procps devscripts
    systemd passwd
    systemd-journal-remote strace python3 iproute2
)
if [ "${1:-}" = package ]; then
    packages+=(dpkg-dev file binutils lintian)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
