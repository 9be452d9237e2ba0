#!/usr/bin/env bash
# e2e_setgid_client.sh BUILD_DIR ALLOWED_CLIENT USERS_GROUP RAW_CLIENT TRACE_PROBE FORGE_LIBRARY
#
# The installed, setgid bastorctl against the installed daemon, for made-up
# people. In a private mount namespace: the project installed with
# cmake --install on a tmpfs over its prefix, tmpfs over /run and /Library, a
# journald of its own, and /etc/passwd and /etc/group bind-mounted from
# copies that add the groups nocta-bastor and USERS_GROUP, alice (in
# USERS_GROUP) and bob (not), and /etc/pam.d from a copy. Nothing reaches the
# host: when the namespace ends, so does every mount. Needs root and unshare, else exits 77.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"

build=$1 allowed=$2 users_group=$3 raw_client=$4 trace_probe=$5 forge=$6
prefix=$(dirname "$(dirname "$allowed")")

if ! e2e_inside; then
    case $prefix in
        / | /usr | /etc | /bin | /lib) e2e_skip "the client's prefix $prefix cannot be covered by a tmpfs" ;;
    esac
    for id in 61001 61002 61010 61011; do
        if getent passwd $id >/dev/null || getent group $id >/dev/null; then
            e2e_skip "id $id is taken on this machine"
        fi
    done
    mkdir -p "$prefix" # a mount point
    status=0
    e2e_run_inside -- "$@" || status=$?
    # The setgid copy lived on a tmpfs of the namespace; nothing of it is left.
    if find "$build" -xdev -perm -2000 -type f | grep -q .; then
        echo "FAIL: setgid files left in $build" >&2
        exit 1
    fi
    exit $status
fi

e2e_begin
chmod 0711 "$work"
mkdir -m 0777 "$work/open" # where alice's programs may write
as() { # as USER COMMAND...: as that user, with the groups /etc/group gives them
    local user=$1
    shift
    setpriv --reuid "$user" --regid "$user" --init-groups -- "$@"
}
bastorctl=$prefix/bin/bastorctl
entries() { "$bastorctl" log --json | grep -o '"seq":' | wc -l; }
journal() { journalctl --no-pager -o json SYSLOG_IDENTIFIER=NoctaBastorHelper; }

# People and groups of this namespace only.
cp /etc/passwd "$work/passwd"
cp /etc/group "$work/group"
cat >>"$work/passwd" <<PASSWD
alice:x:61001:61001::/nonexistent:/bin/sh
bob:x:61002:61002::/nonexistent:/bin/sh
PASSWD
cat >>"$work/group" <<GROUP
alice:x:61001:
bob:x:61002:
nocta-bastor:x:61010:
$users_group:x:61011:alice
GROUP
chmod 0644 "$work/passwd" "$work/group"
mount --bind "$work/passwd" /etc/passwd
mount --bind "$work/group" /etc/group

e2e_fresh /run /Library /var/log/journal "$prefix"
# The PAM service file goes to /etc/pam.d whatever the prefix: a copy takes it.
cp -a /etc/pam.d "$work/pam.d"
mount --bind "$work/pam.d" /etc/pam.d
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || {
    cat "$work/install.log" >&2
    fail "cmake --install"
}
outside=$(grep -v -e "^$prefix/" -e "^/etc/pam.d/" "$build/install_manifest.txt" || true)
[ -z "$outside" ] || fail "cmake --install wrote outside the namespace's copies: $outside"
[ "$(stat -c '%U:%G %a' "$bastorctl")" = "root:nocta-bastor 2755" ] ||
    fail "installed bastorctl is $(stat -c '%U:%G %a' "$bastorctl")"
grep -q "^g $users_group " "$prefix/lib/sysusers.d/nocta-bastor.conf" || fail "sysusers.d lacks $users_group"

e2e_journald
e2e_start_helper "$prefix/sbin/NoctaBastorHelper"
[ "$(stat -c '%G %a' $socket)" = "nocta-bastor 660" ] || fail "socket is $(stat -c '%G %a' $socket)"

check "root enables" 0 "Bastor:        on" "$bastorctl" enable
check "root turns audit on" 0 "Audit:         on" "$bastorctl" audit on
check "root turns auto-approval on" 0 "Auto-approval: on" "$bastorctl" auto-approval on

