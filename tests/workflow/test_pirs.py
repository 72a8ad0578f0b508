"""The PIR checker rejects each kind of damage at its line, a scan job refuses a part that does
not fit its group, and the merge puts the parts one after another."""

import gzip
from pathlib import Path
from types import SimpleNamespace

import pytest

import merge
import pirs
import scan_part
from cohort import InputError

MAP = "MAP 3\n100\tA\tG\n180\tC\tT\n250\tAT\tA\n"
VALID = MAP + "S2 0\nS1 2\n0\tA\t30\t1\tT\t25\n0\tG\t30\t1\tC\t20\n"
STATS_HEADER = "sample\thet_snps\trecords\tdropped_flag\tdropped_mapq\tdropped_baseq\treads\t" \
               "pirs\tsnps_in_pirs\n"


def check(path: Path, capsys) -> tuple[int, str]:
    status = pirs.main([str(path)])
    return status, capsys.readouterr().err


def test_a_well_formed_file_passes(tmp_path, capsys):
    path = tmp_path / "good.pirs.gz"
    path.write_bytes(gzip.compress(VALID.encode()))
    assert pirs.main([str(path)]) == 0
    assert capsys.readouterr().out == f"{path}: 3 sites, 2 samples, 2 PIRs\n"


@pytest.mark.parametrize("old, new, line, message", [
    ("MAP 3", "MAP three", 1, "must start with a line 'MAP"),
    ("180\tC\tT", "180\tC", 3, "a site line is POS, REF and ALT"),
    ("MAP 3", "MAP 4", 5, "a site line is POS, REF and ALT"),
    ("S2 0", "S2 zero", 5, "a block starts with"),
    ("S1 2", "S1 3", 8, "the file ends: the block of S1 holds 2 of its 3 PIRs"),
    ("1\tC\t20\n", "1\tC\t20\t2\n", 8, "7 fields"),
    ("0\tA\t30\t1\tT\t25", "0\tA\t30", 7, "at least two observations"),
    ("0\tA\t30\t1\tT", "1\tA\t30\t1\tT", 7, "site index 1 does not increase"),
    ("0\tA\t30\t1\tT", "0\tA\t30\t3\tT", 7, "outside the map of 3 sites"),
    ("0\tA\t30\t1\tT", "0\tR\t30\t1\tT", 7, "base 'R'"),
    ("0\tA\t30\t1\tT\t25", "0\tA\t30\t1\tT\t256", 7, "above 255"),
    ("0\tA\t30\t1\tT\t25", "0\tA\tx\t1\tT\t25", 7, "must be numbers"),
    ("20\n", "20", 8, "no newline: the file is truncated"),
], ids=["map header", "site fields", "map shorter than announced", "block header",
        "block shorter than announced", "fields not in threes", "one observation",
        "index not increasing", "index outside map", "base", "quality", "not a number",
        "truncated line"])
def test_the_checker_names_the_first_damage_and_its_line(tmp_path, capsys, old, new, line,
                                                          message):
    path = tmp_path / "damaged.pirs"
    path.write_text(VALID.replace(old, new, 1))
    status, error = check(path, capsys)
    assert status == 1
    assert error.startswith(f"{path}:{line}: ") and message in error


def test_a_truncated_compressed_file_is_rejected(tmp_path, capsys):
    path = tmp_path / "cut.pirs.gz"
    path.write_bytes(gzip.compress(VALID.encode())[:-12])
    status, error = check(path, capsys)
    assert status == 1 and "cannot be read" in error


def write_parts(folder: Path, parts: list[tuple[str, str]]) -> tuple[list[Path], list[Path]]:
    """Each part as the scan writes it: a compressed PIR part and its statistics."""
    pir_paths, stats_paths = [], []
    for k, (text, stats) in enumerate(parts, start=1):
        pir_paths.append(folder / f"group{k}.pirs.gz")
        pir_paths[-1].write_bytes(gzip.compress(text.encode()))
        stats_paths.append(folder / f"group{k}.stats.tsv")
        stats_paths[-1].write_text(STATS_HEADER + stats)
    return pir_paths, stats_paths


def check_part(folder: Path, group: int, pirs: Path, stats: Path) -> Path:
    """What the scan job runs on its part; returns its histogram."""
    histogram = folder / f"group{group}.sites.tsv"
    scan_part.main(SimpleNamespace(plan=str(folder / "plan.json"), group=str(group),
                                   pirs=str(pirs), stats=str(stats), histogram=str(histogram),
                                   phased=""))
    return histogram


def run_merge(folder: Path, parts: list[tuple[str, str]]) -> Path:
    """Each part checked as its scan job checks it, then the merge."""
    (folder / "plan.json").write_text('{"groups": [["S2", "S1"], ["S3"]]}')
    pir_paths, stats_paths = write_parts(folder, parts)
    histograms = [check_part(folder, k, pirs, stats)
                  for k, (pirs, stats) in enumerate(zip(pir_paths, stats_paths), start=1)]
    out = folder / "chr1.pirs.gz"
    merge.main(folder / "plan.json", "chr1", pir_paths, stats_paths, histograms,
               (out, folder / "chr1.stats.tsv", folder / "chr1.sites.tsv"))
    return out


BLOCKS_ONLY = "S3 1\n0\tA\t30\t1\tT\t25\t2\tA\t9\n"
GOOD_PARTS = [(VALID, "S2\t1\t2\t0\t0\t0\t0\t0\t0\nS1\t3\t9\t0\t0\t0\t4\t2\t2\n"),
              (BLOCKS_ONLY, "S3\t3\t9\t0\t0\t0\t4\t1\t3\n")]


def test_the_merge_puts_the_parts_in_group_order(tmp_path):
    """The first part holds the map section, the second its blocks alone (--blocks-only): the
    gathered file is one direct run's bytes."""
    out = run_merge(tmp_path, GOOD_PARTS)
    assert gzip.decompress(out.read_bytes()).decode() == VALID + BLOCKS_ONLY
    stats = (tmp_path / "chr1.stats.tsv").read_text().splitlines()
    assert stats[0].startswith("chromosome\tsample\t") and len(stats) == 4
    assert [line.split("\t")[:2] for line in stats[1:]] == [["chr1", "S2"], ["chr1", "S1"],
                                                            ["chr1", "S3"]]
    assert (tmp_path / "chr1.sites.tsv").read_text() == "sites\tpirs\n2\t2\n3\t1\n"


@pytest.mark.parametrize("part, message", [
    ((MAP + BLOCKS_ONLY, GOOD_PARTS[1][1]), "at least two observations"),
    ((BLOCKS_ONLY.replace("S3", "S4"), GOOD_PARTS[1][1]), "blocks of S4 where its group"),
    ((BLOCKS_ONLY, GOOD_PARTS[1][1].replace("\t1\t3", "\t2\t3")), "do not match"),
    (("S3 2\n0\tA\t30\t1\tT\t25\n", GOOD_PARTS[1][1]), "the file ends"),
    ((BLOCKS_ONLY.replace("\t9\n", "\n"), GOOD_PARTS[1][1]), ":2: 8 fields"),
], ids=["map where blocks alone", "other samples", "statistics disagree", "truncated part",
        "damaged PIR"])
def test_a_part_that_does_not_fit_fails_its_scan_and_is_never_merged(tmp_path, part, message):
    with pytest.raises(InputError, match=message):
        run_merge(tmp_path, [GOOD_PARTS[0], part])
    assert sorted(p.name for p in tmp_path.glob("chr1.*")) == []
