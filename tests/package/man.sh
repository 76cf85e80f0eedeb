#!/bin/sh
# The manual page as groff reads it: every warning counts as a failure; and
# as man shows it: a Windows path keeps its backslash (troff takes "\D" in
# "logs\\DATABASE.log" for an escape of its own).
#   tests/package/man.sh PAGE
out=$(groff -ww -z -man "$1" 2>&1)
[ -z "$out" ] || { echo "$out"; exit 1; }
text=$(groff -man -Tutf8 -P-cbou "$1" 2>&1)
for shown in 'logs\DATABASE.log'; do
  printf '%s\n' "$text" | grep -qF -- "$shown" || { echo "the page does not show $shown"; exit 1; }
done
exit 0
