#!/usr/bin/env python3
"""Reads the Google Benchmark JSON of a bench/run.sh run and prints one table: benchmark, figure,
unit, reference, ratio (and, given an earlier run, its figure and ratio beside them). Optionally
writes the table with the machine's description as Markdown, and a PNG plot of every figure
against its reference.

A benchmark's figure is its real time per iteration in its time unit, unless it sets a counter
named "figure" (then that, with the unit given as its label). A counter named "reference" is the
figure it is compared with, in the same unit; the ratio is figure / reference. With repetitions,
the median of the rounds is used: Google Benchmark's "median" aggregate when the run has one,
otherwise the median of the rounds found.
"""

import argparse
import datetime
import glob
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile


def benchmark_entries(path):
    """The entries of a report's "benchmarks" array. A report cut short (a program that died)
    gives the entries that were written whole."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        return json.loads(text).get("benchmarks", []), None
    except json.JSONDecodeError:
        pass
    start = text.find('"benchmarks"')
    start = text.find("[", start) if start >= 0 else -1
    if start < 0:
        return [], "no benchmarks in the report"
    decoder = json.JSONDecoder()
    entries, at = [], start + 1
    while True:
        while at < len(text) and text[at] in " \t\r\n,":
            at += 1
        if at >= len(text) or text[at] != "{":
            break
        try:
            entry, at = decoder.raw_decode(text, at)
        except json.JSONDecodeError:
            break
        entries.append(entry)
    return entries, "report cut short: %d entries read" % len(entries)


class Row:
    def __init__(self, name, program):
        self.name = name
        self.program = program
        self.figure = None
        self.unit = ""
        self.reference = None
        self.rounds = 0
        self.error = None

    def ratio(self):
        if self.figure is None or not self.reference:
            return None
        return self.figure / self.reference


def summarize(program, entries):
    """One row per benchmark run, in the order the runs first appear."""
    runs = {}
    for e in entries:
        key = e.get("run_name", e.get("name"))
        runs.setdefault(key, []).append(e)
    rows = []
    for key, group in runs.items():
        row = Row(key, program)
        failed = [e for e in group if e.get("error_occurred")]
        if failed:
            row.error = failed[0].get("error_message", "failed")
        medians = [e for e in group if e.get("aggregate_name") == "median"]
        rounds = [e for e in group if e.get("run_type", "iteration") == "iteration"
                  and not e.get("error_occurred")]
        chosen = medians or rounds
        if not chosen:
            rows.append(row)
            continue
        first = chosen[0]
        has_figure = "figure" in first
        row.unit = first.get("label", "") if has_figure else first.get("time_unit", "")

        def median_of(field):
            values = [e[field] for e in chosen if isinstance(e.get(field), (int, float))]
            return statistics.median(values) if values else None

        row.figure = median_of("figure" if has_figure else "real_time")
        row.reference = median_of("reference")
        row.rounds = first.get("repetitions", len(rounds)) if medians else len(rounds)
        rows.append(row)
    return rows


def load(folder):
    rows, notes = [], []
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        program = os.path.splitext(os.path.basename(path))[0]
        try:
            entries, note = benchmark_entries(path)
        except (OSError, UnicodeDecodeError) as e:
            notes.append("%s: %s" % (program, e))
            continue
        if note:
            notes.append("%s: %s" % (program, note))
        rows.extend(summarize(program, entries))
    return rows, notes


# Where the plot's bars start: ratios are drawn on a logarithmic axis.
FLOOR = 0.05


def short_name(name):
    """The name without Google Benchmark's decorations, for reading."""
    for decoration in ("/iterations:1", "/real_time"):
        name = name.replace(decoration, "")
    return name


def number(value, digits=4):
    return "-" if value is None else "%.*g" % (digits, value)


def table(rows, baseline):
    header = ["benchmark"]
    if baseline is not None:
        header += ["before", "ratio before"]
    header += ["figure", "unit", "reference", "ratio", "rounds"]
    lines = []
    for r in rows:
        line = [short_name(r.name)]
        if baseline is not None:
            b = baseline.get(r.name)
            line += [number(b.figure) if b else "-",
                     "%.2f" % b.ratio() if b and b.ratio() is not None else "-"]
        if r.error is not None and r.figure is None:
            line += ["error: " + r.error, "", "-", "-", str(r.rounds)]
        else:
            ratio = r.ratio()
            line += [number(r.figure), r.unit, number(r.reference),
                     "%.2f" % ratio if ratio is not None else "-", str(r.rounds)]
        lines.append(line)
    return header, lines


