"""The run itself, on one path whether or not there is a terminal: the
launcher as drives-run's child in a session of its own, its output passed
on (and followed by the status line where standard error is a terminal),
the signals drives-run gets handed on to it, and its end taken as a shell
takes a command's. One loop over the pipes; no thread, and no wait that is
not a wait for something.

drives-run stays in the terminal's foreground group and the launcher does
not: so a Ctrl-C reaches the launcher once, through drives-run, and
drives-run knows of it. The launcher then cannot read the terminal, so
drives-run reads it and hands on what is typed (the wait for Enter).

Whatever the launcher starts on this machine stays in its session (Open
MPI puts each ssh in a process group of its own, but not in a session of
its own), so the session is what drives-run ends: when the launcher ends,
when drives-run gives up on it, and, through a guard process of its own,
when drives-run itself is killed.
"""

import errno
import os
import select
import signal
import subprocess
import sys
import time
from typing import Callable, Dict, IO, List, Optional, Set, Tuple, Union

from .report import PRESS_ENTER
from .status_line import StatusLine
from .statuses import ExitStatus

HANDED_ON = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)
# What the launcher is sent for each: it dumps no core for a user's Ctrl-\.
SENT_FOR: Dict[int, int] = {signal.SIGQUIT: signal.SIGTERM}
CHUNK = 65536
TICK = 1.0  # seconds between redraws of the status line
GRACE = 3.0  # seconds the processes of an ended session have before SIGKILL
POLL = 0.05  # seconds between looks at processes that are not drives-run's children

Input = Union[int, IO[bytes]]


class Outcome:
    """How a run ended: the launcher's status (negative: killed by that
    signal), the signal drives-run got, whether standard output closed, and
    why it could not be written where it failed otherwise."""

    def __init__(
        self,
        returncode: int,
        signalled: Optional[int] = None,
        broken: bool = False,
        stdout: bytes = b"",
        stderr: bytes = b"",
        unwritable: Optional[str] = None,
    ) -> None:
        self.returncode, self.signalled, self.broken = returncode, signalled, broken
        self.stdout, self.stderr = stdout, stderr  # all the run printed, for its record
        self.unwritable = unwritable

    def status(self) -> int:
        """The status a shell would see: 128 + N for a run ended by signal N."""
        if self.signalled:
            return ExitStatus.SIGNALLED + self.signalled
        if self.broken:
            return ExitStatus.SIGNALLED + signal.SIGPIPE
        if self.unwritable:
            return ExitStatus.STOPPED
        if self.returncode < 0:
            return ExitStatus.SIGNALLED - self.returncode
        return self.returncode

    def stop_signal(self) -> Optional[int]:
        """The signal drives-run should end by, as its own was: None where
        it ends with a status."""
        if self.signalled:
            return self.signalled
        return signal.SIGPIPE if self.broken else None

    def ends_set(self) -> bool:
        """Whether no further run of a set should start."""
        return bool(self.stop_signal() or self.unwritable)


class Interrupted(Exception):
    """A signal ended what drives-run was doing before the run."""

    def __init__(self, number: int) -> None:
        super().__init__(f"signal {number}")
        self.signal = number


def standard_streams() -> None:
    """Gives each of standard input, output and error that is closed (`<&-`)
    /dev/null, read-only: else the first pipe made takes its number, and the
    launcher reads it for ever, or the report goes into it. Read-only, so
    that writing to a closed output fails as it would."""
    for fd, (name, mode) in enumerate((("stdin", "r"), ("stdout", "w"), ("stderr", "w"))):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDONLY)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
            os.set_inheritable(fd, True)
        if getattr(sys, name) is None:
            setattr(sys, name, open(fd, mode, closefd=False))


def quiet_exit() -> None:
    """Flushes what is left for the standard streams; where they cannot be
    written any more, Python's own flush at exit must not fail either."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except OSError:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, stream.fileno())
            os.close(null)


# ---- sessions


def live_pids() -> List[int]:
    """Every process of this machine that drives-run may see."""
    if os.path.isdir("/proc/self"):
        return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]
    try:
        listed = subprocess.run(
            ["ps", "-A", "-o", "pid="], capture_output=True, text=True, check=False
        ).stdout
    except OSError:
        return []
    return [int(word) for word in listed.split() if word.isdigit()]


def session_of(pid: int) -> Optional[int]:
    """The session `pid` runs in; None for a zombie or a process gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stream:
            fields = stream.read().rsplit(b")", 1)[1].split()
        return None if fields[0] == b"Z" else int(fields[3])
    except FileNotFoundError:
        pass
    except (OSError, IndexError, ValueError):
        return None
    try:
        return os.getsid(pid)
    except OSError:
        return None


