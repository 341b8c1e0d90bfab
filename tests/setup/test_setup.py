"""scripts/setup.sh's choices, made with stand-in uname, id, sudo,
dpkg-query, apt-get, brew and python3 on an otherwise empty PATH, which
record how they were called: what it installs with which manager, and that
it stops with what to do where it cannot install."""
import os
import shutil
import subprocess
import sys
import tempfile

SETUP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "setup.sh")
STANDINS = {"uname": 'echo "$STANDIN_OS"', "id": 'echo "$STANDIN_UID"', "sudo": "exit 1",
            "dpkg-query": "exit 1", "python3": "exit 0", "apt-get": 'exit "${STANDIN_FAIL:-0}"',
            "brew": '[ "$1" = list ] && exit 1; exit "${STANDIN_FAIL:-0}"'}
DEBIAN_TEST = ("cmake make g++ python3 python3-matplotlib libopenmpi-dev openmpi-bin libgtest-dev "
               "python3-jsonschema clang-format util-linux iproute2 openssh-server "
               "openssh-client slurmctld slurmd slurm-client munge")

# os, managers present, environment, purpose -> status, install calls, words on stderr
CASES = [
    ("Linux", "apt-get", {}, "test", 0, ["apt-get update -q", f"apt-get install -y -q {DEBIAN_TEST}"],
     ""),
    ("Linux", "apt-get", {"MPI": "mpich", "STDLIB": "libc++"}, "run", 0,
     ["apt-get update -q", "apt-get install -y -q cmake make g++ python3 python3-matplotlib "
      "mpich libmpich-dev clang libc++-14-dev libc++abi-14-dev googletest"], ""),
    ("Linux", "apt-get", {"STANDIN_UID": "1000"}, "run", 1, [],
     "apt-get update && apt-get install -y cmake"),
    ("Linux", "apt-get", {"STANDIN_FAIL": "100"}, "run", 1, ["apt-get update -q"],
     "this step failed: env DEBIAN_FRONTEND=noninteractive apt-get update -q"),
    ("Darwin", "brew", {}, "test", 0, ["brew install cmake python open-mpi googletest clang-format"],
     ""),
    ("Darwin", "brew", {"MPI": "mpich"}, "run", 0, ["brew install cmake python mpich"], ""),
    ("Darwin", "brew", {"STANDIN_FAIL": "1"}, "run", 1, ["brew install cmake python open-mpi"],
     "this step failed: brew install cmake python open-mpi"),
    ("Darwin", "apt-get", {}, "run", 1, [], "Homebrew is not installed"),
    ("Linux", "", {}, "run", 1, [], "neither apt-get nor Homebrew is here"),
]


def run_setup(system, manager, env, purpose):
    with tempfile.TemporaryDirectory() as bindir:
        os.symlink(shutil.which("env"), os.path.join(bindir, "env"))
        for name, body in STANDINS.items():
            if name not in ("apt-get", "brew") or name == manager:
                with open(os.path.join(bindir, name), "w") as stream:
                    stream.write(f'#!/bin/sh\necho "{name} $*" >> "$STANDIN_LOG"\n{body}\n')
                os.chmod(os.path.join(bindir, name), 0o755)
        log = os.path.join(bindir, "calls.log")
        open(log, "w").close()
        done = subprocess.run(["/bin/bash", SETUP, purpose], capture_output=True, text=True,
                              env={"PATH": bindir, "STANDIN_LOG": log, "STANDIN_OS": system,
                                   "STANDIN_UID": "0", **env}, stdin=subprocess.DEVNULL)
        with open(log) as stream:
            calls = [row.strip() for row in stream if row.startswith(("apt-get ", "brew install"))]
    return done.returncode, calls, done.stderr


failed = 0
for system, manager, env, purpose, status, calls, said in CASES:
    got = run_setup(system, manager, env, purpose)
    if got[:2] != (status, calls) or said not in got[2]:
        failed += 1
        print(f"FAILED: {system} {manager} {env} {purpose}: {got}")
print(f"{failed} of {len(CASES)} cases failed" if failed else "passed")
sys.exit(1 if failed else 0)
