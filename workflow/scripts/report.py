"""Writes report.html: one page that opens with no network (plots and script embedded), made to
be read for thousands of samples. It opens with the samples that need a look (each with the
figure that makes it one, against the cohort's median), then the figures' distributions, a
view per chromosome, the samples of the VCF without files, the scans' warnings by kind and
the damaged files, each sample's statistics in a table sorted by a click on any column, the
settings, each rule's run time and peak memory, and the versions of the programs."""

import base64
import html
import json
import os
import platform
import re
import subprocess
import time
from collections import defaultdict
from importlib.metadata import PackageNotFoundError, version
from itertools import islice
from pathlib import Path
from typing import Iterator

from cohort import load_json, run_logged, script_arguments
from sample_figures import (LEAST_SPREAD, MAD_LIMIT, MOST_DROPPED, SHARE_FLOOR, Cohort,
                            outliers, read_cohort, values)

STYLE = """body{font-family:sans-serif;margin:2em;max-width:75em}
table{border-collapse:collapse;font-size:90%}td,th{border:1px solid #ccc;padding:2px 6px}
td.n{text-align:right}img{max-width:100%;display:block;margin:1em 0}
th[data-key]{cursor:pointer;background:#eef}th.asc:after{content:" \\25B2"}
th.desc:after{content:" \\25BC"}.ok{color:#383}.look{color:#b30}"""

# Sorts a table on a click on its header (again: the other way round); #sort=KEY or
# #sort=-KEY in the page's address sorts it so on opening, so that a view can be linked.
SORT_SCRIPT = """function sortBy(table, key, descending) {
  const heads = Array.from(table.tHead.rows[0].cells);
  const column = heads.findIndex(th => th.dataset.key === key);
  if (column < 0) return;
  const value = row => { const text = row.cells[column].textContent;
    const number = Number(text); return text !== "" && !isNaN(number) ? number : text; };
  const rows = Array.from(table.tBodies[0].rows);
  rows.sort((a, b) => { const x = value(a), y = value(b);
    const order = typeof x === typeof y ? (x < y ? -1 : x > y ? 1 : 0)
                                        : (typeof x === "number" ? -1 : 1);
    return descending ? -order : order; });
  table.tBodies[0].append(...rows);
  heads.forEach(th => th.className = "");
  heads[column].className = descending ? "desc" : "asc";
}
document.querySelectorAll("table.sortable").forEach(table => {
  table.querySelectorAll("th[data-key]").forEach(th => th.addEventListener("click", () =>
    sortBy(table, th.dataset.key, th.className === "asc")));
  const wanted = /#sort=(-?)([^&]+)/.exec(location.hash);
  if (wanted) sortBy(table, decodeURIComponent(wanted[2]), wanted[1] === "-");
});"""

PATH_SETTINGS = ("vcf", "samples", "reference", "outdir", "program", "vcf index")
SHOWN_SAMPLES = 12
MOST_OUTLIERS_SHOWN = 100
# The per-sample table: the cohort's first samples, and the samples that need a look.
FIRST_PAGE = 500
MOST_LOOKS_SHOWN = 1000
SAMPLE_TSV = "sample_figures.tsv"
# bridgeScan's message for an alignment file it could not read to its end.
DAMAGED_FILE = "ERROR: Cannot read BAM file"


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


def cell(value: object) -> str:
    if isinstance(value, float):
        return f"<td class=n>{value:.4g}</td>"
    numeric = isinstance(value, int)
    return f"<td{' class=n' if numeric else ''}>{html.escape(str(value))}</td>"


