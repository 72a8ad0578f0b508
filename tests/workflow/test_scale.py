"""The workflow at many groups and large sizes: the gathered files equal a direct run however
many groups a chromosome is cut into, with fewer files open at once than groups; what each job
asks a scheduler for grows with the cohort and on each retry; the report stays small."""

import gzip
import re
import subprocess
from pathlib import Path

import pytest

from conftest import copy_example, run_workflow
from job_requests import MIN_RUNTIME_MINUTES, Requests
from layout import Batches
from report import FIRST_PAGE, SAMPLE_TSV
from test_report import make_report, synthetic_cohort, table_rows
from test_workflow import CHROMOSOMES, OUTDIR

EXAMPLE = Path("examples/cohort")
COPIES = 10  # of each of the example's four samples with files
OPEN_FILES = 16  # fewer than the groups of two samples
FAR_SITES = {"chr20": 600_000_000, "chr21": 1_500_000_000}  # past a .tbi's reach; past --to


def widen(folder: Path) -> list[tuple[str, str]]:
    """The example as a cohort of 40 samples with files, copies of its four (each with copies
    of its files), and NA105 without; returns the table's rows (sample, file)."""
    cohort = folder / EXAMPLE
    vcf = gzip.decompress((cohort / "cohort.vcf.gz").read_bytes()).decode().splitlines()
    names = [f"S{k:02d}" for k in range(4 * COPIES)]
    lines = []
    for line in vcf:
        fields = line.split("\t")
        if line.startswith("##"):
            lines.append(line)
            continue
        samples = names if line.startswith("#CHROM") else [fields[9 + k % 4]
                                                            for k in range(len(names))]
        lines.append("\t".join(fields[:9] + samples + fields[13:]))
    with open(cohort / "cohort.vcf.gz", "wb") as out:
        subprocess.run(["bgzip", "-c"], input="\n".join(lines).encode() + b"\n", stdout=out,
                       check=True)
    table = [line.split() for line in (cohort / "samples.tsv").read_text().splitlines()
             if line and not line.startswith("#")]
    rows = []
    for k, name in enumerate(names):
        for sample, path in table:
            if sample == f"NA10{k % 4 + 1}":
                rows.append((name, copy_file(folder, Path(path), name)))
    (cohort / "samples.tsv").write_text("".join(f"{s}\t{p}\n" for s, p in rows))
    return rows


def copy_file(folder: Path, path: Path, sample: str) -> str:
    """The file and its index under the sample's name (the file's own name after it)."""
    copy = path.with_name(f"{sample}.{path.name}")
    for suffix in ("", ".bai", ".crai"):
        if (folder / f"{path}{suffix}").exists():
            (folder / f"{copy}{suffix}").write_bytes((folder / f"{path}{suffix}").read_bytes())
    return str(copy)


def direct(folder: Path, program: Path, rows: list[tuple[str, str]], chromosome: str) -> tuple:
    """One bridgeScan run over the whole cohort: its PIR file and its phase sets' records."""
    vcf = gzip.decompress((folder / EXAMPLE / "cohort.vcf.gz").read_bytes()).decode()
    (folder / "direct.vcf").write_text("".join(
        line for line in vcf.splitlines(keepends=True)
        if line.startswith("#") or line.split("\t", 1)[0] == chromosome))
    (folder / "direct.list").write_text("".join(
        f"{sample}\t{path}\t{chromosome[3:] if 'NA102' in path else chromosome}\n"
        for sample, path in rows))
    subprocess.run([program, "--vcf", "direct.vcf", "--bam", "direct.list", "--out", "direct.pirs",
                    "--reference", "examples/cohort/ref.fa", "--phase-sets", "direct.phased.vcf"],
                   cwd=folder, check=True, capture_output=True)
    return ((folder / "direct.pirs").read_bytes(),
            records((folder / "direct.phased.vcf").read_text()))


def records(text: str) -> list[str]:
    return [line for line in text.splitlines() if not line.startswith("#")]


@pytest.fixture(scope="module")
def many_groups(tmp_path_factory, program):
    """The 40 samples in 20 groups of two, gathered 8 at a time, every process allowed
    OPEN_FILES files open."""
    folder = copy_example(tmp_path_factory.mktemp("many"))
    rows = widen(folder)
    result = run_workflow(folder, program, "samples_per_job=2", "batch_groups=8",
                          open_files=OPEN_FILES)
    assert result.returncode == 0, result.stderr
    return folder, rows


def test_many_small_groups_gather_the_direct_runs_files(many_groups, program):
    folder, rows = many_groups
    assert len(list((folder / OUTDIR / "logs/scan/chr20").glob("batch*/group*.log"))) == 20
    for chromosome in CHROMOSOMES:
        pirs, phased = direct(folder, program, rows, chromosome)
        assert gzip.decompress((folder / OUTDIR / f"{chromosome}.pirs.gz").read_bytes()) == pirs
        gathered = gzip.decompress(
            (folder / OUTDIR / f"{chromosome}.phased.vcf.gz").read_bytes()).decode()
        assert records(gathered) == phased and any(":PS" in line for line in phased)
    assert not list((folder / OUTDIR / "work").rglob("group*"))  # temporary parts removed


