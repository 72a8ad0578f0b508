#!/usr/bin/env python3
"""Writes the simulated genomes of the scan benchmark: a random reference, two haplotypes per
sample carrying SNPs (heterozygous about one per kilobase, some homozygous alternative), the
VCFs of those genotypes for the first sample alone and for all three, and each sample's
heterozygous sites as BED. Deterministic for a given seed; standard library only."""

import argparse
import gzip
import os
import random

BASES = "ACGT"


def write_fasta(path, records, width=80):
    with open(path + ".tmp", "w") as out:
        for name, seq in records:
            out.write(">" + name + "\n")
            text = seq.decode("ascii") if isinstance(seq, (bytes, bytearray)) else seq
            for i in range(0, len(text), width):
                out.write(text[i:i + width])
                out.write("\n")
    os.replace(path + ".tmp", path)


def write_vcf(path, chrom, length, sites, samples, genotypes, unphased):
    """sites: list of (pos1, ref, alt); genotypes[s][i] = (allele on h1, allele on h2)."""
    rng = random.Random(len(sites) * 7 + len(samples))  # depths only
    with gzip.open(path + ".tmp", "wt", compresslevel=6) as out:
        out.write("##fileformat=VCFv4.2\n")
        out.write("##source=bench/scan_bench_data.py\n")
        out.write("##contig=<ID=%s,length=%d>\n" % (chrom, length))
        out.write('##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n')
        out.write('##FORMAT=<ID=DP,Number=1,Type=Integer,Description="Read depth">\n')
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t"
                  + "\t".join(samples) + "\n")
        for i, (pos1, ref, alt) in enumerate(sites):
            fields = [chrom, str(pos1), ".", ref, alt, "50", "PASS", ".", "GT:DP"]
            for s in range(len(samples)):
                a, b = genotypes[s][i]
                sep = "/" if unphased[s] else "|"
                if unphased[s] and a > b:
                    a, b = b, a
                fields.append("%d%s%d:%d" % (a, sep, b, rng.randint(18, 42)))
            out.write("\t".join(fields) + "\n")
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True, help="folder to write into")
    parser.add_argument("--length", type=int, default=5_000_000)
    parser.add_argument("--chrom", default="chr1")
    parser.add_argument("--site-spacing", type=int, default=500,
                        help="mean distance between candidate sites; a sample is heterozygous "
                             "at half of them, homozygous alternative at a tenth")
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    rng = random.Random(args.seed)
    reference = bytearray("".join(rng.choices(BASES, k=args.length)), "ascii")
    write_fasta(os.path.join(args.out, "ref.fa"), [(args.chrom, reference)])

    # Candidate sites away from the ends, so reads reach both sides of each.
    count = args.length // args.site_spacing
    positions = sorted(rng.sample(range(1000, args.length - 1000), count))  # 0-based
    sites = []
    for pos0 in positions:
        ref = chr(reference[pos0])
        alt = rng.choice([b for b in BASES if b != ref])
        sites.append((pos0 + 1, ref, alt))

    samples = ["S1", "S2", "S3"]
    genotypes = []
    for name in samples:
        calls = []
        for _ in sites:
            u = rng.random()
            if u < 0.5:
                calls.append((0, 1) if rng.random() < 0.5 else (1, 0))
            elif u < 0.6:
                calls.append((1, 1))
            else:
                calls.append((0, 0))
        genotypes.append(calls)
        haplotypes = [bytearray(reference), bytearray(reference)]
        for (pos1, _, alt), gt in zip(sites, calls):
            for h in (0, 1):
                if gt[h]:
                    haplotypes[h][pos1 - 1] = ord(alt)
        write_fasta(os.path.join(args.out, name + ".haps.fa"),
                    [(name + "_h1", haplotypes[0]), (name + "_h2", haplotypes[1])])
        with open(os.path.join(args.out, name + ".het.bed.tmp"), "w") as bed:
            for (pos1, _, _), gt in zip(sites, calls):
                if gt[0] != gt[1]:
                    bed.write("%s\t%d\t%d\n" % (args.chrom, pos1 - 1, pos1))
        os.replace(os.path.join(args.out, name + ".het.bed.tmp"),
                   os.path.join(args.out, name + ".het.bed"))

    # The first sample alone, with its own variant sites only, as a single-sample caller writes.
    own = [i for i, gt in enumerate(genotypes[0]) if gt != (0, 0)]
    write_vcf(os.path.join(args.out, "one.vcf.gz"), args.chrom, args.length,
              [sites[i] for i in own], samples[:1], [[genotypes[0][i] for i in own]], [False])
    # The three samples over the sites where any of them carries the alternative allele; the
    # second sample's calls are written unphased.
    used = [i for i in range(len(sites)) if any(g[i] != (0, 0) for g in genotypes)]
    write_vcf(os.path.join(args.out, "three.vcf.gz"), args.chrom, args.length,
              [sites[i] for i in used], samples,
              [[g[i] for i in used] for g in genotypes],
              [k == 1 for k in range(len(samples))])

    for s, name in enumerate(samples):
        het = sum(1 for gt in genotypes[s] if gt[0] != gt[1])
        hom = sum(1 for gt in genotypes[s] if gt == (1, 1))
        print("%s: %d heterozygous SNPs (one per %.0f bp), %d homozygous alternative"
              % (name, het, args.length / max(het, 1), hom))


if __name__ == "__main__":
    main()
