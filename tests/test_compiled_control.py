"""Semantics with loops, try statements and comprehensions give, compiled, what the reference
mode gives: the same printed lines and the same error text. while loops over known values
(unrolled) and past the unrolling bound, on run-time conditions, with else, break and continue;
for loops over known items, over ranges past the unrolling bound and over run-time lists;
try/except/else/finally with handler classes and tuples, a bare raise, finally code on
returns and errors; a failure set aside while finally code runs (an inner try can't catch it,
a new failure replaces it); an rt.Return caught by a handler that reads its args; list, set
and dict comprehensions, and generators drained at once by their consumer. A generator that
its consumer doesn't drain at once runs as Python."""
import pytest

import wuna
from support.cases import (SOURCE, assert_compiled_as_reference, assert_reference_runs,
                           make_language, outcome)

def while_known(node, rt):
    i = 0
    while i < 3:
        i += 1
    else:
        print("done", i, node.value)


def while_past_the_bound(node, rt):
    i = 0
    total = 0
    while i < 11:
        total += i
        i += 1
    print(total + node.value)


def while_runtime(node, rt):
    n = node.value
    steps = 0
    while n > 0:
        n -= 2
        steps += 1
        if steps > 1:
            continue
        print("first step", n)
    else:
        print("ended", n, steps)


def while_break(node, rt):
    i = 0
    while True:
        i += 1
        if i >= node.value:
            break
    else:
        print("never")
    print("broke at", i)


def for_known(node, rt):
    total = 0
    for k in (1, 2, 3):
        total += k * node.value
    else:
        print("sum", total)
    for name in ["a", "b"]:
        if name == "b":
            break
        print(name)


def for_ranges(node, rt):
    total = 0
    for k in range(100):
        total += k
    for k in range(node.value, 0, -2):
        total += k
    for k in range(node.value):
        if k == 1:
            continue
        if k == 3:
            break
        total += 10
    else:
        total += 1000
    print(total)


def for_runtime_list(node, rt):
    xs = [node.value, node.value * 2]
    seen = []
    for x in xs:
        seen.append(x + 1)
    for a, b in [(1, node.value), (2, 3)]:
        seen.append(a * b)
    print(seen)


def try_handlers(node, rt):
    try:
        if node.value == 3:
            raise ValueError("three")
        if node.value == 5:
            {}["missing"]
        x = 10 // (node.value - 2)
    except ValueError as e:
        print("value error", e)
    except (KeyError, IndexError) as e:
        print("lookup error", repr(e))
    except ZeroDivisionError:
        print("division")
    else:
        print("no error", x)
    finally:
        print("finally", node.value)


def reraise(node, rt):
    try:
        try:
            if node.value > 2:
                raise KeyError(node.value)
        except KeyError:
            print("handling")
            raise
    except KeyError as e:
        print("again", e)


