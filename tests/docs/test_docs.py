"""The docs say what the code does. Every shell block of drives-results commands in the user docs
(but performance.md) runs as printed, a doc's in turn, with bash in a directory of before/ and
after/ (docs/samples/runs/) and run.log (the sample console), standard input empty. A ```text
block right after one is what it prints (80 columns): standard error's lines, then standard
output's, a "..." line for any lines, the tools' version as the release's number. Each command
ends with 0 (compare also 5) unless its block shows $?, and makes its -o file.
`tools/python tests/docs/test_docs.py --update` rewrites the outputs shown."""

import difflib
import importlib.util
import itertools
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from typing import Any, Iterator, List, Optional, Set, Tuple

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from drives_tools import check, drives_results, drives_run  # noqa: E402
from drives_tools.report import TITLE  # noqa: E402
from drives_tools.results_read import read_run  # noqa: E402
from drives_tools.statuses import MEANINGS, ExitStatus, Failure, meanings  # noqa: E402
from drives_tools.version import version  # noqa: E402


def read(path: str) -> str:
    return pathlib.Path(ROOT, path).read_text(encoding="utf-8")


def every(pattern: str) -> List[str]:
    return [str(path.relative_to(ROOT)) for path in sorted(pathlib.Path(ROOT).glob(pattern))]


DOCS = ["README.md"] + every("docs/*.md")
USER_DOCS = [doc for doc in DOCS if not doc.endswith(("/design.md", "/development.md"))]
EXAMPLE_DOCS = [doc for doc in USER_DOCS if not doc.endswith("/performance.md")]
BLOCK = re.compile(r"^```(?:sh|shell|bash)\n(.*?)^```\n(?:\s*^```text\n(.*?)^```)?", re.M | re.S)
LINK = re.compile(r"\]\((?!\w+://)([^)#\s]*)(?:#([^)\s]*))?\)")  # a link of the project's
REDIRECTION = re.compile(r"(?<!\S)\d?[<>]{1,2}&?\s*[^\s;&|]+")
KEYWORDS = {"do", "done", "then", "else", "fi", "time", "!"}
TARGETS = set(re.findall(r"^([\w-]+):", read("Makefile"), re.M))
# What make's recipes read, directly or through the scripts they run.
MAKE_TEXT = "".join(read(p) for p in ("Makefile", "bench/run_bench.sh", "scripts/setup.sh"))
RELEASE = re.findall(r"project\(\w+ VERSION (\S+)", read("CMakeLists.txt"))[0]
# A block with one of these needs a run of the benchmark, and is not run.
RUNS = {"drives-run", "drives_mpi", "mpirun", "mpiexec", "srun", "sbatch", "make"}
# Writes down every drives-results command of a block and its status.
TRACE = 'exec </dev/null; drives-results() { command drives-results "$@"; set -- $? "$@"; '
TRACE += 'printf \'%s\\t\' "$@" >>"$DOCS_TRACE"; echo >>"$DOCS_TRACE"; return $1; }\n'


def commands(block: str) -> Iterator[List[str]]:
    """Each command of a shell block as words, after its variables, pipelines and lists split."""
    for line in block.replace("\\\n", " ").splitlines():
        lexer = shlex.shlex(REDIRECTION.sub(" ", line), posix=True, punctuation_chars=";&|")
        lexer.whitespace_split = True
        for between, words in itertools.groupby(lexer, lambda word: not word.strip(";&|")):
            found = list(itertools.dropwhile(KEYWORDS.__contains__, words))
            if found and not between:
                yield list(itertools.dropwhile(re.compile(r"[A-Z_]+=").match, found)) or [""]


def problem(words: List[str]) -> Optional[str]:
    name, *args = words
    if name == "make":
        unknown = [w for w in args if w.split("=")[0] not in (MAKE_TEXT if "=" in w else TARGETS)]
        return f"make knows no {unknown}" if unknown else None
    tools = {"drives-run": drives_run.parse, "drives-results": drives_results.parse}
    try:
        tools.get(os.path.basename(name), lambda args: None)(args)
    except (SystemExit, Failure) as stop:  # --help and --version end with status 0
        return None if getattr(stop, "code", 1) in (0, None) else f"{name} refuses it"
    if name in ("bash", "sh", "python3", "sbatch"):
        name = next((w for w in args if not w.startswith("-")), "")
    if "/" in name and not name.startswith(("/", "~", "$")) and "*" not in name:
        return None if os.path.exists(os.path.join(ROOT, name)) else f"no {name} here"
    return None


