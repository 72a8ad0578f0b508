"""The check target: every problem a scan would meet is named (sample, file, chromosome, what
to do) before any split or scan, all at once; warnings do not stop it; a wrong setting is one
line; it reads the files as they are now, also in a finished folder."""

import gzip
import os
import subprocess
from pathlib import Path

import pytest

from cohort import split_fields
from conftest import copy_example, run_workflow
from plan import vcf_name_problems

OUTDIR = Path("build/cohort-example")
EXAMPLE = Path("examples/cohort")


def cut_short(folder: Path) -> None:
    """NA101's file cut while copied: no end-of-file marker, its old index beside it."""
    bam = folder / EXAMPLE / "NA101.bam"
    bam.write_bytes(bam.read_bytes()[:bam.stat().st_size * 2 // 3])


def reference_like(folder: Path, change) -> None:
    """other.fa: the example's reference changed by change(lines), with its own .fai."""
    lines = (folder / EXAMPLE / "ref.fa").read_text().splitlines(keepends=True)
    (folder / EXAMPLE / "other.fa").write_text("".join(change(lines)))
    subprocess.run(["samtools", "faidx", folder / EXAMPLE / "other.fa"], check=True)


def rewrite_vcf(folder: Path, change) -> None:
    """The example's VCF with its lines changed by change(lines), bgzipped again."""
    vcf = folder / EXAMPLE / "cohort.vcf.gz"
    lines = gzip.decompress(vcf.read_bytes()).decode().splitlines(keepends=True)
    with open(vcf, "wb") as out:
        subprocess.run(["bgzip", "-c"], input="".join(change(lines)).encode(), stdout=out,
                       check=True)


def errors(result: subprocess.CompletedProcess) -> list[str]:
    return [line.strip() for line in result.stderr.splitlines() if "ERROR" in line]


def without_chr21(lines: list[str]) -> list[str]:
    return lines[:lines.index(">chr21\n")]


def one_base_changed(lines: list[str]) -> list[str]:
    second = lines[1]
    lines[1] = ("C" if second[0] != "C" else "G") + second[1:]
    return lines


@pytest.mark.parametrize("spoil, config, messages", [
    (cut_short, [], ["sample NA101: examples/cohort/NA101.bam: no end-of-file marker"]),
    (lambda f: reference_like(f, without_chr21), ["reference=examples/cohort/other.fa"],
     ["sample NA104: examples/cohort/NA104.cram, chromosome chr21: the reference "
      "examples/cohort/other.fa has no sequence named chr21", "--config reference="]),
    (lambda f: reference_like(f, one_base_changed), ["reference=examples/cohort/other.fa"],
     ["sample NA104: examples/cohort/NA104.cram, chromosome chr20: chr20 of the reference "
      "examples/cohort/other.fa has the MD5"]),
], ids=["truncated BAM", "CRAM reference without the chromosome", "CRAM reference, other MD5"])
def test_check_stops_before_any_split_or_scan(tmp_path, program, spoil, config, messages):
    folder = copy_example(tmp_path)
    spoil(folder)
    result = run_workflow(folder, program, *config, targets=("check",))
    assert result.returncode == 1
    for message in messages:
        assert message in result.stderr
    assert not (folder / OUTDIR / "logs" / "split_vcf").exists()
    assert not (folder / OUTDIR / "logs" / "scan").exists()


def test_every_problem_is_listed_at_once(tmp_path, program):
    folder = copy_example(tmp_path)
    cut_short(folder)
    with open(folder / EXAMPLE / "samples.tsv", "a") as table:
        table.write("NA102\texamples/cohort/NA102.bam\nNA105\n")
    result = run_workflow(folder, program, targets=("check",))
    assert result.returncode == 1
    assert "3 problems with the inputs" in result.stderr
    table = "samples table examples/cohort/samples.tsv"
    for message in (f"{table}, line 7: sample NA102: examples/cohort/NA102.bam is already "
                    "listed on line 6", f"{table}, line 8: expected a sample name and a file",
                    "sample NA101: examples/cohort/NA101.bam: no end-of-file marker"):
        assert f"    * {message}" in result.stderr


def test_check_warns_of_stale_indexes_and_sums_up_the_run(tmp_path, program):
    """A VCF index older than the VCF is not used (one is made under outdir); an alignment
    index older than its file is a warning; the summary counts jobs and their costs."""
    folder = copy_example(tmp_path)
    cohort = folder / EXAMPLE
    subprocess.run(["tabix", "-p", "vcf", cohort / "cohort.vcf.gz"], check=True)
    for stale in ("cohort.vcf.gz.tbi", "NA102.bam.bai"):
        os.utime(cohort / stale, (1e9, 1e9))
    result = run_workflow(folder, program, targets=("check",))
    assert result.returncode == 0, result.stderr
    assert (folder / OUTDIR / "work" / "cohort.vcf.gz.csi").is_file()
    assert ("WARNING: config 'vcf': its index examples/cohort/cohort.vcf.gz.tbi is older than "
            "examples/cohort/cohort.vcf.gz, so it is not used") in result.stderr
    assert ("WARNING: sample NA102: examples/cohort/NA102.bam: its index "
            "examples/cohort/NA102.bam.bai is older than the file") in result.stderr
    assert ("Checked: 2 chromosome(s) (chr20, chr21), 4 sample(s) with files in 2 group(s), "
            "1 sample(s) of the VCF without files.") in result.stderr
    assert "scan 4, merge 2" in result.stderr and "  chr20: 2 job(s), " in result.stderr
    assert not (folder / OUTDIR / "logs" / "scan").exists()


def test_a_wrong_setting_is_one_line(tmp_path, program):
    folder = copy_example(tmp_path)
    result = run_workflow(folder, program, "sample_per_job=3", "read_quality=high",
                          targets=("--dry-run",))
    assert result.returncode == 1
    lines = [line for line in result.stderr.splitlines() if not line.startswith("Config file")]
    assert lines[:2] == ["unknown setting [sample_per_job]: did you mean samples_per_job?",
                         "setting [read_quality]: 'high' is not a whole number"]
    assert "Traceback" not in result.stderr and "properties" not in result.stderr


def test_a_file_changed_after_the_plan_is_checked_again(tmp_path, program):
    folder = copy_example(tmp_path)
    assert run_workflow(folder, program, targets=("check",)).returncode == 0
    cut_short(folder)
    result = run_workflow(folder, program, targets=("check",))
    assert result.returncode == 1
    assert "sample NA101: examples/cohort/NA101.bam: no end-of-file marker" in result.stderr


def test_a_sample_name_with_a_blank_is_refused(tmp_path, program):
    """bridgeScan would read "NA 102" as two samples and scan every later one with its
    neighbour's genotypes."""
    folder = copy_example(tmp_path)
    rewrite_vcf(folder, lambda lines: [line.replace("\tNA102\t", "\tNA 102\t")
                                       if line.startswith("#CHROM") else line for line in lines])
    result = run_workflow(folder, program, targets=("check",))
    assert result.returncode == 1
    assert errors(result) == ["ERROR: config 'vcf': column 11 of the #CHROM line, sample "
                              "'NA 102', holds a blank: bridgeScan would read two samples there "
                              "and scan every later sample with its neighbour's genotypes "
                              "(rename it, e.g. with bcftools reheader)"]


@pytest.mark.parametrize("names, problem", [
    ("NA101\tNA102", None),
    ("NA101\tNA 102\tNA103", "column 11 of the #CHROM line, sample 'NA 102', holds a blank"),
    ("NA101\t\tNA102", "column 11 of the #CHROM line holds"),
], ids=["well formed", "a blank", "an empty name"])
def test_sample_names_read_otherwise_by_bridgescan_are_refused(tmp_path, names, problem):
    chrom_line = "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO",
                            "FORMAT", names])
    vcf = tmp_path / "names.vcf"
    vcf.write_text(f"##fileformat=VCFv4.2\n{chrom_line}\n")
    scanned = [name.decode() for name in split_fields(chrom_line.encode())[9:]]
    problems = vcf_name_problems(vcf, scanned)
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1 and problems[0].startswith(f"config 'vcf': {problem}")


