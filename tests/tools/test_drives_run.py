"""drives-run without a run: each row of CASES is one input and the status and words it
must give (bad input ends with one line, "drives-run: ..."; --dry-run shows the check's
and the run's command lines, the root alone on the node named first). The node check
runs through a stand-in launcher (fake_launcher.py), on a stand-in binary. Then the MPI
is found in the real binary (--binary, built with --mpi); where the real launchers are
installed, Open MPI's own mapper and MPICH's own launcher place the ranks of the command
--dry-run prints; and 4096 one-slot nodes reach the launcher with both MPIs' command
forms."""
import atexit
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from typing import Any, Dict, List

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SCRATCH = os.path.realpath(tempfile.mkdtemp(prefix="drives-run-test-"))
atexit.register(shutil.rmtree, SCRATCH, True)
sys.path.insert(0, os.path.join(ROOT, "tools"))
from drives_tools import version  # noqa: E402
from drives_tools.mpis import MPIS  # noqa: E402


def write(name: str, data: Any, mode: int = 0o644) -> str:
    path = pathlib.Path(SCRATCH, name)
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    path.chmod(mode)
    return str(path)


HOSTFILE = write(
    "hosts", "# the root's node first\nnode01 slots=4  # 4 cores\nnode02:2\n\nnode03\n"
)
# Slurm's scontrol for n[1-3]; launchers that run every context here.
SCONTROL = '#!/bin/sh\n[ "$3" = broken ] && { echo "scontrol: error: no such job" >&2; exit 1; }\n'
BINDIR = os.path.dirname(write("bin/scontrol", SCONTROL + "echo n1; echo n2; echo n3\n", 0o755))
for launcher in ("mpirun.openmpi", "mpiexec.mpich"):
    os.symlink(os.path.join(HERE, "fake_launcher.py"), os.path.join(BINDIR, launcher))
SLURM = {"SLURM_JOB_ID": "7", "SLURM_JOB_NODELIST": "n[1-3]", "SLURM_TASKS_PER_NODE": "2(x3)"}
BAD = "drives-run: {}, line {}: "

