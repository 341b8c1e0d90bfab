"""drives-results: reads the reports drives_mpi writes (result files and
console transcripts) and turns them into JSON, CSV, a chart, a summary of
several runs, or a comparison of two.

Standard library only, but for `chart`, which needs matplotlib.
"""

import argparse
import functools
import json
import math
import os
import re
import statistics
import sys
import tempfile

TITLE = "Velkora :: Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
STOP_TITLE = "Velkora ::  Quorvalent Benchmark Drives for MacOS Clusters on Mx system 2023.02.20."
RIGHTS = "Free software: use, study, share and change it as you like; it comes with no warranty."
SUPPORT = "Questions and bug reports: open an issue where you got this program."
UNABLE = "Unable to open file"
SAVED = "Results have been saved in a file and you can find it at: "
NOT_SAVED = "Results could not be saved in a file at: "
MAX_RANKS = 4096

NUMBER = r"-?(?:inf|nan|\d+(?:\.\d*)?(?:e[-+]\d+)?)"
FILE_NAME = re.compile(r"results_drives_macos_clusters_mx @ (?P<host>.+) @ local date "
                       r"(?P<y>\d{4})\.(?P<mo>\d\d)\.(?P<d>\d\d) time "
                       r"(?P<h>\d\d)\.(?P<mi>\d\d)\.(?P<s>\d\d)\.txt\Z")
# Lines other processes add to a transcript: Open MPI's own notices,
# one-line ("[host:pid] ...") or framed between rows of dashes.
MPI_NOTICE = re.compile(r"\[[^\]\s]+:\d+\] ")
MPI_FRAME = re.compile(r"-{20,}\Z")
END_LINE = re.compile(f"(?P<v>{re.escape(SAVED)}|{re.escape(NOT_SAVED)})(?P<path>.*)\\Z")

# The six measurements, in the order the single-process phase prints them,
# which is also the order of the chart's panels.
TESTS = ("stream_cycle", "descriptor_cycle", "low_write", "low_read", "high_read", "high_write")
TITLES = {
    "stream_cycle": "Stream file cycle (Power of Handling Files -- Lower)",
    "descriptor_cycle": "Descriptor file cycle (Power of Handling Files -- Higher)",
    "low_write": "Low (one-byte) writing speed",
    "low_read": "Low (one-byte) reading speed",
    "high_read": "High (block) reading speed",
    "high_write": "High (block) writing speed",
}
BLOCKS = {"stream_cycle": "stream file cycle", "descriptor_cycle": "descriptor file cycle",
          "low_write": "low writing speed", "low_read": "low reading speed",
          "high_read": "high reading speed", "high_write": "high writing speed"}
RATE_UNITS = {"stream_cycle": "files/s", "descriptor_cycle": "files/s",
              "low_write": "million accesses/s", "low_read": "million accesses/s",
              "high_read": "million bytes/s", "high_write": "million bytes/s"}
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


def worse_when_higher(quantity):
    """Seconds are worse when they grow; every other figure (rates, totals,
    means, gains) when it shrinks."""
    return quantity == "seconds"


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
    pattern = "".join(pieces.get(piece) or re.escape(piece)
                      for piece in re.split(r"(\{[NRH]\})", template))
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

    block("stream_cycle", ["Force to be single thread.", "Power of Handling Files -- Lower"],
          [("The system spent: {N} Secs.", "seconds"), (could + "{N} Files/sec.", "rate")])
    block("descriptor_cycle", [higher],
          [("The system spent: {N} Secs.", "seconds"), (could + "{N} Files/sec.", "rate")])
    for test, heading, spent in (
            ("low_write", ["Low writing and reading speeds:"], " Secs. to Write."),
            ("low_read", [], " Secs. to Read:"),
            ("high_read", ["High writing and reading speeds:"], " Secs. to Read:"),
            ("high_write", [], " Secs. to Write.")):
        block(test, heading, [("The system spent: {N}" + spent, "seconds"),
                              ("It was: {N} Millions Accesses/sec.", "rate"),
                              ("Conventionally, it was: {N} MB/sec.", "rate_mib")])
    return steps


