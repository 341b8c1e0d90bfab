"""drives-run: starts drives_mpi on the nodes a user names, every rank in
the working directory the user names, the root alone on the first node.

    drives-run [-n N] [--hostfile FILE | --hosts HOST[:SLOTS],...] [--dir DIR]
               [--mpi openmpi|mpich] [--launcher PATH] [--binary PATH]
               [--root-shares-node] [--check-timeout SECONDS] [--repeat N]
               [--dry-run] [-- LAUNCHER-ARG...]
"""

import argparse
import dataclasses
import errno
import fcntl
import os
import re
import shlex
import signal
import sys
import tempfile
from typing import Dict, List, NoReturn, Optional, Tuple

from . import check, macos, mpis, nodes, process, record, results_compare, results_formats
from . import results_read
from .run_record import Mpi, Record, Repeat
from .status_line import Note, StatusLine, shows_status
from .statuses import ExitStatus, Failure
from .version import version

EPILOG = """\
With two or more nodes the root (rank 0) runs alone on the first node
named, wherever drives-run runs, so that its single-process figures carry
no worker's load; the workers fill the slots of the others in order. In a
Slurm allocation the nodes come from it. Before the run, one process on
every node checks that the binary is there and that the working directory
has room and free inodes for the run's files, and makes the directory if
missing.

The launcher is the one drives_mpi was built with where it is there, else
the first launcher of drives_mpi's MPI on PATH; --launcher names another.

Exit status: the benchmark's (0 done, 1 stopped at start-up or result file
not saved, 3 some calls failed), 1 also where drives-run's standard output
cannot be written, 2 bad usage, 4 a node could not be prepared or reached
(nothing measured), 128+N a run ended by signal N; any other is the
launcher's.
"""

Placed = List[Tuple[Optional[str], int]]


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise Failure(message, ExitStatus.USAGE)


def whole_number(text: str) -> int:
    """A count as a user writes it: digits only (Python's int() takes "3_0")."""
    if not re.fullmatch(r"[0-9]+", text.strip()):
        raise argparse.ArgumentTypeError(f"not a number: {text!r}")
    return int(text)


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value <= 86400:
        raise argparse.ArgumentTypeError(f"{text} s: it takes more than 0 and at most 86400")
    return value


MAX_REPEAT = 100


def repeat_count(text: str) -> int:
    value = whole_number(text)
    if not 1 <= value <= MAX_REPEAT:
        raise argparse.ArgumentTypeError(f"{value} runs: it takes 1 to {MAX_REPEAT}")
    return value


def rank_count(text: str) -> int:
    try:
        return nodes.rank_limit(whole_number(text))
    except Failure as failure:
        raise argparse.ArgumentTypeError(str(failure)) from None


def parser() -> Parser:
    top = Parser(
        prog="drives-run",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [options] [-- LAUNCHER-ARG...]",
        description="Runs drives_mpi on the nodes you name, every rank in the working "
        "directory you name; LAUNCHER-ARGs go to mpirun or mpiexec unchanged.",
        epilog=EPILOG,
    )
    top.add_argument("--version", action="version", version=f"drives-run {version()}")
    top.add_argument(
        "-n",
        "--np",
        type=rank_count,
        metavar="N",
        help="ranks (default: 2 on this machine, every slot with nodes)",
    )
    hosts = top.add_mutually_exclusive_group()
    hosts.add_argument(
        "--hostfile", metavar="FILE", help="nodes, one per line: 'host slots=N' or 'host:N'"
    )
    hosts.add_argument("--hosts", metavar="HOST[:SLOTS],...", help="nodes on the command line")
    top.add_argument(
        "--dir",
        default=".",
        help="working directory of every rank, the same "
        "path on every node, made where missing (default: this one)",
    )
    top.add_argument(
        "--mpi", choices=sorted(mpis.MPIS), help="the binary's MPI (default: found in the binary)"
    )
    top.add_argument(
        "--launcher",
        metavar="PATH",
        help="the MPI's launcher (default: the one drives_mpi was built with, "
        "else the first of its MPI's on PATH)",
    )
    top.add_argument(
        "--binary",
        metavar="PATH",
        help="the drives_mpi to run (default: the one beside drives-run; "
        "in a checkout, build/drives_mpi)",
    )
    top.add_argument(
        "--root-shares-node",
        action="store_true",
        help="let workers run beside the root on the first node",
    )
    top.add_argument(
        "--check-timeout",
        type=seconds,
        default=check.CHECK_SECONDS,
        metavar="SECONDS",
        help="how long every node has to answer the check "
        f"before the run (default: {check.CHECK_SECONDS})",
    )
    top.add_argument(
        "--repeat",
        type=repeat_count,
        default=1,
        metavar="N",
        help="run N times, one after the other, answering each run's wait for "
        f"Enter, then print each figure's spread over the runs (1 to "
        f"{MAX_REPEAT}; default 1)",
    )
    top.add_argument(
        "--dry-run",
        action="store_true",
        help="print the commands it would run (the check's, then the run's) and stop",
    )
    return top


