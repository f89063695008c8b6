#!/usr/bin/env bash
# fake-usb.sh: lays out a fake USB bus in a directory the way Linux shows the real one under /sys,
# and plugs devices into it or pulls them out. Point the library (and tools/monitor) at it with
# MOBILEINFO_SYSFS_ROOT=DIR.
#
#   fake-usb.sh [--root DIR] init
#   fake-usb.sh [--root DIR] plug PORT VID:PID [--serial S] [--product TEXT] [--manufacturer TEXT]
#                            [--adb] [--mtp] [--storage] [--hub] [--interface CC/SS/PP[/TEXT]]...
#   fake-usb.sh [--root DIR] unplug PORT
#   fake-usb.sh [--root DIR] set ENTRY ATTRIBUTE VALUE
#   fake-usb.sh [--root DIR] list
#
# DIR defaults to $MOBILEINFO_SYSFS_ROOT. `init` creates two root hubs, usb1 (USB 2) and usb2
# (USB 3). PORT is a port path as the kernel names devices: 1-2 is port 2 of bus 1, 1-2.3 port 3
# of the hub in 1-2. Interfaces are numbered in the order given:
#   --adb        ff/42/01 "ADB Interface" (Android debug bridge)
#   --mtp        06/01/01 "MTP"           (media transfer, what a phone offers by default)
#   --storage    08/06/50                 (bulk-only mass storage: a USB stick)
#   --hub        09/00/00, device class 09 (devices can then be plugged behind it)
#   --interface CC/SS/PP[/TEXT]  any other: class, subclass, protocol in hexadecimal
#
# A plug is complete before anyone can see it: the device's directory is written first, then its
# interfaces' links in bus/usb/devices, and the device's own link last. A reader that lists the
# bus in between sees either nothing of the device or all of it. Unplugging goes the other way.
set -euo pipefail

readonly CONTROLLER="devices/pci0000:00/0000:00:14.0"

die() {
  echo "fake-usb: $*" >&2
  exit 2
}

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
}

root="${MOBILEINFO_SYSFS_ROOT:-}"

# The directory of a bus entry below the root: usb1, 1-2, 1-2.3 or 1-2:1.0.
device_path() {
  local entry="$1"
  if [[ "$entry" =~ ^([0-9]+)-0: ]]; then  # a root hub's own interface
    echo "$(device_path "usb${BASH_REMATCH[1]}")/$entry"
  elif [[ "$entry" == *:* ]]; then
    echo "$(device_path "${entry%%:*}")/$entry"
  elif [[ "$entry" == usb* ]]; then
    echo "$CONTROLLER/$entry"
  elif [[ "$entry" == *.* ]]; then
    echo "$(device_path "${entry%.*}")/$entry"
  else
    echo "$(device_path "usb${entry%%-*}")/$entry"
  fi
}

# The entry the port hangs off: the root hub for 1-2, the hub 1-2 for 1-2.3.
parent_of() {
  local port="$1"
  if [[ "$port" == *.* ]]; then echo "${port%.*}"; else echo "usb${port%%-*}"; fi
}

write_attribute() {  # DIR NAME VALUE: sysfs ends every attribute with a newline
  printf '%s\n' "$3" >"$1/$2"
}

link_entry() {  # ENTRY: bus/usb/devices/ENTRY -> ../../../<its directory>
  ln -sfn "../../../$(device_path "$1")" "$root/bus/usb/devices/$1"
}

check_text() {  # WHAT VALUE: attribute texts are one line
  [[ "$2" != *[[:cntrl:]]* ]] || die "$1 must not contain control characters"
}

need_bus() {
  [[ -n "$root" ]] || die "no bus directory: give --root DIR or set MOBILEINFO_SYSFS_ROOT"
  [[ -d "$root/bus/usb/devices" ]] || die "$root holds no fake bus (run: fake-usb.sh --root $root init)"
}

