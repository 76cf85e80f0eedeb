#!/usr/bin/env bash
# Crashed engines started again ([opciones] reinicia) on Windows under Wine,
# from the same code as on Linux: an engine that ends with exit status 3
# after its wait is started again 1 s later; the next crash, past reinicia=1,
# is given up on: no further launch, -STATUS exit status 4, the database
# given_up.
#
#   tests/wine/restarts.sh BUILD_DIR [LOADER]
. "$(dirname "$0")/common.sh"

fail() {
  echo "FAIL: $*"
  echo "--- record.log"; cat "$site/record.log" 2>/dev/null || true
  echo "--- -STATUS"; "$wine" "$site/ostrim.exe" -STATUS 2>&1 || true
  exit 1
}
cp "$build/ostrim.exe" "$build/recorder.exe" "$build/svcctl.exe" "$site/"
cat > "$site/Ombrel.ini" <<INI
[opciones]
espera_arranque=0.5
reinicia=1
[arranque]
1=SET T_LOG=Z:${site}/record.log
[start]
1=recorder.exe start
[stop]
1=recorder.exe stop
[bases4GL]
uno=@sleep=2000 @exit=3 u
INI

start_prefix
"$wine" "$site/ostrim.exe" -INSTALL >/dev/null

echo "== one restart, then given up"
"$wine" net start ostrim >/dev/null 2>&1 || true
given_up=
for _ in $(seq 1 300); do
  now=$("$wine" "$site/ostrim.exe" -STATUS 2>/dev/null | tr -d '\r') || true
  if grep -q $'^database\tuno\t4GL\tgiven_up\t' <<<"$now"; then
    given_up=yes
    break
  fi
  sleep 0.1
done
[ -n "$given_up" ] || fail "never given up"
status=0
"$wine" "$site/ostrim.exe" -STATUS >/dev/null 2>&1 || status=$?
[ "$status" -eq 4 ] || fail "-STATUS exit status $status, not 4 (degraded)"
sleep 1.5  # past the wait a second restart would have had
starts=$(grep -c $'^begin\t.*\tstart|' "$site/record.log")
[ "$starts" -eq 2 ] || fail "start launches: $starts, not 2"
first_end=$(grep $'^end\t' "$site/record.log" | head -1 | cut -f2)
second_begin=$(grep $'^begin\t.*\tstart|' "$site/record.log" | sed -n 2p | cut -f2)
[ $((second_begin - first_end)) -ge 950 ] || fail "started again $((second_begin - first_end)) ms after the crash"
now=$("$wine" "$site/ostrim.exe" -STATUS 2>/dev/null | tr -d '\r') || true
grep -q $'^database\tuno\t4GL\tgiven_up\t.*\t1$' <<<"$now" || fail "its restarts are not counted"

"$wine" net stop ostrim >/dev/null 2>&1 || true
for _ in $(seq 1 100); do
  [ "$("$wine" "$site/svcctl.exe" state ostrim | tr -d '\r')" = STOPPED ] && break
  sleep 0.1
done
"$wine" "$site/ostrim.exe" -UNINSTALL >/dev/null
echo "wine restarts: every check passed"