@dataclasses.dataclass
class Options:
    """What the command line asks for, resolved once: the binary and what it
    says of itself, the MPI and its launcher, where every rank goes."""

    argv: List[str]
    binary: str
    built: record.Built
    directory: str
    mpi: str
    launcher: mpis.Launcher
    launcher_args: List[str]
    placed: Placed
    check_timeout: float
    repeat: int
    dry_run: bool

    @property
    def scale(self) -> int:
        return self.built.binary.test_scale or 1


def default_binary() -> str:
    """The drives_mpi beside drives-run; in a checkout (drives-run runs the
    package's module), the one `make build` makes."""
    program = os.path.realpath(sys.argv[0] or __file__)
    if os.path.basename(program) == "drives_run.py":
        return os.path.join(
            os.path.dirname(os.path.dirname(os.path.dirname(program))), "build", "drives_mpi"
        )
    return os.path.join(os.path.dirname(program), "drives_mpi")


def path_option(name: str, text: str) -> str:
    """An absolute path from the command line: it must reach the nodes and
    the record whole."""
    if re.search(r"[\x00-\x1f\x7f]", text):
        raise Failure(
            f"{name}: a path with a tab, a line break or another control "
            f"character is not taken: {text!r}",
            ExitStatus.USAGE,
        )
    try:
        path = os.path.abspath(text)
    except FileNotFoundError:
        raise Failure(
            f"{name} {text}: the directory drives-run runs in is gone; give an absolute "
            f"path, or start it from a directory that exists",
            ExitStatus.USAGE,
        ) from None
    # Relative, the path is not UTF-8 where the directory drives-run runs in is not.
    try:
        size = len(path.encode("utf-8"))
    except UnicodeEncodeError:
        raise Failure(
            f"{name}: not UTF-8: {path.encode('utf-8', 'surrogateescape')!r}", ExitStatus.USAGE
        ) from None
    # Longer, mkdir -p makes it a step at a time, and nothing can use it whole.
    if size >= os.pathconf("/", "PC_PATH_MAX"):
        raise Failure(
            f"{name}: {size} bytes, longer than this system's paths "
            f"({os.pathconf('/', 'PC_PATH_MAX') - 1} bytes): {path[:60]}...",
            ExitStatus.USAGE,
        )
    return path


def parse(argv: List[str]) -> Tuple[argparse.Namespace, List[str]]:
    """The command line as given, and the launcher's part of it: everything
    after the first `--`."""
    at = argv.index("--") if "--" in argv else len(argv)
    return parser().parse_args(argv[:at]), argv[at + 1 :]


