"""drives-results on the runs the end-to-end tests kept (DRIVES_RUNS_DIR):
every figure it reads, from result file and console alike, equals the text
the run printed; its JSON fits the schema; chart, summary and compare work
on them; bad and cut reports made from them are refused or marked.

    python3 tests/tools/test_results.py RUNS_DIR     (0 pass, 1 fail, 77 skip)
"""
import csv
import glob
import importlib
import json
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "drives-results")
SCHEMA = os.path.join(ROOT, "tools", "drives_results.schema.json")
SCRATCH = tempfile.mkdtemp(prefix="results-tool-")

# values.json names each printed figure after drives.py's placeholders.
SINGLE = {"sx": "stream_cycle", "sx1": "descriptor_cycle", "s0": "low_write", "s2": "low_read",
          "s": "high_read", "s1": "high_write"}
MULTI = {"mx": "stream_cycle", "mxx": "descriptor_cycle", "lw": "low_write", "lr": "low_read",
         "hr": "high_read", "hw": "high_write"}
OWN = {"s": "seconds", "r": "rate", "m": "rate", "mb": "rate_mib"}
SUMMARY = {"total": "total", "mb": "total_mib", "gain": "gain", "mean": "mean"}
KEY = re.compile(r"(sx1|sx|s0|s2|s1|s|mxx|mx|lw|lr|hw|hr)(\d*)_(\w+)\Z")
UNABLE = "Unable to open file"


def printed(values):
    """{(test, rank, quantity): text}; rank 0 is the root, None the summary."""
    out = {}
    for key, text in values.items():
        prefix, rank, suffix = KEY.match(key).groups()
        test, rank = (SINGLE[prefix], 0) if prefix in SINGLE else (MULTI[prefix], int(rank or -1))
        out[test, None if rank < 0 else rank, (SUMMARY if rank < 0 else OWN)[suffix]] = text
    return out


def read(run):
    out = {}
    for test, data in run["tests"].items():
        out.update({(test, 0, q): f for q, f in data["single"].items()})
        for worker in data["workers"]:
            out.update({(test, worker["rank"], q): f for q, f in worker.items()
                        if q not in ("rank", "host")})
        out.update({(test, None, q): data[q] for q in SUMMARY.values() if q in data})
    return out


def tool(*args):
    return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True, text=True)


def write(name, text):
    path = os.path.join(SCRATCH, name)
    pathlib.Path(path).write_text(text, encoding="utf-8", newline="")
    return path


def check_run(path, kept, validator):
    """json and csv of one file against what the run printed."""
    done = tool("json", path)
    assert done.returncode == 0 and not done.stderr, f"json {path}: {done.stderr}"
    validator.validate(json.loads(done.stdout))
    run = json.loads(done.stdout)["runs"][0]
    figures = read(run)
    assert {k: f["text"] for k, f in figures.items()} == printed(kept["values"]), path
    for key, fig in figures.items():
        value = float(fig["text"])
        assert fig["value"] == (value if abs(value) < float("inf") else None), f"{key}: {fig}"
    hosts = dict(kept["workers"])
    got = {w["rank"]: w["host"] for t in run["tests"].values() for w in t["workers"]}
    assert (got, run["host"], run["ranks"], run["complete"]) == (
        hosts, kept["root"], kept["nproc"], True), path
    rows = list(csv.DictReader(tool("csv", path).stdout.splitlines()))
    table = {(r["test"], int(r["rank"]) if r["rank"] else None, r["quantity"]): r for r in rows}
    assert len(table) == len(rows), f"{path}: a figure twice in the CSV"
    assert {k: r["value"] for k, r in table.items()} == printed(kept["values"]), path
    hosts[0] = kept["root"]
    for key, row in table.items():
        assert (row["run"], row["unit"], row["host"]) == (
            run["run"], figures[key]["unit"], hosts.get(key[1], "")), row
    return run


def columns(text):
    """A table the tool printed, as dicts by its header's column starts."""
    lines = text.split("\n\n")[1].splitlines()
    starts = [m.start() for m in re.finditer(r"(?<!\S)\S", lines[0])]
    cut = lambda line: [line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])]
    return [dict(zip(cut(lines[0]), cut(line))) for line in lines[1:]]


