#!/usr/bin/env bash
# The local status service under load, beside nginx in the same run: wrk on 127.0.0.1, both
# serving a 1 KiB picture, nginx with one worker. Each round runs wrk against the service and then
# against nginx twice: with "Connection: close" (one request per connection), and with
# "Connection: keep-alive" (wrk's own connections kept open; nginx keeps them without a request
# limit). Prints each server's request rate and errors per round, the median of the service's
# rate as a share of nginx's (the goals: at least 1.0 with close, 0.8 with keep-alive), and
# whether the service holds the same descriptors afterwards.
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
# Two free ports in a row for nginx, below the range the system hands out to outgoing
# connections: wrk's many connections of an earlier run cannot be holding them.
nginx_port=$(python3 -c '
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
for _ in range(200):
    port, held = random.randint(10000, low - 2), []
    try:
        for p in (port, port + 1):
            held.append(socket.socket())
            held[-1].bind(("127.0.0.1", p))
        print(port)
        break
    except OSError:
        pass
    finally:
        for s in held:
            s.close()
')
[[ -n $nginx_port ]] || { echo "no free port for nginx"; exit 1; }
nginx_keep_port=$((nginx_port + 1))
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
  server {
    listen 127.0.0.1:$nginx_keep_port backlog=4096;
    keepalive_timeout 65;
    keepalive_requests 100000000;
    root $work/www;
    location / { default_type image/gif; }
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work/" -e "$work/error.log" &
pids+=($!)
wait_port "$nginx_port" && wait_port "$nginx_keep_port" || { echo "nginx did not start"; cat "$work/error.log"; exit 1; }
nginx_status=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$nginx_port$path")
[[ $nginx_status == 200 ]] || { echo "nginx answered $nginx_status"; cat "$work/error.log"; exit 1; }

size_service=$(curl -s "http://127.0.0.1:$service_port$path" | wc -c)
size_nginx=$(curl -s "http://127.0.0.1:$nginx_port$path" | wc -c)
echo "document: service $size_service bytes, nginx $size_nginx bytes"

before=$(descriptors "$service_pid")
# Prints "rate errors" of one wrk run on port $1 with "Connection: $2": requests per second, and
# socket errors plus non-2xx answers.
run_wrk() {
  wrk -t"$threads" -c"$connections" -d"${seconds}s" -H "Connection: $2" "http://127.0.0.1:$1$path" \
    >"$work/wrk.txt" 2>&1
  awk '/^Requests\/sec:/ { rate = $2 }
       /Socket errors:/ { gsub(/[^0-9 ]/, ""); for (i = 1; i <= NF; i++) errors += $i }
       /Non-2xx/ { errors += $NF }
       END { printf "%s %d\n", rate == "" ? 0 : rate, errors }' "$work/wrk.txt"
}
echo "wrk -t$threads -c$connections -d${seconds}s, $rounds rounds"
: >"$work/rounds.txt"
for round in $(seq "$rounds"); do
  read -r service_close service_close_errors < <(run_wrk "$service_port" close)
  read -r nginx_close nginx_close_errors < <(run_wrk "$nginx_port" close)
  read -r service_keep service_keep_errors < <(run_wrk "$service_port" keep-alive)
  read -r nginx_keep nginx_keep_errors < <(run_wrk "$nginx_keep_port" keep-alive)
  printf "round %d, close:      service %10.1f req/s, %d errors; nginx %10.1f req/s, %d errors\n" \
    "$round" "$service_close" "$service_close_errors" "$nginx_close" "$nginx_close_errors"
  printf "round %d, keep-alive: service %10.1f req/s, %d errors; nginx %10.1f req/s, %d errors\n" \
    "$round" "$service_keep" "$service_keep_errors" "$nginx_keep" "$nginx_keep_errors"
  echo "$service_close $service_close_errors $nginx_close $nginx_close_errors" \
    "$service_keep $service_keep_errors $nginx_keep $nginx_keep_errors" >>"$work/rounds.txt"
done
# Connections closed last are let go in a later turn of the service's loop.
sleep 1
after=$(descriptors "$service_pid")
echo "service descriptors: $before before, $after after"

python3 - "$work/rounds.txt" "$before" "$after" "$seconds" "$json" <<'PY'
import json, statistics, sys
path, before, after, seconds, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
rounds = [[float(x) for x in line.split()] for line in open(path) if line.strip()]
for name, at, goal in (("close", 0, "1.0"), ("keep-alive", 4, "0.8")):
    ratios = [r[at] / r[at + 2] for r in rounds if r[at + 2] > 0]
    if ratios:
        print("%s: service / nginx %.2f (median of %d rounds; goal: at least %s)"
              % (name, statistics.median(ratios), len(ratios), goal))
if not out:
    sys.exit(0)
entries = []
def add(name, index, figure, reference, unit, count=len(rounds)):
    entries.append({"name": name, "run_name": name, "run_type": "iteration",
                    "repetitions": count, "repetition_index": index, "iterations": 1,
                    "real_time": seconds, "cpu_time": 0, "time_unit": "s",
                    "figure": figure, "reference": reference, "label": unit})
for name, at in (("connection_close", 0), ("keep_alive", 4)):
    for i, r in enumerate(rounds):
        add("status_service/%s_vs_nginx_1_worker" % name, i, r[at], r[at + 2], "req/s")
    for i, r in enumerate(rounds):
        add("status_service/%s_errors_vs_nginx" % name, i, r[at + 1], r[at + 3], "errors")
add("status_service/descriptors_after_vs_before", 0, after, before, "descriptors", 1)
with open(out, "w") as f:
    json.dump({"context": {"executable": "bench/status_service_bench.sh"}, "benchmarks": entries}, f, indent=1)
PY