def multi_steps(console, ranks):
    gap = " " if console else ""
    access = " Millions Access/sec." if console else " Millions Accesses/sec."
    workers = range(1, ranks)
    steps = []
    for test, heading in (("stream_cycle", "Power of Handling Files -- Lower"),
                          ("descriptor_cycle", "Power of Handling Files -- Higher")):
        name = "workers: " + BLOCKS[test]
        if test == "stream_cycle":
            steps.append(Step(name, "Multi-Thread Enabled:"))
        steps.append(Step(name, heading))
        for rank in workers:
            steps += [Step(name, "Thread:{R} @{H}" + gap + "The system spent: {N} Secs.",
                           test, "seconds", rank),
                      Step(name, "Thread:{R} @{H}" + gap
                           + "The system could process {N} Files/sec.", test, "rate", rank)]
        steps += [Step(name, "Overall, The system could process: {N} Files/sec.", test, "total"),
                  Step(name, "Multi-Thread Improvements: {N} times.", test, "gain"),
                  Step(name, "Among all nodes, the average process per thread was: {N} Files/sec.",
                       test, "mean")]
    for level, first, second in (("low", "write", "read"), ("high", "read", "write")):
        name = f"workers: {level} writing and reading speeds"
        steps += [Step(name, "Multi-Thread Enabled:"),
                  Step(name, f"{level.capitalize()} writing and reading speeds:")]
        for direction in (first, second):
            test = f"{level}_{direction}"
            for rank in workers:
                steps += [Step(name, "Thread:{R} @{H} The system spent: {N} Secs. to "
                               + direction.capitalize() + ".", test, "seconds", rank),
                          Step(name, "Thread:{R} @{H} It was: {N}" + access, test, "rate", rank),
                          Step(name, "Conventionally, it was: {N} MB/sec.", test, "rate_mib", rank)]
        for direction in ("write", "read"):
            test = f"{level}_{direction}"
            ing = direction[:-1] + "ing" if direction == "write" else "reading"
            steps += [Step(name, "Overall, It was: {N} Millions Accesses/sec.to "
                           + direction.capitalize(), test, "total"),
                      Step(name, f"Conventionally, total {ing} speed was: {{N}} MB/sec.",
                           test, "total_mib"),
                      Step(name, "Multi-Thread Improvements: {N} times.", test, "gain")]
        for direction in ("write", "read"):
            ing = "writing" if direction == "write" else "reading"
            blanks = " " if (level, direction) == ("low", "write") else "  "
            steps.append(Step(name, f"Among all nodes, the average {level} {ing} process per "
                                    f"thread was: {{N}}{blanks}MB/sec.",
                              f"{level}_{direction}", "mean"))
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
    True: (Step("title", TITLE), Step("title", RIGHTS), Step("title", SUPPORT),
           Step("thread count", "Thread(s): {R}")),
    False: (Step("title", TITLE), Step("thread count", "Thread(s): {R}")),
}


