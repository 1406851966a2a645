# Sourced by scripts/run.sh and scripts/screenshot.sh: a private work folder and the local status
# service in the background, both cleaned up when the script exits.

# Makes $work, a private folder; on exit the service (if started) is stopped and $work removed.
make_private_work() {
  work=$(mktemp -d)
  service_pid=
  trap stop_private_work EXIT
}

stop_private_work() {
  if [[ -n $service_pid ]]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}

# Starts the status service (the program, then options of its own) on a port it chooses, waits up
# to 5 s for that port and sets $port; exits with its log when it does not start.
start_status_service() {
  local program=$1
  shift
  "$program" --port 0 --port-file "$work/port" "$@" >"$work/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 100); do
    [[ -s $work/port ]] && break
    sleep 0.05
  done
  if [[ ! -s $work/port ]]; then
    echo "the status service did not start:" >&2
    cat "$work/service.log" >&2
    exit 1
  fi
  port=$(cat "$work/port")
}
