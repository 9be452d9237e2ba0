#!/usr/bin/env bash
# e2e_witness.sh BASTORCTL HELPER RESEAL ALLOWED_CLIENT: the audit log against its journald
# witnesses. A real journald runs in a private mount and network namespace (tmpfs over /run,
# /Library, /var/log); a collector (systemd-journal-remote fed by systemd-journal-upload) listens
# on the namespace's own loopback. Needs root, unshare and journald, else exits 77.
set -euo pipefail
source "$(dirname "$0")/../support/e2e.sh"
e2e_inside || e2e_enter --net -- "$@"

built_bastorctl=$1 helper=$2 reseal=$3 bastorctl=$4
unset SUDO_USER
e2e_begin
fresh_copy() { rm -rf "$work/copy" && cp -a "$data_dir" "$work/copy"; }

e2e_fresh /run /Library /var/log
mkdir -p /var/log/journal
e2e_serve "$built_bastorctl" "$bastorctl"
e2e_journald
e2e_start_helper "$helper"

"$bastorctl" audit on >/dev/null
"$bastorctl" enable >/dev/null
"$bastorctl" auto-approval on >/dev/null
"$bastorctl" run --reason "e2e: one" -- true >/dev/null
check "a failing command" 3 "" "$bastorctl" run --reason "e2e: two" -- sh -c 'exit 3'
journalctl --sync

# Every line has its journald record, field by field.
journalctl -o json SYSLOG_IDENTIFIER=NoctaBastorHelper >"$work/journal.json"
python3 - "$data_dir/audit.jsonl" "$work/journal.json" <<'PY' || fail "witness fields differ"
import hashlib, json, sys
lines = open(sys.argv[1], "rb").read().split(b"\n")[:-1]
records = {}
for text in open(sys.argv[2]):
    record = json.loads(text)
    if "BASTOR_SEQ" in record:
        assert record["BASTOR_SEQ"] not in records, "two records for one entry"
        records[record["BASTOR_SEQ"]] = record
assert len(records) == len(lines) == 7, (len(records), len(lines))
for line in lines:
    entry = json.loads(line)
    record = records[str(entry["seq"])]
    want = {
        "MESSAGE": "Bastor event %s for %s" % (entry["event"], entry["request_id"]),
        "BASTOR_ENTRY_ID": entry["id"], "BASTOR_ENTRY_HASH": entry["hash"],
        "BASTOR_LINE_SHA256": hashlib.sha256(line).hexdigest(),
        "BASTOR_PREV_HASH": entry["prev_hash"], "BASTOR_EVENT": entry["event"],
        "BASTOR_REQUEST_ID": entry["request_id"], "BASTOR_LOG_FILE": "audit.jsonl",
        "BASTOR_EXIT_CODE": str(entry["exit_code"]) if "exit_code" in entry else None,
        "BASTOR_APPROVER": entry.get("approver"),
    }
    for name, value in want.items():
        assert record.get(name) == value, (entry["seq"], name, record.get(name), value)
    assert json.loads(record["BASTOR_ARGV"]) == entry["argv"], entry["seq"]
PY
check "witnessed log" 0 "intact (7 entries, 7 witnessed)" "$bastorctl" verify --witness
[[ "$out" == *"the witness starts at seq 1"* ]] || fail "no start of the witness in: $out"

# A rotation: the live file moves aside while the helper is down, and the chain goes on by hash.
e2e_stop_helper || true
mv "$data_dir/audit.jsonl" "$data_dir/audit-2026-01-01T00-00-00Z.jsonl"
e2e_start_helper "$helper"
"$bastorctl" run --reason "e2e: three" -- true >/dev/null
journalctl --sync
check "across a rotation" 0 "intact (10 entries, 10 witnessed)" "$bastorctl" verify --witness

# Whoever can write the log cuts its end, or rewrites a line and seals the chain again.
fresh_copy
head -n -2 "$data_dir/audit.jsonl" >"$work/copy/audit.jsonl"
check "cut log" 1 "truncated: the log ends at seq 8, but seq 10 was witnessed" \
    "$bastorctl" verify --witness --log-dir "$work/copy"
fresh_copy
sed -i '1s/e2e: three/e2e: nothing to see/' "$work/copy/audit.jsonl"
"$reseal" "$work/copy/audit.jsonl"
check "rewritten log" 1 "rewritten at seq 8: it differs from its witness" \
    "$bastorctl" verify --witness --log-dir "$work/copy"

# A collector: journald forwarded with systemd-journal-upload to systemd-journal-remote.
ip link set lo up
mkdir "$work/collector"
/lib/systemd/systemd-journal-remote --listen-http=127.0.0.1:19532 --output="$work/collector/" \
    --split-mode=host >"$work/remote.log" 2>&1 &
remote_pid=$!
e2e_pids+=("$remote_pid")
# Listening on 19532, or gone.
wait_for 10 sh -c "grep -q :4C4C /proc/net/tcp || ! kill -0 $remote_pid" || fail "no collector"
kill -0 "$remote_pid" || fail "no collector: $(cat "$work/remote.log")"
timeout 30 /lib/systemd/systemd-journal-upload --url=http://127.0.0.1:19532 --follow=no \
    >"$work/upload.log" 2>&1 || fail "upload failed: $(cat "$work/upload.log")"
kill "$remote_pid" && wait "$remote_pid" || true
fresh_copy
check "collected witness" 0 "intact (10 entries, 10 witnessed)" \
    "$bastorctl" verify --witness-dir "$work/collector" --log-dir "$work/copy"
head -n -1 "$data_dir/audit.jsonl" >"$work/copy/audit.jsonl"
check "collected witness, cut log" 1 "truncated: the log ends at seq 9, but seq 10 was witnessed" \
    "$bastorctl" verify --witness-dir "$work/collector" --log-dir "$work/copy"
echo "witness end to end: all checks passed"
