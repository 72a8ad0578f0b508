#!/usr/bin/env bash
# Times the cohort workflow against direct bridgeScan runs on a simulated cohort (two
# chromosomes, 8 samples at 30x, 2 samples per job), with --cores 1 and --cores 2: wall-clock
# and CPU time of every process (Snakemake's own and all its jobs'), checking that each
# gathered file holds the direct run's bytes. Then times reading one chromosome's VCF of 2,504
# samples into all of its groups' inputs at once, against once per group.
#
# Usage: bench/workflow_bench.sh [DATA_DIR [BUILD_DIR]]
#   DATA_DIR   where the simulated data and the results go (default build/workflow-bench-data);
#              data already there is kept, so later runs only time.
#   BUILD_DIR  a folder holding bridgeScan; without one, it is built in Release in build/release.
#   LENGTH=N   bases per chromosome (default 20000000: enough for the scans to dominate).
#   WIDE_SITES=N  sites of the 2,504-sample VCF (default 5000).
# Uses at most two cores. One run each: figures on a busy machine are noisy.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bash "$repo/scripts/install-deps.sh" bench workflow

data=$(realpath -m "${1:-$repo/build/workflow-bench-data}")
length=${LENGTH:-20000000}
wide_sites=${WIDE_SITES:-5000}
threads=2
python=/usr/bin/python3

say() { printf '\n== %s\n' "$*"; }

source "$here/build_release.sh"
build_release "${2:-}" bridgeScan
program=$build/bridgeScan

mkdir -p "$data"
cd "$data"
if [[ ! -f cohort.done ]]; then
    say "Simulating the cohort: 2 x $length bp, 8 samples at 30x"
    $python "$here/workflow_bench_data.py" --out . --length "$length"
    touch cohort.done
fi
if [[ ! -f wide.done ]]; then
    say "Simulating a VCF of $wide_sites sites for 2,504 samples"
    $python "$here/workflow_bench_data.py" --out . --wide "$wide_sites"
    touch wide.done
fi

# Runs a command under /usr/bin/time; the figures (wall, user, system) go to FILE.
timed() {
    local file=$1
    shift
    /usr/bin/time -o "$file" -f '%e %U %S' "$@"
}

say "Direct runs: bridgeScan on each chromosome's VCF lines and the whole samples table"
rm -rf direct && mkdir direct
for chrom in chr1 chr2; do
    tabix -h cohort.vcf.gz "$chrom" >"direct/$chrom.vcf"
    awk -v c="$chrom" '{print $1 "\t" $2 "\t" c}' samples.tsv >"direct/$chrom.list"
    timed "direct/$chrom.time" "$program" --vcf "direct/$chrom.vcf" --bam "direct/$chrom.list" \
        --out "direct/$chrom.pirs.gz" >"direct/$chrom.log" 2>&1
    # The same with the per-sample statistics, which must not slow the scan.
    timed "direct/$chrom.stats.time" "$program" --vcf "direct/$chrom.vcf" \
        --bam "direct/$chrom.list" --out "direct/$chrom.again.pirs.gz" \
        --stats "direct/$chrom.stats.tsv" >>"direct/$chrom.log" 2>&1
done

for cores in 1 2; do
    say "Workflow, --cores $cores"
    rm -rf "workflow$cores" .snakemake
    timed "workflow$cores.time" snakemake -s "$repo/workflow/Snakefile" --cores "$cores" \
        --config vcf=cohort.vcf.gz samples=samples.tsv outdir="workflow$cores" \
        samples_per_job=2 program="$program" >"workflow$cores.log" 2>&1 ||
        { echo "the workflow failed: see $data/workflow$cores.log" >&2; exit 1; }
    for chrom in chr1 chr2; do
        cmp <(zcat "workflow$cores/$chrom.pirs.gz") <(zcat "direct/$chrom.pirs.gz") ||
            { echo "workflow$cores/$chrom.pirs.gz differs from the direct run" >&2; exit 1; }
    done
    echo "  both chromosomes' files hold the direct runs' bytes"
done

say "Reading a chromosome's VCF of 2,504 samples into the inputs of its groups of 50"
rm -rf wide_split && mkdir wide_split
# The command that writes the inputs of the groups a plan names.
split_with() {
    echo "$python" "$repo/workflow/scripts/split_vcf.py" --log "wide_split/$1.log" \
        --vcf wide.vcf.gz --index wide.vcf.gz.tbi --plan "wide_plans/$1.json" --chromosome chr1 \
        --out "wide_split/$1"
}
timed wide_split/once.time $(split_with all)
groups=$(ls wide_plans | grep -c '^group')
: >wide_split/per_group.times
for ((k = 0; k < groups; k++)); do
    timed wide_split/one.time $(split_with "group$k")
    cat wide_split/one.time >>wide_split/per_group.times
    rm -rf "wide_split/group$k"
done

say "Results ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))"
$python - "$groups" "$(zcat wide.vcf.gz | wc -c)" <<'EOF'
import sys
from pathlib import Path


def figures(*files):
    """Wall and CPU seconds, summed over the runs the files hold."""
    runs = [line.split() for f in files for line in Path(f).read_text().splitlines()
            if line and line[0].isdigit()]
    return sum(float(r[0]) for r in runs), sum(float(r[1]) + float(r[2]) for r in runs)


direct = figures("direct/chr1.time", "direct/chr2.time")
stats = figures("direct/chr1.stats.time", "direct/chr2.stats.time")
one, two = figures("workflow1.time"), figures("workflow2.time")
print(f"{'':34}{'wall s':>9}{'CPU s':>9}{'CPU / direct':>14}")
for name, (wall, cpu) in [("direct runs (2 chromosomes)", direct),
                          ("direct runs with --stats", stats),
                          ("workflow --cores 1", one), ("workflow --cores 2", two)]:
    print(f"{name:34}{wall:9.1f}{cpu:9.1f}{cpu / direct[1]:14.2f}")
print(f"workflow CPU / direct CPU: {one[1] / direct[1]:.2f} (--cores 1), "
      f"{two[1] / direct[1]:.2f} (--cores 2); target at most 1.25")
print(f"--cores 2 wall / --cores 1 wall: {two[0] / one[0]:.2f}; target at most 0.60")
print(f"--stats CPU / plain CPU: {stats[1] / direct[1]:.2f}")
groups, size = int(sys.argv[1]), int(sys.argv[2])
once, per_group = figures("wide_split/once.time"), figures("wide_split/per_group.times")
print(f"2,504-sample VCF ({size / 1e6:.0f} MB of text), {groups} groups: read once "
      f"{once[0]:.1f} s wall ({once[1]:.1f} s CPU); once per group {per_group[0]:.1f} s wall "
      f"({per_group[1]:.1f} s CPU), {per_group[0] / once[0]:.0f} times longer")
EOF
