"""Each sample's figures from stats.tsv (columns read by their names, so that added columns such
as the phasing ones are used when present), and the samples whose figures stand out from the
cohort's: what the plots and the report show."""

from array import array
from dataclasses import dataclass
from pathlib import Path
from statistics import median
from typing import Callable

# A sample is an outlier when a figure lies further than this many median absolute deviations
# (scaled to a normal distribution's standard deviation) on its bad side of the cohort's
# median: about one sample in 30,000 of a normal spread, so that thousands of samples give a
# list of a few lines.
MAD_LIMIT = 4
MAD_TO_SD = 1.4826
# Less than this share of the median apart is no outlier, however alike the other samples are;
# nor, for a share of records or sites, less than SHARE_FLOOR x MAD_LIMIT (4 points) apart.
LEAST_SPREAD = 0.1
SHARE_FLOOR = 0.01
MOST_DROPPED = 0.5


@dataclass(frozen=True)
class Figure:
    """A per-sample figure: its column in the report's table (key and short title), its label,
    how it is computed from the sample's sums, whether a low value (rather than a high one)
    needs a look, the least spread that counts, and the statistics columns it needs beyond the
    scan's own."""

    key: str
    title: str
    label: str
    compute: Callable[[dict], float | None]
    low_is_bad: bool
    floor: float = 0.0
    needs: tuple[str, ...] = ()


def share(part: float, whole: float) -> float | None:
    return part / whole if whole else None


FIGURES = (
    Figure("share_in_pirs", "in PIRs", "share of heterozygous SNPs in PIRs",
           lambda s: share(s["snps_in_pirs"], s["het_snps"]), True, SHARE_FLOOR),
    Figure("pirs_per_snp", "PIRs per SNP", "PIRs per heterozygous SNP",
           lambda s: share(s["pirs"], s["het_snps"]), True),
    Figure("share_dropped_flag", "dropped: flag",
           "records dropped: unmapped, secondary, QC-failed, duplicate",
           lambda s: share(s["dropped_flag"], s["records"]), False, SHARE_FLOOR),
    Figure("share_dropped_mapq", "dropped: MAPQ", "records dropped: mapping quality too low",
           lambda s: share(s["dropped_mapq"], s["records"]), False, SHARE_FLOOR),
    Figure("baseq_per_record", "dropped: BQ per record",
           "observations dropped for base quality, per record read",
           lambda s: share(s["dropped_baseq"], s["records"]), False, SHARE_FLOOR),
    Figure("share_phased", "phased", "share of heterozygous SNPs phased",
           lambda s: share(s["phased_snps"], s["het_snps"]), True, SHARE_FLOOR,
           ("phased_snps",)),
    Figure("block_n50", "block N50", "phase block N50 (bp; median over chromosomes)",
           lambda s: s["block_n50"], True, needs=("block_n50",)),
)
# Figures that are not counts summed over chromosomes.
NOT_SUMMED = ("block_n50",)


# The columns whose share of a chromosome's heterozygous SNPs is drawn per chromosome.
CHROMOSOME_SHARES = ("snps_in_pirs", "phased_snps")


@dataclass
class Cohort:
    """stats.tsv read: its count columns, each sample's sums over the chromosomes (cohort order)
    with the figures its columns allow, and per chromosome each sample's shares of its
    heterozygous SNPs in PIRs and phased. A few numbers per sample and per row: the file is
    read a line at a time, so that 200,000 samples of 22 chromosomes fit in a few hundred MB."""

    columns: list[str]
    chromosome_shares: dict[str, dict[str, array]]
    totals: dict[str, dict]
    figures: tuple[Figure, ...]


