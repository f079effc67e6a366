"""A node's children read as a value and rt.Throw used as a value compile, and give what the
reference mode gives: node.children is a new list at each read (a change to one read is not
seen by the next), iterated, measured and indexed; rt.Throw is the module's Throw class,
raised with a value and a message, caught by `except rt.Throw`, its value and args read, and
uncaught it fails the run with the message, or the value's text."""
import pytest

import wuna
from support.cases import SOURCE, assert_compiled_as_reference, make_language, outcome


def children_of_a_node(node, rt):
    kids = node.children
    kids.append(0)
    print(kids, node.children, len(node.children), node.children[0] + 1,
          [k * 2 for k in node.children], sum(k for k in node.children))


def throw_caught(node, rt):
    try:
        if node.value > 2:
            raise rt.Throw(node.value * 10, "big")
        print("small", node.value)
    except rt.Throw as e:
        print("caught", e.value, e.args)


def throw_at_run_time(node, rt):
    # The raise is decided at run time: rt.eval of the node is its one child's value.
    try:
        if rt.eval(node) > 2:
            raise rt.Throw(rt.eval(node))
        print("small")
    except rt.Throw as e:
        print("caught", e.value)


def throw_uncaught(node, rt):
    if node.value == 3:
        raise rt.Throw(node.value)
    if node.value == 5:
        raise rt.Throw([node.value], "five")
    print("passed", node.value)


def throw_class(node, rt):
    print(rt.Throw is wuna.Throw, rt.Throw.__name__, issubclass(rt.Throw, Exception))


@pytest.mark.parametrize("semantic", [children_of_a_node, throw_caught, throw_at_run_time,
                                      throw_class], ids=lambda f: f.__name__)
def test_the_semantic_compiles_and_gives_the_reference_results(semantic, capfd):
    assert_compiled_as_reference(semantic, capfd)


@pytest.mark.parametrize("source, words", [("case 1; case 3; case 5;", "1:9: error[runtime]: 3"),
                                           ("case 1; case 5;", "error[runtime]: five")])
def test_an_uncaught_throw_fails_the_run_as_in_the_reference_mode(source, words, capfd):
    lang = make_language(throw_uncaught)
    program = lang.load(source)
    expected = outcome(program, "python", capfd)
    assert expected[1] is wuna.Error and words in expected[2]
    assert outcome(program, "compiled", capfd) == expected
    assert "throw_uncaught" not in lang.python_semantics()
