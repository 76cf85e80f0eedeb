#!/usr/bin/env bash
# The Windows service end to end under Wine, in a throwaway WINEPREFIX:
# -INSTALL (the registry key: display name, start type 2), net start (the
# start commands run, with the [arranque] environment), pause and continue
# through ControlService, then through ostrim -PAUSE and -CONTINUE (which
# wait for the sequence and print its outcome) and -STATUS, net stop (the
# stop commands run in order, each to its end), -UNINSTALL (the key is gone).
#
#   tests/wine/e2e.sh BUILD_DIR [LOADER]
#
# BUILD_DIR holds ostrim.exe, recorder.exe and svcctl.exe; LOADER is the Wine
# loader of their architecture (/usr/lib/wine/wine or /usr/lib/wine/wine64),
# which also makes the prefix. Default: "wine".
. "$(dirname "$0")/common.sh"

fail() {
  echo "FAIL: $*"
  echo "--- record.log"; cat "$site/record.log" 2>/dev/null || true
  echo "--- -STATUS"; "$wine" "$site/ostrim.exe" -STATUS 2>&1 || true
  exit 1
}
# Waits until FILE has at least N lines matching PATTERN.
wait_lines() {
  local pattern=$1 n=$2
  for _ in $(seq 1 300); do
    local count
    count=$(grep -c -- "$pattern" "$site/record.log" 2>/dev/null) || count=0
    [ "$count" -ge "$n" ] && return 0
    sleep 0.1
  done
  fail "expected $n lines matching '$pattern'"
}

cp "$build/ostrim.exe" "$build/recorder.exe" "$build/svcctl.exe" "$site/"
cat > "$site/Ombrel.ini" <<INI
[arranque]
1=SET T_LOG=Z:${site}/record.log
2=T_LANG=es
[start]
1=recorder.exe start
[stop]
1=recorder.exe stop @sleep=300
[basesSQL]
ventas=ventas_sql -q
[bases4GL]
ventas=base1 -s 5
compras=base2
INI
unix2dos -q "$site/Ombrel.ini" 2>/dev/null || sed -i 's/$/\r/' "$site/Ombrel.ini"

start_prefix
echo "== -INSTALL"
# (Its standard error to a file: what Wine starts for it may hold that open.)
"$wine" "$site/ostrim.exe" -INSTALL 2>"$site/install.err" | tr -d '\r'
# The access it sets (Performance Monitor Users may query it: -STATUS) is
# taken. (Wine keeps no service's access list to read back.)
grep -q "cannot let Performance Monitor Users" "$site/install.err" &&
  fail "-INSTALL: $(cat "$site/install.err")"
key='HKLM\System\CurrentControlSet\Services\ostrim'
reg=$("$wine" reg query "$key" 2>/dev/null | tr -d '\r')
grep -q 'DisplayName.*Bases de Datos Tarquesa' <<<"$reg" || fail "display name: $reg"
grep -Eq 'Start[[:space:]]+REG_DWORD[[:space:]]+0x2' <<<"$reg" || fail "start type: $reg"

echo "== net start"
"$wine" net start ostrim >/dev/null 2>&1 || true
wait_lines '^begin.*start' 3
state=$("$wine" "$site/svcctl.exe" state ostrim | tr -d '\r')
[ "$state" = RUNNING ] || fail "after net start: $state"
starts=$(grep '^begin' "$site/record.log" | cut -f4 | paste -sd' ')
[ "$starts" = "start|ventas_sql|-q|-z start|base1|-s|5|-z start|base2|-z" ] || fail "starts: $starts"
grep '^begin' "$site/record.log" | cut -f5 | grep -qv 'T_LANG=es' && fail "environment not inherited"

echo "== pause"
[ "$("$wine" "$site/svcctl.exe" pause ostrim | tr -d '\r')" = PAUSED ] || fail "pause"
wait_lines '^begin.*stop' 2
echo "== continue"
[ "$("$wine" "$site/svcctl.exe" continue ostrim | tr -d '\r')" = RUNNING ] || fail "continue"
wait_lines '^begin.*start' 6

echo "== -STATUS, -PAUSE, -CONTINUE"
status=$("$wine" "$site/ostrim.exe" -STATUS | tr -d '\r') || fail "-STATUS: exit $?"
grep -qx $'state\trunning' <<<"$status" || fail "-STATUS: $status"
grep -qx $'last_request\tcontinue' <<<"$status" || fail "-STATUS: $status"
# The same as Prometheus metrics, to a file written whole (windows_exporter's
# textfile collector reads such a file).
"$wine" "$site/ostrim.exe" -STATUS -PROMETHEUS "Z:$site/ostrim.prom" || fail "-STATUS -PROMETHEUS: exit $?"
grep -qx 'ostrim_up 1' "$site/ostrim.prom" || fail "-STATUS -PROMETHEUS: $(cat "$site/ostrim.prom")"
grep -q '^ostrim_state{state="running"} 1$' "$site/ostrim.prom" || fail "the state: $(cat "$site/ostrim.prom")"
[ -z "$(find "$site" -name 'ostrim.prom.new-*')" ] || fail "a file was left beside ostrim.prom"
out=$("$wine" "$site/ostrim.exe" -PAUSE | tr -d '\r') || fail "-PAUSE: exit $?: $out"
grep -q '^pause: done in .* s: 2 command lines, all launched (was running, now paused)$' <<<"$out" \
  || fail "-PAUSE: $out"
