#!/usr/bin/env bash
# Builds the benchmarks (Release, build/bench) and runs every bench/*_bench.cpp program, printing
# one table: name, figure, unit, reference, ratio.
#
# The figure of a benchmark is its real time per iteration in its time unit, unless it sets a
# counter named "figure" (then that, with the unit given as the benchmark's label). A benchmark
# that knows what it should be compared with reports that as a counter named "reference", in the
# figure's unit; the ratio is figure / reference.
#
# Arguments are passed to every benchmark program (for example --benchmark_filter=Post or
# --benchmark_min_time=0.1). The JSON of each program is kept in build/bench/results/.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
dir=build/bench

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
  if ! "$program" --benchmark_format=json "$@" >"$dir/results/$name.json"; then
    echo "$name failed" >&2
    status=1
  fi
done

# Google Benchmark's JSON puts one field per line; read the "benchmarks" array run by run.
awk '
  function flush() {
    if (name == "") return
    fig = (figure != "") ? figure : time
    n++
    names[n] = name
    figs[n] = sprintf("%.4g", fig)
    units[n] = (figure != "") ? label : unit
    refs[n] = (reference != "") ? sprintf("%.4g", reference) : "-"
    ratios[n] = (reference != "" && reference + 0 != 0) ? sprintf("%.2f", fig / reference) : "-"
    if (length(name) > width) width = length(name)
    name = ""
  }
  BEGIN { width = length("benchmark") }
  FNR == 1 { flush(); inside = 0 }
  /"benchmarks": \[/ { inside = 1; next }
  !inside { next }
  /^    {/ { flush(); name = ""; figure = ""; reference = ""; label = ""; unit = ""; time = "" }
  {
    line = $0
    sub(/^[ \t]*/, "", line)
    sub(/,$/, "", line)
    key = line; sub(/":.*/, "", key); sub(/^"/, "", key)
    value = line; sub(/^"[^"]*": /, "", value); gsub(/^"|"$/, "", value)
    if (key == "name") name = value
    else if (key == "real_time") time = value
    else if (key == "time_unit") unit = value
    else if (key == "figure") figure = value
    else if (key == "reference") reference = value
    else if (key == "label") label = value
    else if (key == "error_message") { label = "error: " value; time = 0 }
  }
  END {
    flush()
    format = "%-" width "s  %12s  %-12s %12s  %7s\n"
    printf format, "benchmark", "figure", "unit", "reference", "ratio"
    for (i = 1; i <= n; i++) printf format, names[i], figs[i], units[i], refs[i], ratios[i]
  }
' "$dir/results"/*.json

exit $status
