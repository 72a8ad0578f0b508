"""cmake --install puts the program, its man page and the workflow under a prefix, and the
installed workflow runs the example with the program installed beside it, not with another
bridgeScan found first on PATH."""

import os
import subprocess

import pytest

from conftest import copy_example, run_workflow


def test_installed_program_and_workflow_run_the_example(tmp_path, program):
    build = program.parent
    if not (build / "cmake_install.cmake").is_file():
        pytest.skip(f"{program} is not in a CMake build folder")
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                   capture_output=True)
    installed = prefix / "bin" / "bridgeScan"
    version = subprocess.run([installed, "--version"], check=True, capture_output=True,
                             text=True).stdout
    assert version.startswith("bridgeScan ")
    assert ".SH NAME" in (prefix / "share/man/man1/bridgeScan.1").read_text()
    folder = copy_example(tmp_path / "run")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "bridgeScan").write_text("#!/bin/sh\necho 'not the installed bridgeScan' >&2\n"
                                          "exit 1\n")
    (elsewhere / "bridgeScan").chmod(0o755)
    result = run_workflow(folder, None, snakefile=prefix / "share/bridgeScan/workflow/Snakefile",
                          environment={**os.environ,
                                       "PATH": f"{elsewhere}{os.pathsep}{os.environ['PATH']}"})
    assert result.returncode == 0, result.stderr
    outputs = folder / "build" / "cohort-example"
    assert (outputs / "chr20.pirs.gz").is_file() and (outputs / "chr21.pirs.gz").is_file()
    assert f"<td>{installed}</td>" in (outputs / "report.html").read_text()
