"""drives-run without a run: bad input ends with one line and a documented status, and
--dry-run shows where the ranks go (the root alone on the first of several nodes) for both
hostfile forms, a host list and a Slurm allocation (a stand-in scontrol). Argument: BINARY."""
import os
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRATCH = tempfile.mkdtemp(prefix="drives-run-test-")


def write(name, text, mode=0o644):
    path = pathlib.Path(SCRATCH, name)
    path.parent.mkdir(exist_ok=True)
    path.write_text(text)
    path.chmod(mode)
    return str(path)


HOSTFILE = write("hosts", "# the root's node first\nnode01 slots=4  # 4 cores\nnode02:2\n\nnode03\n")
# Slurm's scontrol for n[1-3], and launchers that --dry-run only names.
for command, body in (("scontrol", "echo n1; echo n2; echo n3"), ("mpirun.openmpi", "exit 1"),
                      ("mpiexec.mpich", "exit 1")):
    BINDIR = os.path.dirname(write(f"bin/{command}", f"#!/bin/sh\n{body}\n", 0o755))
SLURM = {"SLURM_JOB_ID": "7", "SLURM_JOB_NODELIST": "n[1-3]", "SLURM_TASKS_PER_NODE": "2(x3)"}

# arguments -> status, words on stderr or (--dry-run) the launcher's command after its name; env
CASES = [
    (["--bogus"], 2, "unrecognized arguments: --bogus"),
    *[(["-n", n], 2, f"{n} ranks: it takes 1 to 4096") for n in ("0", "4097")],
    (["--hostfile", SCRATCH + "/missing"], 2, "missing: No such file or directory"),
    (["--hostfile", write("bad", "node01 slots=many\n")], 2,
     "bad, line 1: expected 'host slots=N' or 'host:N'"),
    (["--hosts", "a:4,b:2", "-n", "4"], 2, "4 ranks, but the nodes give 3 slots"),
    (["stray"], 2, "launcher options go after --"),
    (["--dir", write("file", "")], 4, "the working directory is a file"),
    (["--binary", SCRATCH], 4, "is missing or not executable"),
    (["--hostfile", HOSTFILE, "--dry-run"], 0,
     "--host node01:1,node02:2,node03:1 --wdir {cwd} -np 4"),
    (["--hosts", "node01:4,node02", "--root-shares-node", "--dry-run", "--", "--mca", "btl",
      "tcp,self"], 0, "--host node01:4,node02:1 --mca btl tcp,self --wdir {cwd} -np 5"),
    (["--hosts", "a,b", "--mpi", "mpich", "--dry-run"], 0, "-hosts a:1,b:1 -wdir {cwd} -n 2"),
    (["--dry-run", "--dir", "sub"], 0, "--host n1:1,n2:2,n3:2 --wdir {cwd}/sub -np 5", SLURM),
]


def drives_run(args, env={}):
    return subprocess.run([os.path.join(ROOT, "tools", "drives-run"), "--binary", BINARY] + args,
                          cwd=SCRATCH, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=dict(os.environ, PATH=f"{BINDIR}:{os.environ['PATH']}", **env))


def failed_case(args, status, said, env={}):
    done = drives_run(args, env)
    if status == 0:
        launcher = done.stdout.split(" ", 1)[-1].strip().replace("--allow-run-as-root ", "")
        want = said.format(cwd=os.path.realpath(SCRATCH)) + " " + BINARY
        ok = done.returncode == 0 and launcher == want
    else:
        ok = (done.returncode == status and not done.stdout and said in done.stderr
              and done.stderr.count("\n") == 1 and done.stderr.startswith("drives-run: "))
    return None if ok else f"{args}: status {done.returncode}, {done.stdout!r}, {done.stderr!r}"


BINARY = os.path.abspath(sys.argv[1])
failures = [f for f in (failed_case(*case) for case in CASES) if f]
version = re.search(r"project\(\w+ VERSION (\S+)",
                    pathlib.Path(ROOT, "CMakeLists.txt").read_text()).group(1)
shown = drives_run(["--version"]).stdout
if shown != f"drives-run {version}\n":
    failures.append(f"--version said {shown!r}, CMakeLists.txt {version}")
print("".join(f"FAILED: {failure}\n" for failure in failures) or "passed")
sys.exit(1 if failures else 0)
