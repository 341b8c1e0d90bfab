"""drives-results: reads the reports drives_mpi writes (result files and
console transcripts) and turns them into JSON, CSV, a chart, a summary of
several runs, or a comparison of two sets of runs.

Standard library only, but for `chart`, which needs matplotlib. The work
lives beside this module: results_read (the reports), results_formats (the
outputs), results_compare (summary and compare), results_chart.
"""

import argparse
import math
import os
import sys

from .results_chart import KINDS, MissingMatplotlib, chart
from .results_compare import compare, summary
from .results_formats import FORMATS, render, to_csv, to_json, write_output
from .results_read import InputError, read_run, read_runs, read_sides
from .version import version

# read_run: bench/bench.py reads its reference run through this module.
__all__ = ["main", "read_run"]

HELP = """\
Reads the result files and console transcripts of drives_mpi. A FILE may be
- (standard input) or a directory: every result file and console in it.

  json FILE...             one JSON object per run (see drives_results.schema.json)
  csv FILE...              one row per figure: run, test, rank, host, quantity, value, unit,
                           valid, root_shared_node
  chart FILE... -o OUT     a panel per measurement, a bar per worker and run
                           (.png, .svg or .pdf)
  summary FILE...          count, min, median, max and spread of every figure over runs
  compare OLD NEW          every figure's old and new value, new/old, and the changes
  compare OLD... -- NEW... beyond --threshold; with several runs a side, their medians
                           and ranges, marking only changes beyond both

A directory holding no report but subdirectories that do (what drives-run
--repeat leaves) stands for those. drives-run's record beside a result file
gives the nodes' facts; a run whose calls failed is invalid, and summary and
compare leave it out unless --include-invalid.

json, csv, summary and compare write to standard output or -o FILE; summary
and compare in --format text (the default), json, csv or markdown.
Worse means: more seconds, or a lower rate, total, mean or gain.
Exit status: 0 done, 1 compare found a figure worse, 2 bad input or usage,
3 chart without matplotlib.
"""
# compare's `--` parts its files while options may still follow it, so
# argparse, which would end the options there, sees this instead: no
# command-line argument can hold a NUL.
SIDES = "\0--"


def threshold_arg(text):
    try:
        value = float(text.rstrip("%")) / 100
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}")
    return value


def parsers():
    """The top-level parser and each command's own."""
    top = argparse.ArgumentParser(
        prog="drives-results",
        description=HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"drives-results {version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    subs = {}

    def command(name, text, **options):
        options.setdefault("description", text)
        sub = subs[name] = commands.add_parser(name, help=text, **options)
        sub.add_argument("files", nargs="+", metavar="FILE")
        chart_out = name == "chart"
        sub.add_argument(
            "-o",
            "--output",
            required=chart_out,
            help="OUT.png, OUT.svg or OUT.pdf"
            if chart_out
            else "write here instead of standard output",
        )
        return sub

    command("json", "runs as JSON")
    command("csv", "runs as a long CSV table")
    command("chart", "draw the runs' rates").add_argument("--title", help="the figure's title")
    command("summary", "count, min, median, max and spread of every figure over several runs")
    sub = command(
        "compare",
        "compare two runs, or two sets of runs",
        description="Prints every figure of OLD and NEW with new/old, and marks the changes beyond "
        "the threshold; with several runs a side, their medians and ranges, marking only the "
        "changes beyond the threshold whose ranges do not overlap. Worse means more seconds, or "
        "a lower rate, total, mean or gain. Exit status 1 when a figure got worse.",
        usage="drives-results compare [options] OLD NEW\n"
        "       drives-results compare [options] OLD... -- NEW...",
    )
    sub.add_argument(
        "--threshold",
        type=threshold_arg,
        default=0.10,
        metavar="PERCENT",
        help="mark changes beyond this many percent (default 10)",
    )
    for name in ("summary", "compare"):
        subs[name].add_argument(
            "--format",
            choices=FORMATS,
            default="text",
            help="text (the default), json, csv or markdown",
        )
        subs[name].add_argument(
            "--include-invalid", action="store_true", help="count the runs whose calls failed too"
        )
    return top, subs


def parser():
    """drives-results' parser, its commands within."""
    return parsers()[0]


def parse(argv):
    """The command line. A command's options may stand anywhere among its
    files, also after compare's `--`."""
    top, subs = parsers()
    if not argv or argv[0] not in subs:
        return top.parse_args(argv)
    sub = subs[argv[0]]
    rest = [SIDES if arg == "--" and argv[0] == "compare" else arg for arg in argv[1:]]
    args = sub.parse_intermixed_args(rest)
    args.command = argv[0]
    if args.command == "compare":
        args.old, args.new = sides(args.files, sub)
    return args


def sides(files, usage):
    """compare's OLD and NEW: a file or directory each, or any number with
    `--` between them."""
    if files.count(SIDES) == 1:
        at = files.index(SIDES)
        old, new = files[:at], files[at + 1 :]
    elif SIDES not in files and len(files) == 2:
        old, new = files[:1], files[1:]
    else:
        old = new = []
    if not (old and new):
        usage.error("compare takes OLD NEW, or OLD... -- NEW... (one -- between the sides)")
    return old, new


def run(args):
    """Carries out a parsed command; its exit status."""
    if args.command == "compare":
        old, new = read_sides([args.old, args.new])
        report, worse = compare(old, new, args.threshold, args.include_invalid)
        write_output(args.output, render(report, args.format))
        return 1 if worse else 0
    if args.command == "chart":
        if os.path.splitext(args.output)[1].lower() not in KINDS:
            raise InputError(f"{args.output}: the chart is written as .png, .svg or .pdf")
        chart(read_runs(args.files), args.output, args.title)
        return 0
    runs = read_runs(args.files)
    if args.command == "summary":
        write_output(args.output, render(summary(runs, args.include_invalid), args.format))
    else:
        write_output(args.output, to_json(runs) if args.command == "json" else to_csv(runs))
    return 0


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    try:
        return run(args)
    except InputError as error:
        print(f"drives-results: {error}", file=sys.stderr)
        return 2
    except MissingMatplotlib as error:
        print(f"drives-results: {error}", file=sys.stderr)
        return 3
    except OSError as error:
        print(f"drives-results: {error.filename or ''}: {error.strerror}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
