#!/usr/bin/env bash
# Runs every benchmark on this machine and prints the figures of BENCHMARKS.md.
# Takes about five minutes (most of it the 10,000-database launch overhead).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), kernel $(uname -r)"
# The service's log goes to a file, as under systemd it goes to the journal.
build/bench/bench_sequences 2>/tmp/ostrim-bench.log | grep -E '_median'
build/bench/bench_process 21
strip -o /tmp/ostrim-stripped build/ostrim
echo "binary size, stripped: $(stat -c %s /tmp/ostrim-stripped) bytes"

# The Windows build's launch overhead under Wine, where MinGW-w64 and Wine are installed.
if command -v wine >/dev/null && command -v i686-w64-mingw32-g++-posix >/dev/null; then
  cmake --preset windows-x86 >/dev/null
  cmake --build --preset windows-x86 >/dev/null
  WINEDEBUG=-all WINEPREFIX="$PWD/build-windows-x86/wineprefix" \
    wine build-windows-x86/bench/launch_overhead_win.exe 200 2>/dev/null | tr -d '\r'
  WINEPREFIX="$PWD/build-windows-x86/wineprefix" wineserver -k >/dev/null 2>&1 || true
fi
