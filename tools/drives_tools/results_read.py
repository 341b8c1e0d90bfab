"""Reading drives_mpi's reports: the result file a run saves and the
console transcript it prints, line by line against the wording each must
have, into one run (a dict, the shape drives_results.schema.json gives).
Arguments name files, a directory of them, or `-` for standard input.
"""

import functools
import math
import os
import re
import sys

from . import results_record
from .report import (
    MAX_RANKS,
    NOT_SAVED,
    PROGRAM,
    RIGHTS,
    SAVED,
    STOP_TITLE,
    SUPPORT,
    TEST_BUILD,
    TITLE,
    UNABLE,
)

NUMBER = r"-?(?:inf|nan|\d+(?:\.\d*)?(?:e[-+]\d+)?)"
FILE_NAME = re.compile(
    r"results_drives_macos_clusters_mx @ (?P<host>.+) @ local date "
    r"(?P<y>\d{4})\.(?P<mo>\d\d)\.(?P<d>\d\d) time "
    r"(?P<h>\d\d)\.(?P<mi>\d\d)\.(?P<s>\d\d)\.txt\Z"
)
# Lines other processes add to a transcript: Open MPI's own notices,
# one-line ("[host:pid] ...") or framed between rows of dashes.
MPI_NOTICE = re.compile(r"\[[^\]\s]+:\d+\] ")
MPI_FRAME = re.compile(r"-{20,}\Z")
END_LINE = re.compile(f"(?P<v>{re.escape(SAVED)}|{re.escape(NOT_SAVED)})(?P<path>.*)\\Z")
# The root's line on standard error when workers ran on its node; every
# other "drives_mpi: " line tells of calls that failed.
SHARED_HOST = re.compile(r"drives_mpi: \d+ of \d+ workers ran on this host \(")

# The six measurements, in the order the single-process phase prints them,
# which is also the order of the chart's panels.
TESTS = ("stream_cycle", "descriptor_cycle", "low_write", "low_read", "high_read", "high_write")
BLOCKS = {
    "stream_cycle": "stream file cycle",
    "descriptor_cycle": "descriptor file cycle",
    "low_write": "low writing speed",
    "low_read": "low reading speed",
    "high_read": "high reading speed",
    "high_write": "high writing speed",
}
RATE_UNITS = {
    "stream_cycle": "files/s",
    "descriptor_cycle": "files/s",
    "low_write": "million accesses/s",
    "low_read": "million accesses/s",
    "high_read": "million bytes/s",
    "high_write": "million bytes/s",
}
# Every quantity a test can have, in report order. The report's "MB" is
# 1048576 bytes.
QUANTITIES = ("seconds", "rate", "rate_mib", "total", "total_mib", "gain", "mean")


def unit(test, quantity):
    if quantity == "seconds":
        return "s"
    if quantity == "gain":
        return "times"
    if quantity in ("rate_mib", "total_mib"):
        return "MiB/s"
    if quantity == "mean" and test.startswith(("low", "high")):
        return "MiB/s"
    return RATE_UNITS[test]


class InputError(Exception):
    """A file this tool cannot read as a drives_mpi report."""


# ---------------------------------------------------------------- the report


class Step:
    """One expected line: the block it belongs to, its wording, and where its
    number goes (test, rank: 0 for the root, None for the workers' summary)."""

    __slots__ = ("block", "template", "regex", "test", "quantity", "rank", "named", "unit")

    def __init__(self, block, template, test=None, quantity=None, rank=None):
        self.block, self.template = block, template
        self.regex = END_LINE if template == "{V}" else compile_template(template)
        self.test, self.quantity, self.rank = test, quantity, rank
        self.named = "{H}" in template
        self.unit = unit(test, quantity) if quantity else None

    def expected(self, hosts):
        text = self.template.replace("{N}", "<number>")
        if self.rank:
            text = text.replace("{R}", str(self.rank))
            text = text.replace("{H}", hosts.get(self.rank, "<host>"))
        return text.replace("{R}", "<ranks>")


@functools.lru_cache(maxsize=None)
def compile_template(template):
    pieces = {"{N}": f"(?P<n>{NUMBER})", "{R}": r"(?P<r>\d+)", "{H}": "(?P<h>.+)"}
    pattern = "".join(
        pieces.get(piece) or re.escape(piece) for piece in re.split(r"(\{[NRH]\})", template)
    )
    return re.compile(pattern + r"\Z")


