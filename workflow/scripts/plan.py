"""Checks every input of the cohort before any scan starts and writes the plan the other rules
follow: the chromosomes, each file's own name for each of them, and the groups of samples.

Every problem found is reported (each naming its sample or file), not only the first, and the
job then fails, so that a cohort is never scanned in part."""

import json
import subprocess
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from cohort import (InputError, SampleFile, alignment_index_suffixes, existing_index, indexed,
                    other_spelling, own_spelling, read_sample_table, run_logged,
                    script_arguments, vcf_samples)


def indexed_chromosomes(vcf: Path, index: Path) -> dict[str, dict]:
    """The VCF's chromosomes that have data lines, in index order, with their data lines and
    their length when the header gives one (0 otherwise)."""
    command = ["bcftools", "index", "--stats", indexed(vcf, index)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise InputError(f"config 'vcf': cannot read the index of {vcf}: {result.stderr.strip()}")
    chromosomes = {}
    for line in result.stdout.splitlines():
        name, length, records = line.split("\t")
        chromosomes[name] = {"length": int(length) if length.isdigit() else 0,
                             "records": int(records)}
    return chromosomes


def sequence_lengths(path: str) -> dict[str, int] | str:
    """The @SQ names and lengths of an alignment file, or what is wrong with the file."""
    if not Path(path).is_file():
        return "no such file"
    if existing_index(Path(path), alignment_index_suffixes(path)) is None:
        return "no index beside it (samtools index makes one)"
    result = subprocess.run(["samtools", "view", "-H", "--no-PG", path],
                            capture_output=True, text=True)
    if result.returncode != 0:
        return f"cannot read its header: {result.stderr.strip()}"
    lengths = {}
    for line in result.stdout.splitlines():
        if line.startswith("@SQ\t"):
            tags = dict(tag.split(":", 1) for tag in line.split("\t")[1:] if ":" in tag)
            lengths[tags.get("SN", "")] = int(tags.get("LN", "0"))
    return lengths


def chosen_chromosomes(wanted: list[str], indexed_ones: dict[str, dict],
                       problems: list[str]) -> list[str]:
    if not wanted:
        if not indexed_ones:
            problems.append("config 'vcf': the VCF has no data lines")
        return list(indexed_ones)
    for name in wanted:
        if name not in indexed_ones:
            problems.append(f"config 'chromosomes': {name} has no data lines in the VCF "
                            f"(it has: {', '.join(indexed_ones) or 'none'})")
    return [name for name in wanted if name in indexed_ones]


def sample_problems(rows: list[SampleFile], vcf_names: list[str], reference: str) -> list[str]:
    problems = []
    listed = {row.sample for row in rows}
    repeated = {name for name, count in Counter(vcf_names).items() if count > 1}
    for name in sorted(repeated & listed):
        problems.append(f"sample {name} appears more than once in the VCF")
    for name in sorted(listed - set(vcf_names)):
        problems.append(f"sample {name} of the samples table is not in the VCF")
    for row in rows:
        if row.path.endswith(".cram") and not reference:
            problems.append(f"sample {row.sample}: {row.path} is a CRAM file: set the config "
                            "key 'reference' to the FASTA it was written against")
    return problems


def chromosome_entry(name: str, vcf_info: dict, rows: list[SampleFile],
                     headers: dict[str, dict[str, int] | str], problems: list[str]) -> dict:
    """The chromosome's spelling in each file of the table (table order) and its length."""
    spellings = []
    lengths = {}
    for row in rows:
        names = headers[row.path]
        spelling = own_spelling(name, names) if isinstance(names, dict) else None
        if isinstance(names, dict) and spelling is None:
            problems.append(f"sample {row.sample}: {row.path} has no sequence named {name}"
                            f" or {other_spelling(name)}")
        if spelling is not None:
            lengths[row.path] = names[spelling]
        spellings.append(spelling)
    expected = vcf_info["length"] or next(iter(lengths.values()), 0)
    source = "the VCF" if vcf_info["length"] else "the first file"
    for path, length in lengths.items():
        if length != expected:
            problems.append(f"{path}: {name} is {length} bp long, but {expected} bp in {source}:"
                            " files of another reference build?")
    return {"name": name, "length": expected, "records": vcf_info["records"],
            "spellings": spellings}


def groups_of(rows: list[SampleFile], vcf_names: list[str], size: int) -> list[list[str]]:
    """The samples with files, in VCF order, cut into groups: a direct run writes its blocks in
    VCF order, so the groups' outputs put one after another are in that order too."""
    listed = {row.sample for row in rows}
    ordered = [name for name in dict.fromkeys(vcf_names) if name in listed]
    return [ordered[k:k + size] for k in range(0, len(ordered), size)]


def make_plan(vcf: Path, index: Path, rows: list[SampleFile], wanted: list[str],
              samples_per_job: int, reference: str, threads: int) -> dict:
    vcf_names = vcf_samples(vcf, index)
    problems = sample_problems(rows, vcf_names, reference)
    indexed_ones = indexed_chromosomes(vcf, index)
    names = chosen_chromosomes(wanted, indexed_ones, problems)
    paths = list(dict.fromkeys(row.path for row in rows))
    with ThreadPoolExecutor(max_workers=threads) as pool:
        headers = dict(zip(paths, pool.map(sequence_lengths, paths)))
    problems += [f"{path}: {what}" for path, what in headers.items() if isinstance(what, str)]
    chromosomes = [chromosome_entry(name, indexed_ones[name], rows, headers, problems)
                   for name in names]
    if problems:
        raise InputError(f"{len(problems)} problem(s) with the inputs:\n  " +
                         "\n  ".join(problems))
    return {"chromosomes": chromosomes,
            "files": [[row.sample, row.path] for row in rows],
            "groups": groups_of(rows, vcf_names, samples_per_job)}


def main(vcf: Path, index: Path, rows: list[SampleFile], wanted: list[str],
         samples_per_job: int, reference: str, threads: int, out: Path) -> None:
    plan = make_plan(vcf, index, rows, wanted, samples_per_job, reference, threads)
    temporary = out.with_name(out.name + ".tmp")
    temporary.write_text(json.dumps(plan, indent=1) + "\n")
    temporary.replace(out)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["vcf", "index", "samples", "samples-per-job", "threads",
                                      "out"], several=("chromosomes",), optional=("reference",))
    run_logged(args.log, lambda: main(
        Path(args.vcf), Path(args.index), read_sample_table(Path(args.samples)), args.chromosomes,
        int(args.samples_per_job), args.reference, int(args.threads), Path(args.out)))
