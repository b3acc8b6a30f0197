#!/usr/bin/env bash
# TQMDRV.sys under an implementation of the kernel interfaces nobody here
# wrote: Wine's. In a fresh prefix of its own the image is installed as a
# demand-start kernel service and started with `sc start`; Wine's loader must
# resolve every import (ntoskrnl.exe, HAL.dll, USBD.SYS) and DriverEntry must
# succeed and print the build banner. `sc stop` unloads it again, and the
# unload routine's trace line must appear.
#
#   kernel_load.sh TQMDRV.sys
set -u
image=$1
here=$(dirname "$(readlink -f "$0")")/../../cmake
. "$here/wine-env"
work=$(mktemp -d "${TMPDIR:-/tmp}/tqm-kernel.XXXXXX")
export WINEPREFIX=$work/prefix
# The driver's DbgPrintEx lines come out on Wine's debugstr channel, in the
# output of the device host the service manager starts, which inherits the
# standard error of the program that started the wineserver.
export WINEDEBUG=-all,+debugstr,err+sc,err+ntoskrnl,err+service
log=$work/wine.log
fail() {
  echo "kernel_load: $*" >&2
  echo "--- what Wine printed:" >&2
  grep -v -e '^$' "$log" | tail -20 >&2
  "$WINESERVER" -k 2>/dev/null
  [[ -n ${TQM_KEEP_PREFIX:-} ]] || rm -rf "$work"
  exit 1
}

timeout 120 "$WINE64" wineboot -i </dev/null >/dev/null 2>>"$log" || fail "the prefix could not be made"
# Let the new prefix's first boot end before the service is created; then a
# server that stays up for the rest, so the service manager and the device
# host keep their output in the log.
"$WINESERVER" -w
"$WINESERVER" -p 2>>"$log" || fail "no wineserver"
cp "$image" "$WINEPREFIX/drive_c/windows/system32/drivers/TQMDRV.sys" || fail "cannot copy $image"
timeout 60 "$WINE64" sc create TQM27_01 binpath= 'C:\windows\system32\drivers\TQMDRV.sys' type= kernel \
  start= demand </dev/null >>"$log" 2>&1 || fail "sc create failed"
timeout 60 "$WINE64" sc start TQM27_01 </dev/null >>"$log" 2>&1 || fail "sc start failed: the image did not load or DriverEntry failed"
timeout 60 "$WINE64" sc stop TQM27_01 </dev/null >>"$log" 2>&1 || fail "sc stop failed"
"$WINESERVER" -k
"$WINESERVER" -w
grep -q 'Built version - ' "$log" || fail "no build banner from DriverEntry"
grep -q 'Cntr DriverUnload' "$log" || fail "the driver was not unloaded"
grep -E 'Built version|Cntr' "$log" | sed 's/^.*vDbgPrintExWithPrefix [0-9a-f:]* *//'
rm -rf "$work"
