#!/usr/bin/env bash
# Installs what is missing, builds the default (debug) preset and runs every test.
# Usage: scripts/test.sh [PRESET]   (default, sanitize, tsan, release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
