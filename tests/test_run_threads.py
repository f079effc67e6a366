"""No thread outlives a run: the run thread of a compiled or reference run (or call) is joined,
and its stack given back, before the run returns, whether the run succeeds or fails, so the
process holds no more threads after a run than before it, and none at its exit. Checked in a
fresh interpreter, where no other test's threads are about."""
import pytest

from support.processes import run_python

SCRIPT = """
import os
import sys
import threading
import time

import wuna
from support.small_language import make_language


def threads():
    return len(os.listdir("/proc/self/task"))


def settled(before):
    # A joined thread's entry leaves /proc a moment after the join returns (the kernel clears
    # the thread id the join waits on before it reaps the task), so give it that moment.
    deadline = time.monotonic() + 5
    while threads() != before and time.monotonic() < deadline:
        time.sleep(0.001)
    return threads()


idents = []


def ident():
    idents.append(threading.get_ident())
    return 0


# Optimized code at once: no background build whose worker would come and go meanwhile.
wuna.configure(tiers=False)
# print runs as Python and ident() is a host function: the compiled code calls into Python,
# so it runs on a run thread of its own.
printed = []
lang = make_language(printed, hosts=[ident], python_print=True)
program = lang.load("def f(a) { return a + ident(); }\\nprint f(41);")
failing = lang.load("print ident();\\nprint 1 / 0;")
before = threads()
mode = "MODE"
for _ in range(RUNS):
    program.run(mode)
    assert settled(before) == before, ("run", threads(), before)
    assert program.call("f", 1, mode=mode) == 1
    assert settled(before) == before, ("call", threads(), before)
    try:
        failing.run(mode)
    except wuna.Error:
        pass
    else:
        raise AssertionError("the failing program ran")
    assert settled(before) == before, ("failed run", threads(), before)
assert idents and threading.get_ident() not in idents, idents
# Every run printed (a compiled call may run the top level once more, for its own globals).
assert printed.count(41) >= RUNS, printed
assert threading.active_count() == 1, threading.enumerate()
print("threads", before, threads())
"""


@pytest.mark.parametrize("mode", ["compiled", "python"])
def test_no_thread_outlives_a_run(mode):
    runs = 8
    done = run_python(SCRIPT.replace("RUNS", str(runs)).replace("MODE", mode))
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("threads "), done.stdout
    before, after = done.stdout.split()[1:]
    assert after == before


TIERS = """
import wuna
from support.small_language import make_language

wuna.configure(cache="CACHE")
program = make_language().load("def add(a, b) {\\n  return a + b;\\n}\\nprint add(1, 2);\\n")
program.run("compiled")
print(program.report()["code"])
"""


def test_the_background_build_is_finished_and_its_worker_joined_at_exit(tmp_path):
    # The first process ends while its optimized build may still run: it waits for the build
    # (which the next process finds in the cache) and joins the worker, and exits cleanly.
    script = TIERS.replace("CACHE", str(tmp_path))
    first = run_python(script)
    assert (first.returncode, first.stdout, first.stderr) == (0, "fast\n", "")
    second = run_python(script)
    assert (second.returncode, second.stdout, second.stderr) == (0, "optimized\n", "")
