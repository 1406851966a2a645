#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for the given number of seconds (default 60),
# starting from its corpus in fuzz/corpus/<target without _fuzz>/. New inputs that widen
# coverage go to build/fuzz/corpus/<name>; a crash leaves its input in build/fuzz/artifacts/.
# Once the fault is mended, keep such an input of http_response_fuzz in tests/http/fuzz_inputs/:
# the fuzz regression test replays every file there.
#   bash fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=$root/build/fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$root"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_BUILD_FUZZ=ON -DVANTREL_SANITIZE=OFF -DVANTREL_BUILD_TESTS=OFF \
  -DVANTREL_BUILD_APP=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -j"${VANTREL_JOBS:-2}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
for t in "${targets[@]}"; do
  seed=$root/fuzz/corpus/${t%_fuzz}
  work=$build/corpus/$t
  mkdir -p "$work" "$build/artifacts"
  echo "== $t for ${seconds}s"
  if ! "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -max_len=20000 \
      -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 "$work" "$seed" 2>"$build/$t.log"; then
    echo "$t FAILED; see $build/$t.log and $build/artifacts/"
    tail -n 40 "$build/$t.log"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$build/$t.log" || true
    echo "$t passed"
  fi
done
exit $status