def print_table(header, lines):
    widths = [max(len(str(x)) for x in column) for column in zip(header, *lines)]
    left = {0, header.index("unit")}  # names and units read from the left, numbers from the right
    for line in [header] + lines:
        cells = [str(c).ljust(w) if i in left else str(c).rjust(w)
                 for i, (c, w) in enumerate(zip(line, widths))]
        print("  ".join(cells).rstrip())


def machine():
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "CPU": cpu,
        "cores": str(os.cpu_count()),
        "kernel": platform.release(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def markdown(path, header, lines, notes, baseline_dir, plot_name):
    out = ["# Benchmarks", "",
           "Written by `bench/run.sh` (`bench/report.py`). Each figure is the median of the "
           "rounds shown; the ratio is figure / reference, measured in the same run. For rates "
           "(GB/s, req/s, conn/s) a higher ratio is better, for times and sizes a lower one.", ""]
    for key, value in machine().items():
        out.append("- %s: %s" % (key, value))
    if baseline_dir:
        out.append("- before: the run in `%s`" % baseline_dir)
    out.append("")
    out.append("| " + " | ".join(header) + " |")
    out.append("|" + "|".join("---" if h in ("benchmark", "unit") else "--:" for h in header) + "|")
    for line in lines:
        out.append("| " + " | ".join(str(c).replace("|", "\\|") for c in line) + " |")
    if notes:
        out += ["", "Notes:", ""] + ["- " + n for n in notes]
    if plot_name:
        out += ["", "![Each figure against its reference](%s)" % plot_name]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


def plot(path, rows, baseline):
    """A bar per benchmark that has a reference: its figure as a share of the reference (1.0),
    and the earlier run's beside it when there is one."""
    if shutil.which("gnuplot") is None:
        print("gnuplot not found: the plot is skipped (scripts/setup.sh installs it)",
              file=sys.stderr)
        return False
    compared = [r for r in rows if r.ratio() is not None]
    if not compared:
        print("no benchmark has a reference: nothing to plot", file=sys.stderr)
        return False
    with tempfile.TemporaryDirectory() as work:
        data = os.path.join(work, "ratios.dat")
        with open(data, "w", encoding="utf-8") as f:
            for r in compared:
                b = baseline.get(r.name) if baseline is not None else None
                before = b.ratio() if b and b.ratio() is not None else float("nan")
                f.write('"%s" %g %g\n' % (short_name(r.name).replace('"', "'"), r.ratio(), before))
        # Horizontal bars on a logarithmic axis: ratios from a third to fifteen stay readable.
        now = "'%s' using (1):0:(%g):($2):($0-0.2):($0+0.2):ytic(1) with boxxyerror title 'now'"
        plots = [now % (data, FLOOR)]
        if baseline is not None:
            plots.append("'%s' using (1):($0+0.4):(%g):($3):($0+0.2):($0+0.6) with boxxyerror "
                         "title 'before'" % (data, FLOOR))
        script = "\n".join([
            "set terminal pngcairo noenhanced size 1100,%d font ',10'" % (160 + 30 * len(compared)),
            "set output '%s'" % path,
            "set title 'Each figure as a share of its reference (the dashed line: reference)'",
            "set logscale x",
            "set xrange [%g:*]" % FLOOR,
            "set yrange [%g:-0.7]" % (len(compared) - 0.2),  # first row on top
            "set grid xtics",
            "set style fill solid 0.8 border -1",
            "set key bottom right",
            "set arrow from 1, graph 0 to 1, graph 1 nohead front dt 2 lw 2",
            "plot " + ", ".join(plots),
        ])
        done = subprocess.run(["gnuplot"], input=script, text=True, capture_output=True)
    if done.returncode != 0:
        print("gnuplot failed: " + done.stderr.strip(), file=sys.stderr)
        return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results", help="folder of the run's *.json")
    parser.add_argument("--baseline", help="folder of an earlier run's *.json: a before column")
    parser.add_argument("--markdown", help="write the table and the machine here")
    parser.add_argument("--plot", help="write the PNG plot here")
    args = parser.parse_args()

    rows, notes = load(args.results)
    if not rows:
        print("no benchmark results in %s" % args.results, file=sys.stderr)
        return 1
    baseline = None
    if args.baseline:
        before, before_notes = load(args.baseline)
        if not before:
            print("no benchmark results in %s" % args.baseline, file=sys.stderr)
            return 1
        baseline = {r.name: r for r in before}
        notes += ["before, " + n for n in before_notes]
    header, lines = table(rows, baseline)
    print_table(header, lines)
    for n in notes:
        print("note: " + n, file=sys.stderr)
    plotted = bool(args.plot) and plot(args.plot, rows, baseline)
    if args.markdown:
        plot_name = os.path.relpath(args.plot, os.path.dirname(args.markdown)) if plotted else None
        markdown(args.markdown, header, lines, notes, args.baseline, plot_name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
