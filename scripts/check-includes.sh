#!/usr/bin/env bash
# The library's floor plan: each folder of src/ may include its own headers and those of the
# folders below it, never one above. Fails, naming each offending include, when one points up.
#   service    the host's object, its runs and their threads
#   identify   the identifier: arrivals to phones, getDriver requests
#   usb        the device tracker and the ADB registry
#   cache      the two data files and the phone store
#   net        the bounded HTTP fetches
#   platform   the seam and its Win32 and Linux backends, host paths, diagnostics' output
#   model      the fixed-size records and the maps keyed by them
#   support    text, the wide string and its formatter, profile text, the mutex wrapper
set -euo pipefail
cd "$(dirname "$0")/.."
floors=(support model platform net cache usb identify service)
declare -A rank
for i in "${!floors[@]}"; do rank[${floors[$i]}]=$i; done

bad=0
while IFS= read -r file; do
  folder=${file#src/}
  folder=${folder%%/*}
  [[ -n ${rank[$folder]+x} ]] || { echo "$file: folder $folder is not on the floor plan"; bad=1; continue; }
  while IFS=: read -r line target; do
    to=${target%%/*}
    [[ $to == mobileinfo ]] && continue  # the public header
    if [[ -z ${rank[$to]+x} ]]; then
      echo "$file:$line: includes $target, outside the floor plan"; bad=1
    elif ((rank[$to] > rank[$folder])); then
      echo "$file:$line: includes $target: $to is above $folder"; bad=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/' || true)
done < <(find src -name '*.h' -o -name '*.cpp' | sort)
((bad == 0)) && echo "includes follow the floor plan"
exit "$bad"
