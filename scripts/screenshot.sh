#!/usr/bin/env bash
# Makes docs/screenshot.png: the window after an Online check, under Xvfb, against the local
# status service (through the proxy setting), with private settings.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
dir=build/run

bash scripts/setup.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target vantrel_window_snapshot vantrel-status-service

work=$(mktemp -d)
service_pid=
cleanup() {
  if [[ -n $service_pid ]]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

"$dir/tools/vantrel-status-service" --port 0 --port-file "$work/port" --status 12345=online \
  >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 100); do
  [[ -s $work/port ]] && break
  sleep 0.05
done
[[ -s $work/port ]] || { cat "$work/service.log" >&2; exit 1; }

mkdir -p docs "$work/runtime"
chmod 700 "$work/runtime"
(cd "$work" && XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 640x480x24" \
  "$root/$dir/app/vantrel_window_snapshot" "127.0.0.1:$(cat "$work/port")" 12345 \
  "$root/docs/screenshot.png")
echo "wrote docs/screenshot.png"
