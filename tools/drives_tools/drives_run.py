"""drives-run: starts drives_mpi on the nodes a user names, every rank in
the working directory the user names, the root alone on the first node.

    drives-run [-n N] [--hostfile FILE | --hosts HOST[:SLOTS],...] [--dir DIR]
               [--mpi openmpi|mpich] [--binary PATH] [--root-shares-node]
               [--check-timeout SECONDS] [--dry-run] [-- LAUNCHER-ARG...]
"""

import argparse
import atexit
import os
import shlex
import shutil
import signal
import sys
import tempfile

from . import check, macos, mpis, nodes, process, record, results_compare, results_formats
from . import results_read
from .status_line import StatusLine
from .statuses import ExitStatus, Failure
from .version import version

EPILOG = """\
With two or more nodes the root (rank 0) runs alone on the first node
named, wherever drives-run runs, so that its single-process figures carry
no worker's load; the workers fill the slots of the others in order. In a
Slurm allocation the nodes come from it. Before the run, one process on
every node checks that the binary is there and that the working directory
has room for the run's files, and makes the directory if missing.

Exit status: the benchmark's (0 done, 1 stopped at start-up or result file
not saved, 3 some calls failed), 2 bad usage, 4 a node could not be
prepared or reached (nothing measured), 128+N a run ended by signal N; any
other is the launcher's.
"""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Failure(message, ExitStatus.USAGE)


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value <= 86400:
        raise argparse.ArgumentTypeError(f"{text} s: it takes more than 0 and at most 86400")
    return value


MAX_REPEAT = 100


def repeat_count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 1 <= value <= MAX_REPEAT:
        raise argparse.ArgumentTypeError(f"{value} runs: it takes 1 to {MAX_REPEAT}")
    return value


