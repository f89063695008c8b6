#!/usr/bin/env bash
# Runs exit_host's sessions one Wine process each, so that a process that dies of a signal on its
# way out shows as such (exit status 128+n; 124 for a hang), and fails on any unclean exit.
#   exit_loop.sh EMULATOR... EXIT_HOST RUNS PORT
# EMULATOR is the build's Wine runner (wine-run.sh and its loader); the driver-information test
# service listens on 127.0.0.1:PORT. Scenario, delay before Stop (0..300 ms, seeded) and the way
# out vary from run to run.
set -u
args=("$@")
n=${#args[@]}
port=${args[n - 1]} runs=${args[n - 2]} host=${args[n - 3]}
emulator=("${args[@]:0:n-3}")
"${emulator[@]}" "$host" plug || { echo "exit_loop: the phones could not be plugged in"; exit 2; }
RANDOM=17
unclean=0
for ((i = 0; i < runs; ++i)); do
  scenario=$((i % 4)) delay=$((RANDOM % 301)) how=$(((i / 4) % 3))
  timeout 120 "${emulator[@]}" "$host" once "$scenario" "$delay" "$how" "$port"
  status=$?
  if ((status != 0)); then
    ((++unclean))
    echo "exit_loop: run $i (scenario $scenario, $delay ms, way out $how): exit status $status"
  fi
done
"${emulator[@]}" "$host" unplug
echo "exit_loop: $runs runs, $unclean unclean exits"
((unclean == 0))
