#!/usr/bin/env python3
"""The phasing benchmark's data and scores.

make:  turns scrm's haplotypes (a coalescent population with recombination) into a random
       reference, the haplotype FASTAs of the sequenced samples, the cohort's VCF with unphased
       genotypes, and the true phase of every sample as a phased VCF.
score: compares a set's phase sets VCFs (one per run) with the true phase over the set's
       samples: switch errors inside blocks, sites on the other side than their block's
       majority (the block Hamming error), share of heterozygous SNPs phased, share of those
       that PIRs link (a connected component of two or more sites; PIRs from the tool's output
       file) phased, blocks, block N50.
report: the tables over all sets: each set's default run with its time and peak memory without
       and with --phase-sets, then the scores of every --phase-min-lod.
job:   a job of many samples, each one sample's genotypes and reads under a name of its own: its
       VCF (job.vcf.gz) and alignment list (bam.list).
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


def block_errors(flips: list[bool]) -> tuple[int, int]:
    """Switches between neighbours, and sites on the other side than the block's majority."""
    switches = sum(a != b for a, b in zip(flips, flips[1:]))
    flipped = sum(flips)
    return switches, min(flipped, len(flips) - flipped)


def run_score(samples: list[str], truth: dict[str, dict[int, str]],
              phased: dict[str, dict[int, tuple[str, int]]],
              linked: dict[str, set[int]]) -> list[int]:
    """The counts of one run over its samples, in the order of SCORE_COLUMNS."""
    switches = pairs = wrong_side = het = done = in_pirs = linked_done = 0
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
            switched, wrong = block_errors([calls[p][0] != truth[sample][p] for p in block])
            pairs += len(block) - 1
            switches += switched
            wrong_side += wrong
    return [switches, pairs, wrong_side, done, het, linked_done, in_pirs, len(spans), n50(spans)]


SCORE_COLUMNS = ["switches", "pairs", "wrong_side", "phased", "het", "linked_phased", "linked",
                 "blocks", "block_n50"]
SCORE_HEADER = ["switch errors in blocks", "block Hamming error", "het SNPs phased",
                "PIR-linked het SNPs phased", "blocks", "block N50 (bp)"]
COST_HEADER = ["time without", "time with", "time ratio", "CPU without", "CPU with", "CPU ratio",
               "peak RSS without", "peak RSS with", "memory ratio", "instructions without",
               "instructions with", "instruction ratio"]


def score_cells(c: dict[str, int]) -> list[str]:
    def part(a: str, b: str, digits: int) -> str:
        return f"{share(c[a], c[b]):.{digits}f}% ({c[a]:,}/{c[b]:,})"
    return [part("switches", "pairs", 3), part("wrong_side", "phased", 3),
            part("phased", "het", 1), part("linked_phased", "linked", 2),
            f"{c['blocks']:,}", f"{c['block_n50']:,}"]


def markdown_row(cells: list[str]) -> str:
    return "| " + " | ".join(cells) + " |"


def markdown_header(cells: list[str]) -> str:
    return markdown_row(cells) + "\n" + markdown_row(["---"] * len(cells))


def score(args: argparse.Namespace) -> None:
    """Scores each run of one set (its phase sets files, one PIR file) over the set's samples;
    writes the counts as TSV and prints them as table rows."""
    truth = read_truth(Path(args.truth))
    linked = pir_linked(Path(args.pirs))
    samples = args.samples.split()
    with open(args.out, "w") as out:
        out.write("\t".join(["run"] + SCORE_COLUMNS) + "\n")
        for label, path in args.run:
            counts = run_score(samples, truth, read_phased(Path(path)), linked)
            out.write("\t".join([label] + [str(x) for x in counts]) + "\n")
            cells = score_cells(dict(zip(SCORE_COLUMNS, counts)))
            print(markdown_row([args.set, label] + cells))


def read_scores(path: Path) -> dict[str, dict[str, int]]:
    rows = [line.split("\t") for line in path.read_text().splitlines()]
    return {r[0]: dict(zip(rows[0][1:], map(int, r[1:]))) for r in rows[1:]}


