#!/usr/bin/env python3
"""The three-host cluster of run_cluster.sh, reached over OpenSSH.

    test_cluster.py BINARY|--faults|--interrupts [--keep OUTDIR]

No run may leave anything behind. Exit status 0 passed, 1 failed, 77
skipped after a "SKIPPED:" line (CTest's SKIP_RETURN_CODE).
"""

import glob, os, pathlib, re, shutil, signal, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
# Open MPI's rsh launcher sets ssh's process group from both sides of the
# fork, and the parent loses the race whenever ssh has started: harmless.
LAUNCHER_NOISE = re.compile(r"\[[^\]]*:\d+\] plm:rsh: Warning: setpgid\(\d+,\d+\) failed in parent")
sys.path.insert(0, os.path.join(HERE, os.pardir, "e2e"))
from drives import check_report, check_test_file, split_lines  # noqa: E402
from unittest import SkipTest as Skipped  # noqa: E402


def read(path):
    return pathlib.Path(path).read_text(encoding="utf-8", errors="surrogateescape")


def processes():
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            yield (pid, read(f"/proc/{pid}/comm").strip(), read(f"/proc/{pid}/cmdline"),
                   os.stat(f"/proc/{pid}/ns/net").st_ino)
        except OSError:
            pass


def leftovers(run_id):
    """Names with RUN_ID; processes in network namespaces not the machine's nor a live run's."""
    netns = glob.glob("/run/netns/*")
    names = netns + glob.glob("/var/tmp/*") + read("/proc/self/mountinfo").splitlines()
    names += subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout.splitlines()
    known = {os.stat(path).st_ino for path in netns + ["/proc/self/ns/net"]}
    return ([name for name in names if re.search(re.escape(run_id) + r"(?!\d)", name)] +
            [f"process {pid} {line!r}" for pid, _, line, net in processes() if net not in known])


class Run:
    """run_cluster.sh in a session of its own; once a run built a cluster, skips fail."""
    every, built = [], False

    def __init__(self, outdir, *program, fault=""):
        os.makedirs(outdir, exist_ok=True)
        self.outdir, self.id = outdir, None
        with open(os.path.join(outdir, "harness.log"), "wb") as log:
            self.proc = subprocess.Popen(
                [os.path.join(HERE, "run_cluster.sh"), outdir, *program], stdout=log,
                stdin=subprocess.DEVNULL, stderr=subprocess.STDOUT, start_new_session=True,
                env=dict(os.environ, DRIVES_CLUSTER_FAULT=fault))
        Run.every.append(self)

    def log(self):
        text = read(os.path.join(self.outdir, "harness.log"))
        skipped = re.search(r"^SKIPPED: .*", text, re.M)
        if skipped:
            assert not Run.built, f"{self.outdir}: {skipped.group(0)}, where a cluster was built"
            raise Skipped(skipped.group(0))
        Run.built = Run.built or "cluster: probe:" in text
        found = re.search(r"^cluster: run (\S+),", text, re.M)
        self.id = found and found.group(1)
        return text

    def running(self, command):
        """Waits until COMMAND runs as three ranks of this run."""
        deadline = time.monotonic() + 120
        while not (self.log() and self.id and 3 == sum(
                name == command and self.id in line for _, name, line, _ in processes())):
            assert self.proc.poll() is None, f"{self.outdir} ended:\n{self.log()}"
            assert time.monotonic() < deadline, f"{self.outdir}: no {command} ranks"
            time.sleep(0.2)

    def finish(self, timeout=300):
        status = self.proc.wait(timeout)
        print(f"---- {self.outdir}: status {status}\n{read(self.outdir + '/harness.log')}", end="")
        text = self.log()
        assert self.id, f"{self.outdir}: the run has no id"
        assert not (left := leftovers(self.id)), f"{self.id} left behind: {left}"
        return status, text


def check_benchmark(run, status):
    assert status == 0, f"run_cluster.sh exited with status {status}"
    hosts, names = zip(*(line.split("\t") for line in split_lines(read(run.outdir + "/names.txt"))))
    assert len(set(names)) == len(names) > 1, f"processor names {names!r}"
    dirs = [f"{run.outdir}/host-{host}" for host in hosts]
    console = [line for line in split_lines(read(run.outdir + "/console.txt"))
               if not LAUNCHER_NOISE.match(line)]
    assert not (warned := [ln for ln in console if ln.startswith("drives_mpi:")]), warned
    for rank in range(1, len(names)):
        # The worker's files on its own host under its own name, and nowhere else.
        for filename in (f"data64-macos-mx-{rank} @{names[rank]}" + end for end in (".tmp", "")):
            check_test_file(os.path.join(dirs[rank], filename))
            strays = [d for d in dirs if d != dirs[rank] and os.path.exists(f"{d}/{filename}")]
            assert not strays, f"{filename!r} also in {strays}"
    # The result file on the root's host only (where the root saw it at the
    # cluster's working directory), named after the root, and the report.
    strays = [f for d in dirs[1:] for f in os.listdir(d) if f.startswith("results_drives_")]
    assert not strays, f"result files on worker hosts: {strays}"
    check_report("\n".join(console) + "\n", dirs[0], len(names), list(enumerate(names))[1:],
                 names[0], shown_dir=f"/var/tmp/{run.id}/work")
    print("checked: report, arithmetic and files of", ", ".join(map(repr, names)))


def test_benchmark(outdir, binary):
    """Two clusters started at the same moment must not collide."""
    bench = Run(outdir + "/benchmark", binary)
    beside = Run(outdir + "/beside")
    try:
        assert beside.finish()[0] == 0, "the probe's cluster beside the benchmark failed"
    except Skipped:
        bench.finish(3600)  # skips as well where no cluster can be built
        raise AssertionError("only one of two clusters could be built")
    check_benchmark(bench, bench.finish(3600)[0])


def test_faults(outdir):
    """Broken ssh fails the run (no skip, no unchecked key), in ssh's words."""
    for fault, want in (("hostkey:c", ["REMOTE HOST IDENTIFICATION HAS CHANGED",
                                       "Host key verification failed."]),
                        ("sshd:b", ["sshd on host b", "no hostkeys available"])):
        status, text = Run(f"{outdir}/{fault}", fault=fault).finish()
        missing = [line for line in want if line not in text]
        assert status == 1 and not missing, f"{fault}: status {status}, lacks {missing}"


def test_interrupts(outdir):
    """Nothing is left after SIGINT and SIGTERM, and a run killed outright is
    swept away by the next run, which leaves a live one alone."""
    sigint = Run(outdir + "/sigint", "sleep", "600")
    sigint.running("sleep")
    os.killpg(sigint.proc.pid, signal.SIGINT)
    assert sigint.finish()[0] == 130, "SIGINT: status is not 130"
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


def main(args):
    if len(args) not in (1, 3) or args[1:2] not in ([], ["--keep"]):
        sys.exit(__doc__.split("\n\n")[1])
    outdir = os.path.abspath(args[2]) if args[2:] else tempfile.mkdtemp(prefix="drives-cluster-")
    tests = {"--faults": test_faults, "--interrupts": test_interrupts}
    try:
        tests.get(args[0], lambda out: test_benchmark(out, os.path.abspath(args[0])))(outdir)
        print("PASS")
        return 0
    except Skipped as skipped:
        print(skipped)
        return 77
    except AssertionError as error:
        print(f"FAIL: {error}")
        return 1
    finally:
        for run in [run for run in Run.every if run.proc.poll() is None]:
            run.proc.terminate()
            run.proc.wait()
        if not args[2:]:
            shutil.rmtree(outdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
