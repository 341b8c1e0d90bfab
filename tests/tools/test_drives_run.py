"""drives-run without a run: bad input ends with one line and a documented
status, and --dry-run shows where the ranks go (the root alone on the first
of several nodes) for both hostfile forms, a host list and a Slurm
allocation (a stand-in scontrol). Usage: test_drives_run.py BINARY."""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRATCH = tempfile.mkdtemp(prefix="drives-run-test-")


def write(name, text, mode=0o644):
    path = os.path.join(SCRATCH, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as stream:
        stream.write(text)
    os.chmod(path, mode)
    return path


HOSTFILE = write("hosts", "# the root's node first\nnode01 slots=4  # 4 cores\nnode02:2\n\nnode03\n")
NOT_A_DIR = write("file", "")
BAD_HOSTFILE = write("bad", "node01 slots=many\n")
# Slurm's scontrol for n[1-3], and launchers that --dry-run only names.
for command, body in (("scontrol", "echo n1; echo n2; echo n3"), ("mpirun.openmpi", "exit 1"),
                      ("mpiexec.mpich", "exit 1")):
    BINDIR = os.path.dirname(write(f"bin/{command}", f"#!/bin/sh\n{body}\n", 0o755))

# arguments, environment -> status, what stderr says (a pattern), or the
# launcher's command after its name (--dry-run)
CASES = [
    (["--bogus"], {}, 2, "unrecognized arguments: --bogus"),
    (["-n", "0"], {}, 2, "0 ranks: it takes 1 to 4096"),
    (["-n", "4097"], {}, 2, "4097 ranks: it takes 1 to 4096"),
    (["--hostfile", SCRATCH + "/missing"], {}, 2, "missing: No such file or directory"),
    (["--hostfile", BAD_HOSTFILE], {}, 2, "bad, line 1: expected 'host slots=N' or 'host:N'"),
    (["--hosts", "a:4,b:2", "-n", "4"], {}, 2, "4 ranks, but the nodes give 3 slots"),
    (["stray"], {}, 2, "launcher options go after --"),
    (["--dir", NOT_A_DIR], {}, 4, "the working directory is a file"),
    (["--binary", SCRATCH], {}, 4, "is missing or not executable"),
    (["--hostfile", HOSTFILE, "--dry-run"], {}, 0,
     "--host node01:1,node02:2,node03:1 --wdir {cwd} -np 4"),
    (["--hosts", "node01:4,node02", "--root-shares-node", "--dry-run", "--", "--mca", "btl",
      "tcp,self"], {}, 0, "--host node01:4,node02:1 --mca btl tcp,self --wdir {cwd} -np 5"),
    (["--hosts", "a,b", "--mpi", "mpich", "--dry-run"], {}, 0, "-hosts a:1,b:1 -wdir {cwd} -n 2"),
    (["--dry-run", "--dir", "sub"], {"SLURM_JOB_ID": "7", "SLURM_JOB_NODELIST": "n[1-3]",
                                     "SLURM_TASKS_PER_NODE": "2(x3)"}, 0,
     "--host n1:1,n2:2,n3:2 --wdir {cwd}/sub -np 5"),
]


def drives_run(args, env):
    env = dict(os.environ, PATH=BINDIR + os.pathsep + os.environ["PATH"], **env)
    return subprocess.run([os.path.join(ROOT, "tools", "drives-run"), "--binary", BINARY] + args,
                          cwd=SCRATCH, env=env, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


def failed_case(args, env, status, said):
    done = drives_run(args, env)
    if status == 0:
        launcher = done.stdout.split(" ", 1)[-1].strip()
        want = said.format(cwd=os.path.realpath(SCRATCH)) + " " + BINARY
        ok = done.returncode == 0 and re.sub(r"--allow-run-as-root ", "", launcher) == want
    else:
        ok = (done.returncode == status and not done.stdout and said in done.stderr
              and done.stderr.count("\n") == 1 and done.stderr.startswith("drives-run: "))
    return None if ok else f"{args}: status {done.returncode}, {done.stdout!r}, {done.stderr!r}"


def main():
    failures = [f for f in (failed_case(*case) for case in CASES) if f]
    with open(os.path.join(ROOT, "CMakeLists.txt")) as stream:
        version = re.search(r"project\(\w+ VERSION (\S+)", stream.read()).group(1)
    shown = drives_run(["--version"], {}).stdout
    if shown != f"drives-run {version}\n":
        failures.append(f"--version said {shown!r}, CMakeLists.txt {version}")
    print("".join(f"FAILED: {failure}\n" for failure in failures) or "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    sys.exit(main())
