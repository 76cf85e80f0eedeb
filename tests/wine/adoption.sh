#!/usr/bin/env bash
# The service's own death on Windows under Wine: -INSTALL sets the failure
# actions (restart after 5 s, the count reset after a day); the service
# process ended from outside leaves its engines running, and the next start
# of the service adopts them (same pids, no start command run again), notices
# an adopted engine's end with its exit code, and stops them at its stop.
#
#   tests/wine/adoption.sh BUILD_DIR [LOADER]
. "$(dirname "$0")/common.sh"

fail() {
  echo "FAIL: $*"
  echo "--- the service manager says: $("$wine" "$site/svcctl.exe" state ostrim 2>&1 | tr -d '\r')"
  echo "--- record.log"; cat "$site/record.log" 2>/dev/null || true
  echo "--- -STATUS"; "$wine" "$site/ostrim.exe" -STATUS 2>&1 || true
  exit 1
}
status() { "$wine" "$site/ostrim.exe" -STATUS 2>/dev/null | tr -d '\r' || true; }
state() { "$wine" "$site/svcctl.exe" state ostrim | tr -d '\r'; }
# Waits up to $1 tenths of a second for the command after it.
wait_for() {
  local n=$1
  shift
  for _ in $(seq 1 "$n"); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}
starts() { grep -c $'^begin\t.*\tstart|' "$site/record.log"; }
running() { [ "$(status | grep -c $'^database\t.*\t4GL\trunning\t')" -eq "$1" ]; }
cp "$build/ostrim.exe" "$build/recorder.exe" "$build/svcctl.exe" "$site/"
cat > "$site/Ombrel.ini" <<INI
[opciones]
espera_arranque=0.3
[arranque]
1=SET T_LOG=Z:${site}/record.log
[start]
1=recorder.exe start
[stop]
1=recorder.exe stop
[bases4GL]
uno=u @sleep=60000
dos=d @sleep=60000
INI

start_prefix
# (Into a file: the service manager it wakes would hold a pipe open.)
"$wine" "$site/ostrim.exe" -INSTALL >"$site/install.out" 2>&1
installed=$(tr -d '\r' <"$site/install.out")

echo "== -INSTALL sets the failure actions"
grep -q "failure actions" <<<"$installed" && fail "-INSTALL: $installed"
if actions=$("$wine" "$site/svcctl.exe" failure-actions ostrim 2>&1 | tr -d '\r'); then
  [ "$actions" = "reset=86400 restart:5000 restart:5000 restart:5000" ] || fail "failure actions: $actions"
elif grep -q '(124)' <<<"$actions"; then
  # ERROR_INVALID_LEVEL: Wine's service manager takes them without keeping
  # them, and cannot report them.
  echo "(Wine's service manager cannot report failure actions: only their setting is checked)"
else
  fail "$actions"
fi

echo "== started: two engines"
"$wine" net start ostrim >/dev/null 2>&1 || true
wait_for 300 running 2 || fail "the engines did not start"
engines=$(status | awk -F'\t' '$1 == "database" && $4 == "running" {print $5}' | sort)
service_pid=$(status | awk -F'\t' '$1 == "pid" {print $2}')

echo "== the service's process ended from outside: its engines adopted"
"$wine" "$site/svcctl.exe" kill "$service_pid" || fail "cannot end the service"
# Windows starts it again itself after 5 s (the failure actions); Wine's
# service manager neither sees it end nor carries them out, so it is started
# here when it has not come back by then.
new_pid() { [ "$(status | awk -F'\t' '$1 == "pid" {print $2}')" != "$service_pid" ]; }
if ! wait_for 80 new_pid; then
  echo "(not started again by the service manager: started by net start)"
  "$wine" net start ostrim >/dev/null 2>&1 || true
fi
wait_for 300 running 2 || fail "not running with its two engines"
again=$(status | awk -F'\t' '$1 == "database" && $4 == "running" {print $5}' | sort)
[ "$again" = "$engines" ] || fail "other engines: $again, not $engines"
[ "$(starts)" -eq 2 ] || fail "start commands ran again: $(starts) launches"
status | grep -q $'^last_still_running\t2$' || fail "the reply does not count them"
status | grep -q "adopted from an earlier run" || fail "not said adopted"

echo "== an adopted engine that ends is noticed, with its exit code"
uno=$(status | awk -F'\t' '$1 == "database" && $2 == "uno" {print $5}')
"$wine" "$site/svcctl.exe" kill "$uno" || fail "cannot end uno's engine"
wait_for 100 bash -c "\"$wine\" \"$site/ostrim.exe\" -STATUS 2>/dev/null | tr -d '\r' | grep -q $'^database\tuno\t4GL\tended\t0\t.*exit status 1'" ||
  fail "uno's end not noticed"

echo "== killed while paused, it comes back paused and starts nothing"
"$wine" "$site/svcctl.exe" pause ostrim >/dev/null || fail "no pause"
service_pid=$(status | awk -F'\t' '$1 == "pid" {print $2}')
launched=$(starts)
"$wine" "$site/svcctl.exe" kill "$service_pid" || fail "cannot end the service"
"$wine" net start ostrim >/dev/null 2>&1 || true
wait_for 100 bash -c "[ \"\$(\"$wine\" \"$site/svcctl.exe\" state ostrim | tr -d '\r')\" = PAUSED ]" ||
  fail "not paused: $(state)"
new_pid || fail "not started again"
[ "$(starts)" -eq "$launched" ] || fail "a start command ran while paused"
"$wine" "$site/svcctl.exe" continue ostrim >/dev/null || fail "no continue"

stops() { grep -c $'^begin\t.*\tstop|' "$site/record.log"; }
stopped_before=$(stops)
"$wine" net stop ostrim >/dev/null 2>&1 || true
wait_for 100 bash -c "[ \"\$(\"$wine\" \"$site/svcctl.exe\" state ostrim | tr -d '\r')\" = STOPPED ]" ||
  fail "did not stop"
[ "$(stops)" -eq $((stopped_before + 2)) ] || fail "a stop command per database"
"$wine" "$site/svcctl.exe" kill "$(tr ' ' '\n' <<<"$engines" | grep -vx "$uno" | head -1)" || true
"$wine" "$site/ostrim.exe" -UNINSTALL >/dev/null
echo "wine adoption: every check passed"