def options(argv: List[str]) -> Options:
    """The options, the binary, the launcher, the nodes and where the ranks go."""
    given, launcher_args = parse(argv)
    binary = path_option("--binary", given.binary or default_binary())
    directory = path_option("--dir", given.dir)
    if not given.binary and not os.access(binary, os.X_OK):
        raise Failure(
            f"{binary} is missing or not executable: build it (make build), or "
            f"give --binary the drives_mpi to run",
            ExitStatus.NODE_FAILED,
        )
    built = record.binary_facts(binary)
    family = built.mpi if built.mpi in mpis.MPIS else mpis.family_of_binary(binary)
    mpi = given.mpi or family or "openmpi"
    if family and mpi != family:
        raise Failure(
            f"{binary} was built with {mpis.MPIS[family].name}, not "
            f"{mpis.MPIS[mpi].name} (--mpi {mpi})",
            ExitStatus.USAGE,
        )
    own = mpis.placement_option(mpi, launcher_args)
    if own:
        raise Failure(
            f"{own} after --: drives-run places the ranks itself; name the nodes "
            f"with --hosts or --hostfile and the ranks with -n",
            ExitStatus.USAGE,
        )
    found: Optional[nodes.Nodes]
    if given.hostfile:
        found = nodes.read_hostfile(given.hostfile)
    elif given.hosts:
        found = nodes.host_list(given.hosts)
    else:
        found = nodes.slurm_nodes()
    slots = (
        sum(count for _, count in nodes.root_alone(found, given.root_shares_node)) if found else 2
    )
    np = nodes.rank_limit(given.np or slots)
    placed: Placed = nodes.place(found, np, given.root_shares_node) if found else [(None, np)]
    if mpi == "mpich" and (v6 := [h for h, _ in placed if h and mpis.is_ipv6(h)]):
        raise Failure(
            f"{v6[0]}: MPICH's launcher takes no IPv6 address; name the node by a host name",
            ExitStatus.USAGE,
        )
    built_launcher = built.launcher if family == mpi else None
    try:
        launcher = mpis.find_launcher(mpi, given.launcher, built_launcher)
    except Failure as failure:
        if not given.dry_run:
            raise
        # --dry-run shows the commands all the same, with the launcher's name,
        # and why the run would stop.
        warn(str(failure))
        launcher = mpis.Launcher(given.launcher or mpis.MPIS[mpi].launchers[0])
    if launcher.note:
        warn(launcher.note)
    return Options(
        argv=["drives-run"] + argv,
        binary=binary,
        built=built,
        directory=directory,
        mpi=mpi,
        launcher=launcher,
        launcher_args=launcher_args,
        placed=placed,
        check_timeout=given.check_timeout,
        repeat=given.repeat,
        dry_run=given.dry_run,
    )


class HostFiles:
    """Files naming hosts for the launcher, in a directory of drives-run's
    own that goes when it ends; kept with --dry-run, whose commands name them."""

    def __init__(self, mpi: str, keep: bool) -> None:
        self.mpi, self.keep = mpi, keep
        self.directory: Optional[str] = None
        self.made: List[str] = []

    def __call__(self, hosts: List[Tuple[str, int]]) -> str:
        if self.directory is None:
            self.directory = tempfile.mkdtemp(prefix="drives-run-")
        path = os.path.join(self.directory, f"hosts.{len(self.made)}")
        form = "{} slots={}\n" if self.mpi == "openmpi" else "{}:{}\n"
        with open(path, "w", encoding="utf-8") as stream:
            stream.write("".join(form.format(host, count) for host, count in hosts))
        self.made.append(path)
        return path

    def remove(self) -> None:
        if self.directory is not None and not self.keep:
            for path in self.made:
                os.unlink(path)
            os.rmdir(self.directory)


def ranks_of(placed: Placed) -> List[List[int]]:
    """The ranks each context runs, in order."""
    first, found = 0, []
    for _, count in placed:
        found.append(list(range(first, first + count)))
        first += count
    return found


@dataclasses.dataclass
class Plan:
    """How the runs are started: the launcher's environment, the check's
    and the run's command lines, and the hints for a node not reached."""

    env: Dict[str, str]
    launcher_args: List[str]
    check_args: List[str]
    run_args: List[str]
    hints: List[str]
    hostfiles: HostFiles
    lock: Optional[int] = None  # the working directory, held for the whole set


def plan(opts: Options) -> Plan:
    """The commands, and what macOS needs that Linux gives by default."""
    env, extra, hints = dict(os.environ), list(opts.launcher_args), []
    hosts = [host for host, _ in opts.placed]
    if macos.is_macos():
        env = macos.short_tmpdir(env, os.uname().nodename)
        if opts.mpi == "openmpi" and any(hosts) and "--prefix" not in extra:
            prefix = macos.homebrew_prefix(opts.launcher.path)
            extra = ["--prefix", prefix] + extra if prefix else extra
        bonjour = [h for h in hosts if h and h.lower().rstrip(".").endswith(".local")]
        if bonjour:
            warn(macos.BONJOUR.format(hosts=", ".join(bonjour)))
        hints = [macos.FIREWALL] if any(hosts) else []
    hostfiles = HostFiles(opts.mpi, opts.dry_run)
    check_args = mpis.command(
        opts.mpi,
        check.contexts(hosts, ranks_of(opts.placed), opts.directory, opts.binary, opts.scale),
        wdir="/",
        export=[check.VARIABLE],
        extra=extra,
        hostfiles=hostfiles,
        launcher=opts.launcher.path,
    )
    run_args = mpis.command(
        opts.mpi,
        [(host, count, [opts.binary]) for host, count in opts.placed],
        wdir=opts.directory,
        extra=extra,
        hostfiles=hostfiles,
        launcher=opts.launcher.path,
    )
    return Plan(env, extra, check_args, run_args, hints, hostfiles)