[ "$(grep -c '^begin.*stop' "$site/record.log")" -eq 4 ] || fail "-PAUSE returned before its stops"
status=$("$wine" "$site/ostrim.exe" -status | tr -d '\r') || fail "-STATUS: exit $?"
grep -qx $'state\tpaused' <<<"$status" || fail "-STATUS when paused: $status"
out=$("$wine" "$site/ostrim.exe" -Continue | tr -d '\r') || fail "-CONTINUE: exit $?: $out"
grep -q '^continue: done in .*(was paused, now running)$' <<<"$out" || fail "-CONTINUE: $out"
wait_lines '^begin.*start' 9

echo "== a selected database that [bases4GL] lacks: degraded"
mkdir -p "$site/bases"
printf '[seleccion]\r\nventas=\r\nrota=\r\n' > "$site/bases/tmp.ini"
set +e
out=$("$wine" "$site/ostrim.exe" -CONTINUE 2>&1 | tr -d '\r')
status=$?
"$wine" "$site/ostrim.exe" -STATUS >/dev/null 2>&1
status_exit=$?
json=$("$wine" "$site/ostrim.exe" -STATUS -JSON 2>/dev/null | tr -d '\r')
set -e
[ $status -eq 1 ] || fail "-CONTINUE with a database not started: exit $status: $out"
grep -q 'rota, 4GL: not launched' <<<"$out" || fail "-CONTINUE does not name it: $out"
[ $status_exit -eq 4 ] || fail "-STATUS of a degraded service: exit $status_exit"
[ "$(jq -r .health <<<"$json")" = degraded ] || fail "-STATUS -JSON: $json"
[ "$(jq -r '.databases[] | select(.name == "rota") | .state' <<<"$json")" = not_launched ] ||
  fail "-STATUS -JSON: $json"
[ "$(jq -r '.databases[] | select(.name == "ventas" and .pass == "4GL") | .state' <<<"$json")" = \
  start_ended ] || fail "-STATUS -JSON: $json"
[ "$(jq -r .pid <<<"$json")" -gt 0 ] || fail "-STATUS -JSON: no pid: $json"
rm "$site/bases/tmp.ini"
out=$("$wine" "$site/ostrim.exe" -CONTINUE 2>&1 | tr -d '\r') || fail "-CONTINUE: $out"
"$wine" "$site/ostrim.exe" -STATUS >/dev/null 2>&1 || fail "-STATUS after a good start: not 0"

echo "== each database's output, in logs\\DATABASE.log, each line with its local time"
# The service copies each launch's output there as it comes: waited for.
stamp='[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9]\{3\} '
logged() {  # logged PATTERN FILE: PATTERN is in FILE within 10 s
  for _ in $(seq 1 100); do
    grep -q -- "$1" "$2" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
logged "^${stamp}recorder start|base1|-s|5|-z" "$site/logs/ventas.log" || fail "ventas.log: $(cat "$site/logs/ventas.log" 2>&1)"
logged "^${stamp}recorder err" "$site/logs/ventas.log" || fail "ventas.log lacks the standard error"
logged "^${stamp}recorder start|base2|-z" "$site/logs/compras.log" || fail "compras.log"
grep -q 'base1' "$site/logs/compras.log" && fail "compras.log holds ventas' output"
grep -v -- "^${stamp}" "$site/logs/ventas.log" && fail "ventas.log: lines without their time"
# A file past 10 MB is renamed .log.1 when the next launch opens it.
head -c 10000001 /dev/zero | tr '\0' 'x' >"$site/logs/compras.log"
out=$("$wine" "$site/ostrim.exe" -CONTINUE 2>&1 | tr -d '\r') || fail "-CONTINUE: $out"
[ "$(stat -c %s "$site/logs/compras.log.1")" -eq 10000001 ] || fail "not rotated"
logged "^${stamp}recorder start|base2|-z" "$site/logs/compras.log" || fail "compras.log after rotation"
[ "$(stat -c %s "$site/logs/compras.log")" -lt 1000 ] || fail "compras.log not begun anew"

echo "== net stop"
"$wine" net stop ostrim >/dev/null 2>&1 || true
wait_lines '^begin.*stop' 6
wait_lines '^end' 15
for _ in $(seq 1 100); do
  [ "$("$wine" "$site/svcctl.exe" state ostrim | tr -d '\r')" = STOPPED ] && break
  sleep 0.1
done
[ "$("$wine" "$site/svcctl.exe" state ostrim | tr -d '\r')" = STOPPED ] || fail "not stopped"
# Stop commands one after another, each to its end.
awk -F'\t' '
  $1 == "begin" && $4 ~ /^stop/ { if (running) bad = 1; running = $3; start[$3] = $2 }
  $1 == "end" && $3 == running { running = "" }
  END { exit bad }' "$site/record.log" || fail "stop commands overlapped"
stops=$(grep '^begin' "$site/record.log" | cut -f4 | grep '^stop' | paste -sd' ')
[ "$stops" = "stop|@sleep=300|base1 stop|@sleep=300|base2 stop|@sleep=300|base1 stop|@sleep=300|base2 stop|@sleep=300|base1 stop|@sleep=300|base2" ] \
  || fail "stops: $stops"
set +e
"$wine" "$site/ostrim.exe" -STATUS >/dev/null 2>&1
[ $? -eq 3 ] || fail "-STATUS of a stopped service: not 3"
set -e

echo "== -UNINSTALL"
"$wine" "$site/ostrim.exe" -UNINSTALL | tr -d '\r'
"$wine" reg query "$key" >/dev/null 2>&1 && fail "the service's key is still there"
echo "wine end-to-end: every check passed"
