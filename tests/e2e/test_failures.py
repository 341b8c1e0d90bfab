"""Calls that fail, in two runs. First four ranks: the root and worker 3 in
a read-only directory, worker 1 in another around an empty data file,
worker 2 on a disk that fills during its one-byte pass. Every test still
runs its full count and prints its blocks, "Unable to open file" comes from
the root (before its read block) and from worker 3, nothing is created in
the read-only directories, the block rates of missing or empty data files
are 0, each rank tells exactly what failed, the result file is not saved,
and the status is 3. Then the disk of the root and of a worker under the
longest host name fills up: no crash or hang, the whole report on the
console, and an end line that tells the truth about the result file, of
which only what was written before the disk filled is kept."""

import os

import drives

LOWER, HIGHER = "Power of Handling Files -- Lower", "Power of Handling Files -- Higher"
LOW, HIGH = "Low writing and reading speeds", "High writing and reading speeds"
CYCLES, FIRST = drives.FILE_CYCLES, drives.FIRST_PASS
DISK = 8388608 // drives.SCALE  # what worker 2's disk holds, half its data file
N1, N2 = FIRST // 2, FIRST // 3  # the second passes of workers 1 and 2
ROFS, ENOSPC = "(Read-only file system)", "(No space left on device)"
EMPTY_FILE = [  # worker 1: its data file is there, empty, so it opens for reading
    f"{LOWER}: {CYCLES} of {CYCLES} opens for writing failed {ROFS}; also failed: "
    f"{CYCLES} of {CYCLES} deletes",
    f"{HIGHER}: {CYCLES} of {CYCLES} opens failed {ROFS}; also failed: {CYCLES} of {CYCLES} deletes",
    f"{LOW}: 1 of 1 opens for writing failed {ROFS}; also failed: "
    f"{FIRST + N1} of {FIRST + N1} one-byte writes",
    f"{LOW}: {FIRST + N1} of {FIRST + N1} one-byte reads failed (end of file)",
    f"{HIGH}: 1 of 1 opens for writing failed {ROFS}; also failed: 2 of 2 block writes",
]
DISK_FULL = [  # worker 2: the puts after the disk filled, then the whole second pass
    f"{LOW}: {FIRST - DISK + N2} of {FIRST + N2} one-byte writes failed {ENOSPC}",
    # the half the first pass found missing, and the second pass beyond it
    f"{LOW}: {FIRST - DISK + 2 * N2 - DISK} of {FIRST + N2} one-byte reads failed (end of file)",
    f"{HIGH}: 2 of 2 block writes failed {ENOSPC}",
]


def failing_disks(opts):
    name = drives.HOST
    workers = [(rank, name) for rank in (1, 2, 3)]
    empty = [drives.rank_files(1, name)[0]]
    with drives.tmpfs("1m", read_only=True) as read_only, drives.tmpfs(
        "1m", empty, read_only=True
    ) as around_empty, drives.tmpfs(f"{DISK // 1024}k") as small:
        dirs = (read_only, around_empty, small, read_only)
        contexts = [["-wdir", d, opts.binary] for d in dirs]
        status, out, err = drives.run(opts, 4, read_only, contexts, apart=True, timeout=600)
        made = [os.listdir(d) for d in (read_only, around_empty)]
    assert status == 3, f"status {status}: {err}"
    assert made == [[], empty], f"files in the read-only directories: {made}"
    counts = drives.normal_counts(4, blocks=False)
    counts[2] = (counts[2][0], DISK + DISK // 3)
    values = drives.check_report(
        out[0], read_only, 4, workers, name, counts=counts, saved=False, root_unable=True
    )
    zero = ["s_m", "s1_m", "hr1_m", "hw1_m", "hr3_m", "hw3_m"]
    assert all(float(values[key]) == 0 for key in zero), values
    assert out[1:] == ["", "", drives.UNABLE + "\n"], f"the workers printed {out[1:]}"
    assert drives.shared_host_line(3, 3) in drives.split_lines(err), f"standard error: {err}"
    told = [drives.failures(err, rank, name) for rank in range(4)]
    six = [LOWER, HIGHER, LOW, LOW, HIGH, HIGH]
    tests = [[line.split(": ")[0] for line in told[rank]] for rank in (0, 3)]
    assert tests == [six, six] and told[1:3] == [EMPTY_FILE, DISK_FULL], f"the ranks told {told}"


def full_disk(opts):
    """The report outgrows the result file's first page, taken at the banner,
    once a worker's name is the longest the system allows."""
    workers = [(1, drives.LONG_NAME), (2, drives.HOST)]
    contexts = [[opts.binary], drives.with_hostname(opts, drives.LONG_NAME), [opts.binary]]
    with drives.tmpfs(f"{20480 // drives.SCALE}k") as workdir:
        status, out, err = drives.run(opts, 3, workdir, contexts, apart=True, timeout=900)
        assert status == 3, f"status {status}: {err}"
        # What the block tests moved depends on how much of each data file fit.
        counts = drives.normal_counts(3, blocks=False)
        drives.check_report(out[0], workdir, 3, workers, drives.HOST, counts=counts, saved=False)
        with open(
            drives.result_file(workdir, drives.HOST), encoding="utf-8", errors="replace"
        ) as stream:
            kept = stream.read().split("\n")
    expected = drives.expected_file(3, workers)
    complete = kept[:-1]  # the last piece may be a line cut short
    drives.match_lines(complete, expected[: len(complete)], "kept result file")
    assert len(complete) < len(expected), "the whole report was kept, yet not saved"


def test(opts):
    failing_disks(opts)
    full_disk(opts)