def test_the_files_a_job_holds_open_are_bounded_by_its_batch(tmp_path, program):
    """The same cohort with every group in one batch: the split opens a file per group, more
    than it may."""
    folder = copy_example(tmp_path)
    widen(folder)
    result = run_workflow(folder, program, "samples_per_job=2", "batch_groups=40",
                          open_files=OPEN_FILES)
    assert result.returncode != 0
    assert "Too many open files" in result.stderr


def test_far_sites_keep_the_direct_runs_records_and_index(tmp_path, program):
    """A site past 2^29 is written and needs a .csi; one at or past --to's default is left out
    by the scans, and so by the gather; the phase sets record the cohort's run."""
    folder = copy_example(tmp_path)
    vcf = folder / EXAMPLE / "cohort.vcf.gz"
    lines = gzip.decompress(vcf.read_bytes()).decode().splitlines(keepends=True)
    for chromosome, position in FAR_SITES.items():
        last = max(k for k, line in enumerate(lines) if line.startswith(chromosome + "\t"))
        fields = lines[last].split("\t")
        lines.insert(last + 1, "\t".join([chromosome, str(position)] + fields[2:]))
    with open(vcf, "wb") as out:
        subprocess.run(["bgzip", "-c"], input="".join(lines).encode(), stdout=out, check=True)
    result = run_workflow(folder, program)
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in (folder / EXAMPLE / "samples.tsv").read_text().splitlines()
            if line and not line.startswith("#")]
    for chromosome, index in (("chr20", ".csi"), ("chr21", ".tbi")):
        gathered = gzip.decompress(
            (folder / OUTDIR / f"{chromosome}.phased.vcf.gz").read_bytes()).decode()
        assert records(gathered) == direct(folder, program, rows, chromosome)[1]
        assert sorted(p.suffix for p in (folder / OUTDIR).glob(f"{chromosome}.phased.vcf.gz.*"))\
            == [index]
    command = re.search(r"^##bridgeScan_command=(.*)$", gathered, re.MULTILINE).group(1)
    assert command.startswith("bridgeScan ") and "cohort workflow" in command
    assert "samples_per_job=2" in command and "group1" not in command


def plan_of(samples: int, chromosomes: int = 22, group: int = 50) -> dict:
    names = [f"S{k}" for k in range(samples)]
    return {"chromosomes": [{"name": str(c + 1), "length": 100_000_000, "records": 3_000_000}
                            for c in range(chromosomes)],
            "groups": [names[k:k + group] for k in range(0, samples, group)],
            "without_files": []}


def test_requests_grow_with_the_cohort_and_on_each_retry():
    # VCFs of about 0.2 compressed bytes per genotype.
    small, large = (Requests(plan_of(n), n * 13, Batches(200)) for n in (3_000, 200_000))
    # The merge copies its parts a buffer at a time: its memory is the same for any cohort.
    steps = [(lambda r, a: r.split("1", None, a), True), (lambda r, a: r.split("1", 1, a), True),
             (lambda r, a: r.merge("1", a), False), (lambda r, a: r.gather("1", a), True),
             (lambda r, a: r.stats(a), True)]
    for step, memory_grows in steps:
        first, retried = step(large, 1), step(large, 2)
        assert retried == (2 * first.mem_mb, 2 * first.runtime)
        assert first.mem_mb > step(small, 1).mem_mb or not memory_grows
        assert first.runtime > step(small, 1).runtime or first.runtime == MIN_RUNTIME_MINUTES
    assert large.gather("1", 1).runtime > 60  # a whole cohort's chromosome: hours, not the default
    wide = Requests(plan_of(3_000, group=500), 3_000 * 13, Batches(200))
    assert wide.scan("1", 1, 1) > small.scan("1", 1, 1)


def test_the_page_stays_small_and_the_whole_table_sits_beside_it(tmp_path):
    samples = 3 * FIRST_PAGE
    page = make_report(tmp_path, synthetic_cohort(tmp_path, samples, phased=True))
    text = page.read_text()
    shown = [row[0] for row in table_rows(text, "samples")]
    assert shown[:FIRST_PAGE] == [f"S{k:04d}" for k in range(FIRST_PAGE)]
    assert shown[FIRST_PAGE:] == ["S0007"] or "S0007" in shown  # the sample that needs a look
    assert len(shown) <= FIRST_PAGE + 1
    assert f'href="{SAMPLE_TSV}"' in text
    table = (tmp_path / SAMPLE_TSV).read_text().splitlines()
    assert len(table) == samples + 1 and table[0].startswith("sample\t")
