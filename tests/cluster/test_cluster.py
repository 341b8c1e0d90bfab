#!/usr/bin/env python3
"""The cluster of run_cluster.sh (three to five hosts on this machine, reached over
OpenSSH), and Slurm on it: the build (--build) installed, the benchmark started with its
drives-run or submitted as a job; the test-scale binary (--binary) installed in its place where a
run need not last. No run may leave anything behind. Needs root; skips where no cluster can be
built. DRIVES_CLUSTER_KEEP=DIR keeps what the runs made.

    pytest tests/cluster/test_cluster.py --build BUILD --binary BINARY [-k benchmark|faults|...]
"""

import glob, json, os, pathlib, re, shutil, signal, subprocess, sys, tempfile, time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
# Open MPI's rsh launcher sets ssh's process group from both sides of the
# fork, and the parent loses the race whenever ssh has started: harmless.
LAUNCHER_NOISE = re.compile(r"\[[^\]]*:\d+\] plm:rsh: Warning: setpgid\(\d+,\d+\) failed in parent")
sys.path.insert(0, os.path.join(HERE, os.pardir, "e2e"))
from drives import SCALE, check_report, check_test_file, rank_files, split_lines  # noqa: E402
from drives import scale_note  # noqa: E402


def read(path):
    return pathlib.Path(path).read_text(encoding="utf-8", errors="surrogateescape")


def processes():
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            comm, line = read(f"/proc/{pid}/comm").strip(), read(f"/proc/{pid}/cmdline")
            yield pid, comm, line, os.stat(f"/proc/{pid}/ns/net").st_ino
        except OSError:
            pass


