#!/usr/bin/env bash
# The Debian package, checked as an administrator would meet it: its file
# list, control fields and maintainer scripts, lintian, a real installation
# (the unit verified by systemd-analyze, -CHECK run from /opt/ostrim), an
# upgrade over itself that keeps the site's profile, and a removal and purge
# that leave only what policy keeps (the site's own profile).
#
#   tests/package/deb.sh PACKAGE.deb      (as root: it installs the package)
set -euo pipefail
deb=$(realpath "$1")
fail() { echo "FAIL: $*"; exit 1; }

echo "== contents"
contents=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}')
for entry in \
  "-rwxr-xr-x root/root ./opt/ostrim/ostrim" \
  "-rw-r--r-- root/root ./opt/ostrim/Ombrel.ini.example" \
  "-rw-r--r-- root/root ./usr/lib/systemd/system/ostrim.service" \
  "-rw-r--r-- root/root ./usr/lib/systemd/system/ostrim-metrics.service" \
  "-rw-r--r-- root/root ./usr/lib/systemd/system/ostrim-metrics.timer" \
  "-rw-r--r-- root/root ./usr/share/man/man8/ostrim.8.gz" \
  "-rw-r--r-- root/root ./usr/share/doc/ostrim/copyright" \
  "-rw-r--r-- root/root ./usr/share/doc/ostrim/changelog.gz" \
  "-rw-r--r-- root/root ./usr/share/doc/ostrim/README.md"; do
  grep -qxF -- "$entry" <<<"$contents" || fail "missing: $entry"
done
grep -q '/opt/ostrim/Ombrel.ini$' <<<"$contents" && fail "the package must not ship an Ombrel.ini"
dpkg-deb -c "$deb"

echo "== control"
info=$(dpkg-deb -I "$deb")
grep -q "^ Architecture: $(dpkg --print-architecture)$" <<<"$info" || fail "architecture: $info"
grep -q '^ Depends:' <<<"$info" && fail "a static binary depends on nothing: $info"
for script in postinst prerm postrm; do
  grep -q " $script " <<<"$info" || fail "no $script"
done
echo "$info"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root"
file "$scratch/root/opt/ostrim/ostrim" | grep -q 'statically linked' || fail "not static"
file "$scratch/root/opt/ostrim/ostrim" | grep -q 'stripped' || fail "not stripped"
file "$scratch/root/opt/ostrim/ostrim" | grep -q 'not stripped' && fail "not stripped"
version=$("$scratch/root/opt/ostrim/ostrim" --version)
grep -q "^ Version: ${version#ostrim }$" <<<"$info" || fail "--version says $version"
zcat "$scratch/root/usr/share/man/man8/ostrim.8.gz" | grep -q "ostrim ${version#ostrim }" \
  || fail "the manual page's version"

echo "== lintian"
if command -v lintian >/dev/null; then
  status=0
  out=$(lintian --fail-on error "$deb" 2>&1) || status=$?
  out=$(grep -v 'running with root privileges' <<<"$out" || true)
  [ $status -eq 0 ] || fail "lintian: $out"
  echo "lintian: ${out:-no tag}"
else
  echo "lintian not installed: not run"
fi

echo "== install"
dpkg -i "$deb"
systemd-analyze verify /usr/lib/systemd/system/ostrim.service \
  /usr/lib/systemd/system/ostrim-metrics.service /usr/lib/systemd/system/ostrim-metrics.timer
# The timer is enabled as the package installs it, and its command is the
# one the metrics tests run.
[ -L /etc/systemd/system/timers.target.wants/ostrim-metrics.timer ] || fail "the metrics timer is not enabled"
grep -qx 'ExecStart=/opt/ostrim/ostrim -STATUS -PROMETHEUS /var/lib/prometheus/node-exporter/ostrim.prom' \
  /usr/lib/systemd/system/ostrim-metrics.service || fail "the metrics service's command"
[ -L /etc/systemd/system/multi-user.target.wants/ostrim.service ] || fail "not enabled"
set +e
/opt/ostrim/ostrim -CHECK >/dev/null 2>"$scratch/check.err"
status=$?
set -e
[ $status -eq 1 ] || fail "-CHECK without a profile (the start would fail): status $status"
grep -q 'Ombrel.ini: no such file' "$scratch/check.err" || fail "-CHECK: $(cat "$scratch/check.err")"
cp /opt/ostrim/Ombrel.ini.example /opt/ostrim/Ombrel.ini
/opt/ostrim/ostrim -CHECK >/dev/null 2>&1 || [ $? -eq 3 ] || fail "-CHECK with the example"
head -1 /usr/lib/systemd/system/ostrim.service | grep -q '^# Installed by the Debian package ostrim' \
  || fail "the unit does not say who installed it"
grep -qx 'Documentation=man:ostrim(8)' /usr/lib/systemd/system/ostrim.service || fail "Documentation="

echo "== -INSTALL and -UNINSTALL leave the package's service alone"
set +e
/opt/ostrim/ostrim -INSTALL >/dev/null 2>"$scratch/install.err"
status=$?
set -e
[ $status -eq 1 ] || fail "-INSTALL with the package installed: status $status"
grep -q 'the Debian package installed the service ostrim already' "$scratch/install.err" \
  || fail "-INSTALL: $(cat "$scratch/install.err")"
[ -e /etc/systemd/system/ostrim.service ] && fail "-INSTALL wrote a unit over the package's"
set +e
/opt/ostrim/ostrim -UNINSTALL >/dev/null 2>"$scratch/uninstall.err"
status=$?
set -e
[ $status -eq 1 ] || fail "-UNINSTALL with the package installed: status $status"
grep -q 'the Debian package owns the service ostrim .*apt remove ostrim' "$scratch/uninstall.err" \
  || fail "-UNINSTALL: $(cat "$scratch/uninstall.err")"
[ -L /etc/systemd/system/multi-user.target.wants/ostrim.service ] || fail "-UNINSTALL disabled it"
[ -e /usr/lib/systemd/system/ostrim.service ] || fail "-UNINSTALL removed the package's unit"
man -l "$scratch/root/usr/share/man/man8/ostrim.8.gz" >/dev/null 2>&1 || true

echo "== upgrade over itself: the site's profile stays"
echo "; the site's own" >>/opt/ostrim/Ombrel.ini
dpkg -i "$deb"
grep -q "the site's own" /opt/ostrim/Ombrel.ini || fail "the profile was replaced"

echo "== remove and purge"
dpkg -r ostrim
[ -e /opt/ostrim/ostrim ] && fail "the program is still there"
[ -e /usr/lib/systemd/system/ostrim.service ] && fail "the unit is still there"
[ -f /opt/ostrim/Ombrel.ini ] || fail "removing took the site's profile"
dpkg -P ostrim
[ -e /etc/systemd/system/multi-user.target.wants/ostrim.service ] && fail "still enabled after purge"
left=$( (find /opt/ostrim -mindepth 1; find /usr/share/doc /usr/lib/systemd /etc/systemd /usr/share/man \
  -name 'ostrim*') 2>/dev/null || true)
[ "$left" = "/opt/ostrim/Ombrel.ini" ] || fail "left behind: $left"
rm -rf /opt/ostrim
echo "Debian package: every check passed"
