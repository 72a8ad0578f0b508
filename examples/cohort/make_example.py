#!/usr/bin/python3
"""Makes the cohort example beside this script: a reference of two chromosomes (chr20, chr21),
a bgzipped VCF of five samples, paired reads simulated from each sample's haplotypes, and the
samples table. NA101 has a BAM file, NA102 a BAM file whose sequences are named 20 and 21,
NA103 two BAM files (two lanes), NA104 a CRAM file written against ref.fa, and NA105 no file.
Deterministic; needs samtools and bgzip. The files it makes are committed: run it only to
change the example."""

import random
import subprocess
from pathlib import Path

HERE = Path(__file__).resolve().parent
CHROMOSOMES = {"chr20": 6000, "chr21": 5000}
SAMPLES = ["NA101", "NA102", "NA103", "NA104", "NA105"]
READ_LENGTH = 100
PAIRS_PER_KB = 60  # 12x
GENOTYPES = ["0|1", "1|0", "0/1", "0|0", "1|1"]
QUALITIES = "+2:F"  # binned as sequencers write them: 10, 17, 25, 37


def write_reference(rng: random.Random) -> dict[str, str]:
    sequences = {c: "".join(rng.choice("ACGT") for _ in range(n)) for c, n in CHROMOSOMES.items()}
    with open(HERE / "ref.fa", "w") as out:
        for chrom, sequence in sequences.items():
            out.write(f">{chrom}\n")
            out.writelines(sequence[k:k + 60] + "\n" for k in range(0, len(sequence), 60))
    subprocess.run(["samtools", "faidx", HERE / "ref.fa"], check=True)
    return sequences


def simulate_sites(rng: random.Random, sequences: dict[str, str]) -> dict[str, list]:
    """(POS, REF, ALT) about every 110 bp, with a multi-allelic site and an indel that are
    listed in the map but never scanned."""
    sites = {}
    for chrom, sequence in sequences.items():
        sites[chrom] = []
        for k, centre in enumerate(range(150, len(sequence) - 150, 110)):
            pos = centre + rng.randint(-50, 50)
            ref = sequence[pos - 1]
            alt = rng.choice([b for b in "ACGT" if b != ref])
            if k == 5:
                alt += "," + rng.choice([b for b in "ACGT" if b not in (ref, alt)])
            elif k == 9:
                ref, alt = sequence[pos - 1:pos + 1], ref
            sites[chrom].append((pos, ref, alt))
    return sites


def write_vcf(rng: random.Random, sites: dict, calls: dict) -> None:
    lines = ["##fileformat=VCFv4.2"]
    lines += [f"##contig=<ID={c},length={n}>" for c, n in CHROMOSOMES.items()]
    lines += ['##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">',
              '##FORMAT=<ID=DP,Number=1,Type=Integer,Description="Read depth">',
              "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t" + "\t".join(SAMPLES)]
    for chrom, chrom_sites in sites.items():
        for k, (pos, ref, alt) in enumerate(chrom_sites):
            values = [f"{calls[s][chrom][k]}:{rng.randint(8, 20)}" for s in SAMPLES]
            lines.append(f"{chrom}\t{pos}\t.\t{ref}\t{alt}\t50\tPASS\t.\tGT:DP\t" +
                         "\t".join(values))
    vcf = HERE / "cohort.vcf.gz"
    with open(vcf, "wb") as out:
        subprocess.run(["bgzip", "-c"], input="\n".join(lines).encode() + b"\n", stdout=out,
                       check=True)


def haplotypes(sequence: str, chrom_sites: list, chrom_calls: list) -> list[str]:
    haps = [list(sequence), list(sequence)]
    for (pos, ref, alt), call in zip(chrom_sites, chrom_calls):
        if len(ref) == 1 and len(alt) == 1:
            for h in (0, 1):
                if call[2 * h] == "1":
                    haps[h][pos - 1] = alt
    return ["".join(h) for h in haps]


