#!/usr/bin/env bash
# e2e_activation.sh BASTORCTL HELPER ALLOWED_CLIENT: the daemon started on the
# first connection by systemd-socket-activate serves bastorctl on the socket it
# was passed; log --follow shows entries as they are written. In a private
# mount namespace (tmpfs over /run, /Library). Needs root, unshare and
# systemd-socket-activate, else exits 77.
set -euo pipefail

if [ -z "${BASTOR_E2E_NAMESPACE:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount --pid --fork true 2>/dev/null ||
        ! command -v systemd-socket-activate >/dev/null; then
        echo "skipped: needs root, unshare and systemd-socket-activate"
        exit 77
    fi
    mkdir -p /Library
    BASTOR_E2E_NAMESPACE=1 exec unshare --mount --pid --fork --propagation private -- bash "$0" "$@"
fi

built_bastorctl=$1 helper=$2 bastorctl=$3
socket=/run/com.nocta.nocta.bastor.xpc
data="/Library/Application Support/Nocta/Bastor"
work=$(mktemp -d)
source "$(dirname "$0")/../support/own_cgroup.sh"
trap 'own_cgroup_cleanup; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; sed 's/^/helper: /' "$work/helper.log" >&2 || true; exit 1; }
check() {
    local what=$1 text=$2
    shift 2
    out=$("$@" 2>&1) || fail "$what failed:"$'\n'"$out"
    [[ "$out" == *"$text"* ]] || fail "$what: expected '$text' in:"$'\n'"$out"
}
# waitfor SECONDS TEST...: until TEST succeeds, at most SECONDS.
waitfor() {
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        ((--tries > 0)) || return 1
        sleep 0.1
    done
}

mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /Library
mount -t proc proc /proc # this pid namespace's processes
install -m 0755 -o root -g root "$built_bastorctl" "$work/bastorctl"
if [ ! -e "$bastorctl" ]; then
    mkdir -p "$(dirname "$bastorctl")"
    mount -t tmpfs -o mode=0755 tmpfs "$(dirname "$bastorctl")"
    touch "$bastorctl"
fi
mount --bind "$work/bastorctl" "$bastorctl"

own_cgroup_run systemd-socket-activate -l "$socket" "$helper" >"$work/helper.log" 2>&1 &
activator=$!
waitfor 10 test -S "$socket" || fail "systemd-socket-activate made no socket"
inode=$(stat -c %i "$socket")
[ ! -e "$data" ] || fail "the helper started before anyone connected"

check "first connection" "Bastor:        off" "$bastorctl" status
[ "$(readlink /proc/$activator/exe)" = "$(realpath "$helper")" ] || fail "the helper is not running"
[ "$(stat -c %i "$socket")" = "$inode" ] || fail "the helper replaced the socket it was passed"
check "status --json" '{"audit_enabled":false,"auto_approval":false,"enabled":false}' \
    "$bastorctl" status --json

"$bastorctl" audit on >/dev/null
"$bastorctl" enable >/dev/null
"$bastorctl" log --follow --event bastor_disabled >"$work/follow" 2>&1 &
follower=$!
waitfor 10 grep -q "^ *SEQ" "$work/follow" || fail "log --follow printed no header:"$'\n'"$(cat "$work/follow")"
"$bastorctl" disable >/dev/null
waitfor 10 grep -q " bastor_disabled " "$work/follow" ||
    fail "log --follow did not show the new entry:"$'\n'"$(cat "$work/follow")"
kill "$follower" # no SIGINT: a script's background jobs ignore it
wait "$follower" || true
grep -q bastor_enabled "$work/follow" && fail "log --follow ignored --event"
# Eight entries now; a follower starts from the last three of them.
for _ in 1 2 3; do "$bastorctl" enable >/dev/null && "$bastorctl" disable >/dev/null; done
"$bastorctl" log --follow --json --limit 3 >"$work/tail" 2>&1 &
follower=$!
waitfor 10 grep -q '"seq":8' "$work/tail" || fail "log --follow --limit 3 printed: $(cat "$work/tail")"
sleep 1.5 # one more round of asking
kill "$follower"
wait "$follower" || true
[ "$(grep -o '"seq":[0-9]*' "$work/tail" | paste -sd' ')" = '"seq":6 "seq":7 "seq":8' ] ||
    fail "log --follow --limit 3 did not start at the last three:"$'\n'"$(cat "$work/tail")"
check "log --since" "bastor_enabled" "$bastorctl" log --since "$(date -u +%F)" --event bastor_enabled
[ "$("$bastorctl" log --json --until 2000-01-01)" = "[]" ] || fail "log --until let later entries through"

kill "$activator"
wait "$activator" || true
[ -S "$socket" ] || fail "the helper removed a socket it did not make"
echo "socket activation end to end: all checks passed"
