"""Reading drives_mpi's reports: the result file a run saves and the
console transcript it prints, line by line against the wording each must
have (report.py), into one Run. Arguments name files, a directory of them,
or `-` for standard input. What a reader should hear about comes back as
notes; the command prints them.
"""

import dataclasses
import functools
import math
import os
import re
import signal
import sys
from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Pattern, Tuple

from . import report, results_record
from .run_record import Record
from .statuses import ExitStatus, Failure

NUMBER = r"-?(?:inf|nan|\d+(?:\.\d*)?(?:e[-+]\d+)?)"
# Rank numbers have at most as many digits as the largest rank count.
RANK_DIGITS = len(str(report.MAX_RANKS))
# The fields of the start time in a result file's name: group, digits.
STAMP = {
    "%Y": ("y", 4),
    "%m": ("mo", 2),
    "%d": ("d", 2),
    "%H": ("h", 2),
    "%M": ("mi", 2),
    "%S": ("s", 2),
}


def file_name_pattern() -> Pattern[str]:
    """The result file's name, its host and its start time's fields named."""
    stamp = "".join(
        f"(?P<{STAMP[piece][0]}>\\d{{{STAMP[piece][1]}}})" if piece in STAMP else re.escape(piece)
        for piece in re.split(r"(%[YmdHMS])", report.TIMESTAMP_PATTERN)
    )
    host, rest = report.RESULT_FILE_PATTERN.split("%s", 1)
    return re.compile(
        re.escape(host) + "(?P<host>.+)" + re.escape(rest).replace("%s", stamp) + r"\Z"
    )


FILE_NAME = file_name_pattern()
# Lines other processes add to a transcript: Open MPI's own notices,
# one-line ("[host:pid] ...") or framed between rows of dashes.
MPI_NOTICE = re.compile(r"\[[^\]\s]+:\d+\] ")
MPI_FRAME = re.compile(r"-{20,}\Z")
END_LINE = re.compile(
    f"(?P<v>{re.escape(report.SAVED)}|{re.escape(report.NOT_SAVED)})(?P<path>.*)\\Z"
)
NOTE = report.PROGRAM + ": "
# The root's line on standard error when workers ran on its node; every
# other NOTE line but a test build's tells of calls that failed.
SHARED_HOST = re.compile(
    re.escape(NOTE)
    + r"\d+"
    + re.escape(report.WORKERS_OF)
    + r"\d+"
    + re.escape(report.RAN_ON_THIS_HOST)
)

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
# The unit of each test's rate and total. The report's "MB" is MiB, 1048576
# bytes; its "Millions Accesses" of the block tests are millions of bytes.
RATE_UNITS = {
    "stream_cycle": "files/s",
    "descriptor_cycle": "files/s",
    "low_write": "million accesses/s",
    "low_read": "million accesses/s",
    "high_read": "million bytes/s",
    "high_write": "million bytes/s",
}
MIB = "MiB/s"
# Every quantity a test can have, in report order.
QUANTITIES = ("seconds", "rate", "rate_mib", "total", "total_mib", "gain", "mean")


def unit(test: str, quantity: str) -> str:
    if quantity == "seconds":
        return "s"
    if quantity == "gain":
        return "times"
    if quantity in ("rate_mib", "total_mib") or (
        quantity == "mean" and test.startswith(("low", "high"))
    ):
        return MIB
    return RATE_UNITS[test]


class InputError(Failure):
    """A file this tool cannot read as a drives_mpi report: bad input."""

    def __init__(self, message: str) -> None:
        super().__init__(message, ExitStatus.USAGE)


# ---------------------------------------------------------------- what a run is


class Figure(NamedTuple):
    """One number of the report: its value (None where it printed inf or
    nan), its text as printed, its unit. A tuple, since a run of many
    ranks holds tens of thousands, made and written out in a hurry."""

    value: Optional[float]
    text: str
    unit: str


