"""Gathers the phase sets of one chromosome from its groups' scans into one bgzipped, indexed VCF
holding the same records as one bridgeScan run over the whole cohort with --phase-sets.

Each scan writes of its samples' phase sets what the gather needs (bridgeScan --phase-part):
per line it selected as a site, its number among them, POS, REF, ALT and FORMAT, and each value
the reads phased with the sample's place in the group; the first group's part holds every
selected line, the others only the lines where one of their samples is phased; a last line "#end"
and the number of selected lines. The gather is bridgeScan's own (--gather-phase-sets), at the
speed of htslib: it walks the chromosome's lines of the cohort VCF beside the parts and writes a
line when it is the next line the parts hold, with each group's values put back in place, the
groups' other values without the phase the VCF gave them, and every other byte as it stands,
holding no more than --batch-groups parts open at once (beyond, it first combines them batch by
batch). The header records the cohort's run: the program's version and the workflow's
settings."""

import tempfile
from pathlib import Path

from cohort import InputError, load_json, run_logged, run_on_chromosome, script_arguments


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
