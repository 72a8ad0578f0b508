#!/usr/bin/env bash
# Measures the read-backed phase sets (--phase-sets) on a simulated cohort: scrm draws a
# population with recombination over 1 Mb (about one heterozygous SNP per kilobase in a sample,
# so a 15 kb read shows some fifteen of them) and the same samples are sequenced several ways:
#   short30, short5   2x150 bp reads (dwgsim, bwa mem), three samples each, errors 0.1% (first
#                     mate) and 0.2% (second mate) all along, base qualities about 23 to 35;
#   ramp30, ramp5     the same samples with errors rising along the read, from 0.1% to 1% (first
#                     mate) and from 0.2% to 2% (second): qualities from about 30 at the start to
#                     about 20 at the end, where one read no longer links two sites at LOD 2;
#   hifi5/10/30       HiFi-like reads (15 kb, Q20-Q40, about 0.2% errors, mostly indels),
#   ont5/10/30        ONT-like reads (N50 about 25 kb, a tail past 100 kb, Q8-Q20, about 5.5%
#                     errors), six samples each, simulated by bench/long_reads.py at 30x and
#                     aligned with minimap2 -Y; 10x and 5x are drawn from those reads;
#   hifi30chim        hifi30 and 1% more reads, each a chimera of the two haplotypes from places
#                     100 kb or more apart (a primary and a supplementary alignment).
# Each set is one run of bridgeScan over its samples. Prints, against the true haplotypes, the
# switch error rate inside blocks, the block Hamming error (phased sites on the other side than
# their block's majority), the share of heterozygous SNPs phased and of those that PIRs link
# (a connected component of two or more sites), the blocks and their N50, at the default and at
# each --phase-min-lod of LODS; and the run time and peak memory of the scan with and without
# --phase-sets; with ont30, the peak memory of a cohort job of 50 samples (its reads as each),
# which holds every sample's phased calls until it writes them. Figures are also written under
# RESULTS (score.tsv, hyperfine's JSON, time -v).
#
# Usage: bench/phasing_bench.sh [DATA_DIR [BUILD_DIR]]
#   DATA_DIR   where the data and results go (default build/phasing-bench); steps whose
#              outputs are there already are skipped.
#   BUILD_DIR  a folder holding bridgeScan; when not given, it is built in Release.
#   RESULTS=D  the results folder (default DATA_DIR/results): one per build compared.
#   SETS="..." the sets measured (default all, in the order above).
#   RUNS=N     rounds of the cost's timing per set (default 3), each timing both runs 3 times.
#   LODS="..." the --phase-min-lod values scored besides the default (default "0.5 1 1.5 2 3").
#   OPTIONS="..." further options given to every run of bridgeScan (e.g. "--base-quality 7").
#   COUNT=1    also count the instructions of both runs (valgrind's callgrind): the cost's
#              steadier measure on a shared machine, at about ten minutes more.
# Uses at most two threads.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bash "$repo/scripts/install-deps.sh" bench

