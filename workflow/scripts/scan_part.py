"""What a scan job does after bridgeScan, so that the gathers only put parts one after another:
reads its PIR part through the PIR reader (the first group's part starts with the map section,
the others hold their blocks alone, bridgeScan --blocks-only) and checks that it holds exactly
its group's samples, in order, in well-formed blocks whose PIR counts its statistics give; writes
the number of PIRs by sites spanned. A part that is wrong fails its own scan job, and is never
gathered."""

from collections import Counter
from pathlib import Path

from cohort import InputError, load_json, run_logged, script_arguments
from pirs import PirFormatError, PirReader, histogram_text, open_text


def block_counts(part: Path, with_map: bool, histogram: Counter) -> list[tuple[str, int]]:
    """Each block's sample and PIR count, read through the PIR reader."""
    with open_text(part) as stream:
        reader = PirReader(iter(stream), str(part))
        if with_map:
            reader.read_map_header()
            for _ in reader.site_lines():
                pass
        else:
            reader.without_map()
        counts = []
        for block in reader.blocks(every_field=False):
            histogram.update(block.sites_per_pir)
            counts.append((block.sample, len(block.lines)))
    return counts


def check_stats(path: Path, counts: list[tuple[str, int]]) -> None:
    """The part's statistics must name its samples in order and count the PIRs of its blocks."""
    header, *rows = path.read_text().splitlines()
    columns = header.split("\t")
    if columns[0] != "sample" or "pirs" not in columns:
        raise InputError(f"{path}: the header must start with 'sample' and name 'pirs'")
    pirs = columns.index("pirs")
    found = [(row.split("\t")[0], row.split("\t")[pirs]) for row in rows]
    expected = [(sample, str(count)) for sample, count in counts]
    if found != expected:
        raise InputError(f"{path}: samples and PIR counts {found} do not match the blocks "
                         f"{expected}")


def main(args) -> None:
    group = int(args.group)
    samples = load_json(Path(args.plan))["groups"][group - 1]
    histogram: Counter = Counter()
    part = Path(args.pirs)
    try:
        counts = block_counts(part, group == 1, histogram)
    except PirFormatError as problem:
        raise InputError(str(problem)) from None
    found = [sample for sample, _ in counts]
    if found != samples:
        raise InputError(f"{part}: holds the blocks of {', '.join(found) or 'no sample'} where "
                         f"its group is {', '.join(samples)}")
    check_stats(Path(args.stats), counts)
    Path(args.histogram).write_text(histogram_text(histogram))


if __name__ == "__main__":
    arguments = script_arguments(__doc__, ["plan", "group", "pirs", "stats", "histogram"])
    run_logged(arguments.log, lambda: main(arguments), mode="a")
