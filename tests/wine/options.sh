#!/usr/bin/env bash
# The settings of [opciones] on Windows under Wine: the pre-shutdown time the
# Service Control Manager keeps for the service (set by -INSTALL, and again
# at each start), and a start and a stop that honour simultaneas and
# espera_parada.
#
#   tests/wine/options.sh BUILD_DIR [LOADER]
. "$(dirname "$0")/common.sh"

fail() {
  echo "FAIL: $*"
  echo "--- record.log"; cat "$site/record.log" 2>/dev/null || true
  exit 1
}
key='HKLM\System\CurrentControlSet\Services\ostrim'
preshutdown() {
  "$wine" reg query "$key" /v PreshutdownTimeout 2>/dev/null | tr -d '\r' |
    sed -n 's/.*REG_DWORD[[:space:]]*0x\([0-9a-fA-F]*\).*/\1/p' | { read -r hex; echo $((16#$hex)); }
}
profile() {
  cat > "$site/Ombrel.ini" <<INI
[opciones]
$1
[arranque]
1=SET T_LOG=Z:${site}/record.log
[start]
1=recorder.exe start
[stop]
1=recorder.exe stop
[bases4GL]
lenta=@sleep=2000 l
rapida=r
otra=o
INI
}
cp "$build/ostrim.exe" "$build/recorder.exe" "$build/svcctl.exe" "$site/"

start_prefix

echo "== the pre-shutdown time: 10 minutes without a limit, parada_total with one"
profile ""
"$wine" "$site/ostrim.exe" -INSTALL >/dev/null
[ "$(preshutdown)" = 600000 ] || fail "without parada_total: $(preshutdown)"
profile "parada_total=45"
"$wine" "$site/ostrim.exe" -INSTALL >/dev/null
[ "$(preshutdown)" = 45000 ] || fail "with parada_total=45: $(preshutdown)"

echo "== a start and a stop that honour simultaneas and espera_parada"
profile $'simultaneas=2\r\nespera_parada=0.5\r\nparada_total=30'
"$wine" net start ostrim >/dev/null 2>&1 || true
for _ in $(seq 1 300); do
  count=$(grep -c '^begin.*start' "$site/record.log" 2>/dev/null) || count=0
  [ "$count" -ge 3 ] && break
  sleep 0.1
done
for _ in $(seq 1 100); do
  [ "$("$wine" "$site/svcctl.exe" state ostrim | tr -d '\r')" = RUNNING ] && break
  sleep 0.1
done
# The service set its pre-shutdown time again as it started.
[ "$(preshutdown)" = 30000 ] || fail "after the start: $(preshutdown)"
"$wine" net stop ostrim >/dev/null 2>&1 || true
for _ in $(seq 1 100); do
  [ "$("$wine" "$site/svcctl.exe" state ostrim | tr -d '\r')" = STOPPED ] && break
  sleep 0.1
done
# Every start, at most two at once; the slow stop goes on while the next
# database's stop begins, and is never killed.
starts=$(grep -c '^begin.*start' "$site/record.log")
[ "$starts" -eq 3 ] || fail "starts: $starts"
slow=$(grep $'^begin\t' "$site/record.log" | grep $'\tstop|@sleep=2000\t' | cut -f2,3)
[ -n "$slow" ] || fail "the slow stop never began"
slow_begin=${slow%%$'\t'*}
slow_pid=${slow##*$'\t'}
next_begin=$(grep $'^begin\t' "$site/record.log" | grep $'\tstop|r\t' | cut -f2)
slow_end=$(grep $'^end\t' "$site/record.log" | awk -F'\t' -v p="$slow_pid" '$3 == p { print $2 }')
[ -n "$slow_end" ] || fail "the slow stop did not end by itself"
[ $((slow_end - slow_begin)) -ge 1900 ] || fail "the slow stop was cut short"
[ "$next_begin" -lt "$slow_end" ] || fail "the next stop waited for the slow one"
"$wine" "$site/ostrim.exe" -UNINSTALL >/dev/null
echo "wine options: every check passed"