def single_steps(console):
    could = "The system could process " if console else "The system could process  "
    higher = "Power of Handling Files -- Hihger" if console else "Power of Handling Files -- Higher"
    steps = []

    def block(test, heading, lines):
        name = "single process: " + BLOCKS[test]
        for template in heading:
            steps.append(Step(name, template))
        for template, quantity in lines:
            steps.append(Step(name, template, test, quantity, 0))

    block(
        "stream_cycle",
        ["Force to be single thread.", "Power of Handling Files -- Lower"],
        [("The system spent: {N} Secs.", "seconds"), (could + "{N} Files/sec.", "rate")],
    )
    block(
        "descriptor_cycle",
        [higher],
        [("The system spent: {N} Secs.", "seconds"), (could + "{N} Files/sec.", "rate")],
    )
    for test, heading, spent in (
        ("low_write", ["Low writing and reading speeds:"], " Secs. to Write."),
        ("low_read", [], " Secs. to Read:"),
        ("high_read", ["High writing and reading speeds:"], " Secs. to Read:"),
        ("high_write", [], " Secs. to Write."),
    ):
        block(
            test,
            heading,
            [
                ("The system spent: {N}" + spent, "seconds"),
                ("It was: {N} Millions Accesses/sec.", "rate"),
                ("Conventionally, it was: {N} MB/sec.", "rate_mib"),
            ],
        )
    return steps


def multi_steps(console, ranks):
    gap = " " if console else ""
    access = " Millions Access/sec." if console else " Millions Accesses/sec."
    workers = range(1, ranks)
    steps = []
    for test, heading in (
        ("stream_cycle", "Power of Handling Files -- Lower"),
        ("descriptor_cycle", "Power of Handling Files -- Higher"),
    ):
        name = "workers: " + BLOCKS[test]
        if test == "stream_cycle":
            steps.append(Step(name, "Multi-Thread Enabled:"))
        steps.append(Step(name, heading))
        for rank in workers:
            steps += [
                Step(
                    name,
                    "Thread:{R} @{H}" + gap + "The system spent: {N} Secs.",
                    test,
                    "seconds",
                    rank,
                ),
                Step(
                    name,
                    "Thread:{R} @{H}" + gap + "The system could process {N} Files/sec.",
                    test,
                    "rate",
                    rank,
                ),
            ]
        steps += [
            Step(name, "Overall, The system could process: {N} Files/sec.", test, "total"),
            Step(name, "Multi-Thread Improvements: {N} times.", test, "gain"),
            Step(
                name,
                "Among all nodes, the average process per thread was: {N} Files/sec.",
                test,
                "mean",
            ),
        ]
    for level, first, second in (("low", "write", "read"), ("high", "read", "write")):
        name = f"workers: {level} writing and reading speeds"
        steps += [
            Step(name, "Multi-Thread Enabled:"),
            Step(name, f"{level.capitalize()} writing and reading speeds:"),
        ]
        for direction in (first, second):
            test = f"{level}_{direction}"
            for rank in workers:
                steps += [
                    Step(
                        name,
                        "Thread:{R} @{H} The system spent: {N} Secs. to "
                        + direction.capitalize()
                        + ".",
                        test,
                        "seconds",
                        rank,
                    ),
                    Step(name, "Thread:{R} @{H} It was: {N}" + access, test, "rate", rank),
                    Step(name, "Conventionally, it was: {N} MB/sec.", test, "rate_mib", rank),
                ]
        for direction in ("write", "read"):
            test = f"{level}_{direction}"
            ing = direction[:-1] + "ing" if direction == "write" else "reading"
            steps += [
                Step(
                    name,
                    "Overall, It was: {N} Millions Accesses/sec.to " + direction.capitalize(),
                    test,
                    "total",
                ),
                Step(
                    name, f"Conventionally, total {ing} speed was: {{N}} MB/sec.", test, "total_mib"
                ),
                Step(name, "Multi-Thread Improvements: {N} times.", test, "gain"),
            ]
        for direction in ("write", "read"):
            ing = "writing" if direction == "write" else "reading"
            blanks = " " if (level, direction) == ("low", "write") else "  "
            steps.append(
                Step(
                    name,
                    f"Among all nodes, the average {level} {ing} process per "
                    f"thread was: {{N}}{blanks}MB/sec.",
                    f"{level}_{direction}",
                    "mean",
                )
            )
    return steps