def local_ranks(placed: Placed) -> int:
    return sum(count for host, count in placed if is_here(host))


def is_here(host: Optional[str]) -> bool:
    name = os.uname().nodename
    return host in (None, "localhost", "127.0.0.1", "::1", name, name.split(".")[0])


def warn(message: str) -> None:
    """Says `message` on standard error, where it can still be written (the
    terminal may have hung up)."""
    try:
        for line in message.split("\n"):
            print(f"drives-run: {line}", file=sys.stderr, flush=True)
    except OSError:
        pass


def dry_run(opts: Options, steps: Plan) -> None:
    """The commands as a shell would run them: the check's script once, in
    the variable the launcher passes on, and the files of hosts, kept."""
    for path in steps.hostfiles.made:
        with open(path, encoding="utf-8") as stream:
            lines = stream.read().splitlines()
        print(f"# {path}: " + (lines[0] if len(lines) == 1 else f"{len(lines)} hosts"))
    print(f"export {check.VARIABLE}={shlex.quote(check.SCRIPT)}")
    print(shlex.join(steps.check_args))
    print(shlex.join(steps.run_args))
    sys.stdout.flush()


def end_like(outcome: process.Outcome) -> int:
    """drives-run's own end: the run's status, or the signal the run ended
    by, raised again so that a shell sees it as such."""
    if outcome.unwritable:
        warn(outcome.unwritable)
    process.quiet_exit()
    number = outcome.stop_signal()
    if number and number != signal.SIGQUIT:
        signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
    # SIGQUIT raised again would leave a core file: its status is enough.
    return outcome.status()


@dataclasses.dataclass
class Done:
    """A run that ended: its record as drives-run holds it, how it ended,
    and whether the finished record reached the disk."""

    record: Record
    outcome: process.Outcome
    recorded: bool


def new_record(opts: Options, steps: Plan, number: int, facts: Dict[int, Dict[str, str]]) -> Record:
    """The record of a run about to start, unfinished."""
    try:
        cwd: Optional[str] = os.getcwd()
    except OSError:
        cwd = None
    return Record(
        drives_mpi_version=opts.built.binary.version or version(),
        tools_version=version(),
        binary=opts.built.binary,
        command_line=opts.argv,
        working_directory=cwd,
        launcher_command=steps.run_args,
        mpi=Mpi(
            mpis.MPIS[opts.mpi].name,
            opts.launcher.path,
            opts.launcher.version,
            record.mpi_settings(steps.env),
        ),
        start=record.now(),
        repeat=Repeat(number, opts.repeat),
        nodes=[
            record.node(host or os.uname().nodename, ranks, facts.get(index, {}))
            for index, ((host, _), ranks) in enumerate(zip(opts.placed, ranks_of(opts.placed)))
        ],
        finished=False,
    )


class Keeper:
    """Writes a run's record where its root runs: here, or through the
    launcher on the root's node."""

    def __init__(
        self, opts: Options, steps: Plan, signals: process.Signals, facts: Dict[int, Dict[str, str]]
    ) -> None:
        self.opts, self.steps, self.signals = opts, steps, signals
        root_host = opts.placed[0][0]
        here = os.uname().nodename
        self.host = (
            root_host if not (is_here(root_host) or facts.get(0, {}).get("host") == here) else None
        )

    def write(self, written: Record, path: str, unfinished: str) -> Optional[str]:
        """A warning, or None."""
        if self.host is None:
            if path == unfinished:
                return record.write(written, path)
            return record.settle(written, unfinished)
        args = mpis.command(
            self.opts.mpi,
            [(self.host, 1, ["sh", "-c", record.SAVE, "drives-run-record", path, unfinished])],
            wdir="/",
            extra=self.steps.launcher_args,
            hostfiles=self.steps.hostfiles,
            launcher=self.opts.launcher.path,
        )
        with tempfile.TemporaryFile() as data:
            data.write(record.text_of(written))
            data.seek(0)
            status, _, err = process.collect(
                args, self.steps.env, self.signals, self.opts.check_timeout, stdin=data
            )
        if status == 0:
            return None
        problem = (
            f"cannot write the run's record {path} on {self.host}: "
            f"{check.last_words(err) if status is not None else 'no answer'}"
        )
        if status == 3:
            written.finished = False
            return problem + record.LEFT_UNFINISHED
        return problem