data=$(realpath -m "${1:-$repo/build/phasing-bench}")
results=$(realpath -m "${RESULTS:-$data/results}")
sets=${SETS:-short30 short5 ramp30 ramp5 hifi5 hifi10 hifi30 ont5 ont10 ont30 hifi30chim}
runs=${RUNS:-3}
lods=${LODS:-0.5 1 1.5 2 3}
read -ra options <<<"${OPTIONS:-}"
threads=2
seed=20261208
length=1000000
chrom=chr1
cohort=20           # samples in the population's VCF
high=(S0 S1 S2)     # short reads at 30x
low=(S3 S4 S5)      # short reads at 5x
long=(S0 S1 S2 S3 S4 S5)
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
        --sequenced ${#long[@]} --seed "$seed"
    bwa index ref.fa 2>bwa_index.log
    touch data.done
fi

# Simulates and aligns 2x150 bp reads into NAME.bam, with the error rates of dwgsim's -e and -E.
# SAMPLE NAME COVERAGE_PER_HAPLOTYPE SEED FIRST_MATE_ERRORS SECOND_MATE_ERRORS
short_reads() {
    local s=$1 name=$2 coverage=$3 k=$4 first=$5 second=$6
    [[ -f $name.bam.bai ]] && return
    say "Simulating and aligning $name ($(python3 -c "print(2 * $coverage)")x 2x150 bp," \
        "errors $first and $second)"
    dwgsim -z "$k" -H -r 0 -R 0 -y 0 -e "$first" -E "$second" -C "$coverage" -1 150 -2 150 \
        -d 500 -s 50 -o 1 -P "$s" "$s.haps.fa" "$name" >"$name.dwgsim.log" 2>&1
    bwa mem -t "$threads" -R "@RG\tID:$s\tSM:$s" ref.fa \
        "$name.bwa.read1.fastq.gz" "$name.bwa.read2.fastq.gz" 2>"$name.bwa.log" |
        samtools sort -@ 1 -o "$name.bam" - 2>"$name.sort.log"
    samtools index "$name.bam"
    rm -f "$name".bwa.read*.fastq.gz "$name".mutations.*
}

# Simulates long reads into NAME.fq and aligns them into NAME.bam.
# SAMPLE NAME PROFILE SEED [long_reads.py OPTION...]
long_reads() {
    local s=$1 name=$2 profile=$3 k=$4
    shift 4
    python3 "$here/long_reads.py" --haplotypes "$s.haps.fa" --profile "$profile" --name "$s" \
        --seed "$k" --out "$name.fq" "$@" 2>"$name.sim.log"
    minimap2 -ax "map-$profile" -Y -t "$threads" -R "@RG\tID:$s\tSM:$s" ref.fa "$name.fq" \
        2>"$name.minimap2.log" | samtools sort -@ 1 -o "$name.bam" - 2>"$name.sort.log"
    samtools index "$name.bam"
    rm -f "$name.fq"
}

# 30x of a profile, and 10x and 5x drawn from it (whole reads: supplementary alignments too).
# SAMPLE PROFILE SEED
long_sets() {
    local s=$1 profile=$2 k=$3 depth
    [[ -f $s.$profile.done ]] && return
    say "Simulating and aligning $s ($profile-like reads, 30x; 10x and 5x drawn from them)"
    long_reads "$s" "$s.${profile}30" "$profile" "$k" --coverage 30
    cat "$s.${profile}30.sim.log"
    for depth in 10 5; do
        samtools view -b --subsample "$(python3 -c "print($depth / 30)")" --subsample-seed "$k" \
            -o "$s.$profile$depth.bam" "$s.${profile}30.bam"
        samtools index "$s.$profile$depth.bam"
    done
    touch "$s.$profile.done"
}

# hifi30 with 1% more reads, all chimeric; their names differ from hifi30's (reads are tied by
# name, so a name used twice would join two reads).
# SAMPLE SEED
chimeric_set() {
    local s=$1 k=$2
    [[ -f $s.hifi30chim.bam.bai ]] && return
    say "Simulating and aligning $s (chimeric HiFi-like reads, 0.3x)"
    long_reads "$s" "$s.chimeras" hifi "$k" --coverage 0.3 --chimeric 1
    cat "$s.chimeras.sim.log"
    samtools merge -c -p -f -o "$s.hifi30chim.bam" "$s.hifi30.bam" "$s.chimeras.bam"
    samtools index "$s.hifi30chim.bam"
}

k=0
for s in "${high[@]}"; do short_reads "$s" "$s" 15 $((seed + k++)) 0.001 0.002; done
for s in "${low[@]}"; do short_reads "$s" "$s" 2.5 $((seed + k++)) 0.001 0.002; done
for s in "${long[@]}"; do
    long_sets "$s" hifi $((seed + k++))
    long_sets "$s" ont $((seed + k++))
    chimeric_set "$s" $((seed + k++))
done
ramp=(0.001-0.01 0.002-0.02)
for s in "${high[@]}"; do short_reads "$s" "$s.ramp30" 15 $((seed + k++)) "${ramp[@]}"; done
for s in "${low[@]}"; do short_reads "$s" "$s.ramp5" 2.5 $((seed + k++)) "${ramp[@]}"; done

# SET: its samples, then its alignment file per sample.
set_samples() {
    case $1 in
        short30 | ramp30) echo "${high[*]}" ;;
        short5 | ramp5) echo "${low[*]}" ;;
        *) echo "${long[*]}" ;;
    esac
}
set_file() {
    case $1 in
        short*) echo "$data/$2.bam" ;;
        *) echo "$data/$2.$1.bam" ;;
    esac
}

