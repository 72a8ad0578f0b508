#!/usr/bin/python3
"""Prints the figures of bench/workflow_bench.sh's scale runs:

  rules OLD_OUTDIR [NEW_OUTDIR] each rule's jobs, wall and CPU seconds and peak memory, before
                                and after, from Snakemake's benchmark files
  standin STATE_DIR SAMPLES     each Slurm job of a stand-in run: what it asked for and used
  peaks SAMPLES_FILE            the most temporary bytes and files a run held at once
  rate LOG STATE_DIR JOBS       finished jobs Snakemake registered a second, from its log, with
                                the jobs still queued, against those the stand-in finished"""

import json
import re
import sys
import time
from collections import defaultdict
from pathlib import Path


def rule_figures(outdir: Path) -> dict[str, list[float]]:
    """Per rule: jobs, wall seconds (all jobs), longest job, CPU seconds, peak MB."""
    figures: dict[str, list[float]] = defaultdict(lambda: [0, 0.0, 0.0, 0.0, 0.0])
    for path in (outdir / "benchmarks").rglob("*.tsv"):
        rule = path.relative_to(outdir / "benchmarks").parts[0]
        header, values = path.read_text().splitlines()[:2]
        fields = dict(zip(header.split("\t"), values.split("\t")))
        number = lambda key: float(fields[key]) if fields.get(key, "-") != "-" else 0.0
        row = figures[rule]
        row[0] += 1
        row[1] += number("s")
        row[2] = max(row[2], number("s"))
        row[3] += number("cpu_time")
        row[4] = max(row[4], number("max_rss"))
    return figures


def rules(old: Path, new: Path) -> None:
    """Before and after; with one folder (old = new), its figures twice."""
    before, after = rule_figures(old), rule_figures(new)
    print(f"{'rule':20}{'jobs':>12}{'wall s':>16}{'longest s':>16}{'CPU s':>16}"
          f"{'peak MB':>16}{'wall old/new':>14}")
    for rule in sorted(set(before) | set(after)):
        b, a = before.get(rule, [0] * 5), after.get(rule, [0] * 5)
        pair = lambda k, f: f"{f(b[k]):>7}/{f(a[k]):<7}"
        speed = f"{b[1] / a[1]:.1f}x" if a[1] and b[1] else "-"
        print(f"{rule:20}{pair(0, int):>12}{pair(1, lambda v: round(v, 1)):>16}"
              f"{pair(2, lambda v: round(v, 1)):>16}{pair(3, lambda v: round(v, 1)):>16}"
              f"{pair(4, round):>16}{speed:>14}")
    print("(each column: before/after; split_vcf after includes split_batches when batched)")


def standin(state: Path) -> None:
    records = [json.loads(p.read_text()) for p in state.glob("*.json")]
    by_rule: dict[str, list[dict]] = defaultdict(list)
    for record in records:
        name = record["name"].removeprefix("snakejob_")
        by_rule[name.rsplit("_", 1)[0] if not name.startswith("scans") else "scans"].append(record)
    print(f"{len(records)} jobs submitted")
    print(f"{'rule':20}{'jobs':>6}{'wall s max':>12}{'CPU s all':>11}{'peak MB':>9}"
          f"{'asked MB':>10}{'asked min':>10}{'longest min':>12}{'open files':>11}{'failed':>7}")
    for rule, jobs in sorted(by_rule.items()):
        done = [j for j in jobs if "wall" in j]
        worst = max(done, key=lambda j: j["peak_mb"] / max(j["mem_mb"], 1), default={})
        print(f"{rule:20}{len(jobs):>6}{max((j['wall'] for j in done), default=0):>12.1f}"
              f"{sum(j['cpu'] for j in done):>11.1f}{worst.get('peak_mb', 0):>9.0f}"
              f"{worst.get('mem_mb', 0):>10}{min((j['minutes'] for j in jobs), default=0):>10}"
              f"{max((j['wall'] for j in done), default=0) / 60:>12.2f}"
              f"{max((j['open_files'] for j in done), default=0):>11}"
              f"{sum(j['state'] != 'COMPLETED' for j in jobs):>7}")
    over = [j for j in records if "wall" in j and (j["peak_mb"] > j["mem_mb"] or
                                                   on_cores_asked(j) > 60 * j["minutes"])]
    print(f"jobs over their memory or run time (on the cores they asked for): {len(over)}")


def on_cores_asked(job: dict) -> float:
    """A job's wall time on the cores it asked for, from its time on the fewer the stand-in
    gave it (its work spread evenly over its cores, as the grouped scans' is)."""
    return job["wall"] * job.get("cores_given", job["cpus"]) / job["cpus"]


def peaks(samples: Path) -> None:
    """Lines of 'bytes files' taken while the run went on."""
    rows = [tuple(map(int, line.split())) for line in samples.read_text().splitlines() if line]
    print(f"temporary files under work/ at most: {max(r[0] for r in rows) / 1e6:.1f} MB, "
          f"{max(r[1] for r in rows)} files")


def registered(log: Path) -> list[float]:
    """When Snakemake registered each finished job: the time stamp line before 'Finished job'."""
    stamps, stamp = [], 0.0
    for line in log.read_text().splitlines():
        if line.startswith("[") and line.endswith("]"):
            stamp = time.mktime(time.strptime(line[1:-1], "%a %b %d %H:%M:%S %Y"))
        elif line.startswith("Finished job"):
            stamps.append(stamp)
    return stamps


def rate(log: Path, listing: Path, jobs: int) -> None:
    """The rate from the first registered job to the last, the first minute left out as the
    queue fills; and how many jobs Slurm had finished (its `scontrol show job --oneliner`)
    that Snakemake had not seen."""
    stamps = registered(log)
    states = re.findall(r"\bJobState=(\w+)", listing.read_text())
    finished = states.count("COMPLETED")
    steady = [t for t in stamps if t >= stamps[0] + 60] if stamps else []
    seconds = steady[-1] - steady[0] if len(steady) > 1 else 0
    print(f"{len(stamps)} finished jobs registered, {jobs - len(stamps)} still queued at the "
          f"end; Slurm finished {finished} of {len(states)} submitted")
    if seconds:
        print(f"registered after the first minute: {len(steady) / seconds:.2f} jobs a second")


if __name__ == "__main__":
    command, *arguments = sys.argv[1:]
    {"rules": lambda: rules(Path(arguments[0]), Path(arguments[-1])),
     "standin": lambda: standin(Path(arguments[0])),
     "peaks": lambda: peaks(Path(arguments[0])),
     "rate": lambda: rate(Path(arguments[0]), Path(arguments[1]), int(arguments[2]))}[command]()
