"""Gathers the phase sets of one chromosome from its groups' scans into one bgzipped, indexed VCF
holding the same records as one bridgeScan run over the whole cohort with --phase-sets.

Each scan writes its samples' phase sets on the lines of its VCF it selected as sites. What the
gather needs of them is kept in a compressed part (compact_part): per line, its number among the
selected lines, POS, REF, ALT and FORMAT, and each value the scan rewrote (phased by the reads,
or phased in the VCF and written unphased) with the sample's place in the group; the first group's part holds every selected line, the others only the lines where one of
their values is rewritten. The gather walks the chromosome's lines of the cohort VCF beside the
parts and writes a line when it is the next line the parts hold, with each group's values put
back in place and every other byte as it stands: the parts alone say which lines are written, as
the scans selected them (a position at or past 1,000,000,000 is left out, as by a direct run).
No more than --batch-groups parts are open at once: beyond, the parts are first combined batch by
batch. The index is a .tbi, or a .csi when a record ends past 2^29 - 1, as a direct run makes."""

import gzip
import heapq
import re
import subprocess
import tempfile
from itertools import groupby
from pathlib import Path
from typing import BinaryIO, Iterator

from cohort import (BLANKS, InputError, chromosome_lines, load_json, run_logged,
                    script_arguments, split_fields)
from layout import Batches

# The runs of blanks split_fields splits at, kept by the split.
SEPARATORS = re.compile(b"(" + BLANKS.pattern + b")")
PS_HEADER = b'##FORMAT=<ID=PS,Number=1,Type=Integer,Description="Phase set">\n'
END = b"#end"
PART_LEVEL = 1  # parts live only until gathered
BGZIP = ["bgzip", "-l", "1", "-c"]  # the fastest level, as a direct run writes phase sets
TBI_LIMIT = 2**29 - 1  # the largest end a .tbi index takes
INFO_END = re.compile(rb"(?:^|;)END=([0-9]+)")

Entry = tuple[int, int, list[bytes]]  # line number, part's order, fields


def rewritten_values(fields: list[bytes], source: list[bytes]) -> list[bytes]:
    """The values of a line of a scan's phase sets that the scan rewrote, each after the
    sample's place in the group: its phased calls, and calls phased in the VCF that it wrote
    unphased; every other value is the VCF's own."""
    found = []
    for k, (value, before) in enumerate(zip(fields[9:], source[9:])):
        if value != before:
            found += [b"%d" % k, value]
    return found


def source_lines(vcf: Path) -> Iterator[list[bytes]]:
    """The data lines of the group's VCF, the scan's input, split as the scan splits them."""
    with gzip.open(vcf, "rb") as lines:
        for line in lines:
            if not line.startswith(b"#"):
                yield split_fields(line.rstrip(b"\n"))


def compact_part(phased: Path, source: Path, out: Path, every_line: bool) -> None:
    """The part of a group's phase sets file (bridgeScan --phase-sets, plain text) that the
    gather needs, gzip-compressed; with every_line, every selected line. Its lines are those of
    the group's VCF `source` that the scan selected, in order."""
    number = 0
    inputs = source_lines(source)
    with open(phased, "rb") as lines, gzip.open(out, "wb", compresslevel=PART_LEVEL) as part:
        for line in lines:
            if line.startswith(b"#"):
                continue
            fields = split_fields(line.rstrip(b"\n"))
            before = next((f for f in inputs if f[1:5] == fields[1:5]), None)
            if before is None:
                raise InputError(f"{phased}: its line at POS {fields[1].decode()} is no line of "
                                 f"{source}")
            values = rewritten_values(fields, before)
            if values or every_line:
                part.write(b"\t".join([b"%d" % number, fields[1], fields[3], fields[4],
                                       fields[8], *values]) + b"\n")
            number += 1
        part.write(END + b"\t%d\n" % number)


def part_entries(path: Path, order: int, ends: dict[Path, int]) -> Iterator[Entry]:
    """A part's lines as (line number, order, fields); its count of lines goes to ends."""
    with gzip.open(path, "rb") as lines:
        for line in lines:
            fields = line.rstrip(b"\n").split(b"\t")
            if fields[0] == END:
                ends[path] = int(fields[1])
                return
            yield int(fields[0]), order, fields[1:]
    raise InputError(f"{path}: the part ends before its last line: it is truncated")


def merged_lines(parts: list[Path]) -> tuple[Iterator[list[Entry]], dict[Path, int]]:
    """The parts' entries, line by line in line order: for each line, every part's entry in
    part order, the first one's first; and, once read through, each part's count of lines."""
    ends: dict[Path, int] = {}
    merged = heapq.merge(*(part_entries(path, order, ends) for order, path in enumerate(parts)))
    return (list(entries) for _, entries in groupby(merged, key=lambda entry: entry[0])), ends


def checked_ends(ends: dict[Path, int], parts: list[Path]) -> int:
    counts = {ends.get(path) for path in parts}
    if len(counts) != 1 or None in counts:
        raise InputError(f"the groups' phase sets hold different numbers of lines: "
                         f"{sorted((str(p), ends.get(p)) for p in parts)}")
    return counts.pop()


def combined(parts: list[Path], sizes: list[int], out: Path) -> None:
    """One part for several groups' parts: a sample's place counted in the groups together."""
    offsets = [sum(sizes[:k]) for k in range(len(sizes))]
    lines, ends = merged_lines(parts)
    with gzip.open(out, "wb", compresslevel=PART_LEVEL) as part:
        for entries in lines:
            number, _, first = entries[0]
            form = max((fields[3] for _, _, fields in entries), key=len)
            values = [item for _, order, fields in entries
                      for k in range(4, len(fields), 2)
                      for item in (b"%d" % (int(fields[k]) + offsets[order]), fields[k + 1])]
            part.write(b"\t".join([b"%d" % number, *first[:3], form, *values]) + b"\n")
        part.write(END + b"\t%d\n" % checked_ends(ends, parts))


