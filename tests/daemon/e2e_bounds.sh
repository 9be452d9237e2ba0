#!/usr/bin/env bash
# e2e_bounds.sh HELPER LOAD_CLIENT BASTORCTL ALLOWED_CLIENT [SCALE]: the real daemon under
# load in a private mount namespace (tmpfs over /run, /Library): threads, abandoned
# executes, the connection cap, memory after large calls, reading large entries back,
# and the stop on SIGTERM. SCALE (default 1) multiplies the flood's clients; the
# figures measured are printed. Needs root and unshare, else exits 77. With
# BASTOR_SANITIZED set the resident size is printed but not bounded.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"
e2e_inside || e2e_enter -- "$@"

helper=$1 load_client=$2 bastorctl=$3 allowed=$4 scale=${5:-1}
log="$data_dir/audit.jsonl"
e2e_begin
status_of() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$helper_pid/status"; }
count() { grep -c "\"event\":\"$1\"" "$log" || true; }
value() { awk -v key="$1" '$1 == key { print $2 }' "$work/out"; }
now() { date +%s.%N; }

e2e_fresh /run /Library
# The highest thread count and resident size seen while sampling.
start_sampler() {
    echo "0 0" >"$work/peak"
    (
        max_threads=0 max_rss=0
        while :; do
            threads=$(status_of Threads) rss=$(status_of VmRSS)
            [ "${threads:-0}" -le "$max_threads" ] || max_threads=$threads
            [ "${rss:-0}" -le "$max_rss" ] || max_rss=$rss
            echo "$max_threads $max_rss" >"$work/peak.new" && mv "$work/peak.new" "$work/peak"
            sleep 0.05
        done
    ) &
    sampler_pid=$!
    e2e_pids+=("$sampler_pid")
}
stop_sampler() { kill "$sampler_pid"; wait "$sampler_pid" 2>/dev/null || true; sampler_pid=; }
client() { "$allowed" "$@" >"$work/out"; }

e2e_serve "$bastorctl" "$allowed"
e2e_start_helper "$helper"
"$allowed" audit on >/dev/null && "$allowed" enable >/dev/null
e2e_serve "$load_client" "$allowed"
echo "idle: threads $(status_of Threads), rss $(status_of VmRSS) KiB"

# Clients that leave mid-queue: what had not started never runs, and says so.
clients=$((40 * scale))
mkdir "$work/markers"
start_sampler
client flood "$socket" "$clients" 64 1 "$work/markers" 3000
timeout 120 sh -c "until [ \$(grep -c '\"event\":\"approved\"' '$log') -eq \
    \$((\$(grep -c '\"event\":\"completed\"' '$log') + \$(grep -c '\"event\":\"failed\"' '$log'))) ]; \
    do sleep 0.2; done" || fail "executes still open after the clients left"
stop_sampler
read -r threads rss <"$work/peak"
echo "flood of $clients x 64, clients gone after 3 s: peak threads $threads, rss $rss KiB;" \
    "approved $(count approved), completed $(count completed), failed $(count failed)"
[ "$threads" -lt 64 ] || fail "$threads threads under load"
ran=$(find "$work/markers" -type f | wc -l)
[ "$ran" -eq "$(count completed)" ] || fail "$ran commands started, $(count completed) completed"
abandoned=$(grep -c 'The client went away before the command started; it was not run.' "$log" || true)
[ "$abandoned" -eq "$(count failed)" ] && [ "$abandoned" -gt 0 ] || fail "$abandoned abandoned"

# Clients that stay get every reply: a result or, past the queue, busy.
start_sampler
client flood "$socket" $((20 * scale)) 64 0.01 "$work/markers"
stop_sampler
read -r threads rss <"$work/peak"
echo "flood of $((20 * scale)) x 64 answered: $(paste -sd' ' "$work/out"), peak threads $threads"
[ $(($(value results) + $(value busy))) -eq $((20 * scale * 64)) ] || fail "replies missing"
[ "$threads" -lt 64 ] || fail "$threads threads under load"

# The connection cap: 1,024 served, the rest closed at once.
client connections "$socket" 1100
echo "1100 connections: $(paste -sd' ' "$work/out"), threads $(status_of Threads)"
[ "$(value results)" -eq 1024 ] && [ "$(value closed)" -eq 76 ] || fail "cap not kept"

# Memory: eight concurrent 15 MiB calls, then back near the idle size.
sleep 1
idle=$(status_of VmRSS)
start_sampler
client events "$socket" 8 $((15 * 1024 * 1024))
[ "$(value results)" -eq 8 ] || fail "large events: $(paste -sd' ' "$work/out")"
stop_sampler
read -r threads peak <"$work/peak"
sleep 5
after=$(status_of VmRSS)
echo "8 x 15 MiB recordEvent: rss idle $idle KiB, peak $peak KiB, 5 s after $after KiB"
# Nothing of a large call stays, not even the last entry written. The
# sanitizers' allocator keeps what is freed in quarantine: no bound there.
[ -n "${BASTOR_SANITIZED:-}" ] || [ "$after" -le $((idle + 16 * 1024)) ] ||
    fail "rss $after KiB stays above idle $idle KiB"

# bastorctl reads every page the helper produced, shrinking pages that are too
# large: entries of 2 MiB and of 15 MiB, in a log of their own.
e2e_stop_helper
rm "$data_dir"/audit*.jsonl
e2e_start_helper "$helper"
client events "$socket" 12 $((2 * 1024 * 1024))
client events "$socket" 2 $((15 * 1024 * 1024))
e2e_serve "$bastorctl" "$allowed"
"$allowed" log --json --limit 100000 >"$work/entries" || fail "bastorctl log failed"
entries=$(grep -o '"seq":' "$work/entries" | wc -l)
"$allowed" verify >"$work/out" || fail "verify: $(cat "$work/out")"
echo "bastorctl log: $entries entries, $(stat -c %s "$work/entries") bytes; $(cat "$work/out")"
[ "$entries" -eq 14 ] || fail "log showed $entries entries"
e2e_serve "$load_client" "$allowed"

# SIGTERM under load ends the daemon within about 10 s with a complete log.
rm -rf "$work/markers" && mkdir "$work/markers"
"$allowed" flood "$socket" "$clients" 64 30 "$work/markers" >/dev/null &
flood_pid=$!
# Four running and the queue full.
timeout 60 sh -c "until [ \$(ls '$work/markers' | wc -l) -ge 4 ] &&
    [ \$(grep -c '\"event\":\"approved\"' '$log') -ge 1028 ]; do sleep 0.1; done" ||
    fail "the queue did not fill"
started=$(now)
status=0
e2e_stop_helper || status=$?
stopped=$(now)
kill "$flood_pid" 2>/dev/null || true
elapsed=$(awk -v a="$started" -v b="$stopped" 'BEGIN { printf "%.1f", b - a }')
echo "SIGTERM under load: exit status $status after $elapsed s;" \
    "approved $(count approved), completed $(count completed), failed $(count failed)"
[ "$status" -eq 0 ] || fail "exit status $status"
awk -v e="$elapsed" 'BEGIN { exit !(e < 10) }' || fail "stop took $elapsed s"
[ "$(count approved)" -eq $(($(count completed) + $(count failed))) ] || fail "open executes"
e2e_start_helper "$helper"
e2e_serve "$bastorctl" "$allowed"
check "log after the stop" 0 "intact (" "$allowed" verify
echo "bounds end to end: all checks passed"