def table(header: list[str], rows: list[list[object]], keys: list[str] | None = None,
          table_id: str = "") -> str:
    """A table; with keys (one per column), sortable by a click on a column's header."""
    if keys:
        head = "".join(f'<th data-key="{html.escape(key)}">{html.escape(name)}</th>'
                       for name, key in zip(header, keys))
    else:
        head = "".join(f"<th>{html.escape(name)}</th>" for name in header)
    body = "".join("<tr>" + "".join(cell(v) for v in row) + "</tr>\n" for row in rows)
    attributes = (f' id="{table_id}"' if table_id else "") + (' class="sortable"' if keys else "")
    return f"<table{attributes}><thead><tr>{head}</tr></thead>\n<tbody>{body}</tbody></table>"


def embedded(png: Path) -> str:
    data = base64.b64encode(png.read_bytes()).decode()
    return f'<img alt="{html.escape(png.stem)}" src="data:image/png;base64,{data}">'


def few(names: list[str]) -> str:
    shown = ", ".join(names[:SHOWN_SAMPLES])
    rest = len(names) - SHOWN_SAMPLES
    return f"{shown} and {rest} more" if rest > 0 else shown


def outlier_section(cohort: Cohort) -> str:
    """One line per sample that needs a look, the furthest out first: the figure that puts it
    furthest out, and its other figures that stand out too."""
    by_sample: dict[str, list] = {}
    for outlier in outliers(cohort):
        by_sample.setdefault(outlier.sample, []).append(outlier)
    rule = (f"A figure further than {MAD_LIMIT} median absolute deviations (scaled to a standard "
            f"deviation, and counted as at least {LEAST_SPREAD:.0%} of the median, or "
            f"{SHARE_FLOOR:.0%} for a share) on its bad side of the cohort's median, no PIR at "
            f"all, or more than {MOST_DROPPED:.0%} of the records dropped.")
    if not by_sample:
        return (f"<h2 id=outliers>Samples that need a look</h2><p class=ok>None of the "
                f"{len(cohort.totals)} samples. {rule}</p>")
    rows = [[found[0].sample, found[0].figure, found[0].value, found[0].median, found[0].why,
             ", ".join(o.figure for o in found[1:])] for found in by_sample.values()]
    shown = rows[:MOST_OUTLIERS_SHOWN]
    more = (f" The {MOST_OUTLIERS_SHOWN} furthest out are listed; sort the table below by a "
            "figure for the others." if len(rows) > len(shown) else "")
    return (f"<h2 id=outliers>Samples that need a look</h2><p class=look>{len(rows)} of the "
            f"{len(cohort.totals)} samples. {rule}{more}</p>" +
            table(["sample", "figure", "value", "cohort's median", "why", "also out"], shown,
                  table_id="outlier-list"))


def sample_rows(cohort: Cohort) -> tuple[list[str], list[str], Iterator[list[object]]]:
    """Each sample's sums over the chromosomes and the figures that are not columns already:
    the header, the sort keys, and the rows in cohort order."""
    figures = [f for f in cohort.figures if f.key not in cohort.columns]
    computed = {f.key: values(cohort, f) for f in figures}
    rows = ([name] + [sums[c] for c in cohort.columns] +
            [computed[f.key].get(name, "") for f in figures]
            for name, sums in cohort.totals.items())
    return (["sample"] + cohort.columns + [f.title for f in figures],
            ["sample"] + cohort.columns + [f.key for f in figures], rows)


def write_sample_tsv(cohort: Cohort, path: Path) -> None:
    """Every sample's row, beside the page, which shows some of them."""
    header, keys, rows = sample_rows(cohort)
    with open(path, "w") as out:
        out.write("\t".join(keys) + "\n")
        out.writelines("\t".join(f"{v:.6g}" if isinstance(v, float) else str(v) for v in row)
                       + "\n" for row in rows)