@dataclasses.dataclass
class Worker:
    rank: int
    host: str
    figures: Dict[str, Figure] = dataclasses.field(default_factory=dict)  # by quantity


@dataclasses.dataclass
class Test:
    """One measurement: the root alone, each worker, and the workers'
    total, gain and mean."""

    single: Dict[str, Figure] = dataclasses.field(default_factory=dict)
    workers: List[Worker] = dataclasses.field(default_factory=list)
    summary: Dict[str, Figure] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Run:
    """One report as read, and what its record says of it."""

    source: str  # the file read, or STDIN_NAME
    format: Optional[str] = None  # "result file" or "console"
    label: str = ""  # unique among the runs of one call (label_runs)
    host: Optional[str] = None  # the root's, from the result file's name
    start: Optional[str] = None  # local, YYYY-MM-DDTHH:MM:SS
    ranks: Optional[int] = None
    complete: bool = False
    missing: Optional[str] = None  # the first block a cut report lacks
    saved: Optional[bool] = None  # a console's end line: saved or not
    saved_path: Optional[str] = None
    notes: List[str] = dataclasses.field(default_factory=list)  # lines not of the report
    tests: Dict[str, Test] = dataclasses.field(default_factory=dict)
    record: Optional[Record] = None
    valid: bool = True
    invalid_because: Optional[str] = None
    root_shared_node: Optional[bool] = None
    # What the command tells on standard error about this run.
    warnings: List[str] = dataclasses.field(default_factory=list)


# ---------------------------------------------------------------- the report

N, R, H = "{N}", "{R}", "{H}"  # a figure, a rank, a host in a template


@dataclasses.dataclass(frozen=True, eq=False)
class Step:
    """One expected line: the block it belongs to, its wording, and where its
    number goes (test, rank: 0 for the root, None for the workers' summary)."""

    block: str
    template: str
    test: Optional[str] = None
    quantity: Optional[str] = None
    rank: Optional[int] = None
    # Worked out once: each is looked at for every line read.
    regex: Pattern[str] = dataclasses.field(init=False, repr=False)
    named: bool = dataclasses.field(init=False, repr=False)
    unit: Optional[str] = dataclasses.field(init=False, repr=False)

    def __post_init__(self) -> None:
        regex = END_LINE if self.template == END else compile_template(self.template)
        object.__setattr__(self, "regex", regex)
        object.__setattr__(self, "named", H in self.template)
        test, quantity = self.test, self.quantity
        object.__setattr__(self, "unit", unit(test, quantity) if test and quantity else None)

    def expected(self, hosts: Mapping[int, str]) -> str:
        text = self.template.replace(N, "<number>")
        if self.rank:
            text = text.replace(R, str(self.rank)).replace(H, hosts.get(self.rank, "<host>"))
        return text.replace(R, "<ranks>")


END = "{V}"  # the console's end line, saved or not


@functools.lru_cache(maxsize=None)
def compile_template(template: str) -> Pattern[str]:
    pieces = {N: f"(?P<n>{NUMBER})", R: rf"(?P<r>\d{{1,{RANK_DIGITS}}})", H: "(?P<h>.+)"}
    pattern = "".join(
        pieces.get(piece) or re.escape(piece) for piece in re.split(r"(\{[NRH]\})", template)
    )
    return re.compile(pattern + r"\Z")


