"""scripts/setup.sh's choices on every kind of system, made with stand-ins on an otherwise
empty PATH that record how they were called: the system's (uname, id, sudo, the package
database), its package manager's, and the tools the build needs. A row names the stand-ins
present; a package manager's install puts every tool in place, as a real one would."""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

SETUP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "setup.sh")
REAL = ("env", "mktemp", "rm", "sed", "cp", "mkdir", "dirname", "touch")
TOOLS = "cc c++ make cmake python3 clang-format mpicc mpirun mpiexec"
SAYS = (
    'case "$1" in --showme:version) [ "$says" = openmpi ] && echo "mpicc: Open MPI 4.1";; '
    '-show) [ "$says" = mpich ] && echo "gcc -lmpich";; --version) [ "$says" = openmpi ] && '
    'echo "mpirun (Open MPI) 4.1" || echo "HYDRA build details";; esac'
)
MANAGER = (
    'case "$*" in *install*) [ "${STANDIN_FAIL:-0}" = 0 ] || exit "$STANDIN_FAIL"; '
    "for t in " + TOOLS + '; do cp "$STANDIN_SHELF/$t" "$STANDIN_BIN"; done; '
    'touch "$STANDIN_BIN/installed";; esac; exit "${STANDIN_FAIL:-0}"'
)
STANDINS = {
    "uname": 'echo "$STANDIN_OS"',
    "id": 'echo "${STANDIN_UID:-0}"',
    "sudo": '[ -n "${STANDIN_SUDO:-}" ] || exit 1; [ "$1" = -n ] && shift; "$@"',
    "dpkg-query": '[ -e "$STANDIN_BIN/installed" ] && echo "install ok installed"',
    "rpm": 'if [ "$1" = -E ]; then echo "${STANDIN_RHEL:-%rhel}"; else [ -e "$STANDIN_BIN/installed" ]; fi',
    "apt-get": MANAGER,
    "dnf": MANAGER,
    "zypper": MANAGER,
    "brew": MANAGER,
    "cmake": '[ "$1" = --version ] && echo "cmake version ${STANDIN_CMAKE:-3.25.1}"; exit 0',
    "python3": 'case "$*" in *version_info*) echo 3.11;; esac',
    "mpicc": "says=${STANDIN_MPICC:-${MPI:-openmpi}}; " + SAYS,
    "mpirun": "says=${STANDIN_LAUNCHER:-${MPI:-openmpi}}; " + SAYS,
    "mpiexec": "says=${STANDIN_LAUNCHER:-${MPI:-openmpi}}; " + SAYS,
}
BUILD = "cc c++ make cmake python3 "
APT = "apt-get update -q; apt-get install -y -q g++ cmake make python3 "
BREW = "brew install cmake python "
ROOTLESS = {"STANDIN_UID": "1000"}

