"""The disk fills up during a three-rank run (a 20 MiB tmpfs, while each
rank writes 16 MiB files): no crash or hang, the whole report on the
console, status 3, and an end line that tells the truth about the result
file: its first page is taken at the banner, and with a worker under the
longest host name the report outgrows it after the disk is full."""
import drives


def test(opts):
    workers = [(1, drives.LONG_NAME), (2, drives.HOST)]
    contexts = [[opts.binary], drives.with_hostname(opts, drives.LONG_NAME), [opts.binary]]
    with drives.tmpfs("20m") as workdir:
        status, out, err = drives.run(opts, 3, workdir, contexts, apart=True, timeout=900)
        assert status == 3, f"status {status}: {err}"
        # The one-byte counts are fixed; what the block tests moved depends
        # on how much of each data file fit.
        drives.check_report(
            out[0],
            workdir,
            3,
            workers,
            drives.HOST,
            counts=drives.normal_counts(3, blocks=False),
            saved=False,
        )
        with open(
            drives.result_file(workdir, drives.HOST), encoding="utf-8", errors="replace"
        ) as stream:
            kept = stream.read().split("\n")
        expected = drives.expected_file(3, workers)
        complete = kept[:-1]  # the last piece may be a line cut short
        drives.match_lines(complete, expected[: len(complete)], "kept result file")
        assert len(complete) < len(expected), "the whole report was kept, yet not saved"


if __name__ == "__main__":
    drives.main(test)