def check_chart(kept_runs, paths):
    svg = os.path.join(SCRATCH, "runs.svg")
    done = tool("chart", *paths, "-o", svg)
    assert done.returncode == 0, done.stderr
    ids = [e.get("id") for e in ElementTree.parse(svg).iter() if e.get("id")]
    for test in MULTI.values():
        for number, kept in enumerate(kept_runs):
            bars = sorted(int(i.rsplit("rank", 1)[1]) for i in ids
                          if i.startswith(f"bar-{test}-run{number}-"))
            assert bars == [rank for rank, _ in kept["workers"]], f"{test} run {number}: {bars}"
    png = os.path.join(SCRATCH, "one.png")
    assert tool("chart", paths[-1], "-o", png).returncode == 0
    assert pathlib.Path(png).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"


def check_compare(old, new):
    text = pathlib.Path(old).read_text(encoding="utf-8")
    rate = re.search(r"[\d.e+]+(?= Files/sec)", text)  # the root's stream file cycle
    halved = write("halved.txt", f"{text[:rate.start()]}{float(rate.group()) / 2:g}"
                                 f"{text[rate.end():]}")
    root_rate = ("stream_cycle", "rate", "root")
    for args, status, marks in (([old, old], 0, {}), ([old, new], None, None),
                                ([old, halved], 1, {root_rate: "WORSE"}),
                                ([halved, old], 0, {root_rate: "better"}),
                                ([old, halved, "--threshold", "60"], 0, {})):
        done = tool("compare", *args)
        rows = columns(done.stdout)
        found = {(r["test"], r["quantity"], r["rank"]): r["mark"] for r in rows if r["mark"]}
        assert marks is None or found == marks, f"compare {args}: marked {found}"
        # Two real runs differ as they will: their marks must follow their ratios.
        for row in [r for r in rows if r["new/old"] not in ("-", "n/a")] if marks is None else []:
            ratio = float(row["new"]) / float(row["old"])
            bad = (ratio > 1) == (row["quantity"] == "seconds")
            mark = "" if abs(ratio - 1) <= 0.1 else "WORSE" if bad else "better"
            assert abs(float(row["new/old"]) - ratio) < 6e-4 and row["mark"] == mark, row
        assert done.returncode == (status if marks else int("WORSE" in found.values())), done


def check_summary(kept_runs, paths):
    rows = {(r["test"], r["quantity"], r["rank"]): r
            for r in columns(tool("summary", *paths).stdout)}
    for test, quantity in [(t, q) for t, rank, q in printed(kept_runs[0]["values"]) if rank == 0]:
        row = rows[test, quantity, "root"]
        values = sorted(float(printed(k["values"])[test, 0, quantity]) for k in kept_runs)
        assert (int(row["count"]), float(row["min"]), float(row["max"])) == (
            len(values), values[0], values[-1]), row
        assert abs(float(row["median"]) / statistics.median(values) - 1) < 1e-5, row


