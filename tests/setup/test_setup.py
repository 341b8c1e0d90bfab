"""scripts/setup.sh's choices, made with stand-in uname, id, sudo,
dpkg-query, apt-get, brew and python3 first on an otherwise empty PATH,
which record how they were called: what it installs with which manager,
and that it stops with what to do where it cannot install."""
import os
import subprocess
import sys
import tempfile

SETUP = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                     "scripts", "setup.sh")
STANDIN = '#!/bin/sh\necho "{name} $*" >> "$STANDIN_LOG"\n{body}\n'
STANDINS = {
    "uname": 'echo "$STANDIN_OS"',
    "id": 'echo "$STANDIN_UID"',
    "sudo": "exit 1",
    "dpkg-query": "exit 1",
    "python3": "exit 0",
    "apt-get": 'exit "${STANDIN_FAIL:-0}"',
    "brew": '[ "$1" = list ] && exit 1; exit "${STANDIN_FAIL:-0}"',
}
DEBIAN_TEST = ("cmake make g++ python3 python3-matplotlib libopenmpi-dev openmpi-bin libgtest-dev "
               "python3-jsonschema clang-format util-linux iproute2 strace openssh-server "
               "openssh-client")
APT = "env DEBIAN_FRONTEND=noninteractive apt-get"

# os, managers present, environment, purpose -> status, install calls, words on stderr
CASES = [
    ("Linux", ["apt-get"], {}, "test", 0,
     ["apt-get update -q", f"apt-get install -y -q {DEBIAN_TEST}"], ""),
    ("Linux", ["apt-get"], {"MPI": "mpich", "STDLIB": "libc++"}, "run", 0,
     ["apt-get update -q", "apt-get install -y -q cmake make g++ python3 python3-matplotlib "
      "mpich libmpich-dev clang libc++-14-dev libc++abi-14-dev googletest"], ""),
    ("Linux", ["apt-get"], {"STANDIN_UID": "1000"}, "run", 1, [],
     "apt-get update && apt-get install -y cmake"),
    ("Linux", ["apt-get"], {"STANDIN_FAIL": "100"}, "run", 1, ["apt-get update -q"],
     f"this step failed: {APT} update -q"),
    ("Darwin", ["brew"], {}, "test", 0,
     ["brew install cmake python open-mpi googletest clang-format"], ""),
    ("Darwin", ["brew"], {"MPI": "mpich"}, "run", 0, ["brew install cmake python mpich"], ""),
    ("Darwin", ["brew"], {"STANDIN_FAIL": "1"}, "run", 1, ["brew install cmake python open-mpi"],
     "this step failed: brew install cmake python open-mpi"),
    ("Darwin", ["apt-get"], {}, "run", 1, [], "Homebrew is not installed"),
    ("Linux", [], {}, "run", 1, [], "neither apt-get nor Homebrew is here"),
]


def run_setup(bindir, system, managers, env, purpose):
    for name, body in STANDINS.items():
        path = os.path.join(bindir, name)
        if os.path.exists(path):
            os.unlink(path)
        if name in ("apt-get", "brew") and name not in managers:
            continue
        with open(path, "w") as stream:
            stream.write(STANDIN.format(name=name, body=body))
        os.chmod(path, 0o755)
    log = os.path.join(bindir, "calls.log")
    open(log, "w").close()
    full_env = {"PATH": bindir, "STANDIN_LOG": log, "STANDIN_OS": system, "STANDIN_UID": "0",
                **env}
    done = subprocess.run(["/bin/bash", SETUP, purpose], env=full_env, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)
    with open(log) as stream:
        calls = [row.strip() for row in stream if row.startswith(("apt-get ", "brew install"))]
    return done.returncode, calls, done.stderr


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as bindir:
        os.symlink(subprocess.check_output(["sh", "-c", "command -v env"], text=True).strip(),
                   os.path.join(bindir, "env"))
        for system, managers, env, purpose, status, calls, said in CASES:
            got = run_setup(bindir, system, managers, env, purpose)
            if got[0] != status or got[1] != calls or said not in got[2]:
                failed += 1
                print(f"FAILED: {system} {managers} {env} {purpose}: status {got[0]}, "
                      f"calls {got[1]}, stderr {got[2]!r}")
    print("passed" if not failed else f"{failed} of {len(CASES)} cases failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
