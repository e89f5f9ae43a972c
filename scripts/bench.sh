#!/usr/bin/env bash
# Installs the dependencies, builds quavelor and its benchmarks (Release, in
# build-bench/) and runs every benchmark (or only the sections whose numbers
# are given, as in "scripts/bench.sh 4 7"), printing one table: each figure
# beside the one it is measured against in the same run, each ratio with its
# target and PASS or MISS. Details are left in build-bench/bench-results/.
# Takes a few minutes; real-time runs take 45 s of it through a private
# PulseAudio server and two minutes on a simulated sound card.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh

# The build's output is kept in build-bench/build.log and shown only if it fails.
mkdir -p build-bench
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUAVELOR_TESTS=OFF -DQUAVELOR_BENCH=ON &&
       cmake --build build-bench -j2; } >build-bench/build.log 2>&1; then
  cat build-bench/build.log >&2
  exit 1
fi

exec python3 bench/run_benchmarks.py . build-bench "$@"