def sample_table(cohort: Cohort, tsv: Path) -> str:
    """The per-sample table, sortable: the first FIRST_PAGE samples of the cohort and the
    samples that need a look (MOST_LOOKS_SHOWN at most), so that the page stays small for any
    cohort; every sample is in the TSV file beside the page."""
    header, keys, rows = sample_rows(cohort)
    looks = list(dict.fromkeys(o.sample for o in outliers(cohort)))[:MOST_LOOKS_SHOWN]
    shown = set(looks) | set(islice(cohort.totals, FIRST_PAGE))
    chosen = [row for row in rows if row[0] in shown]
    figures = [f for f in cohort.figures if f.key not in cohort.columns]
    legend = "; ".join(f"<i>{html.escape(f.title)}</i>: {html.escape(f.label)}" for f in figures)
    whole = (f"{len(chosen)} of the {len(cohort.totals)} samples: the first {FIRST_PAGE} and "
             f"those that need a look. Every sample is in <a href=\"{html.escape(tsv.name)}\">"
             f"{html.escape(tsv.name)}</a> beside this page. "
             if len(chosen) < len(cohort.totals) else "")
    return (f"<p>{whole}Click a column's header to sort by it. {legend}.</p>" +
            table(header, chosen, keys, table_id="samples"))


def scan_messages(plan: dict, scan_logs: Path) -> list[tuple[str, str, list[str]]]:
    """Each scan's ERROR: and WARNING: lines (with the "  * " lines beneath them), as the
    chromosome, the message, and the samples it concerns: the sample of a file it names, or
    else every sample of the group."""
    sample_of = {path: sample for sample, path in plan["files"]}
    messages = []
    for chromosome in plan["chromosomes"]:
        folder = scan_logs / chromosome["name"]
        logs = {path.name: path for path in folder.rglob("group*.log")} if folder.is_dir() else {}
        for k, group in enumerate(plan["groups"], start=1):
            log = logs.get(f"group{k}.log", folder / "none")
            lines = log.read_text(errors="replace").splitlines() if log.is_file() else []
            for line, details in messages_of(lines):
                named = [sample_of[p] for p in re.findall(r"\[([^]]*)\]", line) if p in sample_of]
                message = "; ".join([line, *details])
                messages.append((chromosome["name"], message, named or list(group)))
    return messages


def messages_of(lines: list[str]) -> list[tuple[str, list[str]]]:
    """A log's ERROR: and WARNING: lines, each with the "  * " lines beneath it, in one pass."""
    found: list[tuple[str, list[str]]] = []
    beneath = False
    for line in lines:
        if line.startswith(("WARNING:", "ERROR:")):
            found.append((line, []))
            beneath = True
        elif beneath and line.startswith("  * "):
            found[-1][1].append(line[4:])
        else:
            beneath = False
    return found


def message_kind(message: str) -> str:
    """A message with its names and numbers left out: the messages of one kind look alike."""
    return re.sub(r"\d+", "N", re.sub(r"\[[^]]*\]", "[…]", message))


def problems_section(plan: dict, scan_logs: Path) -> str:
    without = plan.get("without_files", [])
    parts = [f"<h2>Samples of the VCF without files</h2><p>{len(without)}"
             f"{': ' + html.escape(few(without)) if without else ''}. They get no "
             "block in the PIR files.</p>"]
    kinds: dict[str, list] = defaultdict(list)
    damaged = []
    for chromosome, message, samples in scan_messages(plan, scan_logs):
        if message.startswith(DAMAGED_FILE):
            damaged.append([chromosome, ", ".join(samples), message])
        else:
            kinds[message_kind(message)].append((chromosome, samples))
    rows = [[kind, len(found), ", ".join(dict.fromkeys(c for c, _ in found)),
             few(list(dict.fromkeys(s for _, samples in found for s in samples)))]
            for kind, found in sorted(kinds.items(), key=lambda item: -len(item[1]))]
    rows += [["plan: " + warning, 1, "", ""] for warning in plan.get("warnings", [])]
    parts.append("<h2>Warnings of the checks and the scans</h2>" +
                 (table(["kind", "times", "chromosomes", "samples"], rows) if rows
                  else "<p class=ok>None.</p>"))
    parts.append("<h2>Damaged files</h2>" +
                 (table(["chromosome", "sample", "message"], damaged) if damaged
                  else "<p class=ok>None: every file was read to its end.</p>"))
    return "".join(parts)


