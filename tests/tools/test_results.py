"""drives-results on the runs the end-to-end tests kept (--runs DIR) and on files made from them:
every figure read as printed, bad and hostile input refused or marked (never a traceback or a
hang), records read (runs that did not end well left out, facts that differ named), compare's
marks and status, text that fits 80 columns; and the tools' copy of the report's wording and
statuses held against the benchmark's constants."""

import ast
import csv
import dataclasses
import glob
import json
import os
import pathlib
import re
import stat
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
from drives_tools import report, results_compare, results_formats, results_read  # noqa: E402
from drives_tools import version  # noqa: E402
from drives_tools.run_record import Binary, Mpi, Node, Record, Repeat  # noqa: E402
from drives_tools.statuses import ExitStatus  # noqa: E402

TOOL = str(ROOT / "tools" / "drives-results")
SCHEMA = ROOT / "tools" / "drives_tools" / "drives_results.schema.json"
RECORD_SCHEMA = SCHEMA.with_name("drives_run_record.schema.json")
VERSION = version.version()
RATE = re.compile(r"[\d.e+]+(?= Files/sec)")  # the root's stream, then descriptor cycle first

# values.json names each printed figure after drives.py's placeholders.
TESTS = results_read.TESTS
SINGLE = dict(zip(["sx", "sx1", "s0", "s2", "s", "s1"], TESTS))
MULTI = dict(zip(["mx", "mxx", "lw", "lr", "hr", "hw"], TESTS))
OWN = {"s": "seconds", "r": "rate", "m": "rate", "mb": "rate_mib"}
TOTALS = {"total": "total", "mb": "total_mib", "gain": "gain", "mean": "mean"}
KEY = re.compile(r"(sx1|sx|s0|s2|s1|s|mxx|mx|lw|lr|hw|hr)(\d*)_(\w+)\Z")


class Kept(NamedTuple):
    """A run an end-to-end test kept: what it printed, its result file (if saved), its console."""

    values: Dict[str, Any]
    result: Optional[str]
    console: str


def kept_runs(runs: Optional[str]) -> List[Kept]:
    found = []
    for path in sorted(glob.glob(os.path.join(glob.escape(runs or "-"), "*", "values.json"))):
        where = os.path.dirname(path)
        result = glob.glob(os.path.join(glob.escape(where), "results_drives_*.txt"))
        values = json.loads(pathlib.Path(path).read_text())
        found.append(Kept(values, (result or [None])[0], os.path.join(where, "console.txt")))
    return found


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    if "kept" in metafunc.fixturenames:
        runs = kept_runs(metafunc.config.getoption("--runs"))
        names = [os.path.basename(os.path.dirname(run.console)) for run in runs]
        metafunc.parametrize("kept", runs or [None], ids=names or ["none"])


@pytest.fixture(scope="session")
def pair(opts: Any) -> Kept:
    """A kept run of two or three ranks that saved its result file."""
    runs = [r for r in kept_runs(opts.runs) if r.result and 2 <= r.values["nproc"] <= 3]
    if not runs:
        pytest.skip(f"no kept run of two or three ranks with a result file in {opts.runs}")
    return runs[-1]


def tool(*args: str, stdin: Optional[str] = None, **env: str) -> "subprocess.CompletedProcess[str]":
    # The timeout is a guard: an input that hangs the tool fails here.
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, **env))  # fmt: skip


def write(path: pathlib.Path, text: str) -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8", newline="")
    return str(path)


def printed(values: Dict[str, str]) -> Dict[Tuple[str, Optional[int], str], str]:
    """{(test, rank, quantity): text}; rank 0 is the root, None the summary."""
    out = {}
    for key, text in values.items():
        prefix, rank, suffix = KEY.match(key).groups()
        test, number = (SINGLE[prefix], 0) if prefix in SINGLE else (MULTI[prefix], int(rank or -1))
        out[test, None if number < 0 else number, (TOTALS if number < 0 else OWN)[suffix]] = text
    return out


