#!/usr/bin/env bash
# Whether each database is up ([listo], [puertos]) on Windows under Wine, from
# the same code as on Linux: the service stays start pending while its
# database's port refuses and its check command fails, runs once both pass,
# and -STATUS says so; a pause finds the database down once its stop command
# has brought it down.
#
#   tests/wine/checks.sh BUILD_DIR [LOADER]
. "$(dirname "$0")/common.sh"

fail() {
  echo "FAIL: $*"
  echo "--- record.log"; cat "$site/record.log" 2>/dev/null || true
  echo "--- -STATUS"; "$wine" "$site/ostrim.exe" -STATUS 2>&1 || true
  exit 1
}
state() { "$wine" "$site/svcctl.exe" state ostrim 2>/dev/null | tr -d '\r'; }
cp "$build/ostrim.exe" "$build/recorder.exe" "$build/svcctl.exe" "$site/"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The engine accepts once the gate exists; the check command passes while it
# does. The check line is "recorder.exe check @exists=... ventas ".
cat > "$site/Ombrel.ini" <<INI
[arranque]
1=SET T_LOG=Z:${site}/record.log
[start]
1=recorder.exe start
[stop]
1=recorder.exe stop
[listo]
1=recorder.exe check @exists=Z:${site}/gate
[bases4GL]
ventas=ventas @listen=${port}:Z:${site}/gate @sleep=120000
[puertos]
ventas=${port}
INI

start_prefix
"$wine" "$site/ostrim.exe" -INSTALL >/dev/null

echo "== start pending until the database is up"
"$wine" net start ostrim >/dev/null 2>&1 &
for _ in $(seq 1 300); do
  grep -q $'^begin\t.*\tstart|' "$site/record.log" 2>/dev/null && break
  sleep 0.1
done
grep -q $'^begin\t.*\tstart|' "$site/record.log" || fail "never launched"
sleep 1  # well past the launch's own wait for a database without checks
[ "$(state)" = START_PENDING ] || fail "state $(state) before the database is up"
now=$("$wine" "$site/ostrim.exe" -STATUS 2>/dev/null | tr -d '\r') || true
grep -q $'^check\tventas\twaiting\t' <<<"$now" || fail "-STATUS does not say waiting: $now"
touch "$site/gate"
running=
for _ in $(seq 1 300); do
  [ "$(state)" = RUNNING ] && { running=yes; break; }
  sleep 0.1
done
[ -n "$running" ] || fail "not running once up: $(state)"
grep -q $'^listening\t' "$site/record.log" || fail "running before the port accepted"
now=$("$wine" "$site/ostrim.exe" -STATUS 2>/dev/null | tr -d '\r') || true
grep -q $'^check\tventas\tup\t.*\tup after [0-9.]* s\trecorder.exe check @exists=.* ventas  and 127.0.0.1:'"$port"'$' <<<"$now" ||
  fail "-STATUS does not say up: $now"
checks=$(grep -c $'^begin\t.*\tcheck|' "$site/record.log")
[ "$checks" -ge 1 ] || fail "the check command never ran"

echo "== a pause finds it down once the engine is gone"
rm -f "$site/gate"
pid=$(grep $'^begin\t.*\tstart|' "$site/record.log" | head -1 | cut -f3)
"$wine" "$site/svcctl.exe" kill "$pid" >/dev/null 2>&1 || true
status=0
"$wine" "$site/ostrim.exe" -PAUSE >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "-PAUSE exit status $status with the database down"
now=$("$wine" "$site/ostrim.exe" -STATUS 2>/dev/null | tr -d '\r') || true
grep -q $'^check\tventas\tstopped\t' <<<"$now" || fail "-STATUS does not say stopped: $now"

"$wine" net stop ostrim >/dev/null 2>&1 || true
for _ in $(seq 1 100); do
  [ "$(state)" = STOPPED ] && break
  sleep 0.1
done
"$wine" "$site/ostrim.exe" -UNINSTALL >/dev/null
echo "PASS"
