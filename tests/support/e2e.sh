# Sourced by the end-to-end scripts: the set-up they share. Sourcing does nothing
# by itself. Outside the namespace a script calls e2e_enter (or e2e_run_inside);
# inside, e2e_begin first, then whatever it needs of the rest. Everything the
# functions start or mount is gone when the script ends: the mounts with the
# namespace, the processes and the cgroup with e2e_begin's exit trap.

socket=/run/com.nocta.nocta.bastor.xpc
data_dir="/Library/Application Support/Nocta/Bastor"

e2e_skip() {
    echo "skipped: $*"
    exit 77
}

e2e_inside() { [ -n "${BASTOR_E2E_NAMESPACE:-}" ]; }

# e2e_run_inside [UNSHARE-OPTION...] -- ARGS...: exits 77 unless root may unshare;
# runs this script again with ARGS in a private mount namespace (and whatever
# else the options ask for) and returns its status.
e2e_run_inside() {
    local options=()
    while [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    shift
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount "${options[@]}" true 2>/dev/null; then
        e2e_skip "needs root and unshare --mount ${options[*]}"
    fi
    mkdir -p /Library # a mount point
    BASTOR_E2E_NAMESPACE=1 unshare --mount --propagation private "${options[@]}" -- bash "$0" "$@"
}

# e2e_enter [UNSHARE-OPTION...] -- ARGS...: e2e_run_inside, then exits with its status.
e2e_enter() {
    local status=0
    e2e_run_inside "$@" || status=$?
    exit $status
}

# Inside: $work, a cgroup of this test's own when there is a writable cgroup v2
# (each daemon keeps its runs in cgroups below its own, and daemons sharing one
# would take each other's runs for leftovers), and the cleanup, which keeps the
# script's exit status. e2e_pids lists what to end; e2e_cleanups, commands to
# run once it has ended, last added first.
e2e_begin() {
    work=$(mktemp -d)
    e2e_pids=() e2e_cleanups=()
    own_cgroup=$(awk '$0 ~ / - cgroup2 / { print $5; exit }' /proc/self/mountinfo)
    [ -z "$own_cgroup" ] ||
        own_cgroup="$own_cgroup$(sed -n 's/^0:://p' /proc/self/cgroup | sed 's#/$##')/bastor-e2e-${work##*.}"
    [ -z "$own_cgroup" ] || mkdir "$own_cgroup" 2>/dev/null || own_cgroup=
    trap e2e_cleanup EXIT
}

e2e_cleanup() {
    local status=$? i pid
    for pid in "${e2e_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [ -n "$own_cgroup" ]; then
        echo 1 >"$own_cgroup/cgroup.kill" 2>/dev/null || true
        wait_for 10 grep -qx 'populated 0' "$own_cgroup/cgroup.events" || true
        find "$own_cgroup" -depth -type d -exec rmdir {} \; 2>/dev/null || true
    fi
    for pid in "${e2e_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    for ((i = ${#e2e_cleanups[@]} - 1; i >= 0; i--)); do eval "${e2e_cleanups[i]}" || true; done
    rm -rf --one-file-system "$work" || true
    exit "$status"
}

fail() {
    echo "FAIL: $*" >&2
    [ ! -s "$work/helper.log" ] || sed 's/^/helper: /' "$work/helper.log" >&2
    exit 1
}

# check WHAT STATUS TEXT COMMAND...: COMMAND must exit with STATUS and show TEXT
# on stdout or stderr; what it showed, less carriage returns, is left in $out.
check() {
    local what=$1 want=$2 text=$3 status=0
    shift 3
    out=$("$@" 2>&1) || status=$?
    out=${out//$'\r'/}
    [ "$status" = "$want" ] || fail "$what: exit status $status, expected $want; output:"$'\n'"$out"
    [[ "$out" == *"$text"* ]] || fail "$what: expected '$text' in:"$'\n'"$out"
}

# wait_for SECONDS COMMAND...: until COMMAND succeeds; fails after SECONDS.
wait_for() {
    local tries=$(($1 * 20))
    shift
    until "$@"; do
        ((--tries > 0)) || return 1
        sleep 0.05
    done
}

# e2e_fresh DIRECTORY...: an empty tmpfs over each that exists.
e2e_fresh() {
    local dir
    for dir; do [ ! -d "$dir" ] || mount -t tmpfs -o mode=0755 tmpfs "$dir"; done
}

# e2e_serve PROGRAM ALLOWED: a root-owned copy of PROGRAM at ALLOWED, the one
# client path the daemon admits; again with another PROGRAM replaces it.
e2e_serve() {
    install -m 0755 -o root -g root "$1" "$work/client"
    if mountpoint -q "$2"; then
        umount "$2"
    elif [ ! -e "$2" ]; then
        mkdir -p "$(dirname "$2")"
        mount -t tmpfs -o mode=0755 tmpfs "$(dirname "$2")"
        touch "$2"
    fi
    mount --bind "$work/client" "$2"
}

# A journald of the namespace's own, on the fresh /run.
e2e_journald() {
    [ -x /lib/systemd/systemd-journald ] || e2e_skip "no systemd-journald"
    /lib/systemd/systemd-journald >"$work/journald.log" 2>&1 &
    e2e_pids+=($!)
    wait_for 10 test -S /run/systemd/journal/socket || fail "journald did not start"
}

# e2e_start_helper COMMAND...: COMMAND in this test's cgroup, its output in
# $work/helper.log, its pid in $helper_pid; returns once $socket is there.
e2e_start_helper() {
    rm -f "$socket"
    sh -c '[ -z "$1" ] || echo $$ >"$1/cgroup.procs"; shift; exec "$@"' sh "$own_cgroup" "$@" \
        >>"$work/helper.log" 2>&1 &
    helper_pid=$!
    e2e_pids+=("$helper_pid")
    wait_for 10 test -S "$socket" || fail "no socket at $socket"
}

# e2e_stop_helper [SIGNAL]: returns the helper's exit status.
e2e_stop_helper() {
    kill -"${1:-TERM}" "$helper_pid"
    wait "$helper_pid"
}

# A throwaway copy of this machine at $root: an overlay with / below and a
# tmpfs above, /proc, /dev and /sys in it, fresh /run and /tmp; for chroot.
e2e_machine_copy() {
    mkdir "$work/machine"
    mount -t tmpfs -o mode=0700 tmpfs "$work/machine"
    e2e_cleanups+=('umount -R -l "$work/machine"')
    mkdir "$work/machine/upper" "$work/machine/work" "$work/machine/root"
    root=$work/machine/root
    mount -t overlay overlay -o "lowerdir=/,upperdir=$work/machine/upper,workdir=$work/machine/work" \
        "$root" 2>/dev/null || e2e_skip "no overlayfs"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=0755 tmpfs "$root/run"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
}
