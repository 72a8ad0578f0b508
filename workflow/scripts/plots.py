"""Draws the cohort's pictures from stats.tsv and the numbers of PIRs by sites spanned, made to
read the same for 5 samples or 5,000: each per-sample figure as a distribution across the
samples, a box per chromosome, and the sites spanned per PIR."""

from collections import Counter
from pathlib import Path
from statistics import median

import matplotlib

matplotlib.use("Agg")  # no display on a cluster node
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import MaxNLocator  # noqa: E402

from cohort import run_logged, script_arguments  # noqa: E402
from pirs import read_histograms  # noqa: E402
from sample_figures import Cohort, read_cohort, values  # noqa: E402

PANEL_COLUMNS = 2
DPI = 80


def histogram_bins(count: int) -> int:
    return max(10, min(60, count // 4))


def distributions(cohort: Cohort, path: Path) -> None:
    """One histogram per figure, with the cohort's median marked."""
    rows = -(-len(cohort.figures) // PANEL_COLUMNS)
    figure, grid = plt.subplots(rows, PANEL_COLUMNS, figsize=(11, 3.2 * rows), squeeze=False)
    for axes, shown in zip(grid.flat, cohort.figures):
        found = sorted(values(cohort, shown).values())
        axes.hist(found, bins=histogram_bins(len(found)), color="#4878a8")
        if found:
            axes.axvline(median(found), color="#c44", linestyle="--", label="median")
        axes.set_title(shown.label, fontsize=10)
        axes.set_ylabel("samples")
        axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    for axes in list(grid.flat)[len(cohort.figures):]:
        axes.set_visible(False)
    figure.suptitle(f"Per-sample figures across the {len(cohort.totals)} samples")
    figure.tight_layout()
    figure.savefig(path, dpi=DPI)
    plt.close(figure)


def per_chromosome(cohort: Cohort, path: Path) -> None:
    """A box per chromosome of the samples' share of heterozygous SNPs in PIRs (and phased,
    when the statistics have it)."""
    names = list(cohort.chromosome_shares)
    panels = [("snps_in_pirs", "share of heterozygous SNPs in PIRs")]
    if "phased_snps" in cohort.columns:
        panels.append(("phased_snps", "share of heterozygous SNPs phased"))
    figure, grid = plt.subplots(len(panels), 1, figsize=(11, 3.4 * len(panels)), squeeze=False)
    for axes, (column, label) in zip(grid.flat, panels):
        boxes = [shares[column] for shares in cohort.chromosome_shares.values()]
        axes.boxplot(boxes, labels=names, flierprops={"markersize": 3})
        axes.set_ylabel(label, fontsize=9)
        axes.tick_params(axis="x", rotation=90 if len(names) > 12 else 0, labelsize=8)
    grid.flat[0].set_title("Per chromosome, one box of all samples each")
    figure.tight_layout()
    figure.savefig(path, dpi=DPI)
    plt.close(figure)


def sites_per_pir_bars(histogram: Counter, path: Path) -> None:
    figure, axes = plt.subplots(figsize=(7, 3.6))
    sites = sorted(histogram)
    axes.bar(sites, [histogram[s] for s in sites])
    axes.set_yscale("log")
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_xlabel("heterozygous sites spanned by the PIR")
    axes.set_ylabel("PIRs, all samples and chromosomes")
    axes.set_title("Sites per PIR")
    figure.tight_layout()
    figure.savefig(path, dpi=DPI)
    plt.close(figure)


def main(stats: Path, histograms: list[Path], distributions_png: Path, chromosomes_png: Path,
         sites_png: Path) -> None:
    cohort = read_cohort(stats)
    distributions(cohort, distributions_png)
    per_chromosome(cohort, chromosomes_png)
    sites_per_pir_bars(read_histograms(histograms), sites_png)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["stats", "distributions", "chromosomes", "sites"],
                            several=("histograms",))
    run_logged(args.log, lambda: main(
        Path(args.stats), [Path(p) for p in args.histograms], Path(args.distributions),
        Path(args.chromosomes), Path(args.sites)))
