"""The record of a run, written by drives-run beside its result file: what
ran, where, on what, and how it ended (drives_run_record.schema.json)."""

import datetime
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile

from . import check, mpis, process, report, results_record
from .mpis import MPIS
from .results_formats import write_output
from .version import version

FAILURE = "drives_mpi: "
# The benchmark's line about workers on the root's host (not a failure).
SHARED = re.compile(r"drives_mpi: \d+ of \d+ workers ran on this host ")
# What a binary says of itself, in its data, for drives-run to read.
BUILD_INFO = re.compile(
    rb"drives_mpi build: version ([^;\0]+); commit ([^;\0]+); test scale (\d+); "
    rb"mpi ([^;\0]+); launcher ([^;\0]*)\0"
)
END_LINE = re.compile(
    "^(?:" + re.escape(report.SAVED) + "|" + re.escape(report.NOT_SAVED) + ")(.*)$", re.M
)


def now():
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def mpi_version(launcher):
    """The first line the launcher's --version prints that names a version."""
    try:
        said = subprocess.run(
            [launcher, "--version"],
            capture_output=True,
            text=True,
            errors="replace",
            timeout=30,
            stdin=subprocess.DEVNULL,
        ).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    lines = [line.strip() for line in said.splitlines() if line.strip()]
    hydra = re.search(r"^\s*Version:\s*(\S+)", said, re.M)
    if lines and lines[0].startswith("HYDRA") and hydra:
        return f"Hydra {hydra[1]}"
    return next((line for line in lines if re.search(r"\d", line)), None)


def number(text, kind=int, scale=1):
    try:
        return kind(text) * scale if text not in (None, "") else None
    except ValueError:
        return None


def node(name, ranks, facts):
    """A node of the record, from what the check found there."""
    text = {key: value.strip() or None for key, value in facts.items()}
    memory = number(text.get("memory_bytes")) or number(text.get("memory_kib"), scale=1024)
    load = [number(item, float) for item in (text.get("load") or "").replace(",", " ").split()]
    return {
        "name": name,
        "host": text.get("host"),
        "ranks": ranks,
        "os": text.get("os"),
        "kernel": text.get("kernel"),
        "machine": text.get("machine"),
        "cpu": text.get("cpu"),
        "cores": number(text.get("cores")),
        "memory_bytes": memory,
        "fs_type": text.get("fs_type"),
        "device": text.get("device"),
        "device_model": text.get("device_model"),
        "free_bytes": number(text.get("free_kib"), scale=1024),
        "load": load if len(load) == 3 and None not in load else None,
    }


def result_file(stdout):
    """The result file's path, as the root's end line names it."""
    found = END_LINE.search(stdout)
    return found[1] if found else None


def failures(stdout, stderr):
    lines = [
        line
        for line in stderr.splitlines()
        if line.startswith(FAILURE)
        and not SHARED.match(line)
        and not line.startswith(report.PROGRAM + report.TEST_BUILD)
    ]
    return lines + [line for line in stdout.splitlines() if line == report.UNABLE]


def binary_facts(path):
    """The binary that runs: its path, what it says of itself (version,
    commit, the count divisor of a test build, 1 for a release build), read
    from the file without running it, and its SHA-256."""
    digest, data = hashlib.sha256(), b""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError:
        return {"path": path, "version": None, "commit": None, "test_scale": None, "sha256": None}
    digest.update(data)
    found = BUILD_INFO.search(data)
    said = [part.decode("utf-8", "replace") for part in found.groups()] if found else [None] * 5
    return {
        "path": path,
        "version": said[0],
        "commit": None if said[1] in (None, "unknown") else said[1],
        "test_scale": int(said[2]) if said[2] else None,
        "sha256": digest.hexdigest(),
    }


def build(run, outcome, repeat):
    """The record of one run: `run` holds what drives-run knew before it
    (argv, the launcher's command, the MPI, the nodes, the start time)."""
    stdout = outcome.stdout.decode("utf-8", "replace")
    stderr = outcome.stderr.decode("utf-8", "replace")
    placed = run["placed"]
    return {
        "record": 1,
        "drives_mpi_version": run["binary"]["version"] or version(),
        "binary": run["binary"],
        "command_line": run["argv"],
        "launcher_command": run["launcher_command"],
        "mpi": {
            "name": MPIS[run["mpi"]].name,
            "launcher": run["launcher"],
            "version": run["mpi_version"],
        },
        "start": run["start"],
        "end": now(),
        "status": outcome.status(),
        "result_file": result_file(stdout),
        "failures": failures(stdout, stderr),
        "root_shared_node": bool(SHARED.search(stderr)) or placed[0][1] > 1,
        "repeat": repeat,
        "nodes": [
            node(host or os.uname().nodename, ranks, run["facts"].get(index, {}))
            for index, ((host, _), ranks) in enumerate(zip(placed, run["ranks"]))
        ],
    }


def path_for(record, directory):
    """Beside the result file; where the root printed none (it stopped, or
    was stopped), in the working directory under the start time."""
    if record["result_file"]:
        return results_record.path_for(record["result_file"])
    stamp = re.sub(r"[^0-9T]", "", record["start"])[:15]
    name = f"drives-run @ {os.uname().nodename} @ {stamp}{results_record.SUFFIX}"
    return os.path.join(directory, name)


def write(record, path):
    """Writes the record whole or not at all; what stands in its way is a
    warning (returned), never a failure of the run."""
    try:
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        write_output(path, text_of(record))
    except OSError as error:
        return f"cannot write the run's record {path}: {error.strerror}"
    return None


def text_of(record):
    return json.dumps(record, indent=1, ensure_ascii=False) + "\n"


# Run on the root's node with the record's path; the record comes on
# standard input, which the launcher hands to its one process there.
SAVE = (
    'tmp="$1.drives-run.$$" && cat > "$tmp" && mv -f -- "$tmp" "$1" || '
    '{ rm -f -- "$tmp"; exit 1; }'
)


def send(record, path, host, opts, env, signals):
    """Writes the record beside a result file on another node, through the
    launcher, whole or not at all; a warning (returned) where it cannot."""
    args = mpis.command(
        opts.mpi,
        [(host, 1, ["sh", "-c", SAVE, "drives-run-record", path])],
        wdir="/",
        extra=opts.launcher_args,
        hostfiles=opts.hostfiles,
    )
    with tempfile.TemporaryFile() as data:
        data.write(text_of(record).encode("utf-8"))
        data.seek(0)
        status, _, err = process.collect(args, env, signals, opts.check_timeout, stdin=data)
    if status != 0:
        return (
            f"cannot write the run's record {path} on {host}: "
            f"{check.last_words(err) if status is not None else 'no answer'}"
        )
    return None


def launcher_path(name):
    return shutil.which(name) or name
