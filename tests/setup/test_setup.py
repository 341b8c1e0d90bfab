"""scripts/setup.sh's choices, made with stand-in uname, id, sudo, dpkg-query, apt-get,
brew and python3 on an otherwise empty PATH, which record how they were called: what it
installs with which manager, and that it stops with what to do where it cannot install."""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

SETUP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "setup.sh")
STANDINS = {"uname": 'echo "$STANDIN_OS"', "id": 'echo "$STANDIN_UID"', "sudo": "exit 1",
            "dpkg-query": "exit 1", "python3": "exit 0", "apt-get": 'exit "${STANDIN_FAIL:-0}"',
            "brew": '[ "$1" = list ] && exit 1; exit "${STANDIN_FAIL:-0}"'}
APT = "apt-get update -q; apt-get install -y -q cmake make g++ python3 python3-matplotlib "
BREW = "brew install cmake python "

# os, managers present, environment, purpose -> status, words on stderr, install calls
CASES = [
    ("Linux", "apt-get", {}, "test", 0, "", APT + "libopenmpi-dev openmpi-bin libgtest-dev "
     "python3-jsonschema clang-format util-linux iproute2 openssh-server openssh-client "
     "slurmctld slurmd slurm-client munge"),
    ("Linux", "apt-get", {"MPI": "mpich", "STDLIB": "libc++"}, "run", 0, "",
     APT + "mpich libmpich-dev clang libc++-14-dev libc++abi-14-dev googletest"),
    ("Linux", "apt-get", {"STANDIN_UID": "1000"}, "run", 1,
     "apt-get update && apt-get install -y cmake", ""),
    ("Linux", "apt-get", {"STANDIN_FAIL": "100"}, "run", 1,
     "this step failed: env DEBIAN_FRONTEND=noninteractive apt-get update -q", "apt-get update -q"),
    ("Darwin", "brew", {}, "test", 0, "", BREW + "open-mpi googletest clang-format"),
    ("Darwin", "brew", {"MPI": "mpich"}, "run", 0, "", BREW + "mpich"),
    ("Darwin", "brew", {"STANDIN_FAIL": "1"}, "run", 1,
     "this step failed: brew install cmake python open-mpi", BREW + "open-mpi"),
    ("Darwin", "apt-get", {}, "run", 1, "Homebrew is not installed", ""),
    ("Linux", "", {}, "run", 1, "neither apt-get nor Homebrew is here", ""),
]


def failure(system, manager, env, purpose, status, said, calls):
    with tempfile.TemporaryDirectory() as bindir:
        os.symlink(shutil.which("env"), os.path.join(bindir, "env"))
        for name, body in STANDINS.items():
            if name not in ("apt-get", "brew") or name == manager:
                path = pathlib.Path(bindir, name)
                path.write_text(f'#!/bin/sh\necho "{name} $*" >> "$STANDIN_LOG"\n{body}\n')
                path.chmod(0o755)
        log = pathlib.Path(bindir, "calls.log")
        log.touch()
        done = subprocess.run(["/bin/bash", SETUP, purpose], capture_output=True, text=True,
                              env={"PATH": bindir, "STANDIN_LOG": str(log), "STANDIN_OS": system,
                                   "STANDIN_UID": "0", **env}, stdin=subprocess.DEVNULL)
        got = (done.returncode, "; ".join(row.strip() for row in log.read_text().splitlines()
                                          if row.startswith(("apt-get ", "brew install"))))
    if got != (status, calls) or said not in done.stderr:
        return f"FAILED: {system} {manager} {env} {purpose}: {got}, {done.stderr!r}"


failed = [f for f in (failure(*case) for case in CASES) if f]
print("\n".join(failed + [f"{len(failed)} of {len(CASES)} cases failed"]) if failed else "passed")
sys.exit(1 if failed else 0)
