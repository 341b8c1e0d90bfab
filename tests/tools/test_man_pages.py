"""The manual pages as built (--build: BUILD/man): each has the sections readers of fio(1) or
rsync(1) look for, in that order, none of them empty (the generated options and exit statuses
there), a NAME of one line, and groff renders it without a word."""

import gzip
import os
import re
import shutil
import subprocess
from typing import List

import pytest

EVERY = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT", "FILES"]
PAGES = [
    ("drives_mpi", ["NAME", "SYNOPSIS", "DESCRIPTION", "FILES", "EXIT STATUS", "EXAMPLES"]),
    ("drives-run", EVERY + ["EXAMPLES"]),
    ("drives-results", EVERY[:4] + ["COMMANDS"] + EVERY[4:] + ["EXAMPLES"]),
]


def roff(build: str, name: str) -> str:
    path = os.path.join(build, "man", f"{name}.1.gz")
    with gzip.open(path, "rt", encoding="utf-8") as stream:
        return stream.read()


@pytest.mark.parametrize("name, sections", PAGES)
def test_sections(opts: object, name: str, sections: List[str]) -> None:
    text = roff(getattr(opts, "build"), name)
    parts = re.split(r"^\.SH (.+)\n", text, flags=re.M)[1:]
    found = dict(zip(parts[::2], parts[1::2]))
    assert list(found) == sections + ["SEE ALSO"]
    # A word: a line neither a comment nor a bare request (.PP, .TP).
    word = re.compile(r'^(?!\.\\"|\.[A-Z]+$).', re.M)
    empty = [section for section, body in found.items() if not word.search(body)]
    assert not empty, f"sections without a word: {empty}"
    # What is generated is there: the options from the parser, the statuses from their table.
    assert "\\fB\\-\\-version\\fR" in found.get("OPTIONS", "\\fB\\-\\-version\\fR")
    assert re.search(r"^\.TP\n\\fB0\\fR\n", found["EXIT STATUS"], re.M)
    title = re.escape(name.replace("-", "\\-"))
    assert re.fullmatch(title + r" \\- [^\n]+\n", found["NAME"]), found["NAME"]


@pytest.mark.parametrize("name", [name for name, _ in PAGES])
def test_groff(opts: object, name: str) -> None:
    if not shutil.which("groff"):
        pytest.skip("groff is missing")
    said = subprocess.run(
        ["groff", "-man", "-ww", "-z", "-Tutf8"],
        input=roff(getattr(opts, "build"), name),
        capture_output=True,
        text=True,
    ).stderr
    assert said == ""
