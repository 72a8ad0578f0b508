#!/usr/bin/python3
"""Reads bridgeScan's PIR files (a map section, then one block per sample) and checks them.

Run as a program it checks one file and reports the first problem with its line number:

    /usr/bin/python3 workflow/scripts/pirs.py FILE [FILE...]

exits 0 when every file is well formed, 1 otherwise. A name ending in .gz or .bz2 is
decompressed. The merge of the cohort workflow reads its parts through the same reader, so a
part that this checker rejects never reaches a gathered file.
"""

import bz2
import gzip
import re
import sys
from collections import Counter
from dataclasses import dataclass, field
from itertools import islice
from pathlib import Path
from typing import IO, Iterator

MAP_HEADER = re.compile(r"MAP (0|[1-9][0-9]*)\n")
BLOCK_HEADER = re.compile(r"(\S+) (0|[1-9][0-9]*)\n")
SITE_LINE = re.compile(r"-?[0-9]+\t[^\t\n]+\t[^\t\n]+\n")
BASES = frozenset("ACGTN")


class PirFormatError(Exception):
    """A problem in a PIR file, with the number of the line it was found on."""

    def __init__(self, source: str, line: int, message: str) -> None:
        super().__init__(f"{source}:{line}: {message}")
        self.source = source
        self.line = line


@dataclass
class Block:
    """One sample's block: its PIR lines as written, and how many PIRs span each site count."""

    sample: str
    lines: list[str]
    sites_per_pir: Counter = field(default_factory=Counter)


def open_text(path: Path) -> IO[str]:
    """Opens a plain, gzip or bzip2 file for reading text, as the tool names its outputs."""
    if path.name.endswith(".gz"):
        return gzip.open(path, "rt", newline="")
    if path.name.endswith(".bz2"):
        return bz2.open(path, "rt", newline="")
    return open(path, newline="")


def pir_sites(line: str, site_count: int) -> int:
    """Checks one PIR line and returns its number of observations; ValueError says why not."""
    if not line.endswith("\n"):
        raise ValueError("the last line has no newline: the file is truncated")
    fields = line[:-1].split("\t")
    if len(fields) % 3 != 0:
        raise ValueError(f"{len(fields)} fields: a PIR holds three per observation")
    if len(fields) < 6:
        raise ValueError("a PIR needs at least two observations")
    previous = -1
    for k in range(0, len(fields), 3):
        index, base, quality = fields[k], fields[k + 1], fields[k + 2]
        if not index.isdigit() or not quality.isdigit():
            raise ValueError(f"observation {k // 3 + 1}: site index and quality must be numbers")
        if int(index) <= previous:
            raise ValueError(f"site index {index} does not increase")
        if int(index) >= site_count:
            raise ValueError(f"site index {index} is outside the map of {site_count} sites")
        if base not in BASES:
            raise ValueError(f"base {base!r} is not one of A, C, G, T, N")
        if int(quality) > 255:
            raise ValueError(f"base quality {quality} is above 255")
        previous = int(index)
    return len(fields) // 3


