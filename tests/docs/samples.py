"""Builds docs/samples/ from two sets of real runs, each as `drives-run --dir DIR --repeat N`
leaves it, with what drives-run printed saved as DIR.out beside DIR:

    samples.py BEFORE_DIR AFTER_DIR

runs/before/ and runs/after/ get each run's result file and record (neither the data files
nor the record of a run still under way); console.txt, result-file.txt and record.json are
the first run of BEFORE. The paths of the machine that ran them become a user's: the working
directories /home/user/drives/before and .../after, drives-run's own /home/user/drives, the
binary /usr/local/bin/drives_mpi.
"""

import glob
import json
import os
import re
import shutil
import sys
from typing import Dict, List

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from drives_tools.report import PRESS_ENTER  # noqa: E402

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "samples")
HOME, BINARY = "/home/user/drives", "/usr/local/bin/drives_mpi"
# Where a machine's own paths start; none may be left in a sample.
MACHINE = re.compile(r"/(work|tmp|var/tmp|dev/shm|root)/|\bbuild/")


def user_paths(sets: Dict[str, str]) -> List[List[str]]:
    """Each path of the runs to its user's, longest first (a directory's own files first)."""
    paths = {os.path.realpath(d): f"{HOME}/{name}" for name, d in sets.items()}
    paths.update({os.path.abspath(d): f"{HOME}/{name}" for name, d in sets.items()})
    for record in glob.glob(os.path.join(glob.escape(sets["before"]), "*.record.json")):
        with open(record, encoding="utf-8") as stream:
            facts = json.load(stream)
        line = facts["command_line"]
        paths[facts["working_directory"]] = HOME
        paths[facts["binary"]["path"]] = BINARY
        if "--binary" in line:
            paths[line[line.index("--binary") + 1]] = BINARY
    return sorted(([old, new] for old, new in paths.items()), key=lambda p: -len(p[0]))


def write(name: str, text: str, paths: List[List[str]]) -> None:
    for old, new in paths:
        text = text.replace(old, new)
    leak = MACHINE.search(text)
    if leak:
        sys.exit(f"samples.py: {name} keeps a path of this machine: {leak[0]}")
    os.makedirs(os.path.dirname(os.path.join(SAMPLES, name)), exist_ok=True)
    with open(os.path.join(SAMPLES, name), "w", encoding="utf-8") as stream:
        stream.write(text)


def main(before: str, after: str) -> None:
    sets = {"before": before, "after": after}
    paths = user_paths(sets)
    shutil.rmtree(os.path.join(SAMPLES, "runs"), ignore_errors=True)
    for name, directory in sets.items():
        for path in sorted(glob.glob(os.path.join(glob.escape(directory), "results_*"))):
            with open(path, encoding="utf-8") as stream:
                write(f"runs/{name}/{os.path.basename(path)}", stream.read(), paths)
    first = sorted(glob.glob(os.path.join(glob.escape(before), "results_*.txt")))[0]
    for name, path in [("result-file.txt", first), ("record.json", first[:-4] + ".record.json")]:
        with open(path, encoding="utf-8") as stream:
            write(name, stream.read(), paths)
    with open(before.rstrip("/") + ".out", encoding="utf-8") as stream:
        console = stream.read()
    write("console.txt", console[: console.index(PRESS_ENTER) + len(PRESS_ENTER)] + "\n", paths)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