def slugs(doc: str) -> List[str]:
    """The anchors of a doc's headings, as GitHub makes them."""
    text = re.sub(r"^```.*?^```", "", read(doc), flags=re.M | re.S)
    heads = [re.sub(r"[^\w\- ]", "", h.lower()) for h in re.findall(r"^#+ (.+?)\s*$", text, re.M)]
    bases = [head.replace(" ", "-") for head in heads]
    return [f"{b}-{bases[:i].count(b)}" if b in bases[:i] else b for i, b in enumerate(bases)]


def test_commands_and_links() -> None:
    blocks = [(doc, block) for doc in USER_DOCS for block, _ in BLOCK.findall(read(doc))]
    said = [(doc, w, problem(w)) for doc, block in blocks for w in commands(block)]
    failures = [f"{doc}: {shlex.join(w)}: {wrong}" for doc, w, wrong in said if wrong]
    for doc in ["CHANGELOG.md"] + DOCS:
        for target, anchor in LINK.findall(read(doc)):
            path = os.path.normpath(os.path.join(os.path.dirname(doc), target)) if target else doc
            if not os.path.exists(os.path.join(ROOT, path)):
                failures.append(f"{doc}: the link {target} names no file")
            elif path.endswith(".md") and anchor and anchor not in slugs(path):
                failures.append(f"{doc}: the link {target}#{anchor} names no heading of {path}")
    assert not failures, "\n".join(failures)


# ---------------------------------------------------------------- the examples, run


def place(run: List[str], lines: List[str], at: int) -> int:
    """Where the shown run of lines stands in the output's lines, from AT on, or fits best."""

    def fit(start: int) -> float:
        window = "".join(lines[start : start + len(run)])
        return difflib.SequenceMatcher(None, "".join(run), window).ratio()

    starts = range(at, len(lines) - len(run) + 1)
    same = [start for start in starts if lines[start : start + len(run)] == run]
    return same[0] if same else max(starts, key=fit, default=at)


def updated(shown: str, out: str) -> str:
    """The shown text, each run of lines between "..." lines replaced by the output's lines
    where it stands or fits best: the first at the output's start, the last at its end."""
    runs = [run.splitlines(True) for run in re.split(r"^\.\.\.\n", shown, flags=re.M)]
    lines, at, new = out.splitlines(True), 0, []
    for count, run in enumerate(runs if len(runs) > 1 else []):
        if count in (0, len(runs) - 1):
            start = max(at, len(lines) - len(run)) if count else 0
        else:
            start = place(run, lines, at)
        new.append("".join(lines[start : start + len(run)]))
        at = start + len(run)
    return "...\n".join(new) if new else out


def run_examples(doc: str, where: pathlib.Path) -> Tuple[List[str], str]:
    """Runs the doc's drives-results examples in turn in WHERE: what went wrong, and the doc
    with each output shown as its example prints it."""
    work, tools, trace = where / "work", os.path.join(ROOT, "tools"), where / "trace"
    shutil.copytree(os.path.join(ROOT, "docs", "samples", "runs"), work)
    shutil.copy(os.path.join(ROOT, "docs", "samples", "console.txt"), work / "run.log")
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ['PATH']}", DOCS_TRACE=str(trace))
    text, failures, new, at = read(doc), [], "", 0
    for found in BLOCK.finditer(text):
        names = {os.path.basename(words[0]) for words in commands(found[1])}
        chart = "chart" in found[1] and not importlib.util.find_spec("matplotlib")
        if "drives-results" not in names or names & RUNS or chart:
            continue
        trace.write_text("")
        script = ["bash", "-c", TRACE + found[1]]
        done = subprocess.run(script, cwd=work, env=env, capture_output=True, timeout=600)
        here = f"{doc}:{len(text[: found.start()].splitlines()) + 2}: "
        for line in trace.read_text().splitlines():
            status, *args = line.rstrip("\t").split("\t")
            made = [b for a, b in zip(args, args[1:]) if a in ("-o", "--output") and b != "-"]
            if int(status) not in (0, ExitStatus.WORSE if args[:1] == ["compare"] else 0):
                if "$?" not in found[1]:
                    failures.append(f"{here}drives-results {shlex.join(args)} ended with {status}")
            elif made and not (work / made[-1]).exists():
                failures.append(f"{here}drives-results {shlex.join(args)} made no {made[-1]}")
        said = (done.stderr + done.stdout).decode(errors="replace").replace(version(), RELEASE)
        said = said.replace("\r\n", "\n")  # as a terminal shows a CSV's line ends
        shown = updated(found[2], said) if found[2] is not None else None
        if shown is not None and shown != found[2]:
            diff = difflib.unified_diff(found[2].splitlines(), shown.splitlines(), lineterm="")
            failures.append(here + "prints other than shown:\n" + "\n".join(list(diff)[2:]))
            new, at = new + text[at : found.start(2)] + shown, found.end(2)
    return failures, new + text[at:]


