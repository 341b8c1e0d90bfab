"""One rank in a working directory some 4000 characters deep: the whole
report, the files left, every one-byte access a system call of its own, and
the wait for Enter."""
import os
import subprocess

import drives


def deep_directory(base, length):
    path = base
    while len(path) < length:
        path = os.path.join(path, "d" * min(200, length - len(path) - 1))
    os.makedirs(path)
    return path


def root_pid(launcher_pid, binary):
    """The rank-0 process among the launcher's descendants."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.path.realpath(f"/proc/{entry}/exe") != os.path.realpath(binary):
                continue
            with open(f"/proc/{entry}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            if parent == launcher_pid:
                return int(entry)
        except OSError:
            continue
    return None


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
        pid = root_pid(launcher.pid, opts.binary)
        assert pid, "no rank-0 process waiting for Enter"
        with open(f"/proc/{pid}/io") as stream:
            io = dict((k.strip(), int(v)) for k, v in (row.split(":") for row in stream))
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
    drives.check_io(io, drives.LOW_ACCESSES, drives.LOW_ACCESSES, "root")


if __name__ == "__main__":
    drives.main(test)