# arguments -> status, words on stderr (or, with --dry-run, the run's command after the
# launcher's name), environment
# fmt: off
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
    *[(["--hostfile", write(f"bad{n}", text)], 2, BAD.format(SCRATCH + f"/bad{n}", line) + said)
      for n, (text, line, said) in enumerate([
          ("node01 slots=many\n", 1, "slots must be a whole number"),
          ("n1\nn2 slots=\u00b2\n", 2,
           "slots must be a whole number from 1 to 4096, found '\u00b2'"),
          ("n1 slot=4\n", 1, "unknown key 'slot' (known: slots, max_slots, max-slots)"),
          (b"n1\nn\xff2\n", 2, "not UTF-8 text"),
          ("n1 slots=2 slots=3\n", 1, "two slot counts for n1"),
          ("n1:2 slots=3\n", 1, "two slot counts for n1")])],
    (["--dry-run"], 2, "Slurm's SLURM_TASKS_PER_NODE gives 2 counts for the 3 nodes",
     dict(SLURM, SLURM_TASKS_PER_NODE="2,1")),
    (["--dir", write("file", "")], 4, "the working directory " + SCRATCH + "/file is a file"),
    (["--binary", SCRATCH + "/typo", "--dir", SCRATCH + "/never"], 4,
     SCRATCH + "/typo is missing or not executable"),
    (["--hostfile", HOSTFILE, "--dry-run"], 0, "--wdir {cwd} --host node01:1 -np 1 {bin} : "
     "--wdir {cwd} --host node02:2 -np 2 {bin} : --wdir {cwd} --host node03:1 -np 1 {bin}"),
    (["--hosts", "node01:4,node02", "--root-shares-node", "-n", "3", "--dry-run", "--", "--mca",
      "btl", "tcp,self"], 0, "--mca btl tcp,self --wdir {cwd} --host node01:3 -np 3 {bin}"),
    (["--hosts", "a,b:3", "--mpi", "mpich", "-n", "3", "--dry-run"], 0,
     "-hosts a:1,b:2 -wdir {cwd} -n 1 {bin} : -n 2 {bin}"),
    (["--hosts", "[fe80::1]:2,b", "--dry-run"], 0,
     "--wdir {cwd} --hostfile {tmp}/hosts.1 -np 1 {bin} : --wdir {cwd} --host b:1 -np 1 {bin}"),
    (["--dry-run", "--dir", "sub"], 0, "--wdir {cwd}/sub --host n1:1 -np 1 {bin} : "
     "--wdir {cwd}/sub --host n2:2 -np 2 {bin} : --wdir {cwd}/sub --host n3:2 -np 2 {bin}", SLURM),
    (["--dry-run"], 2, "cannot list the nodes of Slurm job 7 with scontrol: scontrol: error: no "
     "such job", dict(SLURM, SLURM_JOB_NODELIST="broken")),
    (["--hosts", "a,b"], 4, "(status 1): bash: line 1: orted: command not found",
     {"FAKE_MODE": "bare"}),
    (["-n", "2"], 4, "ended (status 0) with no node's answer to the check", {"FAKE_MODE": "xml"}),
    (["-n", "3_0"], 2, "argument -n/--np: not a number: '3_0'"),
    (["--dir", "a\tb"], 2, "--dir: a path with a tab, a line break or another control"),
    (["--dir", "/" + "d/" * 2048], 2, "--dir: 4096 bytes, longer than this system's paths (4095"),
    (["--hosts", "a,b", "--", "--host", "a,b"], 2, "--host after --: drives-run places the"),
    (["--mpi", "mpich", "--", "-ppn", "2"], 2, "-ppn after --: drives-run places the ranks"),
    (["--binary", write("built-mpich", b"\0libmpich.so.12\0", 0o755), "--mpi", "openmpi"], 2,
     "built-mpich was built with MPICH, not Open MPI (--mpi openmpi)"),
    (["--binary", write("with-mpich", b"\0libmpich.so.12\0", 0o755), "--launcher",
      BINDIR + "/mpirun.openmpi"], 2,
     "drives_mpi runs under MPICH, but " + BINDIR + "/mpirun.openmpi is Open MPI's"),
]
# fmt: on


BINARY = write("drives_mpi", "#!/bin/sh\n", 0o755)


# fmt: off
def drives_run(args: List[str], env: Dict[str, str] = {}, path: str = BINDIR, binary: str = BINARY,
               cwd: str = SCRATCH) -> "subprocess.CompletedProcess[str]":
    return subprocess.run([os.path.join(ROOT, "tools", "drives-run"), "--binary", binary] + args,
                          cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          env=dict(os.environ, PATH=f"{path}:{os.environ['PATH']}", **env))
# fmt: on


@pytest.mark.parametrize(
    "args, status, said, env", [case + ({},) * (4 - len(case)) for case in CASES]
)
def test_case(args: List[str], status: int, said: str, env: Dict[str, str]) -> None:
    done = drives_run(args, env)
    if status == 0:
        run = done.stdout.splitlines()[-1].split(" ", 1)[-1].replace("--allow-run-as-root ", "")
        temporary = re.search(r"^# (\S+)/hosts\.\d+: ", done.stdout, re.M)
        want = said.format(cwd=SCRATCH, bin=BINARY, tmp=temporary and temporary[1])
        assert (done.returncode, run) == (0, want), done.stderr
        assert done.stdout.startswith(("export ", "# ")), done.stdout
    else:
        assert (done.returncode, done.stdout, done.stderr.count("\n")) == (status, "", 1), done
        assert done.stderr.startswith("drives-run: ") and said in done.stderr, done.stderr


