#!/usr/bin/env bash
# Runs every benchmark on this machine and prints the figures of BENCHMARKS.md.
# Takes about fifteen minutes (most of it the 10,000-database launch overhead and
# the one-at-a-time start of 50 engines that stay in the foreground, and the two
# minutes of watching 50 checked databases).
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
# The 32-bit build where this kernel runs 32-bit programs, else the 64-bit one.
if command -v i686-w64-mingw32-g++-posix >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  preset=windows-x64 loader=/usr/lib/wine/wine64
  if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    preset=windows-x86 loader=/usr/lib/wine/wine
  fi
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset >/dev/null
  echo "Windows launch overhead ($preset):"
  WINEDEBUG=-all WINEPREFIX="$PWD/build-$preset/wineprefix" \
    $loader build-$preset/bench/launch_overhead_win.exe 200 2>/dev/null | tr -d '\r'
  WINEPREFIX="$PWD/build-$preset/wineprefix" wineserver -k >/dev/null 2>&1 || true
fi
