"""A worker killed with SIGKILL while the root is still in its own tests:
the launcher ends the job with a non-zero status within seconds, and the
result file holds every line the root had printed."""
import os
import pathlib
import signal
import subprocess

import drives

HEADING = "Low writing and reading speeds:"


def test(opts):
    drives.require_linux("Finding a rank's process through /proc")
    workdir = drives.scratch_dir("killed-")
    with drives.started(opts, 2, workdir, HEADING) as (launcher, _):
        worker = drives.launched.ranks(opts.binary, opts.mpi, launcher.pid).get(1)
        assert worker, "no worker process found"
        os.kill(worker, signal.SIGKILL)
        try:
            launcher.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            raise AssertionError("the launcher did not end within 30 s of the kill")
    assert launcher.returncode != 0, "a job that lost a worker ended with status 0"
    text = pathlib.Path(drives.result_file(workdir, drives.HOST)).read_text(encoding="utf-8")
    assert text.endswith("\n"), "a line was cut short"
    kept = drives.split_lines(text)
    expected = drives.expected_file(2, [(1, drives.HOST)])
    drives.match_lines(kept, expected[: len(kept)], "kept result file")
    # Every block up to the heading the console showed is in the file too.
    assert len(kept) >= expected.index(HEADING) + 2, f"the file stops at line {len(kept)}"
