"""drives-results on the runs the end-to-end tests kept (RUNS_DIR): every
figure it reads from result file, console or standard input equals the
printed text; its JSON fits the schema; it finds reports in a directory;
chart, summary and compare (of runs and sets of runs) work; bad and cut
reports are refused or marked. Status 0 pass, 1 fail, 77 skip."""
import csv
import glob
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "drives_results.py")
SCHEMA = os.path.join(ROOT, "tools", "drives_results.schema.json")
SCRATCH = tempfile.mkdtemp(prefix="results-tool-")
VERSION = re.search(r"project\(\w+ VERSION (\S+)",
                    pathlib.Path(ROOT, "CMakeLists.txt").read_text()).group(1)

# values.json names each printed figure after drives.py's placeholders.
SINGLE = {"sx": "stream_cycle", "sx1": "descriptor_cycle", "s0": "low_write", "s2": "low_read",
          "s": "high_read", "s1": "high_write"}
MULTI = {"mx": "stream_cycle", "mxx": "descriptor_cycle", "lw": "low_write", "lr": "low_read",
         "hr": "high_read", "hw": "high_write"}
OWN = {"s": "seconds", "r": "rate", "m": "rate", "mb": "rate_mib"}
SUMMARY = {"total": "total", "mb": "total_mib", "gain": "gain", "mean": "mean"}
KEY = re.compile(r"(sx1|sx|s0|s2|s1|s|mxx|mx|lw|lr|hw|hr)(\d*)_(\w+)\Z")


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


def tool(*args, stdin=None, env=None):
    return subprocess.run([sys.executable, TOOL] + list(args), input=stdin, capture_output=True,
                          text=True, env=env and dict(os.environ, **env))


