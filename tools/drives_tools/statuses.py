"""The exit statuses of drives_mpi, drives-run and drives-results: one table,
no number meaning two things across the three commands, and the one way a
command stops with one of them."""

import enum


class ExitStatus(enum.IntEnum):
    """What a command's exit status says. drives_mpi's own (1 and 3) are set
    in src/ (kStopStatus, kNotSavedStatus, kFailedOperationsStatus); a test
    holds them against these."""

    OK = 0
    STOPPED = 1  # drives_mpi stopped at start-up, or could not save the result file; standard output could not be written (drives-run)
    USAGE = 2  # bad usage or input; nothing started (drives-run), nothing written (drives-results)
    CALLS_FAILED = 3  # some calls of a measurement failed on a rank
    NODE_FAILED = 4  # drives-run: a node could not be prepared or reached; nothing measured
    WORSE = 5  # drives-results compare: a figure got worse beyond the threshold
    NO_MATPLOTLIB = 6  # drives-results chart: matplotlib is not installed
    SIGNALLED = 128  # 128 + N: ended by signal N, as a shell reports it


class Failure(Exception):
    """Ends a command with a one-line message and a status of its own."""

    def __init__(self, message: str, status: ExitStatus) -> None:
        super().__init__(message)
        self.status = status