def single_steps(console: bool) -> List[Step]:
    could = report.COULD_PROCESS if console else report.COULD_PROCESS_FILE
    higher = report.HIGHER_HEADING_CONSOLE if console else report.HIGHER_HEADING
    files = [
        (report.SPENT + N + report.SECS, "seconds"),
        (could + N + report.FILES_PER_SEC, "rate"),
    ]

    def speeds(secs: str) -> List[Tuple[str, str]]:
        return [
            (report.SPENT + N + secs, "seconds"),
            (report.IT_WAS + N + report.MILLIONS_ACCESSES, "rate"),
            (report.CONVENTIONALLY + N + report.MB_PER_SEC, "rate_mib"),
        ]

    blocks: List[Tuple[str, List[str], List[Tuple[str, str]]]] = [
        ("stream_cycle", [report.SINGLE_HEADING, report.LOWER_HEADING], files),
        ("descriptor_cycle", [higher], files),
        ("low_write", [report.LOW_HEADING], speeds(report.SECS_TO_WRITE)),
        ("low_read", [], speeds(report.SECS_TO_READ_SINGLE)),
        ("high_read", [report.HIGH_HEADING], speeds(report.SECS_TO_READ_SINGLE)),
        ("high_write", [], speeds(report.SECS_TO_WRITE)),
    ]
    steps = []
    for test, headings, lines in blocks:
        name = "single process: " + BLOCKS[test]
        steps += [Step(name, heading) for heading in headings]
        steps += [Step(name, template, test, quantity, 0) for template, quantity in lines]
    return steps


def file_steps(console: bool, ranks: int) -> List[Step]:
    """The workers' file cycles."""
    worker = report.THREAD + R + report.AT + H + (report.SPACE if console else "")
    steps = []
    for test, heading in (
        ("stream_cycle", report.LOWER_HEADING),
        ("descriptor_cycle", report.HIGHER_HEADING),
    ):
        name = "workers: " + BLOCKS[test]
        if test == "stream_cycle":
            steps.append(Step(name, report.MULTI_HEADING))
        steps.append(Step(name, heading))
        for rank in range(1, ranks):
            steps += [
                Step(name, worker + report.SPENT + N + report.SECS, test, "seconds", rank),
                Step(
                    name,
                    worker + report.COULD_PROCESS + N + report.FILES_PER_SEC,
                    test,
                    "rate",
                    rank,
                ),
            ]
        steps += [
            Step(name, report.OVERALL_FILES + N + report.FILES_PER_SEC, test, "total"),
            Step(name, report.IMPROVEMENTS + N + report.TIMES, test, "gain"),
            Step(name, report.AVERAGE_FILES + N + report.FILES_PER_SEC, test, "mean"),
        ]
    return steps


def speed_steps(console: bool, ranks: int) -> List[Step]:
    """The workers' one-byte (low) and block (high) transfers."""
    worker = report.THREAD + R + report.AT + H + report.SPACE
    access = report.MILLIONS_ACCESS if console else report.MILLIONS_ACCESSES
    secs = {"write": report.SECS_TO_WRITE, "read": report.SECS_TO_READ_MULTI}
    totals = {
        "write": (report.TO_WRITE, report.TOTAL_WRITING),
        "read": (report.TO_READ, report.TOTAL_READING),
    }
    means = {
        ("low", "write"): report.AVERAGE_LOW_WRITING + N + report.MB_PER_SEC,
        ("low", "read"): report.AVERAGE_LOW_READING + N + report.MB_PER_SEC_WIDE,
        ("high", "write"): report.AVERAGE_HIGH_WRITING + N + report.MB_PER_SEC_WIDE,
        ("high", "read"): report.AVERAGE_HIGH_READING + N + report.MB_PER_SEC_WIDE,
    }
    steps = []
    for level, heading, order in (
        ("low", report.LOW_HEADING, ("write", "read")),
        ("high", report.HIGH_HEADING, ("read", "write")),
    ):
        name = f"workers: {level} writing and reading speeds"
        steps += [Step(name, report.MULTI_HEADING), Step(name, heading)]
        for direction in order:
            test = f"{level}_{direction}"
            for rank in range(1, ranks):
                steps += [
                    Step(name, worker + report.SPENT + N + secs[direction], test, "seconds", rank),
                    Step(name, worker + report.IT_WAS + N + access, test, "rate", rank),
                    Step(
                        name, report.CONVENTIONALLY + N + report.MB_PER_SEC, test, "rate_mib", rank
                    ),
                ]
        for direction in ("write", "read"):
            test = f"{level}_{direction}"
            overall, total = totals[direction]
            steps += [
                Step(name, report.OVERALL_ACCESSES + N + overall, test, "total"),
                Step(name, total + N + report.MB_PER_SEC, test, "total_mib"),
                Step(name, report.IMPROVEMENTS + N + report.TIMES, test, "gain"),
            ]
        for direction in ("write", "read"):
            steps.append(Step(name, means[level, direction], f"{level}_{direction}", "mean"))
    return steps


