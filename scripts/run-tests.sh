#!/usr/bin/env bash
# Installs what the tests need, then runs every suite: the C++ suite built with warnings as
# errors, the same under AddressSanitizer and UndefinedBehaviorSanitizer, the cohort workflow's
# tests (pytest, running Snakemake on the example), and each fuzz target briefly. A failing
# suite does not stop the others; the last line counts the tests of all of them, and the exit
# status is non-zero when any test failed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build test || exit 1

passed=0
failed=0
skipped=0

# Adds the counts of a ctest log. A suite whose build or run ended before ctest's summary line
# counts as one failed test, so that it cannot pass unnoticed.
count_ctest() {
    local log=$1 summary total
    summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z "$summary" ]]; then
        failed=$((failed + 1))
        return
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    local ok skip
    ok=$(grep -cE 'Test +#[0-9]+: .* Passed ' "$log")
    skip=$(grep -cE 'Test +#[0-9]+: .*\*\*\*Skipped ' "$log")
    passed=$((passed + ok))
    skipped=$((skipped + skip))
    failed=$((failed + total - ok - skip))
}

# Adds the counts of pytest's closing line ("3 passed, 1 failed, 2 errors in 9.1s").
count_pytest() {
    local log=$1 line
    line=$(grep -E '^=+ .*[0-9]+ (passed|failed|errors?|skipped).* in [0-9.]+s' "$log" | tail -n 1)
    if [[ -z "$line" ]]; then
        failed=$((failed + 1))
        return
    fi
    number() { grep -oE "[0-9]+ $1" <<<"$line" | grep -oE '[0-9]+' || echo 0; }
    passed=$((passed + $(number passed)))
    failed=$((failed + $(number failed) + $(number 'errors?')))
    skipped=$((skipped + $(number skipped)))
}

# Builds a CMake tree and runs its tests; $1 the folder, then the environment for ctest, then
# "--", then the CMake options.
ctest_suite() {
    local dir=$1
    shift
    local environment=()
    while [[ $1 != -- ]]; do environment+=("$1"); shift; done
    shift
    mkdir -p "$dir"
    { cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j2 &&
        env "${environment[@]}" ctest --test-dir "$dir" -j2 --output-on-failure; } 2>&1 |
        tee "$dir/ctest.log"
    count_ctest "$dir/ctest.log"
}

ctest_suite build/tests -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIDGESCAN_WERROR=ON \
    -DBRIDGESCAN_TESTS=ON

# The workflow runs the program of the suite above; Debian's Python, which has Snakemake.
BRIDGESCAN=$PWD/build/tests/bridgeScan /usr/bin/python3 -m pytest -p no:cacheprovider \
    tests/workflow 2>&1 | tee build/tests/pytest.log
count_pytest build/tests/pytest.log

# Unoptimised: it builds faster and the sanitizers find the same faults. A report ends the
# process with status 86, which no test expects, so a report in a child the test runs fails it.
ctest_suite build/asan \
    ASAN_OPTIONS=detect_leaks=1:exitcode=86:strict_string_checks=1:check_initialization_order=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86 \
    -- -DCMAKE_BUILD_TYPE=Debug -DBRIDGESCAN_SANITIZE=ON -DBRIDGESCAN_TESTS=ON

# Each fuzz target counts as one test: passed when it ran its time without a crash. A build
# that fails counts as one failed test.
mkdir -p build/fuzz
if CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRIDGESCAN_FUZZ=ON -DBRIDGESCAN_TESTS=OFF >/dev/null &&
    cmake --build build/fuzz --target fuzz_targets -j2; then
    bash fuzz/run.sh build/fuzz 15 2>&1 | tee build/fuzz/fuzz.log
    passed=$((passed + $(grep -c ', no crash$' build/fuzz/fuzz.log)))
    failed=$((failed + $(grep -c '^fuzz_.* FAILED' build/fuzz/fuzz.log)))
else
    echo "fuzz targets: build FAILED"
    failed=$((failed + 1))
fi

echo "skipped: $skipped"
echo "tests: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
