"""drives-run's own exit statuses, and the one way its commands stop with
one of them. Any other status is the benchmark's (0 done, 1 stopped at
start-up or result file not saved, 3 some calls failed) or the launcher's;
a run ended by signal N ends as N would end a shell's command, 128 + N."""

USAGE = 2
NODE_FAILED = 4
SIGNALLED = 128


class Failure(Exception):
    """Ends a command with a one-line message and a status of its own."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status
