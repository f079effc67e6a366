"""Program.run: its arguments and modes (the reference mode runs; the modes that need compiled
code raise a clear error until it exists), the run thread (its own thread, a stack for deep
recursion, Python's recursion limit raised for the run and restored after, a depth that
follows the stack whatever that limit says), what a run leaves (the global frame later calls
use, the mode and has-run record even when it fails), Program.report()'s keys, and what stops
a run from outside (Ctrl-C, sys.exit)."""
import ctypes
import os
import re
import pathlib
import select
import signal
import subprocess
import sys
import threading
import time

import pytest

import wuna
from support.small_language import make_language
from support.processes import stderr_when_ended

REPORT_OF_A_PROGRAM_NEVER_RUN_COMPILED = {
    "python_crossings": {}, "module_state": {}, "cache": {"loaded": 0, "compiled": 0},
    "code": None, "optimizing": False, "gil_taken": 0, "speculated": {}, "python_functions": {},
}


@pytest.fixture
def printed():
    return []


@pytest.fixture
def program(printed):
    return make_language(printed).load("x = 2;\nprint x + 1;\ndef twice(a) { return a + a; }")


# ---- arguments and modes ----------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((None,), {}), (("python",), {}), ((), {"mode": "python"}),
    (("python", True), {}), ((), {"mode": None, "report": 1}),
])
def test_the_reference_mode_runs(program, printed, args, kwargs):
    assert program.run(*args, **kwargs) is None
    assert printed == [3]


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("fast",), {}, ValueError, "mode must be 'python', 'compiled' or 'auto', not 'fast'"),
    (("Compiled",), {}, ValueError, "mode must be 'python', 'compiled' or 'auto', not 'Compiled'"),
    (("",), {}, ValueError, "mode must be 'python', 'compiled' or 'auto', not ''"),
    ((5,), {}, TypeError, "mode must be a str"),
    ((b"python",), {}, TypeError, "mode must be a str"),
    (("python", False, 3), {}, TypeError, "run() takes at most 2 positional arguments (3 given)"),
    (("python",), {"mode": "python"}, TypeError, "run() got multiple values for argument 'mode'"),
    ((), {"threads": 2}, TypeError, "run() got an unexpected keyword argument 'threads'"),
])
def test_argument_errors(program, printed, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        program.run(*args, **kwargs)
    assert str(caught.value) == message
    assert printed == []


def test_a_long_bad_mode_is_quoted_cut():
    with pytest.raises(ValueError) as caught:
        make_language().load("").run("m" * 3000)
    assert str(caught.value).endswith("...") and len(str(caught.value)) < 1024


def test_a_report_argument_whose_truth_fails_raises(program, printed):
    class NoTruth:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        program.run("python", NoTruth())
    assert printed == []


def test_the_compiled_mode_runs_the_program_with_its_functions(program, printed):
    assert program.run("compiled") is None
    assert printed == [3]
    # The run is recorded: a call's default mode is now that mode.
    assert program.call("twice", 4) == 8


def test_auto_runs_as_python_from_then_on_what_cannot_be_compiled(printed):
    program = make_language(printed, python_print=True).load(
        "x = 2;\nprint x + 1;\ndef twice(a) { return a + a; }")
    assert program.run("auto") is None
    assert printed == [3]
    # The run is recorded all the same: a call's default mode is now 'auto', which stays with
    # Python for this program.
    assert program.call("twice", 4) == 8
    assert program.run("auto") is None and printed == [3, 3]


def test_a_failing_run_still_records_its_mode(printed):
    program = make_language(printed).load("def f(a) { return a + 1; }\nprint 1 / 0;")
    with pytest.raises(wuna.Error):
        program.run("python")
    # The last run was in the reference mode: calls default to it.
    assert program.call("f", 41) == 42


# ---- the run thread ---------------------------------------------------------------------

def test_a_run_happens_on_a_thread_of_its_own():
    idents = []

    def ident():
        idents.append(threading.get_ident())
        return 0

    make_language(hosts=[ident]).load("print ident();").run()
    assert idents and idents[0] != threading.get_ident()


def thread_stack():
    """The calling thread's stack size and guard size, as the C library reports them."""
    libc = ctypes.CDLL(None)
    libc.pthread_self.restype = ctypes.c_ulong
    attributes = ctypes.create_string_buffer(128)
    assert libc.pthread_getattr_np(ctypes.c_ulong(libc.pthread_self()), attributes) == 0
    size, guard = ctypes.c_size_t(), ctypes.c_size_t()
    libc.pthread_attr_getstacksize(attributes, ctypes.byref(size))
    libc.pthread_attr_getguardsize(attributes, ctypes.byref(guard))
    libc.pthread_attr_destroy(attributes)
    return size.value, guard.value


@pytest.mark.parametrize("max_depth, size", [
    (1, 16 * 2**20 + 2**16),
    (1000, 16 * 2**20 + 1000 * 2**16),
    (1_000_000, 8 * 2**30),          # the per-level part is capped: 8 GiB in all
    (2**32 - 1, 8 * 2**30),
])
@pytest.mark.parametrize("how", ["run", "call"])
def test_the_run_threads_stack_grows_with_max_depth(max_depth, size, how):
    stacks = []

    def probe():
        stacks.append(thread_stack())
        return 0

    program = make_language(hosts=[probe], max_depth=max_depth).load(
        "def f() { return probe(); }\nprint probe();")
    if how == "run":
        program.run()
    else:
        program.call("f", mode="python")
    assert stacks[-1] == (size, 4096)


@pytest.mark.parametrize("depth", [1, 10000])
def test_recursion_up_to_max_depth_runs_and_one_more_call_is_too_deep(depth):
    printed = []
    limit = sys.getrecursionlimit()
    limits = []

    def zero(n):
        limits.append(sys.getrecursionlimit())
        if n == 0:
            raise wuna.Throw("bottom")
        return n

    lang = make_language(printed, hosts=[zero], max_depth=depth)
    # down(n) calls itself n times below the first call: n + 1 calls in all; the bottom one
    # throws, which the first call's try catches.
    source = ("def down(n) {\n  zero(n);\n  return down(n - 1);\n}\n"
              "try { down(%d); } catch { print 1; }\n")
    lang.load(source % (depth - 1)).run()
    assert printed == [1]
    assert limits[0] >= depth * 40 + 1000 and sys.getrecursionlimit() == limit
    with pytest.raises(wuna.Error) as caught:
        lang.load(source % depth).run()
    assert caught.value.diagnostic.message == f"call stack too deep (more than {depth} calls)"
    assert len(caught.value.stack) == depth
    assert sys.getrecursionlimit() == limit


# ---- what a run leaves --------------------------------------------------------------------

def test_each_run_starts_from_the_top_with_a_fresh_global_frame(program, printed):
    program.run()
    program.run()
    assert printed == [3, 3]
    assert program.call("twice", 4) == 8


def test_a_run_raises_the_runtime_error_of_the_program(printed):
    program = make_language(printed).load("print 1;\nprint 2 / 0;\nprint 3;")
    with pytest.raises(wuna.Error) as caught:
        program.run()
    assert printed == [1] and caught.value.diagnostic.line == 2


# ---- report -------------------------------------------------------------------------------

def test_report_of_a_program_never_run_compiled(program):
    # python_functions is the process's table (whatever earlier tests called): every program
    # reports the same one.
    functions = make_language([]).load("x = 1;").report()["python_functions"]
    expected = dict(REPORT_OF_A_PROGRAM_NEVER_RUN_COMPILED, python_functions=functions)
    assert program.report() == expected
    assert list(program.report()) == list(REPORT_OF_A_PROGRAM_NEVER_RUN_COMPILED)
    program.run(report=True)
    assert program.report() == expected
    assert program.report() is not program.report()


def test_report_takes_no_arguments(program):
    with pytest.raises(TypeError):
        program.report(1)


HERE = str(pathlib.Path(__file__).parent)


# Sent at once, the signal may come while the run is still starting its thread.
@pytest.mark.parametrize("delay", [0, 0.3])
def test_ctrl_c_stops_a_run_with_keyboard_interrupt(delay):
    script = (
        "import sys, wuna, pargo\n"
        "lang = wuna.Language(pargo.compile(\"P = 'loop'\"))\n"
        "@lang.exec('P')\n"
        "def forever(node, rt):\n"
        "    while True:\n"
        "        pass\n"
        "program = lang.load('loop')\n"
        "print('running', flush=True)\n"
        "program.run()\n"
    )
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"running\n"
    time.sleep(delay)
    process.send_signal(signal.SIGINT)
    err = stderr_when_ended(process, timeout=30)
    assert process.returncode != 0
    assert err.rstrip().endswith("KeyboardInterrupt")


def read_until(process, text, output, timeout=30):
    """Reads what process writes to its stdout into output (a bytearray, everything so far)
    as it comes, until text shows there; the test fails when it does not come within timeout
    seconds."""
    deadline = time.monotonic() + timeout
    while text not in output:
        left = deadline - time.monotonic()
        chunk = b""
        if left > 0 and select.select([process.stdout], [], [], left)[0]:
            chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            process.kill()
            process.wait()
            pytest.fail(f"{text!r} never came; the output: {bytes(output)!r}")
        output += chunk


# The semantic catches the first two interrupts and goes on: each Ctrl-C must still reach it
# (the waiting caller used to stop handling signals after the first one).
def test_every_ctrl_c_reaches_the_run():
    script = (
        "import wuna, pargo\n"
        "lang = wuna.Language(pargo.compile(\"P = 'loop'\"))\n"
        "@lang.exec('P')\n"
        "def stubborn(node, rt):\n"
        "    for n in (1, 2):\n"
        "        try:\n"
        "            print('looping', n, flush=True)\n"
        "            while True:\n"
        "                pass\n"
        "        except KeyboardInterrupt:\n"
        "            print('caught', n, flush=True)\n"
        "    print('looping', 3, flush=True)\n"
        "    while True:\n"
        "        pass\n"
        "lang.load('loop').run()\n"
    )
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    output = bytearray()
    for n in (1, 2):
        read_until(process, b"looping %d" % n, output)
        process.send_signal(signal.SIGINT)
        read_until(process, b"caught %d" % n, output)
    read_until(process, b"looping 3", output)
    process.send_signal(signal.SIGINT)
    err = stderr_when_ended(process, timeout=30)
    assert process.returncode != 0
    assert err.rstrip().endswith("KeyboardInterrupt")


def test_sys_exit_in_a_semantic_exits_the_process_with_its_status():
    script = (
        "import sys, wuna, pargo\n"
        "lang = wuna.Language(pargo.compile(\"P = 'exit'\"))\n"
        "lang.exec('P')(lambda node, rt: sys.exit(3))\n"
        "lang.load('exit').run()\n"
        "print('still here')\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (3, "", "")


# Python's recursion limit set far past what the run thread's stack holds (16 MiB and a bit
# with max_depth 1): evaluating a sum 25000 terms deep stops with the depth-limit error
# instead of running off the stack (a crash). (Not much deeper: the REPL parses the entry on
# the main thread, whose stack is smaller, and the parser too recurses as deep as that limit
# lets it.)
@pytest.mark.parametrize("how, statement", [
    ("run", "lang.load('print %s;' % deep).run()"),
    ("call", "lang.load('def f() { return %s; }' % deep).call('f', mode='python')"),
    ("map", "lang.load('def f() { return %s; }' % deep).map('f', [()])"),
    ("session", "lang.session().run('print %s;' % deep)"),
    ("repl", "sys.stdin = io.StringIO('print %s;\\nprint 2;\\n' % deep); lang.repl()"),
])
def test_the_depth_follows_the_stack_whatever_the_recursion_limit(how, statement):
    script = (
        "import io, sys\n"
        "sys.path.insert(0, %r)\n"
        "import wuna\n"
        "from support.small_language import make_language\n"
        "sys.setrecursionlimit(10**6)\n"
        "deep = '+'.join(['1'] * 25000)\n"
        "printed = []\n"
        "lang = make_language(printed, max_depth=1)\n"
        "try:\n"
        "    %s\n"
        "except wuna.Error as e:\n"
        "    print(e.diagnostic.message)\n"
        "print(printed)\n"
    ) % (HERE, statement)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    # The run's own stack check says how deep it got; on 3.12 and 3.13 the interpreter's C
    # recursion count, sized by the run to its stack, may come first: the plain text then.
    too_deep = re.compile(r"call stack too deep( \(more than 1 calls\))?\n")
    if how == "repl":
        # the REPL prints the error and goes on with the next entry
        assert too_deep.search(done.stderr) and done.stdout.endswith("[2]\n")
    else:
        assert too_deep.fullmatch(done.stdout[:-len("[]\n")]) and done.stdout.endswith("\n[]\n")