@pytest.mark.parametrize("doc", EXAMPLE_DOCS)
def test_examples_run_as_printed(doc: str, tmp_path: pathlib.Path) -> None:
    failures, _ = run_examples(doc, tmp_path)
    assert not failures, "\n".join(failures)


# ---------------------------------------------------------------- tables


def rows(doc: str, first: str) -> Iterator[List[str]]:
    """The cells of every row of the doc's tables whose first column is FIRST."""
    in_table = False
    for line in read(doc).splitlines():
        cells = re.split(r"(?<!\\)\|", line.strip().strip("|")) if line.startswith("|") else []
        cells = [cell.strip() for cell in cells]
        in_table = bool(cells) and (in_table or cells[0].lower() == first.lower())
        if in_table and cells[0].strip("-: ") and cells[0].lower() != first.lower():
            yield cells


def options(parser: Any) -> Set[str]:
    """Every option string of a parser and of its sub-commands' parsers."""
    subs = [
        sub for a in parser._actions if isinstance(a.choices, dict) for sub in a.choices.values()
    ]
    return {name for a in parser._actions for name in a.option_strings}.union(*map(options, subs))


# The commands whose statuses a doc's status tables give: the README's, every command's.
STATUS_TABLES = {"docs/results-tool.md": ["drives-results"]}
COMMANDS = sorted({name for said in MEANINGS.values() for key in said for name in key.split()})


def test_tables() -> None:
    """The option tables list the parsers' options; a status table lists every status of the
    commands it is about, each row with the words of its meaning for each, in their order."""
    failures = []
    for doc, tool in [("docs/user-guide.md", drives_run), ("docs/results-tool.md", drives_results)]:
        cells = [cells[0] for cells in rows(doc, "Option")]
        said = {w.split()[0] for cell in cells for w in re.findall(r"`(-[^`]*)`", cell)} - {"--"}
        parsed = options(tool.parser())
        if said != parsed:
            lack, more = sorted(parsed - said), sorted(said - parsed)
            failures.append(f"{doc}: the option tables lack {lack} and have {more} too many")
    for doc in USER_DOCS:
        names, listed = STATUS_TABLES.get(doc, COMMANDS), set()
        statuses = {int(status) for name in names for status in meanings(name)}
        for cells in rows(doc, "Status"):
            status = int(re.sub(r"\D.*", "", cells[0]) or -1)
            listed.add(status)
            if status not in statuses:
                failures.append(f"{doc}: {cells[0]} is no status of {', '.join(names)}")
            for name in names:
                meaning = meanings(name).get(status)  # type: ignore[call-overload]
                row = iter(words(re.sub(r"[`*]", "", " ".join(cells[1:]))))
                if meaning and not all(word in row for word in words(meaning)):
                    failures.append(f"{doc}: status {cells[0]} does not say {meaning!r} ({name})")
        if listed and statuses - listed:
            failures.append(f"{doc}: the status table lacks {sorted(statuses - listed)}")
    assert not failures, "\n".join(failures)


# ---------------------------------------------------------------- quoted messages

