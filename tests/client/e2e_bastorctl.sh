#!/usr/bin/env bash
# e2e_bastorctl.sh BASTORCTL HELPER PTY_CONVERSE ALLOWED_CLIENT: bastorctl against the real daemon in
# a private mount namespace (tmpfs over /run, /Library). Needs root and unshare, else exits 77.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"
e2e_inside || e2e_enter -- "$@"

built_bastorctl=$1 helper=$2 pty_converse=$3 bastorctl=$4
unset SUDO_USER # the approver must be the real user: root
e2e_begin
events() { "$bastorctl" log | awk 'NR > 1 { print $3 }' | paste -sd' '; }

e2e_fresh /run /Library
e2e_serve "$built_bastorctl" "$bastorctl"

check "helper not running" 1 "Bastor's helper isn't running. Ask the user to finish setup in Nocta ▸ Settings ▸ Bastor.
Start it with: systemctl start nocta-bastor.socket (or see man bastorctl)" "$bastorctl" status
check "unknown command" 2 "bastorctl: unknown command 'frobnicate'; see bastorctl --help" \
    "$bastorctl" --socket /nowhere frobnicate --now

e2e_start_helper "$helper"
check "empty log" 0 "COMMAND
(no entries)" "$bastorctl" log
check "run while off" 1 "Bastor is off. Ask the user to turn it on in Nocta ▸ Settings ▸ Bastor.
Turn it on with: bastorctl enable" "$bastorctl" run --reason "e2e: off" -- true
check enable 0 "Bastor:        on" "$bastorctl" enable
check "audit on" 0 "Audit:         on" "$bastorctl" audit on
check "run without a terminal" 1 "no terminal to ask for approval" \
    setsid -w "$bastorctl" run --reason "e2e: no one to ask" -- true

check "approved run" 0 "Runs:      /usr/bin/id" \
    "$pty_converse" '[y/N]' $'y\n' -- "$bastorctl" run --reason "e2e: who am I" -- id -u
grep -qx 0 <<<"$out" || fail "approved run: no line '0' in:"$'\n'"$out"
[ "$(events)" = "requested approved completed" ] || fail "events after the approved run: $(events)"
check "approved entry" 0 '"approval_method":"manual","approver":"root"' "$bastorctl" log --json
check verify 0 "intact (3 entries)" "$bastorctl" verify

check "denied run" 1 "The request was denied." \
    "$pty_converse" '[y/N]' $'n\n' -- "$bastorctl" run --reason "e2e: must not run" -- touch "$work/marker"
[ ! -e "$work/marker" ] || fail "the denied command ran"
[ "$(events)" = "requested approved completed requested denied" ] || fail "events: $(events)"

# Raw calls cannot run a command or write the log past the approval.
check "raw execute" 2 "" "$bastorctl" call execute '{"requestJSON":"{}"}'
check "raw recordEvent" 2 "" "$bastorctl" call recordEvent '{"eventJSON":"{}"}'
head -c 1200000 <(yes $'\342\202\254') >"$work/input" # cut inside a character
check "oversized input" 1 "stdin must be at most 1 MiB" \
    "$bastorctl" run --stdin-file "$work/input" --reason "e2e: too much input" -- cat
[ "$(events)" = "requested approved completed requested denied" ] || fail "refusals were audited"

sed -i '2s/who am I/who are you/' "$data_dir/audit.jsonl"
check "verify after tampering" 1 "broken at seq 2 (2 entries examined)" "$bastorctl" verify
echo "bastorctl end to end: all checks passed"