def members(sessions: Set[int]) -> List[int]:
    """The live processes of `sessions`, each process looked at once: a
    launcher that started thousands of sessions (an ssh each) has as many
    processes."""
    return [pid for pid in live_pids() if session_of(pid) in sessions]


def with_offspring(sessions: Set[int]) -> Set[int]:
    """`sessions` and the sessions their processes started: MPICH's launcher
    puts each ssh in a session of its own. Read from /proc; elsewhere
    `sessions` alone."""
    table: Dict[int, Tuple[int, int]] = {}
    for pid in live_pids():
        try:
            with open(f"/proc/{pid}/stat", "rb") as stream:
                fields = stream.read().rsplit(b")", 1)[1].split()
            table[pid] = (int(fields[1]), int(fields[3]))
        except (OSError, IndexError, ValueError):
            continue
    found, grown = set(sessions), True
    while grown:
        grown = False
        for parent, session in table.values():
            if session not in found and table.get(parent, (0, 0))[1] in found:
                found.add(session)
                grown = True
    return found


def end_sessions(sessions: Set[int], grace: float = GRACE) -> None:
    """Ends every process of `sessions`: SIGTERM, then SIGKILL for what is
    left after `grace` seconds. Returns once none is left (or after a
    further `grace` where the system will not let one go). The sessions
    their processes started are ended with them, found while those
    processes are still there to lead to them."""
    sessions = set(sessions)
    for stop, limit in ((signal.SIGTERM, grace), (signal.SIGKILL, grace)):
        sessions |= with_offspring(sessions)
        left = members(sessions)
        for pid in left:
            try:
                os.kill(pid, stop)
            except OSError:
                pass
        deadline = time.monotonic() + limit
        while left and time.monotonic() < deadline:
            time.sleep(POLL)
            left = members(sessions)
        if not left:
            return


class Guard:
    """A process of drives-run's own, in a session of its own, that ends the
    sessions drives-run names to it once drives-run is gone, however it
    went (kill -9 among the ways): the launcher never outlives drives-run.
    It learns of each session through a pipe, and drives-run's end closes
    the pipe."""

    def __init__(self) -> None:
        read, self.pipe = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            code = 1
            try:
                os.close(self.pipe)
                watch(read)
                code = 0
            finally:
                os._exit(code)
        os.close(read)

    def tell(self, word: str, session: int) -> None:
        try:
            os.write(self.pipe, f"{word} {session}\n".encode())
        except OSError:
            pass

    def watch(self, session: int) -> None:
        self.tell("watch", session)

    def release(self, session: int) -> None:
        self.tell("release", session)

    def close(self) -> None:
        """drives-run ends normally: the guard ends with nothing to do."""
        os.close(self.pipe)
        try:
            os.waitpid(self.pid, 0)
        except ChildProcessError:
            pass


def watch(read: int) -> None:
    """The guard's life: alone, deaf to the terminal, following the pipe."""
    os.setsid()
    signal.set_wakeup_fd(-1)
    for number in HANDED_ON + (signal.SIGCHLD, signal.SIGTTIN, signal.SIGPIPE):
        signal.signal(number, signal.SIG_IGN if number in HANDED_ON else signal.SIG_DFL)
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    for fd in open_fds():
        if fd > 2 and fd != read:
            try:
                os.close(fd)
            except OSError:
                pass
    sessions: Set[int] = set()
    pending = b""
    while True:
        data = os.read(read, 4096)
        if not data:
            break
        pending += data
        *lines, pending = pending.split(b"\n")
        for line in lines:
            word, _, session = line.decode().partition(" ")
            (sessions.add if word == "watch" else sessions.discard)(int(session))
    if sessions:
        end_sessions(sessions)


