"""A read-only working directory: every test still runs its full count and
prints its blocks, "Unable to open file" comes before the read block, no
file is created, the block rates of the missing data file are 0, the end
line says the results could not be saved, each of the six measurements is
told as failed, and the status is 3."""
import os

import drives

LOWER, HIGHER, LOW, HIGH = drives.FAILED_TESTS


def test(opts):
    name = drives.hostname()
    with drives.tmpfs("1m", read_only=True) as workdir:
        status, out, err = drives.run(drives.command(opts, 1), workdir)
        assert status == 3, f"status {status}: {err}"
        assert os.listdir(workdir) == [], f"files created: {os.listdir(workdir)}"
        counts = {0: (drives.LOW_ACCESSES, 0)}
        values = drives.check_report(out, workdir, 1, [], name, counts=counts, saved=False,
                                     root_unable=True)
    assert float(values["s_m"]) == float(values["s1_m"]) == 0, values
    tests = [told.split(": ")[0] for told in drives.failures(err).get(0, [])]
    assert tests == [LOWER, HIGHER, LOW, LOW, HIGH, HIGH], f"failures told of {tests}"


if __name__ == "__main__":
    drives.main(test)
