"""The cohort's inputs as the workflow sees them: the samples table, the VCF (its kind, index,
samples and text) and the alignment files (index, sequence names). Shared by the Snakefile's
checks and the scripts of its rules."""

import argparse
import json
import re
import subprocess
import sys
import tempfile
import traceback
import zlib
from contextlib import contextmanager, redirect_stderr
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator

BLANKS = re.compile(rb"[ \t]+")
BGZF_BLOCK_SIZE = 65536
PIPE_BUFFER = 1 << 20  # a cohort VCF line holds thousands of fields
MAX_POSITION = 2**31 - 1


class InputError(Exception):
    """A problem with the user's inputs or configuration; the message names what is wrong."""


@dataclass(frozen=True)
class SampleFile:
    """One line of the samples table: a sample and one of its alignment files."""

    sample: str
    path: str


def split_fields(line: bytes) -> list[bytes]:
    """Splits a VCF line as bridgeScan does: at runs of spaces and tabs, so that a stray space
    shifts the columns for the split exactly as it does for a direct run."""
    if b" " in line or b"\t\t" in line:
        return BLANKS.split(line)
    return line.split(b"\t")


def parse_sample_table(path: Path) -> tuple[list[SampleFile], list[str]]:
    """The samples table's lines (sample name and alignment file, blank- or tab-separated;
    '#' lines and blank lines skipped) and every problem with them."""
    rows: list[SampleFile] = []
    problems: list[str] = []
    seen: dict[str, int] = {}
    try:
        text = path.read_text()
    except OSError as problem:
        raise InputError(f"samples table {path}: cannot be read ({problem.strerror})") from None
    for number, line in enumerate(text.splitlines(), start=1):
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        where = f"samples table {path}, line {number}"
        if len(fields) != 2:
            problems.append(f"{where}: expected a sample name and a file, found {len(fields)} "
                            "fields")
            continue
        sample, name = fields
        if not name.endswith((".bam", ".cram")):
            problems.append(f"{where}: sample {sample}: {name} is not a .bam or .cram file")
            continue
        resolved = str(Path(name).resolve())
        if resolved in seen:
            # A file read twice for one sample makes every read overlap itself: no PIR at all.
            problems.append(f"{where}: sample {sample}: {name} is already listed on line "
                            f"{seen[resolved]} (list each file once)")
            continue
        seen[resolved] = number
        rows.append(SampleFile(sample, name))
    if not rows and not problems:
        problems.append(f"samples table {path}: lists no file")
    return rows, problems


def problem_list(problems: list[str]) -> str:
    """One message for several problems, one per line beneath a count, as bridgeScan lists
    the details of a message."""
    if len(problems) == 1:
        return problems[0]
    return f"{len(problems)} problems with the inputs:\n" + "".join(
        f"  * {problem}\n" for problem in problems).rstrip("\n")


def vcf_kind(path: Path) -> str:
    """'bcf' or 'vcf' for a BGZF-compressed file; raises InputError for anything else."""
    try:
        with open(path, "rb") as stream:
            block = stream.read(BGZF_BLOCK_SIZE)
    except OSError as problem:
        raise InputError(f"config 'vcf': {path} cannot be read ({problem.strerror})") from None
    if len(block) < 18 or block[:4] != b"\x1f\x8b\x08\x04" or block[12:14] != b"BC":
        raise InputError(f"config 'vcf': {path} is not compressed with bgzip (run bgzip on it) "
                         "nor a BCF file")
    start = zlib.decompressobj(zlib.MAX_WBITS | 16).decompress(block, 3)
    return "bcf" if start == b"BCF" else "vcf"


def existing_index(path: Path, suffixes: tuple[str, ...]) -> Path | None:
    """The index beside a file, where htslib looks for it: FILE.ext, or FILE's stem.ext."""
    for suffix in suffixes:
        for candidate in (Path(f"{path}{suffix}"), path.with_suffix(suffix)):
            if candidate.is_file():
                return candidate
    return None


def older(index: Path, path: Path) -> bool:
    """Whether the index was written before its file, in whole seconds as htslib compares."""
    return int(index.stat().st_mtime) < int(path.stat().st_mtime)


def stale_vcf_index(vcf: Path) -> Path | None:
    """The index beside the VCF when it is older than the VCF: one made before the VCF was
    written again, which would point into the old file. The workflow makes its own then."""
    index = existing_index(vcf, vcf_index_suffixes(vcf_kind(vcf)))
    return index if index is not None and older(index, vcf) else None


def vcf_index_suffixes(kind: str) -> tuple[str, ...]:
    return (".csi",) if kind == "bcf" else (".tbi", ".csi")


def alignment_index_suffixes(path: str) -> tuple[str, ...]:
    return (".crai",) if path.endswith(".cram") else (".bai", ".csi")


def indexed(vcf: Path, index: Path) -> str:
    """The name under which htslib's tools read the VCF with an index kept elsewhere."""
    return f"{vcf}##idx##{index}"


def vcf_header_command(vcf: Path, index: Path) -> list[str]:
    if vcf_kind(vcf) == "bcf":
        return ["bcftools", "view", "--no-version", "-h", indexed(vcf, index)]
    return ["tabix", "-H", indexed(vcf, index)]


