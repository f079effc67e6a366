"""Semantics that use each kind of statement give, compiled, what the reference mode gives:
the same printed lines and the same error text. Assignments (chained, augmented, unpacking,
swapping), if on known and run-time conditions, returns from a helper inside and outside
run-time control flow, named expressions, asserts (failing with AssertionError's text, and
caught by the semantic's own except AssertionError), del of names and items, break and
continue, pass and expression statements. A failure met in Python (a missing key, a bad int()
literal, a Python object's own __getitem__) ends the compiled run as the reference mode's
runtime error, never as the bare Python exception.

PYTEST_DONT_REWRITE: the asserts of the semantics must fail with Python's own words in the
reference mode, not with the test runner's rewritten ones."""
import pytest

import wuna
from support.cases import (SOURCE, assert_compiled_as_reference, assert_reference_runs,
                           make_language, outcome)

def assigns(node, rt):
    a = b = node.value
    a += 10
    b *= 2
    x, y = a, b
    x, y = y, x
    (p, q), r = (x, y), a - b
    print(x, y, p, q, r)


def known_if(node, rt):
    if True:
        label = "yes"
    else:
        label = "no"
    if 0:
        label = "never"
    print(label, node.value)


def runtime_if(node, rt):
    if node.value > 2:
        size = "big"
    elif node.value == 2:
        size = "two"
    else:
        size = "small"
    count = 0
    if node.value % 2:
        count += 1
    print(size, count)


def classify(n):
    if n > 3:
        return "many"
    if n == 1:
        return "one"
    return "few"


def straight(n):
    doubled = n * 2
    return doubled + 1


def returns(node, rt):
    print(classify(node.value), straight(node.value))


def named(node, rt):
    if (double := node.value * 2) > 4:
        print("double", double)
    total = (half := node.value // 2) + half
    print(total)


def asserts(node, rt):
    assert node.value > 0
    assert True, "never fails"
    assert node.value != 3, "three is not allowed"
    print("passed", node.value)


def caught_assert(node, rt):
    try:
        assert node.value != 3, "no threes"
        print("fine", node.value)
    except AssertionError as e:
        print("caught", e)


def bare_assert(node, rt):
    assert node.value < 5
    print(node.value)


def deletes(node, rt):
    xs = [1, 2, 3, node.value]
    del xs[0]
    table = {"a": 1, "b": node.value}
    del table["a"]
    x = node.value
    del x
    print(xs, table)
    del xs[node.value]


def loops(node, rt):
    i = 0
    while True:
        i += 1
        if i > node.value:
            break
        if i == 2:
            continue
        pass
        print("at", i)


SEMANTICS = [assigns, known_if, runtime_if, returns, named, asserts, caught_assert, bare_assert,
             deletes, loops]


@pytest.mark.parametrize("semantic", SEMANTICS, ids=lambda f: f.__name__)
def test_a_compiled_semantic_gives_what_the_reference_mode_gives(semantic, capfd):
    assert_compiled_as_reference(semantic, capfd)


@pytest.mark.parametrize("semantic", SEMANTICS, ids=lambda f: f.__name__)
def test_the_reference_mode_runs_each_semantic(semantic, capfd):
    assert_reference_runs(semantic, semantic in (asserts, bare_assert, deletes), capfd)


def test_a_failed_assert_reads_as_python_words_it():
    program = make_language(asserts).load("case 3;")
    with pytest.raises(wuna.Error) as caught:
        program.run("python")
    assert "AssertionError: three is not allowed" in str(caught.value)


class Lookup:
    """A Python object whose own __getitem__ raises."""

    def __getitem__(self, key):
        raise KeyError(key)


LOOKUP = Lookup()


def missing_key(node, rt):
    table = {"a": 1}
    del table[node.value]


def bad_literal(node, rt):
    print(int("x" * node.value))


def python_getitem(node, rt):
    print(LOOKUP[node.value])


@pytest.mark.parametrize("semantic, words", [
    (missing_key, "key not found: 1"),
    (bad_literal, "invalid literal for int() with base 10: 'x'"),
    (python_getitem, "key not found: 1"),
])
def test_a_failure_met_in_python_ends_the_compiled_run_as_the_reference_error(semantic, words,
                                                                               capfd):
    lang = make_language(semantic)
    program = lang.load(SOURCE)
    expected = outcome(program, "python", capfd)
    assert expected[1] is wuna.Error and words in expected[2]
    assert outcome(program, "compiled", capfd) == expected
    assert semantic.__name__ not in lang.python_semantics()
