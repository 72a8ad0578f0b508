"""The workflow through its SLURM profile on a one-node Slurm cluster of this machine: each job is
submitted with its rule's threads, memory and run time (the scans grouped, with those of their
scans), a failed job is submitted again, the plan runs on the submitting node, and what it
gathers equals direct runs of bridgeScan. The test cluster itself starts once per folder and
stops whole, also without its controller."""

import os
import re
import shlex
import subprocess
import time
from collections import Counter
from collections.abc import Mapping
from pathlib import Path
from typing import NamedTuple

import pytest
import yaml

from conftest import REPOSITORY, SLURM_CLUSTER, copy_example, run_workflow, slurm_cluster
from test_workflow import CHROMOSOMES, direct_run, drop_index, gathered

PROFILE = REPOSITORY / "workflow" / "profiles" / "slurm" / "config.yaml"
# Snakemake 7 checks its SLURM jobs at most once a second (a higher rate falls back to once in
# 33 seconds), and nothing here waits for a shared file system.
QUICK_SETTINGS = {"max-status-checks-per-second": 1, "latency-wait": 1}
FAILING_SCAN = {"chrom": "chr21", "batch": "1", "group": "2"}
# The profile submits the scans in groups (group_scans): their number depends on when the two
# chromosomes' splits end.
SUBMITTED_RULES = {"index_vcf": 1, "split_vcf": 2, "merge": 2, "gather_phase_sets": 2,
                   "plots": 1, "report": 1}
SCANS = 4


class ClusterRun(NamedTuple):
    folder: Path
    program: Path
    result: subprocess.CompletedProcess


def quick_profile(folder: Path) -> Path:
    """The SLURM profile, with the settings above."""
    settings = yaml.safe_load(PROFILE.read_text())
    profile = folder / "profile"
    profile.mkdir()
    (profile / "config.yaml").write_text(yaml.safe_dump({**settings, **QUICK_SETTINGS}))
    return profile


def failing_once(folder: Path, program: Path) -> Path:
    """A bridgeScan that fails the first time it scans FAILING_SCAN's group, as a job whose node
    went down would."""
    wrapper = folder / "bridgeScan-failing-once"
    marker = shlex.quote(str(folder / "failed-once"))
    inputs = f"{FAILING_SCAN['chrom']}/batch1/inputs/group{FAILING_SCAN['group']}.vcf.gz"
    wrapper.write_text(
        "#!/bin/sh\n"
        f'case "$*" in *{inputs}*) [ -e {marker} ] || {{ touch {marker}; exit 1; }} ;; esac\n'
        f'exec {shlex.quote(str(program))} "$@"\n')
    wrapper.chmod(0o755)
    return wrapper


def cluster_copy(folder: Path) -> Path:
    """The example and the quick profile under folder."""
    copy_example(folder)
    quick_profile(folder)
    return folder


def run_on_slurm(folder: Path, program: Path, slurm: dict[str, str],
                 environment: Mapping[str, str] = os.environ) -> subprocess.CompletedProcess:
    return run_workflow(folder, program, options=("--profile", str(folder / "profile")),
                        environment={**environment, **slurm})


@pytest.fixture(scope="module")
def cluster_run(tmp_path_factory, program, slurm) -> ClusterRun:
    """One run of the example through the profile, started from an environment without USER,
    with one scan failing on its first attempt."""
    folder = cluster_copy(tmp_path_factory.mktemp("slurm-cohort"))
    failing = failing_once(folder, program)
    without_user = {name: value for name, value in os.environ.items() if name != "USER"}
    return ClusterRun(folder, failing, run_on_slurm(folder, failing, slurm, without_user))


class SlurmJob(NamedTuple):
    rule: str
    record: dict[str, str]  # scontrol's fields
    log: str  # the job's output: Snakemake's account of the job it ran


def slurm_jobs(folder: Path, slurm: dict[str, str]) -> list[SlurmJob]:
    """Every job run from folder, as Slurm recorded it (finished jobs stay listed, as there is
    no accounting), in the order of submission."""
    listing = subprocess.run(["scontrol", "show", "job", "--oneliner"], check=True, text=True,
                             capture_output=True, env={**os.environ, **slurm}).stdout
    records = [dict(field.split("=", 1) for field in line.split() if "=" in field)
               for line in listing.splitlines()]
    jobs = [record for record in records if record.get("WorkDir") == str(folder)]
    jobs.sort(key=lambda record: int(record["JobId"]))
    return [SlurmJob(Path(record["StdOut"]).parent.name.removeprefix("rule_"), record,
                     Path(record["StdOut"]).read_text()) for record in jobs]


