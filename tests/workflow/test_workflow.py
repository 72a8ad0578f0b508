"""The workflow on the example, run by the real Snakemake: the gathered files equal direct runs
of bridgeScan byte for byte, reruns redo only what is missing, and bad inputs stop it before
any scan."""

import gzip
import subprocess
from pathlib import Path

import pytest

from conftest import copy_example, run_workflow

OUTDIR = Path("build/cohort-example")
CHROMOSOMES = ("chr20", "chr21")
FILES_WITHOUT_CHR = {"examples/cohort/NA102.bam"}


def make_vcf_odd(folder: Path) -> None:
    """Gives the example's VCF a doubled tab between two genotypes and a line short of two
    genotypes: the split must see the columns as bridgeScan sees them."""
    vcf = folder / "examples" / "cohort" / "cohort.vcf.gz"
    lines = gzip.decompress(vcf.read_bytes()).decode().splitlines(keepends=True)
    data = [k for k, line in enumerate(lines) if line.startswith("chr20\t")]
    fields = lines[data[3]].split("\t")
    lines[data[3]] = "\t".join(fields[:10]) + "\t\t" + "\t".join(fields[10:])
    lines[data[7]] = "\t".join(lines[data[7]].split("\t")[:-2]) + "\n"
    with open(vcf, "wb") as out:
        subprocess.run(["bgzip", "-c"], input="".join(lines).encode(), stdout=out, check=True)


def direct_run(folder: Path, program: Path, chromosome: str, vcf_text: str = "",
               options: tuple[str, ...] = ()) -> bytes:
    """bridgeScan (with the further options) on the chromosome's lines of the cohort VCF (or of
    vcf_text) and on every file of the table, in table order, each with its own name for the
    chromosome."""
    vcf = vcf_text or gzip.decompress(
        (folder / "examples/cohort/cohort.vcf.gz").read_bytes()).decode()
    lines = [line for line in vcf.splitlines(keepends=True)
             if line.startswith("#") or line.split("\t", 1)[0] == chromosome]
    (folder / "direct.vcf").write_text("".join(lines))
    table = (folder / "examples/cohort/samples.tsv").read_text().splitlines()
    rows = [line.split() for line in table if line and not line.startswith("#")]
    (folder / "direct.list").write_text("".join(
        f"{sample}\t{path}\t{chromosome[3:] if path in FILES_WITHOUT_CHR else chromosome}\n"
        for sample, path in rows))
    subprocess.run([program, "--vcf", "direct.vcf", "--bam", "direct.list", "--out",
                    "direct.pirs", "--reference", "examples/cohort/ref.fa", *options],
                   cwd=folder, check=True, capture_output=True)
    return (folder / "direct.pirs").read_bytes()


def gathered(folder: Path, chromosome: str) -> bytes:
    return gzip.decompress((folder / OUTDIR / f"{chromosome}.pirs.gz").read_bytes())


@pytest.fixture(scope="module")
def cohort(tmp_path_factory, program):
    """One run of the whole workflow on the example, two samples per job."""
    folder = copy_example(tmp_path_factory.mktemp("cohort"))
    make_vcf_odd(folder)
    result = run_workflow(folder, program)
    assert result.returncode == 0, result.stderr
    return folder


def test_gathered_files_equal_direct_runs(cohort, program):
    for chromosome in CHROMOSOMES:
        assert gathered(cohort, chromosome) == direct_run(cohort, program, chromosome)


def test_gathered_phase_sets_equal_direct_runs(cohort, program):
    """The same records as a direct run over the whole cohort; the sample without files too."""
    for chromosome in CHROMOSOMES:
        direct_run(cohort, program, chromosome, options=("--phase-sets", "direct.phased.vcf"))
        records = [
            [line for line in text.splitlines() if not line.startswith("#")]
            for text in ((cohort / "direct.phased.vcf").read_text(), gzip.decompress(
                (cohort / OUTDIR / f"{chromosome}.phased.vcf.gz").read_bytes()).decode())]
        assert records[0] == records[1]
        assert any(":PS" in line for line in records[0])
        assert (cohort / OUTDIR / f"{chromosome}.phased.vcf.gz.tbi").exists()
        assert not (cohort / OUTDIR / f"{chromosome}.phased.vcf.gz.csi").exists()


def test_statistics_plots_and_report(cohort):
    rows = [line.split("\t") for line in (cohort / OUTDIR / "stats.tsv").read_text().splitlines()]
    assert rows[0][:3] == ["chromosome", "sample", "het_snps"]
    samples = ["NA101", "NA102", "NA103", "NA104"]
    assert [row[:2] for row in rows[1:]] == [[c, s] for c in CHROMOSOMES for s in samples]
    pirs = rows[0].index("pirs")
    for chromosome in CHROMOSOMES:
        headers = [line.split(" ") for line in gathered(cohort, chromosome).decode().splitlines()
                   if line.startswith("NA")]
        assert [[s, n] for s, n in headers] == [row[1:2] + [row[pirs]] for row in rows[1:]
                                                if row[0] == chromosome]
    plots = sorted((cohort / OUTDIR / "plots").glob("*.png"))
    assert len(plots) == 3 and all(p.read_bytes()[:4] == b"\x89PNG" for p in plots)
    page = (cohort / OUTDIR / "report.html").read_text()
    assert page.count('src="data:image/png;base64,') == 3
    assert "http:" not in page and "https:" not in page
    assert "NA104" in page and "samples_per_job" in page and "bridgeScan 1." in page


