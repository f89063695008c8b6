#!/usr/bin/env bash
# Static checks of the shipped 32-bit DLL: a 32-bit x86 image, exactly the exports
# CreatePelmoInfo, MobileInfoListPhones and MobileInfoNewString (undecorated), and imports from
# system DLLs only.
set -euo pipefail
dll=${1:-build/win32/mobileinfo.dll}
dump=$(i686-w64-mingw32-objdump -p "$dll")
status=0

grep -q "file format pei-i386" <<<"$dump" || { echo "not a 32-bit x86 image: $dll"; status=1; }

# Export table lines look like "	[   0] +base[   1] 0000 CreatePelmoInfo".
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^[ \t]*\[/ {print $NF; next} t && NF==0 {t=0}' <<<"$dump" | tr '\n' ' ')
expected="CreatePelmoInfo MobileInfoListPhones MobileInfoNewString "
if [ "$exports" != "$expected" ]; then
  echo "unexpected export table: ${exports:-<none>}"
  status=1
fi

allowed='^(kernel32|user32|setupapi|wininet|shlwapi|msvcrt)\.dll$|^api-ms-win-crt-.*\.dll$'
while read -r name; do
  lower=$(tr 'A-Z' 'a-z' <<<"$name")
  if ! grep -Eq "$allowed" <<<"$lower"; then
    echo "non-system import: $name"
    status=1
  fi
done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")

if ((status == 0)); then
  echo "ok: exports ${exports% }; imports $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$dump")"
fi
exit $status