# The set's runs at the default and at each LOD, scored; PIRs from the default run.
# SET FOLDER
accuracy() {
    local set=$1 folder=$2 lod
    local scan=("$program" --vcf cohort.vcf.gz --bam "$folder/bam.list" "${options[@]}")
    local scored=(--run default "$folder/default.vcf.gz")
    "${scan[@]}" --out "$folder/pirs.txt" --phase-sets "$folder/default.vcf.gz" >/dev/null
    for lod in $lods; do
        "${scan[@]}" --out "$folder/lod.txt" --phase-sets "$folder/lod$lod.vcf.gz" \
            --phase-min-lod "$lod" >/dev/null
        scored+=(--run "$lod" "$folder/lod$lod.vcf.gz")
    done
    python3 "$helper" score --set "$set" --samples "$(set_samples "$set")" \
        --truth truth.vcf.gz --pirs "$folder/pirs.txt" "${scored[@]}" --out "$folder/score.tsv"
    rm -f "$folder/lod.txt" "$folder"/*.vcf.gz "$folder"/*.tbi "$folder"/*.csi
}

# The instructions of a run, as callgrind counts them, into FILE. FILE RUN...
count_instructions() {
    local file=$1
    shift
    valgrind --tool=callgrind --callgrind-out-file="$file.callgrind" "$@" >/dev/null 2>&1
    sed -n 's/^totals: //p' "$file.callgrind" >"$file"
    rm -f "$file.callgrind"
}

# The same run without and with --phase-sets (default --phase-min-lod). The machine's speed
# drifts: each round times both, and the ratio is taken within the round.
# FOLDER
cost() {
    local folder=$1 round run plain phased
    local args=("$program" --vcf cohort.vcf.gz --bam "$folder/bam.list" "${options[@]}"
        --out "$folder/plain.txt")
    run=$(printf '%q ' "${args[@]}")
    plain="$run>/dev/null"
    phased="$run--phase-sets $(printf %q "$folder/timed.vcf.gz") >/dev/null"
    rm -f "$folder"/round*.json
    for ((round = 1; round <= runs; round++)); do
        hyperfine --warmup 1 --runs 3 --style basic --export-json "$folder/round$round.json" \
            -n without "$plain" -n with "$phased" >"$folder/cost.log" 2>&1
    done
    /usr/bin/time -v -o "$folder/without.rss" bash -c "$plain" >/dev/null 2>&1
    /usr/bin/time -v -o "$folder/with.rss" bash -c "$phased" >/dev/null 2>&1
    rm -f "$folder"/{without,with}.ir
    if [[ -n ${COUNT:-} ]]; then
        count_instructions "$folder/without.ir" "${args[@]}"
        count_instructions "$folder/with.ir" "${args[@]}" --phase-sets "$folder/timed.vcf.gz"
    fi
    rm -f "$folder/plain.txt" "$folder"/timed.vcf.gz*
}

# A cohort job holds every sample's phased calls until it writes them: the peak memory of the
# workflow's default job, 50 samples, each here the ONT-like 30x reads of S0.
job_memory() {
    local folder=$results/job50 run
    mkdir -p "$folder"
    python3 "$helper" job --vcf cohort.vcf.gz --sample S0 --bam "$(set_file ont30 S0)" \
        --chrom "$chrom" --count 50 --out "$folder"
    run=("$program" --vcf "$folder/job.vcf.gz" --bam "$folder/bam.list" "${options[@]}"
        --out "$folder/pirs.txt")
    /usr/bin/time -f %M -o "$folder/without.rss" "${run[@]}" >/dev/null
    /usr/bin/time -f %M -o "$folder/with.rss" "${run[@]}" --phase-sets "$folder/job.phased.vcf.gz" \
        >/dev/null
    echo "job of 50 samples (ONT-like 30x): peak memory $(cat "$folder/without.rss") KiB without" \
        "--phase-sets, $(cat "$folder/with.rss") KiB with"
    rm -f "$folder/pirs.txt" "$folder"/job*.vcf.gz*
}

say "Measuring $program ${options[*]} into $results"
echo "| set | --phase-min-lod | switch errors in blocks | block Hamming error |" \
    "het SNPs phased | PIR-linked het SNPs phased | blocks | block N50 (bp) |"
for set in $sets; do
    folder=$results/$set
    mkdir -p "$folder"
    for s in $(set_samples "$set"); do
        printf '%s\t%s\t%s\n' "$s" "$(set_file "$set" "$s")" "$chrom"
    done >"$folder/bam.list"
    accuracy "$set" "$folder"
    cost "$folder"
done

say "Results of $program ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))"
# shellcheck disable=SC2086  # the sets are words
python3 "$helper" report "$results" $sets
case " $sets " in *" ont30 "*) job_memory ;; esac
