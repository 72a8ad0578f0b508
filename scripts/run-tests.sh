#!/usr/bin/env bash
# Installs what the tests need, then runs the whole suite twice (built with warnings as errors,
# then under AddressSanitizer and UndefinedBehaviorSanitizer) and each fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build test

cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIDGESCAN_WERROR=ON >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests -j2 --output-on-failure | tee build/tests/ctest.log

# Unoptimised: it builds faster and the sanitizers find the same faults. A report ends the
# process with status 86, which no test expects, so a report in a child the test runs fails it.
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DBRIDGESCAN_SANITIZE=ON >/dev/null
cmake --build build/asan -j2
ASAN_OPTIONS=detect_leaks=1:exitcode=86:strict_string_checks=1:check_initialization_order=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86 \
    ctest --test-dir build/asan -j2 --output-on-failure | tee build/asan/ctest.log

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRIDGESCAN_FUZZ=ON -DBRIDGESCAN_TESTS=OFF >/dev/null
cmake --build build/fuzz --target fuzz_targets -j2
bash fuzz/run.sh build/fuzz 15

# One closing line for both suites (a failure has stopped the script before this point).
passed=$(cat build/tests/ctest.log build/asan/ctest.log | grep -cE 'Test +#[0-9]+: .* Passed ')
skipped=$(cat build/tests/ctest.log build/asan/ctest.log | grep -cE 'Test +#[0-9]+: .*\*\*\*Skipped ')
echo "tests: $passed passed, 0 failed, $skipped skipped"
