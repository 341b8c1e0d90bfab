"""drives-run, and the one place that knows how Open MPI's and MPICH's
launchers differ: it starts drives_mpi on the nodes a user names, and finds
ranks again. `make run`, the tests and `make bench` start ranks through here.

    drives-run [-n N] [--hostfile FILE | --hosts HOST[:SLOTS],...] [--dir DIR]
               [--mpi openmpi|mpich] [--binary PATH] [--root-shares-node]
               [--dry-run] [-- LAUNCHER-ARG...]
"""

import argparse
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MAX_RANKS = 4096
CHECK_SECONDS = 120  # for the check of every node, which only makes a directory

# Exit statuses of drives-run's own; any other is the benchmark's (0, 1, 3)
# or, when it could not start the ranks, the launcher's.
USAGE = 2
NODE_FAILED = 4


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


class Failure(Exception):
    """Ends drives-run with a message and a status of its own."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


class Mpi:
    """How one MPI implementation's launcher is called."""

    def __init__(self, launchers, np, hosts, wdir, env, rank_variable, as_root=(),
                 oversubscribe=(), output=None, library=None):
        self.launchers = launchers          # candidate commands, first found wins
        self.np = np                        # option giving a context's rank count
        self.hosts = hosts                  # option taking host:slots,host:slots
        self.wdir = wdir                    # option giving the ranks' working directory
        self.env = env                      # option setting one variable for a context
        self.rank_variable = rank_variable  # what a rank finds its rank in
        self.as_root = list(as_root)        # needed to run as root at all
        self.oversubscribe = list(oversubscribe)  # needed for more ranks than cores
        self.output = output                # per-rank output files in a directory
        self.library = library              # what a program built with it links

    def launcher(self):
        for name in self.launchers:
            if shutil.which(name):
                return name
        raise Failure(f"none of {', '.join(self.launchers)} is on PATH", USAGE)


MPIS = {
    # Debian installs each MPI's launcher under its own name beside the
    # default one; where one MPI is the only one, its launcher is plain.
    "openmpi": Mpi(("mpirun.openmpi", "mpirun"), "-np", "--host", "--wdir", "-x",
                   "OMPI_COMM_WORLD_RANK", as_root=["--allow-run-as-root"],
                   oversubscribe=["--oversubscribe"], output="--output-filename",
                   library=re.compile(rb"libmpi\.so\.40|libmpi\.40\.dylib|libopen-(rte|pal)")),
    "mpich": Mpi(("mpiexec.mpich", "mpiexec.hydra", "mpiexec"), "-n", "-hosts", "-wdir", "-env",
                 "PMI_RANK", output="-outfile-pattern",
                 library=re.compile(rb"libmpich|libmpi\.12\.")),
}


def env_flags(mpi, env):
    flags = []
    for key, value in (env or {}).items():
        flags += [mpi.env, f"{key}={value}"] if mpi.env == "-x" else [mpi.env, key, value]
    return flags


def command(binary, np, mpi="openmpi", contexts=None, env=None, outdir=None, nodes=None,
            wdir=None, extra=()):
    """The launcher's command line. `contexts`, if given, is one argv list
    per rank (each may start with its own flags, such as -wdir); `env` goes
    to every rank; `outdir` collects each rank's standard output apart;
    `nodes` is [(host, slots)], `extra` the user's own launcher options."""
    kind = MPIS[mpi]
    args = [kind.launcher()]
    if os.geteuid() == 0:
        args += kind.as_root
    if nodes:
        args += [kind.hosts, ",".join(f"{host}:{slots}" for host, slots in nodes)]
    elif np > (os.cpu_count() or 1):
        args += kind.oversubscribe
    if outdir:
        args += [kind.output, outdir if mpi == "openmpi" else os.path.join(outdir, "rank.%r")]
    args += list(extra)
    if wdir:
        args += [kind.wdir, wdir]
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


# ---------------------------------------------------------------- nodes

HOST_LINE = re.compile(r"(?P<host>[^\s:=]+)(?::(?P<colon>\d+)|(?P<rest>(?:\s+\w+=\S+)*))\Z")


