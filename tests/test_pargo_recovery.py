"""Recovering parses: error nodes in the tree, the errors list and the error records, and
parses that must never crash: random bytes, every truncation of a few programs, nesting
past the limit, and several threads parsing at once."""
import random
import threading

import pytest

import pargo
from support.abi import TREE_CAPSULE, TreeRecord, record_of, tree_errors
from support.pargo_grammars import statements

def error_records(t):
    tree = record_of(t.capsule, TREE_CAPSULE, TreeRecord)
    return [(e.offset, e.line, e.column, e.message.decode()) for e in tree_errors(tree)]


def shape(t):
    return [(t.node(i).rule, t.node(i).label, t.node(i).text) for i in range(len(t))]


def check_tree(t, text):
    """Invariants every tree keeps, recovered or not."""
    data = text.encode() if isinstance(text, str) else text
    n = len(t)
    assert n >= 1
    error_kind = len(t.parser.rules())
    kinds = []
    for i in range(n):
        node = t.node(i)
        assert 0 <= node.start <= node.end <= len(data)
        last = i + len(list(_descendants(t, i)))
        assert last < n
        kinds.append(node.rule)
    assert kinds.count("<error>") == len(t.errors) == len(error_records(t))
    for d in t.errors:
        assert d.severity == "error" and d.code == "syntax" and d.start <= d.end <= len(data)
        assert d.render(data)  # always renders
    assert error_kind == len(t.parser.rules())


def _descendants(t, i):
    stack = list(reversed(t.node(i).children))
    while stack:
        c = stack.pop()
        yield c
        stack.extend(reversed(c.children))


def test_failed_statements_become_error_nodes():
    p = statements()
    text = "let x = 1 +;\nprint 2;\nlet = 4;\nprint 5;"
    t = p.parse_tree(text, recover=True)
    assert shape(t) == [
        ("Program", None, text),
        ("<error>", None, "let x = 1 +;\n"),
        ("Print", "stmts", "print 2;"),
        ("Number", "args", "2"),
        ("<error>", None, "let = 4;\n"),
        ("Print", "stmts", "print 5;"),
        ("Number", "args", "5"),
    ]
    assert t.node(1).kind == "<error>" and t.node(1).to_ast().kind == "<error>"
    assert [(d.message, d.span, d.line, d.column) for d in t.errors] == [
        ("expected '-', Number, Float, Text, Name, '(' or '['", (11, 13), 1, 12),
        ("expected Name", (26, 31), 3, 5),
    ]
    assert error_records(t) == [(11, 1, 12, "expected '-', Number, Float, Text, Name, '(' or '['"),
                                (26, 3, 5, "expected Name")]
    with pytest.raises(pargo.ParseError):
        p.parse_tree(text)
    check_tree(t, text)


def test_recovery_inside_nested_recover_rules():
    text = "{ let a = 1;\n let b = ;\n print a; }\nprint 3;"
    t = statements().parse_tree(text, recover=True)
    rules = [r for r, _, _ in shape(t)]
    assert rules == ["Program", "Block", "Assign", "Name", "Number", "<error>", "Print", "Name", "Print", "Number"]
    assert t.errors[0].line == 2 and t.errors[0].message.startswith("expected ")
    check_tree(t, text)


def test_an_error_inside_a_block_closed_on_its_line_is_reported_where_it_is():
    # The inner error node runs to the end of its line, over the block's '}', so the block
    # fails further on; the error reported is still the first one, where the text went wrong.
    text = "print 1;\n{ let a = ; }\nprint 2;"
    t = statements().parse_tree(text, recover=True)
    assert [(d.line, d.column) for d in t.errors] == [(2, 11)]
    assert t.errors[0].message.startswith("expected ")
    assert [t.node(i).text for i in range(len(t)) if t.node(i).rule == "<error>"] == \
        ["{ let a = ; }\n"]
    assert [t.node(i).text for i in range(len(t)) if t.node(i).rule == "Print"] == \
        ["print 1;", "print 2;"]
    check_tree(t, text)


