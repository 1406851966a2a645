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
    # Waits until the holder has the desktop: a desktop this program started would inherit its
    # output, and whoever reads that (CTest listing the tests) would wait for the desktop's end.
    ready=$prefix/.desktop-holder.out
    setsid "$wine" "$holder" 900 </dev/null >"$ready" 2>/dev/null 9>&- &
    echo $! >"$pid_file"
    for _ in $(seq 600); do
      grep -q ready "$ready" 2>/dev/null && break
      sleep 0.1
    done
  fi
  exec 9>&-
fi
exec "$wine" "$@"