def figures(run: Dict[str, Any]) -> Dict[Tuple[str, Optional[int], str], Dict[str, Any]]:
    """A run's figures from drives-results json, by (test, rank, quantity)."""
    out = {}
    for name, test in run["tests"].items():
        out.update({(name, 0, q): f for q, f in test["single"].items()})
        for worker in test["workers"]:
            rank = worker["rank"]
            out.update({(name, rank, q): f for q, f in worker.items() if isinstance(f, dict)})
        out.update(
            {(name, None, q): f for q, f in test.items() if isinstance(f, dict) and "unit" in f}
        )
    return out


# ---------------------------------------------------------------- the wording


def constants() -> Dict[str, Any]:
    """The benchmark's named constants (strings and integers), wherever constants.h lives."""
    found = glob.glob(str(ROOT / "src" / "**" / "constants.h"), recursive=True)
    assert len(found) == 1, f"constants.h: {found}"
    text = re.sub(r"//[^\n]*", "", pathlib.Path(found[0]).read_text())
    pairs = re.findall(
        r"constexpr [\w:* ]+?\b(k\w+)\s*=\s*((?:\"(?:\\.|[^\"\\])*\"\s*)+|-?\d+);", text
    )
    return {
        name.lower(): ast.literal_eval(value.replace("\n", " ")) if '"' in value else int(value)
        for name, value in pairs
    }


# report.py's names are its constants' (kTitle: TITLE), but for these.
RENAMED = {"RIGHTS": "kRightsLine", "SUPPORT": "kSupportLine", "UNABLE": "kUnableToOpen",
           "MAX_RANKS": "kRankLimit"}  # fmt: skip


def test_wording_and_statuses_are_the_benchmarks() -> None:
    """A heading changed in constants.h and not in report.py (the tools' one copy) fails here,
    as does a drives_mpi status the tools' table tells otherwise."""
    known = constants()
    ours = {name: value for name, value in vars(report).items() if name.isupper()}
    theirs = {
        name: known.get(RENAMED.get(name, "k" + name.replace("_", "")).lower()) for name in ours
    }
    wrong = {name: (value, theirs[name]) for name, value in ours.items() if theirs[name] != value}
    assert not wrong, f"report.py's value, constants.h's: {wrong}"
    statuses = [known[f"k{name}status"] for name in ("stop", "notsaved", "failedoperations")]
    assert statuses == [ExitStatus.STOPPED, ExitStatus.STOPPED, ExitStatus.CALLS_FAILED]


# ---------------------------------------------------------------- every figure


def test_reads_every_figure(kept: Optional[Kept], tmp_path: pathlib.Path) -> None:
    """json and csv of a result file and of a console on standard input: each figure the printed
    text, hosts and ranks as the run had them, the JSON as its schema says."""
    jsonschema = pytest.importorskip("jsonschema")
    if kept is None:
        pytest.skip("no kept runs (--runs)")
    validator = jsonschema.Draft202012Validator(json.loads(SCHEMA.read_text()))
    values = kept.values
    texts = printed(values["values"])
    hosts = {**dict(values["workers"]), 0: values["root"]}
    whole = [values["root"], values["nproc"], True]  # host, ranks, complete
    console = pathlib.Path(kept.console).read_text()
    for path, stdin in ([(kept.result, None)] if kept.result else []) + [("-", console)]:
        done = tool("json", path, stdin=stdin)
        assert done.returncode == 0 and not done.stderr, done
        data = json.loads(done.stdout)
        validator.validate(data)
        run = data["runs"][0]
        assert {k: f["text"] for k, f in figures(run).items()} == texts
        assert all(
            f["value"] == (float(f["text"]) if "n" not in f["text"] else None)
            for f in figures(run).values()
        )
        assert [run[k] for k in ("host", "ranks", "complete")] == whole
        rows = list(csv.DictReader(tool("csv", path, stdin=stdin).stdout.splitlines()))
        table = {(r["test"], int(r["rank"]) if r["rank"] else None, r["quantity"]): r for r in rows}
        assert len(table) == len(rows) and {
            k: (r["value"], r["host"]) for k, r in table.items()
        } == {k: (text, hosts.get(k[1], "")) for k, text in texts.items()}


