#!/usr/bin/env bash
# Times bridgeScan's one-pass scan, alone and with 2 and 3 threads in all (--threads), against
# the per-site scan, against decoding the same BAM files (samtools view -c, the floor; this
# samtools starts no extra thread for -@ 1, so it is timed on one) and against a pile-up at the
# same sites (samtools mpileup), on simulated 30x paired reads of a 5 Mb sequence for one and
# for three samples; prints medians, ratios and peak memory, and checks that all the scans
# write the same reads, every thread count the same bytes.
#
# Usage: bench/scan_bench.sh [DATA_DIR [BUILD_DIR]]
#   DATA_DIR   where the simulated data and the results go (default build/bench-data); steps
#              whose outputs are there already are skipped, so later runs only time.
#   BUILD_DIR  a folder holding bridgeScan and bridgeScan_per_site; when not given, the project
#              is built in Release in build/release.
#   RUNS=N     timed runs per command (default 5), after one warm-up run.
# Uses at most two threads. Figures are wall-clock medians: a busy machine makes them noisy.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bash "$repo/scripts/install-deps.sh" bench

data=$(realpath -m "${1:-$repo/build/bench-data}")
runs=${RUNS:-5}
threads=2
seed=20240611
length=5000000
chrom=chr1
samples=(S1 S2 S3)
min_base_quality=13  # the tool's defaults, given to the pile-up too
min_read_quality=10

say() { printf '\n== %s\n' "$*"; }

# --- Programs ---------------------------------------------------------------------------------
source "$here/build_release.sh"
build_release "${2:-}" bridgeScan bridgeScan_per_site bridgeScan_held_reads
new=$build/bridgeScan
per_site=$build/bridgeScan_per_site
for program in "$new" "$per_site"; do
    [[ -x "$program" ]] || { echo "missing program: $program" >&2; exit 1; }
done

# --- Data -------------------------------------------------------------------------------------
mkdir -p "$data"
cd "$data"

if [[ ! -f genomes.done ]]; then
    say "Simulating the reference, the haplotypes and the VCFs (seed $seed)"
    python3 "$here/scan_bench_data.py" --out . --length "$length" --chrom "$chrom" --seed "$seed"
    touch genomes.done
fi

if [[ ! -f ref.fa.bwt ]]; then
    say "Indexing the reference"
    bwa index ref.fa 2>bwa_index.log
fi

for k in "${!samples[@]}"; do
    s=${samples[$k]}
    [[ -f $s.bam && -f $s.bam.bai ]] && continue
    say "Simulating and aligning $s (30x 2x150 bp)"
    if [[ ! -f $s.reads.done ]]; then
        # 15x from each haplotype; no further mutations, no random reads, low error.
        dwgsim -z $((seed + k)) -H -r 0 -R 0 -y 0 -e 0.001 -E 0.002 -C 15 -1 150 -2 150 \
            -d 500 -s 50 -o 1 -P "$s" "$s.haps.fa" "$s" >"$s.dwgsim.log" 2>&1
        touch "$s.reads.done"
    fi
    bwa mem -t "$threads" -R "@RG\tID:$s\tSM:$s\tPL:ILLUMINA" ref.fa \
        "$s.bwa.read1.fastq.gz" "$s.bwa.read2.fastq.gz" 2>"$s.bwa.log" |
        samtools sort -@ 1 -m 1G -o "$s.tmp.bam" - 2>"$s.sort.log"
    mv "$s.tmp.bam" "$s.bam"
    samtools index "$s.bam"
    rm -f "$s.bwa.read1.fastq.gz" "$s.bwa.read2.fastq.gz" "$s.reads.done"
done

printf '%s\t%s\t%s\n' S1 "$data/S1.bam" "$chrom" >one.bamlist
for s in "${samples[@]}"; do printf '%s\t%s\t%s\n' "$s" "$data/$s.bam" "$chrom"; done >three.bamlist

