"""Running code in a fresh interpreter, so that a crash there fails the test instead of ending
the test run."""
import os
import subprocess
import sys
import textwrap


def python_env():
    """The environment of a child interpreter that sees the same packages as the tests,
    support.* included."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def run_python(code, *options, timeout=60):
    """Runs code (dedented) in a fresh interpreter with the given interpreter options; returns
    the finished process, its output as text. The timeout only catches a hang."""
    return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)],
                          env=python_env(), capture_output=True, text=True, timeout=timeout)


def stderr_when_ended(process, timeout):
    """Waits for a process a test has sent Ctrl-C and returns its standard error as text. One
    still running after the timeout is killed, so a failing test leaves no endless child."""
    try:
        _, err = process.communicate(timeout=timeout)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return err.decode()
