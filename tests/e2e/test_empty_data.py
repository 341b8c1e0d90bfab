"""Data files that are empty when the block tests start (and stay so: the
directory is read-only): nothing is allocated or moved, the block rates are
0, every result set still arrives and the report is complete; the status is
that of a run whose calls failed, 3."""
import drives


def test(opts):
    name = drives.hostname()
    files = {drives.SINGLE_TEMP: b"", drives.rank_files(1, name)[0]: b""}
    with drives.tmpfs("1m", files, read_only=True) as workdir:
        outdir = drives.scratch_dir("empty-out-")
        status, _, err = drives.run(
            drives.command(opts, 2, outdir=outdir), workdir)
        assert status == 3, f"status {status}: {err}"
        counts = {rank: (low, 0) for rank, (low, _) in drives.normal_counts(2).items()}
        values = drives.check_report(drives.launch.rank_output(outdir, 0), workdir, 2, [(1, name)],
                                     name, counts=counts, saved=False)
        assert drives.launch.rank_output(outdir, 1) == "", "the worker could open its empty file"
        for key in ("s_m", "s1_m", "hr1_m", "hw1_m", "hw_total", "hr_total"):
            assert float(values[key]) == 0, f"{key} = {values[key]}"


if __name__ == "__main__":
    drives.main(test)
