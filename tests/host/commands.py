"""Running the command line in-process, for the tests that drive it."""
from quelvane_host.cli import main


def invoke(runner, *args):
    return runner.invoke(main, [str(a) for a in args], catch_exceptions=False)
