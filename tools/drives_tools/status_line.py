"""The status line: one line on the terminal of standard error that says
which measurement is under way and for how long, rewritten in place. It is
erased before any output of the ranks is written, so that the report
reaches the terminal byte for byte, and for good once the end lines come.
"""

import os
import stat
import time

from . import report

# The report line that starts each measurement, as the root prints it on
# the console, and what the status line calls its steps.
MEASUREMENTS = {
    report.LOWER_HEADING: ("stream file cycle",),
    report.HIGHER_HEADING_CONSOLE: ("descriptor file cycle",),
    report.HIGHER_HEADING: ("descriptor file cycle",),
    report.LOW_HEADING: ("one-byte write", "one-byte read"),
    report.HIGH_HEADING: ("block read", "block write"),
}
END_LINES = (report.SAVED, report.NOT_SAVED)
CLEAR = b"\r\033[K"


def shows_status() -> bool:
    """Whether a status line may be drawn: standard error is a terminal that
    can erase a line, drives-run is in its foreground (not a background job
    whose line would be drawn over what the user types), and standard output
    goes to that terminal or to a file: through a pipe it may reach the
    terminal by another program (| tee), which knows nothing of the line."""
    if not os.isatty(2) or os.environ.get("TERM") == "dumb":
        return False
    try:
        if os.tcgetpgrp(2) != os.getpgrp():
            return False
    except OSError:
        pass  # not drives-run's controlling terminal: no job control to heed
    try:
        mode = os.fstat(1).st_mode
    except OSError:
        return False
    return os.isatty(1) or stat.S_ISREG(mode) or stat.S_ISCHR(mode)


def clock(seconds: float) -> str:
    seconds = int(seconds)
    return f"{seconds // 60}:{seconds % 60:02d}" if seconds >= 60 else f"{seconds} s"


def columns(fd: int) -> int:
    """The terminal's width; 80 where it tells none (a size never set
    reads as 0)."""
    try:
        return os.get_terminal_size(fd).columns or 80
    except OSError:
        return 80


class StatusLine:
    """Follows the report as it passes and draws the line on `fd`, a
    terminal; `prefix` names the run where there are several."""

    def __init__(self, fd: int, prefix: str = "") -> None:
        self.fd, self.prefix = fd, prefix
        self.started = self.since = time.monotonic()
        self.phase, self.step = "root alone", 0
        self.steps: tuple = ()
        self.shown = self.done = False
        self.at_line_start = True
        self.pending = ""

    def read(self, data: bytes) -> None:
        """Follows the report's lines as they come."""
        self.pending += data.decode("utf-8", "replace")
        *lines, self.pending = self.pending.split("\n")
        for line in lines:
            if line == report.MULTI_HEADING:
                self.phase = "workers"
            elif line in MEASUREMENTS:
                self.steps, self.step, self.since = MEASUREMENTS[line], 0, time.monotonic()
            elif (
                self.phase == "root alone"
                and line.startswith(report.SPENT)
                and self.step + 1 < len(self.steps)
            ):
                self.step, self.since = self.step + 1, time.monotonic()
            elif line.startswith(END_LINES):
                self.done = True

    def text(self) -> str:
        now = time.monotonic()
        what = f"{self.steps[self.step]} ({self.phase})" if self.steps else "starting"
        return (
            f"drives-run: {self.prefix}{what}, {clock(now - self.since)}; "
            f"run time {clock(now - self.started)}"
        )

    def wrote(self, data: bytes) -> None:
        """Output of the ranks reached the terminal: a line it leaves
        unfinished keeps the status line away."""
        if data:
            self.at_line_start = data.endswith(b"\n")

    def hide(self) -> bytes:
        """Erases the line before anything else reaches the terminal."""
        if self.shown:
            self.shown = False
            return CLEAR
        return b""

    def draw(self) -> bytes:
        """The line as it stands now, or nothing: no line once the report
        ended, none while a line of output is unfinished, none on a
        terminal too narrow for it to stay on one line."""
        width = columns(self.fd) - 1
        if self.done or not self.at_line_start or width < 1:
            return self.hide()
        self.shown = True
        return CLEAR + self.text()[:width].encode()


class Note:
    """A line of drives-run's own on the terminal of `fd`, rewritten in place
    while it waits (the check), gone when it is done; none for a wait too
    short to notice."""

    QUIET = 2.0  # seconds

    def __init__(self, fd: int, prefix: str = "") -> None:
        self.fd, self.prefix = fd, prefix
        self.started = time.monotonic()
        self.shown = False

    def draw(self, text: str) -> None:
        if time.monotonic() - self.started < self.QUIET:
            return
        width = columns(self.fd) - 1
        line = f"drives-run: {self.prefix}{text}, {clock(time.monotonic() - self.started)}"
        self.write(CLEAR + line[:width].encode() if width >= 1 else b"")
        self.shown = width >= 1

    def hide(self) -> None:
        if self.shown:
            self.write(CLEAR)
            self.shown = False

    def write(self, data: bytes) -> None:
        try:
            os.write(self.fd, data)
        except OSError:
            self.shown = False