def test_rerun_does_nothing_and_a_deleted_output_is_rebuilt(cohort, program):
    again = run_workflow(cohort, program)
    assert again.returncode == 0 and "Nothing to be done" in again.stdout + again.stderr
    before = gathered(cohort, "chr21")
    kept = (cohort / OUTDIR / "chr20.pirs.gz").stat().st_mtime_ns
    (cohort / OUTDIR / "chr21.pirs.gz").unlink()
    rebuilt = run_workflow(cohort, program)
    assert rebuilt.returncode == 0, rebuilt.stderr
    assert "chrom=chr20" not in rebuilt.stdout + rebuilt.stderr
    assert gathered(cohort, "chr21") == before
    assert (cohort / OUTDIR / "chr20.pirs.gz").stat().st_mtime_ns == kept


def test_a_bcf_file_and_one_chromosome(tmp_path, program):
    folder = copy_example(tmp_path)
    subprocess.run(["bcftools", "view", "-Ob", "-o", "cohort.bcf", "cohort.vcf.gz"],
                   cwd=folder / "examples/cohort", check=True)
    result = run_workflow(folder, program, "vcf=examples/cohort/cohort.bcf", "chromosomes=chr21")
    assert result.returncode == 0, result.stderr
    assert not (folder / OUTDIR / "chr20.pirs.gz").exists()
    as_text = subprocess.run(["bcftools", "view", "--no-version", "-Ov", "cohort.bcf"],
                             cwd=folder / "examples/cohort", check=True, capture_output=True,
                             text=True).stdout
    assert gathered(folder, "chr21") == direct_run(folder, program, "chr21", as_text)


def replace_in_table(folder: Path, old: str, new: str) -> None:
    table = folder / "examples/cohort/samples.tsv"
    table.write_text(table.read_text().replace(old, new))


def drop_index(folder: Path) -> None:
    (folder / "examples/cohort/NA101.bam.bai").unlink()


def drop_chr21(folder: Path) -> None:
    """NA102's file with its sequence 21 gone from the header."""
    bam = folder / "examples/cohort/NA102.bam"
    sam = subprocess.run(["samtools", "view", "-h", bam, "20"], check=True,
                         capture_output=True, text=True).stdout
    sam = "".join(line for line in sam.splitlines(keepends=True) if "SN:21" not in line)
    subprocess.run(["samtools", "view", "-b", "-o", bam, "-"], input=sam.encode(), check=True)
    subprocess.run(["samtools", "index", bam], check=True)


def change_length(folder: Path) -> None:
    """NA102's file as if aligned to another build, whose chromosome 20 is one base longer."""
    bam = folder / "examples/cohort/NA102.bam"
    header = subprocess.run(["samtools", "view", "-H", bam], check=True, capture_output=True,
                            text=True).stdout.replace("SN:20\tLN:6000", "SN:20\tLN:6001")
    (folder / "header.sam").write_text(header)
    with open(folder / "other.bam", "wb") as out:
        subprocess.run(["samtools", "reheader", folder / "header.sam", bam], stdout=out,
                       check=True)
    (folder / "other.bam").replace(bam)
    subprocess.run(["samtools", "index", bam], check=True)


def add_sample_not_in_vcf(folder: Path) -> None:
    cohort = folder / "examples/cohort"
    for suffix in ("", ".bai"):
        (cohort / f"NA999.bam{suffix}").write_bytes((cohort / f"NA101.bam{suffix}").read_bytes())
    with open(cohort / "samples.tsv", "a") as table:
        table.write("NA999\texamples/cohort/NA999.bam\n")


@pytest.mark.parametrize("spoil, message", [
    (lambda f: replace_in_table(f, "NA101.bam", "NA100.bam"),
     "examples/cohort/NA100.bam: no such file"),
    (drop_index, "examples/cohort/NA101.bam: no index beside it"),
    (drop_chr21, "sample NA102: examples/cohort/NA102.bam has no sequence named chr21 or 21"),
    (add_sample_not_in_vcf, "sample NA999 of the samples table is not in the VCF"),
    (change_length, "examples/cohort/NA102.bam: chr20 is 6001 bp long, but 6000 bp in the VCF"),
    (lambda f: replace_in_table(f, "NA101.bam", "NA102.bam"),
     "examples/cohort/NA102.bam is already listed on line 3"),
], ids=["missing file", "no index", "no such chromosome", "sample not in VCF",
        "another reference build", "file listed twice"])
def test_bad_input_stops_the_workflow_before_any_scan(tmp_path, program, spoil, message):
    folder = copy_example(tmp_path)
    spoil(folder)
    result = run_workflow(folder, program)
    assert result.returncode != 0
    assert message in result.stderr
    assert not (folder / OUTDIR / "logs" / "scan").exists()
    assert not list((folder / OUTDIR).glob("*.pirs.gz"))


def test_a_failing_scan_shows_why_on_the_console(tmp_path, program):
    """A file damaged inside (whole at both ends, so the plan passes it) fails its scan; the
    console holds bridgeScan's reason, not only the log's path."""
    folder = copy_example(tmp_path)
    bam = folder / "examples/cohort/NA101.bam"
    data = bytearray(bam.read_bytes())
    data[35000:35400] = bytes(400)
    bam.write_bytes(data)
    result = run_workflow(folder, program)
    assert result.returncode != 0
    assert "Error in rule scan" in result.stderr
    assert "ERROR: Cannot read BAM file [examples/cohort/NA101.bam]" in result.stderr
    assert not list((folder / OUTDIR).glob("*.pirs.gz"))