def test_output_into_what_is_no_file(pair: Kept, tmp_path: pathlib.Path) -> None:
    """-o into a FIFO (or /dev/null) writes into it: renamed over, it would become a file; -o
    where nothing can be written names the file asked for."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    try:
        done = tool("json", pair.result, "-o", str(fifo))
        out = reader.communicate(timeout=60)[0]
    finally:
        reader.kill()
    assert done.returncode == 0 and json.loads(out)["runs"], done
    assert stat.S_ISFIFO(fifo.stat().st_mode), "the FIFO was replaced"
    done = tool("json", pair.result, "-o", str(tmp_path / "gone" / "out.json"))
    said = f"drives-results: {tmp_path}/gone/out.json: No such file or directory\n"
    assert (done.returncode, done.stderr) == (ExitStatus.USAGE, said)
    closed = subprocess.run(
        [TOOL, "json", pair.result], stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1)
    )
    assert closed.stderr == b"drives-results: standard output: Bad file descriptor\n", closed


# ---------------------------------------------------------------- bad input


Edit = Callable[[List[str], List[str]], str]  # result file's lines, console's lines -> text
REFUSED, CUT, READ = "refused", "cut short", "read whole"
NUL_PATH = report.SAVED + "/tmp/a\0b.txt"
# fmt: off
NOTES = ["drives_mpi: 1 of 1 workers ran on this host (vm) ...", "drives_mpi: a note", report.UNABLE,
         "-" * 74, "Primary job  terminated normally, but 1 process returned", "-" * 74]
STATUS = "\r\033[Kdrives-run: one-byte read (workers), 1 s; run time 5 s\r\033[K"
NAMES = ["x. The system spent: 1 Secs.", "b" * 30 + " " + "c." * 16 + "d"]
CASES: List[Tuple[str, Edit, str, str]] = [  # name, input, outcome, what is said
    ("cut single", lambda r, c: lines(r[: r.index(report.HIGHER_HEADING) + 1]), CUT,
     "single process: descriptor file cycle"),
    ("cut workers", lambda r, c: lines(r[: first(r, "Thread:1 @", "Write.") + 1]), CUT,
     "workers: low writing and reading speeds"),
    ("cut in a line", lambda r, c: lines(r[: last(r, "Thread:1 @")]) + r[last(r, "Thread:1 @")][:20],
     CUT, "workers: high writing and reading speeds"),
    ("console without end lines", lambda r, c: lines(c[: first(c, "Results ")]), CUT, "end lines"),
    ("console of a run stopped by a signal", lambda r, c: lines(c[: first(c, "Multi-Thread")]),
     CUT, "workers: stream file cycle"),
    ("a figure is a word", lambda r, c: edit(r, report.IMPROVEMENTS, "many times."), REFUSED,
     report.IMPROVEMENTS + "<number> times."),
    ("a worker changes name", lambda r, c: edit(r, "Thread:1 @", "x", -1), REFUSED, "Thread:1 @"),
    ("foreign file", lambda r, c: '{"nproc": 2}\n', REFUSED, report.TITLE),
    ("empty file", lambda r, c: "", REFUSED, report.TITLE),
    ("a stopped run", lambda r, c: f"\n{report.STOP_TITLE}\n", REFUSED, "stopped before"),
    ("Thread(s) of 5000 digits", lambda r, c: edit(r, report.THREADS, "1" * 5000), REFUSED,
     report.THREADS),
    ("Thread: of 5000 digits", lambda r, c: lines([re.sub("^Thread:1 ", "Thread:" + "1" * 5000
                                                          + " ", x) for x in r]), REFUSED, "Thread:1 @"),
    ("lines after the end", lambda r, c: lines(c + ["", "real\t0m2.1s", "user\t0m0.3s"]), READ,
     "2 lines after the end of the console, from line"),
    ("an end line's path holds a NUL",
     lambda r, c: lines([NUL_PATH if x.startswith("Results ") else x for x in c]), READ, ""),
    ("notes, CRLF", lambda r, c: "\r\n".join(c[:-3] + NOTES + c[-3:]), READ, ""),
    ("a note glued to a line", lambda r, c: lines(glue(c)), READ, ""),
    ("host names like lines, or long", lambda r, c: lines([rename(x) for x in r]), READ, ""),
    ("a file name not UTF-8 \udcff", lambda r, c: lines(r), READ, ""),
    ("a terminal's transcript, status line and all",
     lambda r, c: "".join(f"{STATUS}{x}\r\n" for x in c), READ, ""),
]
# fmt: on


def lines(rows: List[str]) -> str:
    return "\n".join(rows) + "\n"


def first(rows: List[str], start: str, end: str = "") -> int:
    return next(i for i, row in enumerate(rows) if row.startswith(start) and row.endswith(end))


def last(rows: List[str], start: str) -> int:
    return max(i for i, row in enumerate(rows) if row.startswith(start))


def edit(rows: List[str], start: str, new: str, which: int = 0) -> str:
    """The rows with the first (which -1: the last) row that starts with `start` changed after
    `start`."""
    where = last(rows, start) if which < 0 else first(rows, start)
    return lines(rows[:where] + [rows[where][: len(start)] + new] + rows[where + 1 :])


def glue(rows: List[str]) -> List[str]:
    at = first(rows, "Conventionally")
    return rows[:at] + [NOTES[0] + rows[at], ""] + rows[at + 1 :]


def rename(row: str) -> str:
    found = re.match(r"Thread:([12]) @(.*?)( ?(The|It) .*)", row)
    return f"Thread:{found[1]} @{NAMES[int(found[1]) - 1]}{found[3]}" if found else row


@pytest.mark.parametrize("case", CASES, ids=[case[0] for case in CASES])
def test_bad_input(pair: Kept, tmp_path: pathlib.Path, case: Tuple[str, Edit, str, str]) -> None:
    """Refused (status 2, the line and what it should say named, nothing written); or cut short,
    read as far as it goes and marked incomplete and invalid (`said`: the first block missing);
    or read whole, every figure as printed (`said`: on standard error); never a traceback."""
    name, made, outcome, said = case
    rows = [pathlib.Path(p).read_text().split("\n")[:-1] for p in (pair.result, pair.console)]
    path = write(tmp_path / "in" / name, made(*rows))
    out = write(tmp_path / "out.json", "previous\n")
    done = tool("json", path, "-o", out)
    assert "Traceback" not in done.stderr
    if outcome == REFUSED:
        assert (done.returncode, pathlib.Path(out).read_text()) == (ExitStatus.USAGE, "previous\n")
        assert f"{path}, line " in done.stderr and said in done.stderr, done.stderr
        return
    assert done.returncode == 0 and said in done.stderr, done.stderr
    run = json.loads(pathlib.Path(out).read_text())["runs"][0]
    assert (run["complete"], run["missing"]) == (outcome == READ, None if outcome == READ else said)
    texts = {k: f["text"] for k, f in figures(run).items()}.items()
    whole = printed(pair.values["values"]).items()
    assert texts == whole if outcome == READ else texts <= whole
    shared = True if "note" in name else None
    valid = outcome == READ and not name.startswith("notes")
    assert (run["valid"], run["root_shared_node"]) == (valid, shared), run["invalid_because"]


# ---------------------------------------------------------------- records

# fmt: off
NODE = Node(**json.loads(
    '{"name": "n0", "ranks": [0, 1], "host": "n0", "os": "Debian 12", "kernel": "Linux 6.1", '
    '"machine": "x86_64", "cpu": "EPYC", "cores": 2, "memory_bytes": 17179869184, "fs_type": '
    '"ext4", "device": "/dev/vda", "free_bytes": 68719476736, "free_inodes": 1000000, '
    '"load": [0.5, 1, 2], "load_end": [1.5, 1, 2], "mount_options": "rw,relatime", "rotational": '
    'false, "io_scheduler": "mq-deadline", "dirty_ratio": 20, "dirty_background_ratio": 10, '
    '"transparent_hugepages": "madvise", "cpu_governor": "performance"}'))
BASE = Record(VERSION, ["drives-run"], ["mpirun"], Mpi("Open MPI", "mpirun", "4.1.4"),
              "2026-12-07T10:00:00+01:00", Repeat(1, 1), [NODE], tools_version=VERSION,
              binary=Binary("/usr/bin/drives_mpi", VERSION, "abc123", 1, "0" * 64), status=0)
OTHER = dataclasses.replace(  # a record that differs from BASE in every fact
    BASE, drives_mpi_version="9", tools_version="9", mpi=Mpi("MPICH", "mpiexec", "4.0", {"A": "1"}),
    binary=Binary("/usr/bin/drives_mpi", "9", "def456", 64, "1" * 64), nodes=[dataclasses.replace(
        NODE, name=f"m{i}", ranks=[i], host=f"m{i}", os="Fedora 40", kernel="Linux 6.9",
        machine="aarch64", cpu="Grace", cores=72, memory_bytes=1 << 37, fs_type="xfs",
        device="nvme0n1", mount_options="rw,noatime", rotational=True, io_scheduler="none",
        dirty_ratio=40, dirty_background_ratio=5, transparent_hugepages="always",
        cpu_governor="powersave") for i in range(2)])
# Format 1 lacks these.
NEWER = "tools_version binary finished free_inodes load_end mount_options rotational io_scheduler"
NEWER += " dirty_ratio dirty_background_ratio transparent_hugepages cpu_governor working_directory"
FORMAT_1 = {k: v for k, v in BASE.to_json().items() if k not in NEWER.split()}
FORMAT_1.update(record=1, nodes=[{k: v for k, v in dataclasses.asdict(NODE).items()
                                  if k not in NEWER.split()}])
EVERY_FACT = ("ranks per node|node count|MPI|MPI settings|drives_mpi version|commit|drives-run "
              "version|binary (SHA-256)|CPU model|cores|memory|OS|kernel|architecture|host|file "
              "system type|device|mount options|rotational|I/O scheduler|dirty ratio|dirty "
              "background ratio|transparent huge pages|CPU governor|test scale").split("|")
# fmt: on


def changed(record: Record = BASE, at: Optional[int] = None, **facts: Any) -> Record:
    """The record with its nodes' facts (or node `at`'s) changed."""
    nodes = [
        dataclasses.replace(n, **facts) if at in (None, i) else n
        for i, n in enumerate(record.nodes)
    ]
    return dataclasses.replace(record, nodes=nodes)


def run_dir(where: pathlib.Path, text: str, record: Any, name: str = "10.00.00") -> str:
    """A run's directory: its result file, and beside it its record: a Record, its JSON, a text,
    or a function that makes it (os.mkfifo)."""
    path = write(where / RESULT_NAME.replace("10.00.00", name), text)
    beside = path[:-4] + ".record.json"
    if callable(record):
        record(beside)
    elif record is not None:
        data = record.to_json() if isinstance(record, Record) else record
        write(pathlib.Path(beside), data if isinstance(data, str) else json.dumps(data))
    return str(where)


RESULT_NAME = "results_drives_macos_clusters_mx @ vm @ local date 2026.12.07 time 10.00.00.txt"
UNFINISHED = dataclasses.replace(BASE, finished=False, end=None, status=None)
# fmt: off
RECORDS: List[Tuple[str, Any, bool, str]] = [  # name, record, counted, what summary says of it
    ("a run with its record", BASE, True, "load 0.50 -> 1.50"),
    ("a node of 64 ranks", changed(ranks=list(range(64))), True, "; ranks 0, 1-63"),
    ("a run of drives-run 1.0.0", FORMAT_1, True, "load 0.50 at the start"),
    ("no record (bare mpirun)", None, True, "not recorded"),
    ("a lost record: unfinished", UNFINISHED, False, "its record is unfinished"),
    ("an interrupted run", dataclasses.replace(BASE, status=130), False, "ended by SIGINT"),
    ("calls failed", dataclasses.replace(BASE, status=3, failures=["drives_mpi: rank 1 @n0: x"]),
     False, "some calls failed: drives_mpi: rank 1 @n0: x"),
    ("stopped, or not saved", dataclasses.replace(BASE, status=1), False, "status 1"),
    ("a record that is not JSON", "{", True, "not JSON"),
    ("200000 nested [", "[" * 200000, True, "nested too deeply"),
    ("a NaN load", json.dumps(BASE.to_json()).replace("[0.5, 1, 2]", "[NaN, 1, 1]"), True,
     "NaN is not a JSON number"),
    ("a load of 1e999", json.dumps(BASE.to_json()).replace("[0.5, 1, 2]", "[1e999, 1, 1]"), True,
     "out of range"),
    ("a record of the wrong shape", json.dumps({"record": 2}), True, "the record lacks"),
    ("a FIFO named like a record", os.mkfifo, True, "not a regular file"),
]
# fmt: on


@pytest.mark.parametrize("case", RECORDS, ids=[r[0] for r in RECORDS])
def test_records(pair: Kept, tmp_path: pathlib.Path, case: Tuple[str, Any, bool, str]) -> None:
    """summary of a run by its record: counted, or left out and why (and counted with
    --include-invalid); a record that cannot be read is named, its run read as not recorded;
    the load beside each run; no traceback, no hang."""
    name, record, counted, said = case
    where = run_dir(tmp_path / "run", pathlib.Path(str(pair.result)).read_text(), record)
    for include in ([], ["--include-invalid"]):
        done = tool("summary", where, "--format", "json", *include)
        assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
        data = json.loads(done.stdout)
        assert [r["counted"] for r in data["runs"]] == [counted or bool(include)], data["runs"]
    damaged = isinstance(record, str) or callable(record)
    kept = json.loads(tool("json", where).stdout)["runs"][0]["record"]
    assert (kept is None) == (damaged or record is None)
    if kept:  # as the record's schema has it, whatever its format
        pytest.importorskip("jsonschema").validate(kept, json.loads(RECORD_SCHEMA.read_text()))
    head = tool("summary", where, "--wide").stdout.split("\n\n")[0]
    assert said in (done.stderr if damaged else head), (head, done.stderr)
    assert ("record not readable" in done.stderr) == damaged, done.stderr


TWO_NODES = dataclasses.replace(BASE, nodes=[NODE, dataclasses.replace(NODE, name="n1", ranks=[1])])
# fmt: off
FACTS: List[Tuple[str, List[Any], List[Any], Optional[List[str]], List[str]]] = [
    # name, old and new records, the facts named as differing (None: not compared), and some
    # named the same on both sides
    ("the same facts", [BASE, BASE], [BASE], [], EVERY_FACT),
    ("2 ranks against 3", [BASE], [changed(ranks=[0, 1, 2])], ["ranks per node"], ["node count"]),
    ("every fact", [BASE], [OTHER], EVERY_FACT, []),
    ("a node of two differs", [TWO_NODES], [changed(TWO_NODES, 1, fs_type="nfs4")],
     ["file system type of node n1"], ["ranks per node"]),
    ("a record of drives-run 1.0.0", [FORMAT_1], [BASE], [], ["ranks per node", "kernel"]),
    ("one side not recorded", [None], [BASE], None, []),
    ("one MPI, two launchers", [dataclasses.replace(BASE, mpi=Mpi("MPICH", "/bin/mpirun", "mpirun 4"))],
     [dataclasses.replace(BASE, mpi=Mpi("MPICH", "/bin/mpiexec", "mpiexec 4"))], [], ["MPI"]),
]
# fmt: on


@pytest.mark.parametrize("case", FACTS, ids=[f[0] for f in FACTS])
def test_compare_facts(pair: Kept, tmp_path: pathlib.Path, case: Tuple[Any, ...]) -> None:
    """compare names every recorded fact that differs, ranks per node first, and says "same"
    only of facts both sides recorded."""
    name, olds, news, differ, same = case
    text = pathlib.Path(pair.result).read_text()
    sides = [
        [run_dir(tmp_path / side / str(n), text, r) for n, r in enumerate(records)]
        for side, records in (("old", olds), ("new", news))
    ]
    done = tool("compare", *sides[0], "--", *sides[1], "--format", "json")
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)
    assert [d["fact"] for d in data["differences"] or []] == (differ or []), data["differences"]
    assert (data["differences"] is None) == (differ is None)
    assert set(same) <= set(data["facts_same"] or []), data["facts_same"]
    unknown = set(data["facts_not_recorded"] or [])
    assert ({"mount options", "commit"} <= unknown) == name.endswith("1.0.0"), unknown
    assert not unknown & set(data["facts_same"] or [])


# ---------------------------------------------------------------- compare


def scaled(text: str, stream: float, descriptor: float = 1, gain: float = 1) -> str:
    """The report with the root's file cycle rates (and seconds), and every gain, scaled."""
    factors, times = iter([stream, descriptor]), iter([stream, descriptor])
    text = RATE.sub(lambda m: f"{float(m[0]) * next(factors):g}", text, count=2)
    spent = re.escape(report.SPENT) + r"([\d.e+-]+)"
    text = re.sub(spent, lambda m: f"{report.SPENT}{float(m[1]) / next(times):g}", text, count=2)
    gains = re.escape(report.IMPROVEMENTS) + r"([\d.e+-]+)"
    return re.sub(gains, lambda m: f"{report.IMPROVEMENTS}{float(m[1]) * gain:g}", text)


