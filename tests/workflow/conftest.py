"""What the workflow's tests share: where things are, a copy of the example to change, and
running Snakemake on it."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
EXAMPLE = REPOSITORY / "examples" / "cohort"
sys.path.insert(0, str(REPOSITORY / "workflow" / "scripts"))


@pytest.fixture(scope="session")
def program() -> Path:
    """The bridgeScan under test: $BRIDGESCAN (the test script's build), else build/."""
    path = Path(os.environ.get("BRIDGESCAN", REPOSITORY / "build" / "bridgeScan"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"no bridgeScan at {path}: build it or set BRIDGESCAN")
    return path


def copy_example(folder: Path) -> Path:
    """The example under folder, at the paths its configuration and table name."""
    shutil.copytree(EXAMPLE, folder / "examples" / "cohort",
                    ignore=shutil.ignore_patterns("*.py", "__pycache__"))
    return folder


def run_workflow(folder: Path, program: Path | None, *config: str,
                 targets: tuple[str, ...] = (),
                 snakefile: Path = REPOSITORY / "workflow" / "Snakefile",
                 path: str = os.environ["PATH"]) -> subprocess.CompletedProcess:
    """Runs the workflow on the example copied to folder, with the given program (None: the
    one the workflow finds itself on path); CRAM references are never looked up anywhere but
    in the configured FASTA, so nothing reaches for the network."""
    nowhere = str(folder / "no-reference-cache")
    chosen = [f"program={program}"] if program else []
    command = ["snakemake", "-s", str(snakefile), *targets,
               "--directory", str(folder), "--cores", "2",
               "--configfile", str(folder / "examples" / "cohort" / "config.yaml"),
               "--config", *chosen, *config]
    return subprocess.run(command, capture_output=True, text=True,
                          env={**os.environ, "PATH": path, "REF_PATH": nowhere,
                               "REF_CACHE": nowhere})
