"""The one version of drives_mpi and its tools."""

import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))


def version():
    """VERSION beside this module once installed; in a checkout, the
    project() line of CMakeLists.txt, where the version is set."""
    try:
        with open(os.path.join(HERE, "VERSION"), encoding="utf-8") as stream:
            return stream.read().strip()
    except OSError:
        pass
    try:
        with open(
            os.path.join(HERE, os.pardir, os.pardir, "CMakeLists.txt"), encoding="utf-8"
        ) as stream:
            found = re.search(r"project\(\w+ VERSION (\S+)", stream.read())
        return found.group(1) if found else "unknown"
    except OSError:
        return "unknown"
