"""Builds docs/samples/ from two sets of real runs, each as `drives-run --dir DIR --repeat N`
leaves it with what it printed in DIR.out: `samples.py BEFORE_DIR AFTER_DIR`. runs/before/ and
runs/after/ get each run's result file and record; console.txt, result-file.txt and record.json
are BEFORE's first run. The machine's paths become a user's (/home/user/drives/...)."""

import json
import pathlib
import re
import shutil
import sys
from typing import Dict

TOP = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = TOP / "docs" / "samples"
sys.path.insert(0, str(TOP / "tools"))
from drives_tools.report import PRESS_ENTER  # noqa: E402

HOME, BINARY = "/home/user/drives", "/usr/local/bin/drives_mpi"
# Where a machine's own paths start: none may be left in a sample.
MACHINE = re.compile(r"/(work|tmp|var/tmp|dev/shm|root)/|\bbuild/")


def write(name: str, text: str, paths: Dict[str, str]) -> None:
    for old in sorted(paths, key=len, reverse=True):  # a directory's files before it
        text = text.replace(old, paths[old])
    if (leak := MACHINE.search(text)) is not None:
        sys.exit(f"samples.py: {name} keeps a path of this machine: {leak[0]}")
    (SAMPLES / name).parent.mkdir(parents=True, exist_ok=True)
    (SAMPLES / name).write_text(text, encoding="utf-8")


def main(before: pathlib.Path, after: pathlib.Path) -> None:
    sets = {"before": before, "after": after}
    paths = {str(path): f"{HOME}/{name}" for name, d in sets.items() for path in (d.resolve(), d)}
    for record in before.glob("*.record.json"):
        facts = json.loads(record.read_text(encoding="utf-8"))
        line = facts["command_line"] + ["--binary", facts["binary"]["path"]]
        paths.update({facts["binary"]["path"]: BINARY, facts["working_directory"]: HOME})
        paths[line[line.index("--binary") + 1]] = BINARY
    shutil.rmtree(SAMPLES / "runs", ignore_errors=True)
    for name, directory in sets.items():
        for path in sorted(directory.glob("results_*")):
            write(f"runs/{name}/{path.name}", path.read_text(encoding="utf-8"), paths)
    first = sorted(before.glob("results_*.txt"))[0]
    write("result-file.txt", first.read_text(encoding="utf-8"), paths)
    write("record.json", first.with_suffix(".record.json").read_text(encoding="utf-8"), paths)
    console = before.with_name(before.name + ".out").read_text(encoding="utf-8")
    write("console.txt", console[: console.index(PRESS_ENTER) + len(PRESS_ENTER)] + "\n", paths)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*(pathlib.Path(arg).absolute() for arg in sys.argv[1:]))
