#!/usr/bin/env bash
# e2e_install_groups.sh BUILD_DIR ALLOWED_CLIENT USERS_GROUP
#
# cmake --install on a machine without the helper's groups: in a throwaway
# copy of this machine (overlayfs over / with a tmpfs upper layer, then
# chroot, in a private mount namespace) it must create nocta-bastor and
# USERS_GROUP and leave bastorctl root:nocta-bastor, mode 2755. The real
# /etc is never written. Needs root, unshare and overlayfs, else exits 77.
set -euo pipefail

build=$1 allowed=$2 users_group=$3
prefix=$(dirname "$(dirname "$allowed")")

if [ -z "${BASTOR_E2E_NAMESPACE:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        echo "skipped: needs root and unshare --mount"
        exit 77
    fi
    if getent group nocta-bastor >/dev/null || getent group "$users_group" >/dev/null; then
        echo "skipped: this machine already has the groups"
        exit 77
    fi
    scratch=$(mktemp -d)
    status=0
    BASTOR_E2E_NAMESPACE=1 BASTOR_SCRATCH=$scratch unshare --mount --propagation private -- \
        bash "$0" "$@" || status=$?
    rmdir "$scratch"
    if getent group nocta-bastor >/dev/null || getent group "$users_group" >/dev/null; then
        echo "FAIL: the groups reached this machine" >&2
        exit 1
    fi
    exit $status
fi

copy=$BASTOR_SCRATCH
mount -t tmpfs tmpfs "$copy"
mkdir "$copy/upper" "$copy/work" "$copy/root"
if ! mount -t overlay overlay -o "lowerdir=/,upperdir=$copy/upper,workdir=$copy/work" "$copy/root" 2>/dev/null; then
    echo "skipped: no overlayfs"
    exit 77
fi
for dir in /proc /dev /sys; do mount --rbind "$dir" "$copy/root$dir"; done
# The build tree may sit on another file system than /; the copy sees it too.
mount --bind "$build" "$copy/root$build"

# shellcheck disable=SC2016 # expanded inside the copy
chroot "$copy/root" bash -euo pipefail -c '
    build=$1 prefix=$2 users_group=$3
    mount -t tmpfs -o mode=0755 tmpfs "$prefix"
    cmake --install "$build" --prefix "$prefix" >/tmp/install.log 2>&1 || { cat /tmp/install.log; exit 1; }
    getent group nocta-bastor >/dev/null || { echo "FAIL: no group nocta-bastor"; exit 1; }
    getent group "$users_group" >/dev/null || { echo "FAIL: no group $users_group"; exit 1; }
    mode=$(stat -c "%U:%G %a" "$prefix/bin/bastorctl")
    [ "$mode" = "root:nocta-bastor 2755" ] || { echo "FAIL: bastorctl is $mode"; exit 1; }
' install "$build" "$prefix" "$users_group"
echo "cmake --install made both groups and the setgid client"
