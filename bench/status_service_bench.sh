#!/usr/bin/env bash
# The local status service under load, beside nginx in the same run: wrk on 127.0.0.1 with
# "Connection: close" (one request per connection), both serving a 1 KiB picture, nginx with one
# worker. Each round runs wrk against the service and then against nginx. Prints each server's
# request rate and errors per round, the median of the service's rate as a share of nginx's (the
# goal is at least 1.0), and whether the service holds the same descriptors afterwards.
#
# The service answers HTTP/1.0 and closes every connection after its answer, so there is no
# keep-alive run: its one client, the program's status check, asks once per check and reads the
# answer to the end of the connection.
#
# Options: --rounds N (5), --json FILE (the figures as a Google Benchmark report, for run.sh).
# Environment: WRK_THREADS (2), WRK_CONNECTIONS (1000), WRK_SECONDS (30).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
dir=build/bench
threads=${WRK_THREADS:-2}
connections=${WRK_CONNECTIONS:-1000}
seconds=${WRK_SECONDS:-30}
rounds=5
json=
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --json) json=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--json FILE]" >&2; exit 64 ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "--rounds wants a positive number" >&2; exit 64; }

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
# Prints "rate errors" of one wrk run: requests per second, and socket errors plus non-2xx answers.
run_wrk() {
  wrk -t"$threads" -c"$connections" -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$1$path" \
    >"$work/wrk.txt" 2>&1
  awk '/^Requests\/sec:/ { rate = $2 }
       /Socket errors:/ { gsub(/[^0-9 ]/, ""); for (i = 1; i <= NF; i++) errors += $i }
       /Non-2xx/ { errors += $NF }
       END { printf "%s %d\n", rate == "" ? 0 : rate, errors }' "$work/wrk.txt"
}
echo "wrk -t$threads -c$connections -d${seconds}s, Connection: close, $rounds rounds"
: >"$work/rounds.txt"
for round in $(seq "$rounds"); do
  read -r service_rate service_errors < <(run_wrk "$service_port")
  read -r nginx_rate nginx_errors < <(run_wrk "$nginx_port")
  printf "round %d: service %10.1f req/s, %d errors; nginx %10.1f req/s, %d errors\n" "$round" \
    "$service_rate" "$service_errors" "$nginx_rate" "$nginx_errors"
  echo "$service_rate $service_errors $nginx_rate $nginx_errors" >>"$work/rounds.txt"
done
# Connections closed last are let go in a later turn of the service's loop.
sleep 1
after=$(descriptors "$service_pid")
echo "service descriptors: $before before, $after after"

python3 - "$work/rounds.txt" "$before" "$after" "$seconds" "$json" <<'PY'
import json, statistics, sys
path, before, after, seconds, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
rounds = [[float(x) for x in line.split()] for line in open(path) if line.strip()]
ratios = [s / n for s, _, n, _ in rounds if n > 0]
if ratios:
    print("service / nginx: %.2f (median of %d rounds; goal: at least 1.0)" % (statistics.median(ratios), len(ratios)))
if not out:
    sys.exit(0)
entries = []
def add(name, index, figure, reference, unit):
    entries.append({"name": name, "run_name": name, "run_type": "iteration",
                    "repetitions": len(rounds), "repetition_index": index, "iterations": 1,
                    "real_time": seconds, "cpu_time": 0, "time_unit": "s",
                    "figure": figure, "reference": reference, "label": unit})
for i, (s, se, n, ne) in enumerate(rounds):
    add("status_service/connection_close_vs_nginx_1_worker", i, s, n, "req/s")
for i, (s, se, n, ne) in enumerate(rounds):
    add("status_service/errors_vs_nginx", i, se, ne, "errors")
add("status_service/descriptors_after_vs_before", 0, after, before, "descriptors")
entries[-1]["repetitions"] = 1
with open(out, "w") as f:
    json.dump({"context": {"executable": "bench/status_service_bench.sh"}, "benchmarks": entries}, f, indent=1)
PY
