#!/usr/bin/env python3
"""slurm_jobs.py benchmark|light: jobs submitted from host a to the Slurm
of run_cluster.sh --slurm, as a user submits them. Needs SLURM_CONF and
CLUSTER_SCRATCH (the build in prefix/, the same with the test-scale binary in
prefix-test/, each host's disk in hosts/H/work)."""

import glob, os, re, signal, subprocess, sys

from test_cluster import check_cluster_report, processes, read, until
from drives import split_lines

JOB_SCRIPT = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples", "drives.sbatch"
)
# What outlives every job on a host: its daemons and the harness's ssh session.
LASTING = ("sshd", "ssh", "munged", "slurmctld", "slurmscriptd", "slurmd")
ENDED = ("COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL", "OUT_OF_MEMORY", "BOOT_FAIL")
# A pending job's reasons that say it is only queued, not held by a fault.
WAITING_FOR_NOTHING = ("None", "Priority", "Resources")


def slurm(*args, env=None):
    done = subprocess.run(
        args, capture_output=True, text=True, stdin=subprocess.DEVNULL, env=env, timeout=1800
    )
    said = f"{' '.join(args)}: status {done.returncode}:\n{done.stdout}{done.stderr}"
    assert done.returncode == 0, said
    return done.stdout


def job(job_id):
    """State, reason and exit code, from the controller: there is no accounting database."""
    text = slurm("scontrol", "show", "job", job_id)
    return re.search(r"JobState=(\S+) Reason=(.*?) Dependency", text).groups() + (
        re.search(r"ExitCode=(\S+)", text).group(1),
    )


def ended(job_id, timeout):
    return until(
        f"job {job_id} ends", lambda: (state := job(job_id))[0] in ENDED and state, timeout
    )


def submit(scratch, subdir, prefix="prefix-test"):
    """The job script, as a user submits it, in a working directory no node has yet."""
    env = dict(
        os.environ, DRIVES_PREFIX=f"{scratch}/{prefix}", DRIVES_DIR=f"{scratch}/work/{subdir}"
    )
    return slurm("sbatch", "--parsable", "--nodes=3", JOB_SCRIPT, env=env).strip()


def benchmark_jobs(scratch, names):
    """Cancelled mid-run (the full-size binary, whose run lasts), every rank ends; then the
    output holds the report; srun alone too (the test-scale binary)."""
    job_id, ours = submit(scratch, "cancelled", "prefix"), scratch + "/prefix/bin/drives_mpi"
    ranks_nets = lambda: {
        net for _, name, line, net in processes() if name == "drives_mpi" and ours in line
    }
    nets = until("ranks on three hosts", lambda: len(found := ranks_nets()) == 3 and found, 600)
    slurm("scancel", job_id)
    left = lambda: [
        (pid, name)
        for pid, name, _, net in processes()
        if net in nets and name not in LASTING and pid != str(os.getpid())
    ]
    until(lambda: f"the cancelled job's processes end: {left()}", lambda: not left(), 60)
    assert ended(job_id, 60)[0] == "CANCELLED", f"scancel: job {job_id} is {job(job_id)}"
    disks = lambda subdir: [f"{scratch}/hosts/{host}/work/{subdir}" for host in "abc"]
    job_id = submit(scratch, "sbatch")
    state, output = ended(job_id, 1800), read(f"{scratch}/work/drives-{job_id}.out")
    assert state[0::2] == ("COMPLETED", "0:0"), f"job {job_id}: {state}\n{output}"
    check_cluster_report(output, disks("sbatch"), names, f"{scratch}/work/sbatch")
    plugins = subprocess.run(["srun", "--mpi=list"], capture_output=True, text=True)
    if "pmix" not in plugins.stdout + plugins.stderr:
        return print(
            f"srun --mpi=pmix: unsupported: no PMIx plugin in {plugins.stdout + plugins.stderr}"
        )
    workdir = scratch + "/work/srun"
    slurm("srun", "-N3", "--ntasks-per-node=1", "mkdir", workdir)
    ours = scratch + "/prefix-test/bin/drives_mpi"
    console = slurm("srun", "--mpi=pmix", "-N3", "--ntasks-per-node=1", "--chdir", workdir, ours)
    check_cluster_report(console, disks("srun"), names, workdir)


def light_jobs(scratch, names):
    """A job submitted with one slurmd stopped fails or waits, and Slurm says why."""
    node = slurm("sinfo", "-h", "-N", "-o", "%N").split()[-1]
    pid = next(
        pid
        for pid, name, line, _ in processes()
        if name == "slurmd" and os.environ["SLURM_CONF"] in line and line.endswith(f"\0{node}\0")
    )
    os.kill(int(pid), signal.SIGTERM)
    until(f"slurmd of {node} stops", lambda: pid not in (row[0] for row in processes()), 30)
    output = f"--output={scratch}/work/fault-%j.out"
    job_id = slurm("sbatch", "--parsable", "-N3", output, "--wrap", "srun true").strip()
    waits = lambda state: state[0] == "PENDING" and state[1] not in WAITING_FOR_NOTHING
    state = until(
        f"job {job_id} fails or waits",
        lambda: ((s := job(job_id))[0] in ENDED or waits(s)) and s,
        300,
    )
    print(
        f"slurmd of {node} stopped: job {job_id}: JobState={state[0]} Reason={state[1]} "
        f"ExitCode={state[2]}",
        *map(read, glob.glob(f"{scratch}/work/fault-{job_id}.out")),
        sep="\n",
    )
    assert state[0] != "COMPLETED", f"job {job_id} completed without {node}"
    slurm("scancel", job_id)


def main(jobs):
    scratch = os.environ["CLUSTER_SCRATCH"]
    try:
        rows = sorted(split_lines(slurm("srun", "-N3", "--ntasks-per-node=1", "-l", "uname", "-n")))
        names = [row.split(": ", 1)[1] for row in rows]
        assert len(set(names)) == 3, f"srun -N3 ran on {names}"
        {"light": light_jobs, "benchmark": benchmark_jobs}[jobs](scratch, names)
    except AssertionError as error:
        sys.exit(f"FAIL: {error}")
    print("PASS")


if __name__ == "__main__":
    main(*sys.argv[1:])
