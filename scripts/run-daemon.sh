#!/usr/bin/env bash
# Builds the release preset, puts bastorctl at /usr/local/bin/bastorctl (the one
# client the daemon serves) and starts the daemon in the foreground, as root, on
# its real paths: socket /run/com.nocta.nocta.bastor.xpc, data in
# "/Library/Application Support/Nocta/Bastor". Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target NoctaBastorHelper bastorctl
install -D -m 0755 -o root -g root build/release/bastorctl/bastorctl /usr/local/bin/bastorctl
echo "NoctaBastorHelper: serving /run/com.nocta.nocta.bastor.xpc; try 'bastorctl status'"
exec build/release/NoctaBastorHelper/NoctaBastorHelper
