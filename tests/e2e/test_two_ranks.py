"""Two ranks over files left by an earlier run with other sizes and bytes:
the whole report, the files left, the worker's system calls, standard
input at its end (the wait for Enter ends at once), and the one line on
standard error that says the worker shared the root's host."""
import os

import drives


def seed_stale_files(workdir, worker_name):
    """Test files of an earlier run, some longer and some shorter."""
    data, block = drives.rank_files(1, worker_name)
    for name, size in ((drives.SINGLE_TEMP, 20000000), (drives.SINGLE_BLOCK, 100),
                       (data, 20000000), (block, 5)):
        with open(os.path.join(workdir, name), "wb") as stream:
            stream.write(b"\xff" * size)


def test(opts):
    workdir = drives.scratch_dir("two-")
    iodir = drives.scratch_dir("two-io-")
    name = drives.hostname()
    seed_stale_files(workdir, name)
    status, out, err = drives.run(
        drives.command(opts, 2, shim_env=drives.counting(iodir)), workdir)
    assert status == 0, f"status {status}: {err}"
    assert err == drives.shared_host_line(1, 1) + "\n", f"standard error: {err!r}"
    workers = [(1, name)]
    drives.check_report(out, workdir, 2, workers, name)
    drives.check_left_files(workdir, workers)
    for rank in (0, 1):
        drives.check_rank_io(iodir, rank, 2)


if __name__ == "__main__":
    drives.main(test)
