#!/usr/bin/env bash
# The peak memory that --phase-sets adds to a run, over a region long enough for the reads to
# weigh more than the scan's fixed buffers (phasing_bench.sh's 1 Mb hides them): one sample of
# the same simulated population over LENGTH bp, sequenced at 30x as 2x150 bp short reads,
# HiFi-like and ONT-like reads, each run with and without --phase-sets, then a run of six
# samples (the HiFi-like reads under six names). Prints the peak resident memory of each
# (/usr/bin/time) and their ratio.
#
# Usage: bench/phasing_memory.sh [DATA_DIR [BUILD_DIR]]
#   DATA_DIR   where the data go (default build/phasing-memory); what is there is kept.
#   BUILD_DIR  a folder holding bridgeScan; when not given, it is built in Release.
#   LENGTH=N   the region (default 10000000).
# Uses at most two threads; about six minutes at the default length.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bash "$repo/scripts/install-deps.sh" bench

data=$(realpath -m "${1:-$repo/build/phasing-memory}")
length=${LENGTH:-10000000}
threads=2
seed=20261208
helper=$here/phasing_bench_data.py

source "$here/build_release.sh"
build_release "${2:-}" bridgeScan

mkdir -p "$data"
cd "$data"
if [[ ! -f data.done ]]; then
    printf '\n== Simulating 20 samples over %s bp, sequencing S0\n' "$length"
    scrm 40 1 -t $((length / 1000)) -r $((length * 4 / 10000)) "$length" -seed "$seed" >scrm.txt
    python3 "$helper" make --scrm scrm.txt --out . --length "$length" --chrom chr1 \
        --sequenced 1 --seed "$seed"
    for profile in hifi ont; do
        python3 "$here/long_reads.py" --haplotypes S0.haps.fa --profile "$profile" --name S0 \
            --seed "$seed" --out "S0.$profile.fq" --coverage 30 2>"S0.$profile.sim.log"
        minimap2 -ax "map-$profile" -Y -t "$threads" -R "@RG\tID:S0\tSM:S0" ref.fa \
            "S0.$profile.fq" 2>"S0.$profile.minimap2.log" |
            samtools sort -@ 1 -o "S0.$profile.bam" - 2>/dev/null
        samtools index "S0.$profile.bam"
        rm -f "S0.$profile.fq"
    done
    bwa index ref.fa 2>bwa_index.log
    dwgsim -z "$seed" -H -r 0 -R 0 -y 0 -e 0.001 -E 0.002 -C 15 -1 150 -2 150 -d 500 -s 50 \
        -o 1 -P S0 S0.haps.fa S0.short >S0.short.dwgsim.log 2>&1
    bwa mem -t "$threads" -R "@RG\tID:S0\tSM:S0" ref.fa S0.short.bwa.read1.fastq.gz \
        S0.short.bwa.read2.fastq.gz 2>S0.short.bwa.log |
        samtools sort -@ 1 -o S0.short.bam - 2>/dev/null
    samtools index S0.short.bam
    rm -f S0.short.bwa.read*.fastq.gz S0.short.mutations.*
    touch data.done
fi

printf '\n== Peak memory of %s over %s bp, one 30x sample\n' "$build/bridgeScan" "$length"
echo "| reads | without --phase-sets (KiB) | with (KiB) | ratio |"
echo "| --- | --- | --- | --- |"
# A row: the peak memory of a run over VCF of the samples LIST names, without and with
# --phase-sets, and their ratio.
measure() {
    local label=$1 vcf=$2 list=$3 run without with
    run=("$build/bridgeScan" --vcf "$vcf" --bam "$list" --out pirs.txt)
    /usr/bin/time -f %M -o without.rss "${run[@]}" >/dev/null
    /usr/bin/time -f %M -o with.rss "${run[@]}" --phase-sets phased.vcf.gz >/dev/null
    without=$(cat without.rss) with=$(cat with.rss)
    echo "| $label | $without | $with | $(python3 -c "print(f'{$with / $without:.3f}')") |"
    rm -f pirs.txt phased.vcf.gz* without.rss with.rss
}

for kind in short hifi ont; do
    printf 'S0\t%s\tchr1\n' "$data/S0.$kind.bam" >"$kind.list"
    measure "$kind" cohort.vcf.gz "$kind.list"
done
# Each sample's memory goes back before the next one's: six samples, each the HiFi-like reads
# of S0 under a name of its own.
python3 "$helper" job --vcf cohort.vcf.gz --sample S0 --bam "$data/S0.hifi.bam" --count 6 --out .
measure "hifi, six samples" job.vcf.gz bam.list
