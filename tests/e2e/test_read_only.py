"""A read-only working directory, with one and with two ranks: every test
still runs its full count and prints its blocks, "Unable to open file" comes
once from each rank, no file is created, and the end line says the results
could not be saved, with status 1."""
import os

import drives


def test(opts):
    name = drives.hostname()
    for nproc in (1, 2):
        with drives.tmpfs("1m", read_only=True) as workdir:
            outdir = drives.scratch_dir("ro-out-")
            status, _, err = drives.run(
                drives.command(opts, nproc, extra=["--output-filename", outdir]), workdir)
            assert status == 1, f"{nproc} ranks: status {status}: {err}"
            assert os.listdir(workdir) == [], f"files created: {os.listdir(workdir)}"
            workers = [(rank, name) for rank in range(1, nproc)]
            counts = {rank: (low, 0) for rank, (low, _) in drives.normal_counts(nproc).items()}
            drives.check_report(drives.rank_output(outdir, 0), workdir, nproc, workers, name,
                                counts=counts, saved=False, root_unable=True)
            for rank, _ in workers:
                printed = drives.rank_output(outdir, rank)
                assert printed == drives.UNABLE + "\n", f"rank {rank} printed {printed!r}"


if __name__ == "__main__":
    drives.main(test)
