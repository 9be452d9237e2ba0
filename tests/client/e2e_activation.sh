#!/usr/bin/env bash
# e2e_activation.sh BASTORCTL HELPER ALLOWED_CLIENT: the daemon started on the
# first connection by systemd-socket-activate serves bastorctl on the socket it
# was passed; log --follow shows entries as they are written. In a private
# mount namespace (tmpfs over /run, /Library). Needs root, unshare and
# systemd-socket-activate, else exits 77.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"
command -v systemd-socket-activate >/dev/null || e2e_skip "no systemd-socket-activate"
e2e_inside || e2e_enter --pid --fork -- "$@"

built_bastorctl=$1 helper=$2 bastorctl=$3
e2e_begin
e2e_fresh /run /Library
mount -t proc proc /proc # this pid namespace's processes
e2e_serve "$built_bastorctl" "$bastorctl"

e2e_start_helper systemd-socket-activate -l "$socket" "$helper"
inode=$(stat -c %i "$socket")
[ ! -e "$data_dir" ] || fail "the helper started before anyone connected"

check "first connection" 0 "Bastor:        off" "$bastorctl" status
[ "$(readlink /proc/$helper_pid/exe)" = "$(realpath "$helper")" ] || fail "the helper is not running"
[ "$(stat -c %i "$socket")" = "$inode" ] || fail "the helper replaced the socket it was passed"
check "status --json" 0 '{"audit_enabled":false,"auto_approval":false,"enabled":false}' \
    "$bastorctl" status --json

"$bastorctl" audit on >/dev/null
"$bastorctl" enable >/dev/null
"$bastorctl" log --follow --event bastor_disabled >"$work/follow" 2>&1 &
follower=$!
wait_for 10 grep -q "^ *SEQ" "$work/follow" || fail "log --follow printed no header:"$'\n'"$(cat "$work/follow")"
"$bastorctl" disable >/dev/null
wait_for 10 grep -q " bastor_disabled " "$work/follow" ||
    fail "log --follow did not show the new entry:"$'\n'"$(cat "$work/follow")"
kill "$follower" # no SIGINT: a script's background jobs ignore it
wait "$follower" || true
grep -q bastor_enabled "$work/follow" && fail "log --follow ignored --event"
# Eight entries now; a follower starts from the last three of them.
for _ in 1 2 3; do "$bastorctl" enable >/dev/null && "$bastorctl" disable >/dev/null; done
"$bastorctl" log --follow --json --limit 3 >"$work/tail" 2>&1 &
follower=$!
wait_for 10 grep -q '"seq":8' "$work/tail" || fail "log --follow --limit 3 printed: $(cat "$work/tail")"
sleep 1.5 # one more round of asking
kill "$follower"
wait "$follower" || true
[ "$(grep -o '"seq":[0-9]*' "$work/tail" | paste -sd' ')" = '"seq":6 "seq":7 "seq":8' ] ||
    fail "log --follow --limit 3 did not start at the last three:"$'\n'"$(cat "$work/tail")"
check "log --since" 0 "bastor_enabled" "$bastorctl" log --since "$(date -u +%F)" --event bastor_enabled
[ "$("$bastorctl" log --json --until 2000-01-01)" = "[]" ] || fail "log --until let later entries through"

e2e_stop_helper || true
[ -S "$socket" ] || fail "the helper removed a socket it did not make"
echo "socket activation end to end: all checks passed"