def holder_of(directory: str) -> str:
    """Which process holds a directory's lock, in words, where the system says."""
    try:
        inode = os.stat(directory).st_ino
        with open("/proc/locks", encoding="utf-8") as stream:
            for line in stream:
                fields = line.split()
                if len(fields) > 5 and fields[1] == "FLOCK" and fields[5].endswith(f":{inode}"):
                    with open(f"/proc/{fields[4]}/cmdline", "rb") as command:
                        words = command.read().decode("utf-8", "replace").split("\0")
                    return f"process {fields[4]}: {' '.join(words).strip()}"
    except (OSError, IndexError):
        pass
    return "another drives-run"


def lock(directory: str) -> int:
    """Holds the working directory for this drives-run alone (a lock on the
    directory itself: nothing is left in it, and the system releases it
    however drives-run ends); a Failure where another run holds it."""
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError as error:
        raise Failure(f"cannot open {directory}: {error.strerror}", ExitStatus.NODE_FAILED)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        raise Failure(
            f"{directory} is in use by another run ({holder_of(directory)}); "
            f"two runs in one directory would cycle the same files: wait for it, or give "
            f"another --dir",
            ExitStatus.NODE_FAILED,
        ) from None
    return fd


def run_once(opts: Options, steps: Plan, number: int, signals: process.Signals) -> Done:
    """One run of a set: the check, the record of its start, the run, its
    record completed."""
    several = opts.repeat > 1
    prefix = f"run {number} of {opts.repeat}: " if several else ""
    note = Note(2, prefix) if shows_status() else None
    if steps.lock is None and is_here(opts.placed[0][0]) and os.path.isdir(opts.directory):
        steps.lock = lock(opts.directory)
    try:
        facts = check.check(
            steps.check_args,
            [host for host, _ in opts.placed],
            opts.check_timeout,
            steps.env,
            signals,
            steps.hints,
            note.draw if note else None,
        )
    finally:
        if note:
            note.hide()
    written = new_record(opts, steps, number, facts)
    keeper = Keeper(opts, steps, signals, facts)
    if keeper.host is None and steps.lock is None:
        steps.lock = lock(opts.directory)
    unfinished = record.unfinished_path(
        written, opts.directory, opts.placed[0][0] or os.uname().nodename
    )
    before = record.result_files(opts.directory) if keeper.host is None else {}
    problem = keeper.write(written, unfinished, unfinished)
    if problem:
        warn(problem)
    if keeper.host is None:
        record.wait_for_a_new_name(opts.directory)
    status = StatusLine(2, prefix) if shows_status() else None
    outcome = process.run(steps.run_args, signals, status, steps.env, answer_enter=several)
    stdout = outcome.stdout.decode("utf-8", "replace")
    stderr = outcome.stderr.decode("utf-8", "replace")
    found = None
    if keeper.host is None and not record.result_file(stdout):
        found = record.new_result_file(before, opts.directory)
    record.finish(written, stdout, stderr, outcome.status(), found)
    loads_at_end(opts, steps, signals, written, keeper.host is None)
    problem = keeper.write(written, record.final_path(written, unfinished), unfinished)
    if problem:
        warn(problem)
    return Done(written, outcome, problem is None)


