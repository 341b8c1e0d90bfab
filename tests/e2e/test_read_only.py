"""A read-only working directory, with two ranks: every test still runs its
full count and prints its blocks, "Unable to open file" comes once from each
rank (the root's before its read block), no file is created, the block rates
of the missing data file are 0, the end line says the results could not be
saved, each rank tells its six measurements as failed, and the status is 3."""
import os

import drives

LOWER, HIGHER = "Power of Handling Files -- Lower", "Power of Handling Files -- Higher"
LOW, HIGH = "Low writing and reading speeds", "High writing and reading speeds"


def test(opts):
    with drives.tmpfs("1m", read_only=True) as workdir:
        status, out, err = drives.run(opts, 2, workdir, apart=True)
        assert status == 3, f"status {status}: {err}"
        assert os.listdir(workdir) == [], f"files created: {os.listdir(workdir)}"
        values = drives.check_report(
            out[0],
            workdir,
            2,
            [(1, drives.HOST)],
            drives.HOST,
            counts=drives.normal_counts(2, blocks=False),
            saved=False,
            root_unable=True,
        )
    assert float(values["s_m"]) == float(values["s1_m"]) == 0, values
    assert out[1] == drives.UNABLE + "\n", f"the worker printed {out[1]!r}"
    for rank in (0, 1):
        tests = [told.split(": ")[0] for told in drives.failures(err, rank, drives.HOST)]
        assert tests == [LOWER, HIGHER, LOW, LOW, HIGH, HIGH], f"rank {rank} told {tests}"


if __name__ == "__main__":
    drives.main(test)