def test_unconsumed_input_becomes_the_roots_last_child():
    text = "print 1;\n} junk"
    t = statements().parse_tree(text, recover=True)
    root = t.node(0)
    last = root.children[-1]
    assert (last.rule, last.text, root.end) == ("<error>", "} junk", len(text))
    assert t.errors[0].message == "expected 'let', 'print', '{' or end of input"
    assert (t.errors[0].line, t.errors[0].column) == (2, 1)
    check_tree(t, text)


def test_start_rule_failing_outright_gives_one_error_root():
    t = statements().parse_tree("+ 1", start="Expr", recover=True)
    assert len(t) == 1 and t.node(0).rule == "<error>" and (t.node(0).start, t.node(0).end) == (0, 3)
    assert [d.span for d in t.errors] == [(0, 3)]


def test_clean_text_recovers_nothing():
    t = statements().parse_tree("print 1;", recover=True)
    assert t.errors == [] and error_records(t) == []


def test_error_at_the_start_of_an_iteration_is_not_recovered():
    # the failing iteration never got past its first token, so the repetition just ends there
    t = statements().parse_tree("print 1;\n) print 2;", recover=True)
    assert [r for r, _, _ in shape(t)] == ["Program", "Print", "Number", "<error>"]


# ---- never crash ---------------------------------------------------------------------------

PROGRAMS = [
    'let total = (1 + 2.5) * -x;\nprint total, "a\\tb", [1, [2, 3]];\n{ let y = 1; { print y; } }\n',
    "# comment\nprint 1;print 2 ;  let   z=3;{}\n",
    'print "unterminated;\nlet = ;\n{ print [1, 2;\n',
]


@pytest.mark.parametrize("recover", [False, True])
@pytest.mark.parametrize("program", PROGRAMS)
def test_every_truncation(program, recover):
    p = statements()
    for cut in range(len(program) + 1):
        text = program[:cut]
        try:
            t = p.parse_tree(text, recover=recover)
        except pargo.ParseError as e:
            assert not recover and 1 <= e.line and 1 <= e.column and 0 <= e.offset <= len(text.encode())
            continue
        check_tree(t, text)
        try:
            t.node(0).to_ast()
        except ValueError:
            pass


@pytest.mark.parametrize("recover", [False, True])
def test_random_bytes(recover):
    p = statements()
    rng = random.Random(20261210)
    alphabet = b"letprint{}()[];,=+-*/ \n\t\"\\.0123456789xyz#\xc3\xa9\xff\x00"
    for _ in range(400):
        size = rng.randrange(0, 80)
        if rng.random() < 0.5:
            data = bytes(rng.randrange(256) for _ in range(size))
        else:
            data = bytes(rng.choice(alphabet) for _ in range(size))
        try:
            t = p.parse_tree(data, recover=recover)
        except pargo.ParseError:
            assert not recover
            continue
        check_tree(t, data)
        try:
            t.node(0).to_ast()
        except ValueError:
            pass


@pytest.mark.parametrize("depth", [2000, 100000])
def test_nesting_too_deep(depth):
    text = "print " + "(" * depth + "1" + ")" * depth + ";"
    with pytest.raises(pargo.ParseError, match="nesting too deep"):
        statements().parse(text)
    t = statements().parse_tree(text, recover=True)
    assert t.node(0).rule == "<error>" and [d.message for d in t.errors] == ["nesting too deep"]


def test_deep_expressions_in_a_recursive_rule_are_nesting_too_deep():
    # each call of A nests 95 sequences, so the expression depth runs out before the call depth
    p = pargo.compile("A = " + "('<' " * 95 + "(A | '>')" + ")" * 95 + " | '>'")
    assert len(p.parse_tree("<" * 95 * 50 + ">")) == 51
    with pytest.raises(pargo.ParseError, match="nesting too deep"):
        p.parse_tree("<" * 95 * 200 + ">")


def test_moderate_nesting_parses():
    text = "print " + "(" * 60 + "1" + ")" * 60 + ";"
    assert statements().parse(text).stmts[0].args == [1]


def test_parsers_run_in_parallel_threads():
    p = statements()
    text = "let a = 1 + 2 * 3;\nprint a, [a, 2];\n" * 300
    want = shape(p.parse_tree(text))
    results = []

    def work():
        for _ in range(5):
            results.append(shape(p.parse_tree(text)) == want)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert results == [True] * 20