def open_fds() -> List[int]:
    for where in ("/proc/self/fd", "/dev/fd"):
        try:
            return [int(name) for name in os.listdir(where)]
        except OSError:
            continue
    return list(range(3, 256))


# ---- signals


class Signals:
    """While children run: INT, TERM, HUP and QUIT noted and handed on to
    the one that runs, every signal (CHLD among them) waking the loop
    through a pipe, and the guard watching their sessions."""

    def __init__(self) -> None:
        self.child: Optional[int] = None
        self.received: Optional[int] = None
        self.wake, self.waker = os.pipe()
        for fd in (self.wake, self.waker):
            os.set_blocking(fd, False)
        self.saved: Dict[int, object] = {}
        self.saved_fd = -1
        self.guard: Optional[Guard] = None
        # The sessions the child's processes started, found before a signal
        # handed on may end the child that leads to them.
        self.offspring: Set[int] = set()

    def __enter__(self) -> "Signals":
        self.guard = Guard()
        self.saved_fd = signal.set_wakeup_fd(self.waker)
        for number in HANDED_ON:
            self.saved[number] = signal.signal(number, self.hand_on)
        self.saved[signal.SIGCHLD] = signal.signal(signal.SIGCHLD, lambda *_: None)
        # A read of the terminal from the background then fails (EIO)
        # instead of stopping drives-run, and is tried again later.
        self.saved[signal.SIGTTIN] = signal.signal(signal.SIGTTIN, signal.SIG_IGN)
        return self

    def __exit__(self, *_: object) -> None:
        for number, handler in self.saved.items():
            signal.signal(number, handler)  # type: ignore[arg-type]
        signal.set_wakeup_fd(self.saved_fd)
        os.close(self.wake)
        os.close(self.waker)
        if self.guard is not None:
            self.guard.close()

    def hand_on(self, number: int, _frame: object) -> None:
        self.received = self.received or number
        if self.child is not None:
            self.offspring |= with_offspring({self.child})
            try:
                os.kill(self.child, SENT_FOR.get(number, number))
            except ProcessLookupError:
                pass

    def drain(self) -> None:
        try:
            while os.read(self.wake, 512):
                pass
        except BlockingIOError:
            pass

    def start(self, args: List[str], **popen: object) -> "subprocess.Popen[bytes]":
        """A child in a session of its own, watched by the guard; drives-run's
        signals go to it from now on."""
        child: "subprocess.Popen[bytes]" = subprocess.Popen(  # type: ignore[call-overload]
            args, start_new_session=True, **popen
        )
        if self.guard is not None:
            self.guard.watch(child.pid)
        self.child = child.pid
        if self.received:  # before the child could be told
            self.hand_on(self.received, None)
        return child

    def finish(self, child: "subprocess.Popen[bytes]", grace: float = GRACE) -> None:
        """Ends what is left of the child's session, then takes the child's
        status. Until then the child's pid, the session's number, cannot
        be given to another process."""
        self.child = None
        end_sessions({child.pid} | self.offspring, grace)
        self.offspring = set()
        if child.returncode is None:
            child.wait()
        if self.guard is not None:
            self.guard.release(child.pid)


def exited(child: "subprocess.Popen[bytes]") -> bool:
    """Whether the child ended, leaving it unreaped (see Signals.finish)."""
    if child.returncode is not None:
        return True
    try:
        return os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


def write_all(fd: int, data: bytes) -> Optional[OSError]:
    """Writes all of `data`; what stopped it (EPIPE: the reader is gone)."""
    view = memoryview(data)
    while view:
        try:
            view = view[os.write(fd, view) :]
        except BlockingIOError:
            select.select([], [fd], [])
        except OSError as error:
            return error
    return None