@pytest.fixture(scope="module")
def finished(tmp_path_factory, program) -> Path:
    """The example's chr21, scanned and gathered."""
    folder = copy_example(tmp_path_factory.mktemp("finished"))
    result = run_workflow(folder, program, "chromosomes=chr21")
    assert result.returncode == 0, result.stderr
    return folder


def test_an_unreadable_samples_table_stops_the_workflow_at_once(finished, program):
    result = run_workflow(finished, program, "chromosomes=chr21",
                          "samples=examples/cohort/missing.tsv", targets=("check",))
    assert result.returncode == 1
    assert [line for line in result.stderr.splitlines() if "missing.tsv" in line] == [
        "samples table examples/cohort/missing.tsv: cannot be read (No such file or directory)"]
    assert "Checked:" not in result.stderr


def test_check_reads_the_files_as_they_are_now(finished, program):
    """A VCF rewritten with its old time still is checked again."""
    vcf = finished / EXAMPLE / "cohort.vcf.gz"
    kept = vcf.read_bytes(), vcf.stat().st_mtime_ns
    try:
        rewrite_vcf(finished, lambda lines: [line.replace("\tNA104\t", "\tNA 104\t")
                                             for line in lines])
        os.utime(vcf, ns=(kept[1], kept[1]))
        result = run_workflow(finished, program, "chromosomes=chr21", targets=("check",))
        assert result.returncode == 1
        assert "column 13 of the #CHROM line, sample 'NA 104', holds a blank" in result.stderr
    finally:
        vcf.write_bytes(kept[0])
        os.utime(vcf, ns=(kept[1], kept[1]))


def test_a_new_phase_min_lod_scans_the_cohort_again(finished, program):
    result = run_workflow(finished, program, "chromosomes=chr21", "phase_min_lod=5",
                          options=("--printshellcmds",))
    assert result.returncode == 0, result.stderr
    scans = [line for line in result.stderr.splitlines() if "--phase-min-lod 5" in line]
    assert len(scans) == 2
    again = run_workflow(finished, program, "chromosomes=chr21", "phase_min_lod=5")
    assert "Nothing to be done" in again.stdout + again.stderr


def test_sites_past_the_programs_reach_are_counted_and_the_run_completes(tmp_path, program):
    """A site at 1,500,000,000, past bridgeScan's default --to: warned by the plan, written by
    no scan, and left out of the gathered phase sets."""
    def with_far_site(lines: list[str]) -> list[str]:
        last = max(k for k, line in enumerate(lines) if line.startswith("chr20\t"))
        far = lines[last].split("\t")
        far[1] = "1500000000"
        return lines[:last + 1] + ["\t".join(far)] + lines[last + 1:]

    folder = copy_example(tmp_path)
    rewrite_vcf(folder, with_far_site)
    result = run_workflow(folder, program)
    assert result.returncode == 0, result.stderr
    assert ("WARNING: config 'vcf': 1 site(s) of chr20 lie at or past position 1000000000, where "
            "bridgeScan stops (its default --to)") in result.stderr
    phased = gzip.decompress((folder / OUTDIR / "chr20.phased.vcf.gz").read_bytes()).decode()
    assert "\t1500000000\t" not in phased
    assert (folder / OUTDIR / "report.html").is_file()
