#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, builds every preset and runs every suite:
#   linux, linux-asan (ASan + UBSan), linux-tsan (threaded tests): natively
#   win64: under 64-bit Wine, through CTest's cross-compiling emulator
#   win32: the shipped DLL: the same suites as 32-bit programs under 32-bit Wine (wine32:i386)
#          in a 64-bit (WoW64) prefix, then its exports and imports checked statically
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

packages=(g++ cmake g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 googletest libgtest-dev
          libgmock-dev libbenchmark-dev libcurl4-openssl-dev libcpp-httplib-dev libudev-dev
          binutils-mingw-w64-i686 python3 clang libclang-rt-14-dev umockdev libumockdev-dev
          gir1.2-umockdev-1.0 openssl pkg-config)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# 32-bit Wine runs the shipped DLL; it needs the i386 architecture, and --no-remove keeps apt
# from trading wine64 for it.
i386_missing=0
dpkg --print-foreign-architectures | grep -qx i386 || { dpkg --add-architecture i386; i386_missing=1; }
dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" || i386_missing=1
if ((${#missing[@]})) || ((i386_missing)); then
  echo "== installing: ${missing[*]}${missing[*]:+ }$( ((i386_missing)) && echo wine32:i386)"
  # A mirror caught mid-sync fails an index now and then; the install can still succeed with
  # the indexes that did arrive, so a failed update is retried and then let through.
  for try in 1 2 3; do
    apt-get update -qq && break
    echo "apt-get update failed (try $try)"; sleep 10
  done
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if ((i386_missing)); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove wine32:i386 >/dev/null
  fi
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

echo "== include directions"
scripts/check-includes.sh || failed=1

build linux
run_ctest linux

echo "== install and consume with find_package and with pkg-config"
rm -rf build/install build/consumer
cmake --install build/linux --prefix "$PWD/build/install" >/dev/null
if PKG_CONFIG_PATH="$PWD/build/install/lib/pkgconfig" cmake -S tests/install -B build/consumer \
     -DCMAKE_PREFIX_PATH="$PWD/build/install" >/dev/null &&
   cmake --build build/consumer >/dev/null &&
   MOBILEINFO_SYSFS_ROOT=/nonexistent LD_LIBRARY_PATH="$PWD/build/install/lib" build/consumer/consumer &&
   MOBILEINFO_SYSFS_ROOT=/nonexistent LD_LIBRARY_PATH="$PWD/build/install/lib" \
     build/consumer/pkg_config_consumer; then :
else
  echo "install check failed"; failed=1
fi

build linux-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest linux-asan

build linux-tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest linux-tsan -R unit_tests

# Each Windows suite has a prefix of its own; its wineserver (and the services Wine starts) must
# not outlive the run.
# The prefix is made before the suite: a program started by the first boot of a new prefix has
# been seen to fail to load kernel32.dll once in a while.
run_wine_suite() {
  export MOBILEINFO_WINEPREFIX="$PWD/build/$1/wineprefix"
  local try
  for try in 1 2 3; do
    # The registry files appear only when the prefix's wineserver saves them on its way out,
    # which may be a while after wineboot returns: wait for it before looking.
    if WINEPREFIX="$MOBILEINFO_WINEPREFIX" WINEDEBUG=-all /usr/lib/wine/wine64 wineboot --init \
         >/dev/null 2>&1 && WINEPREFIX="$MOBILEINFO_WINEPREFIX" /usr/lib/wine/wineserver -w &&
       [[ -f $MOBILEINFO_WINEPREFIX/system.reg ]]; then
      break
    fi
    echo "== wine prefix for $1: first boot failed (try $try)"
    WINEPREFIX="$MOBILEINFO_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$MOBILEINFO_WINEPREFIX"
  done
  run_ctest "$1"
  WINEPREFIX="$MOBILEINFO_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true
  unset MOBILEINFO_WINEPREFIX
}

# The lock annotations, checked by clang: the library targets only, nothing of this build runs.
echo "== build thread-safety"
cmake --preset thread-safety >/dev/null
cmake --build build/thread-safety -j "$jobs" --target mobileinfo

# Every parser of outside data under libFuzzer: each target runs its seed corpus and a short
# fixed number of generated inputs.
build fuzz
run_ctest fuzz -L fuzz

build win64
run_wine_suite win64

build win32
run_wine_suite win32
echo "== check build/win32/mobileinfo.dll"
scripts/check-win32-dll.sh build/win32/mobileinfo.dll || failed=1

echo "== packages"
scripts/check-packages.sh || failed=1

if ((failed)); then
  echo "FAILED"
  exit 1
fi
echo "all suites passed"