def test_side_effects(opts: Any) -> None:
    """A failed check makes nothing; --dry-run needs no launcher (it says why a run would
    stop there), and its commands run as printed (the files they name are kept); a link to
    the checkout's drives-run works; a directory relative to one whose name is not UTF-8 is
    refused as the name itself is."""
    assert not os.path.exists(SCRATCH + "/never"), "the check with a missing binary made it"
    os.makedirs(SCRATCH + "/x\udcff", exist_ok=True)
    done = drives_run(["--dir", "sub", "--dry-run"], cwd=SCRATCH + "/x\udcff")
    assert (done.returncode, "--dir: not UTF-8" in done.stderr) == (2, True), done
    done = drives_run(["--hosts", "a,b", "--dry-run"], path="/nonexistent")
    launcher = done.stdout.splitlines()[-1].split()[0] if done.returncode == 0 else done.stderr
    assert os.path.basename(launcher) in MPIS["openmpi"].launchers, done
    done = drives_run(["--dry-run", "--mpi", "mpich", "--launcher", BINDIR + "/mpirun.openmpi"])
    assert done.returncode == 0 and "mpirun.openmpi is Open MPI's" in done.stderr, done
    done = drives_run(["--hosts", "[fe80::1],b", "--dry-run"])
    kept = re.findall(r"^# (\S+): ", done.stdout, re.M)
    assert kept and all(os.path.isfile(path) for path in kept), done.stdout
    link = os.path.join(SCRATCH, "link-to-drives-run")
    os.symlink(os.path.join(ROOT, "tools", "drives-run"), link)
    done = subprocess.run([link, "--version"], capture_output=True, text=True)
    assert done.stdout == f"drives-run {VERSION}\n", done


# MPICH's library is libmpi.so.12 where it is not libmpich (a source build, Fedora), which Open
# MPI's 1.10 was too; Open MPI's own libraries settle it.
# fmt: off
BUILT = [("real", "real"), (write("mpich-built", b"\0libmpi.so.12\0libc.so.6\0", 0o755), "mpich"),
         (write("openmpi-built", b"\0libmpi.so.12\0libopen-pal.so.13\0", 0o755),
          "openmpi")]
# fmt: on


@pytest.mark.parametrize("binary, mpi", BUILT)
def test_mpi_of_binary(binary: str, mpi: str, opts: Any) -> None:
    if binary == "real":
        if not opts.binary:
            pytest.skip("needs the real binary (--binary, --mpi)")
        binary, mpi = os.path.abspath(opts.binary), opts.mpi
    done = drives_run(["--dry-run"], path="", binary=binary)
    launcher = done.stdout.splitlines()[-1].split()[0] if done.stdout else done.stderr
    assert os.path.basename(launcher) in MPIS[mpi].launchers, (binary, mpi, launcher)


SSH_HERE = (
    '#!/bin/sh\nwhile [ "${1#-}" != "$1" ]; do shift; done\n'
    'host=$1; shift\nexec unshare --uts sh -c \'hostname "$0"; eval "$1"\''
    ' "$host" "$*"\n'
)


