"""A list made by a display in a semantic and changed inside a loop or an if that only run time
decides (the iterated list comes from the program) is made at run time instead: every run gives
back every block it took, and prints what the reference mode prints. So does a list handed to
an inlined helper whose nested function shares it (the helper's frame holds it)."""
import gc

import pytest

import wuna
from support.small_language import make_language


def nums(n):
    """A list only known at run time."""
    return list(range(n))


def count_items(values):
    total = 0
    for v in values:
        total = total + v
    return total


def appended(node, rt):
    gs = []
    for v in rt.eval(node.left):
        gs.append(v)
    return 0


def appended_used(node, rt):
    gs = []
    for v in rt.eval(node.left):
        gs.append(v + rt.eval(node.right))
    return len(gs)


def extended(node, rt):
    gs = []
    for v in rt.eval(node.left):
        gs.extend([v, v])
    return len(gs)


def added_in_place(node, rt):
    gs = []
    for v in rt.eval(node.left):
        gs += [v]
    return len(gs)


def returned(node, rt):
    gs = []
    for v in rt.eval(node.left):
        gs.append(v * 2)
    return gs


def kept_after_loop(node, rt):
    gs = []
    for v in rt.eval(node.left):
        gs.append(str(v) + "s")
    hs = gs
    return len(hs) + len(gs[0]) if hs else 0


def behind_if(node, rt):
    gs = []
    if len(rt.eval(node.left)) > 2:
        gs.append(rt.eval(node.right))
    return len(gs)


def to_helper(node, rt):
    gs = []
    for v in rt.eval(node.left):
        gs.append(v)
    return count_items(gs)


def nested(node, rt):
    gs = [[]]
    for v in rt.eval(node.left):
        gs[0].append(str(v) + "n")
    return len(gs[0])


def dict_filled(node, rt):
    seen = {}
    for v in rt.eval(node.left):
        seen[v] = str(v) + "d"
    return len(seen)


def two_holders(node, rt):
    gs = []
    hs = [gs]
    for v in rt.eval(node.left):
        gs.append(str(v) + "h")
    return len(hs[0]) + len(gs)


def counted_into(items, values):
    count = 0

    def add(v):
        nonlocal count
        items.append(str(v) + "n")
        count += 1
    for v in values:
        add(v)
    return count + len(items)


def kept_by_value(items, tail):
    def add():
        items.append(tail)
    f = add
    f()
    return len(items)


def shared_by_nonlocal(node, rt):
    gs = []
    return counted_into(gs, rt.eval(node.left))


def shared_by_value(node, rt):
    gs = [str(rt.eval(node.right)) + "v"]
    return kept_by_value(gs, "t") + len(gs)


SEMANTICS = [shared_by_nonlocal, shared_by_value, dict_filled, two_holders, appended, appended_used, extended, added_in_place, returned, kept_after_loop,
             behind_if, to_helper, nested]

SOURCE = "print nums(0) + 1; print nums(3) + 4; print nums(5) + 2;"


def make(printed, semantic):
    lang = make_language(printed, hosts=[nums])
    lang.eval("Binary")(semantic)
    return lang


@pytest.mark.parametrize("semantic", SEMANTICS, ids=lambda f: f.__name__)
def test_a_list_changed_in_run_time_control_flow_gives_its_blocks_back(semantic):
    outcomes = {}
    for mode in ("python", "compiled"):
        printed = []
        lang = make(printed, semantic)
        program = lang.load(SOURCE, "loops.sl")
        program.run(mode)
        outcomes[mode] = list(printed)
        if mode != "compiled":
            continue
        assert semantic.__name__ not in lang.python_semantics()
        for _ in range(2):
            printed.clear()
            program.run(mode)
        printed.clear()
        gc.collect()
        wuna.collect()
        before = wuna._blocks()
        for _ in range(5):
            printed.clear()
            program.run(mode)
            assert printed == outcomes["python"]
        printed.clear()
        gc.collect()
        wuna.collect()
        assert wuna._blocks() == before
    assert outcomes["compiled"] == outcomes["python"]