def read_pairs(rng: random.Random, sample: str, chrom: str, haps: list[str]) -> list[list[str]]:
    """The SAM lines of each read pair; a few duplicates and low mapping qualities."""
    pairs = []
    length = len(haps[0])
    for k in range(length * PAIRS_PER_KB // 1000):
        hap = haps[rng.randint(0, 1)]
        fragment = rng.randint(220, 400)
        start = rng.randint(0, length - fragment)
        mate = start + fragment - READ_LENGTH
        mapq = rng.choices([60, 5, 255], weights=[95, 4, 1])[0]
        duplicate = 0x400 if rng.random() < 0.02 else 0
        name = f"{sample}:{chrom}:{k:05d}"
        pairs.append([])
        for flag, pos, mate_pos, size in ((99, start, mate, fragment),
                                         (147, mate, start, -fragment)):
            seq = "".join(b if rng.random() > 0.01 else rng.choice("ACGT")
                          for b in hap[pos:pos + READ_LENGTH])
            qual = "".join(rng.choices(QUALITIES, weights=(2, 5, 20, 73), k=len(seq)))
            pairs[-1].append(f"{name}\t{flag | duplicate}\t{chrom}\t{pos + 1}\t{mapq}\t"
                              f"{READ_LENGTH}M\t=\t{mate_pos + 1}\t{size}\t{seq}\t{qual}")
    return pairs


def write_alignments(name: str, pairs: list[list[str]], rename: dict[str, str],
                     cram: bool = False) -> None:
    lines = [line for pair in pairs for line in pair]
    header = "@HD\tVN:1.6\tSO:unsorted\n" + "".join(
        f"@SQ\tSN:{rename.get(c, c)}\tLN:{n}" + ("\tUR:ref.fa" if cram else "") + "\n"
        for c, n in CHROMOSOMES.items())
    body = "".join("\t".join([f[0], f[1], rename.get(f[2], f[2])] + f[3:]) + "\n"
                   for f in (line.split("\t") for line in lines))
    output = ["-O", "cram", "--reference", str(HERE / "ref.fa")] if cram else []
    subprocess.run(["samtools", "sort", "--no-PG", *output, "-o", HERE / name, "-"],
                   input=(header + body).encode(), check=True)
    if cram:  # samtools wrote the reference's absolute path into the header: keep it portable
        subprocess.run(["samtools", "reheader", "--no-PG", "--in-place", "--command",
                        "sed 's|UR:[^\t]*|UR:ref.fa|'", HERE / name], check=True)
    subprocess.run(["samtools", "index", HERE / name], check=True)


def main() -> None:
    rng = random.Random(20240614)
    sequences = write_reference(rng)
    sites = simulate_sites(rng, sequences)
    calls = {s: {c: [rng.choice(GENOTYPES) for _ in sites[c]] for c in sites} for s in SAMPLES}
    write_vcf(rng, sites, calls)
    reads = {s: sum((read_pairs(rng, s, c, haplotypes(sequences[c], sites[c], calls[s][c]))
                     for c in CHROMOSOMES), []) for s in SAMPLES[:4]}
    write_alignments("NA101.bam", reads["NA101"], {})
    write_alignments("NA102.bam", reads["NA102"], {c: c[3:] for c in CHROMOSOMES})
    write_alignments("NA103.lane1.bam", reads["NA103"][0::2], {})
    write_alignments("NA103.lane2.bam", reads["NA103"][1::2], {})
    write_alignments("NA104.cram", reads["NA104"], {}, cram=True)
    # Table order is not VCF order, and NA103's lanes are apart: neither may change a block.
    (HERE / "samples.tsv").write_text(
        "# sample\talignment file (paths relative to the repository's root)\n"
        "NA103\texamples/cohort/NA103.lane2.bam\n"
        "NA101\texamples/cohort/NA101.bam\n"
        "NA104\texamples/cohort/NA104.cram\n"
        "NA103\texamples/cohort/NA103.lane1.bam\n"
        "NA102\texamples/cohort/NA102.bam\n")


if __name__ == "__main__":
    main()
