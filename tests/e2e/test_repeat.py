"""drives-run --repeat 2, installed as a user installs it (the binary under test given to
it): two runs of two ranks, each result file with its record beside it, the records
valid and true to what this machine says of itself, and the summary drives-run ends with
the one drives-results gives for the two result files. Then, on one small file system:
too little room or too few free inodes for the run (status 4, nothing made), and a disk
that fills during the run, whose record cannot be written at its end: the record written
at its start lies beside the result file, unfinished, and the run is left out of the
end table."""
import glob
import json
import os
import shutil
import subprocess

import drives

SCHEMA = "share/drives_mpi/drives_tools/drives_run_record.schema.json"


def mount_of(path):
    """The file system's type and source, as findmnt gives them."""
    return drives.call(["findmnt", "-nr", "-o", "FSTYPE,SOURCE", "-T", path]).stdout.split()


def check_record(record, number, result_file, workdir, opts):
    uname = os.uname()
    with open("/proc/meminfo") as meminfo:
        memory = int(meminfo.readline().split()[1]) * 1024
    node = record["nodes"][0]
    # fmt: off
    want = {"name": drives.HOST, "host": uname.nodename, "ranks": [0, 1], "machine": uname.machine,
            "kernel": f"{uname.sysname} {uname.release}", "cores": os.cpu_count(),
            "memory_bytes": memory, "fs_type": mount_of(workdir)[0], "device": mount_of(workdir)[1]}
    # fmt: on
    got = {key: node[key] for key in want}
    assert got == want, f"record {number}: node {got}, expected {want}"
    assert 0 < node["free_bytes"] <= shutil.disk_usage(workdir).total, node
    # fmt: off
    want = {"status": 0, "failures": [], "root_shared_node": True, "result_file": result_file,
            "repeat": {"run": number, "runs": 2}, "mpi": drives.mpis.MPIS[opts.mpi].name,
            "nodes": 1, "scale": drives.SCALE}
    got = dict({key: record[key] for key in want if key != "scale"}, mpi=record["mpi"]["name"],
               nodes=len(record["nodes"]), scale=record["binary"]["test_scale"])
    # fmt: on
    assert got == want, f"record {number}: {got}, expected {want}"


def test(opts):
    import jsonschema  # the set-up installs it for the tests

    prefix = drives.installed(opts)
    workdir = drives.scratch_dir("repeat-")
    drives_run = [os.path.join(prefix, "bin", "drives-run"), "-n", "2", "--repeat", "2"]
    done = drives.call(drives_run + ["--binary", opts.binary, "--dir", workdir], 2400)
    drives.check_no_sanitizer_report(done.stderr)
    assert done.returncode == 0, f"status {done.returncode}: {done.stderr}"
    results = sorted(glob.glob(os.path.join(workdir, "results_drives_*.txt")))
    records = sorted(glob.glob(os.path.join(workdir, "*.record.json")))
    wanted = [path[:-4] + ".record.json" for path in results]
    assert wanted == records and len(records) == 2, f"result files {results}, records {records}"
    with open(os.path.join(prefix, SCHEMA)) as stream:
        schema = json.load(stream)
    for number, (result_file, path) in enumerate(zip(results, records), 1):
        with open(path) as stream:
            record = json.load(stream)
        jsonschema.validate(record, schema)
        check_record(record, number, result_file, workdir, opts)
    summary = drives.call(
        [os.path.join(prefix, "bin", "drives-results"), "summary", *results], check=True
    ).stdout
    tail = done.stdout.rsplit("Press Enter to Exit.\n", 1)[-1]
    assert tail == "\n" + summary, f"drives-run's summary:\n{tail}\ndrives-results':\n{summary}"
    runs = os.environ.get("DRIVES_RUNS_DIR")
    if runs:  # both runs and their records, for the results tool's tests
        keep = os.path.join(runs, "test_repeat-2")
        shutil.rmtree(keep, ignore_errors=True)
        os.makedirs(keep)
        for path in results + records:
            shutil.copy(path, keep)

    with drives.tmpfs("40m") as small:
        for row in SMALL:
            small_row(prefix, opts, small, *row)


def fill(small, leave_kib):
    """The file system all but full, with a stale rank file that is sparse: it counts as
    room the run will reuse, so the check passes and the run's writes fail."""
    os.makedirs(os.path.join(small, "new"))
    free = shutil.disk_usage(small).free // 1024
    with open(os.path.join(small, "filler"), "wb") as stream:
        stream.write(b"\0" * ((free - leave_kib) * 1024))
    with open(os.path.join(small, "new", "data64-macos-mx-single"), "wb") as stream:
        stream.truncate(64 << 20)


def remount(small, options):
    subprocess.run(["mount", "-o", "remount," + options, small], check=True)


def clear(small):
    remount(small, "nr_inodes=65536")
    for name in os.listdir(small):
        path = os.path.join(small, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)


# how the small file system is made ready, the binary (None: the installed one), status,
# what drives-run says first, and what it leaves in the working directory
# fmt: off
SMALL = [
    (None, None, 4, "drives-run: not enough room in {dir}: the run needs 65 MiB there, ", []),
    (lambda small: remount(small, f"nr_inodes={4 + len(os.listdir(small))}"), "scaled", 4,
     "drives-run: not enough free inodes in {dir}: the run needs 14 files there, ", []),
    # Run 1 fills the disk; run 2's check then finds no room.
    (lambda small: fill(small, 256), "scaled", 4, "drives_mpi: ", ["unfinished record"]),
]
# fmt: on


def small_row(prefix, opts, small, prepare, binary, status, said, left):
    clear(small)
    if prepare:
        prepare(small)
    workdir = os.path.join(small, "new")
    drives_run = [os.path.join(prefix, "bin", "drives-run"), "-n", "2", "--repeat", "2"]
    done = drives.call(
        drives_run + ["--dir", workdir] + (["--binary", opts.binary] if binary else [])
    )
    found = []
    for name in sorted(os.listdir(workdir)) if os.path.isdir(workdir) else []:
        if name.endswith(".record.json"):
            with open(os.path.join(workdir, name)) as stream:
                record = json.load(stream)
            beside = os.path.exists(os.path.join(workdir, name[: -len(".record.json")] + ".txt"))
            found.append("unfinished record" if beside and not record["finished"] else name)
    assert (done.returncode, found) == (status, left) and done.stderr.startswith(
        said.format(dir=workdir)
    ), f"{said}: status {done.returncode}, {done.stderr!r}, left {found}"
    if left:
        assert "run 1 is left out of the summary: its record could not be written" in done.stderr
    else:
        assert not os.path.exists(workdir), f"{said}: the check made {workdir}"