@functools.lru_cache(maxsize=64)
def report_steps(console: bool, ranks: int) -> Tuple[Step, ...]:
    """Every content line after the thread count, blank lines left out."""
    steps = single_steps(console)
    if ranks >= 2:
        steps += file_steps(console, ranks) + speed_steps(console, ranks)
    if console:
        steps += [Step("end lines", END), Step("end lines", report.PRESS_ENTER)]
    return tuple(steps)


# A result file's thread count follows its title: a line that is neither
# it nor a console's second line is told as such.
FILE_THREAD_COUNT = Step("thread count", report.THREADS + R)
HEADER = {
    True: (
        Step("title", report.TITLE),
        Step("title", report.RIGHTS),
        Step("title", report.SUPPORT),
        Step("thread count", report.THREADS + R),
    ),
    False: (Step("title", report.TITLE), FILE_THREAD_COUNT),
}


class Reader:
    """The state of one parse: where in the expected lines it stands."""

    def __init__(self, source: str) -> None:
        self.run = Run(source)
        self.hosts: Dict[int, str] = {}
        self.workers: Dict[str, Dict[int, Worker]] = {}
        self.steps: Tuple[Step, ...] = HEADER[True][:1]
        self.at = 0
        self.in_frame = False
        self.console: Optional[bool] = None

    def noted(self, line: str) -> Optional[str]:
        """The line less a note other processes put before it (kept), or
        None where the whole line is such a note."""
        if MPI_FRAME.match(line):
            self.in_frame = not self.in_frame
            return None
        if (
            self.in_frame
            or line == report.UNABLE
            or line.startswith(NOTE)
            or MPI_NOTICE.match(line)
        ):
            step = self.steps[self.at] if self.at < len(self.steps) and not self.in_frame else None
            rest = glued(line, step) if step else None
            self.run.notes.append(line[: len(line) - len(rest or "")])
            return rest
        return line

    def line(self, number: int, line: str) -> None:
        """Takes the next content line, the step it must match."""
        step = self.steps[self.at]
        found = step.regex.match(line)
        if not found:
            raise InputError(mismatch(self.run.source, number, line, step, self.hosts))
        self.at += 1
        if step.quantity:
            self.figure(step, found, number, line)
        elif step.block == "thread count":
            ranks = int(found.group("r"))
            if not 1 <= ranks <= report.MAX_RANKS:
                raise InputError(
                    f'{self.run.source}, line {number}: expected "{report.THREADS}<ranks>" '
                    f"with 1 to {report.MAX_RANKS} ranks, found {line!r}"
                )
            self.run.ranks = ranks
            self.steps = self.steps + report_steps(bool(self.console), ranks)
        elif step.template == END:
            self.run.saved = found.group("v") == report.SAVED
            self.run.saved_path = found.group("path")
            name_run(self.run, found.group("path"))

    def figure(self, step: Step, found: "re.Match[str]", number: int, line: str) -> None:
        assert step.test is not None and step.quantity is not None and step.unit is not None
        test = self.run.tests.get(step.test)
        if test is None:
            test = self.run.tests[step.test] = Test()
        text = found.group("n")
        value = float(text)
        figure = Figure(value if math.isfinite(value) else None, text, step.unit)
        if step.rank == 0:
            test.single[step.quantity] = figure
        elif step.rank is None:
            test.summary[step.quantity] = figure
        else:
            if step.named:
                host = found.group("h")
                if (
                    int(found.group("r")) != step.rank
                    or self.hosts.setdefault(step.rank, host) != host
                ):
                    raise InputError(mismatch(self.run.source, number, line, step, self.hosts))
            workers = self.workers.get(step.test)
            if workers is None:
                workers = self.workers[step.test] = {}
            worker = workers.get(step.rank)
            if worker is None:
                worker = workers[step.rank] = Worker(step.rank, self.hosts[step.rank])
            worker.figures[step.quantity] = figure