def finally_on_error(node, rt):
    try:
        print(10 // (node.value - 3))
    finally:
        print("cleanup", node.value)


def twice(n):
    try:
        return n * 2
    finally:
        print("leaving twice", n)


def finally_on_return(node, rt):
    print(twice(node.value))


def finally_keeps_the_failure(node, rt):
    try:
        if node.value == 3:
            raise ValueError("first")
        print("fine", node.value)
    finally:
        try:
            raise KeyError("inner")
        except KeyError:
            print("inner caught")


def finally_replaces_the_failure(node, rt):
    try:
        if node.value == 5:
            raise ValueError("first")
    finally:
        if node.value >= 5:
            raise IndexError("second")
    print("passed", node.value)


def jump_above_two(rt, v):
    if v > 2:
        raise rt.Return(v * 10)
    return v


def caught_jump(node, rt):
    try:
        n = jump_above_two(rt, node.value)
        print("normal", n)
    except rt.Return as r:
        print("jump", r.args[0])


def comprehensions(node, rt):
    doubled = [k * 2 for k in (1, 2, 3)]
    odd = [k for k in range(node.value) if k % 2]
    squares = {k: k * k for k in range(node.value)}
    parity = {k % 2 for k in range(5)}
    pairs = [(a, b) for a in range(2) for b in range(node.value) if a != b]
    print(doubled, odd, squares, sorted(parity), pairs)


def comprehension_reads_parameters(node, rt):
    # Unrolled over items known while compiling: each item reads node and rt again, and this
    # statement is their last use.
    print([node.value * k for k in (1, 2, 3) if node.value], [rt.kind(node) + k for k in "ab"],
          [(k, j) for k in (1, 2) for j in (k, node.value)], {k: node.value for k in "xy"})


def try_locals(node, rt):
    # n lives only in the body; m is read by the else clause, which runs only when the body
    # ran to its end (case 2 fails at run time before m is set).
    try:
        n = node.value * 2
        m = 10 // (n - 4)
        print("body", n, m)
    except ZeroDivisionError:
        print("division")
    else:
        print("else", m)


def try_bodies(node, rt):
    # Values made in a body that fails part-way (a list, a text) are dropped on the way to the
    # handler; a loop and a nested try inside a body; a try inside a loop.
    try:
        items = [node.value, str(node.value), [node.value]]
        total = 0
        for k in items[2] + [1, 2]:
            total += k
        try:
            print("inner", 12 // (node.value - 1))
        except ZeroDivisionError:
            print("inner division")
        print("ratio", total // (node.value - 3), items)
    except ZeroDivisionError:
        print("outer division")
    for k in range(3):
        try:
            kept = [k, node.value]
            print("turn", kept, 10 // (k - 1))
        except ZeroDivisionError:
            print("turn failed", k)


def drained(node, rt):
    n = node.value
    print(sum(k for k in range(n)), any(k > 2 for k in range(n)), all(k < 4 for k in range(n)),
          "".join(str(k) for k in range(n)), sorted(k % 3 for k in range(n)),
          max(k * 2 for k in (1, n, 2)), list(k for k in range(n) if k))


SEMANTICS = [while_known, while_past_the_bound, while_runtime, while_break, for_known,
             for_ranges, for_runtime_list, try_handlers, reraise, finally_on_error,
             finally_on_return, finally_keeps_the_failure, finally_replaces_the_failure,
             caught_jump, comprehensions, comprehension_reads_parameters, try_locals, try_bodies, drained]
FAILING = {finally_on_error, finally_keeps_the_failure, finally_replaces_the_failure}


@pytest.mark.parametrize("semantic", SEMANTICS, ids=lambda f: f.__name__)
def test_a_compiled_semantic_gives_what_the_reference_mode_gives(semantic, capfd):
    assert_compiled_as_reference(semantic, capfd)


@pytest.mark.parametrize("semantic", SEMANTICS, ids=lambda f: f.__name__)
def test_the_reference_mode_runs_each_semantic(semantic, capfd):
    assert_reference_runs(semantic, semantic in FAILING, capfd)


@pytest.mark.parametrize(
    "semantic, words",
    [(finally_keeps_the_failure, "first"), (finally_replaces_the_failure, "second")])
def test_the_failure_a_finally_block_leaves_is_pythons(semantic, words, capfd):
    program = make_language(semantic).load(SOURCE)
    out, kind, text = outcome(program, "python", capfd)
    assert kind is wuna.Error
    assert words in text
    if semantic is finally_keeps_the_failure:
        assert "inner caught" in out


def test_a_try_body_failing_part_way_leaves_no_block_behind(capfd):
    # What the body made before the failure is released on the way to the handler: later runs
    # leave the count of live blocks where the first left it.
    program = make_language(try_bodies).load(SOURCE)
    program.run("compiled")
    wuna.collect()
    before = wuna._blocks()
    for _ in range(3):
        program.run("compiled")
    wuna.collect()
    assert wuna._blocks() == before
    assert "outer division" in capfd.readouterr().out


def kept_generator(node, rt):
    g = (k * node.value for k in range(3))
    print(next(g), list(g))


def test_a_generator_its_consumer_does_not_drain_at_once_runs_as_python(capfd):
    lang = make_language(kept_generator)
    program = lang.load(SOURCE)
    expected = outcome(program, "python", capfd)
    assert expected[0].splitlines()[0] == "0 [1, 2]"
    assert outcome(program, "compiled", capfd) == expected
    reason = lang.python_semantics()["kept_generator"]
    assert "a generator expression that its consumer doesn't drain at once" in reason
