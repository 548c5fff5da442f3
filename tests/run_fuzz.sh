#!/usr/bin/env bash
# Runs the configuration-file fuzzer for a bounded time and prints how many inputs it executed.
# Builds nothing: configure <build-dir> with CC=clang CXX=clang++ -DVALTRIX_BUILD_FUZZERS=ON
# (packages: clang-14, libclang-rt-14-dev; llvm-14 gives symbolized stack traces) and build the
# target fuzz_flow_config first.
#   usage: tests/run_fuzz.sh <build-dir> [seconds=60] [extra libFuzzer flags...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=${1:?usage: run_fuzz.sh <build-dir> [seconds] [libFuzzer flags...]}
seconds=${2:-60}
shift $(($# >= 2 ? 2 : 1))

fuzzer="$build_dir/tests/fuzz_flow_config"
if [ ! -x "$fuzzer" ]; then
  echo "run_fuzz.sh: $fuzzer not found; build with -DVALTRIX_BUILD_FUZZERS=ON" >&2
  exit 2
fi
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ]; then
  for candidate in llvm-symbolizer llvm-symbolizer-14; do
    if command -v "$candidate" >/dev/null; then
      export ASAN_SYMBOLIZER_PATH=$(command -v "$candidate")
      break
    fi
  done
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}:detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}:halt_on_error=1"

# Inputs stay below 16 KiB: YAML aliases let a file name one point list from many flows, and
# every flow gets its own copy, so the work grows with the expanded document, not the bytes.
# The seeds stay untouched; new inputs go to a scratch corpus, crashes next to the build.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$artifacts" "$work/corpus"
log="$work/fuzz.log"

status=0
TMPDIR="$work" "$fuzzer" "$work/corpus" "$here/fuzz_corpus" \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=16384 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log" >&2
  echo "fuzz_flow_config: FAILED (exit $status) after ${executions:-?} executions;" \
    "reproducer in $artifacts" >&2
  exit "$status"
fi
echo "fuzz_flow_config: ${executions:-?} executions in ${seconds} s, no failure" \
  "($(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -n 1) MB peak RSS)"
