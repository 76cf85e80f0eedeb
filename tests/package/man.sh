#!/bin/sh
# The manual page as groff reads it: every warning counts as a failure.
#   tests/package/man.sh PAGE
out=$(groff -ww -z -man "$1" 2>&1)
[ -z "$out" ] && exit 0
echo "$out"
exit 1
