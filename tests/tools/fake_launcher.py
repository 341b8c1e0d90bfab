#!/usr/bin/env python3
"""A stand-in for mpirun and mpiexec: every context (contexts are parted by
':') runs its program here, one process a context, after its `-np`/`-n`
count; --wdir/-wdir are honoured, other options passed over. The check's
contexts run one after the other, their output captured; a run's first
context runs in the foreground with this process's standard streams.

--version says which MPI's launcher it stands for, by its name.
FAKE_LOG, a file: gets "pid N", the environment's TMPDIR, the soft limit
of open files, and every signal received ("signal N").
FAKE_MODE, words: tag (every line of the check prefixed as --tag-output
does), hang (the check's node 1 never answers), die (the run's launcher
kills itself with SIGTERM once its program printed a line), quiet (the
check says nothing at all), bare (the check's nodes have no orted),
xml (the check's output is none drives-run reads).
"""

import os
import resource
import signal
import subprocess
import sys
import time

MODE = os.environ.get("FAKE_MODE", "").split()
LOG = os.environ.get("FAKE_LOG")
# What Open MPI says where a node has no orted on the PATH ssh gives it.
BARE = """bash: line 1: orted: command not found
ORTE was unable to reliably start one or more daemons.
This is usually an internal programming error that should be
"""
VALUED = {"--host", "-hosts", "--hostfile", "-x", "-env", "--prefix", "--mca"}


def log(text):
    if LOG:
        with open(LOG, "a") as stream:
            stream.write(text + "\n")


def contexts(args):
    """[(wdir, argv)] of every context."""
    found, wdir, at = [], None, 0
    while at < len(args):
        word = args[at]
        if word in ("--wdir", "-wdir"):
            wdir, at = args[at + 1], at + 2
        elif word in ("-np", "-n"):
            end = args.index(":", at) if ":" in args[at:] else len(args)
            found.append((wdir, args[at + 2 : end]))
            at = end + 1
        else:
            at += 2 if word in VALUED else 1
            if word == "-env":
                at += 1
    return found


def main():
    child = None
    if sys.argv[1:] == ["--version"]:
        mpich = "mpich" in os.path.basename(sys.argv[0])
        print("HYDRA build details:\n    Version: 4.0.2" if mpich else "mpirun (Open MPI) 4.1.4")
        return 0

    def stop(number, _frame):
        log(f"signal {number}")
        if child and child.poll() is None:
            child.terminate()
        sys.exit(1)

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, stop)
    log(f"pid {os.getpid()}")
    log(f"TMPDIR {os.environ.get('TMPDIR', '')}")
    log(f"nofile {resource.getrlimit(resource.RLIMIT_NOFILE)[0]}")
    found = contexts(sys.argv[1:])
    if any("drives-run-check" in argv for _, argv in found) and "bare" in MODE:
        sys.stderr.write(BARE)
        return 1
    if any("drives-run-check" in argv for _, argv in found) and "xml" in MODE:
        return 0
    if any("drives-run-check" in argv for _, argv in found):
        for index, (wdir, argv) in enumerate(found):
            if "quiet" in MODE or ("hang" in MODE and index == 1):
                child = subprocess.Popen(["sleep", "1000"])
                child.wait()
                continue
            out = subprocess.run(argv, cwd=wdir, capture_output=True, text=True).stdout
            prefix = f"[1,{index}]<stdout>:" if "tag" in MODE else ""
            sys.stdout.write("".join(prefix + line + "\n" for line in out.splitlines()))
        return 0
    wdir, argv = found[0]
    child = subprocess.Popen(argv, cwd=wdir, stdout=subprocess.PIPE)
    for line in child.stdout:
        sys.stdout.buffer.write(line)
        sys.stdout.flush()
        if "die" in MODE:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(60)
    return child.wait()


if __name__ == "__main__":
    sys.exit(main())