@functools.lru_cache(maxsize=64)
def report_steps(console, ranks):
    """Every content line after "Thread(s): N", blank lines left out."""
    steps = single_steps(console)
    if ranks >= 2:
        steps += multi_steps(console, ranks)
    if console:
        steps += [Step("end lines", "{V}"), Step("end lines", "Press Enter to Exit.")]
    return tuple(steps)


HEADER = {
    True: (
        Step("title", TITLE),
        Step("title", RIGHTS),
        Step("title", SUPPORT),
        Step("thread count", "Thread(s): {R}"),
    ),
    False: (Step("title", TITLE), Step("thread count", "Thread(s): {R}")),
}


def parse(text, source):
    """One run from the text of a result file or a console transcript."""
    lines = text.split("\n")
    cut_short = not text.endswith("\n")
    if not cut_short:
        lines.pop()
    run = {
        "source": source,
        "format": None,
        "run": None,
        "host": None,
        "start": None,
        "ranks": None,
        "complete": False,
        "missing": None,
        "saved": None,
        "saved_path": None,
        "notes": [],
        "tests": {},
    }
    hosts = {}
    steps = HEADER[True][:1]
    at = 0
    in_frame = False
    console = None
    for number, line in enumerate(lines, 1):
        if line.endswith("\r"):
            line = line[:-1]
        if not line or line.isspace():
            continue
        if console is not False:
            if MPI_FRAME.match(line):
                in_frame = not in_frame
                continue
            if (
                in_frame
                or line == UNABLE
                or line.startswith("drives_mpi: ")
                or MPI_NOTICE.match(line)
            ):
                rest = glued(line, steps[at]) if at < len(steps) and not in_frame else None
                run["notes"].append(line[: len(line) - len(rest or "")])
                if not rest:
                    continue
                line = rest
            if at == 1 and console is None:
                console = line == RIGHTS
                run["format"] = "console" if console else "result file"
                steps = HEADER[console]
        if at == len(steps):
            raise InputError(
                f"{source}, line {number}: expected the end of the "
                f"{run['format']}, found {line!r}"
            )
        step = steps[at]
        found = step.regex.match(line)
        if not found:
            if number == len(lines) and cut_short:
                run["notes"].append(f"line {number} is cut short: {line!r}")
                break
            raise InputError(mismatch(source, number, line, step, run, hosts))
        at += 1
        if step.quantity:
            record(run, hosts, step, found, source, number, line)
        elif step.block == "thread count":
            ranks = int(found.group("r"))
            if not 1 <= ranks <= MAX_RANKS:
                raise InputError(
                    f'{source}, line {number}: expected "Thread(s): <ranks>" with '
                    f"1 to {MAX_RANKS} ranks, found {line!r}"
                )
            run["ranks"] = ranks
            steps = steps + report_steps(console, ranks)
        elif step.template == "{V}":
            run["saved"] = found.group("v") == SAVED
            run["saved_path"] = found.group("path")
            name_run(run, found.group("path"))
    if run["format"] is None:
        raise InputError(
            f"{source}, line 1: expected {TITLE!r}, the first line of a drives_mpi "
            "result file or console, found nothing"
        )
    if run["format"] == "result file":
        name_run(run, source)
    if at < len(steps) or run["ranks"] is None:
        run["missing"] = steps[at].block if at < len(steps) else "thread count"
    else:
        run["complete"] = True
    run["tests"] = {test: finish_test(run["tests"][test]) for test in TESTS if test in run["tests"]}
    return attach_record(run, None)


def attach_record(run, record):
    """Gives a parsed run its record (a dict drives-run wrote, or None where
    there is none) and what follows from it: whether the run is valid, why
    not, and whether its root shared its node. Without a record, a
    console's notes tell the same where they hold the ranks' lines."""
    if record is not None:
        failures, status = record["failures"], record["status"]
        because = None
        if failures or status == 3:
            because = failed_calls(failures) if failures else "status 3: some calls failed"
        shared = record["root_shared_node"]
    else:
        failures = [
            note
            for note in run["notes"]
            if note == UNABLE
            or (
                note.startswith("drives_mpi: ")
                and not SHARED_HOST.match(note)
                and not note.startswith(PROGRAM + TEST_BUILD)
            )
        ]
        because = failed_calls(failures) if failures else None
        shared = True if any(SHARED_HOST.match(note) for note in run["notes"]) else None
    run.update(
        record=record, valid=because is None, invalid_because=because, root_shared_node=shared
    )
    return run


