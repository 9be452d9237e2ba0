#!/usr/bin/env bash
# e2e_presence.sh BUILD_DIR PTY_CONVERSE: the approver's PAM authentication, for real, on a throwaway
# copy of this machine (overlayfs over /, tmpfs upper layer, chroot, own pid namespace): the build
# installed with cmake --install, a test user with a known password, the installed bastorctl driven
# on a pseudo-terminal as that user. Nothing reaches the host. Needs root, else exits 77.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"
# The pid namespace ends every process started here when this script ends.
e2e_inside || e2e_enter --pid --fork -- "$@"

build=$1 pty_converse=$2
user=presence-test password='Correct-Horse-7' wrong='not-the-password'
e2e_begin

# converse WHAT STATUS TEXT [EXPECT SEND]...: bastorctl run as the test user on a
# pseudo-terminal, answering as given; it must exit with STATUS and show TEXT.
# What it showed is left in $out. The command touches $marker when it runs.
marker=/tmp/ran
converse() {
    local what=$1 want=$2 text=$3 status=0
    shift 3
    rm -f "$root$marker"
    out=$(chroot "$root" setpriv --reuid="$user" --regid="$user" --init-groups \
        /usr/local/libexec/pty_converse "$@" -- \
        /usr/local/bin/bastorctl run --reason "presence: $what" -- touch "$marker" 2>&1) ||
        status=$?
    out=${out//$'\r'/}
    [ "$status" = "$want" ] || fail "$what: exit status $status, expected $want; output:"$'\n'"$out"
    [[ "$out" == *"$text"* ]] || fail "$what: expected '$text' in:"$'\n'"$out"
    [[ "$out" != *"$password"* && "$out" != *"$wrong"* ]] || fail "$what: a password was echoed:"$'\n'"$out"
}
as_root() { chroot "$root" /usr/local/bin/bastorctl "$@"; }
entries() { as_root verify | sed -n 's/^intact (\([0-9]*\) entries)$/\1/p'; }
events_since() { as_root log --offset "$1" | awk 'NR > 1 { print $3 }' | paste -sd' '; }
entry() { as_root log --offset "$1" --limit 1 --json; }

e2e_machine_copy
mkdir -p "$root/Library"
e2e_fresh "$root/Library"

# The groups first: installing may hand files to them. The user may use the
# helper; no person is ever in nocta-bastor.
chroot "$root" groupadd -f nocta-bastor
chroot "$root" groupadd -f nocta-bastor-users
chroot "$root" useradd --create-home --groups nocta-bastor-users "$user"
DESTDIR=$root cmake --install "$build" >/dev/null
# A staged install leaves the client's owner and mode to the installer.
chroot "$root" chown root:nocta-bastor /usr/local/bin/bastorctl
chroot "$root" chmod 2755 /usr/local/bin/bastorctl
install -D -m 0755 "$pty_converse" "$root/usr/local/libexec/pty_converse"
[ -f "$root/etc/pam.d/bastorctl" ] || fail "cmake --install put no PAM service file in /etc/pam.d"
echo "$user:$password" | chroot "$root" chpasswd
socket=$root/run/com.nocta.nocta.bastor.xpc
e2e_start_helper chroot "$root" /usr/local/sbin/NoctaBastorHelper
as_root enable >/dev/null
as_root audit on >/dev/null

start=$(entries)
converse "right password" 0 "Password: " 'Run as root? [y/N]' $'y\n' 'Password: ' "$password"$'\n'
[ -e "$root$marker" ] || fail "right password: the command did not run"
[ "$(events_since "$start")" = "requested approved completed" ] || fail "events: $(events_since "$start")"
[[ "$(entry $((start + 1)))" == *'"approval_method":"manual","approver":"'"$user"'","argv"'*'"auth_method":"password"'* ]] ||
    fail "right password: approved entry $(entry $((start + 1)))"

start=$(entries)
converse "three wrong passwords" 1 "The request was denied." 'Run as root? [y/N]' $'y\n' \
    'Password: ' "$wrong"$'\n' 'Password: ' "$wrong"$'\n' 'Password: ' "$wrong"$'\n'
[ ! -e "$root$marker" ] || fail "three wrong passwords: the command ran"
[ "$(events_since "$start")" = "requested denied" ] || fail "events: $(events_since "$start")"

start=$(entries)
converse "Ctrl-C at the password" 1 "The request was denied." 'Run as root? [y/N]' $'y\n' \
    'Password: ' $'\003'
[ ! -e "$root$marker" ] || fail "Ctrl-C: the command ran"
[ "$(events_since "$start")" = "requested denied" ] || fail "events: $(events_since "$start")"

# A module that only shows a message and lets the person through, as a
# fingerprint reader does.
cp "$root/etc/pam.d/bastorctl" "$work/pam.d-bastorctl"
printf '%s\n' 'auth required pam_echo.so Place your finger on the reader' \
    'auth required pam_permit.so' '@include common-account' >"$root/etc/pam.d/bastorctl"
start=$(entries)
converse "finger" 0 "Place your finger on the reader" 'Run as root? [y/N]' $'y\n'
[[ "$out" != *"Password"* ]] || fail "finger: asked for a password:"$'\n'"$out"
[[ "$(entry $((start + 1)))" == *'"auth_method":"biometry"'* ]] ||
    fail "finger: approved entry $(entry $((start + 1)))"
cp "$work/pam.d-bastorctl" "$root/etc/pam.d/bastorctl"

as_root auto-approval on >/dev/null
start=$(entries)
converse "auto-approval" 0 ""
[[ "$out" != *"Password"* ]] || fail "auto-approval asked for a password:"$'\n'"$out"
[ -e "$root$marker" ] || fail "auto-approval: the command did not run"
[[ "$(entry $((start + 1)))" == *'"approval_method":"auto"'* && "$(entry $((start + 1)))" != *auth_method* ]] ||
    fail "auto-approval: approved entry $(entry $((start + 1)))"
as_root auto-approval off >/dev/null

chroot "$root" chage --expiredate 0 "$user"
start=$(entries)
converse "expired account" 1 "The request was denied." 'Run as root? [y/N]' $'y\n' \
    'Password: ' "$password"$'\n'
[ ! -e "$root$marker" ] || fail "expired account: the command ran"
[ "$(events_since "$start")" = "requested denied" ] || fail "events: $(events_since "$start")"
chroot "$root" chage --expiredate -1 "$user"

echo "presence end to end: all checks passed"
