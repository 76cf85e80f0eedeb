#!/usr/bin/env bash
# The program-name rules on Windows under Wine: each row's start command is
# launched by the serving service (ostrim -CONTINUE runs the start sequence
# with the row's Ombrel.ini) and checked by "ostrim -CHECK -JSON"; the two
# must agree on which program runs, with which arguments, or that none does.
#
#   tests/wine/program_names.sh BUILD_DIR [LOADER]
#
# BUILD_DIR holds ostrim.exe and recorder.exe; LOADER is the Wine loader of
# their architecture (/usr/lib/wine/wine or /usr/lib/wine/wine64).
. "$(dirname "$0")/common.sh"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The site, and its directory as Windows names it.
w="Z:$(tr / '\\' <<<"$site")"
cp "$build/ostrim.exe" "$build/recorder.exe" "$site/"
for program in "Mis Bases/arranca" uno "uno dos/tres" tabprog arranca_propio camino/arranca_propio \
  camino/solo_camino; do
  mkdir -p "$site/$(dirname "$program")"
  cp "$build/recorder.exe" "$site/$program.exe"
done
mkdir -p "$site/dir"

profile() {
  cat > "$site/Ombrel.ini" <<INI
[arranque]
1=SET T_LOG=Z:${site}/record.log
2=SET PATH=${w}\\camino;C:\\windows\\system32;C:\\windows
[start]
1=$1
[stop]
1=recorder.exe stop
[bases4GL]
fila=v
INI
}

lower() { tr '[:upper:]' '[:lower:]' <<<"$1"; }

start_prefix
profile "recorder.exe start"
"$wine" "$site/ostrim.exe" -INSTALL >/dev/null
"$wine" net start ostrim >/dev/null 2>&1 || true
for _ in $(seq 1 300); do
  grep -q '^begin' "$site/record.log" 2>/dev/null && break
  sleep 0.1
done

tab=$'\t'
# rule ; start command ; program that runs (empty: none) ; its arguments
# after argv[0], joined by "|" ; its argv[0] ; whether to compare them
rows=(
  "a quoted name with blanks;\"$w\\Mis Bases\\arranca\" start;$w\\Mis Bases\\arranca.exe;start|v|-z;$w\\Mis Bases\\arranca;yes"
  "a quoted name followed directly by text;\"$w\\Mis Bases\\arranca\"start x;$w\\Mis Bases\\arranca.exe;x|v|-z;$w\\Mis Bases\\arrancastart;yes"
  # Wine quotes the candidate it found in the line it passes on; Windows
  # passes the line as it is, so the child's arguments differ there: only
  # the program is compared.
  "an unquoted name with blanks: a later candidate;$w\\Mis Bases\\arranca start;$w\\Mis Bases\\arranca.exe;;;no"
  "an unquoted name with blanks: the earliest candidate;$w\\uno dos\\tres start;$w\\uno.exe;dos\\tres|start|v|-z;$w\\uno;yes"
  "a tab ending an unquoted name;$w\\tabprog${tab}start;$w\\tabprog.exe;start|v|-z;$w\\tabprog;yes"
  "a bare name in the program's directory before PATH;arranca_propio start;$w\\arranca_propio.exe;start|v|-z;arranca_propio;yes"
  "a bare name in PATH;solo_camino start;$w\\camino\\solo_camino.exe;start|v|-z;solo_camino;yes"
  "a missing file;$w\\no\\such start;;;;yes"
  "a directory;$w\\dir start;;;;yes"
)

for row in "${rows[@]}"; do
  IFS=';' read -r rule start path args argv0 compare <<<"$row"
  echo "== $rule"
  profile "$start"
  check=$("$wine" "$site/ostrim.exe" -CHECK -JSON 2>/dev/null | tr -d '\r') || true
  c_path=$(jq -r '.start[0].path' <<<"$check")
  c_args=$(jq -r '.start[0].arguments | join("|")' <<<"$check")
  c_launch=$(jq -r '.start[0].would_launch' <<<"$check")
  before=$(grep -c '^begin' "$site/record.log" || true)
  continue_status=0
  out=$("$wine" "$site/ostrim.exe" -CONTINUE 2>&1 | tr -d '\r') || continue_status=$?
  grep -q '^continue: ' <<<"$out" || fail "$rule: -CONTINUE: $out"
  # Exit status 0 only when its line launched.
  [ $continue_status -eq "$([ -n "$path" ] && echo 0 || echo 1)" ] ||
    fail "$rule: -CONTINUE exited $continue_status"
  new=$(grep '^begin' "$site/record.log" | tail -n +$((before + 1)) || true)
  if [ -z "$path" ]; then
    [ "$c_launch" = false ] || fail "$rule: -CHECK says it would launch: $check"
    [ -z "$new" ] || fail "$rule: something ran: $new"
    grep -q '1 launch failed' <<<"$out" || fail "$rule: -CONTINUE: $out"
    # The launch's reason, as the service recorded it, starts with -CHECK's
    # (the system's own words follow it).
    c_problem=$(jq -r '.start[0].problem' <<<"$check")
    detail=$("$wine" "$site/ostrim.exe" -STATUS -JSON 2>/dev/null | tr -d '\r' |
      jq -r '.databases[] | select(.name == "fila" and .pass == "4GL") | .detail') || true
    [ -n "$c_problem" ] && [ "${detail#"$c_problem"}" != "$detail" ] ||
      fail "$rule: the launch says '$detail', -CHECK '$c_problem'"
    continue
  fi
  [ "$c_launch" = true ] || fail "$rule: -CHECK says it would not launch: $check"
  [ "$(wc -l <<<"$new")" -eq 1 ] && [ -n "$new" ] || { fail "$rule: ran: '$new'"; continue; }
  r_args=$(cut -f4 <<<"$new")
  r_exe=$(cut -f6 <<<"$new")
  r_argv0=$(cut -f7 <<<"$new")
  [ "$(lower "$r_exe")" = "$(lower "$path")" ] || fail "$rule: ran $r_exe, expected $path"
  [ "$(lower "$c_path")" = "$(lower "$r_exe")" ] || fail "$rule: -CHECK names $c_path, $r_exe ran"
  if [ "$compare" = yes ]; then
    [ "$r_args" = "$args" ] || fail "$rule: arguments '$r_args', expected '$args'"
    [ "$c_args" = "$r_args" ] || fail "$rule: -CHECK's arguments '$c_args', the launch's '$r_args'"
    [ "$r_argv0" = "$argv0" ] || fail "$rule: argv[0] '$r_argv0', expected '$argv0'"
  fi
done

"$wine" net stop ostrim >/dev/null 2>&1 || true
"$wine" "$site/ostrim.exe" -UNINSTALL >/dev/null 2>&1 || true
if [ $failures -gt 0 ]; then
  echo "--- record.log"; cat "$site/record.log"
  echo "wine program names: $failures failed"
  exit 1
fi
echo "wine program names: every row agreed"
