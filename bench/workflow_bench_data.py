#!/usr/bin/python3
"""Writes the cohort of the workflow benchmark: a random reference of two chromosomes, the
cohort's bgzipped VCF, and per sample a BAM file of 2x150 bp pairs at 30x drawn from its two
haplotypes (written as aligned records straight away: on a random reference the aligner would
place every read where it came from, and simulating alignment costs far more than the scan
being measured), with the samples table. With --wide, it writes instead a VCF of one chromosome
for 2,504 samples, to time reading a cohort VCF; with --synthetic, a cohort of any size whose
alignment files are links to one tiny file; with --planned, what a dry run and the report of a
cohort too large to scan here read. Deterministic; needs samtools and bgzip."""

import argparse
import json
import os
import random
import subprocess
from itertools import chain
from pathlib import Path

from scan_bench_data import write_fasta

READ_LENGTH = 150
QUALITY_STRINGS = 64  # reads draw their qualities from this many random strings
GENOTYPES = ("0|0", "0|1", "1|0", "1|1")
GENOTYPE_WEIGHTS = (40, 25, 25, 10)  # heterozygous at half the sites, about one per kilobase


def simulate_sites(rng: random.Random, sequence: bytearray, spacing: int) -> list[tuple]:
    positions = sorted(rng.sample(range(1000, len(sequence) - 1000), len(sequence) // spacing))
    sites = []
    for pos0 in positions:
        ref = chr(sequence[pos0])
        sites.append((pos0 + 1, ref, rng.choice([b for b in "ACGT" if b != ref])))
    return sites


def vcf_header(chromosomes: dict[str, int], samples: list[str]) -> str:
    return ("##fileformat=VCFv4.2\n" +
            "".join(f"##contig=<ID={c},length={n}>\n" for c, n in chromosomes.items()) +
            '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n' +
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t" + "\t".join(samples) + "\n")


def bgzip(path: Path, chunks) -> None:
    with open(path, "wb") as out:
        process = subprocess.Popen(["bgzip", "-@", "2", "-c"], stdin=subprocess.PIPE, stdout=out)
        for chunk in chunks:
            process.stdin.write(chunk.encode())
        process.stdin.close()
        if process.wait() != 0:
            raise SystemExit(f"bgzip failed on {path}")
    subprocess.run(["tabix", "-f", "-p", "vcf", path], check=True)


def sam_records(rng: random.Random, sample: str, chrom: str, haplotypes: list[str],
                depth: int, qualities: list[str]):
    """SAM lines of read pairs covering the chromosome at the given depth."""
    length = len(haplotypes[0])
    for k in range(length * depth // (2 * READ_LENGTH)):
        hap = haplotypes[k & 1]
        fragment = rng.randint(350, 650)
        start = rng.randint(0, length - fragment)
        mate = start + fragment - READ_LENGTH
        # Names as long as a simulator's, which is what the read table stores per read.
        name = f"{sample}_{chrom}_{start + 1}_{mate + 1}_0_1_0_0_0:0:0_0:0:0_{k:x}"
        first, second = (99, 147) if rng.random() < 0.5 else (163, 83)
        for flag, pos, other, size in ((first, start, mate, fragment),
                                      (second, mate, start, -fragment)):
            yield (f"{name}\t{flag}\t{chrom}\t{pos + 1}\t60\t{READ_LENGTH}M\t=\t{other + 1}\t"
                   f"{size}\t{hap[pos:pos + READ_LENGTH]}\t{rng.choice(qualities)}\n")


def write_bam(path: Path, chromosomes: dict[str, int], records) -> None:
    sort = subprocess.Popen(["samtools", "sort", "--no-PG", "-@", "1", "-m", "1G", "-o", path,
                             "-"], stdin=subprocess.PIPE, text=True)
    sort.stdin.write("".join(f"@SQ\tSN:{c}\tLN:{n}\n" for c, n in chromosomes.items()))
    for record in records:
        sort.stdin.write(record)
    sort.stdin.close()
    if sort.wait() != 0:
        raise SystemExit(f"samtools sort failed on {path}")
    subprocess.run(["samtools", "index", path], check=True)


def write_cohort(out: Path, length: int, samples: int, depth: int, seed: int) -> None:
    rng = random.Random(seed)
    chromosomes = {"chr1": length, "chr2": length}
    names = [f"S{k + 1}" for k in range(samples)]
    sequences = {c: bytearray("".join(rng.choices("ACGT", k=n)), "ascii")
                 for c, n in chromosomes.items()}
    write_fasta(str(out / "ref.fa"), list(sequences.items()))
    sites = {c: simulate_sites(rng, s, 500) for c, s in sequences.items()}
    calls = {c: [rng.choices(GENOTYPES, GENOTYPE_WEIGHTS, k=samples) for _ in sites[c]]
             for c in chromosomes}
    bgzip(out / "cohort.vcf.gz", [vcf_header(chromosomes, names)] + [
        f"{c}\t{pos}\t.\t{ref}\t{alt}\t50\tPASS\t.\tGT\t" + "\t".join(gts) + "\n"
        for c in chromosomes for (pos, ref, alt), gts in zip(sites[c], calls[c])])
    qualities = ["".join(rng.choices("+5?FFFFF", k=READ_LENGTH)) for _ in range(QUALITY_STRINGS)]
    for s, name in enumerate(names):
        haplotypes = {}
        for c, sequence in sequences.items():
            haplotypes[c] = [bytearray(sequence), bytearray(sequence)]
            for (pos, _, alt), gts in zip(sites[c], calls[c]):
                for h in (0, 1):
                    if gts[s][2 * h] == "1":
                        haplotypes[c][h][pos - 1] = ord(alt)
            haplotypes[c] = [h.decode() for h in haplotypes[c]]
        write_bam(out / f"{name}.bam", chromosomes,
                  (record for c in chromosomes
                   for record in sam_records(rng, name, c, haplotypes[c], depth, qualities)))
    (out / "samples.tsv").write_text("".join(f"{n}\t{out / n}.bam\n" for n in names))


def write_wide_vcf(out: Path, sites: int, samples: int, group_size: int, seed: int) -> None:
    """One chromosome's VCF for many samples, lines as dense as a sequenced cohort's, and the
    workflow's plans that split it: one for all groups at once, one per group."""
    rng = random.Random(seed)
    names = [f"HG{k:05d}" for k in range(samples)]
    lines = (f"chr1\t{100 + 30 * k}\t.\tA\tG\t50\tPASS\t.\tGT\t" +
             "\t".join(rng.choices(GENOTYPES, (85, 6, 6, 3), k=samples)) + "\n"
             for k in range(sites))
    bgzip(out / "wide.vcf.gz", chain([vcf_header({"chr1": 100 + 30 * sites}, names)], lines))
    groups = [names[k:k + group_size] for k in range(0, samples, group_size)]
    plans = out / "wide_plans"
    plans.mkdir(exist_ok=True)
    for name, chosen in [("all", groups)] + [(f"group{k}", [g]) for k, g in enumerate(groups)]:
        (plans / f"{name}.json").write_text(json.dumps({
            "chromosomes": [{"name": "chr1", "spellings": ["chr1"] * samples}],
            "files": [[n, f"{n}.bam"] for n in names], "groups": chosen}))


def write_synthetic_cohort(out: Path, samples: int, sites: int, chromosomes: int,
                           seed: int) -> None:
    """A cohort of `samples` samples with `sites` sites on each of `chromosomes` chromosomes of
    the VCF (genotypes alone, lines drawn from a pool so that writing costs little), every
    sample's alignment file a hard link to one tiny BAM file (a few reads: the scans cost
    little, the split and the gathers cost what they cost), and the samples table."""
    rng = random.Random(seed)
    length = 100 + 30 * sites
    names = [f"S{k:06d}" for k in range(samples)]
    contigs = {f"chr{c + 1}": length for c in range(chromosomes)}
    pool = ["\t".join(rng.choices(GENOTYPES, (85, 6, 6, 3), k=samples)) + "\n"
            for _ in range(97)]
    lines = (f"{c}\t{100 + 30 * k}\t.\tA\tG\t50\tPASS\t.\tGT\t" + pool[k % 97]
             for c in contigs for k in range(sites))
    bgzip(out / "cohort.vcf.gz", chain([vcf_header(contigs, names)], lines))
    write_bam(out / "tiny.bam", contigs, (
        f"r{k}\t0\t{c}\t{90 + 30 * k}\t60\t50M\t*\t0\t0\t{'A' * 50}\t{'F' * 50}\n"
        for c in contigs for k in range(4)))
    folder = out / "bams"
    folder.mkdir(exist_ok=True)
    for name in names:
        for suffix in ("", ".bai"):
            link = folder / f"{name}.bam{suffix}"
            if not link.exists():
                os.link(out / f"tiny.bam{suffix}", link)
    (out / "samples.tsv").write_text("".join(f"{n}\tbams/{n}.bam\n" for n in names))


def write_planned_cohort(out: Path, samples: int, chromosomes: int, records: int,
                         group_size: int) -> None:
    """What a dry run and the report of a cohort too large to scan here read: the VCF's header
    (and one line per chromosome), the samples table (files not there), the plan as the plan
    would write it with `records` records per chromosome, and a stats.tsv of every sample and
    chromosome, alike but for a few samples."""
    rng = random.Random(samples)
    names = [f"S{k:06d}" for k in range(samples)]
    contigs = {f"chr{c + 1}": 100_000_000 for c in range(chromosomes)}
    bgzip(out / "cohort.vcf.gz", [vcf_header(contigs, names)] + [
        f"{c}\t100\t.\tA\tG\t50\tPASS\t.\tGT\t" + "\t".join(["0|1"] * samples) + "\n"
        for c in contigs])
    (out / "samples.tsv").write_text("".join(f"{n}\tbams/{n}.bam\n" for n in names))
    (out / "plan.json").write_text(json.dumps({
        "chromosomes": [{"name": c, "length": n, "records": records, "spellings": [c] * samples}
                        for c, n in contigs.items()],
        "files": [[n, f"bams/{n}.bam"] for n in names],
        "groups": [names[k:k + group_size] for k in range(0, samples, group_size)],
        "without_files": [], "warnings": []}))
    with open(out / "stats.tsv", "w") as stats:
        stats.write("chromosome\tsample\thet_snps\trecords\tdropped_flag\tdropped_mapq\t"
                    "dropped_baseq\treads\tpirs\tsnps_in_pirs\tphased_snps\tblocks\t"
                    "block_n50\n")
        for c in contigs:
            for k, name in enumerate(names):
                het = 60000 + rng.randrange(2000)
                phased = het // 2 if k % 10007 else het // 20
                stats.write(f"{c}\t{name}\t{het}\t{9_000_000 + k % 9973}\t{k % 101}\t"
                            f"{k % 307}\t{k % 89}\t{4_000_000 + k % 7}\t{90000 + k % 997}\t"
                            f"{het // 2}\t{phased}\t{9000 + k % 13}\t{70000 + k % 991}\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--length", type=int, default=1_000_000, help="per chromosome")
    parser.add_argument("--samples", type=int, default=8)
    parser.add_argument("--depth", type=int, default=30)
    parser.add_argument("--wide", type=int, metavar="SITES",
                        help="write wide.vcf.gz of SITES sites for 2,504 samples instead")
    parser.add_argument("--group-size", type=int, default=50, help="samples per job, --wide")
    parser.add_argument("--seed", type=int, default=20240615)
    parser.add_argument("--synthetic", type=int, nargs=3, metavar=("SAMPLES", "SITES", "CHROMS"),
                        help="write a synthetic cohort of tiny BAM files instead")
    parser.add_argument("--planned", type=int, nargs=3,
                        metavar=("SAMPLES", "CHROMS", "RECORDS"),
                        help="write a planned cohort (header, table, plan, stats) instead")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    if args.synthetic:
        write_synthetic_cohort(args.out, *args.synthetic, args.seed)
    elif args.planned:
        write_planned_cohort(args.out, *args.planned, args.group_size)
    elif args.wide:
        write_wide_vcf(args.out, args.wide, 2504, args.group_size, args.seed)
    else:
        write_cohort(args.out, args.length, args.samples, args.depth, args.seed)


if __name__ == "__main__":
    main()
