"""Gathers one chromosome's group outputs into {chromosome}.pirs.gz, the file a direct run of
bridgeScan on the whole cohort writes, with the chromosome's statistics and the number of PIRs
by sites spanned beside it.

Each scan compressed its own part (the first group's with the map section, the others their
blocks alone) and checked it (scan_part.py): the parts are put one after another as they are,
gzip members that decompress to the direct run's bytes, at the speed of the disk. One part is
open at a time, whatever the number of groups. The files appear under their names only when
complete."""

import shutil
from pathlib import Path

from cohort import InputError, load_json, run_logged, script_arguments
from pirs import histogram_text, read_histograms

COPY_BUFFER = 4 << 20


def concatenate(parts: list[Path], out: Path) -> None:
    with open(out, "wb") as stream:
        for part in parts:
            with open(part, "rb") as source:
                shutil.copyfileobj(source, stream, COPY_BUFFER)


def write_stats(parts: list[Path], chromosome: str, out: Path) -> None:
    """The parts' rows after a chromosome column, under the first part's header, which every
    part must share."""
    header = ""
    with open(out, "w") as stream:
        for part in parts:
            with open(part) as rows:
                first = rows.readline()
                if header and first != header:
                    raise InputError(f"{part}: its columns differ from those of {parts[0]}")
                if not header:
                    header = first
                    stream.write(f"chromosome\t{header}")
                stream.writelines(f"{chromosome}\t{row}" for row in rows)


def main(plan_path: Path, chromosome: str, pirs: list[Path], stats: list[Path],
         histograms: list[Path], outputs: tuple[Path, Path, Path]) -> None:
    groups = load_json(plan_path)["groups"]
    if not len(pirs) == len(stats) == len(histograms) == len(groups):
        raise InputError(f"{chromosome}: {len(pirs)} PIR, {len(stats)} statistics and "
                         f"{len(histograms)} histogram parts for {len(groups)} groups")
    temporary = [path.with_name(path.name + ".tmp") for path in outputs]
    try:
        concatenate(pirs, temporary[0])
        write_stats(stats, chromosome, temporary[1])
        temporary[2].write_text(histogram_text(read_histograms(histograms)))
        for path, final in zip(temporary, outputs):
            path.replace(final)
    finally:
        for path in temporary:
            path.unlink(missing_ok=True)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["plan", "chromosome", "out-pirs", "out-stats",
                                      "out-histogram"], several=("pirs", "stats", "histograms"))
    run_logged(args.log, lambda: main(
        Path(args.plan), args.chromosome, [Path(p) for p in args.pirs],
        [Path(p) for p in args.stats], [Path(p) for p in args.histograms],
        (Path(args.out_pirs), Path(args.out_stats), Path(args.out_histogram))))
