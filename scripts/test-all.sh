#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, builds every preset and runs every suite:
#   linux, linux-asan (ASan + UBSan), linux-tsan (threaded tests): natively
#   win64: under 64-bit Wine, through CTest's cross-compiling emulator
#   win32: the shipped DLL, checked statically (this machine cannot run 32-bit code)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

packages=(g++ cmake g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 googletest libgtest-dev
          libgmock-dev libbenchmark-dev libcurl4-openssl-dev libcpp-httplib-dev libudev-dev
          binutils-mingw-w64-i686 python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build() {
  echo "== build $1"
  cmake --preset "$1" >/dev/null
  cmake --build "build/$1" -j "$jobs"
}

failed=0
run_ctest() {
  local dir=$1; shift
  echo "== test $dir"
  ctest --test-dir "build/$dir" --output-on-failure "$@" || failed=1
}

build linux
run_ctest linux

echo "== install and consume with find_package"
rm -rf build/install build/consumer
cmake --install build/linux --prefix "$PWD/build/install" >/dev/null
if cmake -S tests/install -B build/consumer -DCMAKE_PREFIX_PATH="$PWD/build/install" >/dev/null &&
   cmake --build build/consumer >/dev/null &&
   MOBILEINFO_SYSFS_ROOT=/nonexistent LD_LIBRARY_PATH="$PWD/build/install/lib" build/consumer/consumer; then :
else
  echo "install check failed"; failed=1
fi

build linux-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest linux-asan

build linux-tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest linux-tsan -R unit_tests

build win64
export MOBILEINFO_WINEPREFIX="$PWD/build/win64/wineprefix"
run_ctest win64
WINEPREFIX="$MOBILEINFO_WINEPREFIX" /usr/lib/wine/wineserver64 -k 2>/dev/null || true

build win32
echo "== check build/win32/mobileinfo.dll"
scripts/check-win32-dll.sh build/win32/mobileinfo.dll || failed=1

if ((failed)); then
  echo "FAILED"
  exit 1
fi
echo "all suites passed"