def check_bad_inputs(kept, result, console, validator):
    """Cut, corrupted and foreign inputs, from a real run's files: each either
    refused (status 2, file, line and expectation named, nothing written) or
    read as far as it goes and marked incomplete."""
    text = {path: pathlib.Path(path).read_text(encoding="utf-8") for path in (result, console)}
    lines = {path: content.split("\n") for path, content in text.items()}
    rows = lines[result]
    last = kept["workers"][-1][0]
    higher = rows.index("Power of Handling Files -- Higher")
    low = next(i for i, l in enumerate(rows) if l.startswith(f"Thread:{last} @") and "Write." in l)
    high = max(i for i, l in enumerate(rows) if l.startswith("Thread:1 @"))
    gain = [i for i, l in enumerate(rows) if l.startswith("Multi-Thread Improvements")][1]
    end = next(i for i, l in enumerate(lines[console]) if l.startswith("Results "))

    def cut(path, count):
        return "\n".join(lines[path][:count]) + "\n"

    def edit(at, new):
        return "\n".join(rows[:at] + [new] + rows[at + 1:])

    names = ["a", "x. The system spent: 1 Secs.", "b" * 30 + " " + "c." * 16 + "d"]
    renames = {rank: new for (rank, _), new in zip(kept["workers"], names)}
    renamed = text[result]
    for rank, old in kept["workers"]:
        renamed = renamed.replace(f"Thread:{rank} @{old}", f"Thread:{rank} @{renames[rank]}")
    frame = ["-" * 74, "Primary job  terminated normally, but 1 process returned", "-" * 74]
    noisy = lines[console][:end] + ["drives_mpi: a note", UNABLE] + frame + lines[console][end:]
    stop_title = lines[console][1].replace(":: ", "::  ")
    cases = [  # name, text, (line, expected text) of the error, or the first missing block
        ("cut in the single phase", cut(result, higher + 1), None,
         "single process: descriptor file cycle"),
        ("cut among the workers", cut(result, low + 1), None,
         "workers: low writing and reading speeds"),
        ("cut in a line", cut(result, high) + rows[high][:20], None,
         "workers: high writing and reading speeds"),
        ("console without end lines", cut(console, end), None, "end lines"),
        ("a figure is a word", edit(gain, "Multi-Thread Improvements: many times."),
         (gain + 1, "Multi-Thread Improvements: <number> times."), None),
        ("a worker changes name", edit(high, rows[high].replace("@", "@other ", 1)),
         (high + 1, f"Thread:1 @{kept['workers'][0][1]} "), None),
        ("lines after the end", text[result] + "more\n",
         (len(rows), "the end of the result file"), None),
        ("foreign file", json.dumps(kept, indent=1), (1, "Velkora"), None),
        ("empty file", "", (1, "Velkora"), None),
        ("a stopped run", f"\n{stop_title}\n", (2, "stopped"), None),
        ("notes, CRLF", "\r\n".join(noisy), None, None),
        ("host names of 1 to 64 characters", renamed, None, None),
    ]
    for label, content, error, missing in cases:
        path = write(os.path.basename(result) if label.startswith("host") else label, content)
        out = write("previous.json", "previous\n")
        done = tool("json", path, "-o", out)
        written = pathlib.Path(out).read_text(encoding="utf-8")
        if error:
            assert done.returncode == 2 and written == "previous\n", f"{label}: {done}"
            assert f"{path}, line {error[0]}:" in done.stderr and error[1] in done.stderr, \
                f"{label}: {done.stderr}"
            continue
        assert done.returncode == 0, f"{label}: {done.stderr}"
        data = json.loads(written)
        validator.validate(data)
        run = data["runs"][0]
        assert (run["complete"], run["missing"]) == (missing is None, missing), label
        assert (missing in done.stderr) if missing else not done.stderr, f"{label}: {done.stderr}"
        got = {k: f["text"] for k, f in read(run).items()}.items()
        expected = printed(kept["values"]).items()
        assert got == expected if missing is None else got <= expected, label
        if label.startswith("host"):
            assert {w["rank"]: w["host"] for w in run["tests"]["high_write"]["workers"]} == renames
        if label.startswith("notes"):
            assert "drives_mpi: a note" in run["notes"], run["notes"]
    assert not glob.glob(os.path.join(SCRATCH, ".drives-results-*")), "temporary files left"


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(77)


def main(runs_dir):
    try:
        jsonschema = importlib.import_module("jsonschema")
        importlib.import_module("matplotlib")  # for the chart
    except ImportError as missing:
        skip(missing)
    kept_files = sorted(glob.glob(os.path.join(glob.escape(runs_dir), "*", "values.json")))
    if not kept_files:
        skip(f"no kept runs in {runs_dir}")
    validator = jsonschema.Draft202012Validator(json.loads(pathlib.Path(SCHEMA).read_text()))
    runs = []  # (values, result file or None, console)
    for values in kept_files:
        kept = json.loads(pathlib.Path(values).read_text(encoding="utf-8"))
        result = (glob.glob(os.path.join(glob.escape(os.path.dirname(values)),
                                         "results_drives_*.txt")) or [None])[0]
        console = os.path.join(os.path.dirname(values), "console.txt")
        runs.append((kept, result, console))
        if result:
            assert check_run(result, kept, validator)["saved"] is None, result
        assert check_run(console, kept, validator)["saved"] == bool(result), console
    runs.sort(key=lambda r: (r[0]["nproc"], r[1] is None))
    check_chart([kept for kept, _, _ in runs], [result or console for _, result, console in runs])
    saved = [(kept, result) for kept, result, _ in runs if result]
    if len(saved) >= 2:
        check_summary([kept for kept, _ in saved], [result for _, result in saved])
    if saved:
        check_compare(saved[0][1], saved[-1][1])
    several = [run for run in runs if run[1] and run[0]["nproc"] >= 2]
    if several:
        check_bad_inputs(*several[-1], validator)
    else:
        print("no run of several ranks with a result file: bad inputs not checked")
    print(f"passed ({len(runs)} runs)")


if __name__ == "__main__":
    try:
        main(*sys.argv[1:])
    except AssertionError as error:
        print(f"FAILED: {error}", file=sys.stderr)
        sys.exit(1)
    finally:
        shutil.rmtree(SCRATCH, ignore_errors=True)