def write(name, text):
    path = os.path.join(SCRATCH, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_text(text, encoding="utf-8", newline="")
    return path


def check_run(path, kept, validator, stdin=None):
    """json and csv of one file (`-`: of stdin) against what the run printed."""
    done = tool("json", path, stdin=stdin)
    assert done.returncode == 0 and not done.stderr, f"json {path}: {done.stderr}"
    validator.validate(json.loads(done.stdout))
    run = json.loads(done.stdout)["runs"][0]
    assert run["source"] == ("standard input" if stdin else path), run["source"]
    figures = read(run)
    assert {k: f["text"] for k, f in figures.items()} == printed(kept["values"]), path
    for key, fig in figures.items():
        value = float(fig["text"])
        assert fig["value"] == (value if abs(value) < float("inf") else None), f"{key}: {fig}"
    hosts = dict(kept["workers"])
    got = {w["rank"]: w["host"] for t in run["tests"].values() for w in t["workers"]}
    assert (got, run["host"], run["ranks"], run["complete"]) == (
        hosts, kept["root"], kept["nproc"], True), path
    rows = list(csv.DictReader(tool("csv", path, stdin=stdin).stdout.splitlines()))
    table = {(r["test"], int(r["rank"]) if r["rank"] else None, r["quantity"]): r for r in rows}
    assert len(table) == len(rows), f"{path}: a figure twice in the CSV"
    assert {k: r["value"] for k, r in table.items()} == printed(kept["values"]), path
    hosts[0] = kept["root"]
    for key, row in table.items():
        assert (row["run"], row["unit"], row["host"]) == (
            run["run"], figures[key]["unit"], hosts.get(key[1], "")), row
    return run


def columns(text):
    """A table the tool printed, as dicts by its header: cells between pipes
    in Markdown, else from where the header's columns start."""
    if "\n| " in text:
        rows = [[re.sub(r"\\(.)", r"\1", cell.strip()) for cell in line.strip("|").split(" | ")]
                for line in text.splitlines() if line.startswith("| ")]
        return [dict(zip(rows[0], row)) for row in rows[2:]]
    lines = text.split("\n\n")[1].splitlines()
    starts = [m.start() for m in re.finditer(r"(?:^|(?<=  ))\S", lines[0])]
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
    for name, magic in (("one.png", b"\x89PNG\r\n\x1a\n"), ("one.pdf", b"%PDF")):
        done = tool("chart", paths[-1], "-o", os.path.join(SCRATCH, name))
        assert done.returncode == 0 and pathlib.Path(SCRATCH, name).read_bytes().startswith(magic)
    bare = os.path.dirname(write("bare/matplotlib.py", "raise ImportError\n"))  # no matplotlib
    done = tool("chart", paths[-1], "-o", write("none.png", ""), env={"PYTHONPATH": bare})
    assert (done.returncode, os.path.getsize(os.path.join(SCRATCH, "none.png"))) == (3, 0), done
    assert "apt-get install python3-matplotlib" in done.stderr, done.stderr


def scaled_sets(result, console):
    """Copies of a run, the root's file-cycle rates scaled: an old set of three
    in a run's working directory (with its console, a data file, a hostfile)
    and a new set of three whose stream cycle is twice as slow. Returns the
    stream rate and the two directories."""
    text = pathlib.Path(result).read_text(encoding="utf-8")
    rates = r"[\d.e+]+(?= Files/sec)"  # the root's stream, then descriptor file cycle first
    for side, factors in (("old", [(1, 1), (1.02, 1.3), (.98, .7)]),
                          ("new", [(.5, .8), (.52, 1), (.48, .85)])):
        for name, by in zip([os.path.basename(result), "1.txt", "2.txt"], map(iter, factors)):
            write(f"{side}/{name}",
                  re.sub(rates, lambda m: f"{float(m.group()) * next(by):g}", text, count=2))
    old = os.path.join(SCRATCH, "old")
    shutil.copy(console, old)
    pathlib.Path(old, "data64-macos-mx-single.tmp").write_bytes(b"x" * 16777216)
    write("old/hostfile", "vm slots=2\n")
    return float(re.search(rates, text).group()), old, os.path.join(SCRATCH, "new")


def check_compare(old, new, sets):
    """One run a side (`old` and a slower copy of it), then sets of three:
    marks follow the ratios beyond the threshold, and with several runs only
    the changes beyond their spread; and summary of a set."""
    rate, olds, news = sets
    slower = os.path.join(news, os.path.basename(old))
    worse = dict.fromkeys([("stream_cycle", "rate", "root"), ("descriptor_cycle", "rate", "root")],
                          "WORSE")
    for args, status, marks in (([old, old], 0, {}), ([old, new], None, None),
                                ([old, slower], 1, worse),
                                ([slower, old], 0, {key: "better" for key in worse}),
                                ([olds, news, "--format", "markdown"], 1,
                                 dict(zip(worse, ["WORSE", "within spread"]))),
                                ([os.path.join(olds, f"{n}.txt") for n in (1, 2)]
                                 + ["--", "--threshold", "60", news], 0, {})):
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
        assert done.returncode == (int("WORSE" in found.values()) if status is None else status)
    out = os.path.join(SCRATCH, "compare.json")
    assert tool("compare", olds, news, "--format", "json", "-o", out).returncode == 1
    data = json.loads(pathlib.Path(out).read_text(encoding="utf-8"))
    got = [(f["test"], f["rank"], f["old"]["min"]["text"], f["new"]["median"]["text"])
           for f in data["figures"] if f["mark"] == "WORSE"]
    assert (len(data["old"]), data["tool_version"], got) == (3, VERSION, [(
        "stream_cycle", 0, f"{rate * .98:g}", f"{rate * .5:g}")]), (data["old"], got)
    empty = os.path.dirname(write("empty/notes.txt", "not a report\n"))
    done = tool("compare", empty, news, "-o", out)
    assert (done.returncode, empty in done.stderr, json.loads(pathlib.Path(out).read_text(
        encoding="utf-8"))) == (2, True, data), f"{done}, or written anyway"
    rows = csv.DictReader(tool("summary", olds, "--format", "csv").stdout.splitlines())
    got = [[r[k] for k in ("count", "min", "median", "max")] for r in rows
           if (r["test"], r["rank"], r["quantity"]) == ("stream_cycle", "0", "rate")]
    assert got == [["3", f"{rate * .98:g}", f"{rate:g}", f"{rate * 1.02:g}"]], got


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
    noisy = lines[console][:end] + ["drives_mpi: a note", "Unable to open file"] + frame + lines[console][end:]
    stop_title = lines[console][1].replace(":: ", "::  ")
    whole = printed(kept["values"]).items()
    cases = [  # name, text, and the first missing block or (line, expected text) of the error
        ("cut single", cut(result, higher + 1), "single process: descriptor file cycle"),
        ("cut workers", cut(result, low + 1), "workers: low writing and reading speeds"),
        ("cut in a line", cut(result, high) + rows[high][:20],
         "workers: high writing and reading speeds"),
        ("console without end lines", cut(console, end), "end lines"),
        ("a figure is a word", edit(gain, "Multi-Thread Improvements: many times."),
         (gain + 1, "Multi-Thread Improvements: <number> times.")),
        ("a worker changes name", edit(high, rows[high].replace("@", "@other ", 1)),
         (high + 1, f"Thread:1 @{kept['workers'][0][1]} ")),
        ("lines after the end", text[result] + "more\n", (len(rows), "the end of the result file")),
        ("foreign file", json.dumps(kept, indent=1), (1, "Velkora")),
        ("empty file", "", (1, "Velkora")),
        ("a stopped run", f"\n{stop_title}\n", (2, "stopped")),
        ("notes, CRLF", "\r\n".join(noisy), None),
        ("host names of 1 to 64 characters", renamed, None),
    ]
    for label, content, expected in cases:
        path = write(os.path.basename(result) if label.startswith("host") else label, content)
        out = write("previous.json", "previous\n")
        done = tool("json", path, "-o", out)
        written = pathlib.Path(out).read_text(encoding="utf-8")
        if isinstance(expected, tuple):
            assert done.returncode == 2 and written == "previous\n", f"{label}: {done}"
            assert f"{path}, line {expected[0]}:" in done.stderr and expected[1] in done.stderr, \
                f"{label}: {done.stderr}"
            continue
        assert done.returncode == 0, f"{label}: {done.stderr}"
        data = json.loads(written)
        validator.validate(data)
        run = data["runs"][0]
        assert (run["complete"], run["missing"]) == (expected is None, expected), label
        assert (expected in done.stderr) if expected else not done.stderr, f"{label}: {done.stderr}"
        got = {k: f["text"] for k, f in read(run).items()}.items()
        assert got == whole if expected is None else got <= whole, label
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
        import jsonschema, matplotlib  # noqa: E401, F401 (matplotlib: for the chart)
    except ImportError as missing:
        skip(missing)
    kept_files = sorted(glob.glob(os.path.join(glob.escape(runs_dir), "*", "values.json")))
    if not kept_files:
        skip(f"no kept runs in {runs_dir}")
    assert tool("--version").stdout == f"drives-results {VERSION}\n"
    assert "standard input, line 1:" in tool("json", "-", stdin="nothing\n").stderr
    validator = jsonschema.Draft202012Validator(json.loads(pathlib.Path(SCHEMA).read_text()))
    runs = []  # (values, result file or None, console)
    for values in kept_files:
        kept, where = json.loads(pathlib.Path(values).read_text()), os.path.dirname(values)
        result = (glob.glob(os.path.join(glob.escape(where), "results_drives_*.txt")) or [None])[0]
        console = os.path.join(where, "console.txt")
        runs.append((kept, result, console))
        if result:
            assert check_run(result, kept, validator)["saved"] is None, result
        piped = pathlib.Path(console).read_text(encoding="utf-8")
        assert check_run("-", kept, validator, piped)["saved"] == bool(result), console
    runs.sort(key=lambda r: (r[0]["nproc"], r[1] is None))
    check_chart([kept for kept, _, _ in runs], [result or console for _, result, console in runs])
    saved = [result for _, result, _ in runs if result]
    several = [run for run in runs if run[1] and run[0]["nproc"] >= 2]
    if several:
        sets = scaled_sets(*several[-1][1:])
        check_compare(several[-1][1], saved[0], sets)
        check_bad_inputs(*several[-1], validator)
    else:
        print("no run of several ranks with a result file: compare and bad inputs not checked")
    print(f"passed ({len(runs)} runs)")


if __name__ == "__main__":
    try:
        main(*sys.argv[1:])
    except AssertionError as error:
        print(f"FAILED: {error}", file=sys.stderr)
        sys.exit(1)
    finally:
        shutil.rmtree(SCRATCH, ignore_errors=True)
