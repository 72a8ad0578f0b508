#!/usr/bin/env bash
# Runs each fuzz target from its committed seeds for a given time; fails when any target crashed.
# Usage: fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]   (default: every target)
# New inputs go to BUILD_DIR/fuzz/corpus/TARGET and are read again by the next run; a crashing
# input is left in BUILD_DIR/fuzz/artifacts/TARGET/ with the log beside it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
seconds="$2"
shift 2
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(tokenizers stream_records bam_record sam_record vcf_reader bam_list_reader)
fi

failed=0
for target in "${targets[@]}"; do
    binary="$build/fuzz/fuzz_$target"
    corpus="$build/fuzz/corpus/$target"
    artifacts="$build/fuzz/artifacts/$target"
    log="$build/fuzz/logs/$target.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    # The committed seeds are read but never written: new inputs go to the build tree.
    if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target FAILED; log: $log" >&2
        grep -E "ERROR|property failed|runtime error|SUMMARY|Test unit written" "$log" | head -20 >&2 || true
        failed=1
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    echo "fuzz_$target: ${runs:-?} runs in ${seconds}s, ${edges:-?} edges, no crash"
done
exit "$failed"