Factors = List[Tuple[float, float, float]]  # of each run: stream, descriptor, gain
WORSE = {(test, quantity, 0): "WORSE" for test in TESTS[:2] for quantity in ("seconds", "rate")}
SETS = [(1, 1, 1), (1.02, 1.3, 1), (0.98, 0.7, 1)], [(0.5, 0.8, 1), (0.52, 1, 1), (0.48, 0.85, 1)]
SHARED = dataclasses.replace(BASE, root_shared_node=True)
GAINS = {(test, "gain", None): "WORSE" for test in TESTS}
# fmt: off
MARKS: List[Tuple[str, Factors, Factors, List[str], Dict[Any, str], int, Optional[Record]]] = [
    # name, old and new runs, options, marks, status, the runs' record
    ("the same run", [(1, 1, 1)], [(1, 1, 1)], [], {}, ExitStatus.OK, None),
    ("slower", [(1, 1, 1)], [(0.5, 0.8, 1)], [], WORSE, ExitStatus.WORSE, None),
    ("faster", [(0.5, 0.8, 1)], [(1, 1, 1)], [], {k: "better" for k in WORSE}, ExitStatus.OK, None),
    ("three runs a side", *SETS, [], dict(zip(WORSE, ["WORSE"] * 2 + ["within spread"] * 2)),
     ExitStatus.WORSE, None),
    ("a threshold of 110%", *SETS, ["--threshold", "110"], {}, ExitStatus.OK, None),
    ("gains of a shared root", [(1, 1, 1)], [(1, 1, 0.5)], [], GAINS, ExitStatus.OK, SHARED),
]
# fmt: on


