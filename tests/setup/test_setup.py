"""scripts/setup.sh's choices on every kind of system, made with stand-ins on an otherwise
empty PATH that record how they were called: the system's (uname, id, sudo, the package
database), its package manager's, and the tools the build needs. A row names the stand-ins
present (module/NAME: in a directory of its own, first on PATH, as `module load` puts it); a
package manager's install puts every tool in place, as a real one would."""

import os
import pathlib
import shutil
import subprocess
from typing import Dict, Tuple

import pytest

SETUP = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "setup.sh"
REAL = ("env", "mktemp", "rm", "sed", "cp", "mkdir", "dirname", "touch", "cat")
TOOLS = "cc c++ make cmake python3 clang-format black mpicc mpirun mpiexec"
# What an MPI's wrapper and launcher say of themselves, for the MPI in $says.
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
    "rpm": 'if [ "$1" = -E ]; then echo "${STANDIN_RHEL:-%rhel}"; '
    'else [ -e "$STANDIN_BIN/installed" ]; fi',
    "apt-get": MANAGER,
    "dnf": MANAGER,
    "zypper": MANAGER,
    "brew": MANAGER,
    "cmake": '[ "$1" = --version ] && echo "cmake version ${STANDIN_CMAKE:-3.25.1}"; exit 0',
    "python3": 'case "$*" in *version_info*) echo 3.11;; esac',
    "mpicc": "says=${STANDIN_MPICC:-${MPI:-openmpi}}; " + SAYS,
    "mpirun": "says=${STANDIN_LAUNCHER:-${MPI:-openmpi}}; " + SAYS,
    "mpiexec": "says=${STANDIN_LAUNCHER:-${MPI:-openmpi}}; " + SAYS,
    # Debian's names for each MPI's own, which say that MPI whatever the row says.
    "mpicc.openmpi": "says=openmpi; " + SAYS,
    "mpirun.openmpi": "says=openmpi; " + SAYS,
    "mpicc.mpich": "says=mpich; " + SAYS,
    "mpiexec.mpich": "says=mpich; " + SAYS,
}
BUILD = "cc c++ make cmake python3 "
APT = "apt-get update -q; apt-get install -y -q g++ cmake make python3 "
BREW = "brew install cmake python "
ROOTLESS = {"STANDIN_UID": "1000"}
USAGE = "usage: setup.sh [run | test | package | mpicc]"

