"""Where a compiled Program.call runs: on the calling thread when the program's code runs no
semantic or value through Python and the thread's stack has room for max_depth levels, else on
a thread of its own; the depth limit's error the same wherever it runs, and the same as the
reference mode's; and compiled calls and runs made from Python code that a compiled call on
the same thread called (a host function calling Program.call), each giving back the
interpreter lock as it found it."""
import threading

import pytest

import wuna
from support.small_language import make_language
from support.processes import run_python

# f's host function is compiled (it calls a Python function by name, which takes the lock
# for that call alone); print runs as Python only with python_print.
SOURCE = """print 0;
def f(a) { return a + ident(); }
def r(n) { return r(n + ident()); }
"""


@pytest.fixture
def idents():
    return []


def language(idents, python_print=False, max_depth=100):
    def ident():
        idents.append(threading.get_ident())
        return 0

    return make_language(hosts=[ident], python_print=python_print, max_depth=max_depth)


def in_thread(work, stack):
    """work() on a Python thread with a stack of that many bytes: its result, or what it
    raised."""
    outcome = []

    def body():
        try:
            outcome.append(work())
        except BaseException as e:  # carried to the test's thread
            outcome.append(e)

    old = threading.stack_size(stack)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    return outcome[0], thread.ident


@pytest.mark.parametrize("python_print, on_caller", [(False, True), (True, False)])
def test_a_call_runs_on_the_calling_thread_unless_its_code_runs_python(
        idents, python_print, on_caller):
    lang = language(idents, python_print)
    program = lang.load(SOURCE)
    assert program.call("f", 41, mode="compiled") == 41
    # The top level ran once for the globals, then f: each time on the same thread.
    assert len(set(idents)) == 1, idents
    assert (idents[0] == threading.get_ident()) is on_caller
    assert ("print_" in lang.python_semantics()) is python_print


# A thread of 1 MiB has room for 10 levels (40 KiB and the 256 KiB margin), not for 1000
# (4 MiB): those go to a thread whose stack is sized for them.
@pytest.mark.parametrize("max_depth, on_caller", [(10, True), (1000, False)])
def test_a_call_leaves_a_thread_whose_stack_has_no_room_for_max_depth(
        idents, max_depth, on_caller):
    program = language(idents, max_depth=max_depth).load(SOURCE)
    result, caller = in_thread(lambda: program.call("f", 1, mode="compiled"), 1 << 20)
    assert result == 1
    assert len(set(idents)) == 1, idents
    assert (idents[0] == caller) is on_caller


# max_depth 1800 asks 7.2 MiB of the main thread's usual 8 MiB: the native floor, not only
# the count, is near when the limit is met.
@pytest.mark.parametrize("max_depth", [1, 40, 1800])
@pytest.mark.parametrize("python_print", [False, True])
def test_the_depth_limit_fails_alike_wherever_the_call_runs(idents, max_depth, python_print):
    program = language(idents, python_print, max_depth).load(SOURCE, "deep.calc")
    errors = []
    for mode in ("python", "compiled"):
        with pytest.raises(wuna.Error) as caught:
            program.call("r", 1, mode=mode)
        errors.append(str(caught.value))
    assert errors[0] == errors[1]
    assert f"call stack too deep (more than {max_depth} calls)" in errors[1]
    assert errors[1].count("  in r(), called at ") == max_depth


def test_the_depth_limit_fails_alike_on_a_thread_without_room(idents):
    program = language(idents, max_depth=1000).load(SOURCE, "deep.calc")
    errors = []
    for mode in ("python", "compiled"):
        error, _ = in_thread(lambda: program.call("r", 1, mode=mode), 1 << 20)
        errors.append(str(error))
    assert errors[0] == errors[1] and "more than 1000 calls" in errors[0]


# ---- compiled code reached from Python that compiled code called ---------------------------

# g's host function calls into a helper program during g's compiled call, on the same thread:
# a compiled call or run made right there, or (when the helper runs print as Python) on a
# thread that borrows the caller's block pool and with it the caller's lock record. In a fresh
# interpreter: a lock released twice ends the process, a lock never given back hangs it.
NESTED = """
import threading
import wuna
from support.small_language import make_language

printed = []
helper = make_language(printed, python_print=PYTHON_PRINT).load(
    "print 5;\\ndef add(a, b) { return a + b; }\\n")
idents = []


def call(a):
    idents.append(threading.get_ident())
    return helper.call("add", a, 1)  # compiled: the helper has not run


def run(a):
    idents.append(threading.get_ident())
    helper.run("compiled")
    return a


lang = make_language(hosts=[KIND])
program = lang.load("def g(a) { return KIND(KIND(a)); }")
results = [program.call("g", 1, mode="compiled") for _ in range(2)]
# The host functions are compiled: nothing of g's code runs as Python.
assert lang.python_semantics() == {}, lang.python_semantics()
assert set(idents) == {threading.get_ident()}, idents
print(results, len(printed), program.report()["gil_taken"])
"""


@pytest.mark.parametrize("python_print", [False, True])
@pytest.mark.parametrize("kind, result, prints", [("call", 3, 1), ("run", 1, 4)])
def test_compiled_code_may_run_compiled_code_from_its_own_thread(
        kind, result, prints, python_print):
    done = run_python(NESTED.replace("KIND", kind).replace("PYTHON_PRINT", str(python_print)))
    assert done.returncode == 0, done.stderr
    # The helper's top level printed once for its calls, or once a run. g's calls took the
    # lock once each, for both inner calls, whose own takes are the helper's.
    assert done.stdout.split() == [f"[{result},", f"{result}]", str(prints), "2"], done.stdout


def test_a_nested_compiled_call_fails_as_the_reference_mode_does():
    helper = make_language().load("def div(a, b) { return a / b; }\n")
    idents = []

    def inner(a):
        idents.append(threading.get_ident())
        return helper.call("div", a, 0, mode="compiled")

    program = make_language(hosts=[inner]).load("def g(a) { return inner(a); }\n")
    errors = []
    for mode in ("python", "compiled"):
        with pytest.raises(wuna.Error) as caught:
            program.call("g", 1, mode=mode)
        errors.append(str(caught.value))
    assert errors[0] == errors[1] and "division by zero" in errors[0]
    assert idents[-1] == threading.get_ident()


# ---- a strict language's call ----------------------------------------------------------------

def test_a_strict_call_that_went_into_python_raises_strict_error_and_the_next_is_clean():
    program = make_language(strict=True).load("def big(a) { return a + a; }\n", "big.calc")
    assert program.call("big", 3, mode="compiled") == 6
    # Past 128 bits the sum is Python's: the call went into Python, though it returned.
    with pytest.raises(wuna.StrictError) as caught:
        program.call("big", 2 ** 200, mode="compiled")
    text = str(caught.value)
    assert text.startswith(
        "strict: big.calc:1:21: the compiled code went into Python while it ran: "), text
    # The values handed over are named as they are, not as a function called.
    assert text.endswith(" handed to Python (objects, helpers:381 in wuna)"), text
    assert "calling" not in text
    assert program.call("big", 3, mode="compiled") == 6
