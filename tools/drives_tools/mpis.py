"""The one place that knows how Open MPI's and MPICH's launchers differ:
their names, their options, which of them a binary was built with, and
which one a launcher is.

A command line is a list of contexts, each (host, count, argv): `count`
ranks running `argv` on `host`, or on this machine where host is None.
Ranks are numbered in context order, so a list of contexts is also the map
of which rank runs where.
"""

import dataclasses
import os
import re
import subprocess
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from .statuses import ExitStatus, Failure

Context = Tuple[Optional[str], int, List[str]]


@dataclasses.dataclass(frozen=True)
class Mpi:
    """How one MPI implementation's launcher is called."""

    name: str
    launchers: Tuple[str, ...]  # its launcher's names, the MPI's own first
    np: str  # option giving a context's rank count
    wdir: str  # option giving the ranks' working directory
    env: str  # option setting one variable for the ranks
    export: List[str]  # options passing drives-run's variable NAME on ("{}" is NAME)
    rank_variable: str  # what a rank finds its rank in
    library: "re.Pattern[bytes]"  # what a program built with it links
    says: "re.Pattern[str]"  # what its launcher's --version says
    hosts: str  # option taking host:slots,...
    hostfile: str  # option taking a file of hosts
    as_root: List[str] = dataclasses.field(default_factory=list)  # to run as root at all
    oversubscribe: List[str] = dataclasses.field(default_factory=list)  # more ranks than cores
    output: str = ""  # per-rank output files in a directory
    # The launcher's own placement options, which would bypass drives-run's.
    placement: Tuple[str, ...] = ()


MPIS: Dict[str, Mpi] = {
    # Debian installs each MPI's launcher under its own name beside the
    # default one. libmpi.so.12 is the MPICH ABI's name, which Open MPI has
    # not used since 1.10; Open MPI's own libraries (libopen-pal,
    # libopen-rte) settle it.
    "openmpi": Mpi(
        "Open MPI",
        ("mpirun", "mpirun.openmpi", "mpiexec", "mpiexec.openmpi"),
        "-np",
        "--wdir",
        "-x",
        ["-x", "{}"],
        "OMPI_COMM_WORLD_RANK",
        re.compile(rb"libopen-(?:rte|pal)|libmpi\.so\.40|libmpi\.40\.dylib"),
        re.compile(r"Open ?MPI|OpenRTE|Open RTE"),
        "--host",
        "--hostfile",
        as_root=["--allow-run-as-root"],
        oversubscribe=["--oversubscribe"],
        output="--output-filename",
        placement=(
            "--host",
            "-host",
            "-H",
            "--hostfile",
            "-hostfile",
            "--machinefile",
            "-machinefile",
            "--default-hostfile",
            "-np",
            "-n",
            "--np",
            "-c",
            "--map-by",
            "-map-by",
            "--rankfile",
            "-rf",
            "--npernode",
            "-npernode",
            "--npersocket",
            "-N",
            "--app",
        ),
    ),
    "mpich": Mpi(
        "MPICH",
        ("mpiexec", "mpiexec.mpich", "mpiexec.hydra", "mpirun", "mpirun.mpich"),
        "-n",
        "-wdir",
        "-env",
        [],  # Hydra passes the whole environment on by default
        "PMI_RANK",
        re.compile(rb"libmpich|libmpi\.so\.12|libmpi\.12\.dylib"),
        re.compile(r"HYDRA|MPICH", re.I),
        "-hosts",
        "-f",
        output="-outfile-pattern",
        placement=(
            "-hosts",
            "-host",
            "--host",
            "-f",
            "-hostfile",
            "--hostfile",
            "-machinefile",
            "--machinefile",
            "-n",
            "-np",
            "--np",
            "-ppn",
            "-configfile",
            "-rankmap",
            "-bind-to",
        ),
    ),
}
# A longer host list goes to MPICH in a file: its launcher refuses a -hosts
# of 1000 nodes ("too many hosts listed").
MAX_HOSTS_LISTED = 64


def family_of_binary(binary: str) -> Optional[str]:
    """The MPI a binary links, from the library names in it; None where they
    tell nothing (a static or stand-in binary)."""
    try:
        with open(binary, "rb") as stream:
            data = stream.read()
    except OSError:
        return None
    for name, kind in MPIS.items():
        if kind.library.search(data):
            return name
    return None


def version_text(launcher: str) -> str:
    """What a launcher's --version prints."""
    try:
        done = subprocess.run(
            [launcher, "--version"],
            capture_output=True,
            text=True,
            errors="replace",
            timeout=30,
            stdin=subprocess.DEVNULL,
        )
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return done.stdout + done.stderr


def family_of_launcher(said: str) -> Optional[str]:
    """Which MPI a launcher belongs to, from its --version."""
    return next((name for name, kind in MPIS.items() if kind.says.search(said)), None)


def version_line(said: str) -> Optional[str]:
    """The first line of a launcher's --version that names a version."""
    lines = [line.strip() for line in said.splitlines() if line.strip()]
    hydra = re.search(r"^\s*Version:\s*(\S+)", said, re.M)
    if lines and lines[0].startswith("HYDRA") and hydra:
        return f"Hydra {hydra[1]}"
    return next((line for line in lines if re.search(r"\d", line)), None)


def on_path(names: Sequence[str]) -> List[str]:
    """Every executable of `names` on PATH, directory by directory: the first
    directory's (a loaded module's) before a later one's."""
    found = []
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        for name in names:
            candidate = os.path.join(directory or ".", name)
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                found.append(candidate)
    return found


