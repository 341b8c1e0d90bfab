"""Writes CHANGELOG.md as the change log Debian wants in a package of its own
(/usr/share/doc/PACKAGE/changelog.gz): an entry per released version, its
items as the entry's lines, gzipped at the highest level with no time stamp
so that two builds give the same bytes. The Unreleased section becomes the
entry of VERSION where no released one has it yet. DATE is the commit's
time (seconds since 1970; now where it is empty).

    debian_changelog.py CHANGELOG.md VERSION MAINTAINER DATE OUTPUT.gz
"""
import datetime
import email.utils
import gzip
import re
import sys
import textwrap


def entries(markdown, version, maintainer, commit_time):
    # The entry of the version built bears the commit's time, not midnight,
    # so that it comes after a release of the same day, as Debian wants.
    built = datetime.datetime.fromtimestamp(
        int(commit_time) if commit_time else datetime.datetime.now().timestamp(),
        datetime.timezone.utc,
    )
    sections = re.findall(r"^## \[(.+?)\](?: - (\S+))?\n(.*?)(?=^## |\Z)", markdown, re.M | re.S)
    released = {name for name, date, _ in sections if date}
    for name, date, body in sections:
        if not date and (name != "Unreleased" or version in released):
            continue
        items = [
            " ".join(item.replace("**", "").split())
            for item in re.findall(r"^- (.*?)(?=^- |^#|\Z)", body, re.M | re.S)
        ]
        day = built
        if date and (name != version or date != built.date().isoformat()):
            day = datetime.datetime.fromisoformat(date).replace(tzinfo=datetime.timezone.utc)
        lines = [
            textwrap.fill(item, 79, initial_indent="  * ", subsequent_indent="    ")
            for item in items or [f"Version {version}."]
        ]
        yield (
            f"drives-mpi ({name if date else version}) unstable; urgency=medium\n\n"
            + "\n".join(lines)
            + f"\n\n -- {maintainer}  {email.utils.format_datetime(day)}\n"
        )


def main(source, version, maintainer, commit_time, output):
    with open(source, encoding="utf-8") as stream:
        # The link references at the end belong to no version's items.
        markdown = re.sub(r"^\[[^\]]+\]: .*\n?", "", stream.read(), flags=re.M)
    text = "\n".join(entries(markdown, version, maintainer, commit_time))
    with open(output, "wb") as stream:
        stream.write(gzip.compress(text.encode(), 9, mtime=0))


if __name__ == "__main__":
    main(*sys.argv[1:])
