#!/bin/sh
# The README's first command on the example site, as a newcomer runs it: the
# service in the foreground starts the three demo engines, and Ctrl-C
# (SIGINT) stops each of them and ends the service with exit status 0.
#   tests/package/demo.sh DEMO_SITE_DIR
site=$1
err=$(mktemp)  # the service's log and the engines' output, as the terminal shows them
trap 'rm -f "$err"' EXIT
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
echo "the demo started and stopped ventas, compras and almacen"
