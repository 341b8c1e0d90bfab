"""Three ranks whose workers have host names of their own, the longest the
system allows (with dots) and one with spaces: each is carried and printed
exactly and names its files, and nothing is said on standard error (but
that a test build is one). The
root starts with its standard input closed: the wait for Enter ends at
once."""

import drives


def test(opts):
    workdir = drives.scratch_dir("names-")
    contexts = [
        ["sh", "-c", 'exec "$0" <&-', opts.binary],
        drives.with_hostname(opts, drives.LONG_NAME),
        drives.with_hostname(opts, drives.SPACED_NAME),
    ]
    status, out, err = drives.run(opts, 3, workdir, contexts)
    assert status == 0, f"status {status}: {err}"
    assert err == drives.scale_note(), f"a healthy run on hosts of their own told {err!r}"
    workers = [(1, drives.LONG_NAME), (2, drives.SPACED_NAME)]
    drives.check_report(out, workdir, 3, workers, drives.HOST)
    drives.check_left_files(workdir, workers)
