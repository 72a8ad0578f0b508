"""Writes report.html: one page that opens with no network (the plots are embedded), holding
the plots, each sample's statistics summed over the chromosomes, the configuration and the
versions of the programs that made the results."""

import base64
import html
import json
import platform
import subprocess
import time
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

from cohort import run_logged, sample_totals, script_arguments

STYLE = """body{font-family:sans-serif;margin:2em;max-width:70em}
table{border-collapse:collapse;font-size:90%}td,th{border:1px solid #ccc;padding:2px 6px}
td.n{text-align:right}img{max-width:100%;display:block;margin:1em 0}"""


def first_line(command: list[str]) -> str:
    """The first line a program prints, or why there is none."""
    try:
        result = subprocess.run(command, capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as problem:
        return f"unknown ({problem})"
    lines = result.stdout.decode(errors="replace").splitlines()
    return lines[0] if result.returncode == 0 and lines else "unknown"


def package_version(name: str) -> str:
    try:
        return version(name)
    except PackageNotFoundError:
        return "unknown"


def versions(program: str) -> list[tuple[str, str]]:
    return [("bridgeScan", first_line([program, "--version"])),
            ("Snakemake", package_version("snakemake")),
            ("samtools", first_line(["samtools", "--version"])),
            ("bcftools", first_line(["bcftools", "--version"])),
            ("htslib (tabix)", first_line(["tabix", "--version"])),
            ("Python", platform.python_version()),
            ("matplotlib", package_version("matplotlib"))]


def table(header: list[str], rows: list[list[object]]) -> str:
    def cell(value: object) -> str:
        numeric = isinstance(value, (int, float))
        return f"<td{' class=n' if numeric else ''}>{html.escape(str(value))}</td>"

    head = "".join(f"<th>{html.escape(name)}</th>" for name in header)
    body = "".join("<tr>" + "".join(cell(v) for v in row) + "</tr>\n" for row in rows)
    return f"<table><tr>{head}</tr>\n{body}</table>"


def embedded(png: Path) -> str:
    data = base64.b64encode(png.read_bytes()).decode()
    return f'<img alt="{html.escape(png.stem)}" src="data:image/png;base64,{data}">'


def statistics_table(stats: Path) -> str:
    totals = sample_totals(stats)
    columns = list(next(iter(totals.values()), {}))
    rows = []
    for name, sums in totals.items():
        in_pirs = sums["snps_in_pirs"] / sums["het_snps"] if sums["het_snps"] else 0.0
        rows.append([name] + [sums[c] for c in columns] + [round(in_pirs, 4)])
    return table(["sample"] + columns + ["share of het SNPs in PIRs"], rows)


def page(stats: Path, plots: list[Path], settings: dict, program: str) -> str:
    sections = [
        f"<h1>bridgeScan cohort report</h1><p>Made {time.strftime('%Y-%m-%d %H:%M')}. "
        "Per-chromosome figures are in stats.tsv beside this page.</p>",
        "<h2>Plots</h2>" + "".join(embedded(png) for png in plots),
        "<h2>Samples, all chromosomes</h2>" + statistics_table(stats),
        "<h2>Configuration</h2>" + table(["key", "value"], sorted(settings.items())),
        "<h2>Versions</h2>" + table(["program", "version"], versions(program)),
    ]
    return (f"<!DOCTYPE html><html><head><meta charset=utf-8><title>bridgeScan cohort report"
            f"</title><style>{STYLE}</style></head><body>{''.join(sections)}</body></html>\n")


def main(stats: Path, plots: list[Path], settings: dict, program: str, out: Path) -> None:
    out.write_text(page(stats, plots, settings, program))


if __name__ == "__main__":
    args = script_arguments(__doc__, ["stats", "settings", "program", "out"], several=("plots",))
    run_logged(args.log, lambda: main(Path(args.stats), [Path(p) for p in args.plots],
                                      json.loads(args.settings), args.program, Path(args.out)))
