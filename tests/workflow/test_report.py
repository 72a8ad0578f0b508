"""The report as a browser shows it (Debian's headless Chromium): the samples that need a look
come first and name a sample made an outlier on purpose, the plots are there, the table sorts,
and the phasing columns are shown when the statistics have them."""

import json
import re
import subprocess
from pathlib import Path

import pytest

import plots
import report
from conftest import copy_example, run_workflow

OUTDIR = Path("build/cohort-example")
PHASED_HEADER = ("chromosome\tsample\thet_snps\trecords\tdropped_flag\tdropped_mapq\t"
                 "dropped_baseq\treads\tpirs\tsnps_in_pirs\tphased_snps\tblocks\tblock_n50\n")


def rendered(page: Path, fragment: str = "") -> str:
    """The page's DOM once its scripts have run, as headless Chromium builds it."""
    result = subprocess.run(
        ["chromium", "--headless", "--disable-gpu", "--no-sandbox", "--dump-dom",
         f"{page.resolve().as_uri()}{fragment}"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def table_rows(dom: str, table_id: str) -> list[list[str]]:
    table = re.search(f'<table id="{table_id}".*?</table>', dom, re.S).group(0)
    body = table.split("<tbody>")[1]
    return [re.findall(r"<td[^>]*>(.*?)</td>", row) for row in body.split("</tr>")[:-1]]


def add_mapq0_sample(folder: Path) -> None:
    """NA105 with NA101's reads, nine in ten of them at mapping quality 0."""
    cohort = folder / "examples" / "cohort"
    sam = subprocess.run(["samtools", "view", "-h", cohort / "NA101.bam"], check=True,
                         capture_output=True, text=True).stdout.splitlines(keepends=True)
    for k, line in enumerate(sam):
        fields = line.split("\t")
        if not line.startswith("@") and k % 10:
            sam[k] = "\t".join(fields[:4] + ["0"] + fields[5:])
    subprocess.run(["samtools", "view", "-b", "-o", cohort / "NA105.bam", "-"],
                   input="".join(sam).encode(), check=True)
    subprocess.run(["samtools", "index", cohort / "NA105.bam"], check=True)
    with open(cohort / "samples.tsv", "a") as table:
        table.write("NA105\texamples/cohort/NA105.bam\n")


@pytest.fixture(scope="module")
def with_outlier(tmp_path_factory, program) -> Path:
    folder = copy_example(tmp_path_factory.mktemp("outlier"))
    add_mapq0_sample(folder)
    result = run_workflow(folder, program)
    assert result.returncode == 0, result.stderr
    return folder / OUTDIR / "report.html"


def test_the_outlier_comes_first_and_the_plots_are_there(with_outlier):
    dom = rendered(with_outlier)
    assert dom.index('id="outliers"') < dom.index("<img")
    rows = table_rows(dom, "outlier-list")
    assert ["NA105", "share of records dropped"] in [row[:2] for row in rows]
    assert {row[0] for row in rows} == {"NA105"}
    assert len(re.findall(r'<img alt="[a-z_]+" src="data:image/png;base64,', dom)) == 3
    assert "http:" not in dom and "https:" not in dom


def test_settings_hold_absolute_paths_and_rules_their_costs(with_outlier):
    page = with_outlier.read_text()
    assert f"<td>{with_outlier.parents[2] / 'examples/cohort/cohort.vcf.gz'}</td>" in page
    assert ["scan", "6"] in [row[:2] for row in table_rows(page, "run-costs")]


def synthetic_cohort(folder: Path, samples: int, phased: bool) -> Path:
    """stats.tsv of many samples on two chromosomes, alike but for S0007, whose reads phase
    few of its sites; with or without the phasing columns."""
    lines = []
    for chromosome in ("1", "2"):
        for k in range(samples):
            het = 1000 + k % 17
            phased_snps = 200 if k == 7 else 900 + k % 23
            row = [chromosome, f"S{k:04d}", het, 20000 + 37 * k, 100 + k % 13, 300 + k % 29,
                   50 + k % 7, 9000 + k, 3000 + k % 31, 950 + k % 11]
            lines.append(row + ([phased_snps, 40 + k % 5, 50000 + 97 * k] if phased else []))
    header = PHASED_HEADER if phased else "\t".join(PHASED_HEADER.split("\t")[:-3]) + "\n"
    stats = folder / "stats.tsv"
    stats.write_text(header + "".join("\t".join(map(str, row)) + "\n" for row in lines))
    return stats


def make_report(folder: Path, stats: Path, plan: dict | None = None) -> Path:
    pictures = [folder / name for name in ("d.png", "c.png", "s.png")]
    (folder / "sites.tsv").write_text("sites\tpirs\n2\t100\n3\t20\n")
    plots.main(stats, [folder / "sites.tsv"], *pictures)
    (folder / "plan.json").write_text(json.dumps(plan or {
        "chromosomes": [{"name": "1"}, {"name": "2"}], "groups": [], "files": [],
        "without_files": ["S9999"], "warnings": []}))
    page = folder / "report.html"
    report.main(stats, folder / "plan.json", pictures, folder / "logs", folder / "benchmarks",
                {"outdir": "."}, "true", page)
    return page


def test_many_samples_sort_and_show_their_phasing(tmp_path):
    page = make_report(tmp_path, synthetic_cohort(tmp_path, 200, phased=True))
    dom = rendered(page, "#sort=-block_n50")
    assert [row[:2] for row in table_rows(dom, "outlier-list")] == [
        ["S0007", "share of heterozygous SNPs phased"]]
    rows = table_rows(dom, "samples")
    assert len(rows) == 200 and rows[0][0] == "S0199" and rows[-1][0] == "S0000"
    ascending = table_rows(rendered(page, "#sort=sample"), "samples")
    assert [row[0] for row in ascending] == [f"S{k:04d}" for k in range(200)]
    assert 'data-key="share_phased"' in dom and dom.count('data-key="block_n50"') == 1


def test_without_phasing_columns_the_page_leaves_them_out(tmp_path):
    page = make_report(tmp_path, synthetic_cohort(tmp_path, 20, phased=False)).read_text()
    assert "phased" not in page and "block_n50" not in page
    assert "None of the 20 samples" in page and "S9999" in page


def test_warnings_of_the_scans_by_kind_and_damaged_files(tmp_path):
    """Two chromosomes' scans warn of split multi-allelic sites (one kind, concerning the whole
    group); one file of the second group is damaged."""
    samples = [f"S{k:04d}" for k in range(20)]
    plan = {"chromosomes": [{"name": "1"}, {"name": "2"}], "groups": [samples[:10], samples[10:]],
            "files": [[name, f"{name}.bam"] for name in samples], "without_files": [],
            "warnings": ["sample S0001: S0001.bam: its index S0001.bam.bai is older than the file"]}
    for chromosome in ("1", "2"):
        (tmp_path / "logs" / chromosome / "batch1").mkdir(parents=True)
    for chromosome, count in (("1", 3), ("2", 5)):
        (tmp_path / "logs" / chromosome / "batch1" / "group1.log").write_text(
            f"Reading genotypes\n  * 9 samples\nWARNING: {count} positions of [{chromosome}/g1.vcf]"
            " hold more than one SNP record (split multi-allelic sites?)\n")
    (tmp_path / "logs" / "2" / "batch1" / "group2.log").write_text(
        "ERROR: Cannot read BAM file [S0013.bam]\n  * the file has no end-of-file marker\n")
    page = make_report(tmp_path, synthetic_cohort(tmp_path, 20, phased=False), plan).read_text()
    assert ("<td>WARNING: N positions of […] hold more than one SNP record (split multi-allelic "
            "sites?)</td><td class=n>2</td><td>1, 2</td><td>S0000, S0001, ") in page
    assert "<td>2</td><td>S0013</td><td>ERROR: Cannot read BAM file [S0013.bam]; the file has " \
        "no end-of-file marker</td>" in page
    assert "plan: sample S0001: S0001.bam: its index" in page