def loads_at_end(
    opts: Options, steps: Plan, signals: process.Signals, written: Record, root_here: bool
) -> None:
    """The load of every node after the run: this machine's read here, the
    others' through the launcher (not for a run a signal ended: the user
    wants out)."""
    here = [index for index, (host, _) in enumerate(opts.placed) if is_here(host)]
    here += [0] if root_here else []
    for index in here:
        written.nodes[index].load_end = [round(value, 2) for value in os.getloadavg()]
    away = {
        index: host for index, (host, _) in enumerate(opts.placed) if host and index not in here
    }
    if not away or (written.status or 0) > ExitStatus.SIGNALLED:
        return
    args = mpis.command(
        opts.mpi,
        check.load_contexts(away),
        wdir="/",
        extra=steps.launcher_args,
        hostfiles=steps.hostfiles,
        launcher=opts.launcher.path,
    )
    try:
        _, out, _ = process.collect(args, steps.env, signals, opts.check_timeout)
    except process.Interrupted:
        return
    for index, text in check.loads_of(out).items():
        if index in away:
            written.nodes[index].load_end = record.loads(text)


def left_out(done: Done) -> Optional[str]:
    """Why a run's figures must not count, as drives-run knows it."""
    status = done.record.status or 0
    if status > ExitStatus.SIGNALLED:
        return f"it was ended by signal {status - ExitStatus.SIGNALLED}"
    if not done.recorded:
        return "its record could not be written"
    if done.record.result_file is None or not record.result_file(
        done.outcome.stdout.decode("utf-8", "replace")
    ):
        return "its report is incomplete"
    return None


def summary_of(done: List[Done]) -> None:
    """Every figure over the runs that ended whole, as drives-results
    summary gives it: from the result files where they are here, else from
    what the root printed; each with the record drives-run holds."""
    runs = []
    for number, one in enumerate(done, 1):
        why = left_out(one)
        if why:
            warn(f"run {number} is left out of the summary: {why}")
            continue
        path = one.record.result_file
        try:
            if path and os.path.isfile(path):
                run = results_read.read_run(path)
            else:
                run = results_read.parse(
                    one.outcome.stdout.decode("utf-8", "replace"), f"run {number}"
                )
            runs.append(results_read.attach_record(run, one.record))
        except results_read.InputError as error:
            warn(f"run {number} is left out of the summary: {error}")
    if runs:
        report = results_compare.summary(results_read.label_runs(runs))
        width = results_formats.width_of(sys.stdout)
        sys.stdout.write("\n" + results_formats.render(report, "text", width))
        sys.stdout.flush()


def run_set(opts: Options, steps: Plan) -> process.Outcome:
    """The runs, one after the other, drives-run's signals handed on to each
    in turn; the set ends at the first run ended by a signal or an output
    that cannot be written, or a node that fails the check; the summary of
    the runs that ended is printed all the same. The outcome of the whole:
    the signal that ended it, else the worst status."""
    done: List[Done] = []
    with process.Signals() as signals:
        try:
            for number in range(1, opts.repeat + 1):
                if signals.received:
                    raise process.Interrupted(signals.received)
                done.append(run_once(opts, steps, number, signals))
                if done[-1].outcome.ends_set():
                    break
        finally:
            last = done[-1].outcome if done else None
            if opts.repeat > 1 and not (last and (last.broken or last.unwritable)):
                summary_of(done)
    stopped = [one.outcome for one in done if one.outcome.stop_signal()]
    return (
        stopped[-1] if stopped else max((one.outcome for one in done), key=process.Outcome.status)
    )


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    process.standard_streams()
    steps = None
    try:
        opts = options(argv)
        steps = plan(opts)
        if opts.dry_run:
            dry_run(opts, steps)
            process.quiet_exit()
            return 0
        macos.raise_open_files(local_ranks(opts.placed), len(opts.placed))
        return end_like(run_set(opts, steps))
    except Failure as failure:
        warn(str(failure))
        return failure.status
    except process.Interrupted as stop:
        return end_like(process.Outcome(0, stop.signal))
    except KeyboardInterrupt:  # before drives-run took the signals in hand
        return end_like(process.Outcome(0, signal.SIGINT))
    except BrokenPipeError:
        return end_like(process.Outcome(0, broken=True))
    except OSError as error:
        if error.errno not in (errno.ENOSPC, errno.EIO, errno.EDQUOT, errno.EFBIG, errno.EBADF):
            raise
        return end_like(
            process.Outcome(0, unwritable=f"cannot write standard output: {error.strerror}")
        )
    finally:
        if steps is not None:
            steps.hostfiles.remove()


if __name__ == "__main__":
    sys.exit(main())
