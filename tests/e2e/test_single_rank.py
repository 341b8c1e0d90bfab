"""One rank in a working directory some 4000 characters deep: the whole
report, the files left, and the wait for Enter."""
import os

import drives


def test(opts):
    # 4000 characters exactly: with the result file's name, the longest path
    # the system opens (4096).
    base = drives.scratch_dir("single-")
    workdir = os.path.join(base, *["d" * 199] * 19, "d" * (3999 - len(base) - 19 * 200))
    os.makedirs(workdir)
    assert len(workdir) == 4000
    with drives.started(opts, 1, workdir, "Press Enter to Exit.") as (launcher, console):
        # Still waiting: nothing more is printed until Enter comes.
        assert launcher.poll() is None, "the run ended without waiting for Enter"
        out, err = launcher.communicate("\n", timeout=60)
    drives.check_no_sanitizer_report(err)
    assert launcher.returncode == 0, f"status {launcher.returncode}: {err}"
    assert out == "", f"printed after Enter: {out!r}"
    drives.check_report("".join(console), workdir, 1, [], drives.HOST)
    drives.check_left_files(workdir, [])
