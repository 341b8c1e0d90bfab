"""The ranks of a live run, and what each printed or read and wrote, for
the tests and the bench. Linux only (/proc)."""

import os
import sys

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tools")
)
from drives_tools.mpis import MPIS, command as launcher_command  # noqa: E402


def rank_output(outdir, rank):
    """What one rank printed, from the files the launcher's `outdir` collected."""
    for path in (
        os.path.join(outdir, "1", f"rank.{rank}", "stdout"),  # Open MPI
        os.path.join(outdir, f"rank.{rank}"),
    ):  # MPICH
        if os.path.exists(path):
            with open(path, encoding="utf-8") as stream:
                return stream.read()
    return ""


def parent(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[1])


def ranks(binary, mpi="openmpi", launcher_pid=None):
    """rank -> pid of every live process running `binary`, only among the
    launcher's descendants when `launcher_pid` is given."""
    target, variable = os.path.realpath(binary), MPIS[mpi].rank_variable.encode() + b"="
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.realpath(f"/proc/{entry}/exe") != target:
                continue
            with open(f"/proc/{entry}/environ", "rb") as stream:
                rank = next(
                    int(item[len(variable) :])
                    for item in stream.read().split(b"\0")
                    if item.startswith(variable)
                )
            pid = int(entry)
            while launcher_pid and pid > 1 and pid != launcher_pid:
                pid = parent(pid)
            if not launcher_pid or pid == launcher_pid:
                found[rank] = int(entry)
        except (OSError, ValueError, StopIteration):
            continue
    return found


def io_counts(source):
    """The kernel's I/O counters of a process (pid) or as copied to a file."""
    path = f"/proc/{source}/io" if isinstance(source, int) else source
    with open(path) as stream:
        return {key.strip(): int(value) for key, value in (row.split(":") for row in stream)}


def command(binary, np, mpi, contexts=None, env=None, outdir=None):
    """The launcher's command line on this machine: `np` ranks of `binary`,
    or a rank per argv list of `contexts`."""
    every = [(None, 1, argv) for argv in contexts] if contexts else [(None, np, [binary])]
    return launcher_command(mpi, every, env=env, outdir=outdir)