@pytest.mark.parametrize("case", MARKS, ids=[m[0] for m in MARKS])
def test_compare_marks(pair: Kept, tmp_path: pathlib.Path, case: Tuple[Any, ...]) -> None:
    """A change beyond the threshold is marked, with several runs a side only beyond their
    ranges too; status 5 for a figure worse, but for gains of runs whose root shared its node,
    which a worker's load moves; the text and the JSON agree."""
    name, old, new, options, marks, status, record = case
    text, sides = pathlib.Path(pair.result).read_text(), []
    for side, factors in (("old", old), ("new", new)):
        for n, (stream, descriptor, gain) in enumerate(factors):
            run_dir(tmp_path / side, scaled(text, stream, descriptor, gain), record, f"10.00.0{n}")
        sides.append(str(tmp_path / side))
    done = tool("compare", *sides, *options, "--format", "json")
    data = json.loads(done.stdout)
    found = {(f["test"], f["quantity"], f["rank"]): f["mark"] for f in data["figures"] if f["mark"]}
    assert (found, done.returncode) == (marks, status)
    assert data["worse_shared_gains"] == (len(GAINS) if record else 0)
    text = tool("compare", *sides, *options, "--wide").stdout
    assert text.count("WORSE") == list(marks.values()).count("WORSE"), text


