"""The one place that knows how Open MPI's and MPICH's launchers differ:
their names, their options, and which of them a binary was built with.

A command line is a list of contexts, each (host, count, argv): `count`
ranks running `argv` on `host`, or on this machine where host is None.
Ranks are numbered in context order, so a list of contexts is also the map
of which rank runs where.
"""

import os
import re
import shutil

from .statuses import ExitStatus, Failure


class Mpi:
    """How one MPI implementation's launcher is called."""

    def __init__(
        self,
        name,
        launchers,
        np,
        wdir,
        env,
        rank_variable,
        library,
        hosts,
        as_root=(),
        oversubscribe=(),
        output=None,
    ):
        self.name = name
        self.launchers = launchers  # candidate commands, the first found wins
        self.np = np  # option giving a context's rank count
        self.wdir = wdir  # option giving the ranks' working directory
        self.env = env  # option setting one variable
        self.rank_variable = rank_variable  # what a rank finds its rank in
        self.library = library  # what a program built with it links
        self.hosts = hosts  # option taking host:slots,...
        self.as_root = list(as_root)  # needed to run as root at all
        self.oversubscribe = list(oversubscribe)  # needed for more ranks than cores
        self.output = output  # per-rank output files in a directory

    def launcher(self, needed=True):
        """The launcher on PATH; without it, the first name (for --dry-run)
        or a failure."""
        for name in self.launchers:
            if shutil.which(name):
                return name
        if not needed:
            return self.launchers[0]
        raise Failure(
            f"none of {', '.join(self.launchers)} is on PATH: install the MPI "
            f"drives_mpi was built with, or give --mpi",
            ExitStatus.USAGE,
        )


MPIS = {
    # Debian installs each MPI's launcher under its own name beside the
    # default one; where one MPI is the only one, its launcher is plain.
    # libmpi.so.12 is the MPICH ABI's name, which Open MPI has not used since
    # 1.10; Open MPI's own libraries (libopen-pal, libopen-rte) settle it.
    "openmpi": Mpi(
        "Open MPI",
        ("mpirun.openmpi", "mpirun"),
        "-np",
        "--wdir",
        "-x",
        "OMPI_COMM_WORLD_RANK",
        re.compile(rb"libopen-(?:rte|pal)|libmpi\.so\.40|libmpi\.40\.dylib"),
        "--host",
        as_root=["--allow-run-as-root"],
        oversubscribe=["--oversubscribe"],
        output="--output-filename",
    ),
    "mpich": Mpi(
        "MPICH",
        ("mpiexec.mpich", "mpiexec.hydra", "mpiexec"),
        "-n",
        "-wdir",
        "-env",
        "PMI_RANK",
        re.compile(rb"libmpich|libmpi\.so\.12|libmpi\.12\.dylib"),
        "-hosts",
        output="-outfile-pattern",
    ),
}


def detect(binary):
    """The MPI a binary was built with, from the libraries it names; where
    they tell nothing, the MPI whose launcher is installed."""
    try:
        with open(binary, "rb") as stream:
            data = stream.read()
    except OSError:
        data = b""
    for name, kind in MPIS.items():
        if kind.library.search(data):
            return name
    return next(
        (
            name
            for name, kind in MPIS.items()
            if any(shutil.which(launcher) for launcher in kind.launchers)
        ),
        "openmpi",
    )


def is_ipv6(host):
    return ":" in host


def env_flags(kind, env):
    flags = []
    for key, value in (env or {}).items():
        flags += [kind.env, f"{key}={value}"] if kind.env == "-x" else [kind.env, key, value]
    return flags


def command(
    mpi, contexts, wdir=None, env=None, extra=(), outdir=None, hostfiles=None, dry_run=False
):
    """The launcher's command line for `contexts` (see above). `env` goes to
    every rank, `extra` is the user's own launcher options, `outdir`
    collects each rank's output apart; `hostfiles(host, count)` gives a file
    naming an IPv6 host, the one form Open MPI takes such a host in."""
    kind = MPIS[mpi]
    args = [kind.launcher(needed=not dry_run)]
    if os.geteuid() == 0:
        args += kind.as_root
    on_nodes = any(host for host, _, _ in contexts)
    if not on_nodes and sum(count for _, count, _ in contexts) > (os.cpu_count() or 1):
        args += kind.oversubscribe
    if outdir:
        args += [kind.output, outdir if mpi == "openmpi" else os.path.join(outdir, "rank.%r")]
    if mpi == "openmpi":
        every = list(extra) + ([kind.wdir, wdir] if wdir else []) + env_flags(kind, env)
        # Open MPI fills the node it runs on first, whatever the order of
        # --host; a context of its own per node keeps rank 0 on the node
        # named first. Its per-context options (-x, --wdir) apply to one
        # context each, so every context gets the user's options again.
        for index, (host, count, argv) in enumerate(contexts):
            args += [":"] if index else []
            args += every + (openmpi_host(host, count, hostfiles) if host else [])
            args += [kind.np, str(count)] + list(argv)
        return args
    # MPICH's launcher takes one host list, filled in order from its first
    # host wherever it runs, and one working directory; variables are set
    # per context.
    if on_nodes:
        args += [kind.hosts, ",".join(f"{host}:{count}" for host, count, _ in contexts)]
    args += list(extra) + ([kind.wdir, wdir] if wdir else [])
    for index, (_, count, argv) in enumerate(contexts):
        args += ([":"] if index else []) + env_flags(kind, env) + [kind.np, str(count)] + list(argv)
    return args


def openmpi_host(host, count, hostfiles):
    if is_ipv6(host):
        return ["--hostfile", hostfiles(host, count)]
    return ["--host", f"{host}:{count}"]
