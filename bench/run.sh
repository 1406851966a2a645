#!/usr/bin/env bash
# Builds the benchmarks (Release, build/bench), runs every bench/*_bench.cpp program and the status
# service under load (bench/status_service_bench.sh), and prints one table: benchmark, figure,
# unit, reference, ratio, rounds. It also writes docs/benchmarks.md (the table and the machine)
# and docs/benchmarks.png (each figure against its reference); bench/report.py reads the JSON.
#
# The figure of a benchmark is its real time per iteration in its time unit, unless it sets a
# counter named "figure" (then that, with the unit given as the benchmark's label). A benchmark
# that knows what it should be compared with reports that as a counter named "reference", in the
# figure's unit; the ratio is figure / reference. Each is the median of the rounds.
#
# Options:
#   --rounds N       rounds of every benchmark (default 5)
#   --baseline DIR   add the figures of an earlier run (the *.json in DIR) as a "before" column
#   --no-service     leave out the status service run (it takes rounds x 2 x WRK_SECONDS)
#   --no-docs        print the table only
# Other arguments are passed to every benchmark program (for example --benchmark_filter=Post).
# The JSON of each program is kept in build/bench/results/.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
dir=build/bench

rounds=5
baseline=()
service=1
docs=1
pass=()
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --baseline) baseline=(--baseline "$2"); shift 2 ;;
    --no-service) service=0; shift ;;
    --no-docs) docs=0; shift ;;
    *) pass+=("$1"); shift ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "--rounds wants a positive number" >&2; exit 64; }

bash scripts/setup.sh || exit 1
# Tests stay on: benchmarks may link the test support library (servers, scripted peers); only the
# benchmark targets are built.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_BENCH=ON -DVANTREL_BUILD_TESTS=ON \
  -DVANTREL_BUILD_APP=OFF >/dev/null || exit 1
# The benchmark programs and what they link, not the test suite.
targets=()
for src in bench/*_bench.cpp; do
  [[ -e $src ]] && targets+=("$(basename "$src" .cpp)")
done
if ((${#targets[@]} == 0)); then
  echo "no benchmarks in bench/"
  exit 0
fi
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" || exit 1

mkdir -p "$dir/results"
rm -f "$dir/results"/*.json
status=0
for name in "${targets[@]}"; do
  program=$dir/bench/$name
  echo "running $name" >&2
  if ! "$program" --benchmark_format=json --benchmark_repetitions="$rounds" \
    --benchmark_report_aggregates_only=true "${pass[@]}" >"$dir/results/$name.json"; then
    echo "$name failed" >&2
    status=1
  fi
done
if ((service)); then
  echo "running status_service_bench.sh" >&2
  if ! bash bench/status_service_bench.sh --rounds "$rounds" \
    --json "$dir/results/status_service.json" >&2; then
    echo "status_service_bench.sh failed" >&2
    status=1
  fi
fi

report=(python3 bench/report.py "$dir/results" "${baseline[@]}")
((docs)) && report+=(--markdown docs/benchmarks.md --plot docs/benchmarks.png)
"${report[@]}" || status=1
exit $status
