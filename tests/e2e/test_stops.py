"""The two start-up stops on the real binary, steered through the MPI
profiling interface: a runtime without full multi-thread support, and more
ranks than the tables hold. Each prints its message, creates no file and
ends with status 1."""
import os

import drives


def stop_run(opts, shim_env):
    workdir = drives.scratch_dir("stop-")
    outdir = drives.scratch_dir("stop-out-")
    status, out, err = drives.run(
        drives.command(opts, 2, shim_env=shim_env, outdir=outdir),
        workdir)
    assert os.listdir(workdir) == [], f"files created: {os.listdir(workdir)}"
    return status, [drives.launch.rank_output(outdir, rank) for rank in (0, 1)], err


def test(opts):
    drives.require_linux("Steering the runtime through a preloaded shim (LD_PRELOAD)")
    status, ranks, err = stop_run(opts, {"DRIVES_SHIM_THREAD_LEVEL": "2"})
    assert status == 1, f"thread-level stop: status {status}: {err}"
    for rank, printed in enumerate(ranks):
        assert printed == "MPI do not Support Multiple thread\n", f"rank {rank}: {printed!r}"

    status, ranks, err = stop_run(opts, {"DRIVES_SHIM_COMM_SIZE": "4097"})
    assert status == 1, f"rank-limit stop: status {status}: {err}"
    banner = ["", drives.STOP_TITLE, drives.RIGHTS, drives.SUPPORT, "",
              "The number of threads has reached the limits, the program terminates.", ""]
    assert drives.split_lines(ranks[0]) == banner, f"root: {ranks[0]!r}"
    assert ranks[1] == "", f"worker printed {ranks[1]!r}"


if __name__ == "__main__":
    drives.main(test)
