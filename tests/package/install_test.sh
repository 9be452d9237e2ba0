#!/usr/bin/env bash
# install_test.sh DEB: installs, uses, removes and purges the package for real
# with dpkg, on a throwaway copy of this machine (an overlay of / with a tmpfs
# upper layer, in private mount and pid namespaces, entered with chroot), then
# builds examples/status-client against the installed library. Nothing on the
# host changes. Needs root, unshare and overlayfs, else exits 77.
set -euo pipefail
support=$(dirname "$0")/../support
source "$support/e2e.sh"
e2e_inside || e2e_enter --pid --fork -- "$@"

deb=$(realpath "$1")
examples=$(cd "$(dirname "$0")/../../examples" && pwd)
e2e_begin
e2e_machine_copy # no systemd there: a fresh /run has no /run/systemd/system
cp "$deb" "$root/tmp/nocta-bastor.deb"
cp -r "$examples/status-client" "$root/tmp/status-client"
cp "$support/e2e.sh" "$root/tmp/e2e.sh"

chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    /bin/bash -s <<'INSIDE'
set -euo pipefail
source /tmp/e2e.sh
e2e_begin

check "dpkg -i" 0 "systemd is not running here" dpkg -i /tmp/nocta-bastor.deb
getent group nocta-bastor >/dev/null || fail "no group nocta-bastor"
getent group nocta-bastor-users >/dev/null || fail "no group nocta-bastor-users"
[ "$(stat -c '%U:%G %a' /usr/bin/bastorctl)" = "root:nocta-bastor 2755" ] ||
    fail "bastorctl is $(stat -c '%U:%G %a' /usr/bin/bastorctl)"
[ -L /etc/systemd/system/sockets.target.wants/nocta-bastor.socket ] || fail "socket not enabled"

e2e_start_helper /usr/sbin/NoctaBastorHelper
[ "$(stat -c '%U:%G %a' $socket)" = "root:nocta-bastor 660" ] || fail "socket is $(stat -c '%U:%G %a' $socket)"
check status 0 "Bastor:        off" bastorctl status
bastorctl enable >/dev/null && bastorctl audit on >/dev/null && bastorctl auto-approval on >/dev/null
check "status --json" 0 '{"audit_enabled":true,"auto_approval":true,"enabled":true}' bastorctl status --json
check "approved run" 0 "Runs:      /usr/bin/id" bastorctl run --reason "package test" -- id -u
check "log" 0 "completed" bastorctl log --event completed --grep "package test"
check verify 0 "intact (" bastorctl verify

# A client author's program, built against the installed package two ways.
cmake -S /tmp/status-client -B /tmp/by-cmake -G Ninja >/tmp/build.log 2>&1 &&
    cmake --build /tmp/by-cmake >>/tmp/build.log 2>&1 || fail "cmake build: $(cat /tmp/build.log)"
g++ -std=c++20 -o /tmp/by-pkg-config /tmp/status-client/main.cpp \
    $(pkg-config --cflags --libs bastor-client) || fail "pkg-config build"
ldd /tmp/by-cmake/status-client | grep -Eq 'libbastor-client.so.[0-9.]+ => (/usr)?/lib/x86_64-linux-gnu/' ||
    fail "status-client does not load the installed library: $(ldd /tmp/by-cmake/status-client)"
# The helper serves only the program at bastorctl's path: put the example there.
mount --bind /tmp/by-cmake/status-client /usr/bin/bastorctl
check "status-client" 0 "auto-approval: yes" /usr/bin/bastorctl
umount /usr/bin/bastorctl
e2e_stop_helper || true

# Reinstalling (what an upgrade does) keeps the groups and the mode.
check "dpkg -i again" 0 "" dpkg -i /tmp/nocta-bastor.deb
[ "$(stat -c '%U:%G %a' /usr/bin/bastorctl)" = "root:nocta-bastor 2755" ] || fail "reinstall lost bastorctl's mode"

dpkg -L nocta-bastor >/tmp/files
check "dpkg --remove" 0 "" dpkg --remove nocta-bastor
[ ! -e /etc/systemd/system/sockets.target.wants/nocta-bastor.socket ] || fail "still enabled after remove"
check "dpkg --purge" 0 "kept the audit log" dpkg --purge nocta-bastor
while read -r file; do
    if [ -L "$file" ] || { [ -e "$file" ] && [ ! -d "$file" ]; }; then fail "left behind: $file"; fi
done </tmp/files
for dir in /usr/include/BastorShared /usr/share/doc/nocta-bastor; do
    [ ! -e "$dir" ] || fail "left behind: $dir"
done
! dpkg-statoverride --list /usr/bin/bastorctl >/dev/null || fail "stat override left behind"
[ -s "$data_dir/audit.jsonl" ] && [ -s "$data_dir/state.json" ] || fail "purge took the audit log or state"
echo "package install, use, remove and purge: all checks passed"
INSIDE
