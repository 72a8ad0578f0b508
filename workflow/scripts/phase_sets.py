"""Gathers the phase sets of one chromosome from its groups' scans into one bgzipped, indexed VCF
holding the same records as one bridgeScan run over the whole cohort with --phase-sets.

Each scan writes its samples' phase sets on the lines of its VCF it selected as sites. What the
gather needs of them is kept in a compressed part (compact_part): per line, its number among the
selected lines, POS, REF, ALT and FORMAT, and each value the scan rewrote (phased by the reads,
or phased in the VCF and written unphased) with the sample's place in the group; the first
group's part holds every selected line, the others only the lines where one of their values is
rewritten; a last line "#end" and the number of selected lines. The gather is bridgeScan's own
(--gather-phase-sets), at the speed of htslib: it walks the chromosome's lines of the cohort VCF
beside the parts and writes a line when it is the next line the parts hold, with each group's
values put back in place and every other byte as it stands, holding no more than --batch-groups
parts open at once (beyond, it first combines them batch by batch). The header records the
cohort's run: the program's version and the workflow's settings."""

import gzip
import tempfile
from pathlib import Path
from typing import Iterator

from cohort import (InputError, load_json, run_logged, run_on_chromosome, script_arguments,
                    split_fields)

END = b"#end"
PART_LEVEL = 1  # parts live only until gathered


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
    """The part of a group's phase sets file (bridgeScan --phase-sets, bgzipped) that the
    gather needs, gzip-compressed; with every_line, every selected line. Its lines are those of
    the group's VCF `source` that the scan selected, in order."""
    number = 0
    inputs = source_lines(source)
    with gzip.open(phased, "rb") as lines, gzip.open(out, "wb", compresslevel=PART_LEVEL) as part:
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


def parts_list(parts: list[str], groups: list[list[str]], settings: str, batch_groups: str,
               path: Path) -> Path:
    """What bridgeScan --gather-phase-sets reads: how many parts it may hold open, the run its
    header records, then per line a part and its group's samples."""
    run = " ".join(f"cohort workflow: {settings}".split())
    path.write_text("".join(f"{line}\n" for line in [
        f"#open_parts\t{batch_groups}", f"#run\t{run}",
        *("\t".join([part, *samples]) for part, samples in zip(parts, groups))]))
    return path


def main(args) -> None:
    groups = load_json(Path(args.plan))["groups"]
    if len(args.parts) != len(groups):
        raise InputError(f"{len(args.parts)} phase sets parts for {len(groups)} groups")
    out = Path(args.out)
    with tempfile.TemporaryDirectory(dir=out.parent, prefix=f".{out.name}.") as scratch:
        listing = parts_list(args.parts, groups, args.settings, args.batch_groups,
                             Path(scratch) / "parts.tsv")
        command = [args.program, "--gather-phase-sets", str(listing), "--phase-sets", str(out),
                   "--threads", args.threads]
        status = run_on_chromosome(command, Path(args.vcf), Path(args.index), args.chromosome)
    if status != 0:
        raise InputError(f"bridgeScan --gather-phase-sets failed (status {status}): see above")


if __name__ == "__main__":
    arguments = script_arguments(__doc__, ["vcf", "index", "plan", "chromosome", "program",
                                           "settings", "batch-groups", "threads", "out"],
                                 ("parts",))
    run_logged(arguments.log, lambda: main(arguments))
