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
#   PARTS="small scale planned rate"  which parts to run (default all four):
#     small    the runs above;
#     scale    a synthetic cohort of SCALE_SAMPLES (3000) x SCALE_SITES (100000) on one
#              chromosome, alignment files links to one tiny BAM (so that the scans cost little):
#              the workflow of revision BASELINE (default b9829a6, before the split and gathers
#              ran at disk speed) and this one, each rule's wall, CPU and peak memory
#              before and after; then this one through its Slurm profile on a stand-in Slurm
#              (bench/slurm_standin.py, jobs run here on 2 cores): jobs submitted, each rule's
#              peak memory and run time against its request, files open, temporary bytes;
#              SCALE_CHROMS (1) chromosomes; SCALE_WORKFLOWS ("main this slurm") the runs made:
#              main the BASELINE's, this one's with --cores 2, slurm this one's on the stand-in;
#     planned  cohorts too large to scan here, as their plan: PLANNED_SAMPLES (200000) on 22
#              chromosomes and 20000 on 2 chromosomes of 200000 records: dry run and `check`
#              (wall, peak memory, jobs, cluster jobs), and the report of a stats.tsv of
#              PLANNED_SAMPLES x 22 rows (wall, peak memory, page size);
#     rate     how many finished jobs a second Snakemake registers through the Slurm profile's
#              executor settings with thousands queued: RATE_JOBS (3000) jobs that each touch
#              a file, on the one-node Slurm of the workflow tests (as root), for RATE_SECONDS
#              (300) seconds.
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

parts=" ${PARTS:-small scale planned rate} "
mkdir -p "$data"
cd "$data"
if [[ "$parts" == *" small "* ]]; then
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
fi

# Runs a command under /usr/bin/time -v; prints its wall seconds and peak memory on the
# benchmark's own output (descriptor 3), whatever the command's output is sent to.
exec 3>&1
measured() {
    local label=$1
    shift
    /usr/bin/time -v -o time.txt "$@"
    awk -v label="$label" -F': ' '/Elapsed/ { split($2, t, ":"); wall = t[1] * 60 + t[2];
        if (length(t) == 3) wall = t[1] * 3600 + t[2] * 60 + t[3] }
        /Maximum resident/ { mb = $2 / 1024 }
        END { printf "  %s: %.1f s wall, %.0f MB peak\n", label, wall, mb }' time.txt >&3
}

# Samples the bytes and files under a folder every 2 s while a command runs.
with_disk_samples() {
    local folder=$1 out=$2
    shift 2
    : >"$out"
    ( while sleep 2; do
        [[ -d "$folder" ]] || continue
        echo "$(du -sb "$folder" 2>/dev/null | cut -f1) $(find "$folder" -type f | wc -l)" >>"$out"
    done ) &
    local sampler=$!
    "$@" || { kill "$sampler"; return 1; }
    kill "$sampler"
}

