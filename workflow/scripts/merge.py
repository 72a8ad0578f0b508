"""Gathers one chromosome's group outputs into {chromosome}.pirs.gz, the file a direct run of
bridgeScan on the whole cohort writes, with the chromosome's statistics and the number of PIRs
by sites spanned beside it.

Every part is read through the PIR reader and must hold the same map section as the first and
exactly its group's samples, in order, with statistics that name the same samples and count
the same PIRs. Anything else stops the merge before the files appear under their names: a part
that is wrong is never gathered into a file that looks right."""

import gzip
import hashlib
from collections import Counter
from pathlib import Path
from typing import IO

from cohort import InputError, load_json, run_logged, script_arguments
from pirs import PirFormatError, PirReader, open_text

COMPRESS_LEVEL = 6  # zlib's default, as the tool's own .gz output


def copy_map(reader: PirReader, out: IO[str] | None) -> str:
    """Reads a part's map section, writing it when out is given; returns what identifies it."""
    digest = hashlib.sha256()
    count = reader.read_map_header()
    if out is not None:
        out.write(f"MAP {count}\n")
    for line in reader.site_lines():
        digest.update(line.encode())
        if out is not None:
            out.write(line)
    return f"{count} sites, {digest.hexdigest()}"


def copy_blocks(reader: PirReader, group: list[str], out: IO[str],
                histogram: Counter) -> list[tuple[str, int]]:
    """Writes a part's blocks; returns each block's sample and PIR count."""
    counts = []
    for block in reader.blocks(every_field=False):
        out.write(f"{block.sample} {len(block.lines)}\n")
        out.write("".join(block.lines))
        histogram.update(block.sites_per_pir)
        counts.append((block.sample, len(block.lines)))
    found = [sample for sample, _ in counts]
    if found != group:
        raise InputError(f"{reader.source}: holds the blocks of {', '.join(found) or 'no sample'}"
                         f" where its group is {', '.join(group)}")
    return counts


def merge_parts(groups: list[list[str]], parts: list[Path], out: IO[str],
                histogram: Counter) -> list[list[tuple[str, int]]]:
    """Writes the parts one after another, the map section once; returns each part's counts."""
    first_map = ""
    counts = []
    for group, part in zip(groups, parts):
        with open_text(part) as stream:
            reader = PirReader(iter(stream), str(part))
            this_map = copy_map(reader, None if first_map else out)
            if first_map and this_map != first_map:
                raise InputError(f"{part}: its map section ({this_map}) differs from that of "
                                 f"{parts[0]} ({first_map})")
            first_map = this_map
            counts.append(copy_blocks(reader, group, out, histogram))
    return counts


def checked_stats(path: Path, counts: list[tuple[str, int]]) -> tuple[str, list[str]]:
    """The header and rows of a part's statistics, which must name the part's samples in order
    and count the PIRs its blocks hold."""
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
    return header, rows


def write_stats(path: Path, chromosome: str, parts: list[Path],
                counts: list[list[tuple[str, int]]]) -> None:
    with open(path, "w") as out:
        for k, (part, part_counts) in enumerate(zip(parts, counts)):
            header, rows = checked_stats(part, part_counts)
            if k == 0:
                out.write(f"chromosome\t{header}\n")
            out.writelines(f"{chromosome}\t{row}\n" for row in rows)


def main(plan_path: Path, chromosome: str, pirs: list[Path], stats: list[Path], out_pirs: Path,
         out_stats: Path, out_histogram: Path) -> None:
    groups = load_json(plan_path)["groups"]
    if len(pirs) != len(groups) or len(stats) != len(groups):
        raise InputError(f"{chromosome}: {len(pirs)} PIR and {len(stats)} statistics parts "
                         f"for {len(groups)} groups")
    temporary = [path.with_name(path.name + ".tmp") for path in (out_pirs, out_stats,
                                                                  out_histogram)]
    histogram: Counter = Counter()
    try:
        with gzip.open(temporary[0], "wt", compresslevel=COMPRESS_LEVEL, newline="") as out:
            counts = merge_parts(groups, pirs, out, histogram)
        write_stats(temporary[1], chromosome, stats, counts)
        temporary[2].write_text("sites\tpirs\n" + "".join(
            f"{sites}\t{number}\n" for sites, number in sorted(histogram.items())))
        for path, final in zip(temporary, (out_pirs, out_stats, out_histogram)):
            path.replace(final)
    except PirFormatError as problem:
        raise InputError(str(problem)) from None
    finally:
        for path in temporary:
            path.unlink(missing_ok=True)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["plan", "chromosome", "out-pirs", "out-stats",
                                      "out-histogram"], several=("pirs", "stats"))
    run_logged(args.log, lambda: main(
        Path(args.plan), args.chromosome, [Path(p) for p in args.pirs],
        [Path(p) for p in args.stats], Path(args.out_pirs), Path(args.out_stats),
        Path(args.out_histogram)))
