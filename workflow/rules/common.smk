# Reads and checks the configuration and the samples table once, when the workflow is loaded;
# holds the input functions; names the user where the environment does not (Snakemake's SLURM
# executor needs it).
import json
import os
import pwd
import shlex
import shutil
import sys
import tempfile
from functools import lru_cache
from math import ceil

from snakemake.exceptions import WorkflowError

SCRIPTS = Path(workflow.basedir) / "scripts"
sys.path.insert(0, str(SCRIPTS))
from cohort import (InputError, alignment_index_suffixes, existing_index, load_json, older,
                    parse_sample_table, vcf_index_suffixes, vcf_kind)
from settings import settings_problems

# One line per wrong setting, before Snakemake's own account of the stop, rather than the
# schema's text and a traceback.
SETTING_PROBLEMS = settings_problems(config, Path(workflow.basedir) / "schemas"
                                     / "config.schema.yaml")
if SETTING_PROBLEMS:
    print("\n".join(SETTING_PROBLEMS), file=sys.stderr, flush=True)
    raise WorkflowError("the setting(s) above are wrong (config/config.yaml documents each)")

REPOSITORY = Path(workflow.basedir).parent
OUTDIR = config["outdir"].rstrip("/")

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


def explained(command: str, log: str = "{log:q}") -> str:
    """A rule's shell command that, should it fail, shows on the console the lines of the
    rule's log that say why (explain_failure.sh), not only the log's path."""
    explain = shlex.quote(str(SCRIPTS / "explain_failure.sh"))
    return f"{command} || bash {explain} {log} $?"


def required_path(key: str) -> Path:
    if not config.get(key):
        raise InputError(f"set the config key '{key}' (see config/config.yaml)")
    return Path(config[key])


def as_list(value) -> list:
    """--config chromosomes=20 arrives as the number 20: one value stands for a list of one."""
    if value is None:
        return []
    return [str(item) for item in value] if isinstance(value, list) else [str(value)]


def program_beside() -> Path:
    """The bridgeScan that came with this workflow: installed, PREFIX/bin/bridgeScan beside
    PREFIX/share/bridgeScan/workflow (cmake --install); in a source tree, its build."""
    if REPOSITORY.name == "bridgeScan" and REPOSITORY.parent.name == "share":
        return REPOSITORY.parents[1] / "bin" / "bridgeScan"
    return REPOSITORY / "build" / "bridgeScan"


def program_path() -> str:
    """The setting 'program' when given; else the program that came with the workflow, whose
    output its scripts read; else the first on PATH."""
    if config.get("program"):
        program = Path(config["program"])
        if not (program.is_file() and os.access(program, os.X_OK)):
            raise InputError(f"config 'program': {program} is not an executable file")
        return str(program.resolve())
    beside = program_beside()
    found = str(beside) if os.access(beside, os.X_OK) else shutil.which("bridgeScan")
    if not found:
        raise InputError(f"no bridgeScan in {beside.parent} nor on PATH: build or install it, or "
                         "set the config key 'program'")
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
    """The index beside the VCF, or the one the workflow makes under outdir: when there is none
    beside it, or the one there is older than the VCF (the plan warns about it)."""
    found = existing_index(vcf, vcf_index_suffixes(vcf_kind(vcf)))
    if found is None or older(found, vcf):
        return f"{OUTDIR}/work/{vcf.name}.csi"
    return str(found)


ensure_user_name()
try:
    VCF = required_path("vcf")
    VCF_INDEX = vcf_index_path(VCF)
    # A table that cannot be read stops the run here; the plan lists the problems of its lines.
    SAMPLE_ROWS, _ = parse_sample_table(required_path("samples"))
    PROGRAM = program_path()
    REFERENCE = reference_path()
except InputError as problem:
    raise WorkflowError(str(problem)) from None
CHROMOSOMES = as_list(config["chromosomes"])
REFERENCE_OPTION = f"--reference {shlex.quote(REFERENCE)}" if REFERENCE else ""


def checked_files(wildcards) -> list[str]:
    """The table's alignment files that are there, their indexes and the reference: the plan
    is made again when one of them changes, so that neither `check` nor the scans rely on an
    old look at them. The plan itself names the files that are missing, with their samples."""
    files = [REFERENCE, f"{REFERENCE}.fai"] if REFERENCE else []
    for row in SAMPLE_ROWS:
        path = Path(row.path)
        index = existing_index(path, alignment_index_suffixes(row.path))
        files += [str(p) for p in (path, index) if p is not None and p.is_file()]
    return files


wildcard_constraints:
    chrom="[^/]+",
    batch="[0-9]+",
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
        return [f"{OUTDIR}/work/{wildcards.chrom}/batch{BATCHES.of(k)}/group{k}{suffix}"
                for k in groups]

    return parts


def per_chromosome(pattern: str):
    """Input function: one file per planned chromosome."""
    return lambda wildcards: [pattern.format(chrom=name) for name in planned_chromosomes()]


def planned_chromosome(name: str) -> dict:
    return next(c for c in load_plan()["chromosomes"] if c["name"] == name)


def run_summary(plan: dict) -> str:
    """What `check` prints: the cohort as planned, the jobs of a whole run by rule, and each
    chromosome's scan jobs with the memory and run time they ask for."""
    groups = plan["groups"]
    names = [chromosome["name"] for chromosome in plan["chromosomes"]]
    with_files = sum(len(group) for group in groups)
    lines = [f"Checked: {len(names)} chromosome(s) ({', '.join(names)}), {with_files} sample(s) "
             f"with files in {len(groups)} group(s), {len(plan['without_files'])} sample(s) of "
             "the VCF without files."]
    lines += [f"WARNING: {warning}" for warning in plan["warnings"]]
    split_batches = len(names) * (BATCHES.count(plan) > 1)
    jobs = {"index_vcf": int(VCF_INDEX.startswith(f"{OUTDIR}/")), "plan": 1,
            "split_batches": split_batches, "split_vcf": len(names) * BATCHES.count(plan),
            "scan": len(names) * len(groups), "merge": len(names),
            "gather_phase_sets": len(names) * PHASE_SETS, "gather_stats": 1, "plots": 1,
            "report": 1, "all": 1}
    lines.append("Jobs of a whole run: " + ", ".join(f"{rule} {count}"
                                                     for rule, count in jobs.items() if count)
                 + f"; {sum(jobs.values())} in all; {cluster_jobs(jobs)} on a cluster with the "
                 f"Slurm profile, which submits the scans {SCANS_PER_CLUSTER_JOB} to a job.")
    lines.append("Scan jobs (memory and run time asked of a scheduler, each job):")
    minutes = 0
    requested = Requests(plan, os.path.getsize(VCF) / 1e6, BATCHES)
    for name in names:
        first = requested.scan(name, 1, attempt=1)
        minutes += sum(requested.scan(name, k, attempt=1).runtime
                       for k in range(1, len(groups) + 1))
        lines.append(f"  {name}: {len(groups)} job(s), {first.mem_mb} MB, up to "
                     f"{first.runtime} min")
    lines.append(f"  total: {jobs['scan']} job(s), up to {minutes} min of one core in all")
    return "\n".join(lines)


def final_targets(wildcards) -> list[str]:
    pirs = [f"{OUTDIR}/{name}.pirs.gz" for name in planned_chromosomes()]
    return pirs + [f"{OUTDIR}/stats.tsv", f"{OUTDIR}/report.html"]
