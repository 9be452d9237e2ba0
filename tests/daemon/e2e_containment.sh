#!/usr/bin/env bash
# e2e_containment.sh BASTORCTL HELPER ALLOWED_CLIENT: the real daemon, started in a
# cgroup of this test's own, in a private mount namespace (tmpfs over /run and
# /Library) with a journald of its own. Checks that a run leaves nothing behind, that
# a leftover run cgroup is ended at start, and what the journal records.
# Needs root, unshare and a writable cgroup v2, else exits 77.
set -euo pipefail

own_cgroup() {
    local mount
    mount=$(awk '$0 ~ / - cgroup2 / { print $5; exit }' /proc/self/mountinfo)
    [ -n "$mount" ] && echo "$mount$(sed -n 's/^0:://p' /proc/self/cgroup)" | sed 's#/$##'
}

if [ -z "${BASTOR_E2E_NAMESPACE:-}" ]; then
    parent=$(own_cgroup || true)
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null || [ -z "$parent" ] ||
        [ ! -x /lib/systemd/systemd-journald ] || ! mkdir "$parent/bastor-e2e-$$" 2>/dev/null; then
        echo "skipped: needs root, unshare --mount, journald and a writable cgroup v2"
        exit 77
    fi
    mkdir -p /Library
    BASTOR_E2E_CGROUP="$parent/bastor-e2e-$$" BASTOR_E2E_NAMESPACE=1 \
        exec unshare --mount --propagation private -- bash "$0" "$@"
fi

built_bastorctl=$1 helper=$2 bastorctl=$3
cgroup=$BASTOR_E2E_CGROUP
work=$(mktemp -d)
helper_pid= journald_pid= leftover_pid=
end_cgroup() {  # kills what is left below $1 and removes it, deepest first
    [ -d "$1" ] || return 0
    local child
    for child in "$1"/*/; do [ ! -d "$child" ] || end_cgroup "${child%/}"; done
    [ ! -e "$1/cgroup.kill" ] || echo 1 >"$1/cgroup.kill" 2>/dev/null || true
    timeout 10 sh -c 'until grep -qx "populated 0" "$1/cgroup.events"; do sleep 0.05; done' \
        sh "$1" || true
    rmdir "$1" 2>/dev/null || true
}
cleanup() {
    [ -z "$helper_pid" ] || { kill "$helper_pid" 2>/dev/null; wait "$helper_pid" 2>/dev/null; } || true
    [ -z "$journald_pid" ] || kill "$journald_pid" 2>/dev/null || true
    [ -z "$leftover_pid" ] || kill -9 "$leftover_pid" 2>/dev/null || true
    end_cgroup "$cgroup"
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; sed 's/^/helper: /' "$work/helper.log" >&2 || true; exit 1; }
gone() {  # gone PID: no such process, or a zombie, within a second
    local tries
    for tries in $(seq 100); do
        state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null || echo gone)
        [ "$state" = gone ] || [ "$state" = Z ] && return 0
        sleep 0.01
    done
    return 1
}

mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /Library
[ ! -d /var/log/journal ] || mount -t tmpfs -o mode=0755 tmpfs /var/log/journal
/lib/systemd/systemd-journald >"$work/journald.log" 2>&1 &
journald_pid=$!
timeout 10 sh -c 'until [ -S /run/systemd/journal/socket ]; do sleep 0.05; done' ||
    fail "journald did not start"

install -m 0755 -o root -g root "$built_bastorctl" "$work/bastorctl"
if [ ! -e "$bastorctl" ]; then
    mkdir -p "$(dirname "$bastorctl")"
    mount -t tmpfs -o mode=0755 tmpfs "$(dirname "$bastorctl")"
    touch "$bastorctl"
fi
mount --bind "$work/bastorctl" "$bastorctl"

# A run of a daemon that died: still going, in its cgroup.
mkdir "$cgroup/run-3"
sleep 300 &
leftover_pid=$!
echo "$leftover_pid" >"$cgroup/run-3/cgroup.procs"

sh -c 'echo $$ >"$1/cgroup.procs" && exec "$2"' sh "$cgroup" "$helper" >"$work/helper.log" 2>&1 &
helper_pid=$!
timeout 10 sh -c 'until [ -S /run/com.nocta.nocta.bastor.xpc ]; do sleep 0.05; done' ||
    fail "the daemon did not start"
gone "$leftover_pid" || fail "the leftover run's process survived the start"
[ ! -e "$cgroup/run-3" ] || fail "the leftover run cgroup is still there"
grep -q "^0::.*/$(basename "$cgroup")/supervisor$" "/proc/$helper_pid/cgroup" ||
    fail "the daemon is not in its supervisor leaf: $(cat "/proc/$helper_pid/cgroup")"

"$bastorctl" enable >/dev/null
"$bastorctl" auto-approval on >/dev/null
"$bastorctl" audit on >/dev/null
out=$("$bastorctl" run --reason "e2e: escape" -- \
    sh -c 'setsid sleep 300 >/dev/null 2>&1 </dev/null & echo "escapee $!"' 2>&1) ||
    fail "the run failed: $out"
escapee=$(sed -n 's/^escapee //p' <<<"$out")
[ -n "$escapee" ] || fail "no pid in: $out"
gone "$escapee" || fail "the detached process $escapee outlived its run"
# A run's cgroup may be kept for the next run, but empty.
for run in "$cgroup"/run-*; do
    [ ! -e "$run" ] || grep -qx 'populated 0' "$run/cgroup.events" ||
        fail "a run cgroup still holds processes: $(cat "$run/cgroup.procs")"
done

journal=$(journalctl -o json --no-pager SYSLOG_IDENTIFIER=NoctaBastorHelper 2>/dev/null)
grep -q '"MESSAGE":"Killed and removed 1 run cgroup(s) left by an earlier start"' <<<"$journal" ||
    fail "no journal notice of the leftover run; journal:"$'\n'"$journal"
completed=$(grep '"MESSAGE":"Bastor event completed' <<<"$journal" || true)
grep -q '"BASTOR_LEFTOVER_KILLED":"1"' <<<"$completed" &&
    grep -q '"BASTOR_CPU_USEC":"[0-9]*"' <<<"$completed" ||
    fail "the completed entry's record lacks the run's usage:"$'\n'"$completed"
echo "containment end to end: all checks passed"