def record_end(fields: list[bytes]) -> int:
    """Where a record ends: POS + length of REF - 1, or INFO/END when it is further."""
    try:
        end = int(fields[1]) + len(fields[3]) - 1
    except ValueError:
        end = 0
    found = INFO_END.search(fields[7])
    return max(end, int(found.group(1))) if found else end


class Gather:
    """The cohort's lines with the parts' values put back, and the furthest end written."""

    def __init__(self, parts: list[Path], samples: list[list[str]], out: BinaryIO) -> None:
        self.parts, self.samples, self.out = parts, samples, out
        self.columns: list[list[int]] = []
        self.furthest = 0

    def header(self, line: bytes) -> None:
        first: dict[bytes, int] = {}
        for column, name in enumerate(split_fields(line.rstrip(b"\n"))[9:], start=9):
            first.setdefault(name, column)
        self.columns = [[first[name.encode()] for name in group] for group in self.samples]

    def data(self, text: bytes, head: list[bytes], plain: bool, entries: list[Entry]) -> None:
        """The line with the entries' values; a plain line (single tabs) is cut at tabs, any
        other as bridgeScan cuts it, keeping its separators. A line without any is copied."""
        self.furthest = max(self.furthest, record_end(head))
        if all(len(fields) == 4 for _, _, fields in entries):
            self.out.write(text + b"\n")
            return
        pieces = text.split(b"\t") if plain else SEPARATORS.split(text)
        step = 1 if plain else 2
        for _, order, fields in entries:
            if len(fields[3]) > len(pieces[8 * step]):
                pieces[8 * step] = fields[3]
            columns = self.columns[order]
            for k in range(4, len(fields), 2):
                pieces[step * columns[int(fields[k])]] = fields[k + 1]
        self.out.write((b"\t" if plain else b"").join(pieces) + b"\n")

    def run(self, lines: Iterator[bytes], command: bytes) -> None:
        selected, ends = merged_lines(self.parts)
        entries = next(selected, None)
        declared = False
        for line in lines:
            if line.startswith(b"##"):
                declared = declared or line.startswith(PS_HEADER[:16])
                self.out.write(line)
            elif line.startswith(b"#CHROM"):
                self.out.write(b"" if declared else PS_HEADER)
                self.out.write(command)
                self.out.write(line)
                self.header(line)
            elif entries is not None:
                text = line.rstrip(b"\n")
                plain = b" " not in text and b"\t\t" not in text
                head = (text.split(b"\t", 9) if plain else BLANKS.split(text, 9))[:9]
                if len(head) == 9 and [head[1], head[3], head[4]] == entries[0][2][:3]:
                    self.data(text, head, plain, entries)
                    entries = next(selected, None)
        if entries is not None:
            raise InputError(f"the VCF has no line at POS {entries[0][2][0].decode()} "
                             "that the groups' phase sets hold: did it change since the scans?")
        checked_ends(ends, self.parts)


def command_line(program: str, settings: str) -> bytes:
    """The header line that records the cohort's run: the program's version and the workflow's
    settings, as a direct run records its command."""
    version = subprocess.run([program, "--version"], capture_output=True, text=True)
    line = f"{version.stdout.strip() or program} cohort workflow: {settings}"
    return b"##bridgeScan_command=" + " ".join(line.split()).encode() + b"\n"


def index(out: Path, furthest: int) -> None:
    """A .tbi beside the file, or a .csi when a record ends past what a .tbi takes; an older
    index of the other kind is removed, as htslib would load it first."""
    kind, other = (".csi", ".tbi") if furthest > TBI_LIMIT else (".tbi", ".csi")
    Path(f"{out}{other}").unlink(missing_ok=True)
    subprocess.run(["tabix", "-f", "-p", "vcf", *(["--csi"] if kind == ".csi" else []),
                    str(out)], check=True)


def main(args) -> None:
    groups = load_json(Path(args.plan))["groups"]
    parts = [Path(p) for p in args.parts]
    if len(parts) != len(groups):
        raise InputError(f"{len(parts)} phase sets parts for {len(groups)} groups")
    out = Path(args.out)
    with tempfile.TemporaryDirectory(dir=out.parent, prefix=f".{out.name}.") as scratch:
        samples = groups
        cutter = Batches(int(args.batch_groups))
        if len(parts) > cutter.size:
            batches = list(zip(cutter.cut(parts), cutter.cut(groups)))
            parts = [Path(scratch) / f"batch{b}.gz" for b in range(len(batches))]
            for path, (paths, members) in zip(parts, batches):
                combined(paths, [len(group) for group in members], path)
            samples = [[name for group in members for name in group] for _, members in batches]
        lines = chromosome_lines(Path(args.vcf), Path(args.index), args.chromosome)
        with open(out, "wb") as stream, subprocess.Popen(
                [*BGZIP, "-@", args.threads], stdin=subprocess.PIPE, stdout=stream) as bgzip:
            gather = Gather(parts, samples, bgzip.stdin)
            gather.run(lines, command_line(args.program, args.settings))
            bgzip.stdin.close()
    if bgzip.returncode != 0:
        raise InputError(f"bgzip failed writing {out}")
    index(out, gather.furthest)


if __name__ == "__main__":
    arguments = script_arguments(__doc__, ["vcf", "index", "plan", "chromosome", "program",
                                           "settings", "batch-groups", "threads", "out"],
                                 ("parts",))
    run_logged(arguments.log, lambda: main(arguments))