def run_costs(benchmarks: Path) -> list[list[object]]:
    """Each rule's jobs, their run time and their peak memory, from Snakemake's benchmark
    files (benchmarks/RULE/*.tsv)."""
    rows = []
    for folder in sorted(p for p in benchmarks.glob("*") if p.is_dir()):
        seconds, memory = [], []
        for path in folder.rglob("*.tsv"):
            lines = path.read_text().splitlines()
            if len(lines) < 2:
                continue
            fields = dict(zip(lines[0].split("\t"), lines[1].split("\t")))
            seconds.append(float(fields.get("s", 0)))
            rss = fields.get("max_rss", "")
            memory.append(float(rss) if re.fullmatch(r"[0-9.]+", rss) else 0.0)
        if seconds:
            rows.append([folder.name, len(seconds), round(sum(seconds), 1),
                         round(max(seconds), 1), round(max(memory), 1)])
    return rows


def absolute_settings(settings: dict) -> list[tuple[str, str]]:
    """The settings, with each path as an absolute one: the page may be read elsewhere."""
    shown = []
    for key, value in sorted(settings.items()):
        if key in PATH_SETTINGS and value:
            value = os.path.abspath(str(value))
        shown.append((key, "" if value is None else str(value)))
    return shown


def page(cohort: Cohort, plan: dict, plots: list[Path], scan_logs: Path, benchmarks: Path,
         settings: dict, program: str, tsv: Path) -> str:
    names = [chromosome["name"] for chromosome in plan["chromosomes"]]
    sections = [
        f"<h1>bridgeScan cohort report</h1><p>{len(cohort.totals)} samples with files, "
        f"{len(plan.get('without_files', []))} of the VCF without; {len(names)} chromosomes "
        f"({html.escape(', '.join(names))}). Made {time.strftime('%Y-%m-%d %H:%M')}. "
        "Per-chromosome figures are in stats.tsv beside this page.</p>",
        outlier_section(cohort),
        "<h2>Distributions</h2>" + "".join(embedded(png) for png in plots),
        problems_section(plan, scan_logs),
        "<h2>Samples, all chromosomes</h2>" + sample_table(cohort, tsv),
        "<h2>Settings</h2>" + table(["key", "value"], absolute_settings(settings)),
        "<h2>Run time and peak memory per rule</h2>" +
        table(["rule", "jobs", "run time, s (all jobs)", "longest job, s",
               "peak memory, MB"], run_costs(benchmarks), table_id="run-costs"),
        "<h2>Versions</h2>" + table(["program", "version"], versions(program)),
    ]
    return (f"<!DOCTYPE html><html><head><meta charset=utf-8><title>bridgeScan cohort report"
            f"</title><style>{STYLE}</style></head><body>{''.join(sections)}"
            f"<script>{SORT_SCRIPT}</script></body></html>\n")


def main(stats: Path, plan: Path, plots: list[Path], scan_logs: Path, benchmarks: Path,
         settings: dict, program: str, out: Path) -> None:
    cohort = read_cohort(stats)
    tsv = out.with_name(SAMPLE_TSV)
    write_sample_tsv(cohort, tsv)
    out.write_text(page(cohort, load_json(plan), plots, scan_logs, benchmarks, settings,
                        program, tsv))


if __name__ == "__main__":
    args = script_arguments(__doc__, ["stats", "plan", "scan-logs", "benchmarks", "settings",
                                      "program", "out"], several=("plots",))
    run_logged(args.log, lambda: main(
        Path(args.stats), Path(args.plan), [Path(p) for p in args.plots], Path(args.scan_logs),
        Path(args.benchmarks), json.loads(args.settings), args.program, Path(args.out)))