def declared(job: SlurmJob, name: str) -> str:
    """A field of the rule block Snakemake printed for the job ("threads", "resources", ...)."""
    found = re.search(rf"^ +{name}: (.*)$", job.log, re.MULTILINE)
    return found.group(1) if found else ""


def declared_resources(job: SlurmJob) -> dict[str, str]:
    return dict(item.split("=", 1) for item in declared(job, "resources").split(", "))


def scans_of(job: SlurmJob) -> list[tuple[str, dict[str, str]]]:
    """The wildcards and resources of each scan a grouped job ran, as its log shows them."""
    found = re.findall(r"^ +wildcards: (.*)$\n(?:^ +\w+: .*$\n)*?^ +resources: (.*)$", job.log,
                       re.MULTILINE)
    return [(wildcards, dict(item.split("=", 1) for item in resources.split(", ")))
            for wildcards, resources in found]


def megabytes(amount: str) -> int:
    """Slurm's memory figure: "201M", "2G"."""
    return int(amount[:-1]) * {"M": 1, "G": 1024, "T": 1024 ** 2}[amount[-1]]


def minutes(limit: str) -> int:
    """Slurm's time limit: "[days-]hours:minutes:seconds"."""
    days, _, clock = limit.rpartition("-")
    hours, mins, _ = clock.split(":")
    return (int(days or 0) * 24 + int(hours)) * 60 + int(mins)


def test_runs_from_an_environment_without_user(cluster_run):
    assert cluster_run.result.returncode == 0, cluster_run.result.stderr
    assert "has been submitted with SLURM jobid" in cluster_run.result.stderr


def test_gathered_files_equal_direct_runs(cluster_run):
    for chromosome in CHROMOSOMES:
        assert gathered(cluster_run.folder, chromosome) == direct_run(
            cluster_run.folder, cluster_run.program, chromosome)


def test_each_job_asked_slurm_for_its_rules_resources(cluster_run, slurm):
    jobs = slurm_jobs(cluster_run.folder, slurm)
    # The plan (a local rule) ran on the submitting node, as did the gathering of statistics.
    grouped = [job for job in jobs if job.rule == "group_scans"]
    assert Counter(job.rule for job in jobs if job not in grouped) == SUBMITTED_RULES
    assert 1 <= len(grouped) <= 1 + SCANS
    completed = {wildcards for job in grouped if job.record["JobState"] == "COMPLETED"
                 for wildcards, _ in scans_of(job)}
    assert len(completed) == SCANS
    for job in grouped:
        # As many cores as scans run side by side, each with its own memory; as long as the
        # longest of them.
        scans = [resources for _, resources in scans_of(job)]
        assert megabytes(job.record["MinMemoryNode"]) >= max(int(r["mem_mb"]) for r in scans)
        assert minutes(job.record["TimeLimit"]) >= max(int(r["runtime"]) for r in scans)
    for job in jobs:
        if job in grouped:
            continue
        resources = declared_resources(job)
        assert int(job.record["NumCPUs"]) == int(declared(job, "threads") or 1), job.log
        assert megabytes(job.record["MinMemoryNode"]) == int(resources["mem_mb"]), job.log
        assert minutes(job.record["TimeLimit"]) == int(resources["runtime"]), job.log
    split = next(job for job in jobs if job.rule == "split_vcf")
    assert split.record["NumCPUs"] == "2"


def test_a_failed_job_is_submitted_again_with_twice_the_memory(cluster_run, slurm):
    wildcards = ", ".join(f"{name}={value}" for name, value in FAILING_SCAN.items())
    attempts = [job for job in slurm_jobs(cluster_run.folder, slurm)
                if job.rule == "group_scans" and wildcards in dict(scans_of(job))]
    assert [job.record["JobState"] for job in attempts] == ["FAILED", "COMPLETED"]
    first, second = (int(dict(scans_of(job))[wildcards]["mem_mb"]) for job in attempts)
    assert second == 2 * first
    assert megabytes(attempts[1].record["MinMemoryNode"]) >= second


