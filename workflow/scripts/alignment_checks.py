"""What a scan will meet in an alignment file, read before any scan: the file whole (its
end-of-file marker), its index (there, and not older than the file), its @SQ lines, and for a
CRAM file the reference's sequence of each chromosome (its name, length and MD5)."""

import hashlib
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

from cohort import alignment_index_suffixes, existing_index, older

# The last bytes of every complete BAM file (an empty BGZF block) and of every complete CRAM 3
# file (an empty container): a file cut short while copied or written lacks them.
BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
CRAM3_EOF = bytes.fromhex("0f000000ffffffff0fe0454f46000000000100"
                          "05bdd94f0001000606010001000100ee63014b")
# Bytes that are not part of a sequence for its M5 digest (line ends, blanks).
NOT_SEQUENCE = bytes(range(33)) + b"\x7f"


@dataclass(frozen=True)
class Sequence:
    """An @SQ line: the sequence's length and its M5 digest ("" when the line has none)."""

    length: int
    md5: str


@dataclass
class AlignmentFile:
    """One file as the plan reads it: its sequences, or what stops a scan of it (with what to
    do), and what deserves a look without stopping anything."""

    sequences: dict[str, Sequence] = field(default_factory=dict)
    problem: str = ""
    warning: str = ""


def has_end_marker(path: Path) -> bool:
    with open(path, "rb") as stream:
        start = stream.read(6)
        is_cram = start[:4] == b"CRAM"
        if is_cram and start[4] != 3:
            return True  # only CRAM 3 files end with this container
        marker = CRAM3_EOF if is_cram else BGZF_EOF
        size = stream.seek(0, 2)
        if size < len(marker):
            return False
        stream.seek(size - len(marker))
        return stream.read() == marker


def read_sequences(path: Path) -> dict[str, Sequence] | str:
    """The @SQ lines of the file's header, or why they cannot be read."""
    result = subprocess.run(["samtools", "view", "-H", "--no-PG", str(path)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        return f"its header cannot be read: {result.stderr.strip()}"
    sequences = {}
    for line in result.stdout.splitlines():
        if line.startswith("@SQ\t"):
            tags = dict(tag.split(":", 1) for tag in line.split("\t")[1:] if ":" in tag)
            sequences[tags.get("SN", "")] = Sequence(int(tags.get("LN", "0")),
                                                     tags.get("M5", "").lower())
    return sequences


def inspect(name: str) -> AlignmentFile:
    """Reads what the plan needs of one alignment file, as the samples table names it."""
    path = Path(name)
    if not path.is_file():
        return AlignmentFile(problem="no such file")
    if not has_end_marker(path):
        return AlignmentFile(problem="no end-of-file marker: the file is cut short (copy or "
                             "write it again, then samtools index it)")
    index = existing_index(path, alignment_index_suffixes(name))
    if index is None:
        return AlignmentFile(problem=f"no index beside it (samtools index {name} makes one)")
    sequences = read_sequences(path)
    if isinstance(sequences, str):
        return AlignmentFile(problem=sequences)
    warning = ""
    if older(index, path):
        warning = (f"its index {index} is older than the file: if the file was written again, "
                   f"make the index again (samtools index {name})")
    return AlignmentFile(sequences=sequences, warning=warning)


class reference_fasta:
    """A FASTA with its .fai: each sequence's length, and its MD5 computed once however many
    files ask for it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.entries: dict[str, tuple[int, int, int, int]] = {}
        for line in Path(f"{path}.fai").read_text().splitlines():
            name, length, offset, line_bases, line_width = line.split("\t")[:5]
            self.entries[name] = (int(length), int(offset), int(line_bases), int(line_width))
        self.digests: dict[str, str] = {}

    def length(self, name: str) -> int | None:
        entry = self.entries.get(name)
        return entry[0] if entry else None

    def md5(self, name: str) -> str:
        if name not in self.digests:
            length, offset, line_bases, line_width = self.entries[name]
            lines = -(-length // line_bases) if line_bases else 0
            with open(self.path, "rb") as stream:
                stream.seek(offset)
                text = stream.read(lines * line_width)
            bases = text.translate(None, NOT_SEQUENCE)[:length].upper()
            self.digests[name] = hashlib.md5(bases).hexdigest()
        return self.digests[name]

    def mismatch(self, name: str, sequence: Sequence) -> str:
        """What differs between the file's @SQ line and the reference's sequence, or ""."""
        length = self.length(name)
        if length is None:
            return f"the reference {self.path} has no sequence named {name}"
        if length != sequence.length:
            return (f"{name} is {sequence.length} bp in the file's header but {length} bp in "
                    f"the reference {self.path}")
        if sequence.md5 and self.md5(name) != sequence.md5:
            return (f"{name} of the reference {self.path} has the MD5 {self.md5(name)}, but "
                    f"the file's header gives M5:{sequence.md5}")
        return ""
