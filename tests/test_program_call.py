"""Program.call and Program.map in the reference mode: results, the top level run first when
the program has not run (and only then), the default mode, context=, the keyword and argument
checks of each kind of object, unknown names, runtime errors of a call with their stack,
map's item order and tuple items, every item running and the error of the lowest failing
one, calls from several Python threads at once, an exception that stops a run reaching the
caller with its traceback, and the wuna.ProgramCall type."""
import gc
import pathlib
import signal
import subprocess
import sys
import threading
import time
import traceback

import pytest

import wuna
from support.small_language import make_language
from support.processes import stderr_when_ended

SOURCE = """count = 0;
print 100;
def add(a, b) { return a + b; }
def div(a, b) { return a / b; }
def outer(a) { return div(a, 0); }
def get() { return context; }
def bump() { count = count + 1; return count; }
def inner_only() { def hidden() { return 1; } return hidden(); }
number = 7;
"""


@pytest.fixture
def printed():
    return []


@pytest.fixture
def program(printed):
    return make_language(printed).load(SOURCE, "calls.calc")


@pytest.fixture
def ran(program):
    program.run()
    return program


# ---- results ------------------------------------------------------------------------------

@pytest.mark.parametrize("name, args, result", [
    ("add", (2, 3), 5),
    ("add", ("a", "b"), "ab"),
    ("div", (7, 2), 3),
    ("get", (), None),
    ("inner_only", (), 1),
])
def test_a_call_gives_the_functions_result(ran, name, args, result):
    assert ran.call(name, *args) == result


def test_int_results_are_64_bit_ints(ran):
    result = ran.call("add", 2, 3)
    assert type(result) is wuna.I64
    with pytest.raises(wuna.Error) as caught:
        ran.call("add", 2**62, 2**62)
    assert caught.value.diagnostic.message == "integer overflow"


def test_the_top_level_runs_before_the_first_call_and_only_then(program, printed):
    assert program.call("bump", mode="python") == 1
    assert program.call("bump", mode="python") == 2
    assert program.map("bump", [(), ()]) == [3, 4]
    assert printed == [100]


def test_a_run_gives_later_calls_a_fresh_global_frame(ran, printed):
    assert ran.call("bump") == 1
    ran.run()
    assert ran.call("bump") == 1 and printed == [100, 100]


def test_calls_default_to_the_mode_of_the_last_run(program, printed):
    # Never run: the default is 'compiled', which runs the top level first.
    assert program.call("add", 1, 2) == 3
    assert printed == [100]
    program.run("python")
    assert program.call("add", 1, 2) == 3
    assert printed == [100, 100]


@pytest.mark.parametrize("name, args", [("add", (1, 2)), ("add", ("a", "b")),
                                        ("inner_only", ()), ("div", (7, 2))])
def test_compiled_calls_give_what_the_reference_mode_gives(ran, name, args):
    expected = ran.call(name, *args, mode="python")
    assert ran.call(name, *args, mode="compiled") == expected
    # 'auto' stays with Python while the code runs semantics as Python.
    assert ran.call(name, *args, mode="auto") == expected


def test_a_compiled_call_fails_as_the_reference_mode_does(ran):
    texts = []
    for mode in ["python", "compiled"]:
        with pytest.raises(wuna.Error) as caught:
            ran.call("outer", 1, mode=mode)
        texts.append(str(caught.value))
    assert texts[0] == texts[1]
    assert "in div()" in texts[0] and "in outer()" in texts[0]


@pytest.mark.parametrize("context", [None, 2.5, "ctx", ["shared"]])
def test_context_reaches_the_semantics_as_rt_context(ran, context):
    assert ran.call("get", context=context) is context
    assert ran.map("get", [(), ()], context=context) == [context, context]


def test_a_call_runs_on_a_thread_of_its_own():
    idents = []

    def ident():
        idents.append(threading.get_ident())
        return 0

    program = make_language(hosts=[ident]).load("def f() { return ident(); }")
    program.call("f", mode="python")
    assert idents[0] != threading.get_ident()


# ---- argument checks ----------------------------------------------------------------------

