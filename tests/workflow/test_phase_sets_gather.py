"""bridgeScan --gather-phase-sets on parts written here, as the scans write them: more parts than
it may hold open at once, and a part damaged on its way."""

import gzip
import subprocess
from pathlib import Path

from conftest import limit_files

SAMPLES = 40
LINES = 30
OPEN_FILES = 16  # fewer than the parts


def sample_value(sample: int, line: int) -> str | None:
    """The value a sample's scan rewrote at a line, if any: about one line in three."""
    return f"{'0|1' if sample % 2 else '1|0'}:{100 * (line + 1)}" if (sample + line) % 3 == 0 \
        else None


def write_inputs(folder: Path) -> list[str]:
    """The VCF, one part per sample, and the records a direct run writes."""
    names = [f"S{k}" for k in range(SAMPLES)]
    lines = [["1", str(100 * (k + 1)), ".", "A", "G", ".", ".", ".", "GT"] + ["0/1"] * SAMPLES
             for k in range(LINES)]
    header = ["##fileformat=VCFv4.2", "\t".join(["#CHROM", "POS", "ID", "REF", "ALT", "QUAL",
                                                   "FILTER", "INFO", "FORMAT", *names])]
    (folder / "sites.vcf").write_text("\n".join(header + ["\t".join(f) for f in lines]) + "\n")
    for sample in range(SAMPLES):
        with gzip.open(folder / f"part{sample}.gz", "wt") as part:
            for k, fields in enumerate(lines):
                value = sample_value(sample, k)
                if value or sample == 0:
                    part.write("\t".join([str(k), *fields[1:2], *fields[3:5],
                                          "GT:PS" if value else "GT",
                                          *(["0", value] if value else [])]) + "\n")
            part.write(f"#end\t{LINES}\n")
    expected = []
    for k, fields in enumerate(lines):
        values = [sample_value(s, k) for s in range(SAMPLES)]
        expected.append("\t".join(fields[:8] + ["GT:PS" if any(values) else "GT"] +
                                  [v or "0/1" for v in values]))
    return expected


def gather(folder: Path, program: Path, open_parts: int) -> subprocess.CompletedProcess:
    (folder / "parts.tsv").write_text(f"#open_parts\t{open_parts}\n" + "".join(
        f"part{k}.gz\tS{k}\n" for k in range(SAMPLES)))
    return subprocess.run([program, "--gather-phase-sets", "parts.tsv", "--vcf", "sites.vcf",
                           "--phase-sets", "phased.vcf.gz", "--threads", "2"], cwd=folder,
                          capture_output=True, text=True,
                          preexec_fn=lambda: limit_files(OPEN_FILES))


def test_phase_sets_gather_holds_a_bounded_number_of_parts_open(tmp_path, program):
    """40 parts, 4 open at a time: combined in two rounds, within 16 open files; all of them
    open at once is more than the process may hold."""
    expected = write_inputs(tmp_path)
    result = gather(tmp_path, program, 4)
    assert result.returncode == 0, result.stderr
    text = gzip.decompress((tmp_path / "phased.vcf.gz").read_bytes()).decode()
    assert [line for line in text.splitlines() if not line.startswith("#")] == expected
    assert (tmp_path / "phased.vcf.gz.tbi").exists()
    too_many = gather(tmp_path, program, SAMPLES)
    assert too_many.returncode == 1
    assert "Too many open files" in too_many.stderr


def test_a_damaged_phase_sets_part_ends_the_gather_and_leaves_nothing(tmp_path, program):
    write_inputs(tmp_path)
    before = sorted(p.name for p in tmp_path.iterdir())
    damaged = tmp_path / "part7.gz"
    damaged.write_bytes(damaged.read_bytes()[:-12])
    result = gather(tmp_path, program, 4)
    assert result.returncode == 1
    assert result.stderr.splitlines() == ["ERROR: Cannot read phase sets part [part7.gz]: it is "
                                          "damaged"]
    # No output, and no combined parts left behind.
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(before + ["parts.tsv"])
