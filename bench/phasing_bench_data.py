#!/usr/bin/env python3
"""The phasing benchmark's data and scores.

make:  turns scrm's haplotypes (a coalescent population with recombination) into a random
       reference, the haplotype FASTAs of the sequenced samples, the cohort's VCF with unphased
       genotypes, and the true phase of every sample as a phased VCF.
cost:  prints the run time and peak memory without and with --phase-sets.
score: compares a phase sets VCF with the true phase, one line per group of samples: switch
       errors inside blocks, share of heterozygous SNPs phased, share of those that a PIR links
       phased (PIRs from the tool's output file), block N50.
Deterministic for a given seed; standard library only."""

import argparse
import gzip
import json
import random
import statistics
import sys
from pathlib import Path
from typing import Iterator

from scan_bench_data import write_fasta
from scan_bench_report import peak_rss_mb

BASES = "ACGT"


def read_scrm(path: Path, length: int) -> tuple[list[int], list[str]]:
    """1-based positions (distinct) and haplotype strings of scrm's single replicate."""
    lines = path.read_text().split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("positions:"))
    fractions = [float(x) for x in lines[start].split()[1:]]
    haplotypes = [line.strip() for line in lines[start + 1:] if line.strip()]
    positions, keep, last = [], [], 0
    for k, f in enumerate(fractions):
        pos = max(int(f * length) + 1, last + 1)
        if pos > length:
            break
        positions.append(pos)
        keep.append(k)
        last = pos
    return positions, ["".join(h[k] for k in keep) for h in haplotypes]


def write_vcf(path: Path, chrom: str, length: int, sites: list[tuple[int, str, str]],
              names: list[str], haplotypes: list[str], phased: bool) -> None:
    with gzip.open(path, "wt", compresslevel=6) as out:
        out.write("##fileformat=VCFv4.2\n##source=bench/phasing_bench_data.py\n")
        out.write(f"##contig=<ID={chrom},length={length}>\n")
        out.write('##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n')
        out.write("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t"
                  + "\t".join(names) + "\n")
        for i, (pos, ref, alt) in enumerate(sites):
            calls = []
            for s in range(len(names)):
                a, b = haplotypes[2 * s][i], haplotypes[2 * s + 1][i]
                calls.append(f"{a}|{b}" if phased else "/".join(sorted((a, b))))
            out.write(f"{chrom}\t{pos}\t.\t{ref}\t{alt}\t50\tPASS\t.\tGT\t"
                      + "\t".join(calls) + "\n")


