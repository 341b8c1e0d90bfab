"""drives-run's run path, with stand-ins for the launcher and the benchmark
(fake_launcher.py, fake_drives_mpi.py): a closed standard output, a launcher
killed by a signal, a signal sent to drives-run, the status line on a narrow
terminal with standard output redirected, Enter typed on the terminal, and
the check: a node that never answers, Ctrl-C while it waits, tagged output,
macOS's needs (stand-in uname and brew). Status 0 pass, 1 fail."""

import fcntl
import json
import os
import pathlib
import pty
import re
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVES_RUN = os.path.join(HERE, os.pardir, os.pardir, "tools", "drives-run")
SCRATCH = tempfile.mkdtemp(prefix="run-path-")
BIN = os.path.join(SCRATCH, "bin")
FAKE = os.path.join(HERE, "fake_drives_mpi.py")
os.makedirs(BIN)
os.symlink(os.path.join(HERE, "fake_launcher.py"), os.path.join(BIN, "mpirun.openmpi"))


def standin(name, body):
    path = pathlib.Path(BIN, name)
    path.write_text(f"#!/bin/sh\n{body}\n")
    path.chmod(0o755)


class Run:
    """drives-run with standard error (and, if asked, input) on a terminal
    of `columns` columns, or without a terminal."""

    every = []

    def __init__(
        self,
        *args,
        mode="",
        terminal=True,
        stdin_terminal=False,
        columns=80,
        stdout=subprocess.PIPE,
        env=None,
        directory=SCRATCH,
    ):
        self.log = tempfile.mktemp(dir=SCRATCH)
        self.master, side = pty.openpty()
        fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        self.shown = []
        self.reader = threading.Thread(target=self.read_terminal, daemon=True)
        self.reader.start()
        self.proc = subprocess.Popen(
            [DRIVES_RUN, "--mpi", "openmpi", "--binary", FAKE, "--dir", directory, *args],
            stdin=side if stdin_terminal else subprocess.DEVNULL,
            stdout=stdout,
            stderr=side if terminal else subprocess.PIPE,
            env=dict(
                os.environ,
                PATH=f"{BIN}:{os.environ['PATH']}",
                FAKE_MODE=mode,
                FAKE_LOG=self.log,
                **(env or {}),
            ),
        )
        os.close(side)
        Run.every.append(self)

    def read_terminal(self):
        try:
            while chunk := os.read(self.master, 65536):
                self.shown.append(chunk)
        except OSError:
            pass

    def wait(self):
        try:
            status = self.proc.wait(120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("drives-run did not end within 120 s") from None
        err = self.proc.stderr.read().decode() if self.proc.stderr else ""
        self.reader.join()
        os.close(self.master)
        return status, b"".join(self.shown).decode(errors="replace") + err

    def logged(self):
        return pathlib.Path(self.log).read_text() if os.path.exists(self.log) else ""

    def launchers_gone(self):
        """Whether every launcher this run started has ended (zombies aside)."""

        def alive(pid):
            try:
                return pathlib.Path(f"/proc/{pid}/stat").read_text().split(")")[1].split()[0] != "Z"
            except OSError:
                return False

        pids = re.findall(r"^pid (\d+)$", self.logged(), re.M)
        until(lambda: not any(map(alive, pids)))
        return True


def closed_stdout():
    """| head -1: the run ends, as the launcher would on a broken pipe, also
    while the root prints nothing more (it waits for Enter)."""
    run = Run(stdin_terminal=True)
    run.proc.stdout.readline()
    run.proc.stdout.close()
    status, shown = run.wait()
    assert status == -signal.SIGPIPE and "Traceback" not in shown, (status, shown)
    assert "signal 15" in run.logged() and run.launchers_gone(), run.logged()


def launcher_killed():
    for terminal in (True, False):
        status, shown = Run(mode="die", terminal=terminal).wait()
        assert status == 128 + signal.SIGTERM, (terminal, status, shown)


def signal_to_drives_run():
    for terminal, number in ((True, signal.SIGINT), (False, signal.SIGTERM), (True, signal.SIGHUP)):
        run = Run(terminal=terminal, env={"FAKE_TICKS": "1"})
        run.proc.stdout.readline()
        run.proc.send_signal(number)
        run.proc.stdout.read()
        status, shown = run.wait()
        assert status == -number and f"signal {number}" in run.logged(), (number, status, shown)
        assert "Traceback" not in shown and run.launchers_gone(), run.logged()


def repeat_interrupted():
    """Ctrl-C in the second run of three: the first run's record whole, the
    second's (no result file: named by its start), the summary of the runs
    that ended attempted, no third run, the set ended by SIGINT."""
    directory = tempfile.mkdtemp(dir=SCRATCH)
    run = Run("--repeat", "3", directory=directory, env={"FAKE_TICKS": "2"})
    while not run.proc.stdout.readline().startswith(b"The system spent"):
        pass
    run.proc.send_signal(signal.SIGINT)
    run.proc.stdout.read()
    status, shown = run.wait()
    with open(os.path.join(directory, "run1.record.json")) as stream:
        record = json.load(stream)
    assert status == -signal.SIGINT and record["repeat"] == {"run": 1, "runs": 3}, (status, record)
    assert "run 1 is left out of the summary" in shown and "Traceback" not in shown, shown
    left = sorted(os.listdir(directory))
    assert (
        left[0] == ".fake-runs"
        and left[1].startswith("drives-run @ ")
        and left[2:] == ["run1.record.json"]
    ), left
    with open(os.path.join(directory, left[1])) as stream:
        assert json.load(stream)["status"] == 128 + signal.SIGINT, "the second run's record"


def status_line_width():
    """Every status line fits the terminal's width, stdout elsewhere; on a
    terminal too narrow for any, there is none."""
    for columns in (12, 1, 100):
        with open(os.path.join(SCRATCH, "out"), "w") as out:
            run = Run(columns=columns, stdout=out, env={"FAKE_TICKS": "1"})
            until(
                lambda: b"\r\033[Kdrives-run" in b"".join(run.shown)
                if columns > 1
                else os.path.getsize(out.name) > 400
            )
            run.proc.terminate()
            status, shown = run.wait()
        lines = [piece for piece in shown.split("\r\033[K") if piece.startswith("drives-run")]
        assert all(len(line) < columns for line in lines), (columns, lines)
        assert bool(lines) == (columns > 1), (columns, shown)


def until(condition):
    for _ in range(600):
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("not within 60 s")


def record_not_written():
    """A record that cannot be written is a warning; the run's status stands."""
    run = Run(env={"FAKE_RESULT": "/proc/self/none/result.txt"})
    run.proc.stdout.read()
    status, shown = run.wait()
    assert (
        status == 0 and "drives-run: cannot write the run's record /proc/self/none/result" in shown
    ), (status, shown)


def enter_typed():
    run = Run(stdin_terminal=True)
    for line in run.proc.stdout:
        if line.startswith(b"Press Enter"):
            os.write(run.master, b"yes\r")
    status, shown = run.wait()
    assert status == 0 and "typed: 'yes\\n'" in shown, (status, shown)


def check_faults():
    status, shown = Run("--hosts", "a,b", "--check-timeout", "2", mode="hang").wait()
    assert status == 4 and "drives-run: b: no answer within 2 s" in shown, (status, shown)
    run = Run("--hosts", "a,b", mode="hang")
    until(lambda: "pid" in run.logged())
    time.sleep(0.5)
    run.proc.send_signal(signal.SIGINT)
    status, shown = run.wait()
    assert status == -signal.SIGINT and "Traceback" not in shown, (status, shown)
    assert run.launchers_gone(), run.logged()
    status, shown = Run("--hosts", "a,b", mode="tag").wait()
    assert status == 0, ("tagged", status, shown)


# A Mac's commands as far as drives-run and its check ask them.
MAC = {
    "uname": "case $1 in -s) echo Darwin ;; -r) echo 23.5.0 ;; -m) echo arm64 ;; "
    "*) echo mac-mini ;; esac",
    "brew": f"echo {SCRATCH}",
    "sw_vers": "case $1 in -productName) echo macOS ;; *) echo 14.5 ;; esac",
    "sysctl": 'case $2 in machdep.cpu.brand_string) echo "Apple M2" ;; hw.ncpu) echo 8 ;; '
    'hw.memsize) echo 17179869184 ;; vm.loadavg) echo "{ 1.50 1.25 1.00 }" ;; esac',
    "df": 'echo "Filesystem 1024-blocks Used Available Capacity Mounted on"; '
    'echo "/dev/disk3s5 488245288 1 4000000 1% /"',
    "diskutil": 'printf "   Type (Bundle):             apfs\\n   Device / Media Name:       '
    'APPLE SSD AP0512Z\\n"',
}
MAC_NODE = {
    "host": "mac-mini",
    "os": "macOS 14.5",
    "kernel": "Darwin 23.5.0",
    "machine": "arm64",
    "cpu": "Apple M2",
    "cores": 8,
    "memory_bytes": 17179869184,
    "fs_type": "apfs",
    "device": "/dev/disk3s5",
    "device_model": "APPLE SSD AP0512Z",
    "free_bytes": 4096000000,
    "load": [1.5, 1.25, 1.0],
}


def macos():
    """On a stand-in macOS: a short TMPDIR for the launcher, more open files,
    Homebrew's prefix for Open MPI's remote daemons, the .local and firewall
    hints, and what the check finds of the Mac for the run's record."""
    for name, body in MAC.items():
        standin(name, body)
    try:
        directory = tempfile.mkdtemp(dir=SCRATCH)
        run = Run("-n", "40", directory=directory, env={"TMPDIR": "/var/folders/" + "T" * 50})
        run.proc.stdout.read()
        status, shown = run.wait()
        assert status == 0 and "TMPDIR /tmp\n" in run.logged(), (shown, run.logged())
        assert int(re.search(r"nofile (\d+)", run.logged())[1]) >= 64 + 8 * 40, run.logged()
        with open(os.path.join(directory, "run1.record.json")) as stream:
            node = json.load(stream)["nodes"][0]
        assert MAC_NODE.items() <= node.items(), node
        dry = subprocess.run(
            [DRIVES_RUN, "--binary", FAKE, "--hosts", "n1.local,n2", "--dry-run"],
            capture_output=True,
            text=True,
            env=dict(os.environ, PATH=f"{BIN}:{os.environ['PATH']}"),
        )
        assert (
            f"--prefix {SCRATCH} " in dry.stdout
            and "n1.local: a name ending in .local" in dry.stderr
        ), dry
        status, shown = Run("--hosts", "a,b", "--check-timeout", "2", mode="quiet").wait()
        assert status == 4 and "macOS firewall" in shown, (status, shown)
    finally:
        for name in MAC:
            os.unlink(os.path.join(BIN, name))


def main():
    failed = []
    for case in (
        closed_stdout,
        launcher_killed,
        signal_to_drives_run,
        repeat_interrupted,
        status_line_width,
        record_not_written,
        enter_typed,
        check_faults,
        macos,
    ):
        try:
            case()
        except AssertionError as error:
            failed.append(f"FAILED: {case.__name__}: {error}")
    for run in Run.every:
        if run.proc.poll() is None:
            run.proc.kill()
    print("\n".join(failed) or "passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