# ---------------------------------------------------------------- directories, width, chart


def test_directory_says_what_it_found(pair: Kept, tmp_path: pathlib.Path) -> None:
    """A result file at the top of a directory no longer hides its run subdirectories; a FIFO
    named like a report is passed over, not waited on; runs on different file systems summed up
    together are said to be; all on standard error. A side of nothing is status 2, nothing
    written."""
    text = pathlib.Path(pair.result).read_text()
    top = tmp_path / "P"
    run_dir(top, text, BASE, "10.00.01")
    run_dir(top / "1", text, BASE, "10.00.02")
    run_dir(top / "2", text, changed(fs_type="tmpfs", device="tmpfs"), "10.00.03")
    os.mkfifo(top / "2" / "console.txt")
    done = tool("summary", str(top), "--format", "json")
    assert len(json.loads(done.stdout)["runs"]) == 3, done.stderr
    top_and_subs = "1 report at its top and 2 in its subdirectories 1, 2: all read"
    for said in (
        top_and_subs,
        "console.txt: passed over, not a regular file",
        "different file systems",
    ):
        assert said in done.stderr, done.stderr
    out = write(tmp_path / "out", "previous\n")
    done = tool("compare", str(top), str(tmp_path / "none"), "-o", out)
    assert (done.returncode, pathlib.Path(out).read_text()) == (ExitStatus.USAGE, "previous\n")