def read_cohort(stats: Path) -> Cohort:
    with open(stats) as stream:
        columns = stream.readline().rstrip("\n").split("\t")
        counts = [name for name in columns if name not in ("chromosome", "sample")]
        places = [columns.index(name) for name in counts]
        sample_at, chromosome_at = columns.index("sample"), columns.index("chromosome")
        totals: dict[str, dict] = {}
        unsummed: dict[str, dict[str, list[int]]] = {}
        shares: dict[str, dict[str, array]] = {}
        for line in stream:
            fields = line.rstrip("\n").split("\t")
            row = {name: int(fields[k]) for name, k in zip(counts, places)}
            add_row(totals, unsummed, fields[sample_at], row)
            by_column = shares.setdefault(fields[chromosome_at], {})
            for name in CHROMOSOME_SHARES:
                if name in row:
                    by_column.setdefault(name, array("d")).append(
                        share(row[name], row["het_snps"]) or 0.0)
    for sample, found in unsummed.items():
        totals[sample].update({name: median(numbers) for name, numbers in found.items()})
    figures = tuple(f for f in FIGURES if all(need in counts for need in f.needs))
    return Cohort([c for c in counts if c not in NOT_SUMMED] +
                  [c for c in counts if c in NOT_SUMMED], shares, totals, figures)


def add_row(totals: dict[str, dict], unsummed: dict[str, dict[str, list[int]]], sample: str,
            row: dict[str, int]) -> None:
    """Adds a chromosome's row to its sample's sums; the figures that are no sums are kept, to
    take their median once every row is read."""
    kept = {name: row.pop(name) for name in NOT_SUMMED if name in row}
    sums = totals.get(sample)
    if sums is None:
        totals[sample] = row
        unsummed[sample] = {name: [value] for name, value in kept.items()}
        return
    for name, value in row.items():
        sums[name] += value
    for name, value in kept.items():
        unsummed[sample][name].append(value)


def values(cohort: Cohort, figure: Figure) -> dict[str, float]:
    """The figure of each sample for which it is defined."""
    found = {name: figure.compute(sums) for name, sums in cohort.totals.items()}
    return {name: value for name, value in found.items() if value is not None}


@dataclass(frozen=True)
class Outlier:
    sample: str
    figure: str
    value: float
    median: float
    why: str
    severity: float  # how far out, for the order of the list


def spread_outliers(cohort: Cohort, figure: Figure) -> list[Outlier]:
    found = values(cohort, figure)
    if len(found) < 3:
        return []
    middle = median(found.values())
    mad = median(abs(v - middle) for v in found.values()) * MAD_TO_SD
    spread = max(mad, LEAST_SPREAD * abs(middle), figure.floor, 1e-12)
    outliers = []
    for name, value in found.items():
        distance = (middle - value if figure.low_is_bad else value - middle) / spread
        if distance > MAD_LIMIT:
            side = "below" if figure.low_is_bad else "above"
            outliers.append(Outlier(name, figure.label, value, middle,
                                    f"{distance:.0f} MADs {side} the median", distance))
    return outliers


def plain_outliers(cohort: Cohort) -> list[Outlier]:
    """What needs a look whatever the cohort: no PIR at all, most records dropped."""
    if not cohort.totals:
        return []
    pirs = {name: sums["pirs"] for name, sums in cohort.totals.items()}
    dropped = {name: share(sums["dropped_flag"] + sums["dropped_mapq"], sums["records"]) or 0.0
               for name, sums in cohort.totals.items()}
    middle_pirs, middle_dropped = median(pirs.values()), median(dropped.values())
    outliers = []
    for name in cohort.totals:
        if pirs[name] == 0:
            outliers.append(Outlier(name, "PIRs", 0, middle_pirs, "no PIR at all",
                                    float("inf")))
        if dropped[name] > MOST_DROPPED:
            outliers.append(Outlier(name, "share of records dropped", dropped[name],
                                    middle_dropped, "most records dropped",
                                    1e6 * dropped[name]))
    return outliers


def outliers(cohort: Cohort) -> list[Outlier]:
    """Every sample and figure that stands out, the furthest out first."""
    found = plain_outliers(cohort)
    for figure in cohort.figures:
        found += spread_outliers(cohort, figure)
    return sorted(found, key=lambda o: (-o.severity, o.sample))
