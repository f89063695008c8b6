#!/usr/bin/env bash
# Starts and stops the driver-information test service in the background, for test fixtures
# (the Windows end-to-end tests under Wine cannot start the Linux program themselves) and by hand.
#
#   with-driver-service.sh start STATE_DIR SERVICE_EXE CATALOGUE PORT
#       Starts SERVICE_EXE on 127.0.0.1:PORT, waits until it listens, and leaves its pid, output
#       and request log in STATE_DIR. When SERVICE_EXE does not exist it says so and succeeds
#       without starting anything: the tests that need the service then skip with a message.
#   with-driver-service.sh start-tls STATE_DIR TLS_FRONT_EXE UPSTREAM_PORT
#       For the https tests: makes, in STATE_DIR, a test authority (ca.pem), a certificate it
#       signed for localhost (server.pem) and a self-signed one for localhost that nobody trusts
#       (stranger.pem), and starts TLS_FRONT_EXE (tests/e2e/tls_front.cpp) with the first on one
#       port and the second on another, in front of the service on 127.0.0.1:UPSTREAM_PORT;
#       STATE_DIR/ports then holds the two ports. A missing TLS_FRONT_EXE is handled as above.
#   with-driver-service.sh stop STATE_DIR
#       Stops the service (or tls-front) started with that STATE_DIR, if it still runs.
set -u

usage() {
  sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# Makes STATE_DIR and ends what still runs from it. False, saying so, when EXE is missing.
prepare() {
  local state=$1 exe=$2 variable=$3
  mkdir -p "$state" || exit 1
  stop_service "$state"
  [[ -x $exe ]] && return 0
  echo "$(basename "$exe") not found at $exe: build the native (linux) preset first, or set"
  echo "$variable; the tests that need it will be skipped."
  return 1
}

start() {
  (($# == 4)) || usage
  local state=$1 exe=$2 catalogue=$3 port=$4
  prepare "$state" "$exe" MOBILEINFO_NATIVE_DRIVER_SERVICE || return 0
  rm -f "$state/port" "$state/output"
  # setsid and redirected descriptors: CTest must not wait for the service, nor may it end with
  # this script's process group.
  setsid "$exe" --catalogue "$catalogue" --port "$port" --port-file "$state/port" \
    --log "$state/requests.log" </dev/null >"$state/output" 2>&1 &
  wait_until_listening "$state" $! driver-service port
}

make_certificates() {
  local dir=$1 days=2
  openssl req -x509 -newkey rsa:2048 -nodes -days $days -subj "/CN=mobileinfo test authority" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" &&
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$dir/server.key" \
    -out "$dir/server.csr" &&
  printf '%s\n' "subjectAltName=DNS:localhost" "basicConstraints=CA:FALSE" \
    "keyUsage=digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" >"$dir/server.ext" &&
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days $days -extfile "$dir/server.ext" -out "$dir/server.pem" &&
  openssl req -x509 -newkey rsa:2048 -nodes -days $days -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost" -keyout "$dir/stranger.key" -out "$dir/stranger.pem"
}

start_tls() {
  (($# == 3)) || usage
  local state=$1 exe=$2 upstream=$3
  prepare "$state" "$exe" MOBILEINFO_NATIVE_TLS_FRONT || return 0
  rm -f "$state/ports" "$state/output"
  if ! make_certificates "$state" >"$state/openssl.log" 2>&1; then
    echo "making the test certificates failed:" >&2
    cat "$state/openssl.log" >&2
    return 1
  fi
  setsid "$exe" --upstream "$upstream" --port-file "$state/ports" \
    "$state/server.pem" "$state/server.key" "$state/stranger.pem" "$state/stranger.key" \
    </dev/null >"$state/output" 2>&1 &
  wait_until_listening "$state" $! "tls-front" ports
}

# Waits until the program started as pid wrote STATE_DIR/<file> (and, for the service, said it
# listens); leaves the pid in STATE_DIR/pid.
wait_until_listening() {
  local state=$1 pid=$2 name=$3 file=$4
  echo "$pid" >"$state/pid"
  for _ in $(seq 1 200); do
    if [[ -s $state/$file ]] && { [[ $name != driver-service ]] ||
                                  grep -q '^listening on ' "$state/output"; }; then
      cat "$state/output"
      [[ $name == driver-service ]] || echo "$name listening on $(tr '\n' ' ' <"$state/$file")"
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "$name ended at start:" >&2
      cat "$state/output" >&2
      rm -f "$state/pid"
      return 1
    fi
    sleep 0.05
  done
  echo "$name did not start listening within 10 s" >&2
  stop_service "$state"
  return 1
}

# Ends the process whose pid STATE_DIR holds, if it is still a driver-service or tls-front.
stop_service() {
  local state=$1 pid
  [[ -f $state/pid ]] || return 0
  pid=$(cat "$state/pid")
  rm -f "$state/pid"
  [[ $pid =~ ^[0-9]+$ ]] || return 0
  if [[ -r /proc/$pid/cmdline ]] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qE 'driver-service|tls-front'; then
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
  start-tls) shift; start_tls "$@" ;;
  stop)
    shift
    (($# == 1)) || usage
    stop_service "$1"
    echo "stopped"
    ;;
  *) usage ;;
esac
