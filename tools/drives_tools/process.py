"""The run itself, on one path whether or not there is a terminal: the
launcher as drives-run's child in a process group of its own, its output
passed on (and followed by the status line where standard error is a
terminal), the signals drives-run gets handed on to it, and its end taken
as a shell takes a command's. One loop over the pipes; no thread, and no
wait that is not a wait for something.

drives-run stays in the terminal's foreground group and the launcher does
not: so a Ctrl-C reaches the launcher once, through drives-run, and
drives-run knows of it. The launcher then cannot read the terminal, so
drives-run reads it and hands on what is typed (the wait for Enter).
"""

import errno
import os
import select
import selectors
import signal
import subprocess
import time

from .statuses import ExitStatus

HANDED_ON = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
CHUNK = 65536
TICK = 1.0  # seconds between redraws of the status line


class Outcome:
    """How a run ended: the launcher's status (negative: killed by that
    signal), the signal drives-run got, and whether standard output closed."""

    def __init__(self, returncode, signalled=None, broken=False, stdout=b"", stderr=b""):
        self.returncode, self.signalled, self.broken = returncode, signalled, broken
        self.stdout, self.stderr = stdout, stderr  # all the run printed, for its record

    def status(self):
        """The status a shell would see: 128 + N for a run ended by signal N."""
        if self.signalled:
            return ExitStatus.SIGNALLED + self.signalled
        if self.broken:
            return ExitStatus.SIGNALLED + signal.SIGPIPE
        if self.returncode < 0:
            return ExitStatus.SIGNALLED - self.returncode
        return self.returncode

    def stop_signal(self):
        """The signal drives-run should end by, as its own was: None where
        it ends with a status."""
        if self.signalled:
            return self.signalled
        return signal.SIGPIPE if self.broken else None


class Interrupted(Exception):
    """A signal ended what drives-run was doing before the run."""

    def __init__(self, number):
        super().__init__(f"signal {number}")
        self.signal = number


class Signals:
    """While a child runs: INT, TERM and HUP noted and handed on to it, and
    every signal (CHLD among them) wakes the loop through a pipe."""

    def __init__(self):
        self.child = None
        self.received = None
        self.wake, self.waker = os.pipe()
        for fd in (self.wake, self.waker):
            os.set_blocking(fd, False)
        self.saved = {}

    def __enter__(self):
        self.saved_fd = signal.set_wakeup_fd(self.waker)
        for number in HANDED_ON:
            self.saved[number] = signal.signal(number, self.hand_on)
        self.saved[signal.SIGCHLD] = signal.signal(signal.SIGCHLD, lambda *_: None)
        # A read of the terminal from the background then fails (EIO)
        # instead of stopping drives-run, and is tried again later.
        self.saved[signal.SIGTTIN] = signal.signal(signal.SIGTTIN, signal.SIG_IGN)
        return self

    def __exit__(self, *_):
        for number, handler in self.saved.items():
            signal.signal(number, handler)
        signal.set_wakeup_fd(self.saved_fd)
        os.close(self.wake)
        os.close(self.waker)

    def hand_on(self, number, _frame):
        self.received = self.received or number
        if self.child is not None:
            try:
                os.kill(self.child, number)
            except ProcessLookupError:
                pass

    def drain(self):
        try:
            while os.read(self.wake, 512):
                pass
        except BlockingIOError:
            pass


def write_all(fd, data):
    """Writes all of `data`; False where the reader is gone (EPIPE)."""
    view = memoryview(data)
    while view:
        try:
            view = view[os.write(fd, view) :]
        except BlockingIOError:
            select.select([], [fd], [])
        except BrokenPipeError:
            return False
    return True


