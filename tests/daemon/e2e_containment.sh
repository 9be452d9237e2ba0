#!/usr/bin/env bash
# e2e_containment.sh BASTORCTL HELPER ALLOWED_CLIENT: the real daemon, started in a
# cgroup of this test's own, in a private mount namespace (tmpfs over /run and
# /Library) with a journald of its own. Checks that a run leaves nothing behind, that
# a leftover run cgroup is ended at start, and what the journal records.
# Needs root, unshare, journald and a writable cgroup v2, else exits 77.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"
e2e_inside || e2e_enter -- "$@"

built_bastorctl=$1 helper=$2 bastorctl=$3
e2e_begin
[ -n "$own_cgroup" ] || e2e_skip "no writable cgroup v2"
gone() { # gone PID: no such process, or a zombie, within a second
    local tries
    for tries in $(seq 100); do
        state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null || echo gone)
        [ "$state" = gone ] || [ "$state" = Z ] && return 0
        sleep 0.01
    done
    return 1
}

e2e_fresh /run /Library /var/log/journal
e2e_journald
e2e_serve "$built_bastorctl" "$bastorctl"

# A run of a daemon that died: still going, in its cgroup.
mkdir "$own_cgroup/run-3"
sleep 300 &
leftover_pid=$!
echo "$leftover_pid" >"$own_cgroup/run-3/cgroup.procs"

e2e_start_helper "$helper"
gone "$leftover_pid" || fail "the leftover run's process survived the start"
[ ! -e "$own_cgroup/run-3" ] || fail "the leftover run cgroup is still there"
grep -q "^0::.*/$(basename "$own_cgroup")/supervisor$" "/proc/$helper_pid/cgroup" ||
    fail "the daemon is not in its supervisor leaf: $(cat "/proc/$helper_pid/cgroup")"

"$bastorctl" enable >/dev/null
"$bastorctl" auto-approval on >/dev/null
"$bastorctl" audit on >/dev/null
check "the run" 0 "" "$bastorctl" run --reason "e2e: escape" -- \
    sh -c 'setsid sleep 300 >/dev/null 2>&1 </dev/null & echo "escapee $!"'
escapee=$(sed -n 's/^escapee //p' <<<"$out")
[ -n "$escapee" ] || fail "no pid in: $out"
gone "$escapee" || fail "the detached process $escapee outlived its run"
# A run's cgroup may be kept for the next run, but empty.
for run in "$own_cgroup"/run-*; do
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
