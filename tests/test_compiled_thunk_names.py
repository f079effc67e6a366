"""Nodes a semantic run as Python hands to rt.eval or rt.exec run through thunks compiled on
first use. Each compile attempt of a thunk takes the next number of its module state, so a
thunk compiled again (a semantic it inlines refused and moved to Python) is named anew; the
perf map shows the names of the thunks that were loaded. A value a thunk gives back is one
reference: runs give back every block they took."""
import gc
import os

import pytest

import wuna
from support.small_language import make_language


@wuna.comptime
def raw(text):
    return text + "\udcff"


def make(printed):
    lang = make_language(printed)

    @lang.exec("Print", native=False)
    def print_(node, rt):
        printed.append(rt.eval(node.value))

    # A subtraction needs a str that has no native form: its thunk is refused the first time
    # and compiled again with the semantic run as Python. The operator is known while
    # compiling, so a sum's thunk never meets that str.
    @lang.eval("Binary")
    def binary(node, rt):
        a, b = rt.eval(node.left), rt.eval(node.right)
        if node.op == "-":
            return ascii(raw(str(a - b)))
        return str(a + b) + "s"

    return lang


def perf_labels(path):
    with open(path) as f:
        return {line.split()[2] for line in f.read().splitlines()}


def thunks_loaded(source):
    """(printed in the reference mode, printed compiled, the numbers of the thunks the compiled
    run loaded, in order). The perf map names every symbol the process has loaded: the run's
    own are those a run before it had not."""
    outputs = []
    for mode in ("python", "compiled"):
        printed = []
        make(printed).load(source, "t.sl").run(mode)
        outputs.append(printed)
    path = f"/tmp/perf-{os.getpid()}.map"
    if os.path.lexists(path):
        os.remove(path)
    wuna.configure(perf_map=True)
    try:
        make([]).load("print 0;", "before.sl").run("compiled")
        before = perf_labels(path)
        make([]).load(source, "t.sl").run("compiled")
        labels = perf_labels(path) - before
    finally:
        wuna.configure(perf_map=False)
        if os.path.lexists(path):
            os.remove(path)
    numbers = sorted(int(label.rpartition("_th")[2]) for label in labels if "_th" in label)
    return outputs[0], outputs[1], numbers


@pytest.mark.parametrize(
    "source, numbers",
    [
        ("print 1 + 2; print 3 + 4;", [1, 2]),
        # The second thunk's first attempt (2) is refused; the attempt that loads is 3.
        ("print 1 + 2; print 5 - 3;", [1, 3]),
        # The first thunk's first attempt (1) is refused; from then on the sum's semantic runs
        # as Python and needs no thunk.
        ("print 5 - 3; print 1 + 2;", [2]),
    ],
    ids=["two", "second-compiled-again", "first-compiled-again"],
)
def test_each_attempt_of_a_thunk_takes_the_next_number(source, numbers):
    python, compiled, loaded = thunks_loaded(source)
    assert compiled == python
    assert loaded == numbers


def test_a_thunks_value_is_one_reference():
    printed = []
    program = make(printed).load("print 1 + 2; print 30 + 4;", "t.sl")
    program.run("compiled")
    gc.collect()
    wuna.collect()
    before = wuna._blocks()
    for _ in range(5):
        printed.clear()
        program.run("compiled")
        assert printed == ["3s", "34s"]
    printed.clear()
    gc.collect()
    wuna.collect()
    assert wuna._blocks() == before
