"""The docs say what the code does. Every command the user docs show in a shell block
exists and takes the options shown (make's targets and variables; drives-run's and
drives-results' options, parsed, not run; the project's own files); every relative link
names a file; every option table lists the parser's options, no more, no fewer; every
message the docs quote has its words in the code; the numbers that describe the program
are its constants'; and the sample report and the quoted standard error are what the
end-to-end tests' own runs printed (RUNS_DIR, where they kept them), numbers and host
names aside. No measured figure is checked. Status 0 pass, 1 fail.

    test_docs.py [RUNS_DIR]
"""
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
from drives_tools import check, drives_results, drives_run  # noqa: E402
from drives_tools.statuses import Failure  # noqa: E402

USER_DOCS = [
    "README.md",
    "docs/install.md",
    "docs/user-guide.md",
    "docs/cluster.md",
    "docs/records.md",
    "docs/results-tool.md",
    "docs/performance.md",
]
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


def command_failures():
    for doc in USER_DOCS:
        for words in commands(read(doc)):
            if said := problem(words):
                yield f"{doc}: {shlex.join(words)}: {said}"
    for doc in ["README.md", "CHANGELOG.md"] + glob.glob("docs/*.md", root_dir=ROOT):
        for target in LINK.findall(read(doc)):
            if "://" not in target and not (pathlib.Path(ROOT, doc).parent / target).exists():
                yield f"{doc}: the link {target} names no file"


# ---------------------------------------------------------------- option tables


def parser_options(parser):
    """Every option string of a parser and of its sub-commands' parsers."""
    found = set()
    for action in parser._actions:
        found.update(action.option_strings)
        if isinstance(action.choices, dict):  # the sub-commands
            for sub in action.choices.values():
                found |= parser_options(sub)
    return found


TABLES = {
    "docs/user-guide.md": ("drives-run", drives_run.parser()),
    "docs/results-tool.md": ("drives-results", drives_results.parser()),
}


def table_options(text):
    """The options of a doc's tables whose first column is "Option"."""
    found, in_table = set(), False
    for line in text.splitlines():
        cells = (
            [cell.strip() for cell in re.split(r"(?<!\\)\|", line.strip().strip("|"))]
            if line.startswith("|")
            else []
        )
        if cells[:1] == ["Option"]:
            in_table = True
        elif not cells:
            in_table = False
        elif in_table:
            found |= {word.split()[0] for word in re.findall(r"`(-[^`]*)`", cells[0])}
    return found - {"--"}


def option_failures():
    for doc, (name, parser) in TABLES.items():
        documented, parsed = table_options(read(doc)), parser_options(parser)
        if documented != parsed:
            yield (
                f"{doc}: the option tables of {name} lack {sorted(parsed - documented)} "
                f"and have {sorted(documented - parsed)} too many"
            )


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
CODE = ["tools/drives_tools/*.py", "scripts/setup.sh"]


def words(text):
    """Text in words, quotes as blanks, no punctuation at the words' ends."""
    return [word.strip(":;,.()") for word in re.sub(r"[\"']", " ", text).split()]


def code_text():
    """The tools' and the set-up's source: string literals that go on on the
    next line joined, quotes dropped, in words."""
    text = "".join(read(path) for pattern in CODE for path in glob.glob(pattern, root_dir=ROOT))
    text = re.sub(r"[\"']\s*\\?\s*\n\s*f?[\"']", "", text)
    return " " + " ".join(words(text)) + " "


def quoted(text):
    """The messages a doc quotes: code spans and lines of text blocks that
    start with a tool's name."""
    for line in re.findall(r"`([^`\n]+)`", text) + text.splitlines():
        line = line.strip()
        if line.startswith(PREFIXES):
            yield line


def fragments(message):
    """The message's runs of three or more words that are no example's."""
    run = []
    for word in SYSTEM.sub("/", message).split()[1:] + ["/"]:
        if VARIABLE.search(word):
            if len(run) >= 3:
                yield words(" ".join(run))
            run = []
        else:
            run.append(word)


def pieces(fragment, code):
    """How few runs of the fragment's words, each found in the code, make
    it up: a message is put together from literals and values."""
    best = [0] + [len(fragment) + 1] * len(fragment)
    for end in range(1, len(fragment) + 1):
        for start in range(end):
            if f" {' '.join(fragment[start:end])} " in code:
                best[end] = min(best[end], best[start] + 1)
    return best[-1]


