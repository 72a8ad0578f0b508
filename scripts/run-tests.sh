#!/usr/bin/env bash
# Installs what the tests need, builds with warnings as errors, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build test

cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIDGESCAN_WERROR=ON >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests -j2 --output-on-failure
