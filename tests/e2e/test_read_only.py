"""A read-only working directory, with one and with two ranks: every test
still runs its full count and prints its blocks, "Unable to open file" comes
once from each rank, no file is created, the end line says the results could
not be saved, every rank tells each of its six measurements as failed, and
the status is 3."""
import os

import drives

LOWER, HIGHER, LOW, HIGH = drives.FAILED_TESTS
EVERY_MEASUREMENT = [LOWER, HIGHER, LOW, LOW, HIGH, HIGH]


def test(opts):
    name = drives.hostname()
    for nproc in (1, 2):
        with drives.tmpfs("1m", read_only=True) as workdir:
            outdir = drives.scratch_dir("ro-out-")
            status, _, err = drives.run(
                drives.command(opts, nproc, outdir=outdir), workdir)
            assert status == 3, f"{nproc} ranks: status {status}: {err}"
            assert os.listdir(workdir) == [], f"files created: {os.listdir(workdir)}"
            workers = [(rank, name) for rank in range(1, nproc)]
            counts = {rank: (low, 0) for rank, (low, _) in drives.normal_counts(nproc).items()}
            drives.check_report(drives.launch.rank_output(outdir, 0), workdir, nproc, workers, name,
                                counts=counts, saved=False, root_unable=True)
            for rank, _ in workers:
                printed = drives.launch.rank_output(outdir, rank)
                assert printed == drives.UNABLE + "\n", f"rank {rank} printed {printed!r}"
            for rank in range(nproc):
                tests = [told.split(": ")[0] for told in drives.failures(err).get(rank, [])]
                assert tests == EVERY_MEASUREMENT, f"rank {rank} told failures of {tests}"


if __name__ == "__main__":
    drives.main(test)