class PirReader:
    """Reads a PIR file from an iterator of lines, checking each line as it comes: first the
    map section through site_lines(), then the blocks through blocks()."""

    def __init__(self, lines: Iterator[str], source: str) -> None:
        self._lines = lines
        self.source = source
        self._number = 0
        self.site_count = 0

    def _fail(self, message: str) -> PirFormatError:
        return PirFormatError(self.source, self._number, message)

    def _next(self, missing: str) -> str:
        line = next(self._lines, None)
        if line is None:
            raise PirFormatError(self.source, self._number, f"the file ends: {missing}")
        self._number += 1
        return line

    def read_map_header(self) -> int:
        """Reads the first line; returns the number of sites it announces."""
        header = MAP_HEADER.fullmatch(self._next("no map section"))
        if not header:
            raise self._fail("the file must start with a line 'MAP <number of sites>'")
        self.site_count = int(header.group(1))
        return self.site_count

    def without_map(self) -> None:
        """For a part written without its map section (bridgeScan --blocks-only): the blocks
        come first, and their site indices are checked against no map."""
        self.site_count = sys.maxsize

    def site_lines(self) -> Iterator[str]:
        """Yields the map section's site lines, each with its newline, once read_map_header()
        has been called. A map may hold millions of sites, so they are handed on, not kept."""
        for k in range(self.site_count):
            line = self._next(f"site {k} of {self.site_count} is missing")
            if not SITE_LINE.fullmatch(line):
                raise self._fail("a site line is POS, REF and ALT separated by tabs")
            yield line

    def blocks(self, every_field: bool = True) -> Iterator[Block]:
        """Yields the samples' blocks in file order, once site_lines() has been read through.
        Without every_field, each PIR line is checked for its shape only (whole, fields in
        threes, two observations at least): what a copy of bridgeScan's own output needs, at
        a tenth of the cost."""
        check = self._check_fields if every_field else self._check_shape
        for header_line in self._lines:
            self._number += 1
            header = BLOCK_HEADER.fullmatch(header_line)
            if not header:
                raise self._fail("a block starts with a line '<sample> <number of PIRs>'")
            block = Block(header.group(1), list(islice(self._lines, int(header.group(2)))))
            first = self._number + 1
            self._number += len(block.lines)
            if len(block.lines) < int(header.group(2)):
                raise self._fail(f"the file ends: the block of {block.sample} holds "
                                 f"{len(block.lines)} of its {header.group(2)} PIRs")
            block.sites_per_pir = check(block.lines, first)
            yield block

    def _check_fields(self, lines: list[str], first: int) -> Counter:
        sites: Counter = Counter()
        for number, line in enumerate(lines, start=first):
            try:
                sites[pir_sites(line, self.site_count)] += 1
            except ValueError as problem:
                raise PirFormatError(self.source, number, str(problem)) from None
        return sites

    def _check_shape(self, lines: list[str], first: int) -> Counter:
        tabs = Counter(line.count("\t") for line in lines)
        if all(count % 3 == 2 and count >= 5 for count in tabs) and (
                not lines or lines[-1].endswith("\n")):
            return Counter({(count + 1) // 3: pirs for count, pirs in tabs.items()})
        return self._check_fields(lines, first)  # to name the first line that is wrong


def read_histograms(paths: list[Path]) -> Counter:
    """The numbers of PIRs by sites spanned of several files ('sites<TAB>pirs' lines under a
    header), summed."""
    total: Counter = Counter()
    for path in paths:
        for line in path.read_text().splitlines()[1:]:
            sites, pirs = line.split("\t")
            total[int(sites)] += int(pirs)
    return total


def histogram_text(histogram: Counter) -> str:
    return "sites\tpirs\n" + "".join(f"{sites}\t{number}\n"
                                     for sites, number in sorted(histogram.items()))


def check_file(path: Path) -> str:
    """Reads a whole file; returns a one-line summary or raises PirFormatError."""
    try:
        with open_text(path) as stream:
            reader = PirReader(iter(stream), str(path))
            sites = reader.read_map_header()
            for _ in reader.site_lines():
                pass
            blocks = pirs = 0
            for block in reader.blocks():
                blocks += 1
                pirs += len(block.lines)
    except (EOFError, OSError, UnicodeDecodeError) as problem:
        raise PirFormatError(str(path), 0, f"cannot be read: {problem}") from None
    return f"{path}: {sites} sites, {blocks} samples, {pirs} PIRs"


def main(argv: list[str]) -> int:
    if not argv:
        print("usage: pirs.py FILE [FILE...]", file=sys.stderr)
        return 2
    status = 0
    for name in argv:
        try:
            print(check_file(Path(name)))
        except PirFormatError as problem:
            print(problem, file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
