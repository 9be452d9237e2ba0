#!/usr/bin/env bash
# Builds the release preset and starts the daemon in the foreground, as root,
# on its real paths (socket /run/com.nocta.nocta.bastor.xpc, data in
# "/Library/Application Support/Nocta/Bastor"). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target NoctaBastorHelper bastorctl
exec build/release/NoctaBastorHelper/NoctaBastorHelper
