"""drives-run --repeat 2, installed as a user installs it (the binary under test given to
it): two runs of two ranks, each
result file with its record beside it, the records valid and true to what this machine
says of itself, and the summary drives-run ends with the one drives-results gives for
the two result files. Then a file system too small for the run: status 4, nothing made."""
import glob
import json
import os
import shutil
import subprocess

import drives

SCHEMA = "share/drives_mpi/drives_tools/drives_run_record.schema.json"


def mount_of(path):
    """The file system's type and source, as findmnt gives them."""
    return subprocess.run(
        ["findmnt", "-nr", "-o", "FSTYPE,SOURCE", "-T", path], capture_output=True, text=True
    ).stdout.split()


def check_record(record, number, result_file, workdir, opts):
    uname = os.uname()
    with open("/proc/meminfo") as meminfo:
        memory = int(meminfo.readline().split()[1]) * 1024
    node = record["nodes"][0]
    want = {
        "name": drives.HOST,
        "host": uname.nodename,
        "ranks": [0, 1],
        "kernel": f"{uname.sysname} {uname.release}",
        "machine": uname.machine,
        "cores": os.cpu_count(),
        "memory_bytes": memory,
        "fs_type": mount_of(workdir)[0],
        "device": mount_of(workdir)[1],
    }
    got = {key: node[key] for key in want}
    assert got == want, f"record {number}: node {got}, expected {want}"
    assert 0 < node["free_bytes"] <= shutil.disk_usage(workdir).total, node
    want = {
        "status": 0,
        "failures": [],
        "root_shared_node": True,
        "result_file": result_file,
        "repeat": {"run": number, "runs": 2},
        "mpi": drives.mpis.MPIS[opts.mpi].name,
        "nodes": 1,
        "scale": drives.SCALE,
    }
    got = dict(
        {key: record[key] for key in want if key != "scale"},
        mpi=record["mpi"]["name"],
        nodes=len(record["nodes"]),
        scale=record["binary"]["test_scale"],
    )
    assert got == want, f"record {number}: {got}, expected {want}"


def test(opts):
    import jsonschema  # the set-up installs it for the tests

    prefix = drives.installed(opts)
    workdir = drives.scratch_dir("repeat-")
    done = subprocess.run(
        [os.path.join(prefix, "bin", "drives-run"), "--binary", opts.binary, "-n", "2"]
        + ["--dir", workdir, "--repeat", "2"],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=2400,
    )
    drives.check_no_sanitizer_report(done.stderr)
    assert done.returncode == 0, f"status {done.returncode}: {done.stderr}"
    results = sorted(glob.glob(os.path.join(workdir, "results_drives_*.txt")))
    records = sorted(glob.glob(os.path.join(workdir, "*.record.json")))
    assert [path[:-4] + ".record.json" for path in results] == records and len(
        records
    ) == 2, f"result files {results}, records {records}"
    with open(os.path.join(prefix, SCHEMA)) as stream:
        schema = json.load(stream)
    for number, (result_file, path) in enumerate(zip(results, records), 1):
        with open(path) as stream:
            record = json.load(stream)
        jsonschema.validate(record, schema)
        check_record(record, number, result_file, workdir, opts)
    summary = subprocess.run(
        [os.path.join(prefix, "bin", "drives-results"), "summary", *results],
        capture_output=True,
        text=True,
        check=True,
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
        done = subprocess.run(
            [
                os.path.join(prefix, "bin", "drives-run"),
                "-n",
                "2",
                "--dir",
                os.path.join(small, "new"),
            ],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=300,
        )
        made = os.listdir(small)
    assert (
        done.returncode == 4
        and not made
        and done.stderr.startswith(
            f"drives-run: not enough room in {small}/new: the run needs 65 MiB there, "
        )
    ), f"a file system of 40 MiB: status {done.returncode}, {done.stderr!r}, made {made}"


if __name__ == "__main__":
    drives.main(test)
