"""What every Python test shares under pytest, as CTest runs them: the build's
paths given on the command line, and the status of a script whose every test
skipped (CTest's SKIP_RETURN_CODE, 77)."""

import pytest

OPTIONS = ("--binary", "--shim", "--mpi", "--build", "--runs")


def pytest_addoption(parser: pytest.Parser) -> None:
    for name in OPTIONS:
        parser.addoption(name, default=None)


@pytest.fixture(scope="session")
def opts(request: pytest.FixtureRequest) -> object:
    """The options CTest gave: opts.binary, opts.shim, opts.mpi, opts.build, opts.runs."""
    return request.config.option


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    stats = reporter.stats if reporter else {}
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77