@contextmanager
def chromosome_command(vcf: Path, index: Path, chromosome: str) -> Iterator[list[str]]:
    """The command that writes the VCF's header and the chromosome's data lines, as text: the
    lines as they stand for a bgzipped VCF, as bcftools prints them for a BCF file."""
    if vcf_kind(vcf) == "vcf":
        yield ["tabix", "-h", indexed(vcf, index), chromosome]
        return
    # Given as a regions file, not as a region: bcftools cannot parse names such as
    # HLA-A*01:01:01:01 as a region, and tabix takes them as they are.
    with tempfile.NamedTemporaryFile("w", suffix=".regions") as region:
        region.write(f"{chromosome}\t1\t{MAX_POSITION}\n")
        region.flush()
        yield ["bcftools", "view", "--no-version", "-Ov", "-R", region.name,
               indexed(vcf, index)]


def chromosome_lines(vcf: Path, index: Path, chromosome: str) -> Iterator[bytes]:
    """The lines chromosome_command writes."""
    with chromosome_command(vcf, index, chromosome) as command:
        yield from stream_lines(command)


def read_in_place(vcf: Path, index: Path) -> bool:
    """Whether bridgeScan reads the VCF through `index` itself: the index it looks for beside
    the VCF, not older than it. It then decompresses on its own threads."""
    found = existing_index(vcf, (".tbi",) if vcf_kind(vcf) == "vcf" else (".csi",))
    return found is not None and found == index and not older(found, vcf)


def run_on_chromosome(command: list[str], vcf: Path, index: Path, chromosome: str) -> int:
    """Runs bridgeScan `command` on the chromosome's lines of the VCF (--vcf and --chrom added),
    read in place when it can be, else piped from chromosome_command; its messages go where
    this process's standard error does (a rule's log). Returns its status."""
    if read_in_place(vcf, index):
        return run_into_stderr(command + ["--vcf", str(vcf), "--chrom", chromosome])
    with chromosome_command(vcf, index, chromosome) as reading, \
            tempfile.TemporaryFile() as messages:
        with subprocess.Popen(reading, stdout=subprocess.PIPE, stderr=messages) as lines:
            status = run_into_stderr(command + ["--vcf", "/dev/stdin", "--chrom", chromosome],
                                     stdin=lines.stdout)
            lines.stdout.close()
        if lines.returncode != 0 and status == 0:
            messages.seek(0)
            raise InputError(f"{' '.join(reading)} failed: {messages.read().decode().strip()}")
    return status


def run_into_stderr(command: list[str], **options) -> int:
    sys.stderr.flush()
    return subprocess.run(command, stderr=sys.stderr, **options).returncode


def stream_lines(command: list[str]) -> Iterator[bytes]:
    """Yields the lines a command writes; raises InputError when it fails. Its messages go to
    a file, not a pipe, so that a talkative command can never block on a pipe nobody reads."""
    with tempfile.TemporaryFile() as messages:
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=messages,
                              bufsize=PIPE_BUFFER) as process:
            yield from process.stdout  # type: ignore[union-attr]
        if process.returncode != 0:
            messages.seek(0)
            error = messages.read().decode(errors="replace").strip()
            raise InputError(f"{' '.join(command)} failed: {error}")


def vcf_samples(vcf: Path, index: Path) -> list[str]:
    """The sample names of the #CHROM line, split as bridgeScan splits it."""
    for line in stream_lines(vcf_header_command(vcf, index)):
        fields = split_fields(line.rstrip(b"\n"))
        if fields[0] == b"#CHROM":
            return [name.decode() for name in fields[9:]]
    raise InputError(f"config 'vcf': {vcf} has no #CHROM line")


def other_spelling(chromosome: str) -> str:
    """chr20 for 20 and 20 for chr20, MT for chrM and chrM for MT, as bridgeScan names them."""
    if chromosome in ("chrM", "MT"):
        return "MT" if chromosome == "chrM" else "chrM"
    return chromosome[3:] if chromosome.startswith("chr") else "chr" + chromosome


def own_spelling(chromosome: str, names: dict) -> str | None:
    """The file's name for a VCF chromosome: the same, or its other spelling. Builds that
    differ in a sequence (chrM of hg19 is not MT of GRCh37) differ in its length too, which
    the plan compares."""
    for candidate in (chromosome, other_spelling(chromosome)):
        if candidate in names:
            return candidate
    return None


def load_json(path: Path) -> dict:
    with open(path) as stream:
        return json.load(stream)


def script_arguments(description: str, single: list[str], several: tuple[str, ...] = (),
                     optional: tuple[str, ...] = ()) -> argparse.Namespace:
    """The command line of a rule's script: --log and each of `single` take one value, each of
    `several` any number, each of `optional` one or none (then the empty text)."""
    parser = argparse.ArgumentParser(description=description)
    for name in ["log", *single]:
        parser.add_argument(f"--{name}", required=True)
    for name in optional:
        parser.add_argument(f"--{name}", default="")
    for name in several:
        parser.add_argument(f"--{name}", nargs="*", default=[])
    return parser.parse_args()


def run_logged(log: str, body: Callable[[], None], mode: str = "w") -> None:
    """Runs a rule's script with its messages in the rule's log (mode "a": after what the job
    wrote there before). A problem with the inputs ends the job with status 1 and one ERROR:
    line (details beneath it), which the rule shows on the console as it shows bridgeScan's."""
    with open(log, mode) as stream, redirect_stderr(stream):
        try:
            body()
        except InputError as problem:
            print(f"ERROR: {problem}", file=stream)
            sys.exit(1)
        except Exception:
            traceback.print_exc(file=stream)
            raise


def warn(message: str) -> None:
    """A warning in the job's log and on the console, where it is seen while the run goes on."""
    for target in {sys.stderr, sys.__stderr__}:
        print(f"WARNING: {message}", file=target, flush=True)
