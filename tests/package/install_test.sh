#!/usr/bin/env bash
# install_test.sh DEB: installs, uses, removes and purges the package for real
# with dpkg, on a throwaway copy of this machine (an overlay of / with a tmpfs
# upper layer, in private mount and pid namespaces, entered with chroot), then
# builds examples/status-client against the installed library. Nothing on the
# host changes. Needs root, unshare and overlayfs, else exits 77.
set -euo pipefail

if [ -z "${BASTOR_OVERLAY:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount --pid --fork true 2>/dev/null; then
        echo "skipped: needs root and unshare"
        exit 77
    fi
    BASTOR_OVERLAY=1 exec unshare --mount --pid --fork --propagation private -- bash "$0" "$@"
fi

deb=$(realpath "$1")
examples=$(cd "$(dirname "$0")/../../examples" && pwd)
top=$(mktemp -d)
trap 'umount -R "$top" 2>/dev/null; rm -rf "$top"' EXIT
mount -t tmpfs tmpfs "$top"
mkdir "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
root=$top/root
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
# No systemd here: a fresh /run has no /run/systemd/system.
mount -t tmpfs -o mode=0755 tmpfs "$root/run"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
cp "$deb" "$root/tmp/nocta-bastor.deb"
cp -r "$examples/status-client" "$root/tmp/status-client"

chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    /bin/bash -s <<'INSIDE'
set -euo pipefail
data="/Library/Application Support/Nocta/Bastor"
socket=/run/com.nocta.nocta.bastor.xpc
helper_pid=
fail() { echo "FAIL: $*" >&2; [ ! -e /tmp/helper.log ] || sed 's/^/helper: /' /tmp/helper.log >&2; exit 1; }
# check WHAT TEXT COMMAND...: COMMAND must succeed and print TEXT; its output is left in $out.
check() {
    local what=$1 text=$2
    shift 2
    out=$("$@" 2>&1) || fail "$what failed:"$'\n'"$out"
    [[ "$out" == *"$text"* ]] || fail "$what: expected '$text' in:"$'\n'"$out"
}
start_helper() {
    /usr/sbin/NoctaBastorHelper >/tmp/helper.log 2>&1 &
    helper_pid=$!
    timeout 10 sh -c "until [ -S $socket ]; do sleep 0.1; done" || fail "no socket"
}
stop_helper() { kill "$helper_pid" && wait "$helper_pid" || true; }

check "dpkg -i" "systemd is not running here" dpkg -i /tmp/nocta-bastor.deb
getent group nocta-bastor >/dev/null || fail "no group nocta-bastor"
getent group nocta-bastor-users >/dev/null || fail "no group nocta-bastor-users"
[ "$(stat -c '%U:%G %a' /usr/bin/bastorctl)" = "root:nocta-bastor 2755" ] ||
    fail "bastorctl is $(stat -c '%U:%G %a' /usr/bin/bastorctl)"
[ -L /etc/systemd/system/sockets.target.wants/nocta-bastor.socket ] || fail "socket not enabled"

start_helper
[ "$(stat -c '%U:%G %a' $socket)" = "root:nocta-bastor 660" ] || fail "socket is $(stat -c '%U:%G %a' $socket)"
check status "Bastor:        off" bastorctl status
bastorctl enable >/dev/null && bastorctl audit on >/dev/null && bastorctl auto-approval on >/dev/null
check "status --json" '{"audit_enabled":true,"auto_approval":true,"enabled":true}' bastorctl status --json
check "approved run" "Runs:      /usr/bin/id" bastorctl run --reason "package test" -- id -u
check "log" "completed" bastorctl log --event completed --grep "package test"
check verify "intact (" bastorctl verify

# A client author's program, built against the installed package two ways.
cmake -S /tmp/status-client -B /tmp/by-cmake -G Ninja >/tmp/build.log 2>&1 &&
    cmake --build /tmp/by-cmake >>/tmp/build.log 2>&1 || fail "cmake build: $(cat /tmp/build.log)"
g++ -std=c++20 -o /tmp/by-pkg-config /tmp/status-client/main.cpp \
    $(pkg-config --cflags --libs bastor-client) || fail "pkg-config build"
ldd /tmp/by-cmake/status-client | grep -Eq 'libbastor-client.so.[0-9.]+ => (/usr)?/lib/x86_64-linux-gnu/' ||
    fail "status-client does not load the installed library: $(ldd /tmp/by-cmake/status-client)"
# The helper serves only the program at bastorctl's path: put the example there.
mount --bind /tmp/by-cmake/status-client /usr/bin/bastorctl
check "status-client" "auto-approval: yes" /usr/bin/bastorctl
umount /usr/bin/bastorctl
stop_helper

# Reinstalling (what an upgrade does) keeps the groups and the mode.
check "dpkg -i again" "" dpkg -i /tmp/nocta-bastor.deb
[ "$(stat -c '%U:%G %a' /usr/bin/bastorctl)" = "root:nocta-bastor 2755" ] || fail "reinstall lost bastorctl's mode"

dpkg -L nocta-bastor >/tmp/files
check "dpkg --remove" "" dpkg --remove nocta-bastor
[ ! -e /etc/systemd/system/sockets.target.wants/nocta-bastor.socket ] || fail "still enabled after remove"
check "dpkg --purge" "kept the audit log" dpkg --purge nocta-bastor
while read -r file; do
    if [ -L "$file" ] || { [ -e "$file" ] && [ ! -d "$file" ]; }; then fail "left behind: $file"; fi
done </tmp/files
for dir in /usr/include/BastorShared /usr/share/doc/nocta-bastor; do
    [ ! -e "$dir" ] || fail "left behind: $dir"
done
! dpkg-statoverride --list /usr/bin/bastorctl >/dev/null || fail "stat override left behind"
[ -s "$data/audit.jsonl" ] && [ -s "$data/state.json" ] || fail "purge took the audit log or state"
echo "package install, use, remove and purge: all checks passed"
INSIDE
