# Sourced by end-to-end scripts that start a daemon: each daemon keeps its runs in
# cgroups below its own, and daemons sharing one cgroup would take each other's runs
# for leftovers. `own_cgroup_run COMMAND... &` starts a command in a cgroup of this
# script's own, keeping $! its pid (the function's subshell becomes the command);
# own_cgroup_cleanup kills what is left in it and removes it. Without a cgroup v2
# hierarchy both just run the command, as the daemon then falls back to process groups.
own_cgroup=$(awk '$0 ~ / - cgroup2 / { print $5; exit }' /proc/self/mountinfo)
[ -z "$own_cgroup" ] ||
    own_cgroup="$own_cgroup$(sed -n 's/^0:://p' /proc/self/cgroup | sed 's#/$##')/bastor-e2e-$$"
[ -z "$own_cgroup" ] || mkdir "$own_cgroup" 2>/dev/null || own_cgroup=

own_cgroup_run() {
    exec sh -c '[ -z "$1" ] || echo $$ >"$1/cgroup.procs"; shift; exec "$@"' sh "$own_cgroup" "$@"
}

own_cgroup_cleanup() {
    [ -n "$own_cgroup" ] || return 0
    echo 1 >"$own_cgroup/cgroup.kill" 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        grep -q '^populated 0' "$own_cgroup/cgroup.events" 2>/dev/null && break
        sleep 0.1
    done
    for dir in "$own_cgroup"/*/ "$own_cgroup"; do rmdir "$dir" 2>/dev/null || true; done
}