def parse(text: str, source: str) -> Run:
    """One run from the text of a result file or a console transcript. Text
    after the end of the report (a shell's `time`, another program's lines)
    is passed over with one warning."""
    lines = text.split("\n")
    cut_short = not text.endswith("\n")
    if not cut_short:
        lines.pop()
    reader = Reader(source)
    run = reader.run
    for number, line in enumerate(lines, 1):
        if line.endswith("\r"):
            line = line[:-1]
        # A terminal's transcript (script(1)) keeps drives-run's status line:
        # what follows its last erase is what the terminal showed.
        line = line.rsplit("\033[K", 1)[-1]
        if not line or line.isspace():
            continue
        if reader.console is not False:
            kept = reader.noted(line)
            if kept is None:
                continue
            line = kept
            if reader.at == 1 and reader.console is None:
                reader.console = line == report.RIGHTS
                run.format = "console" if reader.console else "result file"
                reader.steps = HEADER[reader.console]
        if reader.at == len(reader.steps):
            after = [rest for rest in lines[number - 1 :] if rest.strip()]
            run.warnings.append(
                f"{source}: {len(after)} line{'s' * (len(after) > 1)} after the end of the "
                f"{run.format}, from line {number}, passed over: {line[:60]!r}"
            )
            break
        try:
            reader.line(number, line)
        except InputError:
            if number == len(lines) and cut_short:
                run.notes.append(f"line {number} is cut short: {line!r}")
                break
            raise
    if run.format is None:
        raise InputError(
            f"{source}, line 1: expected {report.TITLE!r}, the first line of a drives_mpi "
            "result file or console, found nothing"
        )
    if run.format == "result file":
        name_run(run, source)
    if reader.at < len(reader.steps) or run.ranks is None:
        run.missing = (
            reader.steps[reader.at].block if reader.at < len(reader.steps) else "thread count"
        )
        run.warnings.append(
            f"{source}: incomplete run, the report is cut short; first missing block: "
            f'"{run.missing}"'
        )
    else:
        run.complete = True
    for name in TESTS:
        test = run.tests.pop(name, None)
        if test is not None:
            workers = reader.workers.get(name, {})
            test.workers = [workers[rank] for rank in sorted(workers)]
            run.tests[name] = test
    return attach_record(run, None)


# ---------------------------------------------------------------- validity


def attach_record(run: Run, record: Optional[Record]) -> Run:
    """Gives a parsed run its record (or None where there is none) and what
    follows from it: whether the run is valid, why not, and whether its root
    shared its node. Without a record, a console's notes tell what they can:
    failed calls, a shared node."""
    run.record = record
    if record is not None:
        reasons = record_reasons(record)
        run.root_shared_node = record.root_shared_node
    else:
        failures = [note for note in run.notes if is_failure(note)]
        reasons = [failed_calls(failures)] if failures else []
        run.root_shared_node = True if any(SHARED_HOST.match(note) for note in run.notes) else None
    if not run.complete:
        reasons.append(f'the report is cut short ("{run.missing}" missing)')
    run.valid = not reasons
    run.invalid_because = "; ".join(reasons) or None
    return run


def is_failure(note: str) -> bool:
    return note == report.UNABLE or (
        note.startswith(NOTE)
        and not SHARED_HOST.match(note)
        and not note.startswith(report.PROGRAM + report.TEST_BUILD)
    )


