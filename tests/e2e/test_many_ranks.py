"""Sixty-four ranks on this one machine, through the checkout's drives-run
(-n 64): status 0, every worker's lines in rank order in each measurement,
totals the sums of the worker lines, gains and means consistent, console
and result file alike, one file set per rank, and each rank's system calls
those of its counts."""

import os

import drives

NP = 64
DRIVES_RUN = os.path.join(drives.HERE, os.pardir, os.pardir, "tools", "drives-run")


def test(opts):
    workdir = drives.scratch_dir("many-")
    iodir = drives.scratch_dir("many-io-")
    env = dict(drives.SANITIZER_ENV, LD_PRELOAD=opts.shim, **(drives.counting(iodir) or {}))
    flags = drives.mpis.env_flags(drives.mpis.MPIS[opts.mpi], env)
    args = [DRIVES_RUN, "--binary", opts.binary, "-n", str(NP), "--dir", workdir, "--", *flags]
    done = drives.call(args, 1200)
    drives.check_no_sanitizer_report(done.stderr)
    assert done.returncode == 0, f"status {done.returncode}: {done.stderr[-3000:]}"
    shared = drives.shared_host_line(NP - 1, NP - 1)
    assert done.stderr == drives.scale_note() + shared + "\n", done.stderr[-3000:]
    workers = [(rank, drives.HOST) for rank in range(1, NP)]
    drives.check_report(done.stdout, workdir, NP, workers, drives.HOST)
    drives.check_left_files(workdir, workers)
    drives.check_rank_io(iodir, range(NP), NP)
