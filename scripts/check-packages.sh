#!/usr/bin/env bash
# Builds the release archives and compares what is inside them with what a host developer is
# promised:
#   build/win32: mobileinfo-<version>-win32.zip         (cmake --build build/win32 --target package)
#   build/linux: mobileinfo-<version>-linux-x86_64.tar.gz (cmake --build build/linux --target package)
# A build directory that does not exist yet is configured from its preset first. Beyond the
# listings: the zipped DLL passes check-win32-dll.sh, and the unpacked Linux monitor starts
# without LD_LIBRARY_PATH (its run path and the versioned library links agree), and its
# pkg-config file leads to the unpacked headers.
#
#   check-packages.sh [win32|linux]...     (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
version=$(sed -n 's/^project(mobileinfo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || { echo "check-packages: no project version in CMakeLists.txt" >&2; exit 2; }
major=${version%%.*}
presets=("$@")
((${#presets[@]})) || presets=(win32 linux)

# The archive's entries, files and links only, below its top directory, one per line, sorted.
# The build type in the exported targets' file name is written as <config>.
list_archive() {
  python3 - "$1" <<'EOF'
import re, sys, tarfile, zipfile
path = sys.argv[1]
if path.endswith(".zip"):
    names = [n for n in zipfile.ZipFile(path).namelist() if not n.endswith("/")]
else:
    names = [m.name for m in tarfile.open(path).getmembers() if not m.isdir()]
top = path.rsplit("/", 1)[-1].removesuffix(".zip").removesuffix(".tar.gz") + "/"
for name in sorted(names):
    if not name.startswith(top):
        print("OUTSIDE-TOP-DIRECTORY " + name)
        continue
    print(re.sub(r"mobileinfoTargets-[a-z]+\.cmake$", "mobileinfoTargets-<config>.cmake",
                 name[len(top):]))
EOF
}

expected_win32() {
  cat <<EOF
bin/mobileinfo.dll
bin/monitor.exe
docs/host-guide.md
include/mobileinfo/mobileinfo.h
lib/cmake/mobileinfo/mobileinfoConfig.cmake
lib/cmake/mobileinfo/mobileinfoConfigVersion.cmake
lib/cmake/mobileinfo/mobileinfoTargets-<config>.cmake
lib/cmake/mobileinfo/mobileinfoTargets.cmake
lib/libmobileinfo.dll.a
lib/mobileinfo.def
EOF
}

expected_linux() {
  cat <<EOF
bin/monitor
include/mobileinfo/mobileinfo.h
include/mobileinfo/watch.h
lib/cmake/mobileinfo/mobileinfoConfig.cmake
lib/cmake/mobileinfo/mobileinfoConfigVersion.cmake
lib/cmake/mobileinfo/mobileinfoTargets-<config>.cmake
lib/cmake/mobileinfo/mobileinfoTargets.cmake
lib/libmobileinfo.so
lib/libmobileinfo.so.$major
lib/libmobileinfo.so.$version
lib/libmobileinfo_watch.a
lib/pkgconfig/mobileinfo-watch.pc
lib/pkgconfig/mobileinfo.pc
share/doc/mobileinfo/host-guide.md
EOF
}

failed=0
fail() {
  echo "check-packages: $*" >&2
  failed=1
}

for preset in "${presets[@]}"; do
  case "$preset" in
    win32) archive="build/win32/mobileinfo-$version-win32.zip" ;;
    linux) archive="build/linux/mobileinfo-$version-linux-x86_64.tar.gz" ;;
    *) echo "check-packages: unknown preset $preset (win32 or linux)" >&2; exit 2 ;;
  esac
  echo "== package $preset"
  [[ -f "build/$preset/CMakeCache.txt" ]] || cmake --preset "$preset" >/dev/null
  rm -f "$archive"
  if ! cmake --build "build/$preset" -j "$jobs" --target package >"build/$preset/package.log" 2>&1; then
    tail -n 30 "build/$preset/package.log" >&2
    fail "building the $preset package failed (log: build/$preset/package.log)"
    continue
  fi
  [[ -f "$archive" ]] || { fail "$archive was not made"; continue; }
  if ! diff -u <(expected_"$preset") <(list_archive "$archive") >"build/$preset/package.diff"; then
    fail "$archive holds other files than expected (- expected, + found):"
    cat "build/$preset/package.diff" >&2
  fi

  unpacked="build/$preset/package-check"
  rm -rf "$unpacked" && mkdir -p "$unpacked"
  top="$unpacked/$(basename "$archive" | sed 's/\.zip$//; s/\.tar\.gz$//')"
  if [[ "$preset" == win32 ]]; then
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
      "$archive" "$unpacked"
    scripts/check-win32-dll.sh "$top/bin/mobileinfo.dll" || fail "the zipped DLL fails its checks"
  else
    tar -xzf "$archive" -C "$unpacked"
    soname=$(objdump -p "$top/lib/libmobileinfo.so.$version" | awk '$1 == "SONAME" {print $2}')
    [[ "$soname" == "libmobileinfo.so.$major" ]] || fail "SONAME is ${soname:-missing}, not libmobileinfo.so.$major"
    [[ "$(readlink "$top/lib/libmobileinfo.so")" == "libmobileinfo.so.$major" &&
       "$(readlink "$top/lib/libmobileinfo.so.$major")" == "libmobileinfo.so.$version" ]] ||
      fail "the library links do not lead to libmobileinfo.so.$version"
    env -u LD_LIBRARY_PATH "$top/bin/monitor" --help >/dev/null ||
      fail "the unpacked monitor does not start (does it find libmobileinfo.so.$major?)"
    # The .pc files name the directories they were unpacked with.
    read -r includes < <(PKG_CONFIG_PATH="$top/lib/pkgconfig" pkg-config --cflags-only-I mobileinfo)
    [[ -f "${includes#-I}/mobileinfo/mobileinfo.h" ]] ||
      fail "pkg-config --cflags mobileinfo gives '$includes', not the unpacked include directory"
  fi
  ((failed)) || echo "ok: $archive ($(list_archive "$archive" | wc -l) files)"
done

exit $failed
