#!/usr/bin/env bash
# The installer in a fresh Wine prefix of its own: a silent install puts every
# file and registry value in place, an ASIO host (when given) finds the
# installed driver through the registry and creates it, and a silent
# uninstall leaves nothing of ours behind but the user's panel settings
# (gone too with /PURGE).
#
#   installer.sh [--asio] [--panel] SETUP.EXE [ASIOHOST.EXE]
# --asio and --panel say the installer carries the ASIO driver and the panel.
set -u
asio=0 panel=0
while [[ ${1:-} == --* ]]; do
  case $1 in
    --asio) asio=1 ;;
    --panel) panel=1 ;;
  esac
  shift
done
setup=$1 host=${2:-}
here=$(dirname "$(readlink -f "$0")")/../../cmake
. "$here/wine-env"
work=$(mktemp -d "${TMPDIR:-/tmp}/tqm-install.XXXXXX")
export WINEPREFIX=$work/prefix
log=$work/wine.log
failures=0
fail() {
  echo "installer: $*" >&2
  failures=$((failures + 1))
}
finish() {
  "$WINESERVER" -k 2>/dev/null
  if ((failures)); then
    echo "--- what Wine printed:" >&2
    grep -v -e '^$' "$log" | tail -20 >&2
  fi
  [[ -n ${TQM_KEEP_PREFIX:-} ]] || rm -rf "$work"
  exit $((failures ? 1 : 0))
}
wine() { timeout 120 "$WINE64" "$@" </dev/null 2>>"$log"; }
# The value of one registry value, or nothing.
value() {
  # A key's default value is asked for with /ve; it prints as "(Default)".
  local which=(/v "$2")
  [[ $2 == "(Default)" ]] && which=(/ve)
  wine reg query "$1" "${which[@]}" | tr -d '\r' | awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^  */, ""); print }'
}
key_exists() { wine reg query "$1" >/dev/null; }
expect_value() {
  local got
  got=$(value "$1" "$2")
  [[ $got == "$3" ]] || fail "$1 $2 is '$got', expected '$3'"
}

wine wineboot -i >/dev/null || { fail "the prefix could not be made"; finish; }
"$WINESERVER" -w
cp "$setup" "$work/setup.exe"
wine "$work/setup.exe" /S >>"$log" || fail "the silent install failed"
"$WINESERVER" -w

dir='C:\Program Files\ORU\TQM27'
unix=$WINEPREFIX/drive_c/Program\ Files/ORU/TQM27
clsid='{F10D3474-B826-4CE8-B404-FB667F14F12F}'
files=(driver/TQMDRV.sys driver/TQMDRV.inf driver/tqm27-test.cer Uninstall.exe)
((asio)) && files+=(TQMAsio.dll)
((panel)) && files+=(TQMPanel.exe)
for f in "${files[@]}"; do
  [[ -f $unix/$f ]] || fail "not installed: $f"
done
((asio)) && {
expect_value "HKLM\\SOFTWARE\\ASIO\\ORU TQM27 ASIO DRIVER" CLSID "$clsid"
expect_value "HKLM\\SOFTWARE\\ASIO\\ORU TQM27 ASIO DRIVER" Description "ORU TQM27 ASIO DRIVER"
expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" "(Default)" "$dir\\TQMAsio.dll"
expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel Both
}
((panel)) && expect_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' TQMPanel "\"$dir\\TQMPanel.exe\""
staged=$(value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ORU TQM27' StagedInf)
# Windows names a staged package oemN.inf; Wine keeps the INF's own name.
[[ $staged == *.inf && -f $WINEPREFIX/drive_c/windows/inf/$staged ]] ||
  fail "the driver package was not staged (StagedInf '$staged')"

if [[ -n $host ]]; then
  # No TQM27 under plain Wine: the installed, shipped library is found and
  # created, and its init reports that the device cannot be opened.
  out=$(wine "$host" --installed 2>&1 | tr -d '\r')
  grep -q 'ASIO Open Fails' <<<"$out" || fail "the ASIO host did not create the installed driver: $out"
fi

# Settings of the user's panel, to see which uninstall keeps them.
wine reg add 'HKCU\Software\ORU\TQM27' /v WinX /t REG_DWORD /d 5 /f >/dev/null
wine "$unix/Uninstall.exe" /S >>"$log" || fail "the silent uninstall failed"
"$WINESERVER" -w
[[ ! -e $unix ]] || fail "files left after uninstall: $(cd "$unix" && find . -type f | tr '\n' ' ')"
[[ ! -e $WINEPREFIX/drive_c/Program\ Files/ORU ]] || fail "the ORU folder is left"
for k in "HKLM\\SOFTWARE\\ASIO\\ORU TQM27 ASIO DRIVER" "HKCR\\CLSID\\$clsid" \
         'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ORU TQM27'; do
  key_exists "$k" && fail "left after uninstall: $k"
done
[[ -z $(value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' TQMPanel) ]] || fail "the logon entry is left"
[[ -n $staged && -f $WINEPREFIX/drive_c/windows/inf/$staged ]] && fail "the staged driver package is left"
[[ $(value 'HKCU\Software\ORU\TQM27' WinX) == 0x5 ]] || fail "the user's panel settings did not stay"

# Again, with /PURGE: the settings go too.
wine "$work/setup.exe" /S >>"$log" || fail "the second install failed"
"$WINESERVER" -w
wine "$unix/Uninstall.exe" /S /PURGE >>"$log" || fail "the purging uninstall failed"
"$WINESERVER" -w
key_exists 'HKCU\Software\ORU\TQM27' && fail "/PURGE left the panel settings"
finish
