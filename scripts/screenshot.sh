#!/usr/bin/env bash
# Makes docs/screenshot.png: the window after an Online check, under Xvfb, against the local
# status service (through the proxy setting), with private settings.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/status_service.sh
dir=build/run

bash scripts/setup.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target vantrel_window_snapshot vantrel-status-service

make_private_work

start_status_service "$dir/tools/vantrel-status-service" --status 12345=online

mkdir -p docs "$work/runtime"
chmod 700 "$work/runtime"
(cd "$work" && XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 640x480x24" \
  "$root/$dir/app/vantrel_window_snapshot" "127.0.0.1:$port" 12345 \
  "$root/docs/screenshot.png")
echo "wrote docs/screenshot.png"