def parse(text, source):
    """One run from the text of a result file or a console transcript."""
    lines = text.split("\n")
    cut_short = not text.endswith("\n")
    if not cut_short:
        lines.pop()
    run = {"source": source, "format": None, "run": None, "host": None, "start": None,
           "ranks": None, "complete": False, "missing": None, "saved": None,
           "saved_path": None, "notes": [], "tests": {}}
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
            if (in_frame or line == UNABLE or line.startswith("drives_mpi: ")
                    or MPI_NOTICE.match(line)):
                run["notes"].append(line)
                continue
            if at == 1 and console is None:
                console = line == RIGHTS
                run["format"] = "console" if console else "result file"
                steps = HEADER[console]
        if at == len(steps):
            raise InputError(f"{source}, line {number}: expected the end of the "
                             f"{run['format']}, found {line!r}")
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
                raise InputError(f"{source}, line {number}: expected \"Thread(s): <ranks>\" with "
                                 f"1 to {MAX_RANKS} ranks, found {line!r}")
            run["ranks"] = ranks
            steps = steps + report_steps(console, ranks)
        elif step.template == "{V}":
            run["saved"] = found.group("v") == SAVED
            run["saved_path"] = found.group("path")
            name_run(run, found.group("path"))
    if run["format"] is None:
        raise InputError(f"{source}, line 1: expected {TITLE!r}, the first line of a drives_mpi "
                         "result file or console, found nothing")
    if run["format"] == "result file":
        name_run(run, source)
    if at < len(steps) or run["ranks"] is None:
        run["missing"] = steps[at].block if at < len(steps) else "thread count"
    else:
        run["complete"] = True
    run["tests"] = {test: finish_test(run["tests"][test]) for test in TESTS if test in run["tests"]}
    return run


def mismatch(source, number, line, step, run, hosts):
    where = f"{source}, line {number}: "
    if step.block == "title" and line == STOP_TITLE:
        return where + "this drives_mpi run stopped before its first test and holds no figures"
    if step.template == "{V}":
        expected = f"\"{SAVED}<path>\" or \"{NOT_SAVED}<path>\""
    elif step.template == TITLE:
        expected = f"\"{TITLE}\", the first line of a drives_mpi result file or console"
    elif step is HEADER[False][1]:
        expected = f"\"{RIGHTS}\" (console) or \"Thread(s): <ranks>\" (result file)"
    else:
        expected = f"\"{step.expected(hosts)}\" ({step.block})"
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
    done = {"single": test["single"],
            "workers": [test["workers"][rank] for rank in sorted(test["workers"])]}
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


def read_run(path):
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as stream:
            text = stream.read()
    except OSError as error:
        raise InputError(f"{path}: {error.strerror}") from None
    run = parse(text, path)
    if not run["complete"]:
        print(f"drives-results: {path}: incomplete run, the report is cut short; first missing "
              f"block: \"{run['missing']}\"", file=sys.stderr)
    return run


def read_runs(paths):
    runs = [read_run(path) for path in paths]
    seen = {}
    for run in runs:
        if run["host"] and run["start"]:
            label = f"{run['host']} {run['start'].replace('T', ' ')}"
        else:
            label = os.path.basename(run["source"])
        seen[label] = seen.get(label, 0) + 1
        run["run"] = label if seen[label] == 1 else f"{label} #{seen[label]}"
    return runs


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


# ---------------------------------------------------------------- output

def write_output(path, data):
    """Writes `data` (text, or a function that writes to a binary stream)
    whole or not at all: into a temporary file beside the target, renamed
    over it once complete and on disk."""
    if path in (None, "-"):
        sys.stdout.buffer.write(data.encode("utf-8"))
        return
    handle, temporary = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)),
                                         prefix=".drives-results-")
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


def to_json(runs):
    """One run per line: the compact form is several times quicker to write
    than an indented one, and `python3 -m json.tool` indents it."""
    body = ",\n".join(json.dumps(run, ensure_ascii=False, allow_nan=False) for run in runs)
    return '{"version": 1, "runs": [\n' + body + "\n]}\n"


def to_csv(runs):
    """RFC 4180, as spreadsheets open it. Written by hand rather than with
    the csv module: only the run's label and host names can need quotes,
    and quoting them once per run and host makes this several times quicker."""
    out = ["run,test,rank,host,quantity,value,unit\r\n"]
    for run in runs:
        label = csv_field(run["run"])
        hosts = {}
        for test, rank, host, quantity, entry in figures(run):
            if host not in hosts:
                hosts[host] = csv_field(host or "")
            out.append(f"{label},{test},{'' if rank is None else rank},{hosts[host]},{quantity},"
                       f"{entry['text']},{entry['unit']}\r\n")
    return "".join(out)


def csv_field(text):
    if any(c in text for c in ',"\r\n') or text != text.strip():
        return '"' + text.replace('"', '""') + '"'
    return text