def parse_hosts(lines, source):
    """[(host, slots)] from hostfile lines in Open MPI's form (`host
    slots=N`) or MPICH's (`host:N`); a host named again gets more slots."""
    nodes = {}
    for number, line in enumerate(lines, 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        found = HOST_LINE.match(line)
        attributes = dict(item.split("=", 1) for item in (found and found["rest"] or "").split())
        slots = found and (found["colon"] or attributes.get("slots", "1"))
        if not found or not slots.isdigit() or int(slots) < 1:
            raise Failure(f"{source}, line {number}: expected 'host slots=N' or 'host:N', "
                          f"found {line!r}", USAGE)
        nodes[found["host"]] = nodes.get(found["host"], 0) + int(slots)
    if not nodes:
        raise Failure(f"{source} names no host", USAGE)
    return list(nodes.items())


def read_hostfile(path):
    try:
        with open(path, encoding="utf-8") as stream:
            return parse_hosts(stream.read().splitlines(), path)
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}", USAGE) from None


def expand_counts(text):
    """Slurm's per-node counts: '2(x3),1' -> [2, 2, 2, 1]."""
    counts = []
    for item in text.split(","):
        found = re.fullmatch(r"(\d+)(?:\(x(\d+)\))?", item.strip())
        if not found:
            raise Failure(f"cannot read Slurm's per-node counts {text!r}", USAGE)
        counts += [int(found[1])] * int(found[2] or 1)
    return counts


def slurm_nodes():
    """The nodes and task slots of the Slurm allocation this runs in, or
    None outside one."""
    if not (os.environ.get("SLURM_JOB_ID") and os.environ.get("SLURM_JOB_NODELIST")):
        return None
    try:
        names = subprocess.run(["scontrol", "show", "hostnames", os.environ["SLURM_JOB_NODELIST"]],
                               capture_output=True, text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError) as error:
        raise Failure(f"cannot list the nodes of Slurm job {os.environ['SLURM_JOB_ID']} with "
                      f"scontrol: {error}", USAGE) from None
    counts = expand_counts(os.environ.get("SLURM_TASKS_PER_NODE")
                           or os.environ.get("SLURM_JOB_CPUS_PER_NODE") or "1")
    if len(counts) != len(names):
        counts = [1] * len(names)
    return list(zip(names, counts))


def place(nodes, root_shares_node):
    """The root's node alone for its single-process figures, unless asked
    otherwise: with two or more nodes, the first gives rank 0 one slot."""
    if len(nodes) >= 2 and not root_shares_node:
        return [(nodes[0][0], 1)] + nodes[1:]
    return nodes


# ---------------------------------------------------------------- the check of every node

# Run by one process on each node, through the launcher: the working
# directory made if missing and writable, the binary there.
CHECK = r'''dir=$1 bin=$2 rank=$3
if ! err=$(mkdir -p -- "$dir" 2>&1); then
  said="cannot create the working directory $dir: ${err##*: }"
elif [ ! -d "$dir" ] || [ ! -w "$dir" ]; then said="cannot write in the working directory $dir"
elif [ ! -x "$bin" ] || [ -d "$bin" ]; then said="$bin is missing or not executable"
else said=ok; fi
printf 'drives-run-check\t%s\t%s\n' "$rank" "$said"'''


def check_here(directory, binary):
    """The same check on this machine, where the ranks run without hosts."""
    if os.path.exists(directory) and not os.path.isdir(directory):
        return [f"{directory}: the working directory is a file"]
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        return [f"{directory}: cannot create the working directory: {error.strerror}"]
    if not os.path.isdir(directory) or not os.access(directory, os.W_OK):
        return [f"{directory}: cannot write in the working directory"]
    if not os.access(binary, os.X_OK) or os.path.isdir(binary):
        return [f"{binary} is missing or not executable (--binary names another)"]
    return []


def check_nodes(opts, nodes):
    """Runs CHECK on every node; returns what failed, one line per node."""
    kind = MPIS[opts.mpi]
    script = CHECK.replace("$3", f"${{{kind.rank_variable}}}")
    args = command("sh", len(nodes), opts.mpi, nodes=[(host, 1) for host, _ in nodes],
                   wdir="/", extra=opts.launcher_args)
    args[-1:] = ["sh", "-c", script, "drives-run-check", opts.dir, opts.binary]
    try:
        done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              errors="replace", timeout=CHECK_SECONDS, start_new_session=True)
    except subprocess.TimeoutExpired as expired:
        return [f"no answer from every node within {CHECK_SECONDS} s: "
                + last_words(expired.stderr or "")]
    said = {}
    for line in done.stdout.splitlines():
        fields = line.split("\t")
        if len(fields) == 3 and fields[0] == "drives-run-check" and fields[1].isdigit():
            said[int(fields[1])] = fields[2]
    told = [f"{host}: {said[rank]}" for rank, (host, _) in enumerate(nodes)
            if said.get(rank, "ok") != "ok"]
    if len(said) < len(nodes):
        silent = [host for rank, (host, _) in enumerate(nodes) if rank not in said]
        told.append(f"{', '.join(silent)}: not reached through {args[0]} (status "
                    f"{done.returncode}): {last_words(done.stderr)}")
    return told


