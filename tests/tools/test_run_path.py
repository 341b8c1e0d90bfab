"""drives-run's run path. Under the real Open MPI, with a stand-in ssh that runs each
node's share here: however a run ends (a hung node, Ctrl-C, Ctrl-\\, kill -9, a hangup,
an output that cannot be written), it ends with its status and one line, and leaves no
process of its own. Then, with stand-ins for the launcher and the benchmark
(fake_launcher.py, fake_drives_mpi.py): pipes, signals, the status line, typing, the
check's faults, the records of a set of runs, macOS's needs."""

import fcntl
import json
import os
import pathlib
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Set

import pytest

HERE = pathlib.Path(__file__).resolve().parent
DRIVES_RUN = str(HERE.parent.parent / "tools" / "drives-run")
FAKE = str(HERE / "fake_drives_mpi.py")
LIMIT = 120  # seconds: only a guard against a hang


def stat_of(pid: object) -> Optional[List[bytes]]:
    """The fields of /proc/PID/stat after the command's name; None once it is gone."""
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_bytes().rsplit(b")", 1)[1].split()
    except OSError:
        return None


def session_of(pid: int) -> Optional[int]:
    fields = stat_of(pid)
    return None if not fields or fields[0] == b"Z" else int(fields[3])


def until(done: Callable[[], object], what: Callable[[], object]) -> None:
    """Waits until `done`; the limit is a guard, `what` says what did not happen."""
    deadline = time.monotonic() + LIMIT
    while not done():
        assert time.monotonic() < deadline, f"not within {LIMIT} s: {what()}"
        time.sleep(0.05)


def in_sessions(sessions: Set[int]) -> List[str]:
    """Every live process of `sessions`, with its command line."""
    return [
        f"{pid}: {pathlib.Path(f'/proc/{pid}/cmdline').read_bytes()[:200]!r}"
        for pid in map(int, filter(str.isdigit, os.listdir("/proc")))
        if session_of(pid) in sessions
    ]


def children(pid: int) -> List[int]:
    every = map(int, filter(str.isdigit, os.listdir("/proc")))
    return [child for child in every if (stat_of(child) or [0, b"0"])[1] == str(pid).encode()]


