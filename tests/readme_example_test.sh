#!/usr/bin/env bash
# Installs the build, checks that no installed file names the build tree, then builds and runs
# the example project of README.md ("Use it in your CMake project") against that install, and
# runs the installed demo node until its first event and the installed watchdog demo until its
# first overdue report. Usage: readme_example_test.sh BUILD SOURCE
set -euo pipefail
build_dir=$(realpath "$1")
source_dir=$(realpath "$2")
work=$(mktemp -d /tmp/valtrix_readme_XXXXXX)
demo_pid=
cleanup() {
  [ -n "$demo_pid" ] && kill "$demo_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
if leaks=$(grep -rl -- "$build_dir" "$prefix"); then
  echo "FAIL: installed files name the build tree $build_dir:"; echo "$leaks"; exit 1
fi
echo "install: no installed file names the build tree"

# Every fenced block after a '<!-- example: NAME -->' line becomes the file NAME.
mkdir -p "$work/example"
python3 - "$source_dir/README.md" "$work/example" <<'PY'
import os, re, sys
readme, out = sys.argv[1], sys.argv[2]
text = open(readme, encoding="utf-8").read()
blocks = re.findall(r"<!-- example: (\S+) -->\n```[a-z]*\n(.*?)```", text, re.S)
if {name for name, _ in blocks} != {"CMakeLists.txt", "flows.yaml", "main.cpp"}:
    sys.exit(f"README examples found: {[name for name, _ in blocks]}")
for name, body in blocks:
    with open(os.path.join(out, name), "w", encoding="utf-8") as f:
        f.write(body)
PY

cmake -S "$work/example" -B "$work/example-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example-build" >/dev/null
cd "$work/example"
if ! output=$(ROS_LOCALHOST_ONLY=1 "$work/example-build/pick_and_place" flows.yaml 2>&1); then
  echo "FAIL: the README example exited with an error:"; echo "$output"; exit 1
fi
if ! grep -q "^flow pick: verdict 0$" <<<"$output"; then
  echo "FAIL: the README example did not print its verdict:"; echo "$output"; exit 1
fi
echo "README example: built against the install, ran, verdict 0"

# run_installed PROGRAM LINE: runs an installed program, with no setup file sourced, until it
# logs LINE (it must find its configuration beside itself to get there), then ends it with
# SIGINT, which must give status 0.
run_installed() {
  local program=$1 line=$2 log="$work/$1.log"
  ROS_LOCALHOST_ONLY=1 AMENT_PREFIX_PATH= "$prefix/lib/valtrix_diagnostic_reporter/$program" \
    >"$log" 2>&1 &
  demo_pid=$!
  for _ in $(seq 600); do
    grep -qF "$line" "$log" && break
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -qF "$line" "$log"; then
    echo "FAIL: the installed $program never logged: $line"; cat "$log"; exit 1
  fi
  kill -INT "$demo_pid"
  local status=0
  wait "$demo_pid" || status=$?
  demo_pid=
  if [ "$status" -ne 0 ]; then
    echo "FAIL: the installed $program ended with status $status"; cat "$log"; exit 1
  fi
  echo "installed $program: found its configuration, logged '$line', ended with 0 on SIGINT"
}

run_installed trace_demo_node "ROS2 topic pub: 'Status OK: home_pos_reached'"
run_installed flow_watchdog_demo "ROS2 topic pub: 'Status Failed, point overdue: gripper_closed'"
