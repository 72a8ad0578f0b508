#!/usr/bin/env bash
# Times the BAM list reader: N list lines against a VCF of N samples, for growing N, so that its
# growth shows (linear: each line finds its sample through a hash of the names). The output
# path lies in a folder that does not exist, so the run stops right after reading the list:
# what is timed is the VCF header line and the list.
#
# Usage: bench/list_bench.sh [DATA_DIR [BUILD_DIR]]
#   DATA_DIR   where the generated files go (default build/bench-list)
#   BUILD_DIR  a folder holding a built bridgeScan; when not given, the project is built in
#              Release in build/release.
#   RUNS=N     timed runs per size (default 5), after one warm-up run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
data=$(realpath -m "${1:-$repo/build/bench-list}")
runs=${RUNS:-5}
threads=2
bash "$repo/scripts/install-deps.sh" bench

source "$here/build_release.sh"
build_release "${2:-}" bridgeScan
program=$build/bridgeScan

mkdir -p "$data"
cd "$data"
printf '\n== BAM list of N lines against a VCF of N samples (%s runs each)\n' "$runs"
printf '%10s  %12s  %14s\n' lines "median (s)" "per line (us)"
for n in 25000 50000 100000 200000; do
    # The list names the samples in the reverse of the VCF's order, the worst case for a
    # search from the front.
    python3 - "$n" <<'PY'
import sys
n = int(sys.argv[1])
names = ["SAMPLE_%07d" % i for i in range(n)]
with open("n%d.vcf" % n, "w") as vcf:
    vcf.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t" + "\t".join(names) + "\n")
    vcf.write("20\t100\t.\tA\tG\t.\t.\t.\tGT\t" + "\t".join(["0|1"] * n) + "\n")
with open("n%d.list" % n, "w") as out:
    out.writelines("%s\t/data/%s.bam\t20\n" % (s, s) for s in reversed(names))
PY
    hyperfine --warmup 1 --runs "$runs" --shell none --ignore-failure --export-json "n$n.json" \
        "$program --vcf n$n.vcf --bam n$n.list --out $data/no/such/folder/out" >/dev/null 2>&1
    python3 - "$n" <<'PY'
import json, statistics, sys
n = int(sys.argv[1])
times = json.load(open("n%d.json" % n))["results"][0]["times"]
median = statistics.median(times)
print("%10d  %12.3f  %14.2f" % (n, median, median / n * 1e6))
PY
done
