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
# A step that fails outside the test's own checks (set -e ends the script)
# says which, so that a failure never comes with nothing printed.
trap 'failed_with=$?; echo "FAIL: line $LINENO of ${0##*/}: $BASH_COMMAND: exit status $failed_with"' ERR

start_prefix() {
  # What booting the prefix printed is kept, and said if the boot fails.
  if ! "$wine" wineboot -i >"$site/wineboot.log" 2>&1; then
    echo "FAIL: wineboot -i failed in $WINEPREFIX (inode $(stat -c %i "$WINEPREFIX")):"
    tail -20 "$site/wineboot.log"
    exit 1
  fi
  "$wineserver" -w
  "$wineserver" -p
}
