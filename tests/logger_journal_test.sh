#!/bin/sh
# Checks the journal entries of the logger against a real systemd-journald, started in a private
# mount namespace so that neither the machine's journal nor its /run is touched.
#   logger_journal_test.sh <probe executable> <probe source file>
# Exits 77 (skipped) where that cannot be arranged: not root, no unshare, no journald.
set -eu

probe=$1
source_file=$2
journald=/lib/systemd/systemd-journald

if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || [ ! -x "$journald" ] \
    || ! command -v journalctl >/dev/null || ! command -v python3 >/dev/null; then
  echo "skipped: needs root, unshare, $journald, journalctl and python3"
  exit 77
fi

if [ "${VALTRIX_IN_JOURNAL_NAMESPACE:-}" != 1 ]; then
  VALTRIX_IN_JOURNAL_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

# From here on: inside the private mount namespace.
mount -t tmpfs tmpfs /run/systemd
mount -t tmpfs tmpfs /run/log
[ -d /var/log/journal ] && mount -t tmpfs tmpfs /var/log/journal
work=$(mktemp -d)
journald_pid=
cleanup() {
  if [ -n "$journald_pid" ]; then
    kill "$journald_pid" 2>/dev/null || true
    wait "$journald_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# wait_for <seconds> <command...>: polls the command until it succeeds or the deadline passes.
wait_for() {
  deadline=$(($(date +%s) + $1))
  shift
  until "$@"; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      return 1
    fi
    sleep 0.05
  done
}

run_probe() {
  SPDLOG_STDOUT=true SPDLOG_SYSTEMD=true SPDLOG_LEVEL=debug "$probe" >"$work/stdout" 2>"$work/stderr"
}

"$journald" >"$work/journald.log" 2>&1 &
journald_pid=$!
if ! wait_for 20 test -S /run/systemd/journal/socket; then
  echo "FAIL: journald did not open its socket"; cat "$work/journald.log"; exit 1
fi

run_probe
entries() {
  journalctl --directory /run/log/journal -o json SYSLOG_IDENTIFIER=spdlog >"$work/entries.json" 2>/dev/null \
    && [ "$(wc -l <"$work/entries.json")" -ge 4 ]
}
if ! wait_for 20 entries; then
  echo "FAIL: the journal holds fewer than four entries of the probe"; cat "$work/entries.json"; exit 1
fi

line_of() { grep -n "// probe:$1\$" "$source_file" | cut -d: -f1; }
python3 - "$work/entries.json" "$source_file" "$(line_of debug)" "$(line_of info)" \
    "$(line_of warn)" "$(line_of error)" <<'PY'
import json, os, sys

entries_file, source_file = sys.argv[1], sys.argv[2]
lines = sys.argv[3:7]
expected = [
    {"MESSAGE": "  1 [DEBUG] probe debug line", "PRIORITY": "7", "CODE_LINE": lines[0], "CODE_FUNC": "main"},
    {"MESSAGE": "  2 [INFO] probe info line", "PRIORITY": "6", "CODE_LINE": lines[1], "CODE_FUNC": "main"},
    {"MESSAGE": "  3 [WARN] probe warn{}\\n line", "PRIORITY": "4", "CODE_LINE": lines[2], "CODE_FUNC": "main"},
    {"MESSAGE": "  4 [ERROR] probe error line", "PRIORITY": "3", "CODE_LINE": lines[3], "CODE_FUNC": "operator()"},
]
for entry in expected:
    entry["SYSLOG_IDENTIFIER"] = "spdlog"
    # Sources are named relative to the project's root, as the compiler is told to name them.
    project_root = os.path.dirname(os.path.dirname(source_file))
    entry["CODE_FILE"] = "./" + os.path.relpath(source_file, project_root)

with open(entries_file) as f:
    actual = [json.loads(line) for line in f if line.strip()]
failures = 0
if len(actual) != len(expected):
    print(f"FAIL: {len(actual)} entries, expected {len(expected)}")
    failures += 1
for want, got in zip(expected, actual):
    for field, value in want.items():
        if got.get(field) != value:
            print(f"FAIL: {field} is {got.get(field)!r}, expected {value!r} (entry {got.get('MESSAGE')!r})")
            failures += 1
if failures:
    sys.exit(1)
print("journal entries: all six fields match for", len(expected), "entries")
PY

# With journald gone its socket remains and refuses connections: every journal write fails.
# spdlog's error handler reports that on stderr; the caller and the console lines are unaffected.
kill "$journald_pid"
wait "$journald_pid" 2>/dev/null || true
journald_pid=
if ! run_probe; then
  echo "FAIL: the probe failed when journal writes failed"; cat "$work/stderr"; exit 1
fi
if ! grep -q "Failed writing to systemd" "$work/stderr"; then
  echo "FAIL: no journal write error was reported"; cat "$work/stderr"; exit 1
fi
if [ "$(wc -l <"$work/stdout")" -ne 4 ]; then
  echo "FAIL: expected four console lines"; cat "$work/stdout"; exit 1
fi
echo "failed journal writes: reported by spdlog, console lines intact, probe exited 0"
