"""Draws the cohort's pictures from stats.tsv and the numbers of PIRs by sites spanned: per
sample, the share of its heterozygous SNPs that lie in a PIR (what a phaser gains from the
reads), its PIRs, and why records were dropped; for the cohort, the sites spanned per PIR."""

from collections import Counter
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # no display on a cluster node
import matplotlib.pyplot as plt  # noqa: E402

from cohort import run_logged, sample_totals, script_arguments  # noqa: E402

# Names under the bars while they can still be read; a larger cohort shows its profile only.
MAX_NAMED_SAMPLES = 40


def share(part: int, whole: int) -> float:
    return part / whole if whole else 0.0


def per_sample_bars(names: list[str], series: dict[str, list[float]], ylabel: str, title: str,
                    path: Path) -> None:
    """Bars per sample in cohort order, stacked when there are several series."""
    figure, axes = plt.subplots(figsize=(10, 4.5))
    bottom = [0.0] * len(names)
    for label, values in series.items():
        axes.bar(range(len(names)), values, bottom=bottom, label=label, width=0.85)
        bottom = [b + v for b, v in zip(bottom, values)]
    if len(names) <= MAX_NAMED_SAMPLES:
        axes.set_xticks(range(len(names)), names, rotation=60, ha="right", fontsize=8)
    else:
        axes.set_xlabel(f"{len(names)} samples, in cohort order")
    axes.set_ylabel(ylabel)
    axes.set_title(title)
    if len(series) > 1:
        axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def sites_per_pir_bars(histogram: Counter, path: Path) -> None:
    figure, axes = plt.subplots(figsize=(7, 4.5))
    sites = sorted(histogram)
    axes.bar(sites, [histogram[s] for s in sites])
    axes.set_yscale("log")
    axes.set_xlabel("heterozygous sites spanned by the PIR")
    axes.set_ylabel("PIRs, all samples and chromosomes")
    axes.set_title("Sites per PIR")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def read_histograms(paths: list[Path]) -> Counter:
    total: Counter = Counter()
    for path in paths:
        for line in path.read_text().splitlines()[1:]:
            sites, pirs = line.split("\t")
            total[int(sites)] += int(pirs)
    return total


def main(stats: Path, histograms: list[Path], in_pirs: Path, per_sample: Path, sites: Path,
         dropped: Path) -> None:
    totals = sample_totals(stats)
    names = list(totals)
    rows = [totals[name] for name in names]
    per_sample_bars(names, {"": [share(r["snps_in_pirs"], r["het_snps"]) for r in rows]},
                    "share of heterozygous SNPs", "Heterozygous SNPs in at least one PIR",
                    in_pirs)
    per_sample_bars(names, {"": [r["pirs"] for r in rows]}, "PIRs", "PIRs per sample",
                    per_sample)
    sites_per_pir_bars(read_histograms(histograms), sites)
    per_sample_bars(names, {
        "unmapped, secondary, QC-failed, duplicate": [share(r["dropped_flag"], r["records"])
                                                      for r in rows],
        "mapping quality too low": [share(r["dropped_mapq"], r["records"]) for r in rows],
        "base quality too low (observations)": [share(r["dropped_baseq"], r["records"])
                                                for r in rows],
    }, "per record read", "Dropped records and observations", dropped)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["stats", "in-pirs", "per-sample", "sites", "dropped"],
                            several=("histograms",))
    run_logged(args.log, lambda: main(
        Path(args.stats), [Path(p) for p in args.histograms], Path(args.in_pirs),
        Path(args.per_sample), Path(args.sites), Path(args.dropped)))