def record_reasons(record: Record) -> List[str]:
    """Why the record says the run must not count: unfinished, ended by a
    signal or with a failing status, or calls that failed."""
    reasons = []
    if not record.finished:
        reasons.append(
            "its record is unfinished: drives-run could not write down how the run ended "
            "(a full disk, or drives-run was killed)"
        )
    status = record.status
    if status is not None and status != ExitStatus.OK:
        if status == ExitStatus.CALLS_FAILED and record.failures:
            pass  # the failures say it better
        elif status > ExitStatus.SIGNALLED:
            reasons.append(
                f"ended by {signal_name(status - ExitStatus.SIGNALLED)} (status {status})"
            )
        elif status == ExitStatus.STOPPED:
            reasons.append(f"status {status}: stopped, or its result file could not be saved")
        elif status == ExitStatus.CALLS_FAILED:
            reasons.append(f"status {status}: some calls failed")
        else:
            reasons.append(f"status {status}")
    if record.failures:
        reasons.append(failed_calls(record.failures))
    return reasons


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def failed_calls(lines: List[str]) -> str:
    more = f" (and {len(lines) - 1} more)" if len(lines) > 1 else ""
    return f"some calls failed: {lines[0]}{more}"


def glued(note: str, step: Step) -> Optional[str]:
    """The report's next line where it follows a rank's note on the same
    line, else None. drives_mpi 1.0.0 wrote a note to standard error in two
    writes, its text and then its line end, and mpirun forwarded standard
    output in between: its consoles can hold a note and a line of the
    report as one."""
    if not note.startswith(NOTE):
        return None
    regex = step.regex
    for start in range(len(NOTE), len(note)):
        if regex.match(note, start):
            return note[start:]
    return None


def mismatch(source: str, number: int, line: str, step: Step, hosts: Mapping[int, str]) -> str:
    where = f"{source}, line {number}: "
    if step.block == "title" and line == report.STOP_TITLE:
        return where + "this drives_mpi run stopped before its first test and holds no figures"
    if step.template == END:
        expected = f'"{report.SAVED}<path>" or "{report.NOT_SAVED}<path>"'
    elif step.template == report.TITLE:
        expected = f'"{report.TITLE}", the first line of a drives_mpi result file or console'
    elif step is FILE_THREAD_COUNT:
        expected = f'"{report.RIGHTS}" (console) or "{report.THREADS}<ranks>" (result file)'
    else:
        expected = f'"{step.expected(hosts)}" ({step.block})'
    return f"{where}expected {expected}, found {line[:200]!r}"


def name_run(run: Run, path: str) -> None:
    """Host and start time from the result file's name, where there is one."""
    found = FILE_NAME.match(os.path.basename(path))
    if found:
        run.host = found.group("host")
        run.start = "{y}-{mo}-{d}T{h}:{mi}:{s}".format(**found.groupdict())


# ---------------------------------------------------------------- the sources

STDIN = "-"
STDIN_NAME = "standard input"
# How much of a file in a directory is read to tell a report from anything
# else: a console can open with some kilobytes of Open MPI's notices, and
# a run's 16 MiB data files must not be read whole only to be passed over.
SNIFF_BYTES = 65536
CONSOLE_NAME = "console.txt"


def read_run(path: str) -> Run:
    """One run from a file, or from standard input where the path is `-`.
    A file named on the command line is read whatever it is (a pipe too);
    the records looked for beside it only where they are regular files."""
    source = STDIN_NAME if path == STDIN else path
    try:
        if path == STDIN:
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as stream:
                data = stream.read()
    except OSError as error:
        raise InputError(f"{source}: {error.strerror}") from None
    except ValueError:  # a NUL in the path
        raise InputError(f"{source!r}: not a file name") from None
    run = parse(data.decode("utf-8", errors="replace"), source)
    find_record(run, None if path == STDIN else path)
    return run


