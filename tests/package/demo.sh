#!/bin/sh
# The README's first command on the example site, as a newcomer runs it: the
# service in the foreground starts the three demo engines, and Ctrl-C
# (SIGINT) stops each of them and ends the service with exit status 0.
#   tests/package/demo.sh DEMO_SITE_DIR
site=$1
err=$(mktemp)  # the service's log and the engines' output, as the terminal shows them
victim=$(mktemp)
sleep 120 &
other=$!  # a process that is no demo engine
trap 'rm -f "$err" "$victim"; kill $other 2>/dev/null' EXIT

# The demo engines' pid files are the site's own (run/, 0700), never
# followed as links, and name an engine only while it is that engine.
run="$site/run"
rm -rf "$run"
"$site/demo-stop" nobody >/dev/null  # makes the directory
[ "$(stat -c %a "$run")" = 700 ] || { echo "FAIL: $run is not 0700"; exit 1; }
echo "keep" >"$victim"
ln -s "$victim" "$run/compras.pid"
if "$site/demo-engine" compras -z >/dev/null 2>&1; then
  echo "FAIL: demo-engine wrote through a link"; exit 1
fi
[ "$(cat "$victim")" = keep ] || { echo "FAIL: the link's target was written"; exit 1; }
rm "$run/compras.pid"
# A pid file naming another process, with that process's own start time.
echo "$other $(cut -d' ' -f22 "/proc/$other/stat")" >"$run/almacen.pid"
out=$("$site/demo-stop" almacen)
[ "$out" = "demo-stop almacen: not running" ] || { echo "FAIL: demo-stop: $out"; exit 1; }
kill -0 $other || { echo "FAIL: demo-stop signalled a process that is no engine"; exit 1; }
"$site/ostrim" </dev/null >"$err" 2>&1 &
pid=$!
waited=0
until grep -q "request start: done" "$err"; do
  sleep 0.1
  waited=$((waited + 1))
  if [ $waited -ge 600 ] || ! kill -0 $pid 2>/dev/null; then
    cat "$err"
    echo "FAIL: the demo did not start its engines"
    kill -KILL $pid 2>/dev/null
    exit 1
  fi
done
kill -INT $pid
wait $pid
status=$?
[ $status -eq 0 ] || { cat "$err"; echo "FAIL: exit status $status after Ctrl-C"; exit 1; }
for db in ventas compras almacen; do
  grep -q "demo-stop $db: stopped" "$err" || { cat "$err"; echo "FAIL: $db not stopped"; exit 1; }
done
grep -q "request stop: done" "$err" || { cat "$err"; echo "FAIL: no end of the stop"; exit 1; }
kill -0 $other || { echo "FAIL: the demo signalled a process that is no engine"; exit 1; }
echo "the demo started and stopped ventas, compras and almacen"
