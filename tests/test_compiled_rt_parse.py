"""rt.parse in compiled code: semantics that parse a text with another grammar at run time give
what they give in the reference mode (the tree's nodes, the recovered errors, bytes taken as
str is), and fail with the same error and text (a syntax error, an unknown or silent start
rule, a text that is neither str nor bytes); a grammar or start rule known only at run time
keeps the semantic in Python with the reason."""
import operator

import pargo
import pytest

import wuna
from support.cases import (SOURCE, assert_compiled_as_reference, assert_reference_runs,
                           make_language, outcome)
from support.parse_grammar import BROKEN, GRAMMAR

SUB = pargo.compile(GRAMMAR)


def parse_tree(node, rt):
    root = rt.parse(SUB, "let x = 1 + y;\nshow x, 2;")
    assign = root.stmts[0]
    print(root.kind, assign.kind, assign.name, assign.value.op, root.stmts[1].args,
          root.stmts[1].line)


def parse_by_keywords(node, rt):
    print(rt.parse(grammar=SUB, text="show 1;").kind, rt.parse(text="show 2;", grammar=SUB).kind)


def parse_start_rule(node, rt):
    print(rt.parse(SUB, "1 - b", "Expr").kind, rt.parse(SUB, "abc", start="Name").kind)


def parse_recovering(node, rt):
    root, errors = rt.parse(SUB, BROKEN, recover=True)
    print(len(errors), [e[1:3] for e in errors], [c.kind for c in root.children])
    clean, none = rt.parse(SUB, "let a = 1;", recover=True)
    print(clean.kind, none)


def parse_bytes(node, rt):
    print(rt.parse(SUB, b"let x = 1;").stmts[0].name)


def parse_each_case(node, rt):
    root = rt.parse(SUB, "show " + str(node.value) + ";")
    print(root.stmts[0].args[0] + 1)


def parse_syntax_error(node, rt):
    print("before")
    rt.parse(SUB, BROKEN)


def parse_unknown_start(node, rt):
    print("before")
    rt.parse(SUB, "abc", "Nope")


def parse_silent_start(node, rt):
    print("before")
    rt.parse(SUB, "q", "Quiet")


def parse_not_a_text(node, rt):
    print("before")
    rt.parse(SUB, node.value)


PASSING = [parse_tree, parse_by_keywords, parse_start_rule, parse_recovering, parse_bytes,
           parse_each_case]
FAILING = [parse_syntax_error, parse_unknown_start, parse_silent_start, parse_not_a_text]


@pytest.mark.parametrize("semantic", PASSING + FAILING, ids=lambda f: f.__name__)
def test_the_reference_mode_runs_each_semantic(semantic, capfd):
    assert_reference_runs(semantic, semantic in FAILING, capfd)


@pytest.mark.parametrize("semantic,words", [
    (parse_syntax_error, "line 2, col 9: expected "),
    (parse_unknown_start, "unknown start rule"),
    (parse_silent_start, "the start rule matched but produced no nodes (is it @silent?)"),
    (parse_not_a_text, "parse input must be str or bytes"),
])
def test_the_reference_failures_are_the_parsers(semantic, words, capfd):
    program = make_language(semantic).load(SOURCE)
    _, kind, text = outcome(program, "python", capfd)
    assert kind is wuna.Error and words in text


@pytest.mark.parametrize("semantic", PASSING + FAILING, ids=lambda f: f.__name__)
def test_a_compiled_semantic_gives_what_the_reference_mode_gives(semantic, capfd):
    assert_compiled_as_reference(semantic, capfd)


# The tree's nodes are known while compiling; what a parse gives is known at run time only.
def parse_grammar_at_run_time(node, rt):
    grammar = [SUB][rt.parse(SUB, "show 0;").stmts[0].args[0]]
    print(rt.parse(grammar, "show 1;").kind)


