"""Writes the inputs of a batch of groups' scans of one chromosome from one read of its VCF
lines: for group k, groupk.vcf.gz (the chromosome's lines with that group's sample columns
only) and groupk.list (the group's files, in table order, with each file's own name for the
chromosome). With --vcfs, the VCFs are written there instead, the k-th of the batch to the
k-th path, each named groupk.vcf.gz in the folder by a link, and paths left over stay empty
files: the workflow removes each as soon as its group's scan is done. With --level batches it
cuts the chromosome instead into one VCF per batch of groups, each holding the batch's samples,
which a second split per batch then cuts into its groups: no read holds more than
--batch-groups files open, whatever the number of groups.

The cutting is bridgeScan's own (--split-groups), at the speed of htslib: lines are cut into
fields as bridgeScan cuts them and otherwise left as they stand, so that each group's scan sees
what a scan of the whole cohort would see for those samples."""

import os
from pathlib import Path

from cohort import (InputError, load_json, run_logged, run_into_stderr, run_on_chromosome,
                    script_arguments)
from layout import Batches


def write_lists(plan: dict, chromosome: dict, numbers: range, outdir: Path) -> None:
    """Each group's BAM list: its samples' files in table order, with their own spelling."""
    for k in numbers:
        members = set(plan["groups"][k - 1])
        with open(outdir / f"group{k}.list", "w") as out:
            for (sample, path), spelling in zip(plan["files"], chromosome["spellings"]):
                if sample in members:
                    out.write(f"{sample}\t{path}\t{spelling}\n")


def groups_file(outputs: list[tuple[Path, list[str]]], path: Path) -> Path:
    """What bridgeScan --split-groups reads: per line an output and its samples."""
    path.write_text("".join("\t".join([str(out), *samples]) + "\n" for out, samples in outputs))
    return path


def run_split(program: str, listing: Path, threads: int, source: Path | None,
              whole: tuple[Path, Path, str]) -> None:
    """Runs bridgeScan --split-groups on the file `source`, or else on the chromosome's lines
    of the cohort VCF `whole` (VCF, index, chromosome) read through its index."""
    command = [program, "--split-groups", str(listing), "--threads", str(threads)]
    if source is not None:
        status = run_into_stderr(command + ["--vcf", str(source)])
    else:
        status = run_on_chromosome(command, *whole)
    if status != 0:
        raise InputError(f"bridgeScan --split-groups failed (status {status}): see above")


def place_vcfs(numbers: range, places: list[Path], outdir: Path) -> list[Path]:
    """The group VCFs' paths: the places in order, each linked from the group's own name in
    `outdir`; the places beyond the batch's groups are left empty."""
    for k, place in zip(numbers, places):
        (outdir / f"group{k}.vcf.gz").symlink_to(os.path.relpath(place, outdir))
    for place in places[len(numbers):]:
        place.touch()
    return places[:len(numbers)]


def main(args) -> None:
    plan = load_json(Path(args.plan))
    batches = Batches(int(args.batch_groups))
    outdir = Path(args.out)
    outdir.mkdir(parents=True, exist_ok=True)
    if args.level == "batches":
        outputs = [(outdir / f"batch{b}.vcf.gz", batches.samples(plan, b))
                   for b in range(1, batches.count(plan) + 1)]
    else:
        numbers = batches.groups(plan, int(args.batch))
        entry = next(c for c in plan["chromosomes"] if c["name"] == args.chromosome)
        write_lists(plan, entry, numbers, outdir)
        paths = ([outdir / f"group{k}.vcf.gz" for k in numbers] if not args.vcfs
                 else place_vcfs(numbers, [Path(v) for v in args.vcfs], outdir))
        outputs = [(path, plan["groups"][k - 1]) for k, path in zip(numbers, paths)]
    listing = groups_file(outputs, outdir / "groups.tsv")
    run_split(args.program, listing, int(args.threads), Path(args.source) if args.source else None,
              (Path(args.vcf), Path(args.index), args.chromosome))
    listing.unlink()


if __name__ == "__main__":
    arguments = script_arguments(__doc__, ["program", "vcf", "index", "plan", "chromosome",
                                           "level", "batch-groups", "threads", "out"],
                                 several=("vcfs",), optional=("batch", "source"))
    run_logged(arguments.log, lambda: main(arguments))