@pytest.mark.parametrize(
    "mpi, launcher", [("openmpi", "mpirun.openmpi"), ("mpich", "mpiexec.mpich")]
)
def test_rank_zero_alone(mpi: str, launcher: str) -> None:
    """The root alone on node01, listed first, with this host second, under the real
    launchers: Open MPI's mapper (--display-map --do-not-launch), MPICH's own launcher
    (its ssh replaced by one that runs each node's share here under the node's name)."""
    here = os.uname().nodename
    real = shutil.which(launcher)
    if not real:
        pytest.skip(f"placement under {mpi}: no {launcher}")
    done = drives_run(["--hosts", f"node01,{here}:2", "--mpi", mpi, "--dry-run"], path="")
    run = shlex.split(done.stdout.splitlines()[-1])
    probe = ["sh", "-c", 'echo "rank ${OMPI_COMM_WORLD_RANK:-$PMI_RANK} on $(uname -n)"']
    run = [real] + [word for arg in run[1:] for word in (probe if arg == BINARY else [arg])]
    if mpi == "openmpi":
        mapped = run[:1] + ["--display-map", "--do-not-launch"] + run[1:]
        shown = subprocess.run(mapped, capture_output=True, text=True).stdout
        placed, node = {}, None
        for name, rank in re.findall(r"Data for node: (\S+)|Process rank: (\d+)", shown):
            node = name or node
            if rank:
                placed[int(rank)] = node
    else:
        if subprocess.run(["unshare", "--uts", "true"], capture_output=True).returncode:
            pytest.skip("placement under MPICH: no UTS namespaces here")
        ssh = write("ssh-here", SSH_HERE, 0o755)
        launched = run[:1] + ["-launcher", "ssh", "-launcher-exec", ssh] + run[1:]
        shown = subprocess.run(launched, capture_output=True, text=True, timeout=120).stdout
        placed = {int(r): n for r, n in re.findall(r"^rank (\d+) on (\S+)$", shown, re.M)}
    assert placed == {0: "node01", 1: here, 2: here}, f"{shlex.join(run)}:\n{shown}"


@pytest.mark.parametrize("mpi", ["openmpi", "mpich", "mpiexec.mpich"])
def test_many_nodes(mpi: str) -> None:
    """4096 one-slot nodes with long names: both command lines reach the launcher (no
    argument-list limit), the check's script once, in the launcher's environment; MPICH's
    own launcher takes the nodes (given 5 s: the stand-in ssh fails, and it waits on)."""
    # Long names for the command lines, short ones for a host list MPICH's launcher reads.
    name = "node-{:04d}.rack.cluster.example.org" if mpi in MPIS else "n{:04d}"
    hosts = write(f"hosts-{mpi}", "".join(name.format(n) + "\n" for n in range(4096)))
    if mpi in MPIS:
        launcher = write(f"bin-{mpi}/launcher", '#!/bin/sh\necho "$# words" >&2\n', 0o755)
        args = ["--mpi", mpi, "--launcher", launcher]
        said = r"ended \(status 0\).*it said: \d+ words"
    elif shutil.which(mpi):
        ssh = write("ssh-fails", "#!/bin/sh\nexit 255\n", 0o755)
        args = ["--mpi", "mpich", "--launcher", str(shutil.which(mpi)), "--check-timeout", "5"]
        args += ["--", "-launcher-exec", ssh]
        said = "no answer within 5 s"
    else:
        pytest.skip(f"no {mpi}")
    args = ["--hostfile", hosts, "-n", "4095", "--dir", SCRATCH] + args
    done = drives_run(args)
    assert done.returncode == 4 and re.search(said, done.stderr), done.stderr[-2000:]
    dry = drives_run(["--dry-run"] + args).stdout
    assert dry.count("Darwin") == 1, "the check's script is not once in --dry-run's commands"


VERSION = version.version()


def test_first_launcher_on_path() -> None:
    """A module's mpirun first on PATH wins over the distribution's mpirun.openmpi, also for a
    binary whose own launcher is gone (its module unloaded), which is said."""
    module = write("module-bin/mpirun", '#!/bin/sh\necho "mpirun (Open MPI) 5.0.3"\n', 0o755)
    facts = (
        b"drives_mpi build: version 1; commit c; test scale 1; mpi openmpi; launcher /gone/mpirun\0"
    )
    built = write("built", facts, 0o755)
    for binary, said in ((BINARY, ""), (built, "/gone/mpirun, the launcher drives_mpi was built")):
        done = drives_run(["--dry-run"], path=f"{os.path.dirname(module)}:{BINDIR}", binary=binary)
        assert done.stdout.splitlines()[-1].split()[0] == module, done
        assert said in done.stderr and bool(said) == bool(done.stderr), done.stderr
