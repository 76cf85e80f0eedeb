# What the Wine tests share, sourced by each with its BUILD_DIR and LOADER:
# the loader and wineserver of the build's architecture, a throwaway prefix
# and a site folder (both removed at the end), and start_prefix, which boots
# the prefix once and keeps one wineserver for the whole test: otherwise it
# ends between two wine commands, taking the running service with it, and the
# next command boots the prefix anew (starting the auto-start service again).
set -euo pipefail
build=$(cd "$1" && pwd)
wine=${2:-wine}
wineserver=wineserver
[ -x /usr/lib/wine/wineserver64 ] && wineserver=/usr/lib/wine/wineserver64
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d)
site=$(mktemp -d)
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$site"
}
trap cleanup EXIT

start_prefix() {
  "$wine" wineboot -i >/dev/null 2>&1
  "$wineserver" -w
  "$wineserver" -p
}