def test_text_fits_the_width(opts: Any, pair: Kept, tmp_path: pathlib.Path) -> None:
    """summary and compare of every kept run fit 80 columns (and 50, wrapped, a mount's options
    broken between two), where --wide keeps every column and each figure as printed."""
    files = [run.result or run.console for run in kept_runs(opts.runs)]
    files += glob.glob(os.path.join(glob.escape(opts.runs), "*", "results_*.txt"))  # with records
    old = run_dir(tmp_path / "old", pathlib.Path(pair.result).read_text(), BASE)
    for args in (["summary", *files], ["compare", old, "--", *files]):
        for width, wide in ((80, []), (None, ["--wide"])):
            done = tool(*args, *wide)
            assert done.returncode in (0, ExitStatus.WORSE), done.stderr
            widest = max(map(len, done.stdout.splitlines()))
            assert widest <= 80 if width else widest > 80, done.stdout
    # The last, compare --wide: the one old run's figures as printed.
    assert set(printed(pair.values["values"]).values()) <= set(done.stdout.split())
    runs = results_read.read_runs(files).runs[0]
    text = results_formats.render(results_compare.summary(runs), "text", 50)
    assert max(map(len, text.splitlines())) <= 50, text
    records = glob.glob(os.path.join(glob.escape(opts.runs), "*", "*.record.json"))
    nodes = [
        node for path in records for node in json.loads(pathlib.Path(path).read_text())["nodes"]
    ]
    options = {part for node in nodes for part in (node.get("mount_options") or "").split(",")}
    assert options - {""} <= set(re.split(r"[\s,;]+", text)), "a mount option cut in two"


