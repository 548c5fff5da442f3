#!/usr/bin/env bash
# Runs the README's "Building in a ROS 2 workspace" commands against a real ROS 2 humble: builds
# valtrix_protocol and this package with colcon (tests on), runs `colcon test` (which fails the
# script on a failing test), then `ros2 run`s the demo until its first event and ends it with
# Ctrl-C. Prints the time of each colcon command.
# Usage: ros2_workspace_test.sh SOURCE UNDERLAY PROTOCOL_SOURCE WORKSPACE [STANDIN_BUILD]
#   SOURCE          this checkout, copied into the workspace in place of the README's clone
#   UNDERLAY        the ROS 2 prefix whose setup.bash is sourced (the README's /opt/ros/humble)
#   PROTOCOL_SOURCE the valtrix_protocol package to copy into the workspace
#   WORKSPACE       the workspace folder (the README's ~/ros2_ws); emptied first
#   STANDIN_BUILD   a standalone build of this checkout, for the tests that hold the stand-in's
#                   programs to real rclcpp (skipped without it)
# Extra colcon build arguments come from VALTRIX_COLCON_CMAKE_ARGS (space-separated).
set -euo pipefail
source_dir=$(realpath "$1")
underlay=$(realpath "$2")
protocol_dir=$(realpath "$3")
workspace=$4
standin_build=${5:-}

# The README's commands, in order.
commands=$(python3 - "$source_dir/README.md" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
block = re.search(r"<!-- ros2-workspace -->\n```sh\n(.*?)```", text, re.S)
sys.exit("README.md has no '<!-- ros2-workspace -->' block") if not block else print(block.group(1), end="")
PY
)

rm -rf "$workspace"
workspace=$(realpath -m "$workspace")
mkdir -p "$(dirname "$workspace")"

# Options the README leaves to colcon's defaults: a Release build without debug information,
# warnings as errors, and the interpreter the underlay's Python packages were built for.
defaults=$(mktemp /tmp/valtrix_colcon_defaults_XXXXXX.yaml)
trap 'rm -f "$defaults"' EXIT
cmake_args=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG"
  -DVALTRIX_WERROR=ON -DPython3_EXECUTABLE=/usr/bin/python3)
[ -n "$standin_build" ] && cmake_args+=("-DVALTRIX_STANDIN_BUILD_DIR=$(realpath "$standin_build")")
# shellcheck disable=SC2206
cmake_args+=(${VALTRIX_COLCON_CMAKE_ARGS:-})
{
  echo "build:"
  echo "  event-handlers: [console_cohesion+]"
  echo "  cmake-args:"
  for arg in "${cmake_args[@]}"; do printf '    - "%s"\n' "$arg"; done
  echo "test:"
  echo "  event-handlers: [console_cohesion+]"
  echo "  ctest-args: [-j$(nproc), --output-on-failure]"
} >"$defaults"
export COLCON_DEFAULTS_FILE=$defaults

# The underlay's tools run on Debian's Python, not on one that a version manager put first.
PATH=$(tr ':' '\n' <<<"$PATH" | grep -v pyenv | paste -sd:)
export PATH="/usr/bin:$PATH"
python3 -c 'import colcon_defaults' 2>/dev/null ||
  { echo "FAIL: colcon's defaults extension is missing (Debian: python3-colcon-defaults)"; exit 1; }

timed() {
  local from=$EPOCHREALTIME status=0
  "$@" || status=$?
  printf '=== %s: %.1f s\n' "$*" "$(awk -v a="$from" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
  return $status
}

# The clone of this repository: its files as they are in this checkout, build trees left out.
copy_this_checkout() {
  mkdir -p "$1"
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard) |
    (cd "$source_dir" && xargs -0 cp --parents -t "$1" 2>/dev/null || true)
  [ -f "$1/package.xml" ] || { echo "FAIL: nothing copied from $source_dir"; exit 1; }
}

# Runs a program until it logs its first event, then ends it with Ctrl-C, which must give 0.
until_first_event() {
  local log
  log=$(mktemp /tmp/valtrix_ros2_run_XXXXXX.log)
  setsid "$@" >"$log" 2>&1 &
  local pid=$!
  for _ in $(seq 300); do
    grep -q "ROS2 topic pub: 'Status OK: home_pos_reached'" "$log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q "ROS2 topic pub: 'Status OK: home_pos_reached'" "$log"; then
    echo "FAIL: '$*' never logged its first event"; cat "$log"; kill -KILL -- -"$pid" 2>/dev/null; exit 1
  fi
  kill -INT -- -"$pid"
  local status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { echo "FAIL: '$*' ended with $status on Ctrl-C"; cat "$log"; exit 1; }
  echo "$*: logged its first event, ended with 0 on Ctrl-C"
  rm -f "$log"
}

script=$(mktemp /tmp/valtrix_ros2_workspace_XXXXXX.sh)
trap 'rm -f "$defaults" "$script"' EXIT
{
  echo "set -eo pipefail"
  while IFS= read -r line; do
    line=${line//\~\/ros2_ws/$workspace}
    line=${line//\/opt\/ros\/humble/$underlay}
    line=${line//\/path\/to\/valtrix_protocol/$protocol_dir}
    case $line in
      "git clone "*) echo "copy_this_checkout ${line##* }" ;;
      colcon*) echo "timed $line" ;;
      "ros2 run "*) echo "until_first_event $line" ;;
      *) echo "$line" ;;
    esac
  done <<<"$commands"
} >"$script"
echo "--- the README's commands, as run here:"
cat "$script"
echo "---"
# setup.bash reads unset variables.
set +u
# shellcheck disable=SC1090
source "$script"

# A workspace without gtest or gmock (as ament finds them) still configures; it has no tests.
cmake -S "$workspace/src/valtrix_diagnostic_reporter" -B "$workspace/build-without-gtest" \
  -D_AMENT_CMAKE_GTEST_FIND_GTEST=TRUE -D_AMENT_CMAKE_GMOCK_FIND_GMOCK=TRUE -DBUILD_TESTING=ON \
  -DVALTRIX_ROS2=ON -DPython3_EXECUTABLE=/usr/bin/python3 >"$workspace/without-gtest.log" 2>&1 ||
  { echo "FAIL: without gtest and gmock the package does not configure:"
    cat "$workspace/without-gtest.log"; exit 1; }
echo "without gtest and gmock: the package configures"
