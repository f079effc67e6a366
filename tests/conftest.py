"""Shared set-up of the test session."""
import signal

# A shell starting the suite in the background (CI, `cmd &`) leaves SIGINT ignored, and an
# ignored signal stays ignored in every child process, so the tests that stop a program with
# Ctrl-C would see nothing arrive. A handled signal is reset to the default in a child, where
# Python installs its own handler again.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