def failed_calls(lines):
    more = f" (and {len(lines) - 1} more)" if len(lines) > 1 else ""
    return f"some calls failed: {lines[0]}{more}"


def glued(note, step):
    """The report's next line where it follows a rank's note on the same
    line, else None. A rank writes a note to standard error in two writes,
    its text and then its line end, and mpirun forwards standard output in
    between: a console of both streams then holds the note and a line of
    the report as one."""
    if not note.startswith("drives_mpi: "):
        return None
    for start in range(len("drives_mpi: "), len(note)):
        if step.regex.match(note, start):
            return note[start:]
    return None


def mismatch(source, number, line, step, run, hosts):
    where = f"{source}, line {number}: "
    if step.block == "title" and line == STOP_TITLE:
        return where + "this drives_mpi run stopped before its first test and holds no figures"
    if step.template == "{V}":
        expected = f'"{SAVED}<path>" or "{NOT_SAVED}<path>"'
    elif step.template == TITLE:
        expected = f'"{TITLE}", the first line of a drives_mpi result file or console'
    elif step is HEADER[False][1]:
        expected = f'"{RIGHTS}" (console) or "Thread(s): <ranks>" (result file)'
    else:
        expected = f'"{step.expected(hosts)}" ({step.block})'
    return f"{where}expected {expected}, found {line!r}"


def record(run, hosts, step, found, source, number, line):
    test = run["tests"].get(step.test)
    if test is None:
        test = run["tests"][step.test] = {"single": {}, "workers": {}}
    text = found.group("n")
    value = float(text)
    entry = {"value": value if math.isfinite(value) else None, "text": text, "unit": step.unit}
    rank = step.rank
    if rank == 0:
        test["single"][step.quantity] = entry
    elif rank is None:
        test[step.quantity] = entry
    else:
        if step.named:
            host = found.group("h")
            if int(found.group("r")) != rank or hosts.setdefault(rank, host) != host:
                raise InputError(mismatch(source, number, line, step, run, hosts))
        worker = test["workers"].get(rank)
        if worker is None:
            worker = test["workers"][rank] = {"rank": rank, "host": hosts[rank]}
        worker[step.quantity] = entry


def finish_test(test):
    done = {
        "single": test["single"],
        "workers": [test["workers"][rank] for rank in sorted(test["workers"])],
    }
    for quantity in ("total", "total_mib", "gain", "mean"):
        if quantity in test:
            done[quantity] = test[quantity]
    return done


def name_run(run, path):
    """Host and start time from the result file's name, where there is one."""
    found = FILE_NAME.match(os.path.basename(path))
    if found:
        run["host"] = found.group("host")
        run["start"] = "{y}-{mo}-{d}T{h}:{mi}:{s}".format(**found.groupdict())


# ---------------------------------------------------------------- the sources

STDIN = "-"
STDIN_NAME = "standard input"
# How much of a file in a directory is read to tell a report from anything
# else: a console can open with some kilobytes of Open MPI's notices, and
# a run's 16 MiB data files must not be read whole only to be passed over.
SNIFF_BYTES = 65536


def read_run(path):
    """One run from a file, or from standard input where the path is `-`."""
    source = STDIN_NAME if path == STDIN else path
    try:
        if path == STDIN:
            text = sys.stdin.buffer.read().decode("utf-8", errors="replace")
        else:
            with open(path, encoding="utf-8", errors="replace", newline="") as stream:
                text = stream.read()
    except OSError as error:
        raise InputError(f"{source}: {error.strerror}") from None
    run = parse(text, source)
    find_record(run, None if path == STDIN else path)
    if not run["complete"]:
        print(
            f"drives-results: {source}: incomplete run, the report is cut short; first missing "
            f"block: \"{run['missing']}\"",
            file=sys.stderr,
        )
    return run


# Records already found damaged, each told once on standard error though a
# console and its result file both lead to it.
TOLD = set()


