#!/usr/bin/env bash
# The Debian package under a real systemd, booted as PID 1 in namespaces of
# its own: the package's service starts the site's engines at boot; a stop
# command's output is the unit's in the journal even when journald reads it
# after the command has ended; killed with SIGKILL, systemd brings it back
# (Restart=on-abnormal) and it adopts its engines instead of starting them
# again; a stop runs their stop commands; with a check command ([listo]),
# the unit stays activating until the check passes (READY=1 waits for it);
# the machine's poweroff ends it all.
#
#   tests/package/systemd.sh PACKAGE.deb DEMO-DIR   (as root; DEMO-DIR holds
#                                                   demo-engine and demo-stop)
#
# Exit status 0: passed; 1: failed; 77: could not be run on this machine
# (systemd cannot boot here), said on standard output.
set -euo pipefail
deb=$(realpath "$1")
demo=$(realpath "$2")
fail() { echo "FAIL: $*"; [ -n "${ns:-}" ] && in_ns journalctl -b --no-pager -u ostrim | tail -40; exit 1; }
skip() { echo "NOT RUN: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -x /lib/systemd/systemd ] || skip "systemd is not installed"
command -v unshare >/dev/null && command -v nsenter >/dev/null || skip "unshare or nsenter missing"
[ ! -e /opt/ostrim ] || skip "/opt/ostrim exists: this test installs the package there"

work=$(mktemp -d)
cgroup=""
ns=""
boot_pid=""
in_ns() { nsenter -t "$ns" -a "$@"; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}
cleanup() {
  set +e
  if [ -n "$ns" ] && kill -0 "$ns" 2>/dev/null; then
    in_ns systemctl poweroff >/dev/null 2>&1
    wait_for 60 bash -c "! kill -0 $ns" || kill -9 "$ns"
  fi
  [ -n "$boot_pid" ] && wait "$boot_pid" 2>/dev/null
  [ -n "$cgroup" ] && [ -d "$cgroup" ] && {
    find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null
  }
  dpkg -P ostrim >/dev/null 2>&1
  rm -rf /opt/ostrim /opt/ostrim-demo "$work"
}
trap cleanup EXIT

echo "== the site: two demo engines, the package's service"
mkdir -p /opt/ostrim-demo/run
chmod 0755 /opt/ostrim-demo
chmod 0700 /opt/ostrim-demo/run
install -m 0755 "$demo/demo-engine" "$demo/demo-stop" /opt/ostrim-demo/
dpkg -i "$deb" >/dev/null
cat >/opt/ostrim/Ombrel.ini <<'EOF'
[arranque]
1=DBDIR=/opt/ostrim-demo/run
[start]
1=/opt/ostrim-demo/demo-engine
[stop]
1=/opt/ostrim-demo/demo-stop
[bases4GL]
ventas=ventas
compras=compras
[opciones]
espera_arranque=0.5
EOF

echo "== boot systemd in namespaces"
# A cgroup of our own, so that the namespace's cgroup root is a private
# subtree; then fresh /run, /tmp and cgroup2 for the new PID 1.
unified=/sys/fs/cgroup
[ -f /sys/fs/cgroup/cgroup.procs ] || unified=/sys/fs/cgroup/unified
[ -f "$unified/cgroup.procs" ] || skip "no cgroup2 hierarchy to give systemd"
cgroup="$unified/ostrim-systemd-test-$$"
mkdir "$cgroup" || skip "cannot make a cgroup"
cat >"$work/init.sh" <<'EOF'
set -e
mount --make-rprivate /
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mount -t cgroup2 cgroup2 /sys/fs/cgroup
# A journal of this boot alone, kept nowhere on the machine's disk.
if [ -d /var/log/journal ]; then mount -t tmpfs tmpfs /var/log/journal; fi
rm -f /usr/sbin/policy-rc.d 2>/dev/null || true
exec env -i container=ostrim-test PATH=/usr/sbin:/usr/bin:/sbin:/bin /lib/systemd/systemd --system --unit=multi-user.target
EOF
(
  echo $BASHPID >"$cgroup/cgroup.procs"
  exec unshare --fork --pid --mount --mount-proc --cgroup --uts sh "$work/init.sh"
) >"$work/boot.log" 2>&1 &
boot_pid=$!
# systemd is the unshare's child: PID 1 inside, its own pid outside.
for _ in $(seq 100); do
  ns=$(pgrep -P "$(pgrep -P $boot_pid -x unshare || echo $boot_pid)" -x systemd || true)
  [ -n "$ns" ] && break
  sleep 0.1
done
[ -n "$ns" ] || skip "systemd did not start: $(tail -5 "$work/boot.log")"
wait_for 60 in_ns systemctl is-system-running --wait ||
  in_ns systemctl is-system-running | grep -q degraded ||
  skip "systemd did not finish booting: $(in_ns systemctl is-system-running 2>&1)"

status() { in_ns /opt/ostrim/ostrim -STATUS 2>/dev/null; }
running_with() { status | grep -q "^last_result	done" && [ "$(status | grep -c "	4GL	running	")" -eq "$1" ]; }

echo "== started at boot"
wait_for 60 running_with 2 || fail "the service did not start both engines: $(status)"
engines=$(status | awk -F'\t' '$1 == "database" && $4 == "running" {print $5}' | sort)
main=$(in_ns systemctl show -p MainPID --value ostrim)

echo "== a pause while journald is held: a stop command's line is still the unit's"
# journald learns which unit a line is from by the writer's process; a stop
# command has ended by the time a busy journald reads its line, and the line
# must still be found by journalctl -u.
stopped_lines() { in_ns journalctl -b --no-pager -u ostrim -o cat | grep -c "demo-stop ventas: stopped" || true; }
in_ns pkill -STOP -x systemd-journal || fail "cannot hold journald"
paused=0
in_ns /opt/ostrim/ostrim -PAUSE >/dev/null 2>&1 || paused=$?
in_ns pkill -CONT -x systemd-journal
[ "$paused" -eq 0 ] || fail "-PAUSE exited $paused: $(status)"
paused_in_journal() { [ "$(stopped_lines)" -ge 1 ]; }
wait_for 20 paused_in_journal ||
  fail "the stop command's line is not the unit's: $(in_ns journalctl -b --no-pager -t ostrim/ventas -o verbose | grep -E '_PID|_SYSTEMD_UNIT|MESSAGE=')"
in_ns /opt/ostrim/ostrim -CONTINUE >/dev/null 2>&1 || fail "-CONTINUE failed: $(status)"
wait_for 60 running_with 2 || fail "the continue did not start both engines: $(status)"
engines=$(status | awk -F'\t' '$1 == "database" && $4 == "running" {print $5}' | sort)

echo "== kill -9 of the service: systemd brings it back, the engines adopted"
in_ns kill -9 "$main"
brought_back() {
  local now
  now=$(in_ns systemctl show -p MainPID --value ostrim)
  [ "$now" != 0 ] && [ "$now" != "$main" ] && running_with 2
}
wait_for 30 brought_back || fail "not brought back with its engines: $(status)"
status | grep -qx "last_still_running	2" || fail "its start ran start commands again: $(status)"
again=$(status | awk -F'\t' '$1 == "database" && $4 == "running" {print $5}' | sort)
[ "$again" = "$engines" ] || fail "other engines: $again, not $engines"
status | grep -q "adopted from an earlier run" || fail "not said adopted: $(status)"
adopted_in_journal() { in_ns journalctl -b --no-pager -u ostrim -o cat | grep -q "still runs: adopted"; }
wait_for 20 adopted_in_journal || fail "the log does not say they were adopted"
in_ns journalctl -b --no-pager -u ostrim -o cat | grep -E "still runs|were not started again"
[ "$(in_ns pgrep -c -x demo-engine)" -eq 2 ] || fail "engines: $(in_ns pgrep -a demo-engine)"

echo "== a stop runs their stop commands"
in_ns systemctl stop ostrim
[ "$(in_ns pgrep -c -x demo-engine || true)" -eq 0 ] || fail "engines still run after the stop"
# (The engines' output reaches the journal through their own streams: it may
# come a moment after the stop has ended.)
stopped_in_journal() { [ "$(stopped_lines)" -ge 2 ]; }
wait_for 20 stopped_in_journal || fail "ventas was not stopped by its stop command"
echo "== with a check: activating until the databases are up"
# A database's check passes once its gate exists; its line is the check
# command and the database's name, which the script gets as its $0.
cat >>/opt/ostrim/Ombrel.ini <<'EOF'
[listo]
1=/bin/sh -c "test -e /opt/ostrim-demo/gate.$0"
EOF
rm -f /opt/ostrim-demo/gate.*
in_ns systemctl start --no-block ostrim
# ventas keeps its place until it is up: compras is not launched meanwhile.
launched() { [ "$(in_ns pgrep -c -x demo-engine || true)" -eq 1 ]; }
wait_for 30 launched || fail "ventas was not launched: $(status)"
sleep 1  # past its launch's wait: without the check compras would be launched
[ "$(in_ns pgrep -c -x demo-engine || true)" -eq 1 ] || fail "compras did not wait for ventas"
[ "$(in_ns systemctl show -p ActiveState --value ostrim)" = activating ] ||
  fail "not activating while its databases are not up: $(in_ns systemctl show -p ActiveState --value ostrim)"
status | grep -q "^check	ventas	waiting	" || fail "-STATUS does not say waiting: $(status)"
touch /opt/ostrim-demo/gate.ventas /opt/ostrim-demo/gate.compras
active() { [ "$(in_ns systemctl show -p ActiveState --value ostrim)" = active ]; }
wait_for 30 active || fail "not active once up: $(status)"
status | grep -q "^check	ventas	up	.*	up after " || fail "-STATUS does not say up: $(status)"
rm -f /opt/ostrim-demo/gate.*
in_ns systemctl stop ostrim
echo "systemd: every check passed"