def rank_name(rank):
    return "all" if rank is None else "root" if rank == 0 else str(rank)


def order(key):
    """Report order of a (test, rank, quantity) key: the root, the workers,
    then their summary."""
    test, rank, quantity = key
    return TESTS.index(test), math.inf if rank is None else rank, QUANTITIES.index(quantity)


def table(rows, header):
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    return "".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip()
                   + "\n" for row in [header] + rows)


def runs_heading(runs):
    return "".join(f"run: {run['run']}  ({run['source']})\n" for run in runs) + "\n"


def summary(runs):
    """Count, min, median and max of every figure over the runs; figures
    printed as inf or nan are left out."""
    ranks = sorted({run["ranks"] or 0 for run in runs})
    if len(ranks) > 1:
        print("drives-results: the runs have different numbers of ranks "
              f"({', '.join(map(str, ranks))}); each worker's figures count only its own runs",
              file=sys.stderr)
    groups = {}
    for run in runs:
        for test, rank, host, quantity, entry in figures(run):
            group = groups.setdefault((test, rank, quantity), {
                "values": [], "hosts": [], "left_out": 0, "unit": entry["unit"]})
            if host and host not in group["hosts"]:
                group["hosts"].append(host)
            if entry["value"] is None:
                group["left_out"] += 1
            else:
                group["values"].append((entry["value"], entry["text"]))
    rows = []
    for key in sorted(groups, key=order):
        group = groups[key]
        values = sorted(group["values"])
        if values:
            median = statistics.median(v for v, _ in values)
            middle = values[len(values) // 2][1] if len(values) % 2 else f"{median:.6g}"
            cells = [values[0][1], middle, values[-1][1]]
        else:
            cells = ["-", "-", "-"]
        rows.append([key[0], key[2], rank_name(key[1]), str(len(values))] + cells
                    + [group["unit"], " / ".join(group["hosts"])])
    text = runs_heading(runs)
    text += table(rows, ["test", "quantity", "rank", "count", "min", "median", "max", "unit",
                         "host"])
    if any(group["left_out"] for group in groups.values()):
        text += "\nFigures printed as inf or nan are left out of count, min, median and max.\n"
    return text


def compare(old, new, threshold):
    """The comparison table, and whether a figure got worse beyond the
    threshold (a fraction)."""
    before = {(t, r, q): (h, e) for t, r, h, q, e in figures(old)}
    after = {(t, r, q): (h, e) for t, r, h, q, e in figures(new)}
    rows, worse, better = [], 0, 0
    for key in sorted(set(before) | set(after), key=order):
        test, rank, quantity = key
        old_host, old_fig = before.get(key, (None, None))
        new_host, new_fig = after.get(key, (None, None))
        ratio, mark = "-", ""
        if old_fig is None or new_fig is None:
            mark = "only in new" if old_fig is None else "only in old"
        elif old_fig["value"] is None or new_fig["value"] is None or old_fig["value"] == 0:
            ratio = "n/a"
            if old_fig["text"] != new_fig["text"]:
                mark = "changed"
        else:
            change = new_fig["value"] / old_fig["value"]
            ratio = f"{change:.3f}"
            if abs(change - 1) > threshold:
                bad = (change > 1) == worse_when_higher(quantity)
                mark = "WORSE" if bad else "better"
                worse += bad
                better += not bad
        hosts = " -> ".join(dict.fromkeys(h for h in (old_host, new_host) if h))
        rows.append([test, quantity, rank_name(rank), old_fig["text"] if old_fig else "-",
                     new_fig["text"] if new_fig else "-", ratio, mark,
                     (old_fig or new_fig)["unit"], hosts])
    text = f"old: {old['run']}  ({old['source']})\nnew: {new['run']}  ({new['source']})\n"
    text += (f"threshold: {threshold * 100:g}%; worse means more seconds, or a lower rate, "
             "total, mean or gain\n\n")
    text += table(rows, ["test", "quantity", "rank", "old", "new", "new/old", "mark", "unit",
                         "host"])
    text += f"\n{len(rows)} figures: {worse} worse, {better} better beyond {threshold * 100:g}%\n"
    return text, worse > 0


# ---------------------------------------------------------------- chart

def chart(runs, path, title=None):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
    except ImportError:
        raise InputError("chart needs matplotlib (Debian: apt-get install python3-matplotlib; "
                         "macOS: python3 -m pip install matplotlib)"
                         ) from None
    hosts = {}
    for run in runs:
        for test in run["tests"].values():
            for worker in test["workers"]:
                names = hosts.setdefault(worker["rank"], [])
                if worker["host"] not in names:
                    names.append(worker["host"])
    slots = sorted(hosts)
    bars = max(1, len(slots) * len(runs))
    longest = max((len(" / ".join(names)) for names in hosts.values()), default=0)
    rotate = len(slots) > 6 or (len(slots) > 3 and longest > 12)
    labels = [tick_label(rank, hosts[rank], rotate) for rank in slots]
    label_lines = max([label.count("\n") + 1 for label in labels] or [1])
    # Two columns of panels until the bars get too many to stay readable.
    columns = 2 if bars <= 20 else 1
    rows = math.ceil(len(TESTS) / columns)
    width = min(16.0, max(6.0, 0.3 * bars + 3))
    height = 3.3 + (1.0 if rotate else 0.16 * label_lines)
    fig, axes = plt.subplots(rows, columns, squeeze=False,
                             figsize=(width * columns, height * rows + 1.1))
    colours = plt.get_cmap("tab10").colors
    for index, test in enumerate(TESTS):
        ax = axes[index // columns][index % columns]
        draw_panel(ax, test, runs, slots, colours)
        ax.set_xticks(range(len(slots)))
        ax.set_xticklabels(labels, fontsize=8, rotation=35 if rotate else 0,
                           ha="right" if rotate else "center",
                           rotation_mode="anchor" if rotate else "default")
        ax.set_xlim(-0.6, max(len(slots), 1) - 0.4)
        if index // columns == rows - 1:
            ax.set_xlabel("worker: rank @host", fontsize=9)
    if len(runs) == 1:
        run = runs[0]
        handles = [Patch(color=colours[0], label="each worker, all at once"),
                   Line2D([], [], color="black", linestyle="--",
                          label="root alone (single process)")]
        when = f", {run['start'].replace('T', ' ')}" if run["start"] else ""
        ranks = run["ranks"] or 0
        count = (f"{ranks} ranks ({ranks - 1} worker{'s' if ranks > 2 else ''})" if ranks > 1
                 else "1 rank" if ranks else "? ranks")
        heading = title or f"drives_mpi on {run['host'] or run['run']}{when}, {count}"
    else:
        handles = [Patch(color=colours[number % len(colours)], label=run["run"])
                   for number, run in enumerate(runs)]
        handles.append(Line2D([], [], color="dimgray", linestyle="--",
                              label="root alone (single process), in its run's colour"))
        heading = title or f"drives_mpi, {len(runs)} runs"
    inches = fig.get_figheight()
    fig.suptitle(heading, fontsize=13, y=1 - 0.15 / inches, va="top")
    fig.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, 1 - 0.5 / inches),
               ncol=min(len(handles), 3), fontsize=9, frameon=False)
    legend_rows = math.ceil(len(handles) / 3)
    fig.tight_layout(rect=(0, 0, 1, 1 - (0.5 + 0.25 * legend_rows) / inches), h_pad=1.2)
    kind = os.path.splitext(path)[1].lower().lstrip(".")
    options = {"format": kind, "dpi": 110}
    if kind == "svg":
        options["metadata"] = {"Date": None}
    write_output(path, lambda stream: fig.savefig(stream, **options))
    plt.close(fig)


