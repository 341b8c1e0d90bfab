"""One rank in a working directory some 4000 characters deep: the whole
report, the files left, and the wait for Enter."""
import os

import drives


def test(opts):
    workdir = os.path.join(drives.scratch_dir("single-"), *["d" * 199] * 20)
    os.makedirs(workdir)
    assert len(workdir) >= 4000
    launcher, console = drives.start(opts, 1, workdir, "Press Enter to Exit.")
    try:
        # Still waiting: nothing more is printed until Enter comes.
        assert launcher.poll() is None, "the run ended without waiting for Enter"
        out, err = launcher.communicate("\n", timeout=60)
    finally:
        drives.kill_group(launcher)
    drives.check_no_sanitizer_report(err)
    assert launcher.returncode == 0, f"status {launcher.returncode}: {err}"
    assert out == "", f"printed after Enter: {out!r}"
    drives.check_report("".join(console), workdir, 1, [], drives.hostname())
    drives.check_left_files(workdir, [])


if __name__ == "__main__":
    drives.main(test)
