#!/usr/bin/env python3
"""Prints the scan benchmark's table from the files bench/scan_bench.sh leaves in its results
folder, and checks that the one-pass and the per-site scans wrote the same reads, and that
every thread count wrote the same bytes.

For each data set folder (results/<set>/): <program>.json (hyperfine export), <program>.rss
(/usr/bin/time -v report), <program>.status (exit status of the checked run), and the outputs
new.out and per_site.out. Standard library only."""

import json
import os
import re
import statistics
import sys

PROGRAMS = [
    ("new", "bridgeScan (one pass)"),
    ("new_t2", "bridgeScan --threads 2"),
    ("new_t3", "bridgeScan --threads 3"),
    ("per_site", "bridgeScan_per_site"),
    ("floor", "samtools view -c"),
    ("mpileup", "samtools mpileup"),
]


def read_text(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return None


def timing(path):
    """Median, min and max wall-clock seconds, mean CPU seconds (user + system) and runs."""
    text = read_text(path)
    if text is None:
        return None
    result = json.loads(text)["results"][0]
    times = result.get("times") or []
    median = result.get("median")
    if median is None and times:
        median = statistics.median(times)
    cpu = result.get("user", 0) + result.get("system", 0)
    return (median, min(times) if times else None, max(times) if times else None, cpu,
            len(times))


def peak_rss_mb(path):
    text = read_text(path)
    if text is None:
        return None
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
    return int(match.group(1)) / 1024 if match else None


def read_blocks(path):
    """The output as [(header, [lines])]: the MAP block, then one block per sample. A block
    whose header promises more lines than follow is returned short and flagged."""
    blocks, problems = [], []
    with open(path) as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    i = 0
    while i < len(lines):
        header = lines[i]
        parts = header.split()
        if len(parts) != 2 or not parts[1].isdigit():
            problems.append("line %d is not a block header: %r" % (i + 1, header[:60]))
            break
        count = int(parts[1])
        body = lines[i + 1:i + 1 + count]
        if len(body) < count:
            problems.append("block %r promises %d lines, %d follow" % (parts[0], count, len(body)))
        blocks.append((parts[0], body))
        i += 1 + count
    return blocks, problems


def compare(new_path, old_path):
    """One line per block: name, SAME or DIFFERENT, PIR lines of each scan."""
    if not (os.path.exists(new_path) and os.path.exists(old_path)):
        return ["  outputs: not compared (a program failed, see above)"], False
    new_blocks, new_problems = read_blocks(new_path)
    old_blocks, old_problems = read_blocks(old_path)
    report = ["  malformed one-pass output: " + p for p in new_problems]
    report += ["  malformed per-site output: " + p for p in old_problems]
    all_same = not new_problems and not old_problems
    if [b[0] for b in new_blocks] != [b[0] for b in old_blocks]:
        report.append("  block names differ: %s vs %s"
                      % ([b[0] for b in new_blocks], [b[0] for b in old_blocks]))
        all_same = False
    for (name, new_lines), (_, old_lines) in zip(new_blocks, old_blocks):
        same = sorted(new_lines) == sorted(old_lines)
        all_same &= same
        what = "sites" if name == "MAP" else "PIR lines"
        detail = "%d %s" % (len(new_lines), what)
        if not same:
            only_new = len(set(new_lines) - set(old_lines))
            only_old = len(set(old_lines) - set(new_lines))
            detail = "%d vs %d %s; %d only in one-pass, %d only in per-site" % (
                len(new_lines), len(old_lines), what, only_new, only_old)
        report.append("  %-4s %-9s %s" % (name, "SAME" if same else "DIFFERENT", detail))
    return report, all_same


def same_bytes(a, b):
    first = read_text(a, "rb")
    return first is not None and first == read_text(b, "rb")


def fmt(value, pattern):
    return format(value, pattern) if value is not None else "-"


def ratio(a, b):
    return "%.2fx" % (a / b) if a is not None and b else "-"


def main():
    results = sys.argv[1]
    sets = sys.argv[2:]
    overall_same = True
    print()
    print("%-6s %-24s %9s %8s %8s %8s %5s %12s" % (
        "data", "program", "median s", "min s", "max s", "CPU s", "runs", "peak RSS MB"))
    summaries = []
    for name in sets:
        folder = os.path.join(results, name)
        medians, peaks = {}, {}
        for key, label in PROGRAMS:
            found = timing(os.path.join(folder, key + ".json"))
            status = (read_text(os.path.join(folder, key + ".status")) or "").strip()
            median, low, high, cpu, runs = found if found else (None, None, None, None, 0)
            medians[key] = median
            peaks[key] = peak_rss_mb(os.path.join(folder, key + ".rss"))
            note = "" if status in ("", "0") else "  FAILED (exit status %s)" % status
            print("%-6s %-24s %9s %8s %8s %8s %5s %12s%s" % (
                name, label, fmt(median, ".3f"), fmt(low, ".3f"), fmt(high, ".3f"),
                fmt(cpu, ".3f"), runs, fmt(peaks[key], ".1f"), note))
        summaries.append((name, medians, peaks, folder))
    print("(median, min, max: wall-clock over the timed runs; CPU: mean user + system time)")
    print()
    print("%-6s %12s %12s %12s %14s %14s %14s" % (
        "data", "new / floor", "t2 / new", "t3 / new", "t2 / new RSS", "per-site / new",
        "mpileup / new"))
    for name, m, peak, _ in summaries:
        print("%-6s %12s %12s %12s %14s %14s %14s" % (
            name, ratio(m["new"], m["floor"]), ratio(m["new_t2"], m["new"]),
            ratio(m["new_t3"], m["new"]), ratio(peak["new_t2"], peak["new"]),
            ratio(m["per_site"], m["new"]), ratio(m["mpileup"], m["new"])))
    print("(new: --threads 1; t2, t3: --threads 2 and 3, wall-clock medians)")
    for name, _, _, folder in summaries:
        print()
        print("%s: one-pass vs per-site output, lines sorted within each block "
              "(the tool reports no held-read count; PIR lines are counted)" % name)
        report, same = compare(os.path.join(folder, "new.out"),
                               os.path.join(folder, "per_site.out"))
        overall_same &= same
        print("\n".join(report))
        for key in ("new_t2", "new_t3"):
            identical = same_bytes(os.path.join(folder, "new.out"), os.path.join(folder, key + ".out"))
            overall_same &= identical
            print("  %s output: %s" % (key, "SAME BYTES" if identical else "DIFFERENT"))
    print()
    print("Outputs: " + ("SAME" if overall_same else "DIFFERENT"))


if __name__ == "__main__":
    main()