@dataclasses.dataclass
class Launcher:
    """The launcher a run uses: its path, and what it said of itself."""

    path: str
    version: Optional[str] = None
    note: Optional[str] = None  # for the user, where it is not the one the binary was built with


def find_launcher(mpi: str, given: Optional[str], built: Optional[str]) -> Launcher:
    """The launcher of `mpi`: `given` (--launcher) where the user names one;
    else the one the binary was built with, where it is there; else the
    first of the MPI's launchers on PATH that is that MPI's. A launcher of
    another MPI is refused (status 2): its ranks would each be a root."""
    kind = MPIS[mpi]
    if given:
        candidates = [given if os.sep in given else (on_path([given]) or [given])[0]]
    elif built and os.path.isfile(built) and os.access(built, os.X_OK):
        candidates = [built]
    else:
        candidates = on_path(kind.launchers)
    others = []
    for candidate in candidates:
        said = version_text(candidate)
        family = family_of_launcher(said)
        if family in (mpi, None) and (said or given or candidate == built):
            # Another installation of the MPI may not start this build's ranks.
            note = (
                f"{built}, the launcher drives_mpi was built with, is missing: {candidate} "
                f"starts it instead"
                if built and not given and candidate != built
                else None
            )
            return Launcher(candidate, version_line(said), note)
        others.append(f"{candidate} is {MPIS[family].name}'s" if family else candidate)
    if given or others:
        raise Failure(
            f"drives_mpi runs under {kind.name}, but "
            + ("; ".join(others) or f"{given} does not run")
            + f": give --launcher the path of {kind.name}'s {kind.launchers[0]}",
            ExitStatus.USAGE,
        )
    where = f"{built}, the launcher it was built with, is missing, and " if built else ""
    raise Failure(
        f"{where}none of {', '.join(kind.launchers)} is on PATH: install or load "
        f"{kind.name}, or give --launcher",
        ExitStatus.USAGE,
    )


def default_launcher(mpi: str) -> str:
    """The first launcher of `mpi` on PATH; its first name where there is none."""
    try:
        return find_launcher(mpi, None, None).path
    except Failure:
        return MPIS[mpi].launchers[0]


def is_ipv6(host: str) -> bool:
    return ":" in host


def placement_option(mpi: str, extra: Sequence[str]) -> Optional[str]:
    """The first of the launcher's own placement options in `extra`."""
    for word in extra:
        option = word.split("=", 1)[0]
        if option in MPIS[mpi].placement:
            return word
    return None


HostFiles = Callable[[List[Tuple[str, int]]], str]


def env_flags(kind: Mpi, env: Optional[Dict[str, str]]) -> List[str]:
    """The launcher's options setting each of `env` for the ranks."""
    flags: List[str] = []
    for key, value in (env or {}).items():
        flags += [kind.env, f"{key}={value}"] if kind.env == "-x" else [kind.env, key, value]
    return flags


def command(
    mpi: str,
    contexts: List[Context],
    wdir: Optional[str] = None,
    env: Optional[Dict[str, str]] = None,
    export: Sequence[str] = (),
    extra: Sequence[str] = (),
    outdir: Optional[str] = None,
    hostfiles: Optional[HostFiles] = None,
    launcher: Optional[str] = None,
) -> List[str]:
    """The launcher's command line for `contexts` (see above). `env` is set
    for every rank; the variables named in `export` go from the launcher's
    environment to every rank, once; `extra` is the user's own launcher
    options, `outdir` collects each rank's output apart;
    `hostfiles([(host, count)...])` gives a file naming hosts, the form
    Open MPI takes an IPv6 host in and MPICH a long list of hosts.
    `launcher` defaults to the first of the MPI's launchers on PATH that is
    that MPI's (Debian's plain mpiexec may be the other's)."""
    kind = MPIS[mpi]
    args = [launcher or default_launcher(mpi)]
    if os.geteuid() == 0:
        args += kind.as_root
    on_nodes = any(host for host, _, _ in contexts)
    if not on_nodes and sum(count for _, count, _ in contexts) > (os.cpu_count() or 1):
        args += kind.oversubscribe
    if outdir:
        args += [kind.output, outdir if mpi == "openmpi" else os.path.join(outdir, "rank.%r")]
    exported = [word.format(name) for name in export for word in kind.export]
    if mpi == "openmpi":
        every = list(extra) + ([kind.wdir, wdir] if wdir else []) + exported
        every += env_flags(kind, env)
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
    # host wherever it runs, and one working directory.
    if on_nodes:
        hosts = [(host or "localhost", count) for host, count, _ in contexts]
        listed = ",".join(f"{host}:{count}" for host, count in hosts)
        if len(hosts) > MAX_HOSTS_LISTED and hostfiles is not None:
            args += [kind.hostfile, hostfiles(hosts)]
        else:
            args += [kind.hosts, listed]
    args += list(extra) + ([kind.wdir, wdir] if wdir else [])
    for index, (_, count, argv) in enumerate(contexts):
        args += [":"] if index else []
        args += env_flags(kind, env) + [kind.np, str(count)] + list(argv)
    return args


def openmpi_host(host: str, count: int, hostfiles: Optional[HostFiles]) -> List[str]:
    if is_ipv6(host) and hostfiles is not None:
        return ["--hostfile", hostfiles([(host, count)])]
    return ["--host", f"{host}:{count}"]
