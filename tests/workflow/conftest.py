"""What the workflow's tests share: where things are, a copy of the example to change, running
Snakemake on it, and a one-node Slurm cluster to run it on."""

import os
import resource
import shutil
import subprocess
import sys
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
EXAMPLE = REPOSITORY / "examples" / "cohort"
SLURM_CLUSTER = Path(__file__).with_name("slurm_cluster.sh")
CANNOT_RUN_SLURM = 77  # the status slurm_cluster.sh ends with where no cluster can run
sys.path.insert(0, str(REPOSITORY / "workflow" / "scripts"))


@pytest.fixture(scope="session")
def program() -> Path:
    """The bridgeScan under test: $BRIDGESCAN (the test script's build), else build/."""
    path = Path(os.environ.get("BRIDGESCAN", REPOSITORY / "build" / "bridgeScan"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"no bridgeScan at {path}: build it or set BRIDGESCAN")
    return path


@contextmanager
def slurm_cluster(folder: Path) -> Iterator[dict[str, str]]:
    """A one-node Slurm cluster of this machine in folder, stopped at the end whatever happened:
    the environment Slurm's commands need to reach it."""
    started = subprocess.run(["bash", str(SLURM_CLUSTER), "start", str(folder)],
                             capture_output=True, text=True)
    try:
        if started.returncode == CANNOT_RUN_SLURM:
            reason = started.stderr.strip().splitlines() or ["slurm_cluster.sh gave no reason"]
            pytest.skip(f"no Slurm cluster here: {reason[-1]}")
        if started.returncode != 0:
            pytest.fail(f"the Slurm cluster did not start:\n{started.stderr}")
        yield {"SLURM_CONF": str(folder / "slurm.conf")}
    finally:
        subprocess.run(["bash", str(SLURM_CLUSTER), "stop", str(folder)], check=False)


@pytest.fixture(scope="session")
def slurm(tmp_path_factory) -> Iterator[dict[str, str]]:
    """A cluster for the session."""
    with slurm_cluster(tmp_path_factory.mktemp("slurm")) as environment:
        yield environment


def copy_example(folder: Path) -> Path:
    """The example under folder, at the paths its configuration and table name."""
    shutil.copytree(EXAMPLE, folder / "examples" / "cohort",
                    ignore=shutil.ignore_patterns("*.py", "__pycache__"))
    return folder


def run_workflow(folder: Path, program: Path | None, *config: str,
                 targets: tuple[str, ...] = (), options: tuple[str, ...] = (),
                 snakefile: Path = REPOSITORY / "workflow" / "Snakefile",
                 environment: Mapping[str, str] = os.environ,
                 open_files: int | None = None) -> subprocess.CompletedProcess:
    """Runs the workflow on the example copied to folder, with the given program (None: the
    one the workflow finds itself on the environment's PATH) and Snakemake's further options;
    CRAM references are never looked up anywhere but in the configured FASTA, so nothing
    reaches for the network. With open_files, Snakemake and every job it runs may hold that
    many files open at most (ulimit -n)."""
    nowhere = str(folder / "no-reference-cache")
    chosen = [f"program={program}"] if program else []
    command = ["snakemake", "-s", str(snakefile), *targets,
               "--directory", str(folder), "--cores", "2", *options,
               "--configfile", str(folder / "examples" / "cohort" / "config.yaml"),
               "--config", *chosen, *config]
    return subprocess.run(command, capture_output=True, text=True,
                          env={**environment, "REF_PATH": nowhere, "REF_CACHE": nowhere},
                          preexec_fn=None if open_files is None
                          else lambda: limit_files(open_files))


def limit_files(count: int) -> None:
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (count, hard))
