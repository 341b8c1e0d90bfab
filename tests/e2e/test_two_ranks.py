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
import threading
import tty

import drives

STATUS = re.compile(r"drives-run: (starting|(stream file cycle|descriptor file cycle|one-byte "
                    r"write|one-byte read|block read|block write) \((root alone|workers)\)), "
                    r"(\d+ s|\d+:\d\d); run time (\d+ s|\d+:\d\d)\Z")


def seed_stale_files(workdir, worker_name):
    """Test files of an earlier run, some longer and some shorter."""
    os.makedirs(workdir)
    names = [drives.SINGLE_TEMP, drives.SINGLE_BLOCK] + drives.rank_files(1, worker_name)
    for name, size in zip(names, (20000000, 100, 20000000, 5)):
        pathlib.Path(workdir, name).write_bytes(b"\xff" * size)


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
    with subprocess.Popen(args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=side) as process:
        os.close(side)
        out = process.stdout.read()
    reader.join()
    os.close(terminal)
    return process.returncode, out.decode(), b"".join(shown).decode()


def check_status_line(shown):
    """What drives-run wrote among the ranks' lines: status lines, each
    erased before the next output, and none left at the end. Returns the
    ranks' own standard error."""
    pieces = shown.split("\r\033[K")  # what erases a status line
    status = [piece for piece in pieces if piece.startswith("drives-run: ")]
    assert status, f"no status line: {shown[:300]!r}"
    assert all(STATUS.match(piece) for piece in status), f"status lines: {status[:5]}"
    assert not pieces[-1].startswith("drives-run: "), f"a status line stayed: {pieces[-1]!r}"
    return "".join(piece for piece in pieces if not piece.startswith("drives-run: "))


def test(opts):
    base = drives.scratch_dir("two-")
    workdir = os.path.join(base, "new", "dir")
    iodir = drives.scratch_dir("two-io-")
    name = drives.hostname()
    prefix = drives.scratch_dir("two-prefix-")  # installed as a user installs it
    subprocess.run(["cmake", "--install", os.path.dirname(opts.binary), "--prefix", prefix],
                   check=True, capture_output=True)
    drives_run = os.path.join(prefix, "bin", "drives-run")
    seed_stale_files(workdir, name)
    env = dict(drives.SANITIZER_ENV, LD_PRELOAD=opts.shim, **(drives.counting(iodir) or {}))
    flags = drives.launch.env_flags(drives.launch.MPIS[opts.mpi], env)
    status, out, shown = run_on_terminal([drives_run, "-n", "2", "--dir", workdir, "--"] + flags,
                                         cwd=base)
    err = check_status_line(shown)  # a sanitizer's report would be in it too
    assert status == 0, f"status {status}: {err}"
    assert err == drives.shared_host_line(1, 1) + "\n", f"standard error: {err!r}"
    workers = [(1, name)]
    drives.check_report(out, workdir, 2, workers, name)
    drives.check_left_files(workdir, workers)
    for rank in (0, 1):
        drives.check_rank_io(iodir, rank, 2)

    with drives.tmpfs("1m", read_only=True) as read_only:
        wanted = os.path.join(read_only, "new")
        done = subprocess.run([drives_run, "--dir", wanted], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (4, ""), f"read-only: {done}"
    assert done.stderr == (f"drives-run: {wanted}: cannot create the working directory: "
                           "Read-only file system\n"), f"read-only: {done.stderr!r}"


if __name__ == "__main__":
    drives.main(test)