# The allowed user is served, and the log and the journal name her.
check "alice: status" 0 "Bastor:        on" as alice "$bastorctl" status
check "alice: run" 0 "Runs:      /usr/bin/id" as alice env SUDO_USER=bob "$bastorctl" run --reason "e2e: alice asks" -- id -u
grep -qx 0 <<<"$out" || fail "alice's command did not run as root: $out"
check "alice's entries" 0 '"approver":"alice"' "$bastorctl" log --json
[[ "$out" != *'"approver":"bob"'* ]] || fail "SUDO_USER from alice was believed"
[[ "$(journal)" == *'"BASTOR_PEER_USER":"alice"'* ]] || fail "journal does not name alice"
[[ "$(journal)" == *'"BASTOR_PEER_UID":"61001"'* ]] || fail "journal does not give alice's uid"
count=$(entries)

# Someone not in the users group is told so, and nothing is written.
check "bob: status" 1 "You may not use the helper: ask an administrator to add you to the group $users_group." \
    as bob "$bastorctl" status
check "bob: run" 1 "You may not use the helper" as bob "$bastorctl" run --reason "e2e: bob" -- true
[ "$(entries)" = "$count" ] || fail "bob's refusals wrote entries"

# Another program with the socket's group, as alice: closed unanswered, and
# journald names it.
sleep 1.1 # past the notice limit of one a second
check "alice's own client" 0 "closed" \
    setpriv --reuid alice --rgid alice --egid nocta-bastor --init-groups -- "$raw_client" "$socket" '{"jsonrpc":"2.0","id":1,"method":"getState"}'
timeout 5 sh -c "until journalctl --no-pager -o json SYSLOG_IDENTIFIER=NoctaBastorHelper | grep -q BASTOR_PEER_EXE; do sleep 0.1; done" ||
    fail "no journald notice of the refused client"
notice=$(journal | grep BASTOR_PEER_EXE | tail -1)
[[ "$notice" == *"\"BASTOR_PEER_EXE\":\"$raw_client\""* && "$notice" == *'"BASTOR_PEER_UID":"61001"'* ]] ||
    fail "the notice does not name the program and uid: $notice"

# LD_PRELOAD: the loader ignores it for a setgid program, so the library's
# forged "completed" entry never reaches the helper from inside bastorctl.
forged=$("$bastorctl" log --json --limit 1 | sed 's/^\[//; s/\]$//; s/"approver":"alice"/"approver":"mallory"/')
forged=${forged//\\/\\\\}
line='{"jsonrpc":"2.0","id":7,"method":"recordEvent","params":{"eventJSON":"'${forged//\"/\\\"}'"}}'
check "alice: status with LD_PRELOAD" 0 "Bastor:        on" as alice env LD_PRELOAD="$forge" \
    BASTOR_FORGE_MARKER="$work/open/in-bastorctl" BASTOR_FORGE_LINE="$line" "$bastorctl" status
[ ! -e "$work/open/in-bastorctl" ] || fail "the preloaded library ran inside bastorctl"
# The same library does run in a program that is not setgid, and is refused there.
as alice env LD_PRELOAD="$forge" BASTOR_FORGE_MARKER="$work/open/in-true" BASTOR_FORGE_LINE="$line" /bin/true
[ -e "$work/open/in-true" ] || fail "the preloaded library did not run in /bin/true: the check above proves nothing"
[ ! -s "$work/open/in-true" ] || fail "the helper answered /bin/true: $(cat "$work/open/in-true")"
check "log after the forgery attempts" 0 "" "$bastorctl" log --json
[[ "$out" != *mallory* ]] || fail "a forged entry is in the log"
[ "$(entries)" = "$count" ] || fail "the forgery attempts wrote entries"

# ptrace, pidfd_getfd and /proc/<pid>/mem against a bastorctl waiting for input.
check "alice traces bastorctl" 0 "attach: EPERM" as alice "$trace_probe" "$bastorctl" run --stdin-file - \
    --reason "e2e: traced" -- cat
[[ "$out" == *"getfd: EPERM"* && "$out" == *"mem: EACCES"* ]] || fail "bastorctl could be reached: $out"
# Connected, and the group given up for good before reading its input.
[[ "$(tr -s '\t ' ' ' <<<"$out")" == *"gids: 61001 61001 61001 61001"* ]] || fail "bastorctl kept its group: $out"
check "alice traces cat" 0 "attach: ok" as alice "$trace_probe" /bin/cat
[[ "$out" == *"getfd: ok"* && "$out" == *"mem: ok"* ]] || fail "the probe cannot trace at all: $out"
[ "$(entries)" = "$count" ] || fail "the traced run wrote entries"

# A number beyond 64 bits is answered as invalid params with the call's own id.
check "alice: huge offset" 1 '{"jsonrpc":"2.0","id":1,"error":{"code":-32602,' \
    as alice "$bastorctl" call readAudit '{"offset":18446744073709551616,"limit":5}'

check "verify" 0 "intact ($count entries)" "$bastorctl" verify
echo "setgid client end to end: all checks passed"