def until(what, condition, timeout):
    """CONDITION's first true value, polled for at most TIMEOUT seconds;
    else fails, saying WHAT (or what it returns) did not happen."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {timeout} s: {what() if callable(what) else what}")
        time.sleep(0.2)
    return value


def leftovers(run_id):
    """What carries RUN_ID: namespaces, scratch, mounts, links, and processes
    in its hosts' mount namespaces. Other runs' entries may come and go."""
    mine = re.compile(re.escape(run_id) + r"(?!\d)")
    names = glob.glob("/run/netns/*") + glob.glob("/var/tmp/*")
    names += read("/proc/self/mountinfo").splitlines()
    names += subprocess.run(
        ["ip", "-o", "link"], capture_output=True, text=True
    ).stdout.splitlines()
    found = [name for name in names if mine.search(name)]
    for pid, _, line, _ in processes():
        try:
            if mine.search(read(f"/proc/{pid}/mountinfo")):
                found.append(f"process {pid} {line!r}")
        except OSError:
            pass
    return found


class Run:
    """run_cluster.sh in a session of its own; once a run built a cluster, skips fail."""

    every, built = [], False

    def __init__(self, outdir, *program, fault="", **env):
        os.makedirs(outdir, exist_ok=True)
        self.outdir, self.id = outdir, None
        with open(os.path.join(outdir, "harness.log"), "wb") as log:
            self.proc = subprocess.Popen(
                [os.path.join(HERE, "run_cluster.sh"), outdir, *program],
                stdout=log,
                stdin=subprocess.DEVNULL,
                stderr=subprocess.STDOUT,
                start_new_session=True,
                env=dict(os.environ, DRIVES_CLUSTER_FAULT=fault, **env),
            )
        Run.every.append(self)

    def log(self):
        text = read(os.path.join(self.outdir, "harness.log"))
        skipped = re.search(r"^SKIPPED: .*", text, re.M)
        if skipped:
            assert not Run.built, f"{self.outdir}: {skipped.group(0)}, where a cluster was built"
            pytest.skip(skipped.group(0))
        Run.built = Run.built or "cluster: probe:" in text
        found = re.search(r"^cluster: run (\S+),", text, re.M)
        self.id = found and found.group(1)
        return text

    def running(self, command):
        """Waits until COMMAND runs on all three hosts of this run."""

        def hosts():
            assert self.proc.poll() is None, f"{self.outdir} ended:\n{self.log()}"
            mine = self.log() and self.id
            return {
                net
                for _, name, line, net in processes()
                if mine and mine in line and name == command
            }

        until(f"{self.outdir}: {command} on three hosts", lambda: len(hosts()) == 3, 120)

    def finish(self, timeout=300):
        until(f"{self.outdir}: the run's end", lambda: self.proc.poll() is not None, timeout)
        status = self.proc.returncode
        console = self.outdir + "/console.txt"
        print(
            f"---- {self.outdir}: status {status}\n{read(self.outdir + '/harness.log')}"
            + (read(console) if os.path.exists(console) else ""),
            end="",
        )
        text = self.log()
        assert self.id, f"{self.outdir}: the run has no id"
        assert not (left := leftovers(self.id)), f"{self.id} left behind: {left}"
        assert "left running after" not in text, f"{self.outdir}: the launcher left processes"
        return status, text


def files(pattern):
    return [path for path in glob.glob(pattern, recursive=True) if os.path.isfile(path)]


def check_cluster_report(console, dirs, names, shown_dir):
    """Rank r named names[r], working in dirs[r] (its host's disk; shown_dir to the
    ranks): each worker's files on its own host only, the root's result file on its
    host only, the report line by line, and nothing on standard error but that a
    test build is one."""
    lines = split_lines(console)
    notes = [line + "\n" for line in lines if line.startswith("drives_mpi:")]
    assert "".join(notes) in ("", scale_note()), notes  # "": standard error not in the console
    console = "".join(line + "\n" for line in lines if not line.startswith("drives_mpi:"))
    for rank in range(1, len(names)):
        for filename in rank_files(rank, names[rank]):
            check_test_file(os.path.join(dirs[rank], filename))
            strays = {d for d in dirs if d != dirs[rank] and os.path.exists(f"{d}/{filename}")}
            assert not strays, f"{filename!r} also in {strays}"
    others = set(dirs[1:]) - {dirs[0]}
    strays = [f for d in others for f in os.listdir(d) if f.startswith("results_drives_")]
    assert not strays, f"result files on worker hosts: {strays}"
    check_report(
        console, dirs[0], len(names), list(enumerate(names))[1:], names[0], shown_dir=shown_dir
    )
    print("checked: report, arithmetic and files of", ", ".join(sorted(set(map(repr, names)))))


@pytest.fixture
def outdir():
    """Where the runs keep what they made; every run still going at the end is stopped.
    Started in the background by a script, this test inherits an ignored SIGINT, which
    bash cannot trap: a handler of its own gives the harness the default back."""
    for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda number, _: sys.exit(128 + number))
    keep = os.environ.get("DRIVES_CLUSTER_KEEP")
    path = os.path.abspath(keep) if keep else tempfile.mkdtemp(prefix="drives-cluster-")
    yield path
    for run in [run for run in Run.every if run.proc.poll() is None]:
        run.proc.terminate()
        run.proc.wait()
    if not keep:
        shutil.rmtree(path, ignore_errors=True)


HOSTS, SLOTS = "abcde", 8  # the benchmark's cluster: the root alone on a, 8 ranks on each other


def test_benchmark(outdir, opts):
    """drives-run of an installed build with the test-scale binary, started on host b,
    on five hosts: the root on host a, listed first, alone, then eight ranks on each of
    the others (clusters that overlap are the interrupt and Slurm tests' business)."""
    env = {"DRIVES_CLUSTER_HOSTS": str(len(HOSTS)), "DRIVES_CLUSTER_SLOTS": str(SLOTS)}
    run = Run(
        outdir + "/benchmark", "--drives-run", opts.build, DRIVES_CLUSTER_BINARY=opts.binary, **env
    )
    status = run.finish(3600)[0]
    assert status == 0, f"run_cluster.sh exited with status {status}"
    hosts, names = zip(*(line.split("\t") for line in split_lines(read(run.outdir + "/names.txt"))))
    assert hosts == tuple(HOSTS) and len(set(names)) == len(names), f"hosts {hosts}, names {names}"
    per_rank = [0] + [1 + rank // SLOTS for rank in range(SLOTS * (len(HOSTS) - 1))]
    console = "".join(line + "\n" for line in split_lines(read(run.outdir + "/console.txt"))
                      if not LAUNCHER_NOISE.match(line))  # fmt: skip
    dirs = [f"{run.outdir}/host-{hosts[host]}/work/new/dir" for host in per_rank]
    ranks_names = [names[host] for host in per_rank]
    check_cluster_report(console, dirs, ranks_names, f"/var/tmp/{run.id}/work/new/dir")
    # drives-run ran on host b: the record went to host a, beside the result file.
    records = glob.glob(f"{dirs[0]}/results_*.record.json")
    assert len(records) == 1, f"records beside the result file on host a: {records}"
    record = json.loads(read(records[0]))
    ranks = [[r for r, host in enumerate(per_rank) if host == h] for h in range(len(HOSTS))]
    assert [(n["host"], n["ranks"]) for n in record["nodes"]] == list(zip(names, ranks)), record
    assert record["binary"]["test_scale"] == SCALE, record["binary"]
    assert not (homes := files(f"{run.outdir}/host-*/home/**")), f"files in homes: {homes}"


def test_faults(outdir, opts):
    """Broken ssh fails the run (no skip, no unchecked key), in ssh's words;
    a node that cannot make the working directory stops drives-run before
    any rank measures, named as the hostfile names it."""
    for fault, want in (
        ("hostkey:c", ["REMOTE HOST IDENTIFICATION HAS CHANGED", "Host key verification failed."]),
        ("sshd:b", ["sshd on host b", "no hostkeys available"]),
    ):
        status, text = Run(f"{outdir}/{fault}", fault=fault).finish()
        missing = [line for line in want if line not in text]
        assert status == 1 and not missing, f"{fault}: status {status}, lacks {missing}"
    run = Run(f"{outdir}/rodir", "--drives-run", opts.build, fault="rodir:c")
    status, text = run.finish()
    console = read(run.outdir + "/console.txt")
    said = re.search(
        rf"^drives-run: 10\.77\.0\.13: .*/var/tmp/{run.id}/work/new/dir", console, re.M
    )
    assert status == 4 and said and "Velkora" not in console, f"read-only host c: status {status}"
    assert not (made := files(f"{run.outdir}/host-*/**")), f"files made: {made}"


def test_interrupts(outdir, opts):
    """Nothing is left after SIGINT (to the harness, or to drives-run, which
    ends every rank itself) and SIGTERM, and a run killed outright is swept
    away by the next run, which leaves a live one alone. The full-size binary:
    its run lasts long enough to be stopped in the middle."""
    sigint = Run(outdir + "/sigint", "sleep", "600")
    launcher = Run(outdir + "/drives-run", "--drives-run", opts.build)
    sigint.running("sleep")
    launcher.running("drives_mpi")
    os.killpg(sigint.proc.pid, signal.SIGINT)
    ours = [
        pid for pid, name, line, _ in processes() if launcher.id in line and name == "drives-run"
    ]
    os.kill(int(ours[0]), signal.SIGINT)
    assert sigint.finish()[0] == 130, "SIGINT: status is not 130"
    assert launcher.finish()[0] == 255, "drives-run ends by its signal, 255 through ssh: not so"
    live, killed = Run(outdir + "/live", "sleep", "600"), Run(outdir + "/killed", "sleep", "600")
    live.running("sleep")
    killed.running("sleep")
    killed.proc.kill()
    killed.proc.wait()
    assert leftovers(killed.id), "a run killed outright left nothing: the sweep goes untested"
    assert Run(outdir + "/sweeper").finish()[0] == 0, "the sweeping run failed"
    assert not leftovers(killed.id), f"the sweep left {leftovers(killed.id)}"
    live.running("sleep")
    live.proc.terminate()
    assert live.finish()[0] == 143, "SIGTERM: status is not 143"


def test_slurm(outdir, opts):
    """Two Slurm clusters started at the same moment: the benchmark's jobs on
    one, a light job and a stopped slurmd on the other. The jobs' python3 is
    the one a login on host a finds: this one may live in a home it lacks."""
    # fmt: off
    runs = [Run(f"{outdir}/{jobs}", "--slurm", opts.build, "python3", f"{HERE}/slurm_jobs.py", jobs,
                DRIVES_CLUSTER_BINARY=opts.binary) for jobs in ("light", "benchmark")]
    # fmt: on
    for run in runs:
        assert run.finish(3600)[0] == 0, f"{run.outdir} failed"