def make(args: argparse.Namespace) -> None:
    out = Path(args.out)
    positions, haplotypes = read_scrm(Path(args.scrm), args.length)
    rng = random.Random(args.seed)
    reference = [rng.choice(BASES) for _ in range(args.length)]
    sites = []
    for pos in positions:
        ref = reference[pos - 1]
        sites.append((pos, ref, rng.choice([b for b in BASES if b != ref])))
    names = [f"S{k}" for k in range(len(haplotypes) // 2)]
    write_fasta(str(out / "ref.fa"), [(args.chrom, "".join(reference))])
    for s in range(args.sequenced):
        records = []
        for h in (0, 1):
            seq = list(reference)
            for (pos, _, alt), allele in zip(sites, haplotypes[2 * s + h]):
                if allele == "1":
                    seq[pos - 1] = alt
            records.append((f"{names[s]}_h{h + 1}", "".join(seq)))
        write_fasta(str(out / f"{names[s]}.haps.fa"), records)
    write_vcf(out / "cohort.vcf.gz", args.chrom, args.length, sites, names, haplotypes, False)
    write_vcf(out / "truth.vcf.gz", args.chrom, args.length, sites, names, haplotypes, True)
    print(f"{len(sites)} SNPs in {len(names)} samples over {args.length} bp")


def vcf_records(path: Path) -> Iterator[tuple[list[str], list[str]]]:
    with gzip.open(path, "rt") if path.suffix == ".gz" else open(path) as lines:
        names = []
        for line in lines:
            if line.startswith("#CHROM"):
                names = line.rstrip("\n").split("\t")[9:]
            elif not line.startswith("#"):
                fields = line.rstrip("\n").split("\t")
                yield names, fields


def read_truth(path: Path) -> dict[str, dict[int, str]]:
    truth: dict[str, dict[int, str]] = {}
    for names, f in vcf_records(path):
        for name, value in zip(names, f[9:]):
            if value[0] != value[2]:
                truth.setdefault(name, {})[int(f[1])] = value[0]  # allele on haplotype 1
    return truth


def read_phased(path: Path) -> dict[str, dict[int, tuple[str, int]]]:
    """Per sample, position -> (first allele, PS) of the phased calls."""
    phased: dict[str, dict[int, tuple[str, int]]] = {}
    for names, f in vcf_records(path):
        keys = f[8].split(":")
        if "PS" not in keys:
            continue
        ps = keys.index("PS")
        for name, value in zip(names, f[9:]):
            parts = value.split(":")
            if len(parts) > ps and parts[ps] != "." and "|" in parts[0]:
                phased.setdefault(name, {})[int(f[1])] = (parts[0][0], int(parts[ps]))
    return phased


def pir_linked(out_file: Path) -> dict[str, set[int]]:
    """Per sample, the positions of the sites that a PIR sees with REF or ALT next to another."""
    opener = gzip.open if out_file.suffix == ".gz" else open
    linked: dict[str, set[int]] = {}
    with opener(out_file, "rt") as lines:
        count = int(next(lines).split()[1])
        sites = [next(lines).split("\t") for _ in range(count)]
        sample = None
        for line in lines:
            f = line.rstrip("\n").split("\t")
            if len(f) == 1:
                sample = line.split()[0]
                linked.setdefault(sample, set())
                continue
            seen = [int(f[k]) for k in range(0, len(f), 3)
                    if f[k + 1] in (sites[int(f[k])][1], sites[int(f[k])][2].strip())]
            if len(seen) >= 2:
                linked[sample].update(int(sites[k][0]) for k in seen)
    return linked


def share(part: int, whole: int) -> float:
    return 100.0 * part / whole if whole else 0.0


def n50(spans: list[int]) -> int:
    total, covered = sum(spans), 0
    for span in sorted(spans, reverse=True):
        covered += span
        if 2 * covered >= total:
            return span
    return 0


def score(args: argparse.Namespace) -> None:
    """One line per group of samples, the three files read once for all of them."""
    truth = read_truth(Path(args.truth))
    phased = read_phased(Path(args.phased))
    linked = pir_linked(Path(args.pirs))
    for label, samples in args.group:
        print(group_score(label, samples.split(), truth, phased, linked))


def group_score(label: str, samples: list[str], truth: dict[str, dict[int, str]],
                phased: dict[str, dict[int, tuple[str, int]]],
                linked: dict[str, set[int]]) -> str:
    switches = pairs = het = done = in_pirs = linked_done = 0
    spans = []
    for sample in samples:
        calls = phased.get(sample, {})
        het += len(truth.get(sample, {}))
        done += len(calls)
        in_pirs += len(linked.get(sample, set()))
        linked_done += len(linked.get(sample, set()) & set(calls))
        blocks: dict[int, list[int]] = {}
        for pos in sorted(calls):
            blocks.setdefault(calls[pos][1], []).append(pos)
        for block in blocks.values():
            spans.append(block[-1] - block[0] + 1)
            flips = [calls[p][0] != truth[sample][p] for p in block]
            pairs += len(block) - 1
            switches += sum(a != b for a, b in zip(flips, flips[1:]))
    return (f"{label}\tswitch_error={share(switches, pairs):.3f}% ({switches}/{pairs})"
            f"\tphased={share(done, het):.1f}% ({done}/{het})"
            f"\tpir_linked_phased={share(linked_done, in_pirs):.1f}% ({linked_done}/{in_pirs})"
            f"\tblocks={len(spans)}\tblock_n50={n50(spans)}")


def cost(args: argparse.Namespace) -> None:
    """Medians of hyperfine's rounds (the ratio taken within each round, then its median over
    the rounds) and peak memory from /usr/bin/time -v, without and with."""
    folder = Path(args.folder)
    rounds = []
    for path in sorted(folder.glob("round*.json")):
        results = json.loads(path.read_text())["results"]
        rounds.append({r["command"]: r["median"] for r in results})
    rss = {}
    for key in ("without", "with"):
        rss[key] = peak_rss_mb(str(folder / f"{key}.rss"))
        seconds = statistics.median(r[key] for r in rounds)
        print(f"  {key:8s} median {seconds:.3f} s   peak RSS {rss[key]:.1f} MiB")
    ratio = statistics.median(r["with"] / r["without"] for r in rounds)
    print(f"  ratio    time {ratio:.3f} (median of {len(rounds)} rounds)"
          f"   memory {rss['with'] / rss['without']:.3f}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    m = commands.add_parser("make")
    m.add_argument("--scrm", required=True)
    m.add_argument("--out", required=True)
    m.add_argument("--length", type=int, required=True)
    m.add_argument("--chrom", default="chr1")
    m.add_argument("--sequenced", type=int, required=True)
    m.add_argument("--seed", type=int, default=1)
    s = commands.add_parser("score")
    s.add_argument("--truth", required=True)
    s.add_argument("--phased", required=True)
    s.add_argument("--pirs", required=True)
    s.add_argument("--group", nargs=2, action="append", required=True,
                   metavar=("LABEL", "SAMPLES"),
                   help="a line's label and its samples, blank-separated")
    c = commands.add_parser("cost")
    c.add_argument("folder")
    args = parser.parse_args(argv)
    {"make": make, "score": score, "cost": cost}[args.command](args)


if __name__ == "__main__":
    main(sys.argv[1:])
