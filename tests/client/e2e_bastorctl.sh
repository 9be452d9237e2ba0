#!/usr/bin/env bash
# e2e_bastorctl.sh BASTORCTL HELPER PTY_CONVERSE ALLOWED_CLIENT: bastorctl against the real daemon in
# a private mount namespace (tmpfs over /run, /Library). Needs root and unshare, else exits 77.
set -euo pipefail

if [ -z "${BASTOR_E2E_NAMESPACE:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        echo "skipped: needs root and unshare --mount"
        exit 77
    fi
    mkdir -p /Library  # the mount point of a tmpfs for the helper's directory
    BASTOR_E2E_NAMESPACE=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi

built_bastorctl=$1 helper=$2 pty_converse=$3 bastorctl=$4
unset SUDO_USER  # the approver must be the real user: root
work=$(mktemp -d)
helper_pid=
# The daemon keeps its runs in cgroups below its own: give it one of this test's own.
cgroup=$(awk '$0 ~ / - cgroup2 / { print $5; exit }' /proc/self/mountinfo)
[ -z "$cgroup" ] || cgroup="$cgroup$(sed -n 's/^0:://p' /proc/self/cgroup | sed 's#/$##')/bastor-e2e-$$"
[ -z "$cgroup" ] || mkdir "$cgroup" 2>/dev/null || cgroup=
trap 'rm -rf "$work"; [ -z "$helper_pid" ] || { kill "$helper_pid"; wait "$helper_pid"; } || true
      [ -z "$cgroup" ] || rmdir "$cgroup"/run-* "$cgroup"/supervisor "$cgroup" 2>/dev/null || true' EXIT

fail() { echo "FAIL: $*" >&2; sed 's/^/helper: /' "$work/helper.log" >&2 || true; exit 1; }
# check WHAT STATUS TEXT COMMAND...: COMMAND must exit with STATUS and show
# TEXT on stdout or stderr; what it showed is left in $out.
check() {
    local what=$1 want=$2 text=$3 status=0
    shift 3
    out=$("$@" 2>&1) || status=$?
    out=${out//$'\r'/}
    [ "$status" = "$want" ] || fail "$what: exit status $status, expected $want; output:"$'\n'"$out"
    [[ "$out" == *"$text"* ]] || fail "$what: expected '$text' in:"$'\n'"$out"
}
events() { "$bastorctl" log | awk 'NR > 1 { print $3 }' | paste -sd' '; }

mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /Library
# The daemon serves only the installed client: put this build in its place, owned by root.
install -m 0755 -o root -g root "$built_bastorctl" "$work/bastorctl"
if [ ! -e "$bastorctl" ]; then
    mkdir -p "$(dirname "$bastorctl")"
    mount -t tmpfs -o mode=0755 tmpfs "$(dirname "$bastorctl")"
    touch "$bastorctl"
fi
mount --bind "$work/bastorctl" "$bastorctl"

check "helper not running" 1 "Bastor's helper isn't running. Ask the user to finish setup in Nocta ▸ Settings ▸ Bastor.
Start it with: systemctl start nocta-bastor.socket (or see man bastorctl)" "$bastorctl" status
check "unknown command" 2 "bastorctl: unknown command 'frobnicate'; see bastorctl --help" \
    "$bastorctl" --socket /nowhere frobnicate --now

sh -c '[ -z "$1" ] || echo $$ >"$1/cgroup.procs"; exec "$2"' sh "$cgroup" "$helper" \
    >"$work/helper.log" 2>&1 &
helper_pid=$!
timeout 10 sh -c 'until [ -S /run/com.nocta.nocta.bastor.xpc ]; do sleep 0.1; done' || true
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
head -c 1200000 <(yes $'\342\202\254') >"$work/input"  # cut inside a character
check "oversized input" 1 "stdin must be at most 1 MiB" \
    "$bastorctl" run --stdin-file "$work/input" --reason "e2e: too much input" -- cat
[ "$(events)" = "requested approved completed requested denied" ] || fail "refusals were audited"

sed -i '2s/who am I/who are you/' "/Library/Application Support/Nocta/Bastor/audit.jsonl"
check "verify after tampering" 1 "broken at seq 2 (2 entries examined)" "$bastorctl" verify
echo "bastorctl end to end: all checks passed"
