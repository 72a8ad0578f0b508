"""Checks every input of the cohort before any scan starts and writes the plan the other rules
follow: the chromosomes, each file's own name for each of them, and the groups of samples.

Every problem a scan would meet is reported, not only the first, each naming the sample, the
file, the chromosome where it matters and what to do, and the job then fails, so that a cohort
is never scanned in part. What deserves a look without stopping the run (an index older than
its file) is a warning, kept in the plan for the check's summary and the report."""

import json
import subprocess
import tempfile
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from itertools import zip_longest
from pathlib import Path

from alignment_checks import AlignmentFile, inspect, reference_fasta
from cohort import (InputError, SampleFile, indexed, other_spelling, own_spelling,
                    parse_sample_table, problem_list, run_logged, script_arguments,
                    stale_vcf_index, stream_lines, vcf_samples, warn)

# bridgeScan's default --to: it writes nothing of a site at or past it.
PROGRAM_TO = 1_000_000_000
# Past this no alignment position reaches, whatever --to says.
LAST_ALIGNED_POSITION = 2**31 - 1
# The end of a region that htslib's indexes take: beyond any VCF position they can hold.
LAST_INDEXED_POSITION = 2**44 - 1
FIRST_SAMPLE_COLUMN = 10  # of the #CHROM line, counted from 1


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


def vcf_names_as_listed(vcf: Path) -> list[str]:
    """The VCF's sample names as htslib reads them: the #CHROM line split at tabs only."""
    return [line.decode().rstrip("\n") for line in stream_lines(["bcftools", "query", "-l",
                                                                 str(vcf)])]


def vcf_name_problems(vcf: Path, scanned_names: list[str]) -> list[str]:
    """bridgeScan splits the #CHROM line at blanks, htslib's tools at tabs: a sample name with
    a space in it would be two samples for the scan and one for everything else, and every
    later sample would be scanned with its neighbour's genotypes."""
    listed = vcf_names_as_listed(vcf)
    where = "config 'vcf': column {} of the #CHROM line"
    problems = [f"{where.format(column)}, sample '{name}', holds a blank: bridgeScan would read "
                "two samples there and scan every later sample with its neighbour's genotypes "
                "(rename it, e.g. with bcftools reheader)"
                for column, name in enumerate(listed, start=FIRST_SAMPLE_COLUMN) if " " in name]
    if problems or scanned_names == listed:
        return problems
    column, (scanned, name) = next(
        (column, pair) for column, pair in enumerate(zip_longest(scanned_names, listed),
                                                     start=FIRST_SAMPLE_COLUMN)
        if pair[0] != pair[1])
    return [f"{where.format(column)} holds {name!r} for bcftools but {scanned!r} for bridgeScan "
            "(blank or empty sample names?): rewrite the #CHROM line with one tab between "
            "names"]


def sites_never_written(vcf: Path, index: Path, chromosomes: list[str]) -> list[str]:
    """Warnings about sites no scan writes: bridgeScan stops at its default --to. Only the
    stretches past it are read, through the index."""
    def count(first: int) -> Counter:
        # A regions file, not regions: bcftools cannot parse names such as HLA-A*01:01:01:01 in
        # a region, and takes them as they are in a file.
        with tempfile.NamedTemporaryFile("w", suffix=".regions") as regions:
            regions.writelines(f"{name}\t{first}\t{LAST_INDEXED_POSITION}\n"
                               for name in chromosomes)
            regions.flush()
            command = ["bcftools", "query", "--regions-overlap", "0", "-R", regions.name,
                       "-f", "%CHROM\n", indexed(vcf, index)]
            return Counter(line.decode().rstrip("\n") for line in stream_lines(command))

    past_to = count(PROGRAM_TO) if chromosomes else Counter()
    if not past_to:
        return []
    beyond = count(LAST_ALIGNED_POSITION + 1)
    return [f"config 'vcf': {sites} site(s) of {name} lie at or past position {PROGRAM_TO}"
            + (f" ({beyond[name]} past {LAST_ALIGNED_POSITION})" if beyond[name] else "")
            + ", where bridgeScan stops (its default --to): no PIR and no phase set holds them"
            for name, sites in past_to.items()]


def table_name_problems(rows: list[SampleFile], vcf_names: list[str]) -> list[str]:
    problems = []
    listed = {row.sample for row in rows}
    repeated = {name for name, count in Counter(vcf_names).items() if count > 1}
    for name in sorted(repeated & listed):
        problems.append(f"sample {name} appears more than once in the VCF")
    for name in sorted(listed - set(vcf_names)):
        problems.append(f"sample {name} of the samples table is not in the VCF (or name it as "
                        "the VCF does)")
    return problems


def cram_problems(rows: list[SampleFile], reference: str) -> list[str]:
    return [f"sample {row.sample}: {row.path} is a CRAM file: set the reference it was written "
            "against (--config reference=FASTA)"
            for row in rows if row.path.endswith(".cram") and not reference]


