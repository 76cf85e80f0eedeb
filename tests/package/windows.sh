#!/usr/bin/env bash
# The Windows packages under Wine, as an administrator would meet them: the
# zip unpacked and ostrim.exe -CHECK run from it; the installer run silently
# (/S) over a folder that holds a site's Ombrel.ini already, the files and
# the registered service checked; the service started, and the uninstaller
# run silently while its stop command takes its time: it waits until the
# service has stopped, then everything it installed is gone, and only the
# site's own files stay.
#
#   tests/package/windows.sh BUILD_DIR ARCH      (ARCH: x86 or x64)
set -euo pipefail
build=$(cd "$1" && pwd)
arch=$2
version=$(sed -n 's/^project(ostrim VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
wineserver=wineserver
[ -x /usr/lib/wine/wineserver64 ] && wineserver=/usr/lib/wine/wineserver64
if [ "$arch" = x64 ]; then loader=$wine64; else loader=$wine32; fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX
WINEPREFIX=$(mktemp -d)
scratch=$(mktemp -d)
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

source "$(dirname "$0")/../wine/thirty_two.sh"
why_not_32=$(why_not_32_bit)

echo "== the zip ($arch)"
unzip -q "$build/ostrim-$version-windows-$arch.zip" -d "$scratch/zip"
for f in ostrim.exe Ombrel.ini.example README.txt; do [ -f "$scratch/zip/$f" ] || fail "zip lacks $f"; done
for f in Ombrel.ini.example README.txt; do
  grep -q $'\r$' "$scratch/zip/$f" || fail "$f has no CRLF line ends"
  [ "$(grep -c $'[^\r]$' "$scratch/zip/$f" || true)" -eq 0 ] || fail "$f has bare LF line ends"
done
if [ "$arch" = x86 ] && [ -n "$why_not_32" ]; then
  echo "32-bit Windows package test not run: $why_not_32"
  exit 0
fi
# The prefix booted once, then one wineserver for the whole test: otherwise
# each command would boot the prefix anew, and Wine starts the services
# registered to start automatically at every boot (Windows, at the next).
"$loader" wineboot -i >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p
set +e
"$loader" "$scratch/zip/ostrim.exe" -CHECK >/dev/null 2>"$scratch/check.err"
status=$?
set -e
[ $status -eq 3 ] || fail "-CHECK without a profile: status $status: $(cat "$scratch/check.err")"
cp "$scratch/zip/Ombrel.ini.example" "$scratch/zip/Ombrel.ini"
out=$("$loader" "$scratch/zip/ostrim.exe" -CHECK 2>/dev/null | tr -d '\r') || true
grep -qx $'database\tventas' <<<"$out" || fail "-CHECK of the example: $out"
echo "-CHECK from the zip: ok"

echo "== the installer ($arch)"
if [ -n "$why_not_32" ]; then
  echo "Windows installer test not run: $why_not_32 (NSIS installers are 32-bit)"
  exit 0
fi
if [ "$arch" = x64 ]; then
  folder="$WINEPREFIX/drive_c/Program Files/ostrim"
else
  folder="$WINEPREFIX/drive_c/Program Files (x86)/ostrim"
  [ -d "$WINEPREFIX/drive_c/Program Files (x86)" ] || folder="$WINEPREFIX/drive_c/Program Files/ostrim"
fi
mkdir -p "$folder"
printf '[bases4GL]\r\nsite=own\r\n' >"$folder/Ombrel.ini"
"$wine32" "$build/ostrim-$version-setup-$arch.exe" /S
for f in ostrim.exe Ombrel.ini.example README.txt uninstall.exe; do
  [ -f "$folder/$f" ] || fail "installed: no $f in $folder"
done
[ "$(cat "$folder/Ombrel.ini")" = $'[bases4GL]\r\nsite=own\r' ] || fail "the site's Ombrel.ini was touched"
key='HKLM\System\CurrentControlSet\Services\ostrim'
reg=$("$loader" reg query "$key" 2>/dev/null | tr -d '\r') || fail "the service is not registered"
grep -q 'DisplayName.*Bases de Datos Tarquesa' <<<"$reg" || fail "registered as: $reg"
status=$("$loader" "$folder/ostrim.exe" -STATUS 2>/dev/null | tr -d '\r') || true
grep -qx $'state\tnone' <<<"$status" || fail "started by the installer: $status"
echo "installed: ok"

echo "== the uninstaller ($arch), while the service runs"
# The site's own: its profile, its start and stop tool, and what they write.
cp "$build/recorder.exe" "$folder/"
printf '[arranque]\r\n1=SET T_LOG=Z:%s/record.log\r\n[start]\r\n1=recorder.exe start\r\n[stop]\r\n1=recorder.exe stop @sleep=3000\r\n[bases4GL]\r\nsite=own\r\n' \
  "$scratch" >"$folder/Ombrel.ini"
"$loader" net start ostrim >/dev/null 2>&1 || true
for _ in $(seq 1 100); do
  "$loader" "$folder/ostrim.exe" -STATUS >/dev/null 2>&1 && break
  sleep 0.1
done
"$loader" "$folder/ostrim.exe" -STATUS >/dev/null 2>&1 || fail "the service did not start"
"$wine32" "$folder/uninstall.exe" /S
# The uninstaller runs from a copy of itself: wait for it.
for _ in $(seq 1 300); do
  "$loader" reg query "$key" >/dev/null 2>&1 || break
  sleep 0.1
done
for _ in $(seq 1 100); do
  [ -e "$folder/ostrim.exe" ] || break
  sleep 0.1
done
"$loader" reg query "$key" >/dev/null 2>&1 && fail "the service is still registered"
[ -e "$folder/ostrim.exe" ] && fail "ostrim.exe is still there: the uninstaller did not wait"
grep -q $'^end\t' "$scratch/record.log" || fail "the stop command did not run to its end"
[ "$(grep -c $'^begin.*\tstop' "$scratch/record.log")" -eq 1 ] || fail "the stop ran $(grep -c stop "$scratch/record.log") times"
left=$(cd "$folder" && find . -type f | sort | paste -sd' ')
# The site's profile, its tool and its databases' output logs stay.
[ "$left" = "./Ombrel.ini ./logs/site.log ./recorder.exe" ] || fail "left behind: $left"
"$loader" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ostrim' >/dev/null 2>&1 &&
  fail "the uninstall entry is still there"
echo "Windows packages ($arch): every check passed"
