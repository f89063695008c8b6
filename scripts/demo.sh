#!/usr/bin/env bash
# demo.sh: the library at work on this machine, without USB hardware or network. Builds what it
# needs, starts the driver-information test service on the address the library is built to ask,
# lays out a fake USB bus, runs the sample host (tools/monitor) against it and plugs phones in
# and out, then shows the requests the service received and the data files the library wrote.
#
#   bash scripts/demo.sh [--quick] [--check] [--no-build] [--build-dir DIR] [--keep]
#
#   --quick          no pauses for reading: each step waits only for the events it causes
#   --check          compare the events, requests and phone cache seen with the expected ones;
#                    exit 1 on a difference, with the difference printed
#   --no-build       use the binaries already built in the build directory
#   --build-dir DIR  the build directory (default build/linux, the `linux` preset's)
#   --keep           keep the temporary directory (bus, host directory, logs) afterwards
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
quick=0 check=0 build=1 keep=0 build_dir="$repo/build/linux"

say() { printf '%s\n' "$*"; }
die() {
  printf 'demo: %s\n' "$*" >&2
  exit 1
}

while (($#)); do
  case "$1" in
    --quick) quick=1 ;;
    --check) check=1 ;;
    --no-build) build=0 ;;
    --keep) keep=1 ;;
    --build-dir)
      (($# >= 2)) || die "option --build-dir needs a value"
      build_dir="$(realpath -m -- "$2")"
      shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option $1 (see --help)" ;;
  esac
  shift
done

# --- build --------------------------------------------------------------------------------------
if ((build)); then
  need=()
  for p in g++ cmake libcurl4-openssl-dev googletest libgtest-dev libgmock-dev libbenchmark-dev \
           libcpp-httplib-dev libudev-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  if ((${#need[@]})); then
    ((EUID == 0)) || die "missing packages: ${need[*]} (install them, or run this as root)"
    say "installing ${need[*]} ..."
    # a mirror caught mid-sync fails an index now and then; the install can go on without it
    apt-get update -qq || apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
  fi
  say "building mobileinfo, monitor and driver-service in ${build_dir#"$repo"/} (the first build takes a few minutes) ..."
  build_log="$(mktemp /tmp/mobileinfo-demo-build.XXXXXX)"
  (
    cd "$repo"
    if [[ "$build_dir" == "$repo/build/linux" ]]; then
      cmake --preset linux
    else
      cmake -S . -B "$build_dir"
    fi
    cmake --build "$build_dir" -j "$(nproc)" --target mobileinfo monitor driver-service
  ) >"$build_log" 2>&1 || { tail -n 30 "$build_log" >&2; die "the build failed (whole log: $build_log)"; }
  rm -f "$build_log"
fi

monitor_exe="$build_dir/tools/monitor/monitor"
service_exe="$build_dir/tools/driver-service/driver-service"
library="$build_dir/libmobileinfo.so"
for f in "$monitor_exe" "$service_exe" "$library"; do
  [[ -x "$f" || -f "$f" ]] || die "$f is missing (build it, or leave out --no-build)"
done

# The library asks the address it was built with; the service must listen there.
service_url="$(sed -n 's/^MOBILEINFO_SERVICE_URL:[A-Z]*=//p' "$build_dir/CMakeCache.txt" 2>/dev/null)"
[[ "$service_url" =~ ^http://127\.0\.0\.1:([0-9]+)/?$ ]] ||
  die "this build asks ${service_url:-an unknown address} for driver information; the demo needs a build for http://127.0.0.1:PORT (the default, cmake -DMOBILEINFO_SERVICE_URL=http://127.0.0.1:8780)"
port="${BASH_REMATCH[1]}"
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  die "port $port on 127.0.0.1 is in use (another driver-service or demo?); the library is built to ask http://127.0.0.1:$port, so the demo needs that port free"
fi

# --- the stage: a temporary directory with the bus, the host directory and the logs ---------------
work="$(mktemp -d /tmp/mobileinfo-demo.XXXXXX)"
bus="$work/sys" host="$work/host"
monitor_out="$work/monitor.out" requests="$work/requests.log"
monitor_pid="" service_pid="" failed=1

stop_process() {  # PID SIGNAL: signal, wait up to 3 s, then kill
  local pid="$1" signal="$2" i
  [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null || return 0
  kill "-$signal" "$pid" 2>/dev/null || true
  for ((i = 0; i < 60; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_process "$monitor_pid" INT
  stop_process "$service_pid" TERM
  if ((keep || failed)); then
    say "demo: the bus, the host directory and the logs are in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'say ""; say "demo: interrupted"; failed=0; exit 130' INT TERM

fake_usb() { bash "$repo/scripts/fake-usb.sh" --root "$bus" "$@"; }

# --- showing the monitor's output as it comes --------------------------------------------------
shown=0       # lines of monitor.out already shown
output=()     # the complete lines of monitor.out read so far

show_output() {
  local i
  [[ -f "$monitor_out" ]] || return 0
  mapfile -t output <"$monitor_out"
  # A line still being written has no newline yet: it waits for the next look.
  if ((${#output[@]})) && [[ -n "$(tail -c 1 "$monitor_out")" ]]; then unset 'output[-1]'; fi
  for ((i = shown; i < ${#output[@]}; i++)); do say "        ${output[i]}"; done
  shown=${#output[@]}
}

# Waits until one of the monitor's output lines after the first FROM matches PATTERN (extended
# regular expression), showing the output as it comes.
wait_for_output() {
  local from="$1" pattern="$2" what="$3" deadline=$((SECONDS + 20)) i
  while :; do
    show_output
    for ((i = from; i < ${#output[@]}; i++)); do
      [[ "${output[i]}" =~ $pattern ]] && return 0
    done
    if [[ -n "$monitor_pid" ]] && ! kill -0 "$monitor_pid" 2>/dev/null; then
      show_output
      die "the monitor ended while the demo waited for $what"
    fi
    ((SECONDS < deadline)) || die "no $what within 20 s"
    sleep 0.05
  done
}

wait_for_request() {  # COUNT: until the service has logged COUNT requests
  local count="$1" deadline=$((SECONDS + 20))
  until (($(request_count) >= count)); do
    ((SECONDS < deadline)) || die "the service received no request for the USB stick within 20 s"
    sleep 0.05
  done
}

request_count() { if [[ -f "$requests" ]]; then wc -l <"$requests"; else echo 0; fi; }
pause() { ((quick)) || sleep "$1"; }

step_number=0
step() {
  step_number=$((step_number + 1))
  say ""
  say "[$step_number] $*"
}

start_monitor() {
  local from
  show_output
  from=${#output[@]}
  # In a session of its own, like the service: Ctrl-C reaches the demo only, whose clean-up then
  # stops both in order.
  (cd "$host" && MOBILEINFO_SYSFS_ROOT="$bus" LD_LIBRARY_PATH="$build_dir" exec setsid ./monitor "$@") \
    >>"$monitor_out" 2>&1 &
  monitor_pid=$!
  wait_for_output "$from" '^monitoring USB devices' "start of the monitor"
}

stop_monitor() {
  local status=0
  kill -INT "$monitor_pid"
  wait "$monitor_pid" || status=$?
  monitor_pid=""
  show_output
  ((status == 0)) || die "the monitor ended with status $status"
  [[ "${output[-1]:-}" == stopped ]] || die "the monitor did not say it stopped"
}

plug_and_wait() {  # PATTERN WHAT PORT VID:PID OPTIONS...: plugs and waits for the PATTERN line
  local pattern="$1" what="$2" from
  shift 2
  show_output
  from=${#output[@]}
  fake_usb plug "$@"
  wait_for_output "$from" "$pattern" "$what"
}

unplug_and_wait() {  # PORT SERIAL
  local from
  show_output
  from=${#output[@]}
  fake_usb unplug "$1"
  wait_for_output "$from" "event 2  device removed .* serial $2 " "removal event for $2"
}

host_files() {
  local f size note
  for f in "$host"/*; do
    size="$(stat -c %s "$f")"
    case "${f##*/}" in
      monitor) continue ;;
      MobileInfo1.dat) note="phone cache: identified phones, models marked unknown" ;;
      # 4-byte record size, then one 1092-byte record per USB device; empty without devices.
      MobileInfo2.dat) note="device snapshot: the last USB scan, $(((size > 4 ? size - 4 : 0) / 1092)) device(s)" ;;
      *) note="" ;;
    esac
    printf '        %-16s %6d bytes  %s\n' "${f##*/}" "$size" "$note"
  done
}

# The phones in MobileInfo1.dat: 4-byte record size, then 15296-byte records (name at 1088,
# serial at 64, UTF-16LE); a record without a serial marks a model the service did not know.
phone_cache_summary() {
  local file="$host/MobileInfo1.dat" size count i base name serial phones="" unknown=0
  [[ -f "$file" ]] || { echo "MobileInfo1.dat is missing"; return; }
  size="$(stat -c %s "$file")"
  count=$(((size - 4) / 15296))
  for ((i = 0; i < count; i++)); do
    base=$((4 + i * 15296))
    serial="$(dd if="$file" bs=1 skip=$((base + 64)) count=128 2>/dev/null | tr -d '\0')"
    name="$(dd if="$file" bs=1 skip=$((base + 1088)) count=64 2>/dev/null | tr -d '\0')"
    if [[ -n "$serial" ]]; then phones+="${phones:+, }${name:-?} ($serial)"; else unknown=$((unknown + 1)); fi
  done
  local text="MobileInfo1.dat holds $count record(s): ${phones:-no phone}"
  ((unknown == 0)) || text+="; $unknown model(s) marked unknown"
  echo "$text"
}

describe_phone_cache() { say "        $(phone_cache_summary)"; }

# --- the scenario -------------------------------------------------------------------------------
started_at=$SECONDS
say "mobileinfo demo: the test driver service, a fake USB bus and the sample host, on this machine"

step "starting the driver-information service on 127.0.0.1:$port (bundled catalogue: 5 phone models)"
setsid "$service_exe" --catalogue "$repo/tools/driver-service/catalogue.ini" --port "$port" \
  --log "$requests" >"$work/service.out" 2>&1 &
service_pid=$!
for ((i = 0; i < 100; i++)); do
  grep -q '^listening on' "$work/service.out" 2>/dev/null && break
  kill -0 "$service_pid" 2>/dev/null || die "the service did not start: $(cat "$work/service.out")"
  sleep 0.05
done
grep -q '^listening on' "$work/service.out" || die "the service did not start within 5 s"
say "        $(head -n 1 "$work/service.out")"

step "laying out an empty fake USB bus (two root hubs) in $bus"
fake_usb init
mkdir -p "$host"
cp "$monitor_exe" "$host/monitor"

step "starting the monitor from an empty host directory, watching the fake bus every 100 ms"
start_monitor --fresh --poll 100
pause 1

step "plugging in a Lumo Flip: known model, no Android (no ADB), so the report waits the 3 s grace period"
plug_and_wait 'event 1  phone ready' "arrival report" 1-1 22b8:2e7c --serial LUMO0001 \
  --manufacturer Lumo --product "Lumo Flip" --interface "02/02/01/Modem" --storage
pause 1.5

step "plugging in a Nimbus 5 with ADB on: identified and reported ready at once"
plug_and_wait 'event 1  phone ready' "arrival report" 1-2 18d1:4f3a --serial NB5A0001 \
  --manufacturer Nimbus --product "Nimbus 5" --mtp --adb
pause 1.5

step "plugging in an Android phone of a model the service does not know: listed without a model;"
say "    the arrival report names the first ready phone on the list, still the Nimbus 5"
plug_and_wait 'event 1  phone ready' "arrival report" 1-3 1d45:7e01 --serial ZX1PQ48KJT \
  --product Android --mtp --adb
pause 1.5

step "plugging in a USB stick: the service knows no model for it and it has no ADB, so no event;"
say "    the phone cache marks its model unknown"
before="$(request_count)"
fake_usb plug 1-4 0781:5567 --serial 4C530001231114115384 --manufacturer SanDisk \
  --product "Cruzer Blade" --storage
wait_for_request $((before + 1))
say "        (the service was asked about 0781_5567 and answered that it knows no such model)"
pause 1.5

step "unplugging them one by one: each departure is reported, phone or not"
unplug_and_wait 1-2 NB5A0001
pause 0.7
unplug_and_wait 1-3 ZX1PQ48KJT
pause 0.7
unplug_and_wait 1-1 LUMO0001
pause 0.7
unplug_and_wait 1-4 4C530001231114115384
pause 1

step "stopping the monitor (as Ctrl-C does); the library saves its two data files beside it"
stop_monitor
host_files
describe_phone_cache
pause 1.5

step "starting the monitor again (no --fresh) and plugging the Nimbus 5 back in: known from the cache"
start_monitor --poll 100
before="$(request_count)"
plug_and_wait 'event 1  phone ready' "arrival report" 1-2 18d1:4f3a --serial NB5A0001 \
  --manufacturer Nimbus --product "Nimbus 5" --mtp --adb
sleep 0.3  # a request, if any, would have been sent before the publication
if (($(request_count) == before)); then
  say "        (no new request: the phone cache answered)"
else
  say "        (the service was asked again: the cache did not answer)"
fi
pause 1

step "stopping the monitor"
stop_monitor

# --- what happened ------------------------------------------------------------------------------
step "requests the driver-information service received"
label() {
  case "$1" in
    *id=22b8_2e7c) echo "Lumo Flip: in the catalogue" ;;
    *id=18d1_4f3a) echo "Nimbus 5: in the catalogue" ;;
    *id=1d45_7e01) echo "the unknown Android phone: not in the catalogue" ;;
    *id=0781_5567) echo "the USB stick: not in the catalogue" ;;
    */intf/f72*) echo "report of an Android device left unidentified because the service gave no reply" ;;
    *) echo "" ;;
  esac
}
n=0
while IFS= read -r line; do
  n=$((n + 1))
  printf '        %d. %s   (%s)\n' "$n" "$line" "$(label "$line")"
done <"$requests"

step "summary"
say "        events seen:     $(grep -cE '^[0-9:.]+  event ' "$monitor_out" || true)"
for code in 3 1 2 4; do
  c="$(grep -cE "^[0-9:.]+  event $code " "$monitor_out" || true)"
  case $code in
    1) meaning="phone ready" ;;
    2) meaning="device removed" ;;
    3) meaning="arrival report begins" ;;
    4) meaning="no phone left" ;;
  esac
  ((c == 0)) || say "                         $c × event $code ($meaning)"
done
say "        requests:        $(grep -c '/intf/getDriver' "$requests" || true) getDriver, $(grep -c '/intf/f72' "$requests" || true) unidentified-device report(s)"
say "        data files in the host directory:"
host_files
describe_phone_cache
say "        time taken:      $((SECONDS - started_at)) s"

# --- the check ----------------------------------------------------------------------------------
if ((check)); then
  expected_events="$(cat <<'EOF'
monitoring USB devices; Ctrl-C stops
event 3 arrival report begins
event 1 phone ready Lumo Flip serial LUMO0001 VID_22b8&PID_2e7c no ADB
event 3 arrival report begins
event 1 phone ready Nimbus 5 serial NB5A0001 VID_18d1&PID_4f3a ADB active
event 3 arrival report begins
event 1 phone ready Nimbus 5 serial NB5A0001 VID_18d1&PID_4f3a ADB active
event 2 device removed Nimbus 5 serial NB5A0001 VID_18d1&PID_4f3a no ADB
event 2 device removed (unknown model) serial ZX1PQ48KJT VID_1d45&PID_7e01 no ADB
event 2 device removed Lumo Flip serial LUMO0001 VID_22b8&PID_2e7c no ADB
event 2 device removed (unknown model) serial 4C530001231114115384 VID_0781&PID_5567 no ADB
stopped
monitoring USB devices; Ctrl-C stops
event 3 arrival report begins
event 1 phone ready Nimbus 5 serial NB5A0001 VID_18d1&PID_4f3a ADB active
stopped
driver request for 22b8_2e7c
driver request for 18d1_4f3a
driver request for 1d45_7e01
driver request for 0781_5567
MobileInfo1.dat holds 3 record(s): Lumo Flip (LUMO0001), Nimbus 5 (NB5A0001); 1 model(s) marked unknown
EOF
)"
  actual_events="$(
    sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}  //; s/ +/ /g' "$monitor_out"
    # Reports of unidentified devices too: the service answered every question, so none is
    # expected.
    sed -n -e 's|.*/intf/getDriver?.*id=|driver request for |p' \
      -e 's|.*/intf/f72?|unidentified-device report |p' "$requests"
    phone_cache_summary
  )"
  say ""
  if diff -u --label expected --label seen <(printf '%s\n' "$expected_events") \
       <(printf '%s\n' "$actual_events"); then
    say "check: the events, requests and phone cache are the expected ones"
  else
    say "check: the events, requests or phone cache differ from the expected ones (see above)"
    exit 1
  fi
fi
failed=0