def last_words(stderr):
    """The launcher's line that says the most: one naming an error, else its last."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip().strip("-")]
    errors = [line for line in lines if re.search(r"error|refused|denied|resolve|failed|"
                                                  r"verification|unreachable", line, re.I)]
    return (errors or lines or ["it said nothing"])[0]


# ---------------------------------------------------------------- the status line

# The report line that starts each measurement, as the root prints it on
# the console, and what the status line calls it.
MEASUREMENTS = {
    "Power of Handling Files -- Lower": ("stream file cycle",),
    "Power of Handling Files -- Hihger": ("descriptor file cycle",),
    "Power of Handling Files -- Higher": ("descriptor file cycle",),
    "Low writing and reading speeds:": ("one-byte write", "one-byte read"),
    "High writing and reading speeds:": ("block read", "block write"),
}
WORKERS = "Multi-Thread Enabled:"
END_LINES = ("Results have been saved in a file", "Results could not be saved in a file")
CLEAR = "\r\033[K"


class StatusLine:
    """One line on the terminal (standard error) that says which measurement
    is under way and for how long, rewritten in place; erased before any
    output of the ranks is written, so that the report reaches the terminal
    byte for byte, and for good once the end lines come."""

    def __init__(self):
        self.lock = threading.Lock()
        self.started = self.since = time.monotonic()
        self.phase, self.steps, self.step = "root alone", (), 0
        self.shown = self.done = False
        self.at_line_start = True
        self.pending = ""

    def read(self, text):
        """Follows the report's lines as they come."""
        self.pending += text
        *lines, self.pending = self.pending.split("\n")
        for line in lines:
            if line == WORKERS:
                self.phase = "workers"
            elif line in MEASUREMENTS:
                self.steps, self.step, self.since = MEASUREMENTS[line], 0, time.monotonic()
            elif (self.phase == "root alone" and line.startswith("The system spent: ")
                  and self.step + 1 < len(self.steps)):
                self.step, self.since = self.step + 1, time.monotonic()
            elif line.startswith(END_LINES):
                self.done = True

    def text(self):
        now = time.monotonic()
        what = f"{self.steps[self.step]} ({self.phase})" if self.steps else "starting"
        text = (f"drives-run: {what}, {clock(now - self.since)}; "
                f"run time {clock(now - self.started)}")
        return text[:max(20, shutil.get_terminal_size().columns - 1)]

    def write(self, stream, data, report=False):
        """Writes output of the ranks, the status line out of its way."""
        with self.lock:
            if self.shown:
                os.write(2, CLEAR.encode())
                self.shown = False
            if report:
                self.read(data.decode("utf-8", "replace"))
            os.write(stream, data)
            self.at_line_start = data.endswith(b"\n")
            self.draw()

    def draw(self):
        if not self.done and self.at_line_start:
            os.write(2, (CLEAR + self.text()).encode())
            self.shown = True

    def tick(self):
        with self.lock:
            self.draw()

    def erase(self):
        with self.lock:
            self.done = True
            if self.shown:
                os.write(2, CLEAR.encode())
                self.shown = False


def clock(seconds):
    seconds = int(seconds)
    return f"{seconds // 60}:{seconds % 60:02d}" if seconds >= 60 else f"{seconds} s"


def run_with_status_line(args):
    """Runs the launcher with its output through a StatusLine; standard
    input stays the launcher's, for the wait for Enter."""
    status = StatusLine()
    launcher = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # The terminal sends Ctrl-C to the launcher too, which ends the ranks;
    # drives-run waits for that. Other stops are handed on.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda number, _: launcher.send_signal(number))

    def pump(source, target, report):
        for data in iter(lambda: os.read(source.fileno(), 65536), b""):
            status.write(target, data, report)

    pumps = [threading.Thread(target=pump, args=(launcher.stdout, 1, True)),
             threading.Thread(target=pump, args=(launcher.stderr, 2, False))]
    for thread in pumps:
        thread.start()
    while any(thread.is_alive() for thread in pumps):
        pumps[0].join(1.0)
        status.tick()
    status.erase()
    return launcher.wait()


# ---------------------------------------------------------------- drives-run

def detect_mpi(binary):
    """The MPI a binary was built with, from the libraries it names."""
    try:
        with open(binary, "rb") as stream:
            data = stream.read()
    except OSError:
        data = b""
    for name, kind in MPIS.items():
        if kind.library.search(data):
            return name
    return "openmpi"


