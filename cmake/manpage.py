"""Writes a manual page (section 1) from its template, cmake/man/NAME.1.in, gzipped: the
template holds what a reader needs beyond --help (NAME, DESCRIPTION, ENVIRONMENT, FILES,
EXAMPLES), and marks where the generated parts go, so that they cannot say other than the
command itself:

    .\\" @SYNOPSIS@            the usage of the command's parser, and of each sub-command's
    .\\" @OPTIONS@             every option of the parser
    .\\" @COMMANDS@            every sub-command: its usage, description and options
    .\\" @EXIT STATUS@         every status the command ends with, from statuses.py's table
    @VERSION@                 the version

Standard library only: a plain build has nothing else.

    manpage.py TOOLS_DIR TEMPLATE VERSION OUTPUT.1.gz [MODULE]   (MODULE.parser(): the parser)
"""

import argparse
import gzip
import importlib
import os
import re
import sys
from typing import List, Optional

MARK = re.compile(r'^\.\\" @(SYNOPSIS|OPTIONS|COMMANDS|EXIT STATUS)@$')


def escape(text: str) -> str:
    return text.replace("\\", "\\e").replace("-", "\\-")


def lines(text: str) -> List[str]:
    """roff for a parser's text: paragraphs filled, indented or listed lines kept as they are."""
    out: List[str] = []
    for paragraph in re.split(r"\n\s*\n", text.strip("\n")):
        rows = paragraph.splitlines()
        kept = any(row.startswith(" ") for row in rows)
        out += [".PP"] + ([".nf"] if kept else [])
        out += [
            ("\\&" if row.lstrip().startswith((".", "'")) else "")
            + escape(row if kept else row.strip())
            for row in rows
        ]
        out += [".fi"] if kept else []
    return out


def usage(parser: argparse.ArgumentParser) -> List[str]:
    """The usage's lines, those that go on from the one before indented."""
    rows = [row.strip() for row in parser.format_usage().split(":", 1)[1].strip("\n").splitlines()]
    command = parser.prog.split()[0]
    return [escape(row if row.startswith(command) else "    " + row) for row in rows]


def options(parser: argparse.ArgumentParser, top: bool = True) -> List[str]:
    """An entry per option; a positional only where it has a help text of its own (the
    synopsis and the description say what the files are), -h only on the top parser."""
    formatter = parser._get_formatter()
    out: List[str] = []
    for action in parser._actions:
        if (
            action.help == argparse.SUPPRESS
            or isinstance(action, (argparse._SubParsersAction))
            or (isinstance(action, argparse._HelpAction) and not top)
            or (not action.option_strings and not action.help)
        ):
            continue
        if action.option_strings:
            metavar = formatter._format_args(
                action, formatter._get_default_metavar_for_optional(action)
            )
            value = "" if action.nargs == 0 else f" \\fI{escape(metavar)}\\fR"
            head = ", ".join(f"\\fB{escape(option)}\\fR{value}" for option in action.option_strings)
        else:
            head = "\\fI" + escape(formatter._metavar_formatter(action, action.dest)(1)[0]) + "\\fR"
        out += [".TP", head, escape(formatter._expand_help(action) if action.help else "")]
    return out


def commands(parser: argparse.ArgumentParser) -> List[str]:
    out: List[str] = []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            helps = {choice.dest: choice.help for choice in action._choices_actions}
            for command, sub in action.choices.items():
                out += [f".SS {escape(command)}", ".nf"] + usage(sub) + [".fi"]
                out += lines(sub.description or helps.get(command) or "")
                out += options(sub, top=False)
    return out


def synopsis(parser: argparse.ArgumentParser) -> List[str]:
    out = usage(parser)
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            out += [row for sub in action.choices.values() for row in usage(sub)]
    return [".nf"] + out + [".fi"]


def exit_statuses(name: str) -> List[str]:
    """An entry per status the command NAME ends with, and what it means for NAME, from
    statuses.py, the one table."""
    from drives_tools.statuses import ExitStatus, meanings

    out: List[str] = []
    for status, text in meanings(name).items():
        number = "128 + N" if status is ExitStatus.SIGNALLED else str(int(status))
        out += [".TP", f"\\fB{escape(number)}\\fR", escape(text)]
    return out


def page(template: str, name: str, version: str, parser: Optional[argparse.ArgumentParser]) -> str:
    os.environ["COLUMNS"] = "80"
    out: List[str] = []
    for row in template.replace("@VERSION@", version).splitlines():
        found = MARK.match(row)
        if not found:
            out.append(row)
        elif found[1] == "EXIT STATUS":
            out += exit_statuses(name)
        elif parser is None:
            raise SystemExit(f"manpage.py: {row} needs the command's parser")
        else:
            out += {"SYNOPSIS": synopsis, "OPTIONS": options, "COMMANDS": commands}[found[1]](
                parser
            )
    return "\n".join(out) + "\n"


def main(argv: List[str]) -> None:
    tools, template, version, output = argv[:4]
    sys.dont_write_bytecode = True  # the build writes nothing into the sources
    sys.path.insert(0, tools)
    parser = importlib.import_module(argv[4]).parser() if len(argv) > 4 else None
    with open(template, encoding="utf-8") as stream:
        text = page(stream.read(), os.path.basename(template)[: -len(".1.in")], version, parser)
    with open(output, "wb") as stream:
        stream.write(gzip.compress(text.encode(), 9, mtime=0))


if __name__ == "__main__":
    main(sys.argv[1:])