def message_failures():
    code = code_text()
    for doc in USER_DOCS:
        for message in quoted(read(doc)):
            missing = [
                " ".join(part)
                for part in fragments(message)
                if pieces(part, code) > max(1, len(part) // 2)
            ]
            if missing:
                yield f"{doc}: the message {message!r} has words the code lacks: {missing}"


# ---------------------------------------------------------------- numbers


def constant(name):
    return int(float(re.search(rf"{name} = ([0-9.]+)[ ;]", read("src/constants/constants.h"))[1]))


MIB = 1048576
# What the docs say of the program, each phrase's number against the code.
NUMBERS = [
    (r"\b(\d+) files(?![/\w])", constant("kFileCycles")),
    (r"(\d+) bytes of 0x0B", constant("kFirstPassBytes")),
    (r"a (\d+) MiB file written", constant("kFirstPassBytes") // MIB),
    (r"the root: (\d+) MiB", (constant("kFirstPassBytes") + constant("kSecondPassBytes")) // MIB),
    (r"more than (\d+) ranks", constant("kRankLimit")),
    (r"the number of ranks, 1 to (\d+)", constant("kRankLimit")),
    (r"(\d+) MiB per rank", check.RANK_KIB // 1024),
    (r"and (\d+) MiB more\)", check.MARGIN_KIB // 1024),
    (r"run N times \(1 to (\d+)\)", drives_run.MAX_REPEAT),
    (r"`--check-timeout SECONDS` \|[^|\n]*Default: (\d+)", check.CHECK_SECONDS),
]


# The docs that describe the program; the others quote measurements.
DESCRIBING = ["README.md", "docs/user-guide.md", "docs/cluster.md", "docs/records.md"]


def number_failures():
    for doc in DESCRIBING:
        text = " ".join(read(doc).split())
        for pattern, value in NUMBERS:
            for found in re.findall(pattern, text):
                if int(found) != value:
                    yield f"{doc}: {pattern!r} says {found}, the code {value}"
    for pattern, _ in NUMBERS:
        if not any(re.search(pattern, " ".join(read(doc).split())) for doc in DESCRIBING):
            yield f"no doc says {pattern!r} any more: drop it here"


# ---------------------------------------------------------------- the runs' own words


def shape(line):
    """A line with its numbers, host names and paths made alike."""
    line = re.sub(r"(find it at|saved in a file at): .*", r"\1: PATH", line)
    line = re.sub(r"@[^ :]+(:| The| It)", r"@HOST\1", line)
    line = re.sub(r"this host \([^)]*\)", "this host (HOST)", line)
    return re.sub(r"-?\d+(\.\d+)?(e[-+]\d+)?", "N", line).rstrip()


def kept(runs, pattern):
    lines = set()
    for path in glob.glob(os.path.join(runs, pattern)):
        lines |= {
            shape(line) for line in pathlib.Path(path).read_text(errors="replace").splitlines()
        }
    return lines


def run_failures(runs):
    """The samples and the guide's excerpt of them, and the quoted standard
    error, against what the end-to-end tests' runs printed."""
    checks = [
        (
            "docs/samples/console.txt",
            read("docs/samples/console.txt").splitlines(),
            kept(runs, "*/console.txt"),
        ),
        (
            "docs/samples/result-file.txt",
            read("docs/samples/result-file.txt").splitlines(),
            kept(runs, "*/results_drives_*.txt"),
        ),
        (
            "docs/user-guide.md, drives_mpi's lines",
            [
                line.strip()
                for line in read("docs/user-guide.md").splitlines()
                if line.strip().startswith("drives_mpi: ")
            ],
            kept(runs, "stderr/*.txt"),
        ),
    ]
    sample = set(read("docs/samples/console.txt").splitlines())
    report = read("docs/user-guide.md").split("## The report", 1)[1].split("```text\n", 1)[1]
    excerpt = [line for line in report.split("```", 1)[0].splitlines() if line not in ("...",)]
    for line in excerpt:
        if line not in sample:
            yield f"docs/user-guide.md: the report's excerpt has a line the sample lacks: {line!r}"
    for where, lines, said in checks:
        if not said:
            print(f"SKIPPED: {where}: no kept run in {runs} to hold it against")
            continue
        for line in lines:
            if line.strip() and shape(line) not in said:
                yield f"{where}: no run printed a line like {line!r}"


def failures(runs):
    yield from command_failures()
    yield from option_failures()
    yield from message_failures()
    yield from number_failures()
    if runs:
        yield from run_failures(runs)


if __name__ == "__main__":
    found = list(failures(sys.argv[1] if len(sys.argv) > 1 else None))
    if found:
        sys.exit("\n".join(f"FAILED: {failure}" for failure in found))
    print("passed")