def test_a_second_run_has_nothing_to_do(cluster_run, slurm):
    submitted = len(slurm_jobs(cluster_run.folder, slurm))
    again = run_on_slurm(cluster_run.folder, cluster_run.program, slurm)
    assert again.returncode == 0, again.stderr
    assert "Nothing to be done" in again.stdout + again.stderr
    assert len(slurm_jobs(cluster_run.folder, slurm)) == submitted


def test_bad_input_is_reported_before_anything_is_queued(tmp_path, program, slurm):
    cluster_copy(tmp_path)
    subprocess.run(["bcftools", "index", "--csi", "cohort.vcf.gz"],
                   cwd=tmp_path / "examples/cohort", check=True)
    drop_index(tmp_path)
    result = run_on_slurm(tmp_path, program, slurm)
    assert result.returncode != 0
    assert "examples/cohort/NA101.bam: no index beside it" in result.stderr
    assert not slurm_jobs(tmp_path, slurm)


def cluster_processes(folder: Path) -> dict[int, str]:
    """The live processes that name the cluster's folder in their command line (the daemons)
    or carry its SLURM_CONF (the job steps and the jobs), with their command lines."""
    found = {}
    for entry in Path("/proc").iterdir():
        try:
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
            environment = (entry / "environ").read_bytes().split(b"\0")
            state = (entry / "stat").read_bytes().rsplit(b")", 1)[1].split()[0]
        except (OSError, ValueError):
            continue
        if state != b"Z" and (str(folder) in command
                              or f"SLURM_CONF={folder}/slurm.conf".encode() in environment):
            found[int(entry.name)] = command
    return found


def test_a_second_start_is_refused_and_stop_leaves_nothing(tmp_path):
    with slurm_cluster(tmp_path) as environment:
        configuration = (tmp_path / "slurm.conf").read_text()
        again = subprocess.run(["bash", str(SLURM_CLUSTER), "start", str(tmp_path)],
                               capture_output=True, text=True)
        assert again.returncode == 1
        assert again.stderr == f"a Slurm cluster of {tmp_path} runs already: stop it first\n"
        assert (tmp_path / "slurm.conf").read_text() == configuration
        node = subprocess.run(["sinfo", "--noheader", "--format=%T"], capture_output=True,
                              text=True, env={**os.environ, **environment})
        assert node.stdout.strip() == "idle"
        listening = subprocess.run(["ss", "--listening", "--tcp", "--numeric", "--processes"],
                                   capture_output=True, text=True, check=True).stdout
        daemons = [f"pid={(tmp_path / f'{name}.pid').read_text().strip()}," for name in
                   ("slurmctld", "slurmd")]
        sockets = [line for line in listening.splitlines() if any(d in line for d in daemons)]
        assert len(sockets) == 2 and all(" 127.0.0.1:" in line for line in sockets), sockets
    assert not cluster_processes(tmp_path)
    assert not (tmp_path / "munge.key").exists() and not (tmp_path / "state").exists()


def test_stop_ends_job_steps_and_jobs_without_the_controller_within_5_s(tmp_path):
    with slurm_cluster(tmp_path) as environment:
        subprocess.run(["sbatch", "--output", str(tmp_path / "job.out"), "--wrap",
                        "srun sleep 300 & sleep 300"], check=True, capture_output=True,
                       env={**os.environ, **environment})
        for _ in range(300):
            running = cluster_processes(tmp_path)
            steps = [command for command in running.values() if command.startswith("slurmstepd")]
            if len(steps) == 2:  # the batch job's and its srun's
                break
            time.sleep(0.1)
        assert len(steps) == 2, running
        os.kill(int((tmp_path / "slurmctld.pid").read_text()), 9)
        start = time.monotonic()
        subprocess.run(["bash", str(SLURM_CLUSTER), "stop", str(tmp_path)], check=True)
        assert time.monotonic() - start < 5
        assert not cluster_processes(tmp_path)
        assert not (tmp_path / "munge.key").exists() and not (tmp_path / "spool").exists()