PREFIXES = ("drives-run: ", "drives-results: ", "setup: ")
# Words of a quoted message that stand for what a run or a machine gave it;
# the system's own words for an error, and what a message quotes or puts in
# brackets, which comes from the input or the report.
VARIABLE = re.compile(r"[/0-9'@\[\]<>]|^(vm|empty|bad\.txt|cut\.txt|node[a-z0-9-]*)\W*$")
SYSTEM = re.compile(
    r"Read-only file system|No such file or directory|No space left on device|"
    r"standard input|\"[^\"]*\"|'[^']*'|\([^)]*\)"
)


def words(text: str) -> List[str]:
    """Text in words, quotes as blanks, no punctuation at the words' ends."""
    return [word.strip(":;,.()") for word in re.sub(r"[\"']", " ", text).split()]


def code_text() -> str:
    """The tools' and the set-up's source in words, literals continued on the next line joined."""
    text = "".join(map(read, every("tools/drives_tools/*.py") + ["scripts/setup.sh"]))
    text = re.sub(r"[\"']\s*\\?\s*\n\s*f?[\"']", "", text)
    return " " + " ".join(words(text)) + " "


def fragments(message: str) -> Iterator[List[str]]:
    """The message's runs of three or more words that are no example's."""
    parts = SYSTEM.sub("/", message).split()[1:]
    for variable, run in itertools.groupby(parts, lambda word: bool(VARIABLE.search(word))):
        found = list(run)
        if not variable and len(found) >= 3:
            yield words(" ".join(found))


def pieces(fragment: List[str], code: str) -> int:
    """How few runs of words found in the code make up the fragment (literals and values)."""
    best = [0] + [len(fragment) + 1] * len(fragment)
    for end in range(1, len(fragment) + 1):
        for start in range(end):
            if f" {' '.join(fragment[start:end])} " in code:
                best[end] = min(best[end], best[start] + 1)
    return best[-1]


