"""drives-run without a run: each row of CASES is one input and the status and words it
must give (bad input ends with one line, "drives-run: ..."; --dry-run shows the check's
and the run's command lines, the root alone on the node named first). The node check
runs through a stand-in launcher (fake_launcher.py), on a stand-in binary. Then the MPI
is found in the real BINARY, built with MPI (openmpi or mpich); where the real launchers
are installed, Open MPI's own mapper and MPICH's own launcher place the ranks of the
command --dry-run prints. Arguments: BINARY MPI."""
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SCRATCH = os.path.realpath(tempfile.mkdtemp(prefix="drives-run-test-"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from drives_tools import version  # noqa: E402
from drives_tools.mpis import MPIS  # noqa: E402


def write(name, data, mode=0o644):
    path = pathlib.Path(SCRATCH, name)
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    path.chmod(mode)
    return str(path)


HOSTFILE = write(
    "hosts", "# the root's node first\nnode01 slots=4  # 4 cores\nnode02:2\n\nnode03\n"
)
# Slurm's scontrol for n[1-3]; launchers that run every context here.
BINDIR = os.path.dirname(write("bin/scontrol", "#!/bin/sh\necho n1; echo n2; echo n3\n", 0o755))
for launcher in ("mpirun.openmpi", "mpiexec.mpich"):
    os.symlink(os.path.join(HERE, "fake_launcher.py"), os.path.join(BINDIR, launcher))
SLURM = {"SLURM_JOB_ID": "7", "SLURM_JOB_NODELIST": "n[1-3]", "SLURM_TASKS_PER_NODE": "2(x3)"}
BAD = "drives-run: {}, line {}: "

# arguments -> status, words on stderr (or, with --dry-run, the run's command after the
# launcher's name), environment
CASES = [
    (["--bogus"], 2, "unrecognized arguments: --bogus"),
    (["--dry-run", "stray", "--", "-x"], 2, "unrecognized arguments: stray"),
    *[(["-n", n], 2, f"{n} ranks: drives_mpi takes 1 to 4096") for n in ("0", "4097")],
    (["--hosts", "a,b:4096"], 2, "4097 ranks: drives_mpi takes 1 to 4096"),
    (["--hosts", "a:5000"], 2, "--hosts, host 1: slots must be a whole number from 1 to 4096"),
    (["--hosts", "a:4,b:2", "-n", "4"], 2, "4 ranks, but the nodes give 3 slots"),
    (["--hosts", "a,-Fconfig"], 2, "--hosts, host 2: a host name cannot start with '-'"),
    (["--hosts", "a,fe80::zz"], 2, "--hosts, host 2: 'fe80::zz' is not an IPv6 address"),
    (["--hosts", "[fe80::1],b", "--mpi", "mpich"], 2, "fe80::1: MPICH's launcher takes no IPv6"),
    (["--hostfile", SCRATCH + "/missing"], 2, "missing: No such file or directory"),
    *[
        (["--hostfile", write(f"bad{n}", text)], 2, BAD.format(SCRATCH + f"/bad{n}", line) + said)
        for n, (text, line, said) in enumerate(
            [
                ("node01 slots=many\n", 1, "slots must be a whole number"),
                (
                    "n1\nn2 slots=\u00b2\n",
                    2,
                    "slots must be a whole number from 1 to 4096, found '\u00b2'",
                ),
                ("n1 slot=4\n", 1, "unknown key 'slot' (known: slots, max_slots, max-slots)"),
                (b"n1\nn\xff2\n", 2, "not UTF-8 text"),
                ("n1 slots=2 slots=3\n", 1, "two slot counts for n1"),
                ("n1:2 slots=3\n", 1, "two slot counts for n1"),
            ]
        )
    ],
    (
        ["--dry-run"],
        2,
        "Slurm's SLURM_TASKS_PER_NODE gives 2 counts for the 3 nodes",
        dict(SLURM, SLURM_TASKS_PER_NODE="2,1"),
    ),
    (["--dir", write("file", "")], 4, "the working directory " + SCRATCH + "/file is a file"),
    (
        ["--binary", SCRATCH + "/typo", "--dir", SCRATCH + "/never"],
        4,
        SCRATCH + "/typo is missing or not executable",
    ),
    (
        ["--hostfile", HOSTFILE, "--dry-run"],
        0,
        "--wdir {cwd} --host node01:1 -np 1 {bin} : "
        "--wdir {cwd} --host node02:2 -np 2 {bin} : --wdir {cwd} --host node03:1 -np 1 {bin}",
    ),
    (
        [
            "--hosts",
            "node01:4,node02",
            "--root-shares-node",
            "-n",
            "3",
            "--dry-run",
            "--",
            "--mca",
            "btl",
            "tcp,self",
        ],
        0,
        "--mca btl tcp,self --wdir {cwd} --host node01:3 -np 3 {bin}",
    ),
    (
        ["--hosts", "a,b:3", "--mpi", "mpich", "-n", "3", "--dry-run"],
        0,
        "-hosts a:1,b:2 -wdir {cwd} -n 1 {bin} : -n 2 {bin}",
    ),
    (
        ["--hosts", "[fe80::1]:2,b", "--dry-run"],
        0,
        "--wdir {cwd} --hostfile {tmp}/hosts.1 -np 1 {bin} : --wdir {cwd} --host b:1 -np 1 {bin}",
    ),
    (
        ["--dry-run", "--dir", "sub"],
        0,
        "--wdir {cwd}/sub --host n1:1 -np 1 {bin} : "
        "--wdir {cwd}/sub --host n2:2 -np 2 {bin} : --wdir {cwd}/sub --host n3:2 -np 2 {bin}",
        SLURM,
    ),
]


BINARY = write("drives_mpi", "#!/bin/sh\n", 0o755)


def drives_run(args, env={}, path=BINDIR):
    return subprocess.run(
        [os.path.join(ROOT, "tools", "drives-run"), "--binary", BINARY] + args,
        cwd=SCRATCH,
        capture_output=True,
        text=True,
        stdin=subprocess.DEVNULL,
        env=dict(os.environ, PATH=f"{path}:{os.environ['PATH']}", **env),
    )


def failed_case(args, status, said, env={}):
    done = drives_run(args, env)
    if status == 0 and done.stdout:
        run = done.stdout.splitlines()[-1].split(" ", 1)[-1].replace("--allow-run-as-root ", "")
        temporary = re.search(r"^# (\S+)/hosts\.\d+: ", done.stdout, re.M)
        want = said.format(cwd=SCRATCH, bin=BINARY, tmp=temporary and temporary[1])
        ok = done.returncode == 0 and run == want and done.stdout.startswith(("CHECK=", "# "))
    else:
        said = said if status else "?"
        ok = (
            done.returncode == status
            and not done.stdout
            and said in done.stderr
            and done.stderr.count("\n") == 1
            and done.stderr.startswith("drives-run: ")
        )
    return None if ok else f"{args}: status {done.returncode}, {done.stdout!r}, {done.stderr!r}"


def side_effects():
    """A failed check makes nothing; --dry-run needs no launcher; a link to
    the checkout's drives-run works; the MPI is found in the binary."""
    if os.path.exists(SCRATCH + "/never"):
        yield "the check with a missing binary made the working directory"
    done = drives_run(["--hosts", "a,b", "--dry-run"], path="/nonexistent")
    if done.returncode != 0 or "mpirun.openmpi " not in done.stdout:
        yield f"--dry-run without a launcher: {done}"
    link = os.path.join(SCRATCH, "link-to-drives-run")
    os.symlink(os.path.join(ROOT, "tools", "drives-run"), link)
    done = subprocess.run([link, "--version"], capture_output=True, text=True)
    if done.stdout != f"drives-run {VERSION}\n":
        yield f"through a link, --version said {done.stdout!r} {done.stderr!r}, not {VERSION}"
    # MPICH's library is libmpi.so.12 where it is not libmpich (a source
    # build, Fedora), which Open MPI's 1.10 was too; Open MPI's own
    # libraries settle it.
    for binary, mpi in (
        (REAL_BINARY, REAL_MPI),
        (write("mpich-built", b"\0libmpi.so.12\0libc.so.6\0", 0o755), "mpich"),
        (write("openmpi-built", b"\0libmpi.so.12\0libopen-pal.so.13\0", 0o755), "openmpi"),
    ):
        done = drives_run(["--binary", binary, "--dry-run"], path="")
        launcher = done.stdout.splitlines()[-1].split()[0] if done.stdout else done.stderr
        if launcher not in MPIS[mpi].launchers:
            yield f"{binary}, built with {mpi}, started by {launcher}"


def rank_zero_alone():
    """The root alone on node01, listed first, with this host second, under the real
    launchers: Open MPI's mapper (--display-map --do-not-launch), MPICH's own launcher
    (its ssh replaced by one that runs each node's share here under the node's name)."""
    here = os.uname().nodename
    for mpi, launcher in (("openmpi", "mpirun.openmpi"), ("mpich", "mpiexec.mpich")):
        real = shutil.which(launcher)
        if not real:
            print(f"SKIPPED: placement under {mpi}: no {launcher}")
            continue
        done = drives_run(["--hosts", f"node01,{here}:2", "--mpi", mpi, "--dry-run"], path="")
        run = shlex.split(done.stdout.splitlines()[-1])
        probe = ["sh", "-c", 'echo "rank ${OMPI_COMM_WORLD_RANK:-$PMI_RANK} on $(uname -n)"']
        run = [real] + [word for arg in run[1:] for word in (probe if arg == BINARY else [arg])]
        if mpi == "openmpi":
            shown = subprocess.run(
                run[:1] + ["--display-map", "--do-not-launch"] + run[1:],
                capture_output=True,
                text=True,
            ).stdout
            ranks = re.findall(r"Data for node: (\S+)|Process rank: (\d+)", shown)
            placed, node = {}, None
            for name, rank in ranks:
                node = name or node
                if rank:
                    placed[int(rank)] = node
        else:
            ssh = write(
                "ssh-here",
                '#!/bin/sh\nwhile [ "${1#-}" != "$1" ]; do shift; done\n'
                'host=$1; shift\nexec unshare --uts sh -c \'hostname "$0"; eval "$1"\''
                ' "$host" "$*"\n',
                0o755,
            )
            if subprocess.run(["unshare", "--uts", "true"], capture_output=True).returncode:
                print("SKIPPED: placement under MPICH: no UTS namespaces here")
                continue
            shown = subprocess.run(
                run[:1] + ["-launcher", "ssh", "-launcher-exec", ssh] + run[1:],
                capture_output=True,
                text=True,
                timeout=120,
            ).stdout
            placed = {int(r): n for r, n in re.findall(r"^rank (\d+) on (\S+)$", shown, re.M)}
        if placed != {0: "node01", 1: here, 2: here}:
            yield f"{mpi}: ranks placed {placed}, from {shlex.join(run)}:\n{shown}"


REAL_BINARY, REAL_MPI = os.path.abspath(sys.argv[1]), sys.argv[2]
VERSION = version.version()
failures = [f for f in (failed_case(*case) for case in CASES) if f]
failures += [*side_effects(), *rank_zero_alone()]
print("".join(f"FAILED: {failure}\n" for failure in failures) or "passed")
sys.exit(1 if failures else 0)
