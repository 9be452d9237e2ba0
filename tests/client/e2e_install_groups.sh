#!/usr/bin/env bash
# e2e_install_groups.sh BUILD_DIR ALLOWED_CLIENT USERS_GROUP
#
# cmake --install on a machine without the helper's groups: in a throwaway
# copy of this machine (overlayfs over / with a tmpfs upper layer, then
# chroot, in a private mount namespace) it must create nocta-bastor and
# USERS_GROUP and leave bastorctl root:nocta-bastor, mode 2755. The real
# /etc is never written. Needs root, unshare and overlayfs, else exits 77.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"

build=$1 allowed=$2 users_group=$3
prefix=$(dirname "$(dirname "$allowed")")
has_groups() { getent group nocta-bastor >/dev/null || getent group "$users_group" >/dev/null; }

if ! e2e_inside; then
    ! has_groups || e2e_skip "this machine already has the groups"
    status=0
    e2e_run_inside -- "$@" || status=$?
    ! has_groups || { echo "FAIL: the groups reached this machine" >&2 && exit 1; }
    exit $status
fi

e2e_begin
e2e_machine_copy
# The install reads the build tree and the sources, which may sit on another
# file system than / or under /tmp, which the copy has fresh: bind both in.
for tree in "$build" "$(cd "$(dirname "$0")/../.." && pwd)"; do
    mkdir -p "$root$tree"
    mount --bind "$tree" "$root$tree"
done
mount -t tmpfs -o mode=0755 tmpfs "$root$prefix"
chroot "$root" cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    fail "cmake --install: $(cat "$work/install.log")"
chroot "$root" getent group nocta-bastor >/dev/null || fail "no group nocta-bastor"
chroot "$root" getent group "$users_group" >/dev/null || fail "no group $users_group"
mode=$(chroot "$root" stat -c "%U:%G %a" "$prefix/bin/bastorctl")
[ "$mode" = "root:nocta-bastor 2755" ] || fail "bastorctl is $mode"
echo "cmake --install made both groups and the setgid client"
