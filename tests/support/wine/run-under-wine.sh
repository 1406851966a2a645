#!/usr/bin/env bash
# CTest's emulator for the Windows tests: run-under-wine.sh <wine> <desktop holder .exe> <program>
# [arguments...]. Makes sure a desktop holder runs in the Wine prefix (one per prefix, started by
# whichever test comes first), then runs the program under Wine. Without the holder, every test
# program that makes a window waits while Wine starts the prefix's desktop again.
set -u
wine=$1 holder=$2
shift 2
prefix=${WINEPREFIX:-$HOME/.wine}
if [[ -f $holder ]] && mkdir -p "$prefix" && exec 9>"$prefix/.desktop-holder.lock"; then
  flock 9
  pid_file=$prefix/.desktop-holder.pid
  if ! { [[ -s $pid_file ]] && kill -0 "$(cat "$pid_file")" 2>/dev/null; }; then
    setsid "$wine" "$holder" 900 </dev/null >/dev/null 2>&1 9>&- &
    echo $! >"$pid_file"
  fi
  exec 9>&-
fi
exec "$wine" "$@"