def record_places(run: Run, path: Optional[str]) -> List[str]:
    """Where a run's record may be: beside a result file; for a console,
    beside the console under the result file's name, else beside the
    result file it names."""
    if run.format == "result file":
        places = [path] if path else []
    elif run.saved_path:
        named = run.saved_path
        places = (
            [named]
            if path is None
            else [os.path.join(os.path.dirname(path), os.path.basename(named)), named]
        )
    else:
        places = []
    return list(
        dict.fromkeys(results_record.path_for(place) for place in places if "\0" not in place)
    )


def find_record(run: Run, path: Optional[str]) -> None:
    """Attaches the run's record where one is found; a record that cannot be
    read leaves the run unrecorded, with a note saying why."""
    for place in record_places(run, path):
        try:
            record = results_record.load(place)
        except results_record.RecordError as error:
            note = f"{place}: record not readable: {error}"
            run.notes.append(note)
            run.warnings.append(note)
            return
        if record is not None:
            attach_record(run, record)
            return


def is_report(path: str) -> bool:
    """Whether a drives_mpi title line stands near the start of a regular
    file; NotRegularFile (a FIFO or a device is never opened) or OSError
    where it is none or cannot be read."""
    with results_record.open_regular(path) as stream:
        start = b"\n" + stream.read(SNIFF_BYTES)
    titles = (report.TITLE, report.STOP_TITLE)
    return any(b"\n" + title.encode() in start for title in titles)


def looks_like_report(name: str) -> bool:
    """Whether a file's name is that of a result file or console."""
    return bool(FILE_NAME.match(name)) or name == CONSOLE_NAME


def entries(directory: str) -> List[str]:
    try:
        return [os.path.join(directory, name) for name in sorted(os.listdir(directory))]
    except OSError as error:
        raise InputError(f"{directory}: {error.strerror}") from None


def reports_in(directory: str, notes: List[str]) -> List[str]:
    """A directory's own result files and consoles; a file named like one
    that is not is passed over with a note."""
    found = []
    for path in entries(directory):
        if os.path.isdir(path):
            continue
        try:
            if is_report(path):
                found.append(path)
                continue
            why = "not a drives_mpi report"
        except results_record.NotRegularFile:
            why = "not a regular file"
        except OSError as error:
            why = error.strerror
        if looks_like_report(os.path.basename(path)):
            notes.append(f"{path}: passed over, {why}")
    return found


def report_files(directory: str, notes: List[str]) -> List[List[str]]:
    """The result files and consoles of a directory and of its
    subdirectories one level down, a list for each directory that holds
    some, in name order. Where both levels hold some, a note says so."""
    top = reports_in(directory, notes)
    below = [(sub, reports_in(sub, notes)) for sub in entries(directory) if os.path.isdir(sub)]
    below = [(sub, files) for sub, files in below if files]
    if not top and not below:
        raise InputError(f"{directory}: no drives_mpi result file or console in this directory")
    if top and below:
        names = ", ".join(os.path.basename(sub) for sub, _ in below)
        count = sum(len(files) for _, files in below)
        notes.append(
            f"{directory}: {len(top)} report{'s' * (len(top) > 1)} at its top and {count} in "
            f"its subdirector{'ies' if len(below) > 1 else 'y'} {names}: all read"
        )
    return ([top] if top else []) + [files for _, files in below]


def without_echoes(runs: List[Run]) -> List[Run]:
    """A directory's runs less the consoles whose result file lies there too:
    a run whose console was kept beside its result file counts once."""
    saved = {os.path.basename(run.source) for run in runs if run.format == "result file"}
    return [
        run for run in runs if not (run.saved and os.path.basename(run.saved_path or "") in saved)
    ]


def runs_in(argument: str, notes: List[str]) -> List[Run]:
    """The runs one argument names: a file, `-`, or a directory."""
    if argument != STDIN and os.path.isdir(argument):
        return [
            run
            for files in report_files(argument, notes)
            for run in without_echoes([read_run(path) for path in files])
        ]
    return [read_run(argument)]