# os, stand-ins present, environment, purpose -> status, words on stderr, install calls
CASES = [
    # Debian as root: everything, each tool in Debian's package.
    (
        "Linux",
        "apt-get dpkg-query",
        {},
        "test",
        0,
        "",
        APT + "libopenmpi-dev openmpi-bin "
        "dpkg-dev libgtest-dev python3-jsonschema python3-matplotlib clang-format util-linux "
        "iproute2 openssh-server openssh-client slurmctld slurmd slurm-client munge mmdebstrap "
        "lintian rpm",
    ),
    (
        "Linux",
        "apt-get dpkg-query",
        {"MPI": "mpich", "STDLIB": "libc++", "STANDIN_SUDO": "1", **ROOTLESS},
        "run",
        0,
        "",
        APT + "mpich libmpich-dev clang libc++-14-dev libc++abi-14-dev googletest",
    ),
    # Debian without the rights: only the old CMake is missing, and nothing is installed.
    (
        "Linux",
        "apt-get dpkg-query mpicc mpirun " + BUILD,
        {"STANDIN_CMAKE": "3.10.2", **ROOTLESS},
        "run",
        1,
        "(cmake is 3.10.2). Run as root: \nsetup:   apt-get update && apt-get install -y "
        "cmake\n",
        "",
    ),
    (
        "Linux",
        "apt-get dpkg-query",
        {"STANDIN_FAIL": "100"},
        "run",
        1,
        "this step failed: env DEBIAN_FRONTEND=noninteractive apt-get update -q",
        "apt-get update -q",
    ),
    # A cluster, MPI from modules or Spack: nothing to install, no root needed.
    ("Linux", "apt-get dpkg-query mpicc mpirun " + BUILD, ROOTLESS, "run", 0, "", ""),
    (
        "Linux",
        "dnf rpm",
        {},
        "test",
        0,
        "",
        "dnf install -y gcc-c++ cmake make python3 "
        "openmpi-devel rpm-build gtest-devel python3-jsonschema python3-matplotlib clang-tools-extra "
        "util-linux iproute openssh-server openssh-clients slurm slurm-slurmctld slurm-slurmd munge",
    ),
    (
        "Linux",
        "dnf rpm",
        {"STANDIN_RHEL": "9"},
        "test",
        1,
        "come from EPEL, which is not enabled",
        "",
    ),
    (
        "Linux",
        "zypper rpm",
        {},
        "run",
        0,
        "",
        "zypper --non-interactive install gcc-c++ cmake make python3 openmpi4-devel",
    ),
    (
        "Darwin",
        "brew cc c++ make",
        {},
        "test",
        0,
        "python3 -m venv ~/drives-venv",
        BREW + "open-mpi googletest clang-format",
    ),
    ("Darwin", "brew cc c++ make", {"MPI": "mpich"}, "run", 0, "", BREW + "mpich"),
    (
        "Darwin",
        "brew cc c++ make",
        {"STANDIN_FAIL": "1"},
        "run",
        1,
        "this step failed: brew install cmake python open-mpi",
        BREW + "open-mpi",
    ),
    ("Darwin", "cc c++ make", {}, "run", 1, "Homebrew is not installed", ""),
    # No package manager known: what is missing, named.
    ("Linux", BUILD, {}, "run", 1, "missing: Open MPI (mpicc and mpirun.openmpi). No package", ""),
    (
        "Linux",
        BUILD + "mpicc mpiexec",
        {"STANDIN_MPICC": "mpich"},
        "run",
        1,
        "mpicc is MPICH's compiler wrapper, not Open MPI's",
        "",
    ),
    (
        "Linux",
        BUILD + "mpicc",
        {},
        "run",
        1,
        "its launcher is missing: none of mpirun.openmpi mpirun is on PATH",
        "",
    ),
    (
        "Linux",
        BUILD + "mpicc mpirun",
        {"STANDIN_LAUNCHER": "mpich"},
        "run",
        1,
        "mpirun is MPICH's launcher, but",
        "",
    ),
]


def failure(system, present, env, purpose, status, said, calls):
    with tempfile.TemporaryDirectory() as top:
        shelf, bindir = pathlib.Path(top, "shelf"), pathlib.Path(top, "bin")
        shelf.mkdir(), bindir.mkdir()
        for name in REAL:
            os.symlink(shutil.which(name), bindir / name)
        for name in set(STANDINS) | set(TOOLS.split()):
            path = shelf / name
            path.write_text(
                f'#!/bin/sh\necho "{name} $*" >> "$STANDIN_LOG"\n'
                f'{STANDINS.get(name, "exit 0")}\n'
            )
            path.chmod(0o755)
        for name in ["uname", "id", "sudo"] + present.split():
            shutil.copy(shelf / name, bindir)
        log = pathlib.Path(top, "calls.log")
        log.touch()
        done = subprocess.run(
            ["/bin/bash", SETUP, purpose],
            capture_output=True,
            text=True,
            env={
                "PATH": str(bindir),
                "STANDIN_LOG": str(log),
                "STANDIN_OS": system,
                "STANDIN_SHELF": str(shelf),
                "STANDIN_BIN": str(bindir),
                "DRIVES_PYTHON": "python3",
                **env,
            },
            stdin=subprocess.DEVNULL,
        )
        got = (
            done.returncode,
            "; ".join(
                row.strip()
                for row in log.read_text().splitlines()
                if row.startswith(("apt-get ", "dnf ", "zypper ", "brew "))
            ),
        )
    if got != (status, calls) or said not in done.stderr:
        return f"FAILED: {system} {present} {env} {purpose}: {got}, {done.stderr!r}"


failed = [f for f in (failure(*case) for case in CASES) if f]
print("\n".join(failed + [f"{len(failed)} of {len(CASES)} cases failed"]) if failed else "passed")
sys.exit(1 if failed else 0)
