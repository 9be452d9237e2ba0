#!/usr/bin/env bash
# audit_durability.sh [BUILD_DIR]: durable appends on tmpfs and on ext4 in a loop file, and
# `bastorctl verify --witness` against the plain chain walk on a 256 MiB log whose every entry a
# real journald witnessed. Runs as root in a private mount namespace; leaves nothing behind.
set -euo pipefail
build=${1:-build/release}
if [ -z "${BASTOR_BENCH_NAMESPACE:-}" ]; then
    BASTOR_BENCH_NAMESPACE=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi
bench=$build/bench/bench_audit_durability bastorctl=$build/bastorctl/bastorctl
work=$(mktemp -d)
journald=
trap '[ -z "$journald" ] || kill "$journald"; umount -l "$work"/* 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir "$work/tmpfs" "$work/ext4"
mount -t tmpfs tmpfs "$work/tmpfs"
truncate -s 2G "$work/ext4.img"
mkfs.ext4 -q "$work/ext4.img"
mount -o loop "$work/ext4.img" "$work/ext4"
"$bench" "$work/tmpfs"
"$bench" "$work/ext4"

# A log of 256 MiB, every entry witnessed by a journald of its own.
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /var/log
mkdir -p /run/systemd/journal /var/log/journal
/lib/systemd/systemd-journald &
journald=$!
timeout 10 sh -c 'until [ -S /run/systemd/journal/socket ]; do sleep 0.05; done'
"$bench" --fill "$work/tmpfs/log" 256
journalctl --sync
mkdir "$work/empty"
plain=() witnessed=()
for round in 1 2 3 4 5; do
    start=$(date +%s.%N)
    "$bastorctl" verify --witness --log-dir "$work/tmpfs/log" --witness-dir "$work/empty" >/dev/null
    plain+=("$(echo "$(date +%s.%N) - $start" | bc)")
    start=$(date +%s.%N)
    "$bastorctl" verify --witness --log-dir "$work/tmpfs/log" >"$work/out"
    witnessed+=("$(echo "$(date +%s.%N) - $start" | bc)")
done
median() { printf '%s\n' "$@" | sort -n | sed -n 3p; }
p=$(median "${plain[@]}") w=$(median "${witnessed[@]}")
echo "verify, $(du -sm "$work/tmpfs/log" | cut -f1) MiB log: $(head -1 "$work/out")"
echo "  chain walk only (empty journal):  ${p} s   (baseline)"
echo "  chain walk + journal witness:     ${w} s   ($(echo "scale=2; $w / $p" | bc)x, target <= 1.20x)"
