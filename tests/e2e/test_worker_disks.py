"""Three ranks, the root in a healthy directory while one worker's is
read-only around an empty data file and the other's fills up during its
one-byte pass (an 8 MiB tmpfs for a 16 MiB file): the report and result file
are those of a clean run, the empty file gives block rates of 0, each worker
tells every measurement whose calls failed on standard error, nothing hangs,
and the run ends with status 3."""
import drives

N2 = drives.FIRST_PASS // 3  # rank 2's second pass
DISK = 8388608  # what rank 2's disk holds
LOW = "Low writing and reading speeds: "
HIGH = "High writing and reading speeds: "
READ_ONLY = [  # the data file is there, empty, so it opens for reading
    "Power of Handling Files -- Lower: 131072 of 131072 opens for writing failed (Read-only "
    "file system); also failed: 131072 of 131072 deletes",
    "Power of Handling Files -- Higher: 131072 of 131072 opens failed (Read-only file system);"
    " also failed: 131072 of 131072 deletes",
    LOW + "1 of 1 opens for writing failed (Read-only file system); also failed: "
    "25165824 of 25165824 one-byte writes",
    LOW + "25165824 of 25165824 one-byte reads failed (end of file)",
    HIGH + "1 of 1 opens for writing failed (Read-only file system); also failed: "
    "2 of 2 block writes",
]
FULL = [
    # The puts after the disk filled, then the whole second pass.
    LOW + f"{drives.FIRST_PASS - DISK + N2} of {drives.FIRST_PASS + N2} one-byte writes failed "
    "(No space left on device)",
    # The half the first pass found missing, and the second pass beyond it.
    LOW + f"{drives.FIRST_PASS - DISK + 2 * N2 - DISK} of {drives.FIRST_PASS + N2} one-byte reads "
    "failed (end of file)",
    HIGH + "2 of 2 block writes failed (No space left on device)",
]


def test(opts):
    name = drives.HOST
    workers = [(1, name), (2, name)]
    rootdir = drives.scratch_dir("disks-root-")
    empty = [drives.rank_files(1, name)[0]]
    with drives.tmpfs("1m", empty, read_only=True) as read_only, drives.tmpfs("8m") as small:
        contexts = [["-wdir", d, opts.binary] for d in (rootdir, read_only, small)]
        status, out, err = drives.run(opts, 3, rootdir, contexts, apart=True, timeout=600)
    assert status == 3, f"status {status}: {err}"
    counts = drives.normal_counts(3)
    counts[1] = (counts[1][0], 0)
    counts[2] = (counts[2][0], DISK + DISK // 3)
    values = drives.check_report(out[0], rootdir, 3, workers, name, counts=counts)
    assert float(values["hr1_m"]) == float(values["hw1_m"]) == 0, values
    assert out[1] == "", "the worker could not open its empty file"
    drives.check_left_files(rootdir, [])
    assert drives.shared_host_line(2, 2) in drives.split_lines(err), f"standard error: {err}"
    told = [drives.failures(err, rank, name) for rank in range(3)]
    assert told == [[], READ_ONLY, FULL], f"the ranks told {told}"


if __name__ == "__main__":
    drives.main(test)