def rank_count(text):
    try:
        return nodes.rank_limit(int(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    except Failure as failure:
        raise argparse.ArgumentTypeError(str(failure)) from None


def parser():
    top = Parser(
        prog="drives-run",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [options] [-- LAUNCHER-ARG...]",
        description="Runs drives_mpi on the nodes you name, every rank in the working "
        "directory you name; LAUNCHER-ARGs go to mpirun or mpiexec "
        "unchanged.",
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
        "--binary",
        metavar="PATH",
        help="the drives_mpi to run (default: the one beside drives-run)",
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
        help="print the commands it would run (the check's, then the run's) " "and stop",
    )
    return top


def parse(argv):
    """The command line as given; everything after the first `--` is the
    launcher's."""
    at = argv.index("--") if "--" in argv else len(argv)
    opts = parser().parse_args(argv[:at])
    opts.launcher_args = argv[at + 1 :]
    return opts


def options(argv):
    """The options, the nodes and where the ranks go."""
    opts = parse(argv)
    program = os.path.realpath(sys.argv[0] or __file__)
    opts.binary = os.path.abspath(
        opts.binary or os.path.join(os.path.dirname(program), "drives_mpi")
    )
    opts.dir = os.path.abspath(opts.dir)
    opts.mpi = opts.mpi or mpis.detect(opts.binary)
    if opts.hostfile:
        found = nodes.read_hostfile(opts.hostfile)
    elif opts.hosts:
        found = nodes.host_list(opts.hosts)
    else:
        found = nodes.slurm_nodes()
    slots = (
        sum(count for _, count in nodes.root_alone(found, opts.root_shares_node)) if found else 2
    )
    opts.np = nodes.rank_limit(opts.np or slots)
    opts.placed = nodes.place(found, opts.np, opts.root_shares_node) if found else [(None, opts.np)]
    if opts.mpi == "mpich" and (v6 := [h for h, _ in opts.placed if h and mpis.is_ipv6(h)]):
        raise Failure(
            f"{v6[0]}: MPICH's launcher takes no IPv6 address; name the node by a " f"host name",
            ExitStatus.USAGE,
        )
    return opts


class HostFiles:
    """The files naming IPv6 nodes for Open MPI, in a directory of drives-run's
    own that goes when it ends."""

    def __init__(self):
        self.directory, self.made = None, []

    def __call__(self, host, count):
        if self.directory is None:
            self.directory = tempfile.mkdtemp(prefix="drives-run-")
            atexit.register(shutil.rmtree, self.directory, True)
        path = os.path.join(self.directory, f"hosts.{len(self.made)}")
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(f"{host} slots={count}\n")
        self.made.append((path, f"{host} slots={count}"))
        return path


def ranks_of(placed):
    """The ranks each context runs, in order."""
    first, found = 0, []
    for _, count in placed:
        found.append(list(range(first, first + count)))
        first += count
    return found


def prepare_for_macos(opts, env):
    """The launcher's environment and options on macOS, and the hints for
    a node that cannot be reached."""
    if not macos.is_macos():
        return env, []
    host = os.uname().nodename
    env = macos.short_tmpdir(env, host)
    hosts = [h for h, _ in opts.placed if h]
    if opts.mpi == "openmpi" and hosts and "--prefix" not in opts.launcher_args:
        prefix = macos.homebrew_prefix(mpis.MPIS["openmpi"].launcher(needed=False))
        if prefix:
            opts.launcher_args = ["--prefix", prefix] + opts.launcher_args
    bonjour = [h for h in hosts if h.lower().rstrip(".").endswith(".local")]
    if bonjour:
        warn(macos.BONJOUR.format(hosts=", ".join(bonjour)))
    return env, [macos.FIREWALL] if hosts else []


def local_ranks(placed):
    here = {
        None,
        "localhost",
        "127.0.0.1",
        "::1",
        os.uname().nodename,
        os.uname().nodename.split(".")[0],
    }
    return sum(count for host, count in placed if host in here)


def warn(message):
    """Says `message` on standard error, where it can still be written (the
    terminal may have hung up)."""
    try:
        for line in message.split("\n"):
            print(f"drives-run: {line}", file=sys.stderr, flush=True)
    except OSError:
        pass


def commands(opts):
    """The check's command line and the run's."""
    hosts = [host for host, _ in opts.placed]
    ranks = ranks_of(opts.placed)
    check_args = mpis.command(
        opts.mpi,
        check.contexts(opts, hosts, ranks),
        wdir="/",
        extra=opts.launcher_args,
        hostfiles=opts.hostfiles,
        dry_run=opts.dry_run,
    )
    run_args = mpis.command(
        opts.mpi,
        [(host, count, [opts.binary]) for host, count in opts.placed],
        wdir=opts.dir,
        extra=opts.launcher_args,
        hostfiles=opts.hostfiles,
        dry_run=opts.dry_run,
    )
    return check_args, run_args


def dry_run(opts, check_args, run_args):
    """The commands as a shell would run them: the check's script once, in
    a variable, and the hostfiles drives-run would write."""
    for path, line in opts.hostfiles.made:
        print(f"# {path}: {line}")
    script = shlex.quote(check.SCRIPT)
    print(f"CHECK={script}")
    print(shlex.join(check_args).replace(script, '"$CHECK"'))
    print(shlex.join(run_args))


def end_like(outcome):
    """drives-run's own end: the run's status, or the signal the run ended
    by, raised again so that a shell sees it as such."""
    if outcome.unwritable:
        warn(outcome.unwritable)
    quiet_exit()
    number = outcome.stop_signal()
    if number and number != signal.SIGQUIT:
        signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
    # SIGQUIT raised again would leave a core file: its status is enough.
    return outcome.status()


def quiet_exit():
    """Flushes what is left for the standard streams; where they cannot be
    written any more, Python's own flush at exit must not fail either."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except OSError:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, stream.fileno())
            os.close(null)


def run_once(opts, base, number, signals, env, hints, check_args, run_args):
    """One run of a set: the check, the run, its record; the outcome."""
    run = dict(base, start=record.now())
    run["facts"] = check.check(opts, check_args, env, signals, hints)
    several = opts.repeat > 1
    status = (
        StatusLine(2, f"run {number} of {opts.repeat}: " if several else "")
        if os.isatty(2)
        else None
    )
    sys.stdout.flush()
    outcome = process.run(run_args, signals, status, env, answer_enter=several)
    written = record.build(run, outcome, {"run": number, "runs": opts.repeat})
    path = record.path_for(written, opts.dir)
    root_host = opts.placed[0][0]
    if written["result_file"] and root_host and not os.path.exists(written["result_file"]):
        # The root ran on another node: its result file is there.
        problem = record.send(written, path, root_host, opts, env, signals)
    else:
        problem = record.write(written, path)
    if problem:
        warn(problem)
    return written, outcome


def summary_of(done):
    """Every figure over the runs that ended, as drives-results summary
    gives it: from the result files and records where they are here, else
    from what the root printed and the record drives-run kept."""
    runs = []
    for number, (written, outcome) in enumerate(done, 1):
        path = written["result_file"]
        try:
            if path and os.path.isfile(path):
                runs.append(results_read.read_run(path))
            else:
                runs.append(
                    results_read.attach_record(
                        results_read.parse(
                            outcome.stdout.decode("utf-8", "replace"), f"run {number}"
                        ),
                        written,
                    )
                )
        except results_read.InputError as error:
            warn(f"run {number} is left out of the summary: {error}")
    if runs:
        report = results_compare.summary(results_read.label_runs(runs))
        sys.stdout.write("\n" + results_formats.render(report, "text"))
        sys.stdout.flush()


def run_set(opts, argv, env, hints, check_args, run_args):
    """The runs, one after the other, drives-run's signals handed on to each
    in turn; the set ends at the first run ended by a signal or a closed
    output, or a node that fails the check; the summary of the runs that
    ended is printed all the same. The outcome of the whole: the signal
    that ended it, else the worst status."""
    base = {
        "binary": record.binary_facts(opts.binary),
        "argv": ["drives-run"] + argv,
        "launcher_command": run_args,
        "mpi": opts.mpi,
        "launcher": record.launcher_path(run_args[0]),
        "mpi_version": record.mpi_version(run_args[0]),
        "placed": opts.placed,
        "ranks": ranks_of(opts.placed),
    }
    done = []
    with process.Signals() as signals:
        try:
            for number in range(1, opts.repeat + 1):
                if signals.received:
                    raise process.Interrupted(signals.received)
                done.append(run_once(opts, base, number, signals, env, hints, check_args, run_args))
                if done[-1][1].ends_set():
                    break
        finally:
            if opts.repeat > 1 and not (done and done[-1][1].ends_set()):
                summary_of(done)
    stopped = [outcome for _, outcome in done if outcome.stop_signal()]
    return (
        stopped[-1]
        if stopped
        else max((outcome for _, outcome in done), key=process.Outcome.status)
    )


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        opts = options(argv)
        opts.hostfiles = HostFiles()
        env, hints = prepare_for_macos(opts, dict(os.environ))
        check_args, run_args = commands(opts)
        if opts.dry_run:
            dry_run(opts, check_args, run_args)
            return 0
        macos.raise_open_files(local_ranks(opts.placed), len(opts.placed))
        return end_like(run_set(opts, argv, env, hints, check_args, run_args))
    except Failure as failure:
        warn(str(failure))
        return failure.status
    except process.Interrupted as stop:
        return end_like(process.Outcome(0, stop.signal))
    except KeyboardInterrupt:  # before drives-run took the signals in hand
        return end_like(process.Outcome(0, signal.SIGINT))


if __name__ == "__main__":
    sys.exit(main())
