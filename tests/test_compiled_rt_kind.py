"""rt.kind of a node that compiled code only knows at run time (an item picked by a run-time
index, a node passed through a helper compiled out of line): the same kind names as the
reference mode, answered from the tree without a trip through Python (the run's report counts
no CompiledRuntime.kind crossing). Every printed value here is a node (a Binary, Name or Call),
not a token's value."""
import pytest

import wuna
from support.small_language import make_language


def language(printed):
    lang = make_language(printed)

    def kind_of(rt, x, depth):
        # Recursive, so it is compiled out of line and x arrives as a run-time value.
        if depth > 0:
            return kind_of(rt, x, depth - 1)
        return rt.kind(x)

    @lang.exec("Print")
    def print_(node, rt):
        # The index is a run-time value: the node it picks is only known at run time.
        pick = rt.eval(node.value)
        items = [node, node.value]
        x = items[pick % 2]
        printed.append(rt.kind(x) + "/" + kind_of(rt, node.value, 3))

    return lang


@pytest.mark.parametrize("source", [
    "print 1 + 2;",
    "print 2 + 1;",
    "x = 3; print x;",
    "def f(a) { return a; } print f(5);",
    "def f(a) { print a; } f(1); f(2); f(1 + 2);",
])
def test_rt_kind_of_a_run_time_node_matches_the_reference_mode(source):
    outputs = []
    for mode in ("python", "compiled"):
        printed = []
        program = language(printed).load(source, "t")
        try:
            program.run(mode, report=True) if mode == "compiled" else program.run(mode)
        except wuna.Error as e:
            printed.append(str(e))
        outputs.append(printed)
        if mode == "compiled":
            crossings = program.report()["python_crossings"]
            assert "method CompiledRuntime.kind" not in crossings, crossings
    assert outputs[0] == outputs[1]
    assert outputs[0] and all("/" in line for line in outputs[0])
