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
import signal
import sys
from typing import Any, Dict, List, Optional, Tuple

from .results_chart import KINDS, chart
from .results_compare import compare, summary
from .results_formats import FORMATS, WIDTH, render, to_csv, to_json, width_of, write_output
from .results_read import InputError, read_run, read_runs, read_sides
from .process import quiet_exit, standard_streams
from .statuses import ExitStatus, Failure
from .version import version

# read_run: bench/bench.py reads its reference run through this module.
__all__ = ["main", "read_run"]

HELP = f"""\
Reads the result files and console transcripts of drives_mpi. A FILE may be
- (standard input) or a directory: every result file and console in it and
in its subdirectories, one level down.

  json FILE...             one JSON object per run (see drives_results.schema.json)
  csv FILE...              one row per figure: run, test, rank, host, quantity,
                           value, unit, valid, root_shared_node
  chart FILE... -o OUT     a panel per measurement, a bar per worker and run
                           (.png, .svg or .pdf)
  summary FILE...          count, min, median, max and spread of every figure
  compare OLD NEW          every figure's old and new value, new/old, and the
  compare OLD... -- NEW... changes beyond --threshold; with several runs a side,
                           their medians, marking only changes beyond both

drives-run's record beside a result file gives the nodes' facts and how the
run ended: a run that did not end well (calls failed, a failing status, a
signal, a record left unfinished, a report cut short) is invalid, and
summary and compare leave it out unless --include-invalid.

json, csv, summary and compare write to standard output or -o FILE; summary
and compare in --format text (the default), json, csv or markdown. Text fits
the terminal (80 columns elsewhere); --wide writes every column, each
figure as the report printed it. Figures keep the report's units; its "MB"
is MiB, 1048576 bytes. Worse means: more seconds, or a lower rate, total,
mean or gain.

Exit status: {ExitStatus.OK} done, {ExitStatus.USAGE} bad input or usage, \
{ExitStatus.WORSE} compare found a figure worse,
{ExitStatus.NO_MATPLOTLIB} chart without matplotlib.
"""
# compare's `--` parts its files while options may still follow it, so
# argparse, which would end the options there, sees this instead: no
# command-line argument can hold a NUL.
SIDES = "\0--"


def threshold_arg(text: str) -> float:
    try:
        value = float(text.rstrip("%")) / 100
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}")
    return value


def parsers() -> Tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    """The top-level parser and each command's own."""
    top = argparse.ArgumentParser(
        prog="drives-results",
        description=HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"drives-results {version()}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    subs: Dict[str, argparse.ArgumentParser] = {}

    def command(name: str, text: str, **options: Any) -> argparse.ArgumentParser:
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
        "the threshold; with several runs a side, their medians, marking only the changes beyond "
        "the threshold whose ranges do not overlap. Worse means more seconds, or a lower rate, "
        f"total, mean or gain. Exit status {ExitStatus.WORSE} when a figure got worse; a gain of "
        "runs whose root shared its node does not count.",
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
            "--wide",
            action="store_true",
            help="text: every column, each figure as printed, no matter the width",
        )
        subs[name].add_argument(
            "--include-invalid",
            action="store_true",
            help="count the runs that did not end well too",
        )
    return top, subs


def parser() -> argparse.ArgumentParser:
    """drives-results' parser, its commands within."""
    return parsers()[0]


def parse(argv: List[str]) -> argparse.Namespace:
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


def sides(files: List[str], usage: argparse.ArgumentParser) -> Tuple[List[str], List[str]]:
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


def width(args: argparse.Namespace) -> Optional[int]:
    """The text's width: none with --wide, the terminal's where it goes to
    one, else 80."""
    if args.wide:
        return None
    return width_of(sys.stdout) if args.output in (None, "-") else WIDTH


def tell(notes: List[str]) -> None:
    for note in notes:
        print(f"drives-results: {note}", file=sys.stderr)


def run(args: argparse.Namespace) -> int:
    """Carries out a parsed command; its exit status."""
    if args.command == "compare":
        found = read_sides([args.old, args.new])
        tell(found.notes)
        old, new = found.runs
        report, worse = compare(old, new, args.threshold, args.include_invalid)
        write_output(args.output, render(report, args.format, width(args)))
        return ExitStatus.WORSE if worse else ExitStatus.OK
    if args.command == "chart":
        if os.path.splitext(args.output)[1].lower() not in KINDS:
            raise InputError(f"{args.output}: the chart is written as .png, .svg or .pdf")
        found = read_runs(args.files)
        tell(found.notes)
        chart(found.runs[0], args.output, args.title)
        return ExitStatus.OK
    found = read_runs(args.files)
    tell(found.notes)
    runs = found.runs[0]
    if args.command == "summary":
        report = summary(runs, args.include_invalid)
        tell(report.notes)
        write_output(args.output, render(report, args.format, width(args)))
    else:
        write_output(args.output, to_json(runs) if args.command == "json" else to_csv(runs))
    return ExitStatus.OK


def main(argv: Optional[List[str]] = None) -> int:
    standard_streams()
    args = parse(sys.argv[1:] if argv is None else argv)
    try:
        return run(args)
    except Failure as failure:
        print(f"drives-results: {failure}", file=sys.stderr)
        return failure.status
    except BrokenPipeError:
        # The reader went away (| head): what is left is for nobody.
        quiet_exit()
        return ExitStatus.SIGNALLED + signal.SIGPIPE
    except OSError as error:
        print(f"drives-results: {error.filename or ''}: {error.strerror}", file=sys.stderr)
        return ExitStatus.USAGE


if __name__ == "__main__":
    sys.exit(main())