@pytest.mark.parametrize("kind, args, kwargs, error, message", [
    ("call", (), {}, TypeError, "call(name, *args) needs the function's name"),
    ("call", (), {"mode": "python"}, TypeError, "call(name, *args) needs the function's name"),
    ("call", ("add", 1, 2), {"threads": 2}, TypeError,
     "call() got an unexpected keyword argument 'threads'"),
    ("call", ("add",), {"items": []}, TypeError,
     "call() got an unexpected keyword argument 'items'"),
    ("call", (5,), {}, TypeError, "name must be a str"),
    ("call", ("add",), {"mode": "fast"}, ValueError,
     "mode must be 'python', 'compiled' or 'auto', not 'fast'"),
    ("call", ("add",), {"mode": 1}, TypeError, "mode must be a str"),
    ("map", (), {}, TypeError,
     "map(name, items, threads=None, context=None) takes a name and items"),
    ("map", ("add",), {}, TypeError,
     "map(name, items, threads=None, context=None) takes a name and items"),
    ("map", ("add", [], 2), {}, TypeError,
     "map(name, items, threads=None, context=None) takes a name and items"),
    ("map", ("add", []), {"mode": "python"}, TypeError,
     "map() got an unexpected keyword argument 'mode'"),
    ("map", (5, []), {}, TypeError, "name must be a str"),
    ("map", ("add", []), {"threads": 0}, ValueError, "map() needs at least one thread, not 0"),
    ("map", ("add", []), {"threads": -2}, ValueError, "map() needs at least one thread, not -2"),
    ("map", ("add", []), {"threads": 1.5}, TypeError, None),
    ("map", ("add", 5), {}, TypeError, "map()'s items must be a sequence"),
])
def test_argument_errors(ran, printed, kind, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        getattr(ran, kind)(*args, **kwargs)
    if message is not None:
        assert str(caught.value) == message
    assert printed == [100]          # nothing ran again


@pytest.mark.parametrize("kwargs", [{"mode": None}, {"context": None}])
def test_keywords_given_as_none_count_as_not_given(ran, kwargs):
    assert ran.call("add", 1, 2, **kwargs) == 3


def test_map_keywords_given_as_none_count_as_not_given(ran):
    assert ran.map("add", [(1, 2)], threads=None, context=None) == [3]


@pytest.mark.parametrize("kind", ["call", "map"])
@pytest.mark.parametrize("name", ["nope", "a", "b", "hidden", "print", "x" * 2000])
def test_a_name_the_top_level_does_not_define_is_a_key_error(ran, kind, name):
    args = (name, []) if kind == "map" else (name,)
    with pytest.raises(KeyError) as caught:
        getattr(ran, kind)(*args)
    message = caught.value.args[0]
    if len(name) < 100:
        assert message == f"the program defines no function '{name}'"
    else:
        assert message.startswith("the program defines no function 'xxx")
        assert message.endswith("...")


def test_a_global_that_is_not_a_function_cannot_be_called(ran):
    with pytest.raises(wuna.Error) as caught:
        ran.call("number")
    d = caught.value.diagnostic
    # No node is running: the error stands at the start of the program.
    assert (d.message, d.span, d.line, d.column) == ("'int' value is not callable", (0, 0), 1, 1)


# ---- runtime errors of calls --------------------------------------------------------------

def test_a_failing_call_raises_its_runtime_error_with_the_stack(ran):
    with pytest.raises(wuna.Error) as caught:
        ran.call("outer", 5)
    error = caught.value
    assert error.diagnostic.message == "division by zero" and error.diagnostic.line == 4
    assert [name for name, _ in error.stack] == ["div", "outer"]
    assert str(error).splitlines()[-1] == "  in outer(), called at calls.calc:1:1"


def test_arity_is_checked_like_any_call(ran):
    with pytest.raises(wuna.Error) as caught:
        ran.call("add", 1)
    assert caught.value.diagnostic.message == "add() takes 2 arguments, 1 given"


def test_an_uncaught_throw_becomes_its_runtime_error():
    program = make_language().load("def f(x) { throw x; }")
    with pytest.raises(wuna.Error) as caught:
        program.call("f", "thrown", mode="python")
    assert caught.value.diagnostic.message == "thrown"
    assert [name for name, _ in caught.value.stack] == ["f"]


def test_a_failing_top_level_fails_the_first_call():
    program = make_language().load("def f() { return 1; }\nprint 1 / 0;")
    with pytest.raises(wuna.Error) as caught:
        program.call("f", mode="python")
    assert caught.value.diagnostic.line == 2


# ---- map ------------------------------------------------------------------------------------

@pytest.mark.parametrize("items, results", [
    ([], []),
    ([(1, 2), (3, 4), (5, 6)], [3, 7, 11]),
    (((10, 1), (20, 2)), [11, 22]),
    ([("a", "b")], ["ab"]),
])
def test_map_gives_the_results_in_item_order(ran, items, results):
    assert ran.map("add", items) == results


def test_map_passes_an_item_that_is_no_tuple_as_the_one_argument(printed):
    lang = make_language(printed)
    program = lang.load("def twice(a) { return a + a; }")
    assert program.map("twice", [1, "x", [2]], threads=3) == [2, "xx", [2, 2]]


@pytest.mark.parametrize("threads", [None, 1, 4, 100])
def test_every_item_runs_and_the_lowest_failing_items_error_is_raised(threads):
    seen = []

    def check(x):
        seen.append(x)
        if x in (3, 7):
            raise ValueError(f"item {x}")
        return x

    program = make_language(hosts=[check]).load("def f(x) { return check(x); }")
    with pytest.raises(wuna.Error) as caught:
        program.map("f", list(range(10)), threads=threads)
    assert caught.value.diagnostic.message == "check: ValueError: item 3"
    assert sorted(seen) == list(range(10))


def test_the_error_of_a_lower_item_wins_whatever_its_kind():
    program = make_language().load("def f(a, b) { return a / b; }")
    with pytest.raises(wuna.Error) as caught:
        program.map("f", [(1, 1), (1, 2, 3), (1, 0)])
    assert caught.value.diagnostic.message == "f() takes 2 arguments, 3 given"


def test_map_over_any_sequence(ran):
    assert ran.map("add", range(0)) == []
    assert ran.map("add", iter([(1, 2)])) == [3]
    assert ran.map("add", {(1, 2): "dict keys"}) == [3]


# ---- threads and the type --------------------------------------------------------------------

def test_several_python_threads_call_one_program_at_once(ran):
    results = {}

    def worker(k):
        results[k] = [ran.call("add", k, i) for i in range(50)]

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {k: [k + i for i in range(50)] for k in range(4)}


def test_a_host_function_may_call_into_another_program_during_a_run():
    helper = make_language().load("def add(a, b) { return a + b; }")

    def via_helper(a):
        return helper.call("add", a, 1, mode="python")

    printed = []
    make_language(printed, hosts=[via_helper]).load("print via_helper(via_helper(1));").run()
    assert printed == [3]


# The signal comes at once (while the call may still be starting its thread) or while items
# run: the interrupt reaches the item then running, which it stops, and the map runs no
# further item.
@pytest.mark.parametrize("delay", [0, 0.3])
def test_ctrl_c_stops_a_map_between_items(delay):
    script = (
        "import sys, time\n"
        "sys.path.insert(0, %r)\n"
        "from support.small_language import make_language\n"
        "def nap(x):\n"
        "    time.sleep(0.01)\n"
        "    return x\n"
        "program = make_language(hosts=[nap]).load('def f(x) { return nap(x); }')\n"
        "print('running', flush=True)\n"
        "program.map('f', list(range(3000)))\n"
    ) % str(pathlib.Path(__file__).parent)
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"running\n"
    time.sleep(delay)
    process.send_signal(signal.SIGINT)
    # The whole map takes 30 s: stopped, the process ends well before the timeout.
    err = stderr_when_ended(process, timeout=15)
    assert process.returncode != 0
    assert err.rstrip().endswith("KeyboardInterrupt")


# The run waits for a call of another program (a host function calling Program.call): the
# interrupt reaches the call's thread, which runs the Python that can stop.
def test_ctrl_c_reaches_a_call_made_during_a_run():
    script = (
        "import sys\n"
        "sys.path.insert(0, %r)\n"
        "from support.small_language import make_language\n"
        "def spin():\n"
        "    print('spinning', flush=True)\n"
        "    while True:\n"
        "        pass\n"
        "helper = make_language(hosts=[spin]).load('def f() { return spin(); }')\n"
        "def via_helper():\n"
        "    return helper.call('f', mode='python')\n"
        "make_language(hosts=[via_helper]).load('print via_helper();').run()\n"
    ) % str(pathlib.Path(__file__).parent)
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        assert process.stdout.readline() == b"spinning\n"
        process.send_signal(signal.SIGINT)
    finally:
        err = stderr_when_ended(process, timeout=30)
    assert process.returncode != 0
    assert err.rstrip().endswith("KeyboardInterrupt")


# A host function the items run changes the caller's list of items: the map goes on over the
# items it was given (a crash when it read the list's storage as it went).
@pytest.mark.parametrize("change", ["items.clear()", "del items[1:]", "items[:] = [-1]",
                                    "items.extend(range(10**5))"])
@pytest.mark.parametrize("when", ["items", "top level"])
def test_map_takes_its_items_as_they_were_when_called(change, when):
    source = ("def f(x) { return change(x); }" if when == "items"
              else "change(0);\ndef f(x) { return x; }")
    script = (
        "import sys\n"
        "sys.path.insert(0, %r)\n"
        "from support.small_language import make_language\n"
        "items = list(range(40))\n"
        "def change(x):\n"
        "    %s\n"
        "    return x\n"
        "program = make_language(hosts=[change]).load(%r)\n"
        "print(program.map('f', items) == list(range(40)))\n"
    ) % (str(pathlib.Path(__file__).parent), change, source)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")


@pytest.mark.parametrize("stopping", [SystemExit(3), KeyboardInterrupt()],
                         ids=lambda e: type(e).__name__)
def test_an_item_ending_with_an_exception_that_is_no_exception_stops_the_map(stopping):
    seen = []

    def stop_at(x):
        seen.append(x)
        if x == 2:
            raise stopping
        return x

    program = make_language(hosts=[stop_at]).load("def f(x) { return stop_at(x); }")
    with pytest.raises(BaseException) as caught:
        program.map("f", [1, 2, 3, 4])
    assert caught.value is stopping and seen == [1, 2]


@pytest.mark.parametrize("shape", ["run", "call", "map"])
def test_an_exception_that_stops_a_run_keeps_the_traceback_of_where_it_was_raised(shape):
    # It crosses from the run thread to the caller: its traceback must come with it.
    def stop_at(x):
        raise SystemExit(x)

    language = make_language(hosts=[stop_at])
    program = language.load("def f(x) { return stop_at(x); }" + ("f(5);" if shape == "run" else ""))
    with pytest.raises(SystemExit) as caught:
        if shape == "run":
            program.run()
        elif shape == "call":
            program.call("f", 5, mode="python")
        else:
            program.map("f", [5])
    assert caught.value.code == 5
    assert "stop_at" in [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]


def test_the_program_call_type(program):
    call, map_ = program.call, program.map
    assert type(call) is type(map_) and type(call).__name__ == "ProgramCall"
    assert type(call).__module__ == "wuna" and not hasattr(wuna, "ProgramCall")
    assert type(call).__doc__.startswith("call(name, *args): call a function the program")
    assert program.call is not program.call
    with pytest.raises(TypeError, match="no program"):
        type(call)()("add", 1, 2)


def test_a_call_object_keeps_its_program_alive(printed):
    call = make_language(printed).load(SOURCE).call
    gc.collect()
    assert call("add", 1, 2, mode="python") == 3


# ---- bytes-like arguments -------------------------------------------------------------------

@pytest.mark.parametrize("make", [bytes, bytearray, memoryview], ids=lambda t: t.__name__)
@pytest.mark.parametrize("shape", ["call", "map"])
def test_bytes_like_arguments_reach_the_program_as_views(make, shape):
    seen = []

    def look(data):
        seen.append(data)
        return len(data)

    program = make_language(hosts=[look]).load("def f(x) { return look(x); }")
    data = make(b"abc")
    result = (program.call("f", data, mode="python") if shape == "call"
              else program.map("f", [data])[0])
    assert result == 3
    assert type(seen[0]) is wuna.Bytes and bytes(seen[0]) == b"abc"


def test_other_arguments_and_views_pass_as_they_are():
    seen = []

    def look(data):
        seen.append(data)
        return 0

    program = make_language(hosts=[look]).load("def f(x) { return look(x); }")
    view = wuna.Bytes(b"xy")
    program.call("f", view, mode="python")
    program.call("f", "xy", mode="python")
    assert seen[0] is view and seen[1] == "xy"
