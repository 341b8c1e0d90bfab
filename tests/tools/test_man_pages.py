"""Every option and command that drives-run's and drives-results' --help show is in their
manual pages as built, and every page, drives_mpi's too, renders without a word from groff.

    test_man_pages.py MAN_DIR
"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAN = sys.argv[1]
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tools"))
from drives_tools import drives_results  # noqa: E402

OPTION = re.compile(r"(?<![\w-])--?[A-Za-z][\w-]*")
COMMANDS = next(
    action.choices
    for action in drives_results.parser()._actions
    if isinstance(action, argparse._SubParsersAction)
)
HELPS = [("drives-run", []), ("drives-results", [])] + [
    ("drives-results", [command]) for command in COMMANDS
]


def roff(name):
    with gzip.open(os.path.join(MAN, f"{name}.1.gz"), "rt", encoding="utf-8") as stream:
        return stream.read()


def failures():
    for tool, args in HELPS:
        shown = subprocess.run(
            [os.path.join(ROOT, "tools", tool), *args, "--help"],
            text=True,
            capture_output=True,
            env={**os.environ, "COLUMNS": "80"},
        ).stdout
        page = re.sub(r"\\f[BIRP]|\\&", "", roff(tool)).replace("\\-", "-").replace("\\e", "\\")
        words = list(dict.fromkeys(OPTION.findall(shown))) or ["(no --help at all)"]
        yield from (
            f"{tool} {' '.join(args)}: {word} is not in its page"
            for word in words
            if word not in page
        )
        if args and f".SS {args[0]}\n" not in page:
            yield f"{tool}: the command {args[0]} has no section"
    for name in ("drives_mpi", "drives-run", "drives-results") if shutil.which("groff") else ():
        said = subprocess.run(
            ["groff", "-man", "-ww", "-z", "-Tutf8"],
            input=roff(name),
            capture_output=True,
            text=True,
        ).stderr
        yield from (f"{name}.1: groff: {line}" for line in said.splitlines())


found = list(failures())
print("\n".join(f"FAILED: {failure}" for failure in found) or "passed")
sys.exit(1 if found else 0)
