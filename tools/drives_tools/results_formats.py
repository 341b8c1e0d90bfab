"""Writing what drives-results found: runs as JSON and CSV, and the tables
of summary and compare as text, Markdown, CSV or JSON. Every output file is
written whole or not at all.
"""

import json
import os
import sys
import tempfile

from .results_read import figures
from .version import version

FORMATS = ("text", "json", "csv", "markdown")
MARKDOWN_SPECIAL = "\\`*[]<>|"


def write_output(path, data):
    """Writes `data` (text, or a function that writes to a binary stream)
    whole or not at all: into a temporary file beside the target, renamed
    over it once complete and on disk."""
    if path in (None, "-"):
        sys.stdout.buffer.write(data.encode("utf-8"))
        return
    handle, temporary = tempfile.mkstemp(
        dir=os.path.dirname(os.path.abspath(path)), prefix=".drives-results-"
    )
    try:
        with os.fdopen(handle, "wb") as stream:
            if callable(data):
                data(stream)
            else:
                stream.write(data.encode("utf-8"))
            stream.flush()
            os.fsync(stream.fileno())
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def json_document(fields, key, items):
    """{"version": 1, "tool_version": ..., fields, key: [items]}, an item a
    line: the compact form is several times quicker to write than an
    indented one, and `python3 -m json.tool` indents it. "version" numbers
    this JSON format, "tool_version" the drives-results that wrote it."""
    head = json.dumps({"version": 1, "tool_version": version(), **fields}, ensure_ascii=False)
    body = ",\n".join(json.dumps(item, ensure_ascii=False, allow_nan=False) for item in items)
    return f'{head[:-1]}, "{key}": [\n{body}\n]}}\n'


def to_json(runs):
    return json_document({}, "runs", runs)


def to_csv(runs):
    """RFC 4180, as spreadsheets open it. Written by hand rather than with
    the csv module: only the run's label and host names can need quotes,
    and quoting them once per run and host makes this several times quicker."""
    out = ["run,test,rank,host,quantity,value,unit,valid,root_shared_node\r\n"]
    for run in runs:
        label = csv_field(run["run"])
        facts = f"{csv_bool(run['valid'])},{csv_bool(run['root_shared_node'])}"
        hosts = {}
        for test, rank, host, quantity, entry in figures(run):
            if host not in hosts:
                hosts[host] = csv_field(host or "")
            out.append(
                f"{label},{test},{'' if rank is None else rank},{hosts[host]},{quantity},"
                f"{entry['text']},{entry['unit']},{facts}\r\n"
            )
    return "".join(out)


def csv_bool(value):
    return "" if value is None else str(value).lower()


def csv_field(text):
    if any(c in text for c in ',"\r\n') or text != text.strip():
        return '"' + text.replace('"', '""') + '"'
    return text


def rank_name(rank):
    return "all" if rank is None else "root" if rank == 0 else str(rank)


class Report:
    """What summary and compare print: for a reader, a table with lines above
    and below it; for a program, the same figures as records beside some
    fields that hold for all of them."""

    def __init__(self, fields, records, head, header, rows, foot):
        self.fields, self.records = fields, records
        self.head, self.header, self.rows, self.foot = head, header, rows, foot


def render(report, form):
    if form == "json":
        return json_document(report.fields, "figures", report.records)
    if form == "csv":
        return records_csv(report.records)
    if form == "markdown":
        return to_markdown(report)
    text = "".join(line + "\n" for line in report.head) + "\n" + table(report.rows, report.header)
    return text + "".join("\n" + line + "\n" for line in report.foot)


def table(rows, header):
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    return "".join(
        "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n"
        for row in [header] + rows
    )


def to_markdown(report):
    """A list of the lines above, a pipe table, the lines below: what a code
    review shows as it is meant."""
    lines = [f"- {markdown_text(line)}" for line in report.head]
    lines += ["", markdown_row(report.header), "|" + " --- |" * len(report.header)]
    lines += [markdown_row(row) for row in report.rows]
    lines += [""] + [markdown_text(line) for line in report.foot]
    return "\n".join(lines).rstrip("\n") + "\n"


def markdown_row(cells):
    return "| " + " | ".join(markdown_text(cell) for cell in cells) + " |"


def markdown_text(text):
    return "".join("\\" + c if c in MARKDOWN_SPECIAL else c for c in text)


def records_csv(records):
    """A row per record, its nested fields flattened into columns (old_median, old_min, ...)."""
    rows = [dict(flatten(record)) for record in records]
    header = list(dict.fromkeys(key for row in rows for key in row))
    return "".join(
        ",".join(csv_field(cell) for cell in cells) + "\r\n"
        for cells in [header] + [[row.get(key, "") for key in header] for row in rows]
    )


def flatten(record, prefix=""):
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