def test_quoted_messages() -> None:
    """The messages the docs quote (code spans and lines of text blocks that start with a
    tool's name) have their words in the code."""
    code, failures = code_text(), []
    for doc in USER_DOCS:
        for message in re.findall(r"`([^`\n]+)`", read(doc)) + read(doc).splitlines():
            message = message.strip()
            parts = fragments(message) if message.startswith(PREFIXES) else iter([])
            missing = [" ".join(p) for p in parts if pieces(p, code) > max(1, len(p) // 2)]
            if missing:
                failures.append(f"{doc}: {message!r} has words the code lacks: {missing}")
    assert not failures, "\n".join(failures)


# ---------------------------------------------------------------- numbers and defaults


def constant(name: str) -> str:
    return str(re.findall(rf"{name} = ([0-9.xA-F]+)[ ;]", read("src/constants/constants.h"))[0])


def job(pattern: str) -> str:
    return str(re.findall(pattern, read("examples/drives.sbatch"), re.M)[0])


MIB = round(float(constant("kPerKibi")) ** -2)  # the report's MB
FIRST, SECOND = int(constant("kFirstPassBytes")), int(constant("kSecondPassBytes"))
# What the docs say of the program, each phrase's number against the code.
NUMBERS: List[Tuple[str, object]] = [
    (r"\b(\d+) files(?![/\w])", constant("kFileCycles")),
    (r"(\d+ bytes of 0x\w+)", f"{FIRST} bytes of {constant('kTestByte')}"),
    (r"a (\d+) MiB file written", FIRST // MIB),
    (r"the root makes (\d+) MiB", (FIRST + SECOND) // MIB),
    (r"more than (\d+) ranks", constant("kRankLimit")),
    (r"the number of ranks, 1 to (\d+)", constant("kRankLimit")),
    (r"(\d+) MiB per rank", check.RANK_KIB // 1024),
    (r"and (\d+) MiB more\)", check.MARGIN_KIB // 1024),
    (r"MB[\w ]* is (\d+) bytes", MIB),
    (r"run N times \(1 to (\d+)", drives_run.MAX_REPEAT),
    (r"#SBATCH --nodes=(\d+)", job(r"^#SBATCH --nodes=(\d+)")),
    (r"#SBATCH --ntasks-per-node=(\d+)", job(r"^#SBATCH --ntasks-per-node=(\d+)")),
    (r"`DRIVES_PREFIX`[^`]*default `([^`]+)`", job(r"\${DRIVES_PREFIX:-([^}]+)}")),
    (r"`DRIVES_DIR`[^`]*default `([^`]+)`", job(r"\${DRIVES_DIR:-([^}]+)}")),
]
NUMBERS = [(pattern, str(value)) for pattern, value in NUMBERS]
# The docs that describe the program; the others quote measurements.
DESCRIBING = ["README.md", "docs/user-guide.md", "docs/cluster.md", "docs/records.md"]
PARSERS = [drives_run.parser(), *drives_results.parsers()[1].values()]


def test_numbers_and_defaults() -> None:
    failures, code, stated = [], {}, set()  # the options' numeric defaults, percent in percent
    for action in [a for p in PARSERS for a in p._actions if type(a.default) in (int, float)]:
        scale = 100 if action.type is drives_results.threshold_arg else 1
        code.update(dict.fromkeys(action.option_strings, round(action.default * scale, 6)))
    texts = {doc: " ".join(read(doc).split()) for doc in DESCRIBING}
    for pattern, value in NUMBERS:
        said = [(doc, n) for doc, text in texts.items() for n in re.findall(pattern, text)]
        failures += [f"{d}: {pattern!r} says {n}, the code {value}" for d, n in said if n != value]
        failures += [f"no doc says {pattern!r} (say it, or drop it here)"] if not said else []
    for doc in DESCRIBING + ["docs/results-tool.md"]:
        # A default is that of the last option named before it in its table row or paragraph.
        for part in re.split(r"\n\s*\n|\n(?=\|)", read(doc)):
            for default in re.finditer(r"[Dd]efault:? (\d+)|(\d+) ?% by default", part):
                option = (re.findall(r"`(--?[\w-]+)", part[: default.start()]) or [""])[-1]
                if option in code and float(default[1] or default[2]) != code[option]:
                    failures.append(f"{doc}: {default[0]!r}: {option}'s is {code[option]:g}")
                stated.add(option)
    failures += [f"no doc gives the default of {option}" for option in sorted(set(code) - stated)]
    assert not failures, "\n".join(failures)


# ---------------------------------------------------------------- the samples


def shape(line: str) -> str:
    """A line with its numbers and host names made alike."""
    line = re.sub(r"@[^ :]+(:| The| It)", r"@HOST\1", line)
    line = re.sub(r"this host \([^)]*\)", "this host (HOST)", line)
    return re.sub(r"-?\d+(\.\d+)?(e[-+]\d+)?", "N", line).rstrip()


GUIDE = "docs/user-guide.md"


def test_samples(opts: object) -> None:
    """The samples are whole reports of the program's wording (the results tool reads them), the
    guide's report is the sample console's lines, and the standard error the guide quotes has the
    shape of what the end-to-end tests' runs printed."""
    guide, samples = read(GUIDE), ["console.txt", "result-file.txt"]
    runs = [read_run(os.path.join(ROOT, "docs", "samples", name)) for name in samples]
    failures = [f"{run.source}: cut short" for run in runs if not run.complete]
    console = read("docs/samples/console.txt").splitlines() + ["..."]
    excerpt = "".join(re.findall(rf"^```text\n({re.escape(TITLE)}\n.*?)^```", guide, re.M | re.S))
    failures += [f"{GUIDE}: no sample has {x!r}" for x in excerpt.splitlines() if x not in console]
    kept = pathlib.Path(getattr(opts, "runs") or "/nonexistent").glob("stderr/*.txt")
    said = {shape(line) for path in kept for line in path.read_text(errors="replace").splitlines()}
    errs = re.findall(r"^ *(drives_mpi: .*)", guide, re.M) if said else []
    failures += [f"{GUIDE}: no run printed a line like {x!r}" for x in errs if shape(x) not in said]
    assert not failures, "\n".join(failures)
    if not said:
        pytest.skip("no kept runs of the end-to-end tests (--runs) for drives_mpi's lines")


if __name__ == "__main__":
    if sys.argv[1:] != ["--update"]:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory() as scratch:
        for doc in EXAMPLE_DOCS:
            failures, text = run_examples(doc, pathlib.Path(scratch, doc))
            print("\n".join(failures) or f"{doc}: as shown")
            pathlib.Path(ROOT, doc).write_text(text, encoding="utf-8")
