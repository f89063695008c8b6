#!/bin/bash
# Long fuzzing runs of every target of a fuzz build, a few at a time, each until it made RUNS
# executions or ran SECONDS seconds, whichever comes first. Each target grows its own corpus under
# <build>/fuzz/long/<target> (seeded from fuzz/corpus/<target>), and its log there tells the
# executions reached; a crash leaves its input as crash-* beside the log.
#
#   fuzz/run_long.sh [build-dir] [seconds] [runs] [parallel] [target...]
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/fuzz}
seconds=${2:-1800}
runs=${3:-10000000}
parallel=${4:-2}
shift $(( $# < 4 ? $# : 4 ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_phone_cache fuzz_device_snapshot fuzz_profile_reader fuzz_settings
           fuzz_instance_id fuzz_interface_path fuzz_adb_serial fuzz_content_length fuzz_format
           fuzz_sysfs)
fi

max_len() {
  case $1 in
    fuzz_phone_cache) echo 65536 ;;
    fuzz_device_snapshot) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

run_one() {
  local target=$1 dir=$build/fuzz/long/$1
  mkdir -p "$dir/corpus"
  "$build/fuzz/$target" -max_total_time="$seconds" -runs="$runs" -max_len="$(max_len "$target")" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/" \
    "$dir/corpus" "$here/corpus/$target" >"$dir/log" 2>&1
  local status=$?
  local execs
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/log" | grep -o '[0-9]*$')
  echo "$target status=$status executions=${execs:-?} seconds_limit=$seconds"
}

running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