def chromosome_entry(name: str, vcf_info: dict, rows: list[SampleFile],
                     files: dict[str, AlignmentFile], problems: list[str]) -> dict:
    """The chromosome's spelling in each file of the table (table order) and its length."""
    spellings = []
    lengths = {}
    for row in rows:
        sequences = files[row.path].sequences
        spelling = own_spelling(name, sequences)
        if not files[row.path].problem and spelling is None:
            problems.append(f"sample {row.sample}: {row.path} has no sequence named {name}"
                            f" or {other_spelling(name)} (drop {name} from 'chromosomes', or "
                            "the file from the samples table)")
        if spelling is not None:
            lengths[row] = sequences[spelling].length
        spellings.append(spelling)
    expected = vcf_info["length"] or next(iter(lengths.values()), 0)
    source = "the VCF" if vcf_info["length"] else "the first file"
    for row, length in lengths.items():
        if length != expected:
            problems.append(f"sample {row.sample}: {row.path}: {name} is {length} bp long, but "
                            f"{expected} bp in {source}: files of another reference build?")
    return {"name": name, "length": expected, "records": vcf_info["records"],
            "spellings": spellings}


def reference_problems(rows: list[SampleFile], files: dict[str, AlignmentFile],
                       chromosomes: list[dict], reference: str) -> list[str]:
    """Each CRAM file's chromosomes against the reference: a sequence that is missing, of
    another length or with another MD5 than the file's header gives cannot decode its reads.
    Each sequence's MD5 is computed once, however many files name it."""
    crams = [(k, row) for k, row in enumerate(rows)
             if row.path.endswith(".cram") and not files[row.path].problem]
    if not crams or not reference:
        return []
    fasta = reference_fasta(reference)
    problems = []
    for chromosome in chromosomes:
        for k, row in crams:
            spelling = chromosome["spellings"][k]
            if spelling is None:
                continue
            mismatch = fasta.mismatch(spelling, files[row.path].sequences[spelling])
            if mismatch:
                problems.append(f"sample {row.sample}: {row.path}, chromosome "
                                f"{chromosome['name']}: {mismatch} (set the FASTA the file was "
                                "written against: --config reference=FASTA)")
    return problems


def groups_of(rows: list[SampleFile], vcf_names: list[str], size: int) -> list[list[str]]:
    """The samples with files, in VCF order, cut into groups: a direct run writes its blocks in
    VCF order, so the groups' outputs put one after another are in that order too."""
    listed = {row.sample for row in rows}
    ordered = [name for name in dict.fromkeys(vcf_names) if name in listed]
    return [ordered[k:k + size] for k in range(0, len(ordered), size)]


def file_notes(rows: list[SampleFile], files: dict[str, AlignmentFile],
               kind: str) -> list[str]:
    """The files' problems (kind "problem") or warnings (kind "warning"), naming the sample."""
    notes = []
    for row in rows:
        note = getattr(files[row.path], kind)
        if note:
            notes.append(f"sample {row.sample}: {row.path}: {note}")
    return notes


def make_plan(vcf: Path, index: Path, table: Path, wanted: list[str], samples_per_job: int,
              reference: str, threads: int) -> dict:
    rows, problems = parse_sample_table(table)
    vcf_names = vcf_samples(vcf, index)
    # Until the VCF's names read alike for all, matching the table against them says nothing.
    problems += vcf_name_problems(vcf, vcf_names) or table_name_problems(rows, vcf_names)
    problems += cram_problems(rows, reference)
    indexed_ones = indexed_chromosomes(vcf, index)
    names = chosen_chromosomes(wanted, indexed_ones, problems)
    paths = list(dict.fromkeys(row.path for row in rows))
    with ThreadPoolExecutor(max_workers=threads) as pool:
        files = dict(zip(paths, pool.map(inspect, paths)))
    problems += file_notes(rows, files, "problem")
    chromosomes = [chromosome_entry(name, indexed_ones[name], rows, files, problems)
                   for name in names]
    problems += reference_problems(rows, files, chromosomes, reference)
    if problems:
        raise InputError(problem_list(problems))
    warnings = file_notes(rows, files, "warning") + sites_never_written(vcf, index, names)
    stale = stale_vcf_index(vcf)
    if stale is not None:
        warnings.append(f"config 'vcf': its index {stale} is older than {vcf}, so it is not "
                        f"used: the workflow made {index}")
    listed = {row.sample for row in rows}
    return {"chromosomes": chromosomes,
            "files": [[row.sample, row.path] for row in rows],
            "groups": groups_of(rows, vcf_names, samples_per_job),
            "without_files": [name for name in vcf_names if name not in listed],
            "warnings": warnings}


def main(vcf: Path, index: Path, table: Path, wanted: list[str], samples_per_job: int,
         reference: str, threads: int, out: Path) -> None:
    plan = make_plan(vcf, index, table, wanted, samples_per_job, reference, threads)
    for warning in plan["warnings"]:
        warn(warning)
    temporary = out.with_name(out.name + ".tmp")
    temporary.write_text(json.dumps(plan, indent=1) + "\n")
    temporary.replace(out)


if __name__ == "__main__":
    args = script_arguments(__doc__, ["vcf", "index", "samples", "samples-per-job", "threads",
                                      "out"], several=("chromosomes",), optional=("reference",))
    run_logged(args.log, lambda: main(
        Path(args.vcf), Path(args.index), Path(args.samples), args.chromosomes,
        int(args.samples_per_job), args.reference, int(args.threads), Path(args.out)))
