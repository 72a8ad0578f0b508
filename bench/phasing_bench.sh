#!/usr/bin/env bash
# Measures the read-backed phase sets (--phase-sets) on a simulated cohort: scrm draws a
# population with recombination, a few of its samples are sequenced at 30x and at 5x (dwgsim,
# 2x150 bp) and aligned with bwa mem. Prints, against the true haplotypes, the switch error rate
# inside blocks, the share of heterozygous SNPs phased, the share of those that PIRs link
# phased and the block N50, for several --phase-min-lod values; then the run time and peak
# memory of the scan with and without --phase-sets.
#
# Usage: bench/phasing_bench.sh [DATA_DIR [BUILD_DIR]]
#   DATA_DIR   where the data and results go (default build/phasing-bench); steps whose
#              outputs are there already are skipped.
#   BUILD_DIR  a folder holding bridgeScan; when not given, it is built in Release.
#   RUNS=N     rounds of the cost's timing (default 5), each timing both runs 3 times.
#   LODS="..." the --phase-min-lod values scored (default "0.5 1 2 3 4").
# Uses at most two threads.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bash "$repo/scripts/install-deps.sh" bench

data=$(realpath -m "${1:-$repo/build/phasing-bench}")
runs=${RUNS:-5}
lods=${LODS:-0.5 1 2 3 4}
threads=2
seed=20261208
length=1000000
chrom=chr1
cohort=20           # samples in the population's VCF
high=(S0 S1 S2)     # sequenced at 30x
low=(S3 S4 S5)      # sequenced at 5x
# Per base: heterozygosity (4 Ne mu) and recombination (4 Ne r), about a human's.
theta=$((length / 1000))
rho=$((length * 4 / 10000))

say() { printf '\n== %s\n' "$*"; }

source "$here/build_release.sh"
build_release "${2:-}" bridgeScan
program=$build/bridgeScan
helper=$here/phasing_bench_data.py

mkdir -p "$data"
cd "$data"

if [[ ! -f data.done ]]; then
    say "Simulating $cohort samples over $length bp (scrm -t $theta -r $rho, seed $seed)"
    scrm $((2 * cohort)) 1 -t "$theta" -r "$rho" "$length" -seed "$seed" >scrm.txt
    python3 "$helper" make --scrm scrm.txt --out . --length "$length" --chrom "$chrom" \
        --sequenced $((${#high[@]} + ${#low[@]})) --seed "$seed"
    bwa index ref.fa 2>bwa_index.log
    touch data.done
fi

# SAMPLE COVERAGE_PER_HAPLOTYPE SEED
sequence() {
    local s=$1 coverage=$2 k=$3
    [[ -f $s.bam.bai ]] && return
    say "Simulating and aligning $s ($(python3 -c "print(2 * $coverage)")x 2x150 bp)"
    dwgsim -z "$k" -H -r 0 -R 0 -y 0 -e 0.001 -E 0.002 -C "$coverage" -1 150 -2 150 \
        -d 500 -s 50 -o 1 -P "$s" "$s.haps.fa" "$s" >"$s.dwgsim.log" 2>&1
    bwa mem -t "$threads" -R "@RG\tID:$s\tSM:$s" ref.fa \
        "$s.bwa.read1.fastq.gz" "$s.bwa.read2.fastq.gz" 2>"$s.bwa.log" |
        samtools sort -@ 1 -o "$s.bam" - 2>"$s.sort.log"
    samtools index "$s.bam"
    rm -f "$s".bwa.read*.fastq.gz "$s".mutations.*
}
k=0
for s in "${high[@]}"; do sequence "$s" 15 $((seed + k++)); done
for s in "${low[@]}"; do sequence "$s" 2.5 $((seed + k++)); done

for s in "${high[@]}" "${low[@]}"; do printf '%s\t%s\t%s\n' "$s" "$data/$s.bam" "$chrom"; done \
    >bam.list

mkdir -p results
say "Accuracy against the true haplotypes (30x: ${high[*]}; 5x: ${low[*]})"
for lod in $lods; do
    "$program" --vcf cohort.vcf.gz --bam bam.list --out results/pirs.txt \
        --phase-sets "results/lod$lod.vcf.gz" --phase-min-lod "$lod" >/dev/null
    python3 "$helper" score --truth truth.vcf.gz --phased "results/lod$lod.vcf.gz" \
        --pirs results/pirs.txt --group "30x lod $lod" "${high[*]}" \
        --group " 5x lod $lod" "${low[*]}"
done

say "Cost: the same run without and with --phase-sets (default --phase-min-lod), $runs rounds"
# The machine's speed drifts: each round times both, and the ratio is taken within the round.
run="$program --vcf cohort.vcf.gz --bam bam.list --out results/plain.txt"
plain="$run >/dev/null"
phased="$run --phase-sets results/timed.vcf.gz >/dev/null"
rm -f results/round*.json
for ((round = 1; round <= runs; round++)); do
    hyperfine --warmup 1 --runs 3 --style basic --export-json "results/round$round.json" \
        -n without "$plain" -n with "$phased" >results/cost.log 2>&1
done
/usr/bin/time -v -o results/without.rss bash -c "$plain" >/dev/null 2>&1
/usr/bin/time -v -o results/with.rss bash -c "$phased" >/dev/null 2>&1
python3 "$helper" cost results
