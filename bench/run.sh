#!/usr/bin/env bash
# The benchmark, in one command: builds pixbake and the benchmark's programs,
# makes the inputs (the same bytes every time), times pixbake against cp and
# ImageMagick, runs the micro-benchmarks, and writes bench/results.md.
#
# Environment: RUNS (rounds per case, default 7), PIXBAKE_BENCH_INPUTS (where
# the ~270 MB of inputs go, default build-bench/inputs).
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[ -x /usr/bin/convert ] || missing+=(imagemagick)
[ -x /usr/bin/time ] || missing+=(time)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
command -v python3 >/dev/null || missing+=(python3)
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPIXBAKE_BENCH=ON -DPIXBAKE_TESTS=OFF >/dev/null
cmake --build build-bench -j 2 --target pixbake make_inputs micro

inputs=${PIXBAKE_BENCH_INPUTS:-build-bench/inputs}
[ -f "$inputs/formats/rgb32.bmp" ] || build-bench/bench/make_inputs "$inputs"

python3 bench/bench.py --pixbake build-bench/pixbake --inputs "$inputs" \
  --results bench/results.md --runs "${RUNS:-7}"

{
  echo
  echo "Micro-benchmarks (Google Benchmark; items are pixel words for EncodeRuns, pixels for the loader,"
  echo "which here includes copying the file's bytes and sampling every pixel word):"
  echo
  echo '```'
  build-bench/bench/micro "$inputs" --benchmark_min_time=0.5 2>/dev/null
  echo '```'
} | tee -a bench/results.md
