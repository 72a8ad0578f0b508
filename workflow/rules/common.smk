# Reads and checks the configuration and the samples table once, when the workflow is loaded;
# holds the input functions and the memory estimate of the scan jobs; names the user where the
# environment does not (Snakemake's SLURM executor needs it).
import json
import os
import pwd
import shlex
import shutil
import sys
from functools import lru_cache
from math import ceil

from snakemake.exceptions import WorkflowError
from snakemake.utils import validate

SCRIPTS = Path(workflow.basedir) / "scripts"
sys.path.insert(0, str(SCRIPTS))
from cohort import (InputError, existing_index, load_json, read_sample_table,
                    vcf_index_suffixes, vcf_kind)

validate(config, str(Path(workflow.basedir) / "schemas" / "config.schema.yaml"))

REPOSITORY = Path(workflow.basedir).parent
OUTDIR = config["outdir"].rstrip("/")

# Memory of a scan job. bridgeScan holds one sample's reads at a time: a read (a pair shares
# one entry) costs about BYTES_PER_HELD_READ (README, "Speed and memory"), and a sample holds at
# most one per read pair of its chromosome, LENGTH x DEPTH / PAIR_BASES. It also holds every
# site of the chromosome, about 170 bytes each (BYTES_PER_SITE with some headroom). The
# estimate is doubled on each retry (--retries/--restart-times), and --set-resources
# scan:mem_mb=N overrides it.
ASSUMED_DEPTH = 30
PAIR_BASES = 2 * 150
BYTES_PER_HELD_READ = 130
BYTES_PER_SITE = 200
BASE_MEMORY_MB = 200
# Run time of a scan job, for schedulers: a 30x sample takes about 10 s per 64 Mb of its
# chromosome; allowed three times that, and at least 10 minutes.
SCAN_SECONDS_PER_SAMPLE_MB = 0.5
MIN_RUNTIME_MINUTES = 10


def ensure_user_name() -> None:
    """Snakemake 7's SLURM executor reads the user's name from USER, to look up the account,
    and stops with KeyError where it is unset (cron, CI runners, some batch systems): taken from
    the user database as a login would set it, and passed on to the jobs."""
    if os.environ.get("USER"):
        return
    try:
        os.environ["USER"] = pwd.getpwuid(os.getuid()).pw_name
    except KeyError:
        if not getattr(workflow, "run_local", True):
            raise WorkflowError(f"set USER to your user name: the SLURM executor needs it, and "
                                f"user ID {os.getuid()} has no name in the user database") from None


def python(script: str) -> str:
    """The command that runs one of the workflow's scripts, with the Python that runs Snakemake
    (Debian's /usr/bin/python3, which has matplotlib). The rules run them as programs:
    Snakemake's script directive would import Snakemake into each job, which costs more than
    a small job's work."""
    return f"{shlex.quote(sys.executable)} {shlex.quote(str(SCRIPTS / script))}"


def required_path(key: str) -> Path:
    if not config.get(key):
        raise InputError(f"set the config key '{key}' (see config/config.yaml)")
    return Path(config[key])


def as_list(value) -> list:
    """--config chromosomes=20 arrives as the number 20: one value stands for a list of one."""
    if value is None:
        return []
    return [str(item) for item in value] if isinstance(value, list) else [str(value)]


def program_path() -> str:
    if config.get("program"):
        program = Path(config["program"])
        if not (program.is_file() and os.access(program, os.X_OK)):
            raise InputError(f"config 'program': {program} is not an executable file")
        return str(program.resolve())
    built = REPOSITORY / "build" / "bridgeScan"
    found = str(built) if os.access(built, os.X_OK) else shutil.which("bridgeScan")
    if not found:
        raise InputError(f"no bridgeScan in {built.parent} nor on PATH: build it, or set the "
                         "config key 'program'")
    return found


def reference_path() -> str:
    if not config.get("reference"):
        return ""
    reference = Path(config["reference"])
    if not reference.is_file():
        raise InputError(f"config 'reference': {reference} is not a file")
    if not Path(f"{reference}.fai").is_file():
        raise InputError(f"config 'reference': {reference} has no .fai beside it "
                         "(samtools faidx makes one)")
    return str(reference)


def vcf_index_path(vcf: Path) -> str:
    """The index beside the VCF, or the one the workflow makes under outdir."""
    found = existing_index(vcf, vcf_index_suffixes(vcf_kind(vcf)))
    return str(found) if found else f"{OUTDIR}/work/{vcf.name}.csi"


ensure_user_name()
try:
    VCF = required_path("vcf")
    VCF_INDEX = vcf_index_path(VCF)
    read_sample_table(required_path("samples"))  # a bad table stops the run before any job
    PROGRAM = program_path()
    REFERENCE = reference_path()
except InputError as problem:
    raise WorkflowError(str(problem)) from None
CHROMOSOMES = as_list(config["chromosomes"])
REFERENCE_OPTION = f"--reference {shlex.quote(REFERENCE)}" if REFERENCE else ""


wildcard_constraints:
    chrom="[^/]+",
    group="[0-9]+",


def load_plan() -> dict:
    path = checkpoints.plan.get().output[0]
    return plan_contents(path, os.stat(path).st_mtime_ns)


@lru_cache(maxsize=2)
def plan_contents(path: str, mtime: int) -> dict:
    return load_json(Path(path))


def planned_chromosomes() -> list[str]:
    return [chromosome["name"] for chromosome in load_plan()["chromosomes"]]


def group_parts(suffix: str):
    """Input function: the outputs of every group's scan of a chromosome, in group order."""

    def parts(wildcards) -> list[str]:
        groups = range(1, len(load_plan()["groups"]) + 1)
        return [f"{OUTDIR}/work/{wildcards.chrom}/group{k}{suffix}" for k in groups]

    return parts


def per_chromosome(pattern: str):
    """Input function: one file per planned chromosome."""
    return lambda wildcards: [pattern.format(chrom=name) for name in planned_chromosomes()]


def planned_chromosome(name: str) -> dict:
    return next(c for c in load_plan()["chromosomes"] if c["name"] == name)


def scan_mem_mb(wildcards, attempt: int) -> int:
    chromosome = planned_chromosome(wildcards.chrom)
    held_reads = chromosome["length"] * ASSUMED_DEPTH / PAIR_BASES
    held = held_reads * BYTES_PER_HELD_READ + chromosome["records"] * BYTES_PER_SITE
    return (BASE_MEMORY_MB + ceil(held / 1e6)) * 2 ** (attempt - 1)


def scan_runtime(wildcards) -> int:
    """Minutes."""
    group = load_plan()["groups"][int(wildcards.group) - 1]
    megabases = planned_chromosome(wildcards.chrom)["length"] / 1e6
    seconds = len(group) * megabases * SCAN_SECONDS_PER_SAMPLE_MB
    return max(MIN_RUNTIME_MINUTES, ceil(seconds / 60))


def final_targets(wildcards) -> list[str]:
    pirs = [f"{OUTDIR}/{name}.pirs.gz" for name in planned_chromosomes()]
    return pirs + [f"{OUTDIR}/stats.tsv", f"{OUTDIR}/report.html"]