def rank_count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 1 <= value <= MAX_RANKS:
        raise argparse.ArgumentTypeError(f"{value} ranks: it takes 1 to {MAX_RANKS}")
    return value


EPILOG = """\
With two or more nodes the root (rank 0) gets the first node alone, so that
its single-process figures carry no worker's load, and the workers get the
slots of the others. In a Slurm allocation the nodes come from it. Before
the run, every node makes the working directory if missing and must find
the binary.

Exit status: the benchmark's (0 done, 1 stopped at start-up or result file
not saved, 3 some calls failed), 2 bad usage, 4 a node could not be
prepared (nothing measured); any other is the launcher's.
"""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Failure(message, USAGE)


def parser():
    top = Parser(prog="drives-run", formatter_class=argparse.RawDescriptionHelpFormatter,
                 description="Runs drives_mpi on the nodes you name, every rank in the working "
                             "directory you name.",
                 epilog=EPILOG)
    top.add_argument("--version", action="version", version=f"drives-run {version()}")
    top.add_argument("-n", "--np", type=rank_count, metavar="N",
                     help="ranks (default: 2 on this machine, every slot with hosts)")
    hosts = top.add_mutually_exclusive_group()
    hosts.add_argument("--hostfile", metavar="FILE",
                       help="nodes, one per line: 'host slots=N' or 'host:N'")
    hosts.add_argument("--hosts", metavar="HOST[:SLOTS],...", help="nodes on the command line")
    top.add_argument("--dir", default=".", help="working directory of every rank, the same "
                     "path on every node, made where missing (default: this one)")
    top.add_argument("--mpi", choices=sorted(MPIS),
                     help="the binary's MPI (default: found in the binary)")
    top.add_argument("--binary", metavar="PATH",
                     help="the drives_mpi to run (default: the one beside drives-run)")
    top.add_argument("--root-shares-node", action="store_true",
                     help="let workers run beside the root on the first node")
    top.add_argument("--dry-run", action="store_true",
                     help="print the launcher's command lines and stop")
    top.add_argument("launcher_args", nargs="*", metavar="-- LAUNCHER-ARG",
                     help="passed to mpirun or mpiexec unchanged")
    return top


def options(argv):
    opts = parser().parse_args(argv)
    if opts.launcher_args and "--" not in argv:
        raise Failure(f"unexpected {opts.launcher_args[0]!r}; launcher options go after --", USAGE)
    beside = os.path.join(os.path.dirname(os.path.abspath(sys.argv[0])), "drives_mpi")
    opts.binary = os.path.abspath(opts.binary or beside)
    opts.dir = os.path.abspath(opts.dir)
    opts.mpi = opts.mpi or detect_mpi(opts.binary)
    if opts.hostfile:
        nodes = read_hostfile(opts.hostfile)
    elif opts.hosts:
        nodes = parse_hosts(opts.hosts.split(","), "--hosts")
    else:
        nodes = slurm_nodes()
    opts.nodes = place(nodes, opts.root_shares_node) if nodes else None
    slots = sum(count for _, count in opts.nodes) if opts.nodes else None
    opts.np = opts.np or slots or 2
    if slots and opts.np > slots:
        raise Failure(f"{opts.np} ranks, but the nodes give {slots} slots"
                      + ("" if opts.root_shares_node or len(opts.nodes) < 2 else
                         " (the root's node gives one, for the root alone)"), USAGE)
    return opts


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        opts = options(argv)
        args = command(opts.binary, opts.np, opts.mpi, nodes=opts.nodes, wdir=opts.dir,
                       extra=opts.launcher_args)
        if opts.dry_run:
            print(shlex.join(args))
            return 0
        told = check_nodes(opts, opts.nodes) if opts.nodes else check_here(opts.dir,
                                                                            opts.binary)
        if told:
            raise Failure("\ndrives-run: ".join(told), NODE_FAILED)
    except Failure as failure:
        print(f"drives-run: {failure}", file=sys.stderr)
        return failure.status
    # The launcher hands its standard input to rank 0; were it closed, the
    # runtime would reuse the descriptor and the root would wait for Enter
    # for ever.
    try:
        os.fstat(0)
    except OSError:
        os.open(os.devnull, os.O_RDONLY)
    sys.stdout.flush()
    if os.isatty(2):
        return run_with_status_line(args)
    os.execvp(args[0], args)


if __name__ == "__main__":
    sys.exit(main())
