"""Shared set-up of the test session."""
import signal
import sys

import pytest

from support.build import BUILD_DIR
from support.lua import lua_example

# A shell starting the suite in the background (CI, `cmd &`) leaves SIGINT ignored, and an
# ignored signal stays ignored in every child process, so the tests that stop a program with
# Ctrl-C would see nothing arrive. A handled signal is reset to the default in a child, where
# Python installs its own handler again.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_report_header(config):
    """Which interpreter and which build tree this run tests (CI runs several versions)."""
    return [f"interpreter: {sys.executable} ({sys.version.split()[0]})", f"build: {BUILD_DIR}"]


@pytest.fixture(scope="session")
def lua():
    """The Lua example's module (examples/lua/lua.py), imported once."""
    return lua_example()