class Terminal:
    """drives-run with standard error on a pty of `columns` columns (or a pipe), its input
    and output where asked on the pty too (None), in a session of its own whose terminal
    the pty is where asked. What the pty shows is read as it comes, so that it never
    fills; `hang_up` closes it, as a closed window or a lost ssh connection does."""

    every: List["Terminal"] = []

    def __init__(
        self,
        args: List[str],
        env: Dict[str, str],
        stdin: object = subprocess.DEVNULL,
        stdout: object = subprocess.PIPE,
        terminal: bool = True,
        columns: int = 80,
        session: bool = False,
        closed: Optional[int] = None,
    ) -> None:
        self.master, side = pty.openpty()
        fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        self.proc = subprocess.Popen(
            [DRIVES_RUN, *args],
            stdin=side if stdin is None else stdin,
            stdout=side if stdout is None else stdout,
            stderr=side if terminal else subprocess.PIPE,
            env=dict(os.environ, **env),
            start_new_session=session,
            preexec_fn=(
                (lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
                if session
                else None
                if closed is None
                else lambda: os.close(closed or 0)
            ),
        )
        os.close(side)
        self.chunks: List[bytes] = []
        self.closing = False
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        Terminal.every.append(self)

    @property
    def shown(self) -> bytes:
        return b"".join(self.chunks)

    def read(self) -> None:
        while not self.closing:
            if not select.select([self.master], [], [], 0.1)[0]:
                continue
            try:
                chunk = os.read(self.master, 65536)
            except OSError:  # nothing holds the terminal any more
                return
            if not chunk:
                return
            self.chunks.append(chunk)

    def hang_up(self) -> None:
        self.closing = True
        self.reader.join()
        os.close(self.master)
        self.master = -1

    def wait(self) -> "tuple[int, str]":
        """drives-run's status, and what the terminal and its standard error showed."""
        try:
            status = self.proc.wait(LIMIT)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
        err = self.proc.stderr.read().decode() if self.proc.stderr else ""
        self.reader.join()
        if self.master >= 0:
            os.close(self.master)
            self.master = -1
        return status, self.shown.decode(errors="replace") + err


SSH = """#!/bin/sh
# Open MPI's ssh, here: the node's share runs on this machine under the node's name;
# the node named in $SSH_HANG never answers. Each start notes its session.
read -r _ _ _ _ _ session _ < /proc/$$/stat
while [ "${1#-}" != "$1" ]; do shift; done
host=$1; shift
if [ "$host" = "$SSH_HANG" ]; then echo "$session hang" >> "$SSH_LOG"; exec sleep 1000; fi
echo "$session" >> "$SSH_LOG"
exec unshare --uts sh -c 'hostname "$0"; eval "$1"' "$host" "$*"
"""
# A rank that measures until it is stopped, and says so then.
RANK = """#!/bin/sh
trap 'echo "rank stopped"; exit 1' HUP INT TERM
echo "rank started"
sleep 1000 & wait
"""


def in_check(_: Terminal, log: pathlib.Path) -> bool:
    return log.exists() and "hang" in log.read_text()


def measuring(t: Terminal, _: pathlib.Path) -> bool:
    return t.shown.count(b"rank started") == 2


def lines_of(shown: bytes) -> List[str]:
    """The terminal's lines, the status line's drawings left out."""
    text = shown.decode(errors="replace").replace("\r\n", "\n")
    return [line.rsplit("\033[K", 1)[-1] for line in text.split("\n")]


# how it ends: the node that hangs, when, what is done then, drives-run's status and the
# line it says
ENDS = {
    "hung node": ("node02", None, None, 4, "node02: no answer within 3 s (--check-timeout)"),
    "Ctrl-C in the check": ("node02", in_check, signal.SIGINT, -signal.SIGINT, ""),
    # MPICH's launcher starts each ssh in a session of its own.
    "hung node, MPICH": ("node02", None, None, 4, "node02: no answer within 3 s (--check-timeout)"),
    "Ctrl-C in the check, MPICH": ("node02", in_check, signal.SIGINT, -signal.SIGINT, ""),
    "Ctrl-C in the run": ("", measuring, signal.SIGINT, -signal.SIGINT, ""),
    "Ctrl-\\": ("", measuring, signal.SIGQUIT, 128 + signal.SIGQUIT, ""),
    "kill -9": ("", measuring, signal.SIGKILL, -signal.SIGKILL, ""),
    "hangup": ("", measuring, "hang up", -signal.SIGHUP, ""),
    ">/dev/full": ("", None, None, 1, "cannot write standard output: No space left on device"),
}


@pytest.fixture(scope="module")
def standins(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """A directory of the stand-in ssh and rank, for the real Open MPI."""
    launcher = shutil.which("mpirun.openmpi") or shutil.which("mpirun") or "mpirun"
    said = subprocess.run([launcher, "--version"], capture_output=True, text=True).stdout
    if not re.search(r"Open ?(MPI|RTE)", said):
        pytest.skip("needs Open MPI's mpirun")
    if subprocess.run(["unshare", "--uts", "true"], capture_output=True).returncode:
        pytest.skip("needs UTS namespaces (unshare --uts) for the nodes' names")
    found = tmp_path_factory.mktemp("standins")
    for name, text in (("ssh", SSH), ("rank", RANK)):
        (found / name).write_text(text)
        (found / name).chmod(0o755)
    return found


@pytest.mark.parametrize("how", list(ENDS))
def test_nothing_left(how: str, standins: pathlib.Path, tmp_path: pathlib.Path) -> None:
    hang, when, action, status, said = ENDS[how]
    log = tmp_path / "ssh.log"
    mpich = how.endswith("MPICH")
    if mpich and not shutil.which("mpiexec.mpich"):
        pytest.skip("needs MPICH's mpiexec.mpich")
    args = ["--binary", str(standins / "rank"), "--mpi", "mpich" if mpich else "openmpi"]
    args += ["--hosts", "node01,node02", "--dir", str(tmp_path / "run")]
    args += ["--check-timeout", "3" if hang and not when else "600", "--"]
    ssh = str(standins / "ssh")
    args += (
        ["-launcher", "ssh", "-launcher-exec", ssh] if mpich else ["--mca", "plm_rsh_agent", ssh]
    )
    with open("/dev/full", "wb") as full:
        stdout = full if how == ">/dev/full" else None
        t = Terminal(args, {"SSH_LOG": str(log), "SSH_HANG": hang}, None, stdout, session=True)
    sessions: Set[int] = set()
    try:
        if when is not None:
            until(lambda: when(t, log), lambda: (how, t.shown))
            sessions |= {s for s in map(session_of, children(t.proc.pid)) if s}
            if action == "hang up":
                t.hang_up()
            else:
                t.proc.send_signal(action)
        got = t.wait()[0]
    finally:
        if t.proc.poll() is None:
            t.proc.kill()
    shown = lines_of(t.shown)
    assert (got, "Traceback" in t.shown.decode(errors="replace")) == (status, False), shown
    assert not said or any(
        line.startswith("drives-run: ") and said in line for line in shown
    ), shown
    sessions |= {int(line.split()[0]) for line in log.read_text().splitlines()}
    assert sessions, "the stand-in ssh never ran"
    until(lambda: not in_sessions(sessions), lambda: f"left running: {in_sessions(sessions)}")


# ---- with stand-ins for the launcher and the benchmark


@pytest.fixture(scope="module")
def fakes(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """A directory of stand-ins on PATH: the launcher, and the commands a test adds."""
    found = tmp_path_factory.mktemp("fakes")
    os.symlink(HERE / "fake_launcher.py", found / "mpirun.openmpi")
    return found


class Run(Terminal):
    """drives-run on the stand-ins, in `directory`; stdin=None: the pty."""

    def __init__(
        self, fakes: pathlib.Path, directory: pathlib.Path, *args: str, mode: str = "",
        env: Optional[Dict[str, str]] = None, **terminal: Any,
    ) -> None:  # fmt: skip
        self.log = directory / "fake.log"
        fake = {
            "PATH": f"{fakes}:{os.environ['PATH']}",
            "FAKE_MODE": mode,
            "FAKE_LOG": str(self.log),
        }
        argv = ["--mpi", "openmpi", "--binary", FAKE, "--dir", str(directory), *args]
        super().__init__(argv, dict(fake, **(env or {})), **terminal)

    def logged(self) -> str:
        return self.log.read_text() if self.log.exists() else ""

    def launchers_gone(self) -> bool:
        """Whether every launcher this run started has ended (zombies aside)."""
        pids = [int(pid) for pid in re.findall(r"^pid (\d+)$", self.logged(), re.M)]
        until(lambda: not any(session_of(pid) for pid in pids), self.logged)
        return True


@pytest.fixture(autouse=True)
def no_run_left() -> Iterator[None]:
    """A test that fails half-way leaves no drives-run running (its guard ends the rest)."""
    yield
    for run in Terminal.every:
        if run.proc.poll() is None:
            run.proc.kill()
            run.proc.wait()
    Terminal.every.clear()


def test_closed_stdout(fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    """| head -1: the run ends, as the launcher would on a broken pipe, also while the
    root prints nothing more (it waits for Enter)."""
    run = Run(fakes, tmp_path, stdin=None)
    assert run.proc.stdout is not None
    run.proc.stdout.readline()
    run.proc.stdout.close()
    status, shown = run.wait()
    assert status == -signal.SIGPIPE and "Traceback" not in shown, (status, shown)
    assert "signal 15" in run.logged() and run.launchers_gone(), run.logged()


@pytest.mark.parametrize(
    "fd, status, said", [(0, 0, ""), (1, 1, "cannot write standard output: Bad file descriptor")]
)
def test_closed_stream(
    fd: int, status: int, said: str, fakes: pathlib.Path, tmp_path: pathlib.Path
) -> None:
    """<&- ends the wait for Enter and >&- the run, where a pipe of drives-run's own that
    took the closed number hung both."""
    got, shown = Run(fakes, tmp_path, terminal=False, closed=fd).wait()
    assert (got, said in shown, "Traceback" in shown) == (status, True, False), shown


@pytest.mark.parametrize("terminal", [True, False])
def test_launcher_killed(terminal: bool, fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    status, shown = Run(fakes, tmp_path, mode="die", terminal=terminal).wait()
    assert status == 128 + signal.SIGTERM, shown


@pytest.mark.parametrize("columns", [12, 1, 100])
def test_status_line_width(columns: int, fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    """Every status line fits the terminal's width, stdout elsewhere; on a terminal too
    narrow for any, there is none."""
    with open(tmp_path / "out", "w") as out:
        run = Run(fakes, tmp_path, columns=columns, stdout=out, env={"FAKE_TICKS": "1"})
        drawn = lambda: b"\r\033[Kdrives-run" in run.shown  # noqa: E731
        until(drawn if columns > 1 else lambda: os.path.getsize(out.name) > 400, lambda: run.shown)
        run.proc.terminate()
        status, shown = run.wait()
    lines = [piece for piece in shown.split("\r\033[K") if piece.startswith("drives-run")]
    assert all(len(line) < columns for line in lines), lines
    assert bool(lines) == (columns > 1), shown


def test_enter_typed(fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    run = Run(fakes, tmp_path, stdin=None)
    assert run.proc.stdout is not None
    for line in run.proc.stdout:
        if line.startswith(b"Press Enter"):
            os.write(run.master, b"yes\r")
    status, shown = run.wait()
    assert status == 0 and "typed: 'yes\\n'" in shown, shown


def test_tagged_check(fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    """A launcher that tags every line of the check's output still gets its answers read."""
    status, shown = Run(fakes, tmp_path, "--hosts", "a,b", mode="tag").wait()
    assert status == 0, shown


def records(directory: pathlib.Path) -> Dict[str, dict]:
    return {path.name: json.loads(path.read_text()) for path in directory.glob("*.record.json")}


def test_records_of_a_set(fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    """Ctrl-C in the second run of three: each run's record beside the result file its
    root made, the second's with status 130, the second left out of the summary for it,
    no third run, the set ended by SIGINT; each record UTF-8, though an MPI setting is not."""
    env = {"FAKE_TICKS": "2", "OMPI_MCA_orte_tag": "a\udcff"}
    run = Run(fakes, tmp_path, "--repeat", "3", env=env)
    assert run.proc.stdout is not None
    while not run.proc.stdout.readline().startswith(b"The system spent"):
        pass
    run.proc.send_signal(signal.SIGINT)
    run.proc.stdout.read()
    status, shown = run.wait()
    assert status == -signal.SIGINT and "Traceback" not in shown, shown
    assert "run 2 is left out of the summary: it was ended by signal 2" in shown, shown
    found = {
        name: (r["repeat"]["run"], r["status"], r["finished"])
        for name, r in records(tmp_path).items()
    }
    stem = "results_drives_macos_clusters_mx @ fake @ local date 2026.01.01 time 00.00.0"
    assert found == {f"{stem}1.record.json": (1, 0, True), f"{stem}2.record.json": (2, 130, True)}


def test_record_not_written(fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    """A final record that cannot be written is a warning, the run's status stands, and
    the record written at the start stays, unfinished, for a reader to find."""
    run = Run(fakes, tmp_path, env={"FAKE_RESULT": "/proc/self/none/result.txt"})
    assert run.proc.stdout is not None
    run.proc.stdout.read()
    status, shown = run.wait()
    assert status == 0 and "cannot write the run's record /proc/self/none/result" in shown
    assert [r["finished"] for r in records(tmp_path).values()] == [False], records(tmp_path)


# A Mac's commands as far as drives-run and its check ask them.
MAC = {
    "uname": "case $1 in -s) echo Darwin ;; -r) echo 23.5.0 ;; -m) echo arm64 ;; "
    "*) echo mac-mini ;; esac",
    "brew": "echo {prefix}",
    "sw_vers": "case $1 in -productName) echo macOS ;; *) echo 14.5 ;; esac",
    "sysctl": 'case $2 in machdep.cpu.brand_string) echo "Apple M2" ;; hw.ncpu) echo 8 ;; '
    'hw.memsize) echo 17179869184 ;; vm.loadavg) echo "{{ 1.50 1.25 1.00 }}" ;; esac',
    "df": 'echo "Filesystem 1024-blocks Used Available Capacity Mounted on"; '
    'echo "/dev/disk3s5 488245288 1 4000000 1% /"',
    "diskutil": 'printf "   Type (Bundle):             apfs\\n   Device / Media Name:       '
    'APPLE SSD AP0512Z\\n"',
}
# fmt: off
MAC_NODE = {"host": "mac-mini", "os": "macOS 14.5", "kernel": "Darwin 23.5.0", "machine": "arm64",
            "cpu": "Apple M2", "cores": 8, "memory_bytes": 17179869184, "fs_type": "apfs",
            "device": "/dev/disk3s5", "device_model": "APPLE SSD AP0512Z",
            "free_bytes": 4096000000, "load": [1.5, 1.25, 1.0]}
# fmt: on


def test_macos(fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    """On a stand-in macOS: a short TMPDIR for the launcher, more open files, Homebrew's
    prefix for Open MPI's remote daemons, the .local and firewall hints, and what the
    check finds of the Mac for the run's record."""
    mac = tmp_path / "mac"
    mac.mkdir()
    os.symlink(HERE / "fake_launcher.py", mac / "mpirun.openmpi")
    for name, body in MAC.items():
        (mac / name).write_text(f"#!/bin/sh\n{body.format(prefix=tmp_path)}\n")
        (mac / name).chmod(0o755)
    run = Run(mac, tmp_path, "-n", "40", env={"TMPDIR": "/var/folders/" + "T" * 50})
    assert run.proc.stdout is not None
    run.proc.stdout.read()
    status, shown = run.wait()
    assert status == 0 and "TMPDIR /tmp\n" in run.logged(), (shown, run.logged())
    assert int(re.findall(r"nofile (\d+)", run.logged())[-1]) >= 64 + 8 * 40, run.logged()
    node = json.loads(next(tmp_path.glob("results_*.record.json")).read_text())["nodes"][0]
    assert MAC_NODE.items() <= node.items(), node
    dry = subprocess.run(
        [DRIVES_RUN, "--binary", FAKE, "--hosts", "n1.local,n2", "--dry-run"],
        capture_output=True,
        text=True,
        env=dict(os.environ, PATH=f"{mac}:{os.environ['PATH']}"),
    )
    assert f"--prefix {tmp_path} " in dry.stdout and "n1.local: a name ending in" in dry.stderr
    status, shown = Run(
        mac, tmp_path, "--hosts", "a,b", "--check-timeout", "2", mode="quiet"
    ).wait()
    assert status == 4 and "macOS firewall" in shown, (status, shown)


def test_one_run_per_directory(fakes: pathlib.Path, tmp_path: pathlib.Path) -> None:
    """A second run in a directory in use is refused, naming the run that holds it; the
    directory is free again once that run ends, however it ends."""
    first = Run(fakes, tmp_path, env={"FAKE_TICKS": "1"})
    assert first.proc.stdout is not None
    first.proc.stdout.readline()
    second = Run(fakes, tmp_path / "..", "--dir", str(tmp_path))
    status, shown = second.wait()
    assert status == 4 and f"is in use by another run (process {first.proc.pid}: " in shown
    first.proc.kill()
    first.wait()
    status, shown = Run(fakes, tmp_path, "--check-timeout", "60").wait()
    assert status == 0, shown
