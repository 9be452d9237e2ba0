#!/usr/bin/env bash
# bastorctl against the real daemon, end to end. Both run in a private mount
# namespace with tmpfs over /run and /Library, so the machine's own helper,
# socket and audit log are neither seen nor touched. Needs root and
# unshare(1); exits 77 (skipped) without them.
#
#   e2e_bastorctl.sh BASTORCTL HELPER PTY_ANSWER ALLOWED_CLIENT_PATH
set -euo pipefail

if [ -z "${BASTOR_E2E_NAMESPACE:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        echo "skipped: needs root and unshare --mount"
        exit 77
    fi
    # The helper's directory lies below /Library, which the tmpfs needs as
    # its mount point; the directory itself stays empty.
    mkdir -p /Library
    BASTOR_E2E_NAMESPACE=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi

built_bastorctl=$1 helper=$2 pty_answer=$3 bastorctl=$4
unset SUDO_USER  # the approver must be the real user: root
work=$(mktemp -d)
helper_pid=
cleanup() {
    if [ -n "$helper_pid" ]; then
        kill "$helper_pid" 2>/dev/null || true
        wait "$helper_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    [ -f "$work/helper.log" ] && sed 's/^/helper: /' "$work/helper.log" >&2
    exit 1
}
# run_capturing STATUS_VAR OUTPUT_VAR COMMAND...: stdout and stderr together.
run_capturing() {
    local -n status_ref=$1 output_ref=$2
    shift 2
    set +e
    output_ref=$("$@" 2>&1)
    status_ref=$?
    set -e
    output_ref=${output_ref//$'\r'/}
}
expect_status() {  # WANT GOT WHAT OUTPUT
    [ "$1" = "$2" ] || fail "$3: exit status $2, expected $1; output:"$'\n'"$4"
}
expect_text() {  # NEEDLE HAYSTACK WHAT
    [[ "$2" == *"$1"* ]] || fail "$3: expected '$1' in:"$'\n'"$2"
}
events() { "$bastorctl" log | awk 'NR > 1 { print $3 }' | paste -sd' '; }

mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /Library

# The daemon serves only the installed client: put this build in its place,
# as a root-owned file that no one else may write.
install -m 0755 -o root -g root "$built_bastorctl" "$work/bastorctl"
if [ ! -e "$bastorctl" ]; then
    mkdir -p "$(dirname "$bastorctl")"
    mount -t tmpfs -o mode=0755 tmpfs "$(dirname "$bastorctl")"
    touch "$bastorctl"
fi
mount --bind "$work/bastorctl" "$bastorctl"

run_capturing status out "$bastorctl" status
expect_status 1 "$status" "status without a helper" "$out"
expect_text "Bastor's helper isn't running." "$out" "status without a helper"

"$helper" >"$work/helper.log" 2>&1 &
helper_pid=$!
for _ in $(seq 100); do
    [ -S /run/com.nocta.nocta.bastor.xpc ] && break
    sleep 0.1
done
[ -S /run/com.nocta.nocta.bastor.xpc ] || fail "the helper did not create its socket"

run_capturing status out "$bastorctl" enable
expect_status 0 "$status" "enable" "$out"
expect_text "Bastor:        on" "$out" "enable"
run_capturing status out "$bastorctl" audit on
expect_text "Audit:         on" "$out" "audit on"

run_capturing status out setsid -w "$bastorctl" run --reason "e2e: no one to ask" -- true
expect_status 1 "$status" "run without a terminal" "$out"
expect_text "no terminal to ask for approval" "$out" "run without a terminal"

run_capturing status out "$pty_answer" y "$bastorctl" run --reason "e2e: who am I" -- id -u
expect_status 0 "$status" "approved run" "$out"
expect_text "Runs:      /usr/bin/id" "$out" "approved run"
grep -qx 0 <<<"$out" || fail "approved run: no line '0' in:"$'\n'"$out"
[ "$(events)" = "requested approved completed" ] || fail "events after the approved run: $(events)"
json=$("$bastorctl" log --json)
expect_text '"approval_method":"manual","approver":"root"' "$json" "approved entry"
expect_text '"exit_code":0' "$json" "completed entry"
run_capturing status out "$bastorctl" verify
expect_status 0 "$status" "verify" "$out"
expect_text "intact (3 entries)" "$out" "verify"

run_capturing status out "$pty_answer" n "$bastorctl" run --reason "e2e: must not run" -- touch "$work/marker"
expect_status 1 "$status" "denied run" "$out"
expect_text "The request was denied." "$out" "denied run"
[ ! -e "$work/marker" ] || fail "the denied command ran"
[ "$(events)" = "requested approved completed requested denied" ] || fail "events after denial: $(events)"

"$bastorctl" auto-approval on >/dev/null
run_capturing status out setsid -w "$bastorctl" run --reason "e2e: automatic" -- sh -c 'echo out; echo err >&2; exit 3'
expect_status 3 "$status" "auto-approved run" "$out"
expect_text "out" "$out" "auto-approved run"
expect_text "err" "$out" "auto-approved run"
expect_text '"approval_method":"auto"' "$("$bastorctl" log --offset 5 --limit 2 --json)" "auto-approved entry"
"$bastorctl" auto-approval off >/dev/null

run_capturing status out "$bastorctl" call getState
expect_status 0 "$status" "call" "$out"
expect_text '"result":{"json":"{\"audit_enabled\":true' "$out" "call"

run_capturing status out "$bastorctl" verify
expect_text "intact (8 entries)" "$out" "verify before tampering"
log="/Library/Application Support/Nocta/Bastor/audit.jsonl"
sed -i '2s/who am I/who are you/' "$log"
run_capturing status out "$bastorctl" verify
expect_status 1 "$status" "verify after tampering" "$out"
expect_text "broken at seq 2 (2 entries examined)" "$out" "verify after tampering"

echo "bastorctl end to end: all checks passed"
