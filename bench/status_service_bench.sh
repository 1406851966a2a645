#!/usr/bin/env bash
# The local status service under load, beside nginx in the same run: wrk on 127.0.0.1 with
# "Connection: close" (one request per connection), both serving a 1 KiB picture, nginx with one
# worker. Prints each server's request rate and errors, the service's rate as a share of nginx's
# (the goal is at least half), and whether the service holds the same descriptors afterwards.
#
# Environment: WRK_THREADS (2), WRK_CONNECTIONS (1000), WRK_SECONDS (30).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
dir=build/bench
threads=${WRK_THREADS:-2}
connections=${WRK_CONNECTIONS:-1000}
seconds=${WRK_SECONDS:-30}

bash scripts/setup.sh || exit 1
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_BENCH=ON \
  -DVANTREL_BUILD_APP=OFF -DVANTREL_BUILD_TESTS=ON >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" --target vantrel-status-service || exit 1

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# A thousand connections need more descriptors than the default 1024, for wrk and the servers.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
descriptors() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

path="/scripts/online.dll?icq=1024&img=1"

# The service, answering every request with a picture of exactly 1024 bytes.
"$dir/tools/vantrel-status-service" --port 0 --port-file "$work/port" --default 1024 \
  >"$work/service.log" 2>&1 &
service_pid=$!
pids+=("$service_pid")
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.05; done
service_port=$(cat "$work/port" 2>/dev/null)
wait_port "$service_port" || { echo "the status service did not start"; cat "$work/service.log"; exit 1; }

# nginx: one worker, no keep-alive, the same 1 KiB picture at the same path.
mkdir -p "$work/www/scripts"
curl -s -o "$work/www/scripts/online.dll" "http://127.0.0.1:$service_port$path"
# nginx's worker runs as an unprivileged user: it must be able to read the document.
chmod 755 "$work"
chmod -R a+rX "$work/www"
nginx_port=$(shuf -i 20000-60000 -n 1)
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  server {
    listen 127.0.0.1:$nginx_port backlog=4096;
    root $work/www;
    location / { default_type image/gif; }
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work/" -e "$work/error.log" &
pids+=($!)
wait_port "$nginx_port" || { echo "nginx did not start"; cat "$work/error.log"; exit 1; }
nginx_status=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$nginx_port$path")
[[ $nginx_status == 200 ]] || { echo "nginx answered $nginx_status"; cat "$work/error.log"; exit 1; }

size_service=$(curl -s "http://127.0.0.1:$service_port$path" | wc -c)
size_nginx=$(curl -s "http://127.0.0.1:$nginx_port$path" | wc -c)
echo "document: service $size_service bytes, nginx $size_nginx bytes"

before=$(descriptors "$service_pid")
run_wrk() {
  wrk -t"$threads" -c"$connections" -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$1$path" \
    >"$work/wrk-$2.txt" 2>&1
  local rate errors non2xx
  rate=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk-$2.txt")
  errors=$(awk '/Socket errors:/ {sub(/.*Socket errors: /, ""); print}' "$work/wrk-$2.txt")
  non2xx=$(awk '/Non-2xx/ {print $NF}' "$work/wrk-$2.txt")
  printf "%-24s %12s req/s   non-2xx: %-6s socket errors: %s\n" "$2" "${rate:-?}" \
    "${non2xx:-0}" "${errors:-none}"
  eval "rate_$2=${rate:-0}"
}
echo "wrk -t$threads -c$connections -d${seconds}s, Connection: close"
run_wrk "$service_port" service
run_wrk "$nginx_port" nginx
sleep 1
after=$(descriptors "$service_pid")
awk -v s="$rate_service" -v n="$rate_nginx" 'BEGIN {
  if (n > 0) printf "service / nginx: %.2f (goal: at least 0.50)\n", s / n }'
echo "service descriptors: $before before, $after after"