# os, stand-ins present, environment, arguments -> status, words said ({module}: the module's
# directory), install calls
DEB = "apt-get dpkg-query"
# fmt: off
CASES = [
    # Debian as root: everything, each tool in Debian's package.
    ("Linux", DEB, {}, "test", 0, "", APT + "libopenmpi-dev openmpi-bin dpkg-dev libgtest-dev "
     "python3-jsonschema python3-matplotlib python3-pytest python3-mypy clang-format black "
     "util-linux iproute2 openssh-server openssh-client slurmctld slurmd slurm-client munge "
     "mmdebstrap lintian rpm"),
    ("Linux", DEB, {"MPI": "mpich", "STDLIB": "libc++", "STANDIN_SUDO": "1", **ROOTLESS}, "run",
     0, "", APT + "mpich libmpich-dev clang libc++-14-dev libc++abi-14-dev googletest"),
    # Debian without the rights: only the old CMake is missing, and nothing is installed.
    ("Linux", f"{DEB} mpicc mpirun {BUILD}", {"STANDIN_CMAKE": "3.10.2", **ROOTLESS}, "run", 1,
     "(cmake is 3.10.2). Run as root: \nsetup:   apt-get update && apt-get install -y cmake\n",
     ""),
    ("Linux", DEB, {"STANDIN_FAIL": "100"}, "run", 1,
     "this step failed: env DEBIAN_FRONTEND=noninteractive apt-get update -q", "apt-get update -q"),
    # A cluster, MPI from modules or Spack: nothing to install, no root needed.
    ("Linux", f"{DEB} mpicc mpirun {BUILD}", ROOTLESS, "run", 0, "", ""),
    # A module's MPI first on PATH beside Debian's own: the module's wins, its launcher too.
    ("Linux", f"{DEB} mpicc.openmpi mpirun.openmpi module/mpicc module/mpirun {BUILD}", ROOTLESS,
     "run", 0, "Open MPI ({module}/mpicc, {module}/mpirun)", ""),
    ("Linux", f"mpicc.openmpi mpirun.openmpi module/mpicc module/mpirun {BUILD}", {}, "mpicc", 0,
     "{module}/mpicc\n", ""),
    # Debian's MPICH asked for where the first mpicc is Open MPI's: Debian's name for MPICH's.
    ("Linux", f"{DEB} mpicc mpirun mpicc.mpich mpiexec.mpich {BUILD}",
     {"MPI": "mpich", "STANDIN_MPICC": "openmpi", "STANDIN_LAUNCHER": "openmpi", **ROOTLESS},
     "run", 0, "/mpicc.mpich, ", ""),
    # Bad arguments: the usage, and nothing looked for.
    ("Linux", DEB, {}, "--help", 0, USAGE, ""),
    ("Linux", DEB, {}, "tset", 2, USAGE, ""),
    ("Linux", DEB, {}, "run test", 2, USAGE, ""),
    ("Linux", DEB, {"MPI": "mvapich"}, "run", 2, "MPI=mvapich: it takes", ""),
    ("Linux", "dnf rpm", {}, "test", 0, "", "dnf install -y gcc-c++ cmake make python3 "
     "openmpi-devel rpm-build gtest-devel python3-jsonschema python3-matplotlib python3-pytest "
     "python3-mypy clang-tools-extra black util-linux iproute openssh-server openssh-clients "
     "slurm slurm-slurmctld slurm-slurmd munge"),
    ("Linux", "dnf rpm", {"STANDIN_RHEL": "9"}, "test", 1, "come from EPEL, which", ""),
    ("Linux", "zypper rpm", {}, "run", 0, "",
     "zypper --non-interactive install gcc-c++ cmake make python3 openmpi4-devel"),
    ("Darwin", "brew cc c++ make", {}, "test", 0, "python3 -m venv ~/drives-venv",
     BREW + "open-mpi googletest clang-format black"),
    ("Darwin", "brew cc c++ make", {"MPI": "mpich"}, "run", 0, "", BREW + "mpich"),
    ("Darwin", "brew cc c++ make", {"STANDIN_FAIL": "1"}, "run", 1,
     "this step failed: brew install cmake python open-mpi", BREW + "open-mpi"),
    ("Darwin", "cc c++ make", {}, "run", 1, "Homebrew is not installed", ""),
    # No package manager known: what is missing, named.
    ("Linux", BUILD, {}, "run", 1, "missing: Open MPI (mpicc and its launcher). No package", ""),
    ("Linux", BUILD + "mpicc mpiexec", {"STANDIN_MPICC": "mpich"}, "run", 1,
     "mpicc is MPICH's compiler wrapper, not Open MPI's", ""),
    ("Linux", BUILD + "mpicc", {}, "run", 1,
     "its launcher is missing: none of mpirun mpiexec is beside it", ""),
    ("Linux", BUILD + "mpicc mpirun", {"STANDIN_LAUNCHER": "mpich"}, "run", 1,
     "mpirun is MPICH's launcher, but", ""),
]
# fmt: on


@pytest.mark.parametrize("case", CASES)
def test_setup(
    tmp_path: pathlib.Path, case: Tuple[str, str, Dict[str, str], str, int, str, str]
) -> None:
    system, present, env, args, status, said, calls = case
    shelf, bindir, module = tmp_path / "shelf", tmp_path / "bin", tmp_path / "module"
    for directory in (shelf, bindir, module):
        directory.mkdir()
    for name in REAL:
        os.symlink(str(shutil.which(name)), bindir / name)
    for name in set(STANDINS) | set(TOOLS.split()):
        path = shelf / name
        path.write_text(
            f'#!/bin/sh\necho "{name} $*" >> "$STANDIN_LOG"\n{STANDINS.get(name, "exit 0")}\n'
        )
        path.chmod(0o755)
    for name in ["uname", "id", "sudo"] + present.split():
        shutil.copy(shelf / os.path.basename(name), tmp_path / name if "/" in name else bindir)
    log = tmp_path / "calls.log"
    log.touch()
    done = subprocess.run(
        ["/bin/bash", str(SETUP), *args.split()],
        capture_output=True,
        text=True,
        env={
            "PATH": f"{module}:{bindir}",
            "STANDIN_LOG": str(log),
            "STANDIN_OS": system,
            "STANDIN_SHELF": str(shelf),
            "STANDIN_BIN": str(bindir),
            "DRIVES_PYTHON": "python3",
            **env,
        },  # fmt: skip
        stdin=subprocess.DEVNULL,
        timeout=300,
    )
    managers = ("apt-get ", "dnf ", "zypper ", "brew ")
    installs = [row.strip() for row in log.read_text().splitlines() if row.startswith(managers)]
    assert (done.returncode, "; ".join(installs)) == (status, calls), done.stderr
    assert said.format(module=module) in done.stdout + done.stderr
    if status == 2 or args.startswith("-"):
        assert log.read_text() == "", "probed before the arguments were known good"
