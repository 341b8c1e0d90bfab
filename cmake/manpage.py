"""Writes a command's manual page (section 1) from its own argparse parser, so that the page
cannot say other than --help: the synopsis from its usage, the description and the closing
text, every option, and every sub-command with its own usage and options. A page written by
hand goes through the same gzip. Standard library only: a plain build has nothing else.

    manpage.py TOOLS_DIR MODULE NAME VERSION OUTPUT.1.gz   (the parser of MODULE.parser())
    manpage.py --gzip PAGE.1 OUTPUT.1.gz
"""
import argparse
import gzip
import importlib
import os
import re
import sys


def escape(text):
    return text.replace("\\", "\\e").replace("-", "\\-")


def lines(text):
    """roff for a parser's text: paragraphs filled, indented or listed lines kept as they are."""
    out = []
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


def usage(parser):
    text = parser.format_usage().split(":", 1)[1].strip("\n")
    return (
        [".nf"]
        + [
            escape(row.strip() if index == 0 else "    " + row.strip())
            for index, row in enumerate(text.splitlines())
        ]
        + [".fi"]
    )


def options(parser):
    formatter = parser._get_formatter()
    out = []
    for action in parser._actions:
        if action.help == argparse.SUPPRESS or isinstance(action, argparse._SubParsersAction):
            continue
        if action.option_strings:
            value = (
                ""
                if action.nargs == 0
                else " \\fI"
                + escape(
                    formatter._format_args(
                        action, formatter._get_default_metavar_for_optional(action)
                    )
                )
                + "\\fR"
            )
            head = ", ".join(f"\\fB{escape(option)}\\fR{value}" for option in action.option_strings)
        else:
            head = "\\fI" + escape(formatter._metavar_formatter(action, action.dest)(1)[0]) + "\\fR"
        out += [".TP", head, escape(formatter._expand_help(action) if action.help else "")]
    return out


def page(parser, name, version):
    os.environ["COLUMNS"] = "80"
    summary = re.split(r"(?<=\.)\s", (parser.description or "").strip(), maxsplit=1)[0]
    out = (
        [
            f'.TH {escape(name.upper())} 1 "" "drives_mpi {version}" "User Commands"',
            ".SH NAME",
            f"{escape(name)} \\- {escape(summary.rstrip('.'))}",
            ".SH SYNOPSIS",
        ]
        + usage(parser)
        + [".SH DESCRIPTION"]
        + lines(parser.description or "")
    )
    out += [".SH OPTIONS"] + options(parser)
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            out += [".SH COMMANDS"]
            helps = {choice.dest: choice.help for choice in action._choices_actions}
            for command, sub in action.choices.items():
                out += [f".SS {escape(command)}"] + usage(sub)
                out += lines(sub.description or helps.get(command) or "") + options(sub)
    if parser.epilog:
        out += [".SH NOTES"] + lines(parser.epilog)
    others = [page for page in ("drives_mpi", "drives-run", "drives-results") if page != name]
    out += [".SH SEE ALSO", ", ".join(f"\\fB{escape(other)}\\fR(1)" for other in others)]
    return "\n".join(out) + "\n"


def write(text, output):
    with open(output, "wb") as stream:
        stream.write(gzip.compress(text.encode(), 9, mtime=0))


def main(argv):
    if argv[0] == "--gzip":
        with open(argv[1], encoding="utf-8") as stream:
            return write(stream.read(), argv[2])
    tools, module, name, version, output = argv
    sys.dont_write_bytecode = True  # the build writes nothing into the sources
    sys.path.insert(0, tools)
    loaded = importlib.import_module(module)
    write(page(loaded.parser(), name, version), output)


if __name__ == "__main__":
    main(sys.argv[1:])
