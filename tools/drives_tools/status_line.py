"""The status line: one line on the terminal of standard error that says
which measurement is under way and for how long, rewritten in place. It is
erased before any output of the ranks is written, so that the report
reaches the terminal byte for byte, and for good once the end lines come.
"""

import os
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


def clock(seconds):
    seconds = int(seconds)
    return f"{seconds // 60}:{seconds % 60:02d}" if seconds >= 60 else f"{seconds} s"


def columns(fd):
    """The terminal's width; 80 where it tells none (a size never set
    reads as 0)."""
    try:
        return os.get_terminal_size(fd).columns or 80
    except OSError:
        return 80


class StatusLine:
    """Follows the report as it passes and draws the line on `fd`, a
    terminal; `prefix` names the run where there are several."""

    def __init__(self, fd, prefix=""):
        self.fd, self.prefix = fd, prefix
        self.started = self.since = time.monotonic()
        self.phase, self.steps, self.step = "root alone", (), 0
        self.shown = self.done = False
        self.at_line_start = True
        self.pending = ""

    def read(self, data):
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

    def text(self):
        now = time.monotonic()
        what = f"{self.steps[self.step]} ({self.phase})" if self.steps else "starting"
        return (
            f"drives-run: {self.prefix}{what}, {clock(now - self.since)}; "
            f"run time {clock(now - self.started)}"
        )

    def wrote(self, data):
        """Output of the ranks reached the terminal: a line it leaves
        unfinished keeps the status line away."""
        if data:
            self.at_line_start = data.endswith(b"\n")

    def hide(self):
        """Erases the line before anything else reaches the terminal."""
        if self.shown:
            self.shown = False
            return CLEAR
        return b""

    def draw(self):
        """The line as it stands now, or nothing: no line once the report
        ended, none while a line of output is unfinished, none on a
        terminal too narrow for it to stay on one line."""
        width = columns(self.fd) - 1
        if self.done or not self.at_line_start or width < 1:
            return self.hide()
        self.shown = True
        return CLEAR + self.text()[:width].encode()