def parse_start_at_run_time(node, rt):
    print(rt.parse(SUB, "abc", rt.parse(SUB, "let a = 1;").stmts[0].kind[:0] + "Name").kind)


@pytest.mark.parametrize("semantic,reason", [
    (parse_grammar_at_run_time,
     "rt.parse's grammar must be known when compiling (a module's pargo parser)"),
    (parse_start_at_run_time, "rt.parse's start rule must be known when compiling"),
])
def test_what_is_known_only_at_run_time_stays_in_python(semantic, reason, capfd):
    lang = make_language(semantic)
    program = lang.load(SOURCE)
    expected = outcome(program, "python", capfd)
    assert outcome(program, "compiled", capfd) == expected
    assert reason in str(lang.python_semantics()[semantic.__name__])


# Nodes of a parsed tree handed to Python: an object's __call__ and the attrgetter run as
# Python whatever the front end learns to compile, so the node crosses as a wuna.Node.
class Seen:
    """Describes the nodes it is called with as Python sees them, and keeps the last."""

    def __call__(self, *nodes):
        self.last = nodes[-1]
        return [(type(n).__name__, n.kind, n.index, n.text,
                 n.parent.kind if n.parent is not None else None) for n in nodes]


SEEN = Seen()
FIELDS = operator.attrgetter("kind", "index", "span", "line", "column")


def nodes_to_python(node, rt):
    root = rt.parse(SUB, "let x = 1 + y;\nshow x, " + str(node.value) + ";")
    print(SEEN(root, root.stmts[0].value, root.stmts[1]))
    print(FIELDS(root.stmts[1]), repr(root.stmts[0]), str(root), root.stmts[1].args)


def nodes_of_one_tree_are_of_one_state(node, rt):
    root = rt.parse(SUB, "let a = 1;\nshow a;")
    SEEN(root.stmts[1])
    seen_show = SEEN.last
    SEEN(root)
    seen_root = SEEN.last
    print(seen_show.parent == seen_root, seen_show == seen_root.stmts[1],
          seen_root.stmts[1].args, SEEN(root.stmts[0])[0][4])


def bytes_tree_to_python(node, rt):
    root = rt.parse(SUB, b"show 7;\nlet b = 2 - c;")
    print(SEEN(root.stmts[1].value, root))


def start_rule_tree_to_python(node, rt):
    print(SEEN(rt.parse(SUB, "1 - b", "Expr"), rt.parse(SUB, "abc", start="Name")))


def recovered_tree_to_python(node, rt):
    root, errors = rt.parse(SUB, BROKEN, recover=True)
    print(SEEN(*root.children), errors)


def trees_in_a_list_to_python(node, rt):
    trees = []
    for n in range(node.value):
        trees.append(rt.parse(SUB, "show " + str(n) + ";").stmts[0])
    print(SEEN(*trees))


# A text read from a tree stays whole after the tree is gone (its last node dropped) and other
# trees are made and dropped in its place.
def text_outlives_its_tree(node, rt):
    first = rt.parse(SUB, "let x = 1 + y;\nshow x, 2;").stmts[0].text
    others = [rt.parse(SUB, "show " + str(i) + ";").stmts[0].text for i in range(3)]
    root, errors = rt.parse(SUB, BROKEN, recover=True)
    whole = rt.parse(SUB, "show 5;").text
    print(first, others, root.kind, whole)


TO_PYTHON = [nodes_to_python, nodes_of_one_tree_are_of_one_state, bytes_tree_to_python,
             start_rule_tree_to_python, recovered_tree_to_python, trees_in_a_list_to_python,
             text_outlives_its_tree]


@pytest.mark.parametrize("semantic", TO_PYTHON, ids=lambda f: f.__name__)
def test_nodes_of_a_parsed_tree_reach_python_as_the_reference_modes(semantic, capfd):
    assert_reference_runs(semantic, False, capfd)
    assert_compiled_as_reference(semantic, capfd)
