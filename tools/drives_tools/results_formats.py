"""Writing what drives-results found: runs as JSON and CSV, and the tables
of summary and compare as text, Markdown, CSV or JSON. Text fits a width
(a terminal's, else 80 columns), or is written wide, every column and
every figure as the report printed it. Every output file is written whole
or not at all.
"""

import dataclasses
import json
import math
import os
import re
import shutil
import sys
import tempfile
import textwrap
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

from .results_read import Run, figures, run_json
from .version import version

FORMATS = ("text", "json", "csv", "markdown")
MARKDOWN_SPECIAL = "\\`*[]<>|"
WIDTH = 80  # where the text goes to no terminal
INDENT = "  "  # of a wrapped line's rest

Writer = Callable[[IO[bytes]], None]


def write_output(path: Optional[str], data: Union[str, Writer]) -> None:
    """Writes `data` (text, or a function that writes to a binary stream)
    whole or not at all: into a temporary file beside the target, renamed
    over it once complete and on disk. No path, or `-`: standard output."""
    if path in (None, "-"):
        try:
            put(sys.stdout.buffer, data)
            sys.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OSError(error.errno, error.strerror, "standard output") from None
        return
    assert path is not None
    try:
        write_file(path, data)
    except OSError as error:
        # The message names the file asked for, not the temporary one beside it.
        raise OSError(error.errno, error.strerror, path) from None


def write_file(path: str, data: Union[str, Writer]) -> None:
    # A link is written through, and what is no regular file (/dev/null, a
    # FIFO) is written into: renamed over, it would be replaced by a file.
    path = os.path.realpath(path)
    if os.path.exists(path) and not os.path.isfile(path):
        with open(path, "wb") as stream:
            put(stream, data)
        return
    handle, temporary = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".drives-results-")
    try:
        with os.fdopen(handle, "wb") as stream:
            put(stream, data)
            stream.flush()
            os.fsync(stream.fileno())
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def put(stream: IO[bytes], data: Union[str, Callable[[IO[bytes]], None]]) -> None:
    if callable(data):
        data(stream)
    else:
        # A path that is not UTF-8 (a directory's name) comes with surrogates.
        stream.write(data.encode("utf-8", "replace"))


def json_document(fields: Dict[str, Any], key: str, items: Sequence[Dict[str, Any]]) -> str:
    """{"version": 1, "tool_version": ..., fields, key: [items]}, an item a
    line: the compact form is several times quicker to write than an
    indented one, and `python3 -m json.tool` indents it. "version" numbers
    this JSON format, "tool_version" the drives-results that wrote it."""
    head = json.dumps(
        {"version": 1, "tool_version": version(), **fields}, ensure_ascii=False, allow_nan=False
    )
    body = ",\n".join(json.dumps(item, ensure_ascii=False, allow_nan=False) for item in items)
    return f'{head[:-1]}, "{key}": [\n{body}\n]}}\n'


def to_json(runs: Sequence[Run]) -> str:
    return json_document({}, "runs", [run_json(run) for run in runs])


def to_csv(runs: Sequence[Run]) -> str:
    """RFC 4180, as spreadsheets open it. Written by hand rather than with
    the csv module: only the run's label and host names can need quotes,
    and quoting them once per run and host makes this several times quicker."""
    out = ["run,test,rank,host,quantity,value,unit,valid,root_shared_node\r\n"]
    for run in runs:
        label = csv_field(run.label)
        facts = f"{csv_bool(run.valid)},{csv_bool(run.root_shared_node)}"
        hosts: Dict[Optional[str], str] = {}
        for test, rank, host, quantity, figure in figures(run):
            if host not in hosts:
                hosts[host] = csv_field(host or "")
            out.append(
                f"{label},{test},{'' if rank is None else rank},{hosts[host]},{quantity},"
                f"{figure.text},{figure.unit},{facts}\r\n"
            )
    return "".join(out)


def csv_bool(value: Optional[bool]) -> str:
    return "" if value is None else str(value).lower()


def csv_field(text: str) -> str:
    if any(c in text for c in ',"\r\n') or text != text.strip():
        return '"' + text.replace('"', '""') + '"'
    return text


def rank_name(rank: Optional[int]) -> str:
    return "all" if rank is None else "root" if rank == 0 else str(rank)


# ---------------------------------------------------------------- tables


def compact(text: str, digits: int = 4, room: int = 7) -> str:
    """A figure as printed, to `digits` significant digits, its whole part
    always kept (30552.5 is 30553), in `room` characters where fewer digits
    or an exponent make it fit: what a narrow table has room for."""
    try:
        value = float(text)
    except ValueError:
        return text
    if not math.isfinite(value):
        return text
    if abs(value) >= 10 ** (digits - 1):
        return f"{value:.0f}"
    for fewer in range(digits, 1, -1):
        shown = f"{value:.{fewer}g}"
        if len(shown) <= room and "e" not in shown:
            return shown
    return f"{value:.1e}"


@dataclasses.dataclass
class Line:
    """A line above or below a table: its text, wrapped to the width, and
    where the wide form says more, that ("": the wide form leaves it out)."""

    text: str
    wide: Optional[str] = None


@dataclasses.dataclass
class Column:
    name: str  # the wide table's (and Markdown's) header
    narrow: Optional[str]  # the narrow table's header; None: only in the wide one


Cell = Tuple[str, str]  # the wide text, the narrow text


