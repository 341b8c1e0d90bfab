"""The record of a run, written by drives-run beside its result file: what
ran, where, on what, and how it ended (run_record.Record; its JSON shape is
drives_run_record.schema.json).

Its life: written unfinished once the check has found room, before the run
measures anything, in the working directory under the run's start time;
written again, finished, when the run ends, beside the result file the
root made. Where the finished one cannot be written (a full disk), the
unfinished one is moved there instead (a rename needs no room), so that a
reader finds it and knows the run's end was never written down.
"""

import dataclasses
import datetime
import glob
import hashlib
import json
import os
import re
import time
from typing import Dict, List, Optional

from . import report
from .results_formats import write_output
from .results_read import NOTE, SHARED_HOST, is_failure
from .results_record import SUFFIX, path_for
from .run_record import Binary, Node, Record

# What a binary says of itself, in its data, for drives-run to read.
BUILD_INFO = re.compile(
    rb"drives_mpi build: version ([^;\0]+); commit ([^;\0]+); test scale (\d+); "
    rb"mpi ([^;\0]+); launcher ([^;\0]*)\0"
)
END_LINE = re.compile(
    "^(?:" + re.escape(report.SAVED) + "|" + re.escape(report.NOT_SAVED) + ")(.*)$", re.M
)
# The result files a root names itself at its start, any host and second.
RESULT_FILES = report.RESULT_FILE_PATTERN % ("*", re.sub(r"%\w", "*", report.TIMESTAMP_PATTERN))
# Said of a record whose end could not be written down.
LEFT_UNFINISHED = "; the record written at its start is left there, unfinished"
# The MPIs' settings in the environment that change how a run goes.
MPI_SETTINGS = re.compile(r"(?:OMPI_MCA_|PMIX_MCA_|PRTE_MCA_|MPIR_CVAR_|HYDRA_|MPICH_|UCX_|FI_)")


def now() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


@dataclasses.dataclass
class Built:
    """What a binary says of itself (its build line), read without running it."""

    binary: Binary
    mpi: Optional[str] = None  # "openmpi" or "mpich"
    launcher: Optional[str] = None  # the launcher of the MPI it was built with


def binary_facts(path: str) -> Built:
    """The binary that runs: its path, what its build line says (version,
    commit, the count divisor of a test build, 1 for a release build, its
    MPI and that MPI's launcher), and its SHA-256."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError:
        return Built(Binary(path))
    digest.update(data)
    found = BUILD_INFO.search(data)
    if not found:
        return Built(Binary(path, sha256=digest.hexdigest()))
    version, commit, scale, mpi, launcher = (
        part.decode("utf-8", "replace") for part in found.groups()
    )
    return Built(
        Binary(
            path, version, None if commit == "unknown" else commit, int(scale), digest.hexdigest()
        ),
        mpi,
        launcher or None,
    )


def number(text: Optional[str], scale: int = 1) -> Optional[int]:
    try:
        return int(text) * scale if text else None
    except ValueError:
        return None


def loads(text: Optional[str]) -> Optional[List[float]]:
    """The three load averages, from "1.0 0.5 0.2" or macOS's "1,0 0,5 0,2"."""
    try:
        found = [float(item) for item in (text or "").replace(",", " ").split()]
    except ValueError:
        return None
    return found if len(found) == 3 else None


def node(name: str, ranks: List[int], facts: Dict[str, str]) -> Node:
    """A node of the record, from what the check found there."""
    text = {key: value.strip() or None for key, value in facts.items()}
    rotational = text.get("rotational")
    return Node(
        name=name,
        ranks=ranks,
        host=text.get("host"),
        os=text.get("os"),
        kernel=text.get("kernel"),
        machine=text.get("machine"),
        cpu=text.get("cpu"),
        cores=number(text.get("cores")),
        memory_bytes=number(text.get("memory_bytes")) or number(text.get("memory_kib"), 1024),
        fs_type=text.get("fs_type"),
        device=text.get("device"),
        device_model=text.get("device_model"),
        free_bytes=number(text.get("free_kib"), 1024),
        free_inodes=number(text.get("free_inodes")),
        load=loads(text.get("load")),
        mount_options=text.get("mount_options"),
        rotational=None if rotational not in ("0", "1") else rotational == "1",
        io_scheduler=text.get("io_scheduler"),
        dirty_ratio=number(text.get("dirty_ratio")),
        dirty_background_ratio=number(text.get("dirty_background_ratio")),
        transparent_hugepages=text.get("transparent_hugepages"),
        cpu_governor=text.get("cpu_governor"),
    )


def mpi_settings(env: Dict[str, str]) -> Dict[str, str]:
    return {key: value for key, value in sorted(env.items()) if MPI_SETTINGS.match(key)}


