#!/usr/bin/env bash
# The Windows packages under Wine, as an administrator would meet them: the
# zip unpacked and ostrim.exe -CHECK run from it; the installer run silently
# (/S) over a folder that holds a site's Ombrel.ini already, the files and
# the registered service checked; the service started, and the registered
# quiet uninstall run as a deployment tool runs it while the service's stop
# command takes its time: when it returns, the service has stopped and is
# unregistered, everything it installed is gone but uninstall.exe itself,
# and the site's own files stay. The x64 installer is a 64-bit program and
# runs under a 64-bit-only Wine; the x86 one needs 32-bit Wine.
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
[ $status -eq 1 ] || fail "-CHECK without a profile (the start would fail): status $status: $(cat "$scratch/check.err")"
cp "$scratch/zip/Ombrel.ini.example" "$scratch/zip/Ombrel.ini"
out=$("$loader" "$scratch/zip/ostrim.exe" -CHECK 2>/dev/null | tr -d '\r') || true
grep -qx $'database\tventas' <<<"$out" || fail "-CHECK of the example: $out"
echo "-CHECK from the zip: ok"

echo "== the installer ($arch)"
installer="$build/ostrim-$version-setup-$arch.exe"
if [ "$arch" = x64 ]; then kind='PE32+ executable'; else kind='PE32 executable'; fi
file "$installer" | grep -q "$kind" || fail "the $arch installer is not a $kind: $(file "$installer")"
if [ "$arch" = x64 ]; then
  folder="$WINEPREFIX/drive_c/Program Files/ostrim"
else
  folder="$WINEPREFIX/drive_c/Program Files (x86)/ostrim"
  [ -d "$WINEPREFIX/drive_c/Program Files (x86)" ] || folder="$WINEPREFIX/drive_c/Program Files/ostrim"
fi
mkdir -p "$folder"
printf '[bases4GL]\r\nsite=own\r\n' >"$folder/Ombrel.ini"
"$loader" "$installer" /S
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
# What is checked next holds the moment it returns: nothing is waited for.
"$loader" "$build/svcctl.exe" quiet-uninstall ostrim | tr -d '\r' || fail "the quiet uninstall failed"
"$loader" reg query "$key" >/dev/null 2>&1 && fail "the service is still registered"
[ -e "$folder/ostrim.exe" ] && fail "ostrim.exe is still there: the uninstall returned before it ended"
grep -q $'^end\t' "$scratch/record.log" || fail "the stop command did not run to its end"
[ "$(grep -c $'^begin.*\tstop' "$scratch/record.log")" -eq 1 ] || fail "the stop ran $(grep -c stop "$scratch/record.log") times"
left=$(cd "$folder" && find . -type f | sort | paste -sd' ')
# The site's profile, its tool and its databases' output logs stay; and
# uninstall.exe, which ran in place, for the caller to remove.
[ "$left" = "./Ombrel.ini ./logs/site.log ./recorder.exe ./uninstall.exe" ] || fail "left behind: $left"
rm "$folder/uninstall.exe" || fail "uninstall.exe cannot be removed once the uninstall returned"
"$loader" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ostrim' >/dev/null 2>&1 &&
  fail "the uninstall entry is still there"
echo "Windows packages ($arch): every check passed"
