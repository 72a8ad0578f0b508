"""Writes the inputs of every group's scan of one chromosome from one read of the VCF: for group
k, groupk.vcf.gz (the chromosome's lines with that group's sample columns only) and groupk.list
(the group's files, in table order, with each file's own name for the chromosome).

A cohort VCF costs about as much to read as one sample's reads, so it is read once here rather
than once per group. Lines are cut into fields as bridgeScan cuts them and otherwise left as
they stand: no site is dropped and no allele trimmed, so each group's scan sees what a scan of
the whole cohort would see for those samples."""

import gzip
import io
from operator import itemgetter
from pathlib import Path
from typing import Callable, Iterable, Iterator

from cohort import (InputError, chromosome_lines, load_json, run_logged, script_arguments,
                    split_fields)

# The group VCFs live only until their scan has read them: fast compression is enough.
COMPRESS_LEVEL = 1
WRITE_BUFFER = 1 << 20

Picker = Callable[[list[bytes]], Iterable[bytes]]


def column_picker(columns: list[int]) -> Picker:
    """Picks the group's sample fields from a line's fields, in the group's order."""
    if len(columns) == 1:
        column = columns[0]
        return lambda fields: (fields[column],)
    return itemgetter(*columns)


def short_line_picker(columns: list[int]) -> Picker:
    """For a line with fewer genotypes than samples: the group's fields up to the first one
    missing, so that the missing ones stay missing (not heterozygous) in the group as well."""
    return lambda fields: [fields[c] for c in columns if c < len(fields)]


def sample_columns(header: list[bytes], groups: list[list[str]]) -> list[list[int]]:
    names = [name.decode() for name in header[9:]]
    first = {}
    for column, name in enumerate(names, start=9):
        first.setdefault(name, column)
    return [[first[name] for name in group] for group in groups]


class GroupWriter:
    """One group's compressed VCF, with how to pick its columns from a cohort line."""

    def __init__(self, path: Path, columns: list[int]) -> None:
        self.stream = io.BufferedWriter(gzip.open(path, "wb", compresslevel=COMPRESS_LEVEL),
                                        WRITE_BUFFER)
        self.last_column = max(columns)
        self.pick = column_picker(columns)
        self.pick_present = short_line_picker(columns)

    def write_data(self, line: bytes, fields: list[bytes]) -> None:
        if len(fields) < 9:
            self.stream.write(line)  # bridgeScan skips it, in the group as in the cohort
            return
        picked = self.pick(fields) if self.last_column < len(fields) else self.pick_present(fields)
        self.stream.write(b"\t".join((*fields[:9], *picked)) + b"\n")

    def close(self) -> None:
        self.stream.close()


def split_lines(lines: Iterator[bytes], groups: list[list[str]], outdir: Path) -> None:
    writers: list[GroupWriter] = []
    meta: list[bytes] = []  # the ## lines, written to each group once its file is opened
    try:
        for line in lines:
            fields = split_fields(line.rstrip(b"\n"))
            if fields[0] == b"#CHROM":
                writers = open_groups(fields, groups, meta, outdir)
            elif line.startswith(b"#"):
                meta.append(line)
            elif not writers:
                raise InputError("the VCF has a data line before its #CHROM line")
            else:
                for writer in writers:
                    writer.write_data(line, fields)
        if not writers:
            raise InputError("the VCF has no #CHROM line")
    finally:
        for writer in writers:
            writer.close()


def open_groups(header: list[bytes], groups: list[list[str]], meta: list[bytes],
                outdir: Path) -> list[GroupWriter]:
    writers = []
    for k, (group, columns) in enumerate(zip(groups, sample_columns(header, groups)), start=1):
        writer = GroupWriter(outdir / f"group{k}.vcf.gz", columns)
        writer.stream.writelines(meta)
        writer.stream.write(b"\t".join(header[:9] + [name.encode() for name in group]) + b"\n")
        writers.append(writer)
    return writers


def write_lists(plan: dict, chromosome: dict, outdir: Path) -> None:
    """Each group's BAM list: its samples' files in table order, with their own spelling."""
    for k, group in enumerate(plan["groups"], start=1):
        members = set(group)
        with open(outdir / f"group{k}.list", "w") as out:
            for (sample, path), spelling in zip(plan["files"], chromosome["spellings"]):
                if sample in members:
                    out.write(f"{sample}\t{path}\t{spelling}\n")


def main(vcf: Path, index: Path, plan_path: Path, chromosome: str, outdir: Path) -> None:
    plan = load_json(plan_path)
    entry = next(c for c in plan["chromosomes"] if c["name"] == chromosome)
    outdir.mkdir(parents=True, exist_ok=True)
    write_lists(plan, entry, outdir)
    split_lines(chromosome_lines(vcf, index, chromosome), plan["groups"], outdir)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["vcf", "index", "plan", "chromosome", "out"])
    run_logged(args.log, lambda: main(Path(args.vcf), Path(args.index), Path(args.plan),
                                      args.chromosome, Path(args.out)))
