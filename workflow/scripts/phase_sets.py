"""Gathers the phase sets of one chromosome: each group's scan wrote the chromosome's VCF lines
with its own samples' phased genotypes; their sample values are put back into the cohort VCF's
lines, so that the file holds the same records as one bridgeScan run over the whole cohort with
--phase-sets. Samples without alignment files keep their values as the VCF gives them, and
every byte but the values that changed stays as it stands. Written bgzipped, with a .csi index
(which, unlike a .tbi, takes any chromosome length)."""

import re
import subprocess
from itertools import takewhile
from pathlib import Path
from typing import BinaryIO, Iterator

from cohort import (BLANKS, InputError, chromosome_lines, load_json, run_logged,
                    script_arguments, split_fields)

# The runs of blanks split_fields splits at, kept by the split.
SEPARATORS = re.compile(b"(" + BLANKS.pattern + b")")
PS_HEADER = b'##FORMAT=<ID=PS,Number=1,Type=Integer,Description="Phase set">\n'


def data_lines(path: Path) -> Iterator[list[bytes]]:
    """The fields of a group file's data lines."""
    with open(path, "rb") as lines:
        for line in lines:
            if not line.startswith(b"#"):
                yield split_fields(line.rstrip(b"\n"))


def commands(path: Path) -> list[bytes]:
    """The command line a scan recorded in its file's header; the data lines are not read."""
    with open(path, "rb") as lines:
        header = takewhile(lambda line: line.startswith(b"#"), lines)
        return [line for line in header if line.startswith(b"##bridgeScan_command=")]


def sample_columns(header: list[bytes], groups: list[list[str]]) -> list[list[int]]:
    """For each group, the cohort column of each of its samples (the first of that name)."""
    first: dict[bytes, int] = {}
    for column, name in enumerate(header[9:], start=9):
        first.setdefault(name, column)
    return [[first[name.encode()] for name in group] for group in groups]


def gathered_line(pieces: list[bytes], parts: list[list[bytes]],
                  columns: list[list[int]]) -> bytes:
    """The cohort line, split by SEPARATORS (fields at even indices, separators between), with
    each group's values and, when a group added it, FORMAT's PS."""
    for fields, group_columns in zip(parts, columns):
        if fields[1] != pieces[2]:
            raise InputError(f"a group's phase sets are out of step at position {pieces[2]!r}")
        if len(fields[8]) > len(pieces[16]):
            pieces[16] = fields[8]
        for value, column in zip(fields[9:], group_columns):
            pieces[2 * column] = value
    return b"".join(pieces) + b"\n"


def gather(lines: Iterator[bytes], part_paths: list[Path], groups: list[list[str]],
           out: BinaryIO) -> None:
    parts = [data_lines(path) for path in part_paths]
    columns: list[list[int]] = []
    declared = False
    for line in lines:
        if line.startswith(b"##"):
            declared = declared or line.startswith(PS_HEADER[:16])
            out.write(line)
        elif line.startswith(b"#CHROM"):
            if not declared:
                out.write(PS_HEADER)
            out.writelines(commands(part_paths[0]) if part_paths else [])
            out.write(line)
            columns = sample_columns(split_fields(line.rstrip(b"\n")), groups)
        else:
            pieces = SEPARATORS.split(line.rstrip(b"\n"))
            # 9 fields and the separators between them: bridgeScan writes no shorter line.
            if len(pieces) >= 17:
                out.write(gathered_line(pieces, [next(part) for part in parts], columns))
    if any(next(part, None) is not None for part in parts):
        raise InputError("a group's phase sets hold more lines than the VCF")


def main(vcf: Path, index: Path, plan_path: Path, chromosome: str, part_paths: list[Path],
         out: Path) -> None:
    groups = load_json(plan_path)["groups"]
    with open(out, "wb") as stream:
        with subprocess.Popen(["bgzip", "-c"], stdin=subprocess.PIPE, stdout=stream) as bgzip:
            gather(chromosome_lines(vcf, index, chromosome), part_paths, groups, bgzip.stdin)
            bgzip.stdin.close()
    if bgzip.returncode != 0:
        raise InputError(f"bgzip failed writing {out}")
    subprocess.run(["tabix", "-f", "--csi", "-p", "vcf", str(out)], check=True)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["vcf", "index", "plan", "chromosome", "out"], ("parts",))
    run_logged(args.log, lambda: main(Path(args.vcf), Path(args.index), Path(args.plan),
                                      args.chromosome, [Path(p) for p in args.parts],
                                      Path(args.out)))