cmd_init() {
  [[ -n "$root" ]] || die "no bus directory: give --root DIR or set MOBILEINFO_SYSFS_ROOT"
  mkdir -p "$root/bus/usb/devices" || die "cannot create $root/bus/usb/devices"
  local bus version product
  for bus in 1 2; do
    [[ -e "$root/bus/usb/devices/usb$bus" ]] && continue
    if [[ $bus == 1 ]]; then version=" 2.00" product="EHCI Host Controller"
    else version=" 3.00" product="xHCI Host Controller"; fi
    local dir
    dir="$root/$(device_path "usb$bus")"
    mkdir -p "$dir/$bus-0:1.0"
    write_attribute "$dir" idVendor 1d6b
    write_attribute "$dir" idProduct "000$((bus + 1))"
    write_attribute "$dir" version "$version"
    write_attribute "$dir" bDeviceClass 09
    write_attribute "$dir" bNumInterfaces " 1"
    write_attribute "$dir" manufacturer "Linux 6.1.0 ehci_hcd"
    write_attribute "$dir" product "$product"
    write_attribute "$dir" serial "0000:00:14.0"
    write_attribute "$dir/$bus-0:1.0" bInterfaceNumber 00
    write_attribute "$dir/$bus-0:1.0" bInterfaceClass 09
    write_attribute "$dir/$bus-0:1.0" bInterfaceSubClass 00
    write_attribute "$dir/$bus-0:1.0" bInterfaceProtocol 00
    link_entry "$bus-0:1.0"
    link_entry "usb$bus"
  done
}