@dataclasses.dataclass
class Sides:
    """The runs of each side of a command, and what it must tell of them."""

    runs: List[List[Run]]
    notes: List[str]


def read_sides(sides: List[List[str]]) -> Sides:
    """The runs of each side (a list of arguments), labelled apart across
    all sides, and the notes of reading them, each once."""
    if sum(side.count(STDIN) for side in sides) > 1:
        raise InputError("standard input (-) can be read only once")
    notes: List[str] = []
    runs = [[run for argument in side for run in runs_in(argument, notes)] for side in sides]
    every = [run for side in runs for run in side]
    label_runs(every)
    notes += [warning for run in every for warning in run.warnings]
    return Sides(runs, list(dict.fromkeys(notes)))


def read_runs(arguments: List[str]) -> Sides:
    return read_sides([arguments])


def label_runs(runs: List[Run]) -> List[Run]:
    """Gives each run its label, apart from the others': by root host and
    start time, else by file name, with #2, #3 on repeats."""
    seen: Dict[str, int] = {}
    for run in runs:
        if run.host and run.start:
            label = f"{run.host} {run.start.replace('T', ' ')}"
        else:
            label = os.path.basename(run.source)
        seen[label] = seen.get(label, 0) + 1
        run.label = label if seen[label] == 1 else f"{label} #{seen[label]}"
    return runs


# ---------------------------------------------------------------- the figures

Key = Tuple[str, Optional[int], str]  # test, rank (None: the workers' summary), quantity


def figures(run: Run) -> Iterator[Tuple[str, Optional[int], Optional[str], str, Figure]]:
    """(test, rank, host, quantity, figure) of a run, in report order; rank
    0 is the root alone, rank None the workers' summary."""
    for name, test in run.tests.items():
        for quantity, figure in test.single.items():
            yield name, 0, run.host, quantity, figure
        for worker in test.workers:
            for quantity, figure in worker.figures.items():
                yield name, worker.rank, worker.host, quantity, figure
        for quantity, figure in test.summary.items():
            yield name, None, None, quantity, figure


def order(key: Key) -> Tuple[int, float, int]:
    """Report order of a (test, rank, quantity) key: the root, the workers,
    then their summary."""
    test, rank, quantity = key
    return TESTS.index(test), math.inf if rank is None else rank, QUANTITIES.index(quantity)


# ---------------------------------------------------------------- as JSON


def figure_json(figure: Figure) -> Dict[str, Any]:
    return dict(zip(Figure._fields, figure))


def record_json(record: Record) -> Dict[str, Any]:
    """A record as its schema has it: a binary it does not name left out."""
    data = record.to_json()
    if data.get("binary") is None:
        data.pop("binary", None)
    return data


def run_json(run: Run) -> Dict[str, Any]:
    """A run in the shape drives_results.schema.json gives."""
    tests = {}
    for name, test in run.tests.items():
        entry: Dict[str, Any] = {
            "single": {q: figure_json(f) for q, f in test.single.items()},
            "workers": [
                dict(
                    {"rank": worker.rank, "host": worker.host},
                    **{q: figure_json(f) for q, f in worker.figures.items()},
                )
                for worker in test.workers
            ],
        }
        entry.update({q: figure_json(f) for q, f in test.summary.items()})
        tests[name] = entry
    return {
        "source": run.source,
        "format": run.format,
        "run": run.label,
        "host": run.host,
        "start": run.start,
        "ranks": run.ranks,
        "complete": run.complete,
        "missing": run.missing,
        "saved": run.saved,
        "saved_path": run.saved_path,
        "notes": run.notes,
        "tests": tests,
        "record": None if run.record is None else record_json(run.record),
        "valid": run.valid,
        "invalid_because": run.invalid_because,
        "root_shared_node": run.root_shared_node,
    }