def find_record(run, path):
    """Attaches the record of a run read from `path` (None: standard input):
    beside a result file; for a console, beside the console under the
    result file's name, else beside the result file it names."""
    if run["format"] == "result file":
        places = [path] if path else []
    elif run["saved_path"]:
        named = run["saved_path"]
        places = (
            [named]
            if path is None
            else [os.path.join(os.path.dirname(path), os.path.basename(named)), named]
        )
    else:
        places = []
    for place in dict.fromkeys(results_record.path_for(place) for place in places):
        try:
            record = results_record.load(place)
        except results_record.RecordError as error:
            note = f"{place}: record not readable: {error}"
            run["notes"].append(note)
            if place not in TOLD:
                TOLD.add(place)
                print(f"drives-results: {note}", file=sys.stderr)
            return
        if record is not None:
            attach_record(run, record)
            return


def is_report(path):
    """Whether a drives_mpi title line stands near the start of the file."""
    try:
        with open(path, "rb") as stream:
            start = b"\n" + stream.read(SNIFF_BYTES)
    except OSError as error:
        raise InputError(f"{path}: {error.strerror}") from None
    return any(b"\n" + title.encode() in start for title in (TITLE, STOP_TITLE))


def entries(directory):
    try:
        return [os.path.join(directory, name) for name in sorted(os.listdir(directory))]
    except OSError as error:
        raise InputError(f"{directory}: {error.strerror}") from None


def report_files(directory):
    """The result files and consoles in a directory, in name order, as lists
    of one directory each: its own, else those of its subdirectories (one
    level down, what drives-run --repeat leaves in before/1, before/2...)."""
    paths = entries(directory)
    found = [path for path in paths if os.path.isfile(path) and is_report(path)]
    if found:
        return [found]
    below = [
        [path for path in entries(sub) if os.path.isfile(path) and is_report(path)]
        for sub in paths
        if os.path.isdir(sub)
    ]
    below = [files for files in below if files]
    if not below:
        raise InputError(f"{directory}: no drives_mpi result file or console in this directory")
    return below


def without_echoes(runs):
    """A directory's runs less the consoles whose result file lies there too:
    a run whose console was kept beside its result file counts once."""
    saved = {os.path.basename(run["source"]) for run in runs if run["format"] == "result file"}
    return [
        run for run in runs if not (run["saved"] and os.path.basename(run["saved_path"]) in saved)
    ]


def runs_in(argument):
    """The runs one argument names: a file, `-`, or a directory."""
    if argument != STDIN and os.path.isdir(argument):
        return [
            run
            for files in report_files(argument)
            for run in without_echoes([read_run(path) for path in files])
        ]
    return [read_run(argument)]


def read_sides(sides):
    """The runs of each side (a list of arguments), labelled apart across
    all sides."""
    if sum(side.count(STDIN) for side in sides) > 1:
        raise InputError("standard input (-) can be read only once")
    runs = [[run for argument in side for run in runs_in(argument)] for side in sides]
    label_runs([run for side in runs for run in side])
    return runs


def label_runs(runs):
    """Gives each run its label, apart from the others': by root host and
    start time, else by file name, with #2, #3 on repeats."""
    seen = {}
    for run in runs:
        if run["host"] and run["start"]:
            label = f"{run['host']} {run['start'].replace('T', ' ')}"
        else:
            label = os.path.basename(run["source"])
        seen[label] = seen.get(label, 0) + 1
        run["run"] = label if seen[label] == 1 else f"{label} #{seen[label]}"
    return runs


def read_runs(arguments):
    return read_sides([arguments])[0]


# ---------------------------------------------------------------- the figures


def figures(run):
    """(test, rank, host, quantity, figure) of a run, in report order; rank
    0 is the root alone, rank None the workers' summary."""
    for test_name, test in run["tests"].items():
        for quantity, entry in test["single"].items():
            yield test_name, 0, run["host"], quantity, entry
        for worker in test["workers"]:
            for quantity, entry in worker.items():
                if quantity not in ("rank", "host"):
                    yield test_name, worker["rank"], worker["host"], quantity, entry
        for quantity in QUANTITIES:
            if quantity in test:
                yield test_name, None, None, quantity, test[quantity]


def order(key):
    """Report order of a (test, rank, quantity) key: the root, the workers,
    then their summary."""
    test, rank, quantity = key
    return TESTS.index(test), math.inf if rank is None else rank, QUANTITIES.index(quantity)