cmd_plug() {
  need_bus
  (($# >= 2)) || die "plug needs PORT and VID:PID"
  local port="$1" ids="$2"
  shift 2
  [[ "$port" =~ ^[0-9]+-[0-9]+(\.[0-9]+)*$ ]] || die "bad port $port (expected a port path such as 1-2 or 1-2.3)"
  [[ "$ids" =~ ^[0-9A-Fa-f]{4}:[0-9A-Fa-f]{4}$ ]] || die "bad ids $ids (expected VID:PID in hexadecimal, such as 18d1:4f3a)"
  local parent
  parent="$(parent_of "$port")"
  [[ -e "$root/bus/usb/devices/$parent" ]] || die "cannot plug into $port: $parent is not plugged in"
  [[ ! -e "$root/bus/usb/devices/$port" ]] || die "port $port is taken (unplug it first)"

  local serial="" product="" manufacturer="" device_class=00 interfaces=()
  while (($#)); do
    case "$1" in
      --serial|--product|--manufacturer|--interface)
        (($# >= 2)) || die "option $1 needs a value"
        check_text "$1" "$2"
        case "$1" in
          --serial) serial="$2" ;;
          --product) product="$2" ;;
          --manufacturer) manufacturer="$2" ;;
          --interface)
            [[ "$2" =~ ^[0-9A-Fa-f]{2}/[0-9A-Fa-f]{2}/[0-9A-Fa-f]{2}(/.*)?$ ]] ||
              die "bad interface $2 (expected CC/SS/PP or CC/SS/PP/TEXT in hexadecimal)"
            interfaces+=("$2") ;;
        esac
        shift 2 ;;
      --adb) interfaces+=("ff/42/01/ADB Interface"); shift ;;
      --mtp) interfaces+=("06/01/01/MTP"); shift ;;
      --storage) interfaces+=("08/06/50"); shift ;;
      --hub) interfaces+=("09/00/00"); device_class=09; shift ;;
      *) die "unknown plug option $1" ;;
    esac
  done

  local dir
  dir="$root/$(device_path "$port")"
  rm -rf "$dir"
  mkdir -p "$dir" || die "cannot create $dir"
  write_attribute "$dir" idVendor "$(tr A-F a-f <<<"${ids%%:*}")"
  write_attribute "$dir" idProduct "$(tr A-F a-f <<<"${ids##*:}")"
  write_attribute "$dir" version " 2.00"
  write_attribute "$dir" speed 480
  write_attribute "$dir" bDeviceClass "$device_class"
  write_attribute "$dir" bNumConfigurations 1
  write_attribute "$dir" bConfigurationValue 1
  write_attribute "$dir" bNumInterfaces "$(printf '%2d' "${#interfaces[@]}")"
  [[ -n "$manufacturer" ]] && write_attribute "$dir" manufacturer "$manufacturer"
  [[ -n "$product" ]] && write_attribute "$dir" product "$product"
  [[ -n "$serial" ]] && write_attribute "$dir" serial "$serial"

  local number=0 spec names=()
  for spec in "${interfaces[@]}"; do
    local name="$port:1.$number" idir
    idir="$dir/$name"
    mkdir -p "$idir"
    IFS=/ read -r cc ss pp text <<<"$spec"
    write_attribute "$idir" bInterfaceNumber "$(printf '%02x' "$number")"
    write_attribute "$idir" bAlternateSetting 00
    write_attribute "$idir" bInterfaceClass "${cc,,}"
    write_attribute "$idir" bInterfaceSubClass "${ss,,}"
    write_attribute "$idir" bInterfaceProtocol "${pp,,}"
    [[ -n "${text:-}" ]] && write_attribute "$idir" interface "$text"
    names+=("$name")
    number=$((number + 1))
  done
  for spec in "${names[@]}"; do link_entry "$spec"; done
  link_entry "$port"
}

cmd_unplug() {
  need_bus
  (($# == 1)) || die "unplug needs PORT"
  local port="$1"
  [[ "$port" =~ ^[0-9]+-[0-9]+(\.[0-9]+)*$ ]] || die "bad port $port"
  [[ -e "$root/bus/usb/devices/$port" ]] || die "nothing is plugged into $port"
  # The device's own link first, then its interfaces and whatever sits behind it (a hub's devices).
  rm -f "$root/bus/usb/devices/$port"
  local link
  for link in "$root/bus/usb/devices/$port".* "$root/bus/usb/devices/$port":*; do
    [[ -L "$link" ]] && rm -f "$link"
  done
  rm -rf "${root:?}/$(device_path "$port")"
}

cmd_set() {
  need_bus
  (($# == 3)) || die "set needs ENTRY ATTRIBUTE VALUE"
  [[ -L "$root/bus/usb/devices/$1" ]] || die "no entry $1 on the bus"
  [[ "$2" =~ ^[A-Za-z0-9_]+$ ]] || die "bad attribute name $2"
  check_text "value" "$3"
  write_attribute "$root/$(device_path "$1")" "$2" "$3"
}

cmd_list() {
  need_bus
  local link entry
  for link in "$root"/bus/usb/devices/*; do
    [[ -L "$link" ]] || continue
    entry="${link##*/}"
    [[ "$entry" == *:* || "$entry" == usb* ]] && continue
    local ids functions="" i
    ids="$(cat "$link/idVendor" 2>/dev/null):$(cat "$link/idProduct" 2>/dev/null)"
    for i in "$root/bus/usb/devices/$entry":*; do
      [[ -L "$i" ]] || continue
      functions+=" $(cat "$i/bInterfaceClass")/$(cat "$i/bInterfaceSubClass")/$(cat "$i/bInterfaceProtocol")"
    done
    printf '%-8s %s  serial=%s  product="%s"  interfaces:%s\n' "$entry" "$ids" \
      "$(cat "$link/serial" 2>/dev/null || true)" "$(cat "$link/product" 2>/dev/null || true)" \
      "${functions:- none}"
  done
}

while (($#)); do
  case "$1" in
    --root)
      (($# >= 2)) || die "option --root needs a value"
      root="$2"
      shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) break ;;
  esac
done
(($#)) || { usage >&2; exit 2; }
command="$1"
shift
case "$command" in
  init) (($# == 0)) || die "init takes no arguments"; cmd_init ;;
  plug) cmd_plug "$@" ;;
  unplug) cmd_unplug "$@" ;;
  set) cmd_set "$@" ;;
  list) cmd_list "$@" ;;
  *) die "unknown command $command (commands: init, plug, unplug, set, list)" ;;
esac
