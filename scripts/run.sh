#!/usr/bin/env bash
# The main job: installs what is missing, builds the program (Release, build/run), starts the
# local status service on 127.0.0.1 and runs Vantrel against it through its proxy setting, with
# settings of its own in a private folder (the user's ~/.config is not touched):
#   - with a display: the window; try 12345 (online), 22222 (offline), 33333 (unknown);
#   - without one (or with VANTREL_HEADLESS=1): the headless check of the sample UINs, printing
#     what the window's status bar would show.
#
#   bash scripts/run.sh [UIN]      (UIN: the sample for the headless check, default 12345)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/status_service.sh
dir=build/run
sample=${1:-12345}

bash scripts/setup.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target vantrel vantrel-check vantrel-status-service

make_private_work

# Which sample UIN has which status; any other UIN is offline.
cat >"$work/status-table.txt" <<'TABLE'
12345 online
22222 offline
33333 unknown
TABLE
start_status_service "$dir/tools/vantrel-status-service" --address 127.0.0.1 \
  --table "$work/status-table.txt"
echo "status service on 127.0.0.1:$port (12345 online, 22222 offline, 33333 unknown)"

# A private settings store holding the proxy setting, as "Set Proxy" would write it.
export XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_CONFIG_HOME/vantrel"
cat >"$XDG_CONFIG_HOME/vantrel/registry.reg" <<HIVE
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel]
"UIN"="$sample"
"Proxy"="127.0.0.1"
"Port"="$port"
HIVE

# "_icq.gif" is made in the current folder: the private one.
cd "$work"
if [[ ${VANTREL_HEADLESS:-0} != 1 && ( -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ) ]]; then
  echo "starting the window; close it to end"
  "$root/$dir/app/vantrel"
else
  echo "no display: the headless check (vantrel-check), through the same proxy setting"
  for uin in "$sample" 22222 33333; do
    code=0
    "$root/$dir/tools/vantrel-check" "$uin" || code=$?
    echo "  (exit code $code)"
  done
fi