def draw_panel(ax, test, runs, slots, colours):
    """One measurement: a bar per worker and run (runs side by side within
    a worker's slot), each run's root rate as a dashed line."""
    from matplotlib.ticker import FuncFormatter
    panel = [run["tests"].get(test, {"single": {}, "workers": []}) for run in runs]
    workers = [w["rate"]["value"] for data in panel for w in data["workers"]
               if "rate" in w and w["rate"]["value"] is not None]
    roots = [data["single"]["rate"]["value"] for data in panel
             if data["single"].get("rate", {}).get("value") is not None]
    positive = [value for value in workers + roots if value > 0]
    # Workers an order and a half of magnitude apart would leave the small
    # ones as slivers on a linear axis.
    log = bool(workers) and min(workers) > 0 and max(workers) / min(workers) > 10 ** 1.5
    if log:
        ax.set_yscale("log")
        bottom, top = min(positive) / 2, max(positive) * 3
    else:
        bottom, top = 0, max(positive or [1]) * 1.15
    ax.set_ylim(bottom, top)
    width = 0.8 / len(runs)
    bars = len(slots) * len(runs)
    for number, (run, data) in enumerate(zip(runs, panel)):
        colour = colours[number % len(colours)]
        for worker in data["workers"]:
            if "rate" not in worker:
                continue
            x = slots.index(worker["rank"]) + (number - (len(runs) - 1) / 2) * width
            value = worker["rate"]["value"]
            height = value if value is not None and value > 0 else bottom
            bar = ax.bar(x, height, width * 0.9, color=colour, zorder=2)[0]
            bar.set_gid(f"bar-{test}-run{number}-rank{worker['rank']}")
            # Values on the bars while they fit; a bar of nothing is named.
            if (len(runs) == 1 and bars <= 8) or height == bottom:
                note = short(value, 4) if value is not None else worker["rate"]["text"]
                label_bar(ax, x, height, note, bottom, top, log, rotate=bars > 4)
        root = data["single"].get("rate")
        if root and root["value"] is not None and (root["value"] > 0 or not log):
            line = ax.axhline(root["value"], linestyle="--", linewidth=1.6, zorder=3,
                              color=darker(colour) if len(runs) > 1 else "black")
            line.set_gid(f"root-{test}-run{number}")
    heading = TITLES[test]
    root = panel[0]["single"].get("rate") if len(runs) == 1 else None
    if root:
        shown = short(root["value"], 4) if root["value"] is not None else root["text"]
        heading += f"\nroot alone: {shown}"
    ax.set_title(heading, fontsize=10)
    unit_name = RATE_UNITS[test].replace("million bytes/s", "MB/s (10\u2076 bytes/s)")
    ax.set_ylabel(unit_name + (", log scale" if log else ""))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda value, _: short(value, 3)))
    ax.grid(axis="y", alpha=0.3)
    ax.set_axisbelow(True)
    if not slots:
        ax.text(0.5, 0.5, "one rank: no workers", transform=ax.transAxes, ha="center",
                color="dimgray")