class Pump:
    """The loop: the launcher's output to drives-run's, standard input to
    the launcher where it is a terminal, the status line, the signals.
    poll() rather than a selector: it tells of a standard output whose
    reader went away (POLLERR) without anything written to it."""

    def __init__(self, process, signals, status):
        self.process, self.signals, self.status = process, signals, status
        self.poll, self.handlers = select.poll(), {}
        self.watch(process.stdout.fileno(), select.POLLIN, self.from_stdout)
        self.watch(process.stderr.fileno(), select.POLLIN, self.from_stderr)
        self.watch(signals.wake, select.POLLIN, signals.drain)
        self.watch(1, 0, self.stdout_gone)
        self.stdout_shown = os.isatty(1)  # then on the status line's terminal too
        self.printed = {1: [], 2: []}
        self.broken = self.no_stderr = False
        self.typed, self.input_ended, self.input_paused = b"", False, False
        if process.stdin is not None:
            os.set_blocking(process.stdin.fileno(), False)
            self.watch(0, select.POLLIN, self.from_stdin)

    def watch(self, fd, events, handler):
        self.poll.register(fd, events)
        self.handlers[fd] = handler

    def unwatch(self, fd):
        self.poll.unregister(fd)
        del self.handlers[fd]

    def run(self):
        while self.process.poll() is None:
            waiting = self.status is not None or self.input_paused
            for fd, _ in self.poll.poll(TICK * 1000 if waiting else None):
                if fd in self.handlers:
                    self.handlers[fd]()
            if self.input_paused:
                self.resume_input()
            self.draw()
        self.drain()
        self.hide()
        return Outcome(
            self.process.returncode,
            self.signals.received,
            self.broken,
            *(b"".join(self.printed[fd]) for fd in (1, 2)),
        )

    # ---- output

    def from_stdout(self, data=None):
        data = self.read(self.process.stdout) if data is None else data
        self.printed[1].append(data)
        if self.status is not None:
            self.status.read(data)
        if self.broken or not data:
            return
        if self.stdout_shown:
            self.hide()
        if not write_all(1, data):
            self.stdout_gone()
        elif self.stdout_shown and self.status is not None:
            self.status.wrote(data)

    def stdout_gone(self):
        """As if the launcher had written to the closed pipe itself: the run
        ends, and nothing more is said."""
        self.unwatch(1)
        if not self.broken:
            self.broken = True
            os.kill(self.process.pid, signal.SIGTERM)

    def from_stderr(self, data=None):
        data = self.read(self.process.stderr) if data is None else data
        self.printed[2].append(data)
        if self.broken or self.no_stderr or not data:
            return
        self.hide()
        if not write_all(2, data):
            self.no_stderr, self.status = True, None
        elif self.status is not None:
            self.status.wrote(data)

    def read(self, stream):
        data = os.read(stream.fileno(), CHUNK)
        if not data:
            self.unwatch(stream.fileno())
        return data

    def drain(self):
        """What the launcher wrote before it ended. Whatever it left running
        may hold the pipes open: they are read as far as they hold data,
        not to their end."""
        for stream, take in (
            (self.process.stdout, self.from_stdout),
            (self.process.stderr, self.from_stderr),
        ):
            os.set_blocking(stream.fileno(), False)
            try:
                while data := os.read(stream.fileno(), CHUNK):
                    take(data)
            except BlockingIOError:
                pass
            stream.close()

    # ---- the status line

    def hide(self):
        if self.status is not None:
            self.write_status(self.status.hide())

    def draw(self):
        if self.status is not None and not self.broken:
            self.write_status(self.status.draw())

    def write_status(self, data):
        if data and not write_all(2, data):
            self.no_stderr, self.status = True, None

    # ---- standard input, where it is a terminal

    def from_stdin(self):
        try:
            data = os.read(0, CHUNK)
        except OSError as error:
            if error.errno != errno.EIO:
                raise
            # drives-run is in the background: the terminal is not its to read now.
            self.unwatch(0)
            self.input_paused = True
            return
        if not data:
            self.unwatch(0)
            self.input_ended = True
        self.typed += data
        self.to_launcher()

    def resume_input(self):
        self.input_paused = False
        self.watch(0, select.POLLIN, self.from_stdin)

    def to_launcher(self):
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


def run(args, signals, status=None, env=None, answer_enter=False):
    """Runs the launcher to its end; the Outcome. `signals`, entered, hands
    drives-run's signals on to it; `status`, a StatusLine, is drawn on
    standard error. With `answer_enter`, the root's wait for Enter ends at
    once: its standard input is empty."""
    relay = os.isatty(0) and not answer_enter
    stdin = subprocess.DEVNULL if answer_enter else subprocess.PIPE if relay else None
    process = subprocess.Popen(
        args,
        stdin=stdin,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        preexec_fn=os.setpgrp,
    )
    signals.child = process.pid
    try:
        if signals.received:  # before the launcher could be told
            os.kill(process.pid, signals.received)
        return Pump(process, signals, status).run()
    finally:
        signals.child = None


def end_group(child):
    """Ends a child started in a session of its own, and everything it
    started (ssh among them)."""
    for stop, grace in ((signal.SIGTERM, 3), (signal.SIGKILL, 10)):
        try:
            os.killpg(child.pid, stop)
        except ProcessLookupError:
            return
        try:
            child.wait(grace)
            return
        except subprocess.TimeoutExpired:
            continue


def collect(args, env, signals, timeout, stdin=subprocess.DEVNULL):
    """Runs a short command in a session of its own, standard input empty
    or `stdin`, a file; (its status, or None where it outlived `timeout`
    seconds, its standard output, its standard error). A signal drives-run
    gets meanwhile, or the timeout, ends the command's whole process group;
    the signal is then raised as Interrupted."""
    child = subprocess.Popen(
        args,
        stdin=stdin,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
        env=env,
    )
    out_fd, err_fd = child.stdout.fileno(), child.stderr.fileno()
    parts = {out_fd: [], err_fd: []}
    still_open = set(parts)
    selector = selectors.DefaultSelector()
    for fd in [signals.wake] + list(parts):
        selector.register(fd, selectors.EVENT_READ)
    deadline = time.monotonic() + timeout
    timed_out = False
    try:
        while still_open and not signals.received and not timed_out:
            for key, _ in selector.select(max(0.0, deadline - time.monotonic())):
                if key.fd == signals.wake:
                    signals.drain()
                    continue
                data = os.read(key.fd, CHUNK)
                parts[key.fd].append(data)
                if not data:
                    selector.unregister(key.fd)
                    still_open.discard(key.fd)
            timed_out = time.monotonic() >= deadline
        if signals.received:
            raise Interrupted(signals.received)
        if not timed_out:
            try:
                child.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                timed_out = True
    finally:
        if child.returncode is None:
            end_group(child)
        selector.close()
        child.stdout.close()
        child.stderr.close()
    out, err = (b"".join(parts[fd]).decode("utf-8", "replace") for fd in (out_fd, err_fd))
    return None if timed_out else child.returncode, out, err
