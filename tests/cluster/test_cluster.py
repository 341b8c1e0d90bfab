#!/usr/bin/env python3
"""drives_mpi with three ranks on three hosts that talk over TCP.

    test_cluster.py BINARY [--keep OUTDIR]

Builds the three-host cluster with run_cluster.sh, runs BINARY there and
checks what each machine ends up with: the root's report names the workers
by their own hosts' names, every worker's files lie on the worker's own disk
under its own processor name, and the root's result file lies on the root's.

Exit status: 0 passed, 1 failed, 77 skipped (the cluster cannot be built on
this machine), as CTest's SKIP_RETURN_CODE expects.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_CLUSTER = os.path.join(HERE, "run_cluster.sh")
SKIP = 77
NPROC = 3
HOST_DIRS = ["host-a", "host-b", "host-c"]
RESULT_FILE = re.compile(
    r"results_drives_macos_clusters_mx @ (?P<name>.*) @ "
    r"local date \d{4}\.\d{2}\.\d{2} time \d{2}\.\d{2}\.\d{2}\.txt\Z")


# The report's lines and arithmetic, and the test files' bytes, are checked
# as in the end-to-end suite.
sys.path.insert(0, os.path.join(HERE, os.pardir, "e2e"))
import drives  # noqa: E402


# mpirun's own launcher noise that says nothing about the program: the rsh
# launcher sets the agent's process group from both sides of the fork, and
# the parent's call loses the race whenever the agent has already started
# (harmless, the child's own call took effect).
LAUNCHER_NOISE = re.compile(
    r"\[[^\]]*:\d+\] plm:rsh: Warning: setpgid\(\d+,\d+\) failed in parent "
    r"with errno=Permission denied\(13\)\Z")


def program_console(lines):
    kept = []
    for line in lines:
        if LAUNCHER_NOISE.match(line):
            print(f"note: ignoring launcher warning: {line}")
        else:
            kept.append(line)
    return kept


def read_text(path):
    with open(path, encoding="utf-8", errors="surrogateescape") as stream:
        return stream.read()


def check_run(outdir, status):
    assert status == 0, f"run_cluster.sh exited with status {status}"

    names = drives.split_lines(read_text(os.path.join(outdir, "names.txt")))
    assert len(names) == NPROC, f"names.txt: {names!r}"
    assert len(set(names)) == NPROC, f"hosts share a processor name: {names!r}"
    print("processor names:", ", ".join(repr(n) for n in names))

    console_text = read_text(os.path.join(outdir, "console.txt"))
    console = program_console(drives.split_lines(console_text))
    for rank in range(1, NPROC):
        start = f"Thread:{rank} @{names[rank]}"
        assert any(line.startswith(start) for line in console), \
            f"console: no line starts with {start!r}"

    # Each worker's files on its own host, under its own name.
    for rank in range(1, NPROC):
        hostdir = os.path.join(outdir, HOST_DIRS[rank])
        base = f"data64-macos-mx-{rank} @{names[rank]}"
        for filename in (base + ".tmp", base):
            drives.check_test_file(os.path.join(hostdir, filename))
        # ...and not on any other host.
        for other in range(NPROC):
            if other != rank:
                stray = os.path.join(outdir, HOST_DIRS[other], base)
                assert not os.path.exists(stray), f"worker file on the wrong host: {stray}"

    # The result file on the root's host only, named after the root.
    rootdir = os.path.join(outdir, HOST_DIRS[0])
    results = [f for f in os.listdir(rootdir) if f.startswith("results_drives_macos_clusters_mx")]
    assert len(results) == 1, f"{rootdir}: result files {results!r}"
    found = RESULT_FILE.match(results[0])
    assert found, f"unexpected result file name {results[0]!r}"
    assert found.group("name") == names[0], \
        f"result file named after {found.group('name')!r}, root is {names[0]!r}"
    for other in HOST_DIRS[1:]:
        stray = [f for f in os.listdir(os.path.join(outdir, other))
                 if f.startswith("results_drives_macos_clusters_mx")]
        assert not stray, f"result file on a worker host {other}: {stray!r}"

    file_lines = drives.split_lines(read_text(os.path.join(rootdir, results[0])))
    drives.check_multi_report(console, file_lines, NPROC, dict(enumerate(names)))
    print("report arithmetic checked")


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--keep"):
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    binary = os.path.abspath(argv[1])
    if len(argv) == 4:
        outdir, cleanup = os.path.abspath(argv[3]), False
        os.makedirs(outdir, exist_ok=True)
    else:
        outdir, cleanup = tempfile.mkdtemp(prefix="drives-cluster-"), True

    try:
        status = subprocess.call([RUN_CLUSTER, binary, outdir], stdin=subprocess.DEVNULL)
        if status == SKIP:
            print("SKIP: the three-host cluster cannot be built here (see above)")
            return SKIP
        try:
            check_run(outdir, status)
        except AssertionError as error:
            print(f"FAIL: {error}")
            console = os.path.join(outdir, "console.txt")
            if os.path.exists(console):
                print("---- console.txt ----")
                sys.stdout.write(read_text(console))
            return 1
        print("PASS: three ranks on three hosts over TCP")
        return 0
    finally:
        if cleanup:
            shutil.rmtree(outdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
