"""Two ranks as a user starts them: the installed drives-run, from another
directory, into a directory that does not exist yet, over stale files of an
earlier run. The report, the files left, the ranks' system calls, standard
input at its end, the line on standard error about the shared host, and the
status line on a terminal; then a directory that cannot be made stops
drives-run before any rank starts."""
import contextlib
import os
import pathlib
import pty
import re
import subprocess
import tempfile
import threading
import tty

import drives

STATUS = re.compile(
    r"drives-run: check: [^\r\n]*, (\d+ s|\d+:\d\d)\Z|"
    r"drives-run: (starting|(stream file cycle|descriptor file cycle|one-byte "
    r"write|one-byte read|block read|block write) \((root alone|workers)\)), "
    r"(\d+ s|\d+:\d\d); run time (\d+ s|\d+:\d\d)\Z"
)


def run_on_terminal(args, cwd):
    """Runs with standard error on a terminal (raw: what is written arrives
    as written); returns status, standard output and the terminal's bytes,
    read as they come so that the terminal never fills up."""
    terminal, side = pty.openpty()
    tty.setraw(side)
    shown = []

    def read_terminal():  # until the other side is closed and all is read
        with contextlib.suppress(OSError):
            while chunk := os.read(terminal, 65536):
                shown.append(chunk)

    reader = threading.Thread(target=read_terminal)
    reader.start()
    # Standard output to a file: through a pipe it might reach the terminal
    # by another program, and drives-run then draws no status line.
    with tempfile.TemporaryFile() as out, subprocess.Popen(
        args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=side
    ) as process:
        os.close(side)
        process.wait()
        out.seek(0)
        printed = out.read()
    reader.join()
    os.close(terminal)
    return process.returncode, printed.decode(), b"".join(shown).decode()


def test(opts):
    base = drives.scratch_dir("two-")
    workdir = os.path.join(base, "new", "dir")
    iodir = drives.scratch_dir("two-io-")
    drives_run = os.path.join(drives.installed(opts), "bin", "drives-run")
    os.makedirs(workdir)  # with test files of an earlier run, some longer, some shorter
    stale = [drives.SINGLE_TEMP, drives.SINGLE_BLOCK] + drives.rank_files(1, drives.HOST)
    for name, size in zip(stale, (20000000, 100, 20000000, 5)):
        pathlib.Path(workdir, name).write_bytes(b"\xff" * size)
    env = dict(drives.SANITIZER_ENV, LD_PRELOAD=opts.shim, **(drives.counting(iodir) or {}))
    flags = drives.mpis.env_flags(drives.mpis.MPIS[opts.mpi], env)
    # The installed binary, or the test-scale one where the configuration runs that.
    binary = ["--binary", opts.binary] if drives.SCALE != 1 else []
    status, out, shown = run_on_terminal(
        [drives_run, *binary, "-n", "2", "--dir", workdir, "--"] + flags, cwd=base
    )
    # drives-run's status lines among the ranks' output, each erased (by
    # "\r\033[K") before the next output, none left at the end.
    pieces = shown.split("\r\033[K")
    lines = [piece for piece in pieces if piece.startswith("drives-run: ")]
    assert lines, f"no status line: {shown[:300]!r}"
    assert all(STATUS.match(line) for line in lines), f"status lines: {lines[:5]}"
    assert not pieces[-1].startswith("drives-run: "), f"a status line stayed: {pieces[-1]!r}"
    # The ranks' own standard error; a sanitizer's report would be in it too.
    err = "".join(piece for piece in pieces if not piece.startswith("drives-run: "))
    assert status == 0, f"status {status}: {err}"
    assert err == drives.scale_note() + drives.shared_host_line(1, 1) + "\n", err
    workers = [(1, drives.HOST)]
    drives.check_report(out, workdir, 2, workers, drives.HOST)
    drives.check_left_files(workdir, workers)
    drives.check_rank_io(iodir, (0, 1), 2)

    with drives.tmpfs("1m", read_only=True) as read_only:
        wanted = os.path.join(read_only, "new")
        done = drives.call([drives_run, "--dir", wanted])
    assert (done.returncode, done.stdout) == (4, ""), f"read-only: {done}"
    said = f"drives-run: cannot create the working directory {wanted}: Read-only file system\n"
    assert done.stderr == said, f"read-only: {done.stderr!r}"