def result_file(stdout: str) -> Optional[str]:
    """The result file's path, as the root's end line names it."""
    found = END_LINE.search(stdout)
    return found[1] if found else None


def failures(stdout: str, stderr: str) -> List[str]:
    lines = [line for line in stderr.splitlines() if line.startswith(NOTE) and is_failure(line)]
    return lines + [line for line in stdout.splitlines() if line == report.UNABLE]


def finish(record: Record, stdout: str, stderr: str, status: int, found: Optional[str]) -> None:
    """Completes the record of a run that ended: `found` is the result file
    the root made where its report does not name one (it was stopped)."""
    record.finished = True
    record.end = now()
    record.result_file = result_file(stdout) or found
    record.failures = failures(stdout, stderr)
    if status > 128 and result_file(stdout) and report.PRESS_ENTER in stdout:
        # Stopped at the wait for Enter: the report was whole, and saved or not.
        saved = not re.search("^" + re.escape(report.NOT_SAVED), stdout, re.M)
        status = 3 if record.failures else 0 if saved else 1
    record.status = status
    record.root_shared_node = bool(SHARED_HOST.search(stderr)) or len(record.nodes[0].ranks) > 1


def unfinished_path(record: Record, directory: str, host: str) -> str:
    """Where the record waits for the run's end: the working directory,
    under the start time."""
    stamp = re.sub(r"[^0-9T]", "", record.start)[:15]
    return os.path.join(directory, f"drives-run @ {host} @ {stamp}{SUFFIX}")


def final_path(record: Record, unfinished: str) -> str:
    """Where the finished record belongs: beside the result file, else
    where the unfinished one is."""
    return path_for(record.result_file) if record.result_file else unfinished


def wait_for_a_new_name(directory: str) -> None:
    """The root names its result file by the second it starts in: where a
    result file of this very second is in the directory already (a run as
    short as a test build's just ended), waits for the next second, so that
    the next run does not write over it."""
    while True:
        now = time.time()
        stamp = time.strftime(report.TIMESTAMP_PATTERN, time.localtime(now))
        pattern = report.RESULT_FILE_PATTERN % ("*", glob.escape(stamp))
        if not glob.glob(os.path.join(glob.escape(directory), pattern)):
            return
        time.sleep(1 - now % 1 + 0.01)


def result_files(directory: str) -> Dict[str, float]:
    """The result files in a directory, with the times they were changed."""
    found = {}
    for path in glob.glob(os.path.join(glob.escape(directory), RESULT_FILES)):
        try:
            found[path] = os.stat(path).st_mtime
        except OSError:
            continue
    return found


def new_result_file(before: Dict[str, float], directory: str) -> Optional[str]:
    """The result file a stopped root made: the one that was not there
    before the run, or was changed since."""
    made = {path: at for path, at in result_files(directory).items() if before.get(path) != at}
    return max(made, key=made.__getitem__) if made else None


def text_of(record: Record) -> bytes:
    """The record as JSON, UTF-8 throughout: a byte of the command line or
    the working directory that is not UTF-8 becomes U+FFFD."""
    text = json.dumps(record.to_json(), indent=1, ensure_ascii=False) + "\n"
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace").encode("utf-8")


def write(record: Record, path: str) -> Optional[str]:
    """Writes the record whole or not at all (a file beside it, renamed over
    it once on disk); what stands in its way is a warning (returned), never
    a failure of the run."""
    try:
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        write_output(path, lambda stream: stream.writelines([text_of(record)]))
    except OSError as error:
        return f"cannot write the run's record {path}: {error.strerror}"
    return None


def settle(record: Record, unfinished: str) -> Optional[str]:
    """Writes the finished record where it belongs and removes the
    unfinished one; where it cannot be written, moves the unfinished one
    there. A warning, or None."""
    path = final_path(record, unfinished)
    problem = write(record, path)
    if problem is None:
        if path != unfinished:
            try:
                os.unlink(unfinished)
            except OSError:
                pass
        return None
    record.finished = False
    try:
        if path != unfinished:
            os.replace(unfinished, path)
        return problem + LEFT_UNFINISHED
    except OSError:
        return problem


# Run on the root's node with the finished record's path and the unfinished
# one's; the record comes on standard input, which the launcher hands to its
# one process there. Where it cannot be written, the unfinished one moves
# beside the result file (status 3), or stays (status 4).
SAVE = (
    'tmp="$1.drives-run.$$"; '
    'if cat > "$tmp" && mv -f -- "$tmp" "$1"; then [ "$1" = "$2" ] || rm -f -- "$2"; exit 0; fi; '
    'rm -f -- "$tmp"; [ "$1" != "$2" ] && [ -n "$2" ] && mv -f -- "$2" "$1" && exit 3; exit 4'
)
