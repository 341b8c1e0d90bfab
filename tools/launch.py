"""Starts MPI programs under Open MPI's or MPICH's launcher and finds their
ranks again: the one place that knows how the two differ. `make run`, the
tests and `make bench` all start drives_mpi through here.

    python3 tools/launch.py [--mpi openmpi|mpich] [--np N] [--dir DIR]
                            [--hostfile FILE] BINARY
"""

import argparse
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def version():
    """The project's version: share/drives_mpi/VERSION once installed, the
    project() line of CMakeLists.txt in a checkout."""
    try:
        with open(os.path.join(HERE, "VERSION"), encoding="utf-8") as stream:
            return stream.read().strip()
    except OSError:
        pass
    try:
        with open(os.path.join(HERE, os.pardir, "CMakeLists.txt"), encoding="utf-8") as stream:
            found = re.search(r"project\(\w+ VERSION (\S+)", stream.read())
        return found.group(1) if found else "unknown"
    except OSError:
        return "unknown"


class Mpi:
    """How one MPI implementation's launcher is called."""

    def __init__(self, launchers, np, hostfile, env, rank_variable, as_root=(),
                 oversubscribe=(), output=None):
        self.launchers = launchers          # candidate commands, first found wins
        self.np = np                        # option giving a context's rank count
        self.hostfile = hostfile            # option naming a hostfile
        self.env = env                      # option setting one variable for a context
        self.rank_variable = rank_variable  # what a rank finds its rank in
        self.as_root = list(as_root)        # needed to run as root at all
        self.oversubscribe = list(oversubscribe)  # needed for more ranks than cores
        self.output = output                # per-rank output files in a directory

    def launcher(self):
        for name in self.launchers:
            if shutil.which(name):
                return name
        raise SystemExit(f"launch.py: none of {', '.join(self.launchers)} is on PATH")


MPIS = {
    "openmpi": Mpi(("mpirun",), "-np", "--hostfile", "-x", "OMPI_COMM_WORLD_RANK",
                   as_root=["--allow-run-as-root"], oversubscribe=["--oversubscribe"],
                   output="--output-filename"),
    # Debian installs MPICH's launcher beside Open MPI's under its own name;
    # where MPICH is the only MPI (Homebrew), it is plain mpiexec.
    "mpich": Mpi(("mpiexec.mpich", "mpiexec.hydra", "mpiexec"), "-n", "-f", "-env", "PMI_RANK",
                 output="-outfile-pattern"),
}


def env_flags(mpi, env):
    flags = []
    for key, value in (env or {}).items():
        flags += [mpi.env, f"{key}={value}"] if mpi.env == "-x" else [mpi.env, key, value]
    return flags


def command(binary, np, mpi="openmpi", hostfile=None, contexts=None, env=None, outdir=None):
    """The launcher's command line. `contexts`, if given, is one argv list
    per rank (each may start with its own flags, such as -wdir); `env` goes
    to every rank; `outdir` collects each rank's standard output apart."""
    kind = MPIS[mpi]
    args = [kind.launcher()]
    if os.geteuid() == 0:
        args += kind.as_root
    if hostfile:
        args += [kind.hostfile, os.path.realpath(hostfile)]
    elif np > (os.cpu_count() or 1):
        args += kind.oversubscribe
    if outdir:
        args += [kind.output, outdir if mpi == "openmpi" else os.path.join(outdir, "rank.%r")]
    if contexts is None:
        return args + env_flags(kind, env) + [kind.np, str(np), binary]
    for index, context in enumerate(contexts):
        args += ([":"] if index else []) + env_flags(kind, env) + [kind.np, "1"] + context
    return args


def rank_output(outdir, rank):
    """What one rank printed, from the files `outdir` collected."""
    for path in (os.path.join(outdir, "1", f"rank.{rank}", "stdout"),  # Open MPI
                 os.path.join(outdir, f"rank.{rank}")):                 # MPICH
        if os.path.exists(path):
            with open(path, encoding="utf-8") as stream:
                return stream.read()
    return ""


def parent(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[1])


def ranks(binary, mpi="openmpi", launcher_pid=None):
    """rank -> pid of every live process running `binary`, only among the
    launcher's descendants when `launcher_pid` is given. Linux only."""
    target, variable = os.path.realpath(binary), MPIS[mpi].rank_variable.encode() + b"="
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.realpath(f"/proc/{entry}/exe") != target:
                continue
            with open(f"/proc/{entry}/environ", "rb") as stream:
                rank = next(int(item[len(variable):]) for item in stream.read().split(b"\0")
                            if item.startswith(variable))
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
        return {key.strip(): int(value) for key, value in
                (row.split(":") for row in stream)}


def main(argv):
    parser = argparse.ArgumentParser(description="Starts drives_mpi under an MPI launcher.")
    parser.add_argument("--mpi", choices=sorted(MPIS), default="openmpi")
    parser.add_argument("--np", type=int, default=2)
    parser.add_argument("--dir", default=".")
    parser.add_argument("--hostfile")
    parser.add_argument("binary")
    opts = parser.parse_args(argv)
    args = command(os.path.realpath(opts.binary), opts.np, opts.mpi, opts.hostfile)
    # The launcher hands its standard input to rank 0; were it closed, the
    # runtime would reuse the descriptor and the root would wait for Enter
    # forever.
    try:
        os.fstat(0)
    except OSError:
        os.open(os.devnull, os.O_RDONLY)
    os.makedirs(opts.dir, exist_ok=True)
    os.chdir(opts.dir)
    os.execvp(args[0], args)


if __name__ == "__main__":
    main(sys.argv[1:])
