#!/usr/bin/env bash
# Starts and stops the driver-information test service in the background, for test fixtures
# (the Windows end-to-end tests under Wine cannot start the Linux program themselves) and by hand.
#
#   with-driver-service.sh start STATE_DIR SERVICE_EXE CATALOGUE PORT
#       Starts SERVICE_EXE on 127.0.0.1:PORT, waits until it listens, and leaves its pid, output
#       and request log in STATE_DIR. When SERVICE_EXE does not exist it says so and succeeds
#       without starting anything: the tests that need the service then skip with a message.
#   with-driver-service.sh stop STATE_DIR
#       Stops the service started with that STATE_DIR, if it still runs.
set -u

usage() {
  sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

start() {
  (($# == 4)) || usage
  local state=$1 exe=$2 catalogue=$3 port=$4
  mkdir -p "$state" || exit 1
  stop_service "$state"
  if [[ ! -x $exe ]]; then
    echo "driver-service not found at $exe: build the native (linux) preset first, or set"
    echo "MOBILEINFO_NATIVE_DRIVER_SERVICE; the tests that need the service will be skipped."
    return 0
  fi
  rm -f "$state/port" "$state/output"
  # setsid and redirected descriptors: CTest must not wait for the service, nor may it end with
  # this script's process group.
  setsid "$exe" --catalogue "$catalogue" --port "$port" --port-file "$state/port" \
    --log "$state/requests.log" </dev/null >"$state/output" 2>&1 &
  local pid=$!
  echo "$pid" >"$state/pid"
  for _ in $(seq 1 200); do
    if [[ -s $state/port ]] && grep -q '^listening on ' "$state/output"; then
      cat "$state/output"
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "driver-service ended at start:" >&2
      cat "$state/output" >&2
      rm -f "$state/pid"
      return 1
    fi
    sleep 0.05
  done
  echo "driver-service did not start listening on port $port within 10 s" >&2
  stop_service "$state"
  return 1
}

# Ends the service whose pid STATE_DIR holds, if that process is still a driver-service.
stop_service() {
  local state=$1 pid
  [[ -f $state/pid ]] || return 0
  pid=$(cat "$state/pid")
  rm -f "$state/pid"
  [[ $pid =~ ^[0-9]+$ ]] || return 0
  if [[ -r /proc/$pid/cmdline ]] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q driver-service; then
    kill "$pid" 2>/dev/null
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || return 0
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null
  fi
  return 0
}

case ${1:-} in
  start) shift; start "$@" ;;
  stop)
    shift
    (($# == 1)) || usage
    stop_service "$1"
    echo "driver-service stopped"
    ;;
  *) usage ;;
esac
