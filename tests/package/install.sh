#!/usr/bin/env bash
# What `cmake --install` installs, exactly: the program and the example
# profile in the prefix, the manual page where man finds it; never a unit
# (`ostrim -INSTALL` registers the service) and never an Ombrel.ini.
#
#   tests/package/install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --strip >/dev/null
installed=$(cd "$root" && find . -type f | sort | paste -sd' ')
expected="./opt/ostrim/Ombrel.ini.example ./opt/ostrim/ostrim ./usr/local/share/man/man8/ostrim.8"
[ "$installed" = "$expected" ] || { echo "FAIL: cmake --install put: $installed"; exit 1; }
echo "cmake --install: $installed"
