#!/usr/bin/env bash
# Installs from Debian's packages what building (and, on request, testing or benchmarking)
# needs. Does nothing slow when everything is already there.
# Usage: scripts/install-deps.sh [build|test|workflow|slurm|bench]...   (default: build)
set -euo pipefail

build=(g++ make cmake pkg-config libhts-dev libboost-dev libboost-iostreams-dev zlib1g-dev libbz2-dev)
# The cohort workflow: Snakemake, the htslib tools its rules call, matplotlib for its plots; all
# from Debian, none from PyPI. Its tests run it on the example.
workflow=(snakemake python3-matplotlib samtools bcftools tabix)
# A one-node Slurm cluster, on which the workflow's tests run it through its SLURM profile.
slurm=(slurm-wlm munge)
# Chromium renders the workflow's report as a browser shows it; man renders the man page.
test=(googletest libgtest-dev clang libclang-rt-14-dev htslib-test python3-pytest chromium man-db
      "${workflow[@]}" "${slurm[@]}")
bench=(samtools bcftools bwa dwgsim hyperfine time scrm minimap2 valgrind)

wanted=("${build[@]}")
for set in "$@"; do
    case "$set" in
        build) ;;
        test) wanted+=("${test[@]}") ;;
        workflow) wanted+=("${workflow[@]}") ;;
        slurm) wanted+=("${slurm[@]}") ;;
        bench) wanted+=("${bench[@]}") ;;
        *) echo "unknown package set: $set" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