def test_chart(opts: Any, tmp_path: pathlib.Path) -> None:
    """A bar per worker and run in every panel; PNG, SVG and PDF; without matplotlib, status 6
    and how to install it."""
    pytest.importorskip("matplotlib")
    runs = [run for run in kept_runs(opts.runs) if run.values["nproc"] <= 3]
    if not runs:
        pytest.skip(f"no kept runs in {opts.runs}")
    svg = str(tmp_path / "runs.svg")
    done = tool("chart", *[run.result or run.console for run in runs], "-o", svg)
    assert done.returncode == 0, done.stderr
    ids = [e.get("id") or "" for e in ElementTree.parse(svg).iter()]
    for test in TESTS:
        for number, run in enumerate(runs):
            bars = sorted(
                int(i.rsplit("rank", 1)[1]) for i in ids if i.startswith(f"bar-{test}-run{number}-")
            )
            assert bars == [rank for rank, _ in run.values["workers"]], (test, number, bars)
    for name, magic in (("one.png", b"\x89PNG\r\n\x1a\n"), ("one.pdf", b"%PDF")):
        done = tool("chart", runs[-1].console, "-o", str(tmp_path / name))
        assert done.returncode == 0 and (tmp_path / name).read_bytes().startswith(magic)
    write(tmp_path / "bare" / "matplotlib.py", "raise ImportError\n")
    done = tool(
        "chart", runs[-1].console, "-o", str(tmp_path / "no.png"), PYTHONPATH=str(tmp_path / "bare")
    )
    made = os.path.exists(tmp_path / "no.png")
    assert (done.returncode, made) == (ExitStatus.NO_MATPLOTLIB, False)
    assert "apt-get install python3-matplotlib" in done.stderr, done.stderr
