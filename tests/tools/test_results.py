"""drives-results on the runs the end-to-end tests kept (RUNS_DIR): each figure it reads from
result file, console or standard input is the printed text, its JSON fits the schema, chart,
summary and compare work, bad reports are refused or marked, drives-run's records are read
(invalid runs left out, differing facts named). Status 0 pass, 1 fail, 77 skip."""
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
sys.path.insert(0, os.path.join(ROOT, "tools"))
from drives_tools import results_read  # noqa: E402
from drives_tools.results_compare import SHARED  # noqa: E402

TOOL = os.path.join(ROOT, "tools", "drives-results")
SCHEMA = os.path.join(ROOT, "tools", "drives_tools", "drives_results.schema.json")
RECORD_SCHEMA = os.path.join(ROOT, "tools", "drives_tools", "drives_run_record.schema.json")
SCRATCH = tempfile.mkdtemp(prefix="results-tool-")

# values.json names each printed figure after drives.py's placeholders.
TESTS = ("stream_cycle", "descriptor_cycle", "low_write", "low_read", "high_read", "high_write")
SINGLE = dict(zip(["sx", "sx1", "s0", "s2", "s", "s1"], TESTS))
MULTI = dict(zip(["mx", "mxx", "lw", "lr", "hr", "hw"], TESTS))
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
    return {(test, rank, q): f for test, rank, _, q, f in results_read.figures(run)}


def tool(*args, stdin=None, env=None):
    return subprocess.run(
        [TOOL] + list(args),
        input=stdin,
        capture_output=True,
        text=True,
        env=env and dict(os.environ, **env),
    )


def contents(path):
    return pathlib.Path(path).read_text(encoding="utf-8")


VERSION = re.search(r"project\(\w+ VERSION (\S+)", contents(f"{ROOT}/CMakeLists.txt")).group(1)


