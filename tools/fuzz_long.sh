#!/usr/bin/env bash
# A long fuzzing session, outside CI: builds the fuzz targets and runs each for a while, from
# the committed seeds and from everything earlier sessions in the same build folder found.
# Usage: tools/fuzz_long.sh [SECONDS_PER_TARGET (default 1800)] [TARGET...]
# The build folder is build/fuzz-long, or $FUZZ_BUILD. Crashes are listed at the end; each one
# is to become a regression test (a unit test or a tests/cases/ folder) before it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-1800}"
shift $(( $# > 0 ? 1 : 0 ))
build="${FUZZ_BUILD:-build/fuzz-long}"

bash scripts/install-deps.sh build test
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRIDGESCAN_FUZZ=ON -DBRIDGESCAN_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j2
status=0
bash fuzz/run.sh "$build" "$seconds" "$@" || status=$?
# Inputs kept from this session and earlier ones; remove one once its regression test exists.
find "$build/fuzz/artifacts" -type f 2>/dev/null | sed 's/^/crash input: /'
exit "$status"
