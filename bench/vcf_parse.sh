#!/usr/bin/env bash
# Times how fast bridgeScan reads a many-sample VCF, beside decompressing it alone (zcat, the
# floor) and beside bcftools reading every genotype; prints medians, rates and peak memory.
#
# Usage: bench/vcf_parse.sh [SITES [SAMPLES [DATA_DIR [BUILD_DIR]]]]
#   SITES, SAMPLES  size of the generated VCF (default 200000 sites x 3000 samples, about
#                   2.4 GB of text); the same size and seed always give the same file.
#   DATA_DIR        where the VCF and the results go (default build/bench-vcf); a VCF of the
#                   asked size already there is reused.
#   BUILD_DIR       a folder holding a built bridgeScan; when not given, the project is built
#                   in Release in build/release.
#   RUNS=N          timed runs per command (default 3), after one warm-up run.
# bridgeScan is run with an empty BAM list, so it reads the VCF, writes the map section to
# /dev/null and stops: what is timed is the VCF reader. Uses at most two threads.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
sites=${1:-200000}
samples=${2:-3000}
data=$(realpath -m "${3:-$repo/build/bench-vcf}")
runs=${RUNS:-3}
seed=20240611
threads=2

say() { printf '\n== %s\n' "$*"; }

for tool in hyperfine bcftools bgzip zcat python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done

source "$here/build_release.sh"
build_release "${4:-}" bridgeScan
program=$build/bridgeScan
[[ -x "$program" ]] || { echo "missing program: $program" >&2; exit 1; }

mkdir -p "$data"
cd "$data"
vcf=cohort_${sites}x${samples}.vcf.gz

# Genotypes are drawn from cohort-like frequencies (mostly 0|0, some hets, a few missing), in
# blocks of 50 samples picked at random from a fixed pool, so that generating gigabytes stays
# fast while every line differs. Positions strictly increase: no duplicate sites.
if [[ ! -f "$vcf" || ! -f "$vcf.bytes" ]]; then
    say "Generating $sites sites x $samples samples (seed $seed), bgzip-compressed"
    # Written under temporary names, so an interrupted run leaves nothing that looks complete.
    python3 - "$sites" "$samples" "$seed" 3>"$vcf.bytes.part" <<'EOF' | bgzip -@ 2 -c >"$vcf.part"
import os, random, sys

sites, samples, seed = (int(a) for a in sys.argv[1:4])
rng = random.Random(seed)
genotypes = ["0|0"] * 70 + ["0|1"] * 10 + ["1|0"] * 10 + ["1|1"] * 8 + ["./."] * 2
block = 50
pool = ["\t".join(rng.choice(genotypes) for _ in range(block)) for _ in range(4096)]
full, rest = divmod(samples, block)
out = sys.stdout
written = 0

def emit(text):
    global written
    out.write(text)
    written += len(text)

emit("##fileformat=VCFv4.2\n##contig=<ID=20>\n")
emit('##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n')
emit("\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT"]
               + ["S%d" % k for k in range(1, samples + 1)]) + "\n")
pos = 0
for _ in range(sites):
    pos += rng.randint(1, 50)
    ref, alt = rng.sample("ACGT", 2)
    if rng.random() < 0.05:
        ref += rng.choice("ACGT")  # an indel now and then, as in real call sets
    parts = rng.choices(pool, k=full)
    if rest:
        parts.append("\t".join(rng.choice(genotypes) for _ in range(rest)))
    emit("20\t%d\t.\t%s\t%s\t50\tPASS\t.\tGT\t%s\n" % (pos, ref, alt, "\t".join(parts)))
out.flush()
os.write(3, b"%d\n" % written)
EOF
    mv "$vcf.part" "$vcf"
    mv "$vcf.bytes.part" "$vcf.bytes"
fi
bytes=$(cat "$vcf.bytes")
: >empty.list
compressed=$(stat -c %s "$vcf")
awk -v f="$vcf" -v s="$sites" -v n="$samples" -v t="$bytes" -v c="$compressed" 'BEGIN {
    printf "VCF %s: %d sites x %d samples, %.1f MB of text, %.1f MB compressed\n",
        f, s, n, t / 1e6, c / 1e6 }'

say "Timing ($runs runs each, after one warm-up)"
hyperfine --warmup 1 --runs "$runs" --export-json vcf_parse.json --style basic \
    -n zcat "zcat $vcf > /dev/null" \
    -n bcftools "bcftools query -f '[%GT]\n' $vcf > /dev/null" \
    -n bridgeScan "$program --vcf $vcf --bam empty.list --out /dev/null > /dev/null"

say "Peak memory of bridgeScan"
/usr/bin/time -f '%M' -o peak.txt \
    "$program" --vcf "$vcf" --bam empty.list --out /dev/null >/dev/null
peak_kb=$(tail -1 peak.txt)

say "Summary"
python3 - vcf_parse.json "$bytes" "$sites" "$samples" "$peak_kb" <<'EOF'
import json, sys

results = json.load(open(sys.argv[1]))["results"]
text_bytes, sites, samples, peak_kb = (int(a) for a in sys.argv[2:6])
median = {r["command"]: r["median"] for r in results}
floor = median["zcat"]
print("%-11s %9s %12s %14s %9s" % ("command", "median s", "text MB/s", "genotypes/s", "x zcat"))
for name in ("zcat", "bcftools", "bridgeScan"):
    t = median[name]
    print("%-11s %9.2f %12.0f %14.3g %9.2f"
          % (name, t, text_bytes / t / 1e6, sites * samples / t, t / floor))
flags_mb = sites * samples / 8 / 1e6
print("bridgeScan peak memory %.0f MB (flags alone: %.0f MB, one bit per site and sample)"
      % (peak_kb / 1000, flags_mb))
EOF
