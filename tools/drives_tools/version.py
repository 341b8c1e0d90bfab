"""The one version of drives_mpi and its tools, and what a build says it is.

The number is set once, in the project() line of CMakeLists.txt. A build of
the commit that the tag v<number> marks, nothing changed, is that release and
says the number alone; any other build says the number with its commit,
1.1.0-dev+g1a2b3c4 (and .dirty where files differ from the commit), so that
no result is taken for a release's. A checkout asks git; a source tarball,
which has no git, carries the VERSION file beside this module, as an install
does. The build runs this file (`version.py SOURCE_DIR`) to write that file,
so the binary, the tools and the packages say the same.
"""

import dataclasses
import functools
import os
import re
import subprocess
import sys
from typing import List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
FILE = "VERSION"


@dataclasses.dataclass(frozen=True)
class Build:
    """What a build is: its version, and the commit it was made from with that
    commit's time (seconds since 1970), where known."""

    version: str
    commit: Optional[str] = None
    date: Optional[int] = None

    def text(self) -> str:
        """The VERSION file: a line per fact, `name value`."""
        facts = [("version", self.version), ("commit", self.commit), ("date", self.date)]
        return "".join(f"{name} {value}\n" for name, value in facts if value is not None)


def parse(text: str) -> Build:
    facts = dict(line.split(" ", 1) for line in text.splitlines() if " " in line)
    date = facts.get("date", "")
    return Build(
        facts.get("version", "unknown"), facts.get("commit"), int(date) if date.isdigit() else None
    )


def number(source: str) -> str:
    """The number of the project() line of SOURCE/CMakeLists.txt."""
    try:
        with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as stream:
            found = re.search(r"project\(\w+ VERSION (\S+)", stream.read())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


def git(source: str, *args: str) -> Optional[str]:
    """What git prints for ARGS in SOURCE, or None where it fails. Git's own
    variables are left out, so that a hook's GIT_DIR points nowhere else.
    SOURCE is read also where another user owns it (`sudo make install` in
    a user's checkout), whose build would else lose its commit."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("GIT_")}
    safe = f"safe.directory={os.path.realpath(source)}"
    try:
        done = subprocess.run(
            ["git", "--no-optional-locks", "-c", safe, *args],
            cwd=source,
            env=env,
            capture_output=True,
            text=True,
            stdin=subprocess.DEVNULL,
            timeout=60,
        )
    except (OSError, subprocess.TimeoutExpired):
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def from_git(source: str, release: str) -> Optional[Build]:
    """The build of a checkout whose top is SOURCE; None where SOURCE is no
    checkout of its own (a tarball unpacked in another's tree)."""
    top = git(source, "rev-parse", "--show-toplevel")
    head = git(source, "log", "-1", "--format=%H %h %ct")
    if not top or not head or os.path.realpath(top) != os.path.realpath(source):
        return None
    commit, short, date = head.split()
    tags = (git(source, "tag", "--points-at", "HEAD") or "").split()
    changed = git(source, "status", "--porcelain", "--untracked-files=no")
    if f"v{release}" in tags and changed == "":
        return Build(release, commit, int(date))
    return Build(f"{release}-dev+g{short}{'.dirty' if changed else ''}", commit, int(date))


def describe(source: str) -> Build:
    """What a build of the sources in SOURCE is: its VERSION file where it has
    one (a source tarball), else what git says, else the number as no release."""
    try:
        with open(os.path.join(source, "tools", "drives_tools", FILE), encoding="utf-8") as stream:
            return parse(stream.read())
    except OSError:
        pass
    release = number(source)
    return from_git(source, release) or Build(f"{release}-dev")


@functools.lru_cache(maxsize=None)
def version() -> str:
    """The version of these tools: the VERSION file beside this module once
    installed or in a source tarball; in a checkout, what git says of it."""
    try:
        with open(os.path.join(HERE, FILE), encoding="utf-8") as stream:
            return parse(stream.read()).version
    except OSError:
        return describe(os.path.dirname(os.path.dirname(HERE))).version


def main(argv: List[str]) -> int:
    sys.stdout.write(describe(argv[0]).text())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
