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

# The installed demo finds its configuration beside itself, with no setup file sourced.
ROS_LOCALHOST_ONLY=1 AMENT_PREFIX_PATH= "$prefix/lib/valtrix_diagnostic_reporter/trace_demo_node" \
  >"$work/demo.log" 2>&1 &
demo_pid=$!
for _ in $(seq 600); do
  grep -q "ROS2 topic pub" "$work/demo.log" && break
  kill -0 "$demo_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "ROS2 topic pub: 'Status OK: home_pos_reached'" "$work/demo.log"; then
  echo "FAIL: the installed demo published nothing:"; cat "$work/demo.log"; exit 1
fi
kill -INT "$demo_pid"
status=0
wait "$demo_pid" || status=$?
demo_pid=
if [ "$status" -ne 0 ]; then
  echo "FAIL: the installed demo ended with status $status"; cat "$work/demo.log"; exit 1
fi
echo "installed demo: found its configuration, published, ended with 0 on SIGINT"

# The installed watchdog demo sits beside it and finds its own configuration the same way.
ROS_LOCALHOST_ONLY=1 AMENT_PREFIX_PATH= "$prefix/lib/valtrix_diagnostic_reporter/flow_watchdog_demo" \
  >"$work/watchdog.log" 2>&1 &
demo_pid=$!
for _ in $(seq 600); do
  grep -q "point overdue: gripper_closed" "$work/watchdog.log" && break
  kill -0 "$demo_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "ROS2 topic pub: 'Status Failed, point overdue: gripper_closed'" "$work/watchdog.log"; then
  echo "FAIL: the installed watchdog demo reported nothing:"; cat "$work/watchdog.log"; exit 1
fi
kill -INT "$demo_pid"
status=0
wait "$demo_pid" || status=$?
demo_pid=
if [ "$status" -ne 0 ]; then
  echo "FAIL: the installed watchdog demo ended with status $status"; cat "$work/watchdog.log"; exit 1
fi
echo "installed watchdog demo: found its configuration, reported the overdue point, ended with 0"
