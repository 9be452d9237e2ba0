#!/usr/bin/env bash
# Builds the release preset, puts bastorctl at /usr/local/bin/bastorctl (the one
# client the daemon serves; root:nocta-bastor, mode 2755, making the groups
# nocta-bastor and nocta-bastor-users when missing) and starts the daemon in
# the foreground, as root, on
# its real paths: socket /run/com.nocta.nocta.bastor.xpc, data in
# "/Library/Application Support/Nocta/Bastor". Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target NoctaBastorHelper bastorctl
users_group=$(sed -n 's/^BASTOR_USERS_GROUP:STRING=//p' build/release/CMakeCache.txt)
for group in nocta-bastor "$users_group"; do
    getent group "$group" >/dev/null || groupadd --system "$group"
done
install -D -m 2755 -o root -g nocta-bastor build/release/bastorctl/bastorctl /usr/local/bin/bastorctl
echo "NoctaBastorHelper: serving /run/com.nocta.nocta.bastor.xpc; try 'bastorctl status'"
echo "(other users: usermod -aG $users_group NAME, then log in again)"
exec build/release/NoctaBastorHelper/NoctaBastorHelper
