#!/usr/bin/env bash
# Installs the dependencies, builds quavelor and runs every test twice: once in
# an ordinary build, once under AddressSanitizer and UndefinedBehaviorSanitizer
# (any sanitizer report fails the run).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUAVELOR_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUAVELOR_SANITIZE=ON -DQUAVELOR_TESTS=ON
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
