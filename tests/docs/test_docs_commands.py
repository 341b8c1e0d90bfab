"""Every command the user docs show in a shell block exists and takes the options shown
(make's targets and variables; drives-run's and drives-results' options, parsed, not run;
the project's own files), and every relative link names a file. Status 0 pass, 1 fail."""
import contextlib
import glob
import io
import itertools
import os
import pathlib
import re
import shlex
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from drives_tools import drives_results, drives_run  # noqa: E402
from drives_tools.statuses import Failure  # noqa: E402

USER_DOCS = ["README.md", "docs/install.md", "docs/user-guide.md", "docs/cluster.md",
             "docs/results-tool.md", "docs/performance.md"]
BLOCK = re.compile(r"^```(?:sh|shell|bash)\n(.*?)^```", re.M | re.S)
LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")
REDIRECTION = re.compile(r"(?<!\S)\d?[<>]{1,2}&?\s*[^\s;&|]+")
KEYWORDS = {"do", "done", "then", "else", "fi", "time", "!"}


def read(path):
    return pathlib.Path(ROOT, path).read_text(encoding="utf-8")


TARGETS = set(re.findall(r"^([\w-]+):", read("Makefile"), re.M))
# What make's recipes read, directly or through the scripts they run.
MAKE_TEXT = "".join(read(p) for p in ("Makefile", "bench/run_bench.sh", "scripts/setup.sh"))


def commands(text):
    """Each command of a doc's shell blocks as words, pipelines and lists split."""
    for block in BLOCK.findall(text):
        for line in block.replace("\\\n", " ").splitlines():
            lexer = shlex.shlex(REDIRECTION.sub(" ", line), posix=True, punctuation_chars=";&|")
            lexer.whitespace_split = True
            for between, words in itertools.groupby(lexer, lambda word: not word.strip(";&|")):
                words = list(itertools.dropwhile(KEYWORDS.__contains__, words))
                if words and not between:
                    yield words


def parses(parse, args):
    """Whether an argument parser takes `args` (--help and --version end with status 0)."""
    with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()):
        try:
            parse(args)
        except (SystemExit, Failure) as stop:
            return getattr(stop, "code", 1) in (0, None)
    return True


def problem(words):
    name, *args = itertools.dropwhile(re.compile(r"[A-Z_]+=").match, words)  # after env
    if name == "make":
        unknown = [w for w in args if w.split("=")[0] not in (MAKE_TEXT if "=" in w else TARGETS)]
        return f"make knows no {unknown}" if unknown else None
    tools = {"drives-run": drives_run.parse, "drives-results": drives_results.parse}
    if os.path.basename(name) in tools:
        return None if parses(tools[os.path.basename(name)], args) else f"{name} refuses it"
    if name in ("bash", "sh", "python3", "sbatch"):
        name = next((w for w in args if not w.startswith("-")), "")
    if "/" in name and not name.startswith(("/", "~", "$")) and "*" not in name:
        return None if os.path.exists(os.path.join(ROOT, name)) else f"no {name} here"


def failures():
    for doc in USER_DOCS:
        for words in commands(read(doc)):
            if said := problem(words):
                yield f"{doc}: {shlex.join(words)}: {said}"
    for doc in ["README.md"] + glob.glob("docs/*.md", root_dir=ROOT):
        for target in LINK.findall(read(doc)):
            if "://" not in target and not (pathlib.Path(ROOT, doc).parent / target).exists():
                yield f"{doc}: the link {target} names no file"


if __name__ == "__main__":
    found = list(failures())
    if found:
        sys.exit("\n".join(f"FAILED: {failure}" for failure in found))
    print("passed")