class Pump:
    """The loop: the launcher's output to drives-run's, standard input to
    the launcher where it is a terminal, the status line, the signals.
    poll() rather than a selector: it tells of a standard output whose
    reader went away (POLLERR) without anything written to it."""

    def __init__(
        self, process: "subprocess.Popen[bytes]", signals: Signals, status: Optional[StatusLine]
    ) -> None:
        self.process, self.signals, self.status = process, signals, status
        self.poll = select.poll()
        self.handlers: Dict[int, Callable[[], None]] = {}
        assert process.stdout is not None and process.stderr is not None
        self.out, self.err = process.stdout.fileno(), process.stderr.fileno()
        self.watch(self.out, select.POLLIN, self.from_stdout)
        self.watch(self.err, select.POLLIN, self.from_stderr)
        self.watch(signals.wake, select.POLLIN, signals.drain)
        self.watch(1, 0, self.stdout_gone)
        self.stdout_shown = os.isatty(1)  # then on the status line's terminal too
        self.printed: Dict[int, List[bytes]] = {1: [], 2: []}
        self.broken = self.no_stderr = False
        self.unwritable: Optional[str] = None
        self.typed, self.input_ended, self.input_paused = b"", False, False
        if process.stdin is not None:
            os.set_blocking(process.stdin.fileno(), False)
            self.watch(0, select.POLLIN, self.from_stdin)

    def watch(self, fd: int, events: int, handler: Callable[[], None]) -> None:
        self.poll.register(fd, events)
        self.handlers[fd] = handler

    def unwatch(self, fd: int) -> None:
        if fd in self.handlers:
            self.poll.unregister(fd)
            del self.handlers[fd]

    def run(self) -> Outcome:
        while not exited(self.process):
            waiting = self.status is not None or self.input_paused
            for fd, _ in self.poll.poll(TICK * 1000 if waiting else None):
                if fd in self.handlers:
                    self.handlers[fd]()
            if self.input_paused:
                self.resume_input()
            self.draw()
        self.drain()
        self.hide()
        self.signals.finish(self.process)
        return Outcome(
            self.process.returncode,
            self.signals.received,
            self.broken,
            b"".join(self.printed[1]),
            b"".join(self.printed[2]),
            self.unwritable,
        )

    def end_launcher(self) -> None:
        try:
            os.kill(self.process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass

    # ---- output

    def from_stdout(self, data: Optional[bytes] = None) -> None:
        data = self.read(self.out) if data is None else data
        self.printed[1].append(data)
        if self.status is not None:
            self.status.read(data)
        if self.broken or self.unwritable or not data:
            return
        if self.stdout_shown:
            self.hide()
        failed = write_all(1, data)
        if failed is not None and failed.errno == errno.EPIPE:
            self.stdout_gone()
        elif failed is not None:
            # The report cannot reach the user: the run ends, its record
            # says why.
            self.unwritable = f"cannot write standard output: {failed.strerror}"
            self.unwatch(1)
            self.end_launcher()
        elif self.stdout_shown and self.status is not None:
            self.status.wrote(data)
        elif self.process.stdin is not None and PRESS_ENTER.encode() in data:
            # The report goes elsewhere (a file), and the root waits for the
            # Enter the user types here: the user must see that it does.
            self.hide()
            write_all(2, PRESS_ENTER.encode() + b"\n")

    def stdout_gone(self) -> None:
        """As if the launcher had written to the closed pipe itself: the run
        ends, and nothing more is said."""
        self.unwatch(1)
        if not self.broken:
            self.broken = True
            self.end_launcher()

    def from_stderr(self, data: Optional[bytes] = None) -> None:
        data = self.read(self.err) if data is None else data
        self.printed[2].append(data)
        if self.broken or self.no_stderr or not data:
            return
        self.hide()
        if write_all(2, data) is not None:
            self.no_stderr, self.status = True, None
        elif self.status is not None:
            self.status.wrote(data)

    def read(self, fd: int) -> bytes:
        data = os.read(fd, CHUNK)
        if not data:
            self.unwatch(fd)
        return data

    def drain(self) -> None:
        """What the launcher wrote before it ended. Whatever it left running
        may hold the pipes open: they are read as far as they hold data,
        not to their end."""
        for fd, take in ((self.out, self.from_stdout), (self.err, self.from_stderr)):
            os.set_blocking(fd, False)
            try:
                while data := os.read(fd, CHUNK):
                    take(data)
            except BlockingIOError:
                pass
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()

    # ---- the status line

    def hide(self) -> None:
        if self.status is not None:
            self.write_status(self.status.hide())

    def draw(self) -> None:
        if self.status is not None and not self.broken:
            self.write_status(self.status.draw())

    def write_status(self, data: bytes) -> None:
        if data and write_all(2, data) is not None:
            self.no_stderr, self.status = True, None

    # ---- standard input, where it is a terminal

    def from_stdin(self) -> None:
        try:
            data = os.read(0, CHUNK)
        except OSError as error:
            if error.errno != errno.EIO:
                raise
            # drives-run is in the background, or the terminal hung up: it
            # is not drives-run's to read now.
            self.unwatch(0)
            self.input_paused = not self.signals.received
            return
        if not data:
            self.unwatch(0)
            self.input_ended = True
        self.typed += data
        self.to_launcher()

    def resume_input(self) -> None:
        self.input_paused = False
        self.watch(0, select.POLLIN, self.from_stdin)

    def to_launcher(self) -> None:
        assert self.process.stdin is not None
        pipe = self.process.stdin.fileno()
        try:
            self.typed = self.typed[os.write(pipe, self.typed) :] if self.typed else b""
        except BlockingIOError:
            pass
        except BrokenPipeError:
            self.typed, self.input_ended = b"", True
        if self.typed and pipe not in self.handlers:
            self.watch(pipe, select.POLLOUT, self.to_launcher)
        elif not self.typed and pipe in self.handlers:
            self.unwatch(pipe)
        if not self.typed and self.input_ended:
            self.process.stdin.close()


def run(
    args: List[str],
    signals: Signals,
    status: Optional[StatusLine] = None,
    env: Optional[Dict[str, str]] = None,
    answer_enter: bool = False,
) -> Outcome:
    """Runs the launcher to its end; the Outcome. `signals`, entered, hands
    drives-run's signals on to it; `status`, a StatusLine, is drawn on
    standard error. With `answer_enter`, the root's wait for Enter ends at
    once: its standard input is empty."""
    relay = os.isatty(0) and not answer_enter
    stdin = subprocess.DEVNULL if answer_enter else subprocess.PIPE if relay else None
    process = signals.start(
        args, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )
    try:
        return Pump(process, signals, status).run()
    finally:
        if process.returncode is None:
            signals.finish(process)


def collect(
    args: List[str],
    env: Optional[Dict[str, str]],
    signals: Signals,
    timeout: float,
    stdin: Input = subprocess.DEVNULL,
    waiting: Optional[Callable[[bytes], None]] = None,
) -> Tuple[Optional[int], str, str]:
    """Runs a short command in a session of its own, standard input empty
    or `stdin`, a file; (its status, or None where it outlived `timeout`
    seconds, its standard output, its standard error). `waiting` is shown
    each piece of standard output as it comes, and b"" once a second. A
    signal drives-run gets meanwhile, or the timeout, ends the command's
    whole session; the signal is then raised as Interrupted."""
    child = signals.start(
        args, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )
    assert child.stdout is not None and child.stderr is not None
    out_fd, err_fd = child.stdout.fileno(), child.stderr.fileno()
    parts: Dict[int, List[bytes]] = {out_fd: [], err_fd: []}
    poll = select.poll()
    for fd in (signals.wake, out_fd, err_fd):
        poll.register(fd, select.POLLIN)
    still_open = {out_fd, err_fd}
    deadline = time.monotonic() + timeout
    timed_out = False
    try:
        while still_open and not signals.received and not timed_out:
            left = max(0.0, deadline - time.monotonic())
            for fd, _ in poll.poll(1000 * min(left, TICK if waiting else left)):
                if fd == signals.wake:
                    signals.drain()
                    continue
                data = os.read(fd, CHUNK)
                parts[fd].append(data)
                if waiting is not None and fd == out_fd:
                    waiting(data)
                if not data:
                    poll.unregister(fd)
                    still_open.discard(fd)
            if waiting is not None:
                waiting(b"")
            timed_out = time.monotonic() >= deadline
        if signals.received:
            raise Interrupted(signals.received)
        while not timed_out and not exited(child):
            # Its output closed: what is left is its own end.
            poll.poll(1000 * min(TICK, max(0.0, deadline - time.monotonic())))
            signals.drain()
            if signals.received:
                raise Interrupted(signals.received)
            timed_out = time.monotonic() >= deadline
    finally:
        signals.finish(child)
        child.stdout.close()
        child.stderr.close()
    out, err = (b"".join(parts[fd]).decode("utf-8", "replace") for fd in (out_fd, err_fd))
    return None if timed_out else child.returncode, out, err
