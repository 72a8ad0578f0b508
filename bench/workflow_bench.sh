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
#   RUNS=N     rounds of the timed runs (default 3); medians are printed.
# Uses at most two cores; figures on a busy machine are noisy.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bash "$repo/scripts/install-deps.sh" bench workflow

data=$(realpath -m "${1:-$repo/build/workflow-bench-data}")
length=${LENGTH:-20000000}
wide_sites=${WIDE_SITES:-5000}
runs=${RUNS:-3}
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

# The direct runs' inputs: each chromosome's VCF lines, and the whole table with its name.
rm -rf direct && mkdir direct
for chrom in chr1 chr2; do
    tabix -h cohort.vcf.gz "$chrom" >"direct/$chrom.vcf"
    awk -v c="$chrom" '{print $1 "\t" $2 "\t" c}' samples.tsv >"direct/$chrom.list"
done

# Both chromosomes, one after the other; --stats adds the per-sample statistics, which must not
# slow the scan. Figures are appended to FILE.
direct_runs() {
    local file=$1 chrom
    shift
    for chrom in chr1 chr2; do
        timed direct/one.time "$program" --vcf "direct/$chrom.vcf" --bam "direct/$chrom.list" \
            --out "direct/$chrom.pirs.gz" "$@" >"direct/$chrom.log" 2>&1
        cat direct/one.time >>"$file"
    done
}

# Both chromosomes at once, as two cores run two scans: on a machine of two cores, scans that
# run side by side each cost more CPU time than one alone (shared caches and memory).
direct_pair() {
    local command="" chrom
    for chrom in chr1 chr2; do
        command+="$(printf %q "$program") --vcf direct/$chrom.vcf --bam direct/$chrom.list"
        command+=" --out direct/$chrom.pair.pirs.gz >/dev/null 2>&1 & "
    done
    timed direct/one.time bash -c "$command wait"
    cat direct/one.time >>direct_pair.times
}

workflow_run() {
    local cores=$1
    rm -rf "workflow$cores" .snakemake
    timed direct/one.time snakemake -s "$repo/workflow/Snakefile" --cores "$cores" \
        --config vcf=cohort.vcf.gz samples=samples.tsv outdir="workflow$cores" \
        samples_per_job=2 program="$program" >"workflow$cores.log" 2>&1 ||
        { echo "the workflow failed: see $data/workflow$cores.log" >&2; exit 1; }
    cat direct/one.time >>"workflow$cores.times"
    for chrom in chr1 chr2; do
        cmp <(zcat "workflow$cores/$chrom.pirs.gz") <(zcat "direct/$chrom.pirs.gz") ||
            { echo "workflow$cores/$chrom.pirs.gz differs from the direct run" >&2; exit 1; }
    done
}

# The runs of a round follow one another, so that a neighbour's load falls on all of them.
rm -f direct.times stats.times direct_pair.times workflow1.times workflow2.times
for ((round = 1; round <= runs; round++)); do
    say "Round $round of $runs: direct runs, with --stats, side by side; workflow --cores 1, 2"
    direct_runs direct.times
    direct_runs stats.times --stats direct/stats.tsv
    direct_pair
    workflow_run 1
    workflow_run 2
done
echo "  every gathered file held the direct run's bytes"

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
import statistics
import sys
from pathlib import Path


def runs(name, per_run=1):
    """Wall and CPU seconds of each run in a file of /usr/bin/time lines; a run may take
    several lines (one per chromosome)."""
    lines = [line.split() for line in Path(name).read_text().splitlines()
             if line and line[0].isdigit()]
    return [(sum(float(r[0]) for r in lines[k:k + per_run]),
             sum(float(r[1]) + float(r[2]) for r in lines[k:k + per_run]))
            for k in range(0, len(lines), per_run)]


def median(figures):
    return tuple(statistics.median(f[i] for f in figures) for i in (0, 1))


def paired(ratio, a, b):
    """The median, low and high of a ratio taken round by round: runs of one round share the
    machine's speed of the moment, which drifts between rounds on a shared machine."""
    values = sorted(ratio(x, y) for x, y in zip(a, b))
    return f"{statistics.median(values):.2f} (rounds: {', '.join(f'{v:.2f}' for v in values)})"


direct_runs, stats_runs = runs("direct.times", 2), runs("stats.times", 2)
pair_runs = runs("direct_pair.times")
one_runs, two_runs = runs("workflow1.times"), runs("workflow2.times")
direct, stats, pair = median(direct_runs), median(stats_runs), median(pair_runs)
one, two = median(one_runs), median(two_runs)
print(f"medians of {len(one_runs)} runs each")
print(f"{'':34}{'wall s':>9}{'CPU s':>9}{'CPU / direct':>14}")
for name, (wall, cpu) in [("direct runs (2 chromosomes)", direct),
                          ("direct runs with --stats", stats),
                          ("direct runs side by side", pair),
                          ("workflow --cores 1", one), ("workflow --cores 2", two)]:
    print(f"{name:34}{wall:9.1f}{cpu:9.1f}{cpu / direct[1]:14.2f}")
cpu, wall = (lambda x, y: x[1] / y[1]), (lambda x, y: x[0] / y[0])
print("Ratios taken within each round, then their median:")
print(f"  workflow --cores 1 CPU / direct CPU: {paired(cpu, one_runs, direct_runs)}; "
      "target at most 1.25")
print(f"  workflow --cores 2 CPU / direct side by side CPU: {paired(cpu, two_runs, pair_runs)}")
print(f"  --cores 2 wall / --cores 1 wall: {paired(wall, two_runs, one_runs)}; "
      "target at most 0.60")
print(f"  --stats CPU / plain CPU: {paired(cpu, stats_runs, direct_runs)}")
groups, size = int(sys.argv[1]), int(sys.argv[2])
once = runs("wide_split/once.time")[0]
per_group = tuple(map(sum, zip(*runs("wide_split/per_group.times"))))
print(f"2,504-sample VCF ({size / 1e6:.0f} MB of text), {groups} groups: read once "
      f"{once[0]:.1f} s wall ({once[1]:.1f} s CPU); once per group {per_group[0]:.1f} s wall "
      f"({per_group[1]:.1f} s CPU), {per_group[0] / once[0]:.0f} times longer")
EOF