def cost_cells(folder: Path) -> list[str]:
    """Wall-clock and CPU (user + system) seconds from hyperfine's rounds: each the median over
    the rounds, each ratio taken within a round, then its median over the rounds (on a shared
    machine the CPU time is the steadier); peak memory from /usr/bin/time -v; instructions."""
    rounds = [{r["command"]: r for r in json.loads(path.read_text())["results"]}
              for path in sorted(folder.glob("round*.json"))]
    cells = []
    for seconds in (lambda r: r["median"], lambda r: r["user"] + r["system"]):
        pairs = [(seconds(r["without"]), seconds(r["with"])) for r in rounds]
        cells += [f"{statistics.median(a for a, _ in pairs):.3f} s",
                  f"{statistics.median(b for _, b in pairs):.3f} s",
                  f"{statistics.median(b / a for a, b in pairs):.3f}"]
    rss = [peak_rss_mb(str(folder / f"{key}.rss")) for key in ("without", "with")]
    if None in rss:  # an interrupted run
        cells += ["-"] * 3
    else:
        cells += [f"{rss[0]:.1f} MiB", f"{rss[1]:.1f} MiB", f"{rss[1] / rss[0]:.3f}"]
    return cells + instruction_cells(folder)


def instruction_cells(folder: Path) -> list[str]:
    """Millions of instructions without and with, and their ratio: counted when COUNT is set."""
    files = [folder / f"{key}.ir" for key in ("without", "with")]
    if not all(f.exists() and f.read_text().strip() for f in files):
        return ["-"] * 3
    without, with_ = (int(f.read_text()) for f in files)
    return [f"{without / 1e6:,.1f}M", f"{with_ / 1e6:,.1f}M", f"{with_ / without:.4f}"]


def report(args: argparse.Namespace) -> None:
    """Two tables over the sets: the default run with its cost, then every run's scores."""
    folder = Path(args.folder)
    print(markdown_header(["set", "samples"] + SCORE_HEADER + COST_HEADER))
    for name in args.sets:
        scores = read_scores(folder / name / "score.tsv")
        samples = len((folder / name / "bam.list").read_text().splitlines())
        print(markdown_row([name, str(samples)] + score_cells(scores["default"])
                           + cost_cells(folder / name)))
    print()
    print(markdown_header(["set", "--phase-min-lod"] + SCORE_HEADER))
    for name in args.sets:
        for label, counts in read_scores(folder / name / "score.tsv").items():
            print(markdown_row([name, label] + score_cells(counts)))


def job(args: argparse.Namespace) -> None:
    out = Path(args.out)
    names = [f"J{k}" for k in range(args.count)]
    with gzip.open(args.vcf, "rt") as lines, gzip.open(out / "job.vcf.gz", "wt") as vcf:
        column = None
        for line in lines:
            fields = line.rstrip("\n").split("\t")
            if line.startswith("##"):
                vcf.write(line)
                continue
            if line.startswith("#CHROM"):
                column = fields.index(args.sample)
                vcf.write("\t".join(fields[:9] + names) + "\n")
            else:
                vcf.write("\t".join(fields[:9] + [fields[column]] * args.count) + "\n")
    (out / "bam.list").write_text("".join(f"{name}\t{args.bam}\t{args.chrom}\n" for name in names))


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
    s.add_argument("--set", required=True, help="the set's name, first cell of its rows")
    s.add_argument("--samples", required=True, help="the set's samples, blank-separated")
    s.add_argument("--truth", required=True)
    s.add_argument("--pirs", required=True)
    s.add_argument("--run", nargs=2, action="append", required=True,
                   metavar=("LABEL", "PHASED_VCF"), help="a run's label and phase sets file")
    s.add_argument("--out", required=True, help="TSV of the counts")
    r = commands.add_parser("report")
    r.add_argument("folder", help="the results folder, one subfolder per set")
    r.add_argument("sets", nargs="+")
    j = commands.add_parser("job")
    j.add_argument("--vcf", required=True, help="the cohort's VCF, gzipped")
    j.add_argument("--sample", required=True, help="the sample each of the job's is")
    j.add_argument("--bam", required=True, help="its alignment file")
    j.add_argument("--chrom", default="chr1")
    j.add_argument("--count", type=int, required=True)
    j.add_argument("--out", required=True, help="the folder of job.vcf.gz and bam.list")
    args = parser.parse_args(argv)
    {"make": make, "score": score, "report": report, "job": job}[args.command](args)


if __name__ == "__main__":
    main(sys.argv[1:])