def label_bar(ax, x, height, note, bottom, top, log, rotate):
    """The value inside a tall bar, half-way up (clear of the root's line,
    which runs near the bars' tops), or just above a short one."""
    share = (math.log(height / bottom) / math.log(top / bottom) if log
             else height / top) if height > bottom else 0
    if share > 0.3:
        where = math.sqrt(height * bottom) if log else height / 2
        ax.annotate(note, (x, where), ha="center", va="center", fontsize=8, color="white",
                    rotation=90 if rotate else 0)
    else:
        ax.annotate(note, (x, height), xytext=(0, 2), textcoords="offset points", ha="center",
                    va="bottom", fontsize=8, rotation=90 if rotate else 0)


def short(value, digits):
    """A tick or bar label: `digits` significant digits, k, M and G for the
    large ones (26.77k), no exponents."""
    for limit, size, suffix in ((1e9, 1e9, "G"), (1e6, 1e6, "M"), (1e4, 1e3, "k"), (1e3, 1, "")):
        if abs(value) >= limit:
            text = f"{value / size:.{digits}g}"
            return (f"{value / size:.0f}" if "e" in text else text) + suffix
    return f"{value:.{digits}g}"


def tick_label(rank, hosts, rotate):
    name = " / ".join(hosts)
    if rotate:
        return f"{rank} @{elide(name, 28)}"
    return f"{rank}\n@" + "\n".join(wrap(name, 22)[:4])