def write(name, text):
    path = os.path.join(SCRATCH, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_text(text, encoding="utf-8", newline="")
    return path


def check_run(path, kept, validator, stdin=None):
    """json and csv of one file (`-`: of stdin) against what the run printed."""
    done = tool("json", path, stdin=stdin)
    assert done.returncode == 0 and not done.stderr, f"json {path}: {done.stderr}"
    data = json.loads(done.stdout)
    validator.validate(data)
    run = data["runs"][0]
    figures, texts = read(run), printed(kept["values"])
    assert {k: f["text"] for k, f in figures.items()} == texts, path
    for key, fig in figures.items():
        value = float(fig["text"])
        assert fig["value"] == (value if abs(value) < float("inf") else None), f"{key}: {fig}"
    hosts = dict(kept["workers"])
    got = {w["rank"]: w["host"] for t in run["tests"].values() for w in t["workers"]}
    assert (run["source"], got, run["host"], run["ranks"], run["complete"]) == (
        "standard input" if stdin else path,
        hosts,
        kept["root"],
        kept["nproc"],
        True,
    ), path
    rows = list(csv.DictReader(tool("csv", path, stdin=stdin).stdout.splitlines()))
    table = {(r["test"], int(r["rank"]) if r["rank"] else None, r["quantity"]): r for r in rows}
    assert len(table) == len(rows), f"{path}: a figure twice in the CSV"
    hosts[0] = kept["root"]
    want = {k: (run["run"], texts[k], f["unit"], hosts.get(k[1], "")) for k, f in figures.items()}
    assert {k: (r["run"], r["value"], r["unit"], r["host"]) for k, r in table.items()} == want, path
    return run


def columns(text):
    """A printed table as dicts by its header: Markdown by pipes, text by the header's columns."""
    if "\n| " in text:
        rows = [
            [re.sub(r"\\(.)", r"\1", cell.strip()) for cell in line.strip("|").split(" | ")]
            for line in text.splitlines()
            if line.startswith("| ")
        ]
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
    for test in TESTS:
        for number, kept in enumerate(kept_runs):
            bars = sorted(
                int(i.rsplit("rank", 1)[1]) for i in ids if i.startswith(f"bar-{test}-run{number}-")
            )
            assert bars == [rank for rank, _ in kept["workers"]], f"{test} run {number}: {bars}"
    for name, magic in (("one.png", b"\x89PNG\r\n\x1a\n"), ("one.pdf", b"%PDF")):
        done = tool("chart", paths[-1], "-o", os.path.join(SCRATCH, name))
        assert done.returncode == 0 and pathlib.Path(SCRATCH, name).read_bytes().startswith(magic)
    bare = os.path.dirname(write("bare/matplotlib.py", "raise ImportError\n"))  # no matplotlib
    done = tool("chart", paths[-1], "-o", write("none.png", ""), env={"PYTHONPATH": bare})
    assert (done.returncode, os.path.getsize(os.path.join(SCRATCH, "none.png"))) == (3, 0), done
    assert "apt-get install python3-matplotlib" in done.stderr, done.stderr


def scaled_sets(result, console):
    """Sets of three copies of a run, the root's file-cycle rates scaled: old, in a run's working
    directory (console, data file, hostfile), and new, its stream cycle twice as slow."""
    text = contents(result)
    rates = r"[\d.e+]+(?= Files/sec)"  # the root's stream, then descriptor file cycle first
    for side, factors in (
        ("old", [(1, 1), (1.02, 1.3), (0.98, 0.7)]),
        ("new", [(0.5, 0.8), (0.52, 1), (0.48, 0.85)]),
    ):
        for name, by in zip([os.path.basename(result), "1.txt", "2.txt"], map(iter, factors)):
            write(
                f"{side}/{name}",
                re.sub(rates, lambda m: f"{float(m.group()) * next(by):g}", text, count=2),
            )
    old = os.path.join(SCRATCH, "old")
    shutil.copy(console, old)
    pathlib.Path(old, "data64-macos-mx-single.tmp").write_bytes(b"x" * 16777216)
    write("old/hostfile", "vm slots=2\n")
    return float(re.search(rates, text).group()), old, os.path.join(SCRATCH, "new")


def check_compare(old, console, new):
    """compare of one run a side, of sets of three (marks only beyond the spread); summary."""
    rate, olds, news = scaled_sets(old, console)
    slower = os.path.join(news, os.path.basename(old))
    worse = {(test, "rate", "root"): "WORSE" for test in ("stream_cycle", "descriptor_cycle")}
    cases = [
        ([old, old], 0, {}),
        ([old, new], None, None),
        ([old, slower], 1, worse),
        ([slower, old], 0, {key: "better" for key in worse}),
        ([olds, news, "--format", "markdown"], 1, dict(zip(worse, ["WORSE", "within spread"]))),
        ([f"{olds}/1.txt", f"{olds}/2.txt", "--", "--threshold", "60", news], 0, {}),
    ]
    for args, status, marks in cases:
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
    data = json.loads(contents(out))
    got = [
        (f["test"], f["rank"], f["old"]["min"]["text"], f["new"]["median"]["text"])
        for f in data["figures"]
        if f["mark"] == "WORSE"
    ]
    assert (len(data["old"]), data["tool_version"], got) == (
        3,
        VERSION,
        [("stream_cycle", 0, f"{rate * .98:g}", f"{rate * .5:g}")],
    ), (data["old"], got)
    empty = os.path.dirname(write("empty/notes.txt", "not a report\n"))
    done = tool("compare", empty, news, "-o", out)
    assert (done.returncode, empty in done.stderr, json.loads(contents(out))) == (
        2,
        True,
        data,
    ), f"{done}, or written anyway"
    rows = csv.DictReader(tool("summary", olds, "--format", "csv").stdout.splitlines())
    got = [
        [r[k] for k in ("count", "min", "median", "max", "spread_percent")]
        for r in rows
        if (r["test"], r["rank"], r["quantity"]) == ("stream_cycle", "0", "rate")
    ]
    assert got == [["3", f"{rate * .98:g}", f"{rate:g}", f"{rate * 1.02:g}", "4.0"]], got


def check_bad_inputs(kept, result, console, validator):
    """Cut, corrupted and foreign inputs from a real run's files: each refused (status 2,
    file, line and expectation named, nothing written) or read as far as it goes, marked."""
    text = contents(result)
    rows, shown = text.split("\n"), contents(console).split("\n")
    last = kept["workers"][-1][0]
    higher = rows.index("Power of Handling Files -- Higher")
    low = next(i for i, l in enumerate(rows) if l.startswith(f"Thread:{last} @") and "Write." in l)
    high = max(i for i, l in enumerate(rows) if l.startswith("Thread:1 @"))
    gain = [i for i, l in enumerate(rows) if l.startswith("Multi-Thread Improvements")][1]
    end = next(i for i, l in enumerate(shown) if l.startswith("Results "))
    cut = lambda part, count: "\n".join(part[:count]) + "\n"
    edit = lambda at, new: "\n".join(rows[:at] + [new] + rows[at + 1 :])

    names = ["a", "x. The system spent: 1 Secs.", "b" * 30 + " " + "c." * 16 + "d"]
    renames = {rank: new for (rank, _), new in zip(kept["workers"], names)}
    renamed = text
    for rank, old in kept["workers"]:
        renamed = renamed.replace(f"Thread:{rank} @{old}", f"Thread:{rank} @{renames[rank]}")
    frame = ["-" * 74, "Primary job  terminated normally, but 1 process returned", "-" * 74]
    shared = f"drives_mpi: 1 of {len(kept['workers'])} workers ran on this host (vm) ..."
    notes = [shared, "drives_mpi: a note", "Unable to open file"] + frame
    noisy = shown[:end] + notes + shown[end:]
    at = next(i for i, line in enumerate(shown) if line.startswith("Conventionally"))
    glued = shown[:at] + [shared + shown[at], ""] + shown[at + 1 :]  # its line end comes after
    whole = printed(kept["values"]).items()
    cases = [  # name, text, and the first missing block or (line, expected text) of the error
        ("cut single", cut(rows, higher + 1), "single process: descriptor file cycle"),
        ("cut workers", cut(rows, low + 1), "workers: low writing and reading speeds"),
        (
            "cut in a line",
            cut(rows, high) + rows[high][:20],
            "workers: high writing and reading speeds",
        ),
        ("console without end lines", cut(shown, end), "end lines"),
        (
            "a figure is a word",
            edit(gain, "Multi-Thread Improvements: many times."),
            (gain + 1, "Multi-Thread Improvements: <number> times."),
        ),
        (
            "a worker changes name",
            edit(high, rows[high].replace("@", "@other ", 1)),
            (high + 1, f"Thread:1 @{kept['workers'][0][1]} "),
        ),
        ("lines after the end", text + "more\n", (len(rows), "the end of the result file")),
        ("foreign file", json.dumps(kept, indent=1), (1, "Velkora")),
        ("empty file", "", (1, "Velkora")),
        ("a stopped run", f"\n{shown[1].replace(':: ', '::  ')}\n", (2, "stopped")),
        ("notes, CRLF", "\r\n".join(noisy), None),
        ("glued: a note and a line as one", "\n".join(glued), None),
        ("host names of 1 to 64 characters", renamed, None),
    ]
    for label, content, expected in cases:
        path = write(os.path.basename(result) if label.startswith("host") else label, content)
        out = write("previous.json", "previous\n")
        done = tool("json", path, "-o", out)
        if isinstance(expected, tuple):
            assert (
                done.returncode,
                contents(out),
                f"{path}, line {expected[0]}:" in done.stderr,
                expected[1] in done.stderr,
            ) == (2, "previous\n", True, True), f"{label}: {done}"
            continue
        assert done.returncode == 0, f"{label}: {done.stderr}"
        data = json.loads(contents(out))
        validator.validate(data)
        run = data["runs"][0]
        assert (run["complete"], run["missing"]) == (expected is None, expected), label
        assert (expected in done.stderr) if expected else not done.stderr, f"{label}: {done.stderr}"
        got = {k: f["text"] for k, f in read(run).items()}.items()
        assert got == whole if expected is None else got <= whole, label
        if label.startswith("host"):
            assert {w["rank"]: w["host"] for w in run["tests"]["high_write"]["workers"]} == renames
        if label.startswith("notes"):  # the shared-host line is no failure, the others are
            assert (run["valid"], run["invalid_because"], run["root_shared_node"]) == (
                False,
                "some calls failed: drives_mpi: a note (and 1 more)",
                True,
            ), run
        if label.startswith("glued"):
            assert (run["notes"], run["valid"]) == ([shared], True), run["notes"]
    assert not glob.glob(os.path.join(SCRATCH, ".drives-results-*")), "temporary files left"


def record(status=0, shared=False, nodes=1, mpi="4.1.4", **node):
    """A record as drives-run writes it; `node` changes each node's facts."""
    nodes = [
        dict(
            {
                "name": f"n{i}",
                "host": f"n{i}",
                "ranks": [i],
                "os": "Debian 12",
                "kernel": "Linux 6.1",
                "machine": "x86_64",
                "cpu": "EPYC",
                "cores": 2,
                "memory_bytes": 1 << 34,
                "fs_type": "ext4",
                "device": "/dev/vda",
                "device_model": None,
                "free_bytes": 1 << 36,
                "load": [0.5, 1, 2],
            },
            **node,
        )
        for i in range(nodes)
    ]
    failures = ["drives_mpi: rank 1 @n1: low_write: 9 one-byte writes failed"] * (status == 3)
    return {
        "record": 1,
        "drives_mpi_version": VERSION,
        "command_line": ["drives-run"],
        "launcher_command": ["mpirun"],
        "start": "2026-12-07T10:00:00+01:00",
        "end": "2026-12-07T10:09:00+01:00",
        "mpi": {"name": "Open MPI", "launcher": "mpirun", "version": f"mpirun (Open MPI) {mpi}"},
        "status": status,
        "result_file": None,
        "failures": failures,
        "root_shared_node": shared,
        "repeat": {"run": 1, "runs": 1},
        "nodes": nodes,
    }


def check_records(result, console, validator, record_validator):
    """Runs one directory down with hand-written records (or damaged ones, as text): facts that
    differ named first, invalid runs out of the medians unless asked, gains of a shared root
    marked. Each run is the real one, its root's stream cycle rate times a factor."""
    text, name = contents(result), os.path.basename(result)
    rate = float(re.search(r"[\d.e+]+(?= Files/sec)", text).group())
    fast, slow, bad = record(), record(status=3), record(cores="two")
    cases = [  # name, old and new runs as (rate factor, record), facts differing, gains' note
        ("facts match", [(1, fast)] * 2, [(1, fast)], [], {}),
        (
            "environments differ",
            [(1, fast)],
            [(1, record(nodes=2, mpi="4.1.5", fs_type="tmpfs", kernel="Linux 6.2"))],
            ["node count", "MPI", "file system type", "kernel"],
            {},
        ),
        (
            "a node differs",
            [(1, fast)],
            [(1, record(fs_type="tmpfs"))],
            ["file system type of node n0"],
            {},
        ),
        ("one side not recorded", [(1, None)], [(1, fast)], None, {}),
        ("status 3 left out", [(1, fast)], [(1, fast), (0.5, slow), (0.5, slow)], [], {}),
        ("damaged records", [(1, "{"), (1, bad)], [(1, fast)], None, {}),
        (
            "root shared its node",
            [(1, record(shared=True))],
            [(1, fast)],
            [],
            {"gain": f"{SHARED} (old)"},
        ),
    ]
    for label, *sides, differs, marks in cases:
        where = os.path.join(SCRATCH, "records", label)
        for side, runs in zip(("old", "new"), sides):
            for number, (factor, kept) in enumerate(runs, 1):
                write(
                    f"records/{label}/{side}/{number}/{name}",
                    re.sub(r"[\d.e+]+(?= Files/sec)", f"{rate * factor:g}", text, count=1),
                )
                if isinstance(kept, dict):
                    assert record_validator.is_valid(kept) == (kept is not bad), label
                if kept:
                    kept = kept if isinstance(kept, str) else json.dumps(kept)
                    write(f"records/{label}/{side}/{number}/{name[:-4]}.record.json", kept)
        old, new = (os.path.join(where, side) for side in ("old", "new"))
        done = tool("compare", old, new)
        head = done.stdout.split("\n\n")[0]
        facts = [
            line.split(":")[1].strip() for line in head.splitlines() if line.startswith("differs: ")
        ]
        notes = {row["quantity"]: row["note"] for row in columns(done.stdout) if row.get("note")}
        assert (done.returncode, facts, notes) == (0, differs or [], marks), f"{label}: {done}"
        assert ("facts: the recorded facts match" in head) == (differs == []), f"{label}: {head}"
        assert ("record not readable" in done.stderr) == label.startswith("damaged"), done.stderr
        assert "Traceback" not in done.stderr, done.stderr
        data = json.loads(tool("json", old, new).stdout)
        validator.validate(data)
        assert [run["record"] for run in data["runs"]] == [
            kept if isinstance(kept, dict) and kept is not bad else None
            for runs in sides
            for _, kept in runs
        ], label
    new = os.path.join(SCRATCH, "records", "status 3 left out", "new")
    for include, count, factor, left_out in (([], 1, 1, 2), (["--include-invalid"], 3, 0.5, 0)):
        done = tool("summary", new, *include)
        got = [
            (r["count"], r["median"])
            for r in columns(done.stdout)
            if (r["test"], r["quantity"], r["rank"]) == ("stream_cycle", "rate", "root")
        ]
        assert (got, done.stdout.count("left out as invalid")) == (
            [(str(count), f"{rate * factor:g}")],
            left_out,
        ), done
    assert "node n0: Debian 12; Linux 6.1 x86_64; EPYC, 2 cores;" in done.stdout, done.stdout
    done = tool("summary", os.path.join(SCRATCH, "records", "root shared its node", "old"))
    assert {r["quantity"] for r in columns(done.stdout) if r.get("note") == SHARED} == {"gain"}
    beside = write("records/console/console.txt", contents(console))  # found by its end line
    write(f"records/console/{name[:-4]}.record.json", json.dumps(fast))
    assert json.loads(tool("json", beside).stdout)["runs"][0]["record"] == fast


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
    validator, record_validator = (
        jsonschema.Draft202012Validator(json.loads(contents(path)))
        for path in (SCHEMA, RECORD_SCHEMA)
    )
    runs = []  # (values, result file or None, console)
    for values in kept_files:
        kept, where = json.loads(contents(values)), os.path.dirname(values)
        result = (glob.glob(os.path.join(glob.escape(where), "results_drives_*.txt")) or [None])[0]
        console = os.path.join(where, "console.txt")
        runs.append((kept, result, console))
        if result:
            assert check_run(result, kept, validator)["saved"] is None, result
        assert check_run("-", kept, validator, contents(console))["saved"] == bool(result), console
    runs.sort(key=lambda r: (r[0]["nproc"], r[1] is None))
    check_chart([kept for kept, _, _ in runs], [result or console for _, result, console in runs])
    several = [run for run in runs if run[1] and 2 <= run[0]["nproc"] <= 3]
    if several:
        check_compare(*several[-1][1:], next(result for _, result, _ in runs if result))
        check_bad_inputs(*several[-1], validator)
        check_records(*several[-1][1:], validator, record_validator)
    else:
        print("no run of several ranks with a result file: compare and bad inputs not checked")
    print(f"passed ({len(runs)} runs)")


if __name__ == "__main__":
    try:
        main(*sys.argv[1:])
    except AssertionError as error:
        sys.exit(f"FAILED: {error}")
    finally:
        shutil.rmtree(SCRATCH, ignore_errors=True)