@dataclasses.dataclass
class Report:
    """What summary and compare print: for a reader, a table with lines above
    and below it; for a program, the same figures as records beside some
    fields that hold for all of them; and notes for standard error."""

    fields: Dict[str, Any]
    records: List[Dict[str, Any]]
    head: List[Line]
    columns: List[Column]
    rows: List[List[Cell]]
    foot: List[Line]
    notes: List[str] = dataclasses.field(default_factory=list)


def width_of(stream: TextIO) -> int:
    """The columns text to `stream` may take: its terminal's, else WIDTH."""
    if stream.isatty():
        return shutil.get_terminal_size((WIDTH, 24)).columns
    return WIDTH


def render(report: Report, form: str, width: Optional[int] = WIDTH) -> str:
    """The report in a format; text to `width` columns, or wide (None)."""
    if form == "json":
        return json_document(report.fields, "figures", report.records)
    if form == "csv":
        return records_csv(report.records)
    if form == "markdown":
        return to_markdown(report)
    if width is None:
        head, foot = wide_lines(report.head), wide_lines(report.foot)
        rows = [[cell[0] for cell in row] for row in report.rows]
        text = table([column.name for column in report.columns], rows, None)
    else:
        head = [wrap(line.text, width) for line in report.head]
        foot = [wrap(line.text, width) for line in report.foot]
        shown = [number for number, column in enumerate(report.columns) if column.narrow]
        header = [report.columns[number].narrow or "" for number in shown]
        rows = [[row[number][1] for number in shown] for row in report.rows]
        text = table(header, rows, width)
    return (
        "".join(line + "\n" for line in head)
        + "\n"
        + text
        + "".join(f"\n{line}\n" for line in foot)
    )


def wide_lines(lines: List[Line]) -> List[str]:
    """The lines of the wide form: each line's wide text, or its text."""
    return [line.text if line.wide is None else line.wide for line in lines if line.wide != ""]


class Wrapper(textwrap.TextWrapper):
    """Breaks a word longer than a line (a mount's options) after a comma
    before it breaks it anywhere: `resuid=655` and `34` would read as two."""

    def _split(self, text: str) -> List[str]:
        return [
            part
            for chunk in super()._split(text)
            for part in (re.split(r"(?<=,)(?!$)", chunk) if len(chunk) > self.width else [chunk])
        ]


def wrap(text: str, width: int) -> str:
    wrapper = Wrapper(
        width, subsequent_indent=INDENT, break_on_hyphens=False, replace_whitespace=False
    )
    return "\n".join(wrapper.wrap(text) or [""])


def bands(widths: List[int], width: Optional[int]) -> List[List[int]]:
    """The columns of each physical line of a row: all on one where they fit
    the width, else as many as fit on each, the later lines indented."""
    if width is None:
        return [list(range(len(widths)))]
    found: List[List[int]] = [[]]
    used = 0
    for number, size in enumerate(widths):
        if found[-1] and used + 2 + size > width:
            found.append([])
        if found[-1]:
            used += 2 + size
        else:
            used = (len(INDENT) * 2 if len(found) > 1 else 0) + size
        found[-1].append(number)
    return found


def table(header: List[str], rows: List[List[str]], width: Optional[int]) -> str:
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    lines = []
    parts = bands(widths, width)
    for row in [header] + rows:
        for number, part in enumerate(parts):
            lead = INDENT * 2 if number else ""
            cells = "  ".join(row[i].ljust(widths[i]) for i in part)
            lines.append((lead + cells).rstrip())
    return "".join(line + "\n" for line in lines)


def to_markdown(report: Report) -> str:
    """A list of the lines above, a pipe table, the lines below: what a code
    review shows as it is meant."""
    lines = [f"- {markdown_text(line)}" for line in wide_lines(report.head)]
    header = [column.name for column in report.columns]
    lines += ["", markdown_row(header), "|" + " --- |" * len(header)]
    lines += [markdown_row([cell[0] for cell in row]) for row in report.rows]
    lines += [""] + [markdown_text(line) for line in wide_lines(report.foot)]
    return "\n".join(lines).rstrip("\n") + "\n"


def markdown_row(cells: List[str]) -> str:
    return "| " + " | ".join(markdown_text(cell) for cell in cells) + " |"


def markdown_text(text: str) -> str:
    return "".join("\\" + c if c in MARKDOWN_SPECIAL else c for c in text)


def records_csv(records: List[Dict[str, Any]]) -> str:
    """A row per record, its nested fields flattened into columns (old_median, old_min, ...)."""
    rows = [dict(flatten(record)) for record in records]
    header = list(dict.fromkeys(key for row in rows for key in row))
    return "".join(
        ",".join(csv_field(cell) for cell in cells) + "\r\n"
        for cells in [header] + [[row.get(key, "") for key in header] for row in rows]
    )


def flatten(record: Dict[str, Any], prefix: str = "") -> Iterator[Tuple[str, str]]:
    """(column, text) of a record: a figure by its text, a list joined, a
    truth as true or false (as JSON and the runs' CSV have it)."""
    for key, value in record.items():
        name = prefix + key
        if isinstance(value, dict) and "text" in value:
            yield name, value["text"]
        elif isinstance(value, dict):
            yield from flatten(value, name + "_")
        elif isinstance(value, list):
            yield name, " / ".join(value)
        elif isinstance(value, bool):
            yield name, csv_bool(value)
        else:
            yield name, "" if value is None else str(value)
