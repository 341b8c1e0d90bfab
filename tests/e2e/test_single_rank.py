"""One rank in a working directory some 4000 characters deep: the whole
report, the files left, and the wait for Enter."""
import os
import subprocess

import drives


def deep_directory(base, length):
    path = base
    while len(path) < length:
        path = os.path.join(path, "d" * min(200, length - len(path) - 1))
    os.makedirs(path)
    return path


def test(opts):
    workdir = deep_directory(drives.scratch_dir("single-"), 4000)
    assert len(workdir) >= 4000
    launcher = subprocess.Popen(drives.command(opts, 1), cwd=workdir, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
    try:
        console = []
        for row in launcher.stdout:
            console.append(row)
            if row == "Press Enter to Exit.\n":
                break
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