def wrap(text, size):
    """Lines of at most `size` characters, broken after a dot or a blank
    where one is near."""
    lines = []
    while len(text) > size:
        cut = max(text.rfind(".", 0, size), text.rfind(" ", 0, size)) + 1
        cut = cut if cut > size // 2 else size
        lines.append(text[:cut].rstrip())
        text = text[cut:]
    return lines + [text]


def elide(text, size):
    if len(text) <= size:
        return text
    return text[:size // 2 - 1] + "\u2026" + text[-(size - size // 2):]


def darker(colour):
    return tuple(c * 0.6 for c in colour[:3])


# ---------------------------------------------------------------- command line

HELP = """\
Reads the result files and console transcripts of drives_mpi.

  json FILE...            one JSON object per run (see drives_results.schema.json)
  csv FILE...             one row per figure: run, test, rank, host, quantity, value, unit
  chart FILE... -o OUT    a panel per measurement, a bar per worker and run (.png or .svg)
  summary FILE...         count, min, median and max of every figure over several runs
  compare OLD NEW         old and new value of every figure, their ratio, and the
                          changes beyond --threshold; exit status 1 when one got worse

Worse means: more seconds, or a lower rate, total, mean or gain.
Exit status: 0 done, 1 compare found a figure worse, 2 bad input or usage.
"""


def threshold_arg(text):
    try:
        value = float(text.rstrip("%")) / 100
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}")
    return value


def parser():
    top = argparse.ArgumentParser(prog="drives-results", description=HELP,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, text in (("json", "runs as JSON"), ("csv", "runs as a long CSV table")):
        sub = commands.add_parser(name, help=text)
        sub.add_argument("files", nargs="+", metavar="FILE")
        sub.add_argument("-o", "--output", help="write here instead of standard output")
    sub = commands.add_parser("chart", help="draw the runs' rates")
    sub.add_argument("files", nargs="+", metavar="FILE")
    sub.add_argument("-o", "--output", required=True, help="OUT.png or OUT.svg")
    sub.add_argument("--title", help="the figure's title")
    sub = commands.add_parser("summary", help="count, min, median, max over several runs")
    sub.add_argument("files", nargs="+", metavar="FILE")
    sub = commands.add_parser(
        "compare", help="compare two runs",
        description="Prints every figure of OLD and NEW with new/old, and marks the changes "
                    "beyond the threshold. Worse means more seconds, or a lower rate, total, "
                    "mean or gain. Exit status 1 when a figure got worse beyond the threshold.")
    sub.add_argument("old", metavar="OLD")
    sub.add_argument("new", metavar="NEW")
    sub.add_argument("--threshold", type=threshold_arg, default=0.10, metavar="PERCENT",
                     help="mark changes beyond this many percent (default 10)")
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        if args.command == "chart":
            if os.path.splitext(args.output)[1].lower() not in (".png", ".svg"):
                raise InputError(f"{args.output}: the chart is written as .png or .svg")
            chart(read_runs(args.files), args.output, args.title)
        elif args.command in ("json", "csv"):
            runs = read_runs(args.files)
            write_output(args.output, to_json(runs) if args.command == "json" else to_csv(runs))
        elif args.command == "summary":
            write_output(None, summary(read_runs(args.files)))
        else:
            old, new = read_runs([args.old, args.new])
            text, worse = compare(old, new, args.threshold)
            write_output(None, text)
            return 1 if worse else 0
    except InputError as error:
        print(f"drives-results: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"drives-results: {error.filename or ''}: {error.strerror}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
