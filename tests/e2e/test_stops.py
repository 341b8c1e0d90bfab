"""The two start-up stops on the real binary, steered through the MPI
profiling interface: a runtime without full multi-thread support, and more
ranks than the tables hold. Each prints its message, creates no file and
ends with status 1."""
import os

import drives

THREAD_LEVEL = "MPI do not Support Multiple thread\n"
LIMIT = "The number of threads has reached the limits, the program terminates."
BANNER = "\n".join(["", drives.STOP_TITLE, drives.RIGHTS, drives.SUPPORT, "", LIMIT, ""])


def test(opts):
    drives.require_linux("Steering the runtime through a preloaded shim (LD_PRELOAD)")
    for shim_env, printed in (
        ({"DRIVES_SHIM_THREAD_LEVEL": "2"}, [THREAD_LEVEL, THREAD_LEVEL]),
        ({"DRIVES_SHIM_COMM_SIZE": "4097"}, [BANNER + "\n", ""]),
    ):
        workdir = drives.scratch_dir("stop-")
        status, got, err = drives.run(opts, 2, workdir, shim_env=shim_env, apart=True)
        files = os.listdir(workdir)
        said = f"{shim_env}: status {status}, printed {got}, files {files}: {err}"
        assert (status, got, files) == (1, printed, []), said
