#!/usr/bin/env bash
# The main job: builds the Linux library and runs the sample host, which prints every event
# the library raises until Ctrl-C. Arguments are passed to the monitor (--fresh, --poll MS, --debug,
# --seconds N). MOBILEINFO_SYSFS_ROOT points it at a fake USB tree instead of /sys.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for p in g++ cmake libcurl4-openssl-dev libudev-dev googletest libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  apt-get update -qq || apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake --preset linux >/dev/null
cmake --build build/linux -j "$(nproc)" --target monitor
exec build/linux/tools/monitor/monitor "$@"
