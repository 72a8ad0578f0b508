#!/usr/bin/env bash
# Runs bridgeScan on the bundled example (three samples, one 3 kb sequence) and shows the result.
# Usage: examples/run.sh [path/to/bridgeScan] [output file]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "${1:-$here/../build/bridgeScan}")
out=$(realpath -m "${2:-$here/../build/example.pirs}")
cd "$here"  # the BAM list names its files relative to this folder
"$program" --vcf calls.vcf --bam bam.list --out "$out"
echo
echo "== $out (first lines of each block)"
awk '/^MAP /||/^NA0/{print; n=0; next} n<3{print; n++}' "$out"
