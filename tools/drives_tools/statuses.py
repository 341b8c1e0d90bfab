"""The exit statuses of drives_mpi, drives-run and drives-results: one table,
no number meaning two things across the three commands, and the one way a
command stops with one of them."""

import enum
from typing import Dict


class ExitStatus(enum.IntEnum):
    """What a command's exit status says. drives_mpi's own (1 and 3) are set
    in src/ (kStopStatus, kNotSavedStatus, kFailedOperationsStatus); a test
    holds them against these."""

    OK = 0
    STOPPED = 1
    USAGE = 2
    CALLS_FAILED = 3
    NODE_FAILED = 4
    WORSE = 5
    NO_MATPLOTLIB = 6
    SIGNALLED = 128  # 128 + N for signal N, as a shell reports it


# What each status means for the commands that end with it (a key names one
# command, or several apart by blanks). The manual pages' EXIT STATUS gives
# these words, and the docs' status tables must hold them.
MEANINGS: Dict[ExitStatus, Dict[str, str]] = {
    ExitStatus.OK: {
        "drives_mpi drives-run": "every measurement's calls worked and the result file was saved",
        "drives-results": "did what it was asked",
    },
    ExitStatus.STOPPED: {
        "drives_mpi": "stopped at start-up or could not save the result file",
        "drives-run": "drives_mpi stopped at start-up or could not save the result file; "
        "drives-run could not write its standard output",
    },
    ExitStatus.USAGE: {
        "drives-run": "bad usage or input: started nothing",
        "drives-results": "bad usage or input: wrote nothing",
    },
    ExitStatus.CALLS_FAILED: {
        "drives_mpi drives-run": "some calls of a measurement failed on a rank"
    },
    ExitStatus.NODE_FAILED: {
        "drives-run": "a node could not be prepared or reached; nothing measured"
    },
    ExitStatus.WORSE: {"drives-results": "compare: a figure got worse beyond the threshold"},
    ExitStatus.NO_MATPLOTLIB: {"drives-results": "chart: matplotlib is not installed"},
    ExitStatus.SIGNALLED: {"drives-run": "ended by signal N"},
}


def meanings(command: str) -> Dict[ExitStatus, str]:
    """The statuses COMMAND ends with, and what each means for it."""
    return {
        status: text
        for status, said in MEANINGS.items()
        for names, text in said.items()
        if command in names.split()
    }


class Failure(Exception):
    """Ends a command with a one-line message and a status of its own."""

    def __init__(self, message: str, status: ExitStatus) -> None:
        super().__init__(message)
        self.status = status