# --- Timing -----------------------------------------------------------------------------------
# Runs one command under hyperfine and once under /usr/bin/time -v; key names the result files.
measure() {
    local folder=$1 key=$2 command=$3
    hyperfine --warmup 1 --runs "$runs" --shell bash --style basic \
        --export-json "$folder/$key.json" -n "$key" "$command" >"$folder/$key.hyperfine.log" 2>&1 ||
        { echo "hyperfine failed for $key, see $folder/$key.hyperfine.log" >&2; return 0; }
    /usr/bin/time -v -o "$folder/$key.rss" bash -c "$command" >/dev/null 2>&1 || true
    grep -E '^ +(median|Time)' "$folder/$key.hyperfine.log" | sed "s/^/  $key: /" || true
}

# PROGRAM VCF LIST OUT [OPTION...]
scan_command() {
    local program=$1 vcf=$2 list=$3 out=$4
    shift 4
    printf '%q --vcf %q --bam %q --out %q' "$program" "$vcf" "$list" "$out"
    if (($#)); then printf ' %q' "$@"; fi
    printf ' >/dev/null'
}

# Runs a scan once for its output; returns its exit status and keeps its messages.
# FOLDER KEY PROGRAM VCF LIST [OPTION...]
check_run() {
    local folder=$1 key=$2 program=$3 vcf=$4 list=$5 status=0
    shift 5
    "$program" --vcf "$vcf" --bam "$list" --out "$folder/$key.out" "$@" \
        >"$folder/$key.stdout" 2>"$folder/$key.stderr" || status=$?
    echo "$status" >"$folder/$key.status"
    if [[ $status -ne 0 ]]; then
        echo "  $key FAILED with exit status $status; reproduce with:" >&2
        echo "    $program --vcf $vcf --bam $list --out /tmp/$key.out" >&2
        tail -n 5 "$folder/$key.stderr" | sed 's/^/    | /' >&2
    fi
    return "$status"
}

run_set() {
    local name=$1 vcf=$data/$2 list=$data/$3
    shift 3
    local folder=$data/results/$name floor="" pileup="" s
    rm -rf "$folder"
    mkdir -p "$folder"
    for s in "$@"; do
        floor+="${floor:+ && }samtools view -c $(printf %q "$data/$s.bam") >/dev/null"
        # Read names too: they are what ties the two ends of a pair across sites.
        pileup+="${pileup:+ && }samtools mpileup -l $(printf %q "$data/$s.het.bed")"
        pileup+=" -Q $min_base_quality -q $min_read_quality --output-QNAME -o /dev/null"
        pileup+=" $(printf %q "$data/$s.bam") 2>/dev/null"
    done
    say "Data set '$name': $# sample(s), $(zcat "$vcf" | grep -vc '^#') VCF lines, $runs runs each"
    if check_run "$folder" new "$new" "$vcf" "$list"; then
        measure "$folder" new "$(scan_command "$new" "$vcf" "$list" "$folder/new.timed.out")"
    fi
    for threads in 2 3; do
        if check_run "$folder" "new_t$threads" "$new" "$vcf" "$list" --threads "$threads"; then
            measure "$folder" "new_t$threads" "$(scan_command "$new" "$vcf" "$list" \
                "$folder/new_t$threads.timed.out" --threads "$threads")"
        fi
    done
    if check_run "$folder" per_site "$per_site" "$vcf" "$list"; then
        measure "$folder" per_site \
            "$(scan_command "$per_site" "$vcf" "$list" "$folder/per_site.timed.out")"
    fi
    measure "$folder" floor "$floor"
    measure "$folder" mpileup "$pileup"
    rm -f "$folder"/*.timed.out
}

run_set one one.vcf.gz one.bamlist S1
run_set three three.vcf.gz three.bamlist "${samples[@]}"

say "Results ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))"
python3 "$here/scan_bench_report.py" "$data/results" one three

say "Read table (memory held per read; the rest of the peak is the program and htslib)"
"$build/bridgeScan_held_reads" "$data/three.vcf.gz" "$data/three.bamlist"