if [[ "$parts" == *" scale "* ]]; then
    samples=${SCALE_SAMPLES:-3000}
    sites=${SCALE_SITES:-100000}
    chromosomes=${SCALE_CHROMS:-1}
    workflows=" ${SCALE_WORKFLOWS:-main this slurm} "
    scale=scale-${samples}x$sites
    ((chromosomes == 1)) || scale+=x$chromosomes
    say "A cohort of $samples samples x $sites sites x $chromosomes chromosomes, tiny alignment files"
    if [[ ! -f $scale/done ]]; then
        $python "$here/workflow_bench_data.py" --out "$scale" --synthetic "$samples" "$sites" \
            "$chromosomes"
        touch "$scale/done"
    fi
    rm -rf main-workflow && mkdir main-workflow
    git -C "$repo" archive "${BASELINE:-b9829a6}" workflow config | tar -x -C main-workflow
    cd "$scale"
    text_mb=$(zcat cohort.vcf.gz | wc -c | awk '{printf "%.0f", $1 / 1e6}')
    echo "  VCF: $(du -m cohort.vcf.gz | cut -f1) MB compressed, $text_mb MB of text"
    for version in main this; do
        [[ $workflows == *" $version "* ]] || continue
        snakefile=$repo/workflow/Snakefile
        [[ $version == main ]] && snakefile=$data/main-workflow/workflow/Snakefile
        rm -rf "out-$version" .snakemake
        with_disk_samples "out-$version/work" "disk-$version.txt" \
            measured "workflow of $version, --cores 2" snakemake -s "$snakefile" --cores 2 \
            --config vcf=cohort.vcf.gz samples=samples.tsv outdir="out-$version" \
            program="$program" >"run-$version.log" 2>&1 ||
            { echo "the $version workflow failed: see $data/$scale/run-$version.log" >&2; exit 1; }
        echo "  $version: $($python "$here/workflow_bench_report.py" peaks "disk-$version.txt")"
        final=$(du -cb "out-$version"/*.gz | tail -1 | cut -f1)
        echo "  final outputs: $(awk -v b="$final" 'BEGIN { printf "%.1f MB", b / 1e6 }')"
    done
    if [[ $workflows == *" main "* && $workflows == *" this "* ]]; then
        for ((c = 1; c <= chromosomes; c++)); do
            cmp <(zcat "out-main/chr$c.pirs.gz") <(zcat "out-this/chr$c.pirs.gz") &&
                cmp <(zcat "out-main/chr$c.phased.vcf.gz" | grep -v '^#') \
                    <(zcat "out-this/chr$c.phased.vcf.gz" | grep -v '^#')
        done && echo "  both gathered the same PIR files and phase sets"
        $python "$here/workflow_bench_report.py" rules out-main out-this
    fi
    cd "$data"
fi
if [[ "$parts" == *" scale "* && $workflows == *" slurm "* ]]; then
    cd "$scale"
    say "The same through the Slurm profile, on a stand-in Slurm of 2 cores"
    rm -rf standin out-slurm .snakemake && mkdir -p standin/bin standin/profile
    for name in sbatch sacct squeue scancel srun; do
        ln -s "$here/slurm_standin.py" "standin/bin/$name"
    done
    $python - "$repo/workflow/profiles/slurm/config.yaml" standin/profile/config.yaml <<'PYTHON'
import sys
import yaml
settings = yaml.safe_load(open(sys.argv[1]))
settings["latency-wait"] = 5  # one file system
yaml.safe_dump(settings, open(sys.argv[2], "w"))
PYTHON
    with_disk_samples out-slurm/work disk-slurm.txt \
        measured "workflow through the Slurm profile" env PATH="$PWD/standin/bin:$PATH" \
        STANDIN_SLURM_DIR="$PWD/standin/state" STANDIN_SLURM_CORES=2 \
        snakemake -s "$repo/workflow/Snakefile" --profile standin/profile \
        --config vcf=cohort.vcf.gz samples=samples.tsv outdir=out-slurm program="$program" \
        >run-slurm.log 2>&1 ||
        { echo "the Slurm run failed: see $data/$scale/run-slurm.log" >&2; exit 1; }
    $python "$here/workflow_bench_report.py" standin standin/state
    $python "$here/workflow_bench_report.py" rules out-slurm
    echo "  $($python "$here/workflow_bench_report.py" peaks disk-slurm.txt)"
    final=$(du -cb out-slurm/*.gz | tail -1 | cut -f1)
    echo "  final outputs: $(awk -v b="$final" 'BEGIN { printf "%.1f MB", b / 1e6 }')"
    cd "$data"
fi

# A planned cohort: the plan written as the plan would, newer than its inputs, so that a dry
# run and `check` take it as it is.
planned_run() {
    local samples=$1 chromosomes=$2 records=$3 folder=planned-$1x$2
    say "$samples samples, $chromosomes chromosomes of $records records: dry run and check"
    if [[ ! -f $folder/done ]]; then
        $python "$here/workflow_bench_data.py" --out "$folder" --planned "$samples" \
            "$chromosomes" "$records"
        touch "$folder/done"
    fi
    mkdir -p "$folder/out/work"
    cp "$folder/plan.json" "$folder/out/work/plan.json"
    local settings=(vcf=cohort.vcf.gz samples=samples.tsv outdir=out program="$program")
    (cd "$folder" && rm -rf .snakemake &&
        measured "dry run" snakemake -s "$repo/workflow/Snakefile" --cores 2 -n --quiet \
            --config "${settings[@]}" >dry.log 2>&1 &&
        grep -E '^(scan|split_vcf|split_batches|merge|gather_phase_sets|total) ' dry.log |
        tr -s ' ' | sed 's/^/  jobs: /' &&
        measured "check" snakemake -s "$repo/workflow/Snakefile" --cores 2 check \
            --config "${settings[@]}" >check.log 2>&1 &&
        grep -E '^(Jobs of|  total)' check.log | sed 's/^/  /')
}

if [[ "$parts" == *" planned "* ]]; then
    planned_run "${PLANNED_SAMPLES:-200000}" 22 6000000
    planned_run 20000 2 200000
    folder=planned-${PLANNED_SAMPLES:-200000}x22
    say "The report of $(($(wc -l <"$folder/stats.tsv") - 1)) rows of stats.tsv"
    (cd "$folder" && mkdir -p report && printf 'sites\tpirs\n2\t100\n' >report/sites.tsv &&
        measured plots $python "$repo/workflow/scripts/plots.py" --log report/plots.log \
            --stats stats.tsv --histograms report/sites.tsv --distributions report/d.png \
            --chromosomes report/c.png --sites report/s.png &&
        measured report $python "$repo/workflow/scripts/report.py" --log report/report.log \
            --stats stats.tsv --plan plan.json --plots report/d.png report/c.png report/s.png \
            --scan-logs report/none --benchmarks report/none --settings '{}' \
            --program "$program" --out report/report.html &&
        echo "  page: $(du -k report/report.html | cut -f1) kB; beside it" \
            "$(du -m report/sample_figures.tsv | cut -f1) MB of sample_figures.tsv")
fi

if [[ "$parts" == *" rate "* ]]; then
    jobs=${RATE_JOBS:-3000}
    say "Finished jobs registered a second through the Slurm profile, $jobs jobs queued"
    rm -rf rate && mkdir -p rate
    # The one-node Slurm of the workflow's tests: real sbatch and scontrol, which a stand-in
    # written in Python is too slow to stand for here.
    cluster=$data/rate/cluster
    bash "$repo/tests/workflow/slurm_cluster.sh" start "$cluster"
    trap 'bash "$repo/tests/workflow/slurm_cluster.sh" stop "$cluster"' EXIT
    # The profile's executor settings; its groups name the workflow's rules, absent here.
    $python - "$repo/workflow/profiles/slurm/config.yaml" rate/config.yaml <<'PYTHON'
import sys
import yaml
settings = yaml.safe_load(open(sys.argv[1]))
for key in ("groups", "group-components"):
    settings.pop(key, None)
settings["latency-wait"] = 5
yaml.safe_dump(settings, open(sys.argv[2], "w"))
PYTHON
    cat >rate/Snakefile <<SNAKEFILE
rule all:
    input: expand("done/{i}", i=range($jobs))

rule job:
    output: "done/{i}"
    resources: mem_mb=10, runtime=5
    shell: "touch {output}"
SNAKEFILE
    (cd rate && measured "Snakemake through the profile, ${RATE_SECONDS:-300} s" \
        timeout -s INT "${RATE_SECONDS:-300}" env USER="$(id -un)" \
        SLURM_CONF="$cluster/slurm.conf" snakemake --profile . >run.log 2>&1 || true)
    SLURM_CONF="$cluster/slurm.conf" scontrol show job --oneliner >rate/jobs.txt
    $python "$here/workflow_bench_report.py" rate rate/run.log rate/jobs.txt "$jobs"
fi
